#include "xsms/directoryrecords.h"

#include "base/rtlerrors.h"
#include "gsm/gsmerror.h"

#include <cctype>

namespace kestrel {

namespace {

std::string upperCase(std::string s)
{
    for (char &c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// Blanks and control characters around a name go, as the directory format allows padding there.
std::string trim(const std::string &s)
{
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ')
        --e;
    return s.substr(b, e - b);
}

bool startsWith(const std::string &s, const char *prefix)
{
    return s.rfind(prefix, 0) == 0;
}

bool sameText(const std::string &a, const std::string &b)
{
    return upperCase(a) == upperCase(b);
}

} // namespace

void TDirectoryRecords::checkIndex(int index) const
{
    if (index < 0 || index >= Count())
        RaiseListIndexError(index);
}

const std::string &TDirectoryRecords::Strings(int index) const
{
    checkIndex(index);
    return m_entries[static_cast<size_t>(index)].text;
}

std::string TDirectoryRecords::Names(int index) const
{
    const std::string &s = Strings(index);
    const size_t eq = s.find('=');
    return eq == std::string::npos ? s : s.substr(0, eq);
}

std::string TDirectoryRecords::ValueFromIndex(int index) const
{
    const std::string &s = Strings(index);
    const size_t eq = s.find('=');
    return eq == std::string::npos ? std::string() : s.substr(eq + 1);
}

std::vector<std::string> &TDirectoryRecords::Parameters(int index)
{
    checkIndex(index);
    return m_entries[static_cast<size_t>(index)].parameters;
}

const std::vector<std::string> &TDirectoryRecords::Parameters(int index) const
{
    checkIndex(index);
    return m_entries[static_cast<size_t>(index)].parameters;
}

int TDirectoryRecords::IndexOfName(const std::string &name) const
{
    for (int i = 0; i < Count(); ++i) {
        const std::string &s = m_entries[static_cast<size_t>(i)].text;
        const size_t eq = s.find('=');
        if (eq != std::string::npos && sameText(s.substr(0, eq), name))
            return i;
    }
    return -1;
}

std::string TDirectoryRecords::Values(const std::string &name) const
{
    const int i = IndexOfName(name);
    return i < 0 ? std::string() : ValueFromIndex(i);
}

void TDirectoryRecords::SetValues(const std::string &name, const std::string &value)
{
    const int i = IndexOfName(name);
    if (value.empty()) {
        if (i >= 0)
            Delete(i);
    } else if (i < 0) {
        Add(name + "=" + value);
    } else {
        m_entries[static_cast<size_t>(i)].text = name + "=" + value;
    }
}

int TDirectoryRecords::Add(const std::string &text)
{
    m_entries.push_back({text, {}});
    return Count() - 1;
}

void TDirectoryRecords::Delete(int index)
{
    checkIndex(index);
    m_entries.erase(m_entries.begin() + index);
}

std::string TDirectoryRecords::Data() const
{
    static const std::string crlf = "\r\n";
    std::string out = "BEGIN:" + Kind + crlf;
    for (const TEntry &e : m_entries) {
        const size_t eq = e.text.find('=');
        std::string line = eq == std::string::npos ? e.text : e.text.substr(0, eq);
        for (const std::string &p : e.parameters)
            line += ";" + p;
        line += ":";
        if (eq != std::string::npos)
            line += e.text.substr(eq + 1);
        // Every physical line carries FoldingLength characters of content; a continuation line
        // starts with one space. A width of zero or less means no folding.
        if (FoldingLength > 0) {
            for (size_t k = static_cast<size_t>(FoldingLength); k < line.size();
                 k += static_cast<size_t>(FoldingLength) + 3)
                line.insert(k, "\r\n ");
        }
        out += line + crlf;
    }
    out += "END:" + Kind + crlf;
    return out;
}

void TDirectoryRecords::SetData(const std::string &text)
{
    Clear();
    // Unfold: a line end followed by a space or TAB continues the previous line (RFC 2425 5.8.1).
    std::string unfolded;
    unfolded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 2 < text.size() && text[i + 1] == '\n' &&
            (text[i + 2] == ' ' || text[i + 2] == '\t')) {
            i += 2;
            continue;
        }
        unfolded.push_back(text[i]);
    }
    // CR, LF and CR LF each end a line; a final line end opens no empty line.
    std::vector<std::string> lines;
    std::string current;
    bool open = false;
    for (size_t i = 0; i < unfolded.size(); ++i) {
        const char c = unfolded[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(current);
            current.clear();
            open = false;
            if (c == '\r' && i + 1 < unfolded.size() && unfolded[i + 1] == '\n')
                ++i;
        } else {
            current.push_back(c);
            open = true;
        }
    }
    if (open)
        lines.push_back(current);

    if (lines.size() < 2)
        throw EGSMError("Bad format");
    const std::string first = upperCase(lines[0]);
    if (!startsWith(first, "BEGIN:"))
        throw EGSMError("Bad format");
    const std::string name = upperCase(trim(lines[0].substr(6)));
    if (!Kind.empty() && Kind != name)
        throw EGSMError("Bad directory name");
    Kind = name;

    size_t end = 0;
    for (size_t i = 1; i < lines.size(); ++i) {
        if (startsWith(upperCase(lines[i]), "END:")) {
            end = i;
            break;
        }
    }
    if (end == 0 || upperCase(trim(lines[end].substr(4))) != Kind)
        throw EGSMError("Bad format");

    for (size_t i = 1; i < end; ++i) {
        const std::string &line = lines[i];
        const size_t colon = line.find(':');
        const std::string head = colon == std::string::npos ? line : line.substr(0, colon);
        const std::string value = colon == std::string::npos ? std::string() : line.substr(colon + 1);
        const size_t semi = head.find(';');
        const int index = Add(trim(head.substr(0, semi)) + "=" + value);
        if (semi == std::string::npos)
            continue;
        std::string rest = head.substr(semi + 1);
        size_t start = 0;
        while (true) {
            const size_t next = rest.find(';', start);
            const std::string piece =
                trim(rest.substr(start, next == std::string::npos ? std::string::npos : next - start));
            if (!piece.empty())
                m_entries[static_cast<size_t>(index)].parameters.push_back(piece);
            if (next == std::string::npos)
                break;
            start = next + 1;
        }
    }
}

} // namespace kestrel
