#include "gsm/phonebook.h"

#include "base/convert.h"
#include "base/format.h"
#include "gsm/atparser.h"
#include "gsm/bytereader.h"
#include "gsm/gsmerrors.h"

namespace kestrel {

namespace {

// TS 27.007 8.12: the lengths of <number> and <text> are the storage's, given by the test
// command; no phonebook of a SIM or handset comes near these.
constexpr size_t kMaxNumber = 80;
constexpr size_t kMaxText = 256;
constexpr int kMaxRangeWidth = 10000;

int numberOf(std::string_view text, const char *field, int min, int max)
{
    const auto v = TryStrToInt64(text);
    if (!v || *v < min || *v > max)
        GSMErrorFmt("+CPBR %s: \"%s\" is no number of %d to %d", field, PrintableExcerpt(text).c_str(), min,
                    max);
    return static_cast<int>(*v);
}

std::string_view afterPrefix(std::string_view line)
{
    std::string_view value = TrimBlanks(line);
    if (value.size() >= 6 && UpperASCII(value.substr(0, 6)) == "+CPBR:")
        value = TrimBlanks(value.substr(6));
    return value;
}

} // namespace

TPhonebookEntry ParseCPBRLine(std::string_view line, TTECharset charset)
{
    TByteReader r(afterPrefix(line));
    bool unclosed = false;
    TPhonebookEntry e;
    e.Index = numberOf(NextQuotedField(r, unclosed), "index", 1, 65535);
    const std::string number = Dequote(NextQuotedField(r, unclosed));
    const std::string_view type = NextQuotedField(r, unclosed);
    const std::string_view text = NextQuotedField(r, unclosed);
    if (unclosed)
        GSMError("+CPBR: a quote is left open");
    if (number.empty() || number.size() > kMaxNumber)
        GSMErrorFmt("+CPBR number: %zu characters, 1 to %zu wanted", number.size(), kMaxNumber);
    e.Type = type.empty() ? 129 : numberOf(type, "type", 0, 255);
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
    r.First = numberOf(TrimBlanks(range.substr(0, dash)), "first index", 1, 65535);
    r.Last = dash == std::string_view::npos
                 ? r.First
                 : numberOf(TrimBlanks(range.substr(dash + 1)), "last index", 1, 65535);
    if (r.Last < r.First || r.Last - r.First >= kMaxRangeWidth)
        GSMErrorFmt("+CPBR range: %d to %d is no range of at most %d entries", r.First, r.Last,
                    kMaxRangeWidth);
    return r;
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
