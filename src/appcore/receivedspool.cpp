#include "appcore/receivedspool.h"

#include "base/fileio.h"
#include "base/format.h"
#include "connect/connection.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {

namespace {

// One message a line: "<arrival> <modem as hex> <PDU>;", the modem possibly empty ("-"). The
// semicolon marks the line whole: a crash in the middle of a write leaves a line without it.
constexpr size_t kMaxSpoolLine = 4096;

class TLockedFile {
public:
    TLockedFile(const std::string &path, int flags) : m_fd(::open(path.c_str(), flags | O_CLOEXEC, 0600))
    {
        if (m_fd >= 0)
            ::flock(m_fd, LOCK_EX);
    }
    ~TLockedFile()
    {
        if (m_fd >= 0) {
            ::flock(m_fd, LOCK_UN);
            ::close(m_fd);
        }
    }
    TLockedFile(const TLockedFile &) = delete;
    TLockedFile &operator=(const TLockedFile &) = delete;
    int Fd() const { return m_fd; }

private:
    int m_fd;
};

bool parseLine(const std::string &line, TSpooledMessage &m)
{
    const size_t a = line.find(' ');
    const size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
    if (b == std::string::npos)
        return false;
    char *end = nullptr;
    const std::string arrival = line.substr(0, a);
    m.Arrival = std::strtod(arrival.c_str(), &end);
    if (arrival.empty() || *end != '\0')
        return false;
    const std::string modem = line.substr(a + 1, b - a - 1);
    try {
        m.Modem = modem == "-" ? std::string() : HexToStr(modem);
    } catch (const std::exception &) {
        return false;
    }
    if (line.back() != ';')
        return false;
    m.PDU = line.substr(b + 1, line.size() - b - 2);
    return !m.PDU.empty();
}

} // namespace

void SpoolMessage(const std::string &path, const TSpooledMessage &message)
{
    std::string line = Format("%.10f ", message.Arrival) +
                       (message.Modem.empty() ? std::string("-") : StrToHex(message.Modem)) + " " +
                       message.PDU + ";\n";
    const TLockedFile file(path, O_RDWR | O_CREAT | O_APPEND);
    if (file.Fd() < 0)
        throw EConnectError(Format("Cannot open the spool \"%s\": %s", path.c_str(), strerror(errno)));
    struct stat st {};
    const off_t before = ::fstat(file.Fd(), &st) == 0 ? st.st_size : -1;
    // A line cut short by a crash ends here, so that it spoils nothing but itself.
    char last = '\n';
    if (before > 0 && ::pread(file.Fd(), &last, 1, before - 1) == 1 && last != '\n')
        line.insert(line.begin(), '\n');
    int error = WriteAll(file.Fd(), line);
    if (error == 0 && ::fsync(file.Fd()) != 0)
        error = errno;
    if (error != 0) {
        // A piece of a line would spoil the line after it.
        if (before >= 0) {
            [[maybe_unused]] const bool cut = ::ftruncate(file.Fd(), before) == 0;
        }
        throw EConnectError(Format("Cannot write the spool \"%s\": %s", path.c_str(), strerror(error)));
    }
}

bool SpoolHasMessages(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

int ReplaySpool(const std::string &path, const std::function<void(const TSpooledMessage &)> &record)
{
    const TLockedFile file(path, O_RDWR);
    if (file.Fd() < 0)
        return 0;
    std::string text;
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(file.Fd(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    int count = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            break; // a line cut short by a crash
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        TSpooledMessage m;
        if (line.size() > kMaxSpoolLine || !parseLine(line, m))
            continue;
        record(m);
        ++count;
    }
    if (::ftruncate(file.Fd(), 0) == 0)
        ::fsync(file.Fd());
    return count;
}

} // namespace kestrel
