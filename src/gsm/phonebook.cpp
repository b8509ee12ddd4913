#include "gsm/phonebook.h"

#include "base/convert.h"
#include "base/format.h"
#include "gsm/atparser.h"
#include "gsm/bytereader.h"
#include "gsm/gsmerrors.h"
#include "gsm/smstext.h"

namespace kestrel {

namespace {

// TS 27.007 8.12: the lengths of <number> and <text> are the storage's, given by the test
// command; no phonebook of a SIM or handset comes near these.
constexpr size_t kMaxNumber = 80;
constexpr size_t kMaxText = 256;
constexpr int kMaxRangeWidth = 10000;
constexpr size_t kMaxStorages = 32;
constexpr size_t kMaxStorageName = 8;

int numberOf(std::string_view text, const char *field, int min, int max)
{
    const auto v = TryStrToInt64(text);
    if (!v || *v < min || *v > max)
        GSMErrorFmt("%s: \"%s\" is no number of %d to %d", field, PrintableExcerpt(text).c_str(), min,
                    max);
    return static_cast<int>(*v);
}

std::string_view afterPrefix(std::string_view line, std::string_view prefix = "+CPBR:")
{
    std::string_view value = TrimBlanks(line);
    if (value.size() >= prefix.size() && UpperASCII(value.substr(0, prefix.size())) == prefix)
        value = TrimBlanks(value.substr(prefix.size()));
    return value;
}

// Some modems give <number> as hexadecimal UCS2 under the UCS2 set, as they do every string: a
// number whose every group of four is "00" and the code of a dial-string character is read so.
std::string numberOfUCS2(const std::string &number)
{
    if (number.empty() || number.size() % 4 != 0)
        return number;
    std::string out;
    for (size_t i = 0; i < number.size(); i += 4) {
        const std::string group = UpperASCII(std::string_view(number).substr(i, 4));
        if (group.compare(0, 2, "00") != 0)
            return number;
        const std::string code = group.substr(2);
        char c = 0;
        if (code.size() == 2 && code[0] == '3' && code[1] >= '0' && code[1] <= '9')
            c = code[1];
        else if (code == "2B")
            c = '+';
        else if (code == "2A")
            c = '*';
        else if (code == "23")
            c = '#';
        else
            return number;
        out += c;
    }
    return out;
}

} // namespace

TPhonebookEntry ParseCPBRLine(std::string_view line, TTECharset charset)
{
    TByteReader r(afterPrefix(line));
    bool unclosed = false;
    TPhonebookEntry e;
    e.Index = numberOf(NextQuotedField(r, unclosed), "+CPBR index", 1, 65535);
    std::string number = Dequote(NextQuotedField(r, unclosed));
    const std::string_view type = NextQuotedField(r, unclosed);
    const std::string_view text = NextQuotedField(r, unclosed);
    if (unclosed)
        GSMError("+CPBR: a quote is left open");
    if (number.empty() || number.size() > kMaxNumber)
        GSMErrorFmt("+CPBR number: %zu characters, 1 to %zu wanted", number.size(), kMaxNumber);
    if (charset == TTECharset::UCS2)
        number = numberOfUCS2(number);
    e.Type = type.empty() ? 129 : numberOf(type, "+CPBR type", 0, 255);
    // TS 24.008 10.5.4.7: the international type carries no "+" in the number itself.
    e.Number = (e.Type == 145 && number.front() != '+') ? "+" + number : number;
    const std::string name = Dequote(text);
    if (name.size() > kMaxText)
        GSMErrorFmt("+CPBR text: %zu characters, at most %zu", name.size(), kMaxText);
    e.Name = FromTECharset(name, charset);
    return e;
}

TPhonebookRange ParseCPBRTest(std::string_view line)
{
    std::string_view value = afterPrefix(line);
    const size_t open = value.find('(');
    const size_t close = value.find(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        GSMErrorFmt("+CPBR range: \"%s\" is no range", PrintableExcerpt(value).c_str());
    const std::string_view range = value.substr(open + 1, close - open - 1);
    const size_t dash = range.find('-');
    TPhonebookRange r;
    r.First = numberOf(TrimBlanks(range.substr(0, dash)), "+CPBR first index", 1, 65535);
    r.Last = dash == std::string_view::npos
                 ? r.First
                 : numberOf(TrimBlanks(range.substr(dash + 1)), "+CPBR last index", 1, 65535);
    if (r.Last < r.First || r.Last - r.First >= kMaxRangeWidth)
        GSMErrorFmt("+CPBR range: %d to %d is no range of at most %d entries", r.First, r.Last,
                    kMaxRangeWidth);
    TByteReader rest(value.substr(close + 1));
    bool unclosed = false;
    NextQuotedField(rest, unclosed); // the empty field before the first comma
    const std::string_view number = NextQuotedField(rest, unclosed);
    const std::string_view text = NextQuotedField(rest, unclosed);
    if (!number.empty())
        r.NumberLength = numberOf(number, "+CPBR number length", 0, 65535);
    if (!text.empty())
        r.TextLength = numberOf(text, "+CPBR text length", 0, 65535);
    return r;
}

std::string PhonebookStorageName(std::string_view field)
{
    const std::string name = Dequote(TrimBlanks(field));
    if (name.empty() || name.size() > kMaxStorageName ||
        name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789") !=
            std::string::npos)
        GSMErrorFmt("phonebook storage: \"%s\" is no storage name", PrintableExcerpt(field).c_str());
    return UpperASCII(name);
}

TPhonebookStatus ParseCPBSRead(std::string_view line)
{
    TByteReader r(afterPrefix(line, "+CPBS:"));
    bool unclosed = false;
    TPhonebookStatus st;
    st.Storage = PhonebookStorageName(NextQuotedField(r, unclosed));
    const std::string_view used = NextQuotedField(r, unclosed);
    const std::string_view total = NextQuotedField(r, unclosed);
    if (unclosed)
        GSMError("+CPBS: a quote is left open");
    if (!used.empty())
        st.Used = numberOf(used, "+CPBS used", 0, 65535);
    if (!total.empty())
        st.Total = numberOf(total, "+CPBS total", 0, 65535);
    if (st.Used >= 0 && st.Total >= 0 && st.Used > st.Total)
        GSMErrorFmt("+CPBS: %d used of %d", st.Used, st.Total);
    return st;
}

std::vector<std::string> ParseCPBSTest(std::string_view line)
{
    const std::string_view value = afterPrefix(line, "+CPBS:");
    if (value.size() < 2 || value.front() != '(' || value.back() != ')')
        GSMErrorFmt("+CPBS storages: \"%s\" is no list", PrintableExcerpt(value).c_str());
    TByteReader r(value.substr(1, value.size() - 2));
    std::vector<std::string> storages;
    bool unclosed = false;
    while (r.Remaining() > 0) {
        if (storages.size() == kMaxStorages)
            GSMErrorFmt("+CPBS storages: more than %zu", kMaxStorages);
        storages.push_back(PhonebookStorageName(NextQuotedField(r, unclosed)));
    }
    if (unclosed)
        GSMError("+CPBS: a quote is left open");
    return storages;
}

int PhonebookTextLength(const QString &name)
{
    std::string codes;
    if (UnicodeToGSMCodes(name, codes))
        return static_cast<int>(codes.size());
    return 1 + 2 * static_cast<int>(name.size());
}

void CheckPhonebookEntry(const TPhonebookEntry &entry, const TPhonebookRange &range,
                         const std::string &storage)
{
    const int text = PhonebookTextLength(entry.Name);
    if (range.TextLength >= 0 && text > range.TextLength) {
        std::string codes;
        const bool gsm = UnicodeToGSMCodes(entry.Name, codes);
        GSMErrorFmt("The name \"%s\" is too long for the phonebook %s: it takes %d of the %d places of a "
                    "name%s",
                    entry.Name.toUtf8().constData(), storage.c_str(), text, range.TextLength,
                    gsm ? "" : " (a name outside the GSM alphabet takes two per character and one more)");
    }
    // TS 24.008 10.5.4.7: the "+" of the international form is the type, not a digit.
    const size_t digits = entry.Number.size() - (!entry.Number.empty() && entry.Number.front() == '+');
    if (range.NumberLength >= 0 && digits > static_cast<size_t>(range.NumberLength))
        GSMErrorFmt("The number %s is too long for the phonebook %s: %zu digits, at most %d",
                    entry.Number.c_str(), storage.c_str(), digits, range.NumberLength);
}

std::string CPBWParameters(const TPhonebookEntry &entry, TTECharset charset)
{
    const std::string &number = entry.Number;
    if (number.empty() || number.size() > kMaxNumber ||
        number.find_first_not_of("+0123456789*#", number.front() == '+' ? 1 : 0) != std::string::npos ||
        number.find('+', 1) != std::string::npos)
        GSMErrorFmt("phonebook number \"%s\": digits, * and # only, after an optional +",
                    PrintableExcerpt(number).c_str());
    const bool international = number.front() == '+';
    const std::string index = entry.Index > 0 ? std::to_string(entry.Index) : std::string();
    const std::string text = ToTECharset(entry.Name, charset, "phonebook name");
    if (text.find('"') != std::string::npos)
        GSMError("phonebook name: a double quote cannot be written");
    // Built by concatenation: the default alphabet's "@" is code 0, which ends a C string.
    return index + ",\"" + (international ? number.substr(1) : number) + "\"," +
           (international ? "145" : "129") + ",\"" + text + "\"";
}

} // namespace kestrel
