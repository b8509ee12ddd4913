#include "base/inifile.h"

#include "base/convert.h"
#include "base/fileio.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {

namespace {
std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

std::string Trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}
} // namespace

TIniFile::TIniFile(std::string fileName) : m_fileName(std::move(fileName))
{
    std::ifstream in(m_fileName, std::ios::binary);
    std::string text, section;
    while (std::getline(in, text)) {
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
        TLine line{text, section, {}, {}, false};
        const std::string trimmed = Trim(text);
        if (!trimmed.empty() && trimmed.front() == '[' && trimmed.back() == ']') {
            section = Lower(Trim(trimmed.substr(1, trimmed.size() - 2)));
            line.section = section;
            line.header = true;
        } else if (!trimmed.empty() && trimmed.front() != ';' && trimmed.front() != '#') {
            auto eq = text.find('=');
            if (eq != std::string::npos) {
                line.key = Lower(Trim(text.substr(0, eq)));
                line.value = text.substr(eq + 1);
            }
        }
        m_lines.push_back(std::move(line));
    }
}

int TIniFile::find(const std::string &section, const std::string &key) const
{
    const std::string s = Lower(section), k = Lower(key);
    for (size_t i = 0; i < m_lines.size(); ++i)
        if (m_lines[i].section == s && !m_lines[i].key.empty() && m_lines[i].key == k)
            return static_cast<int>(i);
    return -1;
}

bool TIniFile::ValueExists(const std::string &section, const std::string &key) const
{
    return find(section, key) >= 0;
}

std::vector<std::string> TIniFile::ReadSections() const
{
    std::vector<std::string> sections;
    for (const TLine &line : m_lines) {
        if (!line.header)
            continue;
        const size_t open = line.text.find('['), close = line.text.find(']', open + 1);
        if (open != std::string::npos && close != std::string::npos)
            sections.push_back(line.text.substr(open + 1, close - open - 1));
    }
    return sections;
}

std::string TIniFile::ReadString(const std::string &section, const std::string &key,
                                 const std::string &def) const
{
    int i = find(section, key);
    return i < 0 ? def : m_lines[static_cast<size_t>(i)].value;
}

long long TIniFile::ReadInteger(const std::string &section, const std::string &key, long long def) const
{
    int i = find(section, key);
    if (i < 0)
        return def;
    auto v = TryStrToInt64(Trim(m_lines[static_cast<size_t>(i)].value));
    return v ? *v : def;
}

void TIniFile::WriteString(const std::string &section, const std::string &key, const std::string &value)
{
    int i = find(section, key);
    if (i >= 0) {
        auto &line = m_lines[static_cast<size_t>(i)];
        line.value = value;
        line.text = line.text.substr(0, line.text.find('=') + 1) + value;
        return;
    }
    const std::string s = Lower(section);
    // After the last line of the section, or a new section at the end of the file.
    int last = -1;
    for (size_t j = 0; j < m_lines.size(); ++j)
        if (m_lines[j].section == s && (m_lines[j].header || !m_lines[j].key.empty()))
            last = static_cast<int>(j);
    TLine line{key + "=" + value, s, Lower(key), value, false};
    if (last < 0) {
        if (!m_lines.empty() && !Trim(m_lines.back().text).empty())
            m_lines.push_back(TLine{"", m_lines.back().section, {}, {}, false});
        m_lines.push_back(TLine{"[" + section + "]", s, {}, {}, true});
        m_lines.push_back(std::move(line));
    } else {
        m_lines.insert(m_lines.begin() + last + 1, std::move(line));
    }
}

void TIniFile::WriteInteger(const std::string &section, const std::string &key, long long value)
{
    WriteString(section, key, IntToStr(value));
}

void TIniFile::UpdateFile() const
{
    // The old file stays whole until the new one is on the disk: it is written beside it, flushed
    // and renamed over it, so a full disk or a crash never leaves a settings file without its
    // store or PIN. A symbolic link keeps pointing where it did: its target is replaced.
    std::string path = m_fileName;
    if (char *real = ::realpath(m_fileName.c_str(), nullptr)) {
        path = real;
        std::free(real);
    }
    const auto fail = [&](int error) {
        throw std::runtime_error("Cannot write the settings file " + m_fileName + ": " +
                                 std::strerror(error));
    };
    // The file holds the SIM PIN: one the program creates is the user's alone. An existing
    // file keeps the permissions (and, where we may, the owner) its owner gave it.
    struct stat old {};
    const bool exists = ::stat(path.c_str(), &old) == 0;
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    std::string temp = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "." +
                       path.substr(slash == std::string::npos ? 0 : slash + 1) + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC); // created 0600
    if (fd < 0)
        fail(errno);
    std::string text;
    for (const auto &line : m_lines)
        text += line.text + '\n';
    int error = 0;
    if (exists) {
        // Another user's file saved by us becomes ours where we may not give it back; its mode
        // still holds.
        [[maybe_unused]] const bool owned = ::fchown(fd, old.st_uid, old.st_gid) == 0;
        if (::fchmod(fd, old.st_mode & 07777) != 0)
            error = errno;
    }
    if (error == 0)
        error = WriteAll(fd, text);
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temp.c_str());
        fail(error);
    }
    // The rename itself on the disk, so a crash right after the save keeps the new file.
    if (const int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); d >= 0) {
        ::fsync(d);
        ::close(d);
    }
}

} // namespace kestrel
