// A settings file in INI form ("[Section]" lines, then "Key=Value" lines), read and written the
// way hand-edited configuration files expect: section and key names compare without regard to
// case, values are taken verbatim, and writing keeps the order, comments and unknown keys of the
// file, changing only the keys written and appending new ones at the end of their section.
#pragma once

#include <string>
#include <vector>

namespace kestrel {

class TIniFile {
public:
    // Reads the file if it exists; a missing file is an empty one.
    explicit TIniFile(std::string fileName);

    const std::string &FileName() const { return m_fileName; }
    bool ValueExists(const std::string &section, const std::string &key) const;
    std::string ReadString(const std::string &section, const std::string &key, const std::string &def) const;
    // The value as an integer, or def when it is missing or not a number.
    long long ReadInteger(const std::string &section, const std::string &key, long long def) const;
    // The names of the sections, in file order, as written in their headers.
    std::vector<std::string> ReadSections() const;
    void WriteString(const std::string &section, const std::string &key, const std::string &value);
    void WriteInteger(const std::string &section, const std::string &key, long long value);
    // Writes the file (creating it readable and writable by the user alone) by replacing it
    // whole: a failure leaves the old file as it was. Raises std::runtime_error naming the file
    // and the cause on failure.
    void UpdateFile() const;

private:
    struct TLine {
        std::string text;    // the line as it stands in the file
        std::string section; // section it belongs to (lower case)
        std::string key;     // lower-case key, empty for other lines
        std::string value;
        bool header = false; // a "[Section]" line
    };
    int find(const std::string &section, const std::string &key) const;

    std::string m_fileName;
    std::vector<TLine> m_lines;
};

} // namespace kestrel
