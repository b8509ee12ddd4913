#include "xsms/vcardcontacts.h"

#include "base/format.h"
#include "gsm/atparser.h"
#include "xsms/directoryrecords.h"

#include <QString>
#include <QStringList>

#include <algorithm>

namespace kestrel {

namespace {

// RFC 2425 5.8.1: lines of at most 75 octets, line ends excluded.
constexpr size_t kFoldWidth = 75;

std::string lower(std::string_view s)
{
    std::string out(s);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// One logical line of the file with the number of its first physical line.
struct TLine {
    std::string text;
    size_t number = 0;
};

// RFC 2426 2.5 / RFC 2425 5.8.4: "\\", "\,", "\;" and "\n" in text values.
std::string unescape(std::string_view value)
{
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            const char next = value[++i];
            out += (next == 'n' || next == 'N') ? '\n' : next;
        } else {
            out += value[i];
        }
    }
    return out;
}

std::string escape(std::string_view value)
{
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == ',' || c == ';')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else if (c != '\r')
            out += c;
    }
    return out;
}

// The components of a structured value split at ";" that no backslash escapes, unescaped.
std::vector<std::string> components(std::string_view value)
{
    std::vector<std::string> out;
    std::string current;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            current += value[i];
            current += value[++i];
        } else if (value[i] == ';') {
            out.push_back(unescape(current));
            current.clear();
        } else {
            current += value[i];
        }
    }
    out.push_back(unescape(current));
    return out;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// vCard 2.1 quoted-printable values (RFC 2045 6.7); a "=" that starts no escape stays.
std::string quotedPrintable(std::string_view value)
{
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '=' && i + 2 < value.size() && hexValue(value[i + 1]) >= 0 &&
            hexValue(value[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(value[i + 1]) * 16 + hexValue(value[i + 2]));
            i += 2;
        } else {
            out += value[i];
        }
    }
    return out;
}

// A value as UTF-8, by its parameters: quoted-printable decoded, an 8-bit character set other
// than UTF-8 converted, malformed UTF-8 replaced.
std::string decodedValue(const std::string &value, const std::vector<std::string> &parameters)
{
    std::string octets = value;
    bool latin1 = false;
    for (const std::string &p : parameters) {
        const std::string u = UpperASCII(p);
        if (u == "QUOTED-PRINTABLE" || u == "ENCODING=QUOTED-PRINTABLE")
            octets = quotedPrintable(octets);
        else if (u.starts_with("CHARSET=") && u != "CHARSET=UTF-8" && u != "CHARSET=US-ASCII")
            latin1 = true;
    }
    const QString text = latin1 ? QString::fromLatin1(octets.data(), static_cast<qsizetype>(octets.size()))
                                : QString::fromUtf8(octets.data(), static_cast<qsizetype>(octets.size()));
    return text.toStdString();
}

// The TEL types that say where a number rings; "pref", "voice" and the like say nothing of it.
std::string labelOf(const std::vector<std::string> &parameters)
{
    static const std::vector<std::string> places = {"cell",  "home", "work",  "fax",
                                                    "pager", "car",  "video", "isdn"};
    for (const std::string &p : parameters) {
        std::string types = lower(p);
        if (types.starts_with("type="))
            types.erase(0, 5);
        for (const QString &t : QString::fromStdString(types).split(',', Qt::SkipEmptyParts)) {
            const std::string type = t.trimmed().toStdString();
            if (std::find(places.begin(), places.end(), type) != places.end())
                return type;
        }
    }
    return {};
}

std::string trimmedText(const std::string &s)
{
    return QString::fromStdString(s).simplified().toStdString();
}

// The property name without its group ("item1.TEL" is TEL), upper case.
std::string propertyName(const std::string &name)
{
    const size_t dot = name.find('.');
    return UpperASCII(dot == std::string::npos ? name : name.substr(dot + 1));
}

// A number of a card, or "" when the value is none (letters, nothing but separators).
std::string cardNumber(std::string value)
{
    value = trimmedText(value);
    if (lower(value).starts_with("tel:"))
        value.erase(0, 4);
    if (value.empty() || value.size() > kMaxVCardNumber)
        return {};
    bool digit = false;
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c >= '0' && c <= '9')
            digit = true;
        else if (!(c == '+' && i == 0) && std::string_view(" -()./*#").find(c) == std::string_view::npos)
            return {};
    }
    return digit ? value : std::string();
}

// One card's lines (BEGIN to END) to a contact; Errors gets why it cannot be one.
void readCard(const std::vector<TLine> &lines, size_t ordinal, TVCardRead &out)
{
    const std::string where = Format("card %zu (line %zu)", ordinal, lines.front().number);
    std::string text;
    for (const TLine &l : lines)
        text += l.text + "\r\n";
    TDirectoryRecords records;
    records.Kind = "VCARD";
    try {
        records.SetData(text);
    } catch (const std::exception &e) {
        out.Errors.push_back(where + ": " + e.what());
        return;
    }
    TVCardContact contact;
    std::string fromN;
    std::vector<std::string> badNumbers;
    for (int i = 0; i < records.Count(); ++i) {
        const std::string name = propertyName(records.Names(i));
        const std::string value = decodedValue(records.ValueFromIndex(i), records.Parameters(i));
        if (name == "FN" && contact.Name.empty()) {
            contact.Name = trimmedText(unescape(value));
        } else if (name == "N" && fromN.empty()) {
            // Family; Given; Additional; Prefixes; Suffixes, read as a name is said.
            const std::vector<std::string> parts = components(value);
            std::string said;
            for (size_t k : {3u, 1u, 2u, 0u, 4u})
                if (k < parts.size() && !trimmedText(parts[k]).empty())
                    said += (said.empty() ? "" : " ") + trimmedText(parts[k]);
            fromN = said;
        } else if (name == "TEL") {
            const std::string number = cardNumber(value);
            if (number.empty())
                badNumbers.push_back(value);
            else
                contact.Numbers.push_back({number, labelOf(records.Parameters(i))});
        }
    }
    if (contact.Name.empty())
        contact.Name = fromN;
    const std::string who = contact.Name.empty() ? where : where + " \"" + contact.Name + "\"";
    if (contact.Name.empty())
        out.Errors.push_back(where + ": no name (FN or N)");
    else if (QString::fromStdString(contact.Name).size() > static_cast<qsizetype>(kMaxVCardName))
        out.Errors.push_back(Format("%s: a name of more than %zu characters", where.c_str(), kMaxVCardName));
    else if (!badNumbers.empty())
        out.Errors.push_back(who + ": TEL \"" + trimmedText(badNumbers.front()).substr(0, 40) +
                             "\" is no phone number");
    else if (contact.Numbers.empty())
        out.Errors.push_back(who + ": no phone number (TEL)");
    else
        out.Contacts.push_back(std::move(contact));
}

// Folds a line at kFoldWidth octets, never inside a UTF-8 sequence.
std::string folded(const std::string &line)
{
    std::string out;
    size_t start = 0;
    size_t width = kFoldWidth;
    while (line.size() - start > width) {
        size_t cut = start + width;
        while (cut > start && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80)
            --cut;
        out += line.substr(start, cut - start) + "\r\n ";
        start = cut;
        width = kFoldWidth - 1; // the continuation's leading space counts
    }
    return out + line.substr(start) + "\r\n";
}

} // namespace

TVCardRead ReadVCards(std::string_view text)
{
    TVCardRead out;
    if (text.size() > kMaxVCardText) {
        out.Errors.push_back(
            Format("%zu octets: more than the %zu of an address book", text.size(), kMaxVCardText));
        return out;
    }
    // Physical lines to logical ones: a line starting with a blank continues the one before
    // (RFC 2425 5.8.1); a 2.1 quoted-printable value ending in "=" goes on on the next line.
    std::vector<TLine> lines;
    size_t number = 0;
    size_t pos = 0;
    bool overlong = false;
    while (pos < text.size() && !overlong) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end;
        if (pos < text.size() && text[pos] == '\r')
            ++pos;
        if (pos < text.size() && text[pos] == '\n')
            ++pos;
        ++number;
        const bool continuation = !line.empty() && (line[0] == ' ' || line[0] == '\t') && !lines.empty();
        const bool softBreak =
            !lines.empty() && lines.back().text.ends_with('=') &&
            UpperASCII(lines.back().text.substr(0, lines.back().text.find(':'))).find("QUOTED-PRINTABLE") !=
                std::string::npos;
        if (continuation)
            lines.back().text.append(line.substr(1));
        else if (softBreak)
            lines.back().text.pop_back(), lines.back().text.append(line);
        else if (!line.empty())
            lines.push_back({std::string(line), number});
        if (!lines.empty() && lines.back().text.size() > kMaxVCardLine) {
            out.Errors.push_back(
                Format("line %zu: a line of more than %zu octets", lines.back().number, kMaxVCardLine));
            overlong = true;
        }
    }
    if (overlong)
        return out;
    size_t ordinal = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (UpperASCII(lines[i].text).rfind("BEGIN:VCARD", 0) != 0)
            continue;
        ++ordinal;
        size_t j = i + 1;
        while (j < lines.size() && UpperASCII(lines[j].text).rfind("END:VCARD", 0) != 0 &&
               UpperASCII(lines[j].text).rfind("BEGIN:VCARD", 0) != 0)
            ++j;
        if (j == lines.size() || UpperASCII(lines[j].text).rfind("END:VCARD", 0) != 0) {
            out.Errors.push_back(Format("card %zu (line %zu): no END:VCARD", ordinal, lines[i].number));
            i = j - 1;
            continue;
        }
        readCard(std::vector<TLine>(lines.begin() + static_cast<ptrdiff_t>(i),
                                    lines.begin() + static_cast<ptrdiff_t>(j) + 1),
                 ordinal, out);
        i = j;
    }
    if (ordinal == 0)
        out.Errors.push_back("no vCard in it (no BEGIN:VCARD line)");
    return out;
}

std::string WriteVCards(const std::vector<TVCardContact> &contacts)
{
    std::string out;
    for (const TVCardContact &c : contacts) {
        TDirectoryRecords records;
        records.Kind = "VCARD";
        records.Add("VERSION=3.0");
        records.Add("FN=" + escape(c.Name));
        // RFC 2426 3.1.2: N is required; one name string cannot be told apart into its parts.
        records.Add("N=;" + escape(c.Name) + ";;;");
        for (const TVCardNumber &n : c.Numbers) {
            const int i = records.Add("TEL=" + n.Number);
            records.Parameters(i).push_back("TYPE=" + UpperASCII(n.Label.empty() ? "voice" : n.Label));
        }
        const std::string data = records.Data();
        for (size_t start = 0; start < data.size();) {
            const size_t end = data.find("\r\n", start);
            out += folded(data.substr(start, end - start));
            start = end + 2;
        }
    }
    return out;
}

} // namespace kestrel
