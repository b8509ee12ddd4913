#include "comm/comm.h"

#include "base/format.h"
#include "comm/commevents.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace kestrel {

const int kBaudrateValues[15] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                 19200, 38400, 56000, 57600, 115200, 128000, 256000};

namespace {

// Room of the watcher's read-ahead: the most one readiness report takes from the driver.
constexpr size_t kReceiveBufferSize = 65536;

[[noreturn]] void RaiseSystemError(const char *function)
{
    // The text slot stays empty: the number identifies the failure.
    throw EComError(Format("Error %d %s in function: %s", errno, "", function));
}

speed_t SpeedCode(TBaudrate baud)
{
    switch (baud) {
    case br110:
        return B110;
    case br300:
        return B300;
    case br600:
        return B600;
    case br1200:
        return B1200;
    case br2400:
        return B2400;
    case br4800:
        return B4800;
    case br9600:
        return B9600;
    case br19200:
        return B19200;
    case br38400:
        return B38400;
    case br57600:
        return B57600;
    case br115200:
        return B115200;
    case br256000:
        return B230400; // the nearest speed the driver offers
    default:
        throw EComError("Baudrate settings not supported");
    }
}

std::string &LockDir()
{
    static std::string dir = "/var/lock";
    return dir;
}

int RemainingMs(int64_t start, int timeout)
{
    int64_t left = timeout - (GetTickMs() - start);
    return left < 0 ? 0 : static_cast<int>(left);
}

} // namespace

int64_t GetTickMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool IntToBaudrate(int Value, TBaudrate &Baud)
{
    for (int i = 0; i < 15; ++i) {
        if (kBaudrateValues[i] == Value) {
            Baud = static_cast<TBaudrate>(i);
            return true;
        }
    }
    return false;
}

void SetLockDirectory(const std::string &dir)
{
    LockDir() = dir;
}

const std::string &LockDirectory()
{
    return LockDir();
}

std::string LockFileName(const std::string &DeviceName)
{
    // Named after the device itself, not after a link to it: /dev/serial/by-id/...-port0 and
    // /dev/ttyUSB2 are one modem with one lock, the one other serial programs look for.
    std::string device = DeviceName;
    if (char *real = realpath(DeviceName.c_str(), nullptr)) {
        device = real;
        free(real);
    }
    auto slash = device.rfind('/');
    std::string base = slash == std::string::npos ? device : device.substr(slash + 1);
    return LockDir() + "/LCK.." + base;
}

namespace {
// The process id a lock file names, -1 when it names none. A symbolic link is never followed.
long ReadLockPid(const std::string &name, bool &exists)
{
    exists = false;
    int fd = open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        // A planted symbolic link (ELOOP) or anything unreadable that exists counts as stale.
        exists = errno != ENOENT;
        return -1;
    }
    exists = true;
    char buf[64];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return -1;
    buf[n] = '\0';
    char *end = nullptr;
    char *start = buf;
    while (*start == ' ')
        ++start;
    errno = 0;
    long pid = strtol(start, &end, 10);
    if (end == start || errno != 0 || (*end != '\n' && *end != '\0' && *end != '\r'))
        return -1;
    return pid;
}

bool ProcessAlive(long pid)
{
    if (pid <= 0 || pid > INT_MAX)
        return false;
    return getsid(static_cast<pid_t>(pid)) != -1 || errno == EPERM;
}
} // namespace

long LockOwner(const std::string &LockName)
{
    bool exists = false;
    const long pid = ReadLockPid(LockName, exists);
    return exists && ProcessAlive(pid) ? pid : 0;
}

void CreateLockFile(const std::string &LockName, const std::string &DeviceName)
{
    std::error_code ec;
    std::filesystem::create_directories(LockDir(), ec); // a failure shows up when the file is created
    bool exists = false;
    long pid = ReadLockPid(LockName, exists);
    if (exists) {
        if (ProcessAlive(pid))
            throw EComError(Format("Device \"%s\" is locked", DeviceName.c_str()));
        unlink(LockName.c_str()); // stale: its owner is gone
    }
    // O_EXCL with O_NOFOLLOW: a link planted between the check and here makes the open fail
    // instead of writing through it.
    int fd = open(LockName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == EEXIST)
            throw EComError(Format("Device \"%s\" is locked", DeviceName.c_str()));
        RaiseSystemError("LockDevice");
    }
    std::string content = Format("%10d\n", static_cast<int>(getpid()));
    ssize_t written = write(fd, content.data(), content.size());
    int err = errno;
    fchmod(fd, 0666);
    close(fd);
    if (written != static_cast<ssize_t>(content.size())) {
        unlink(LockName.c_str());
        errno = err;
        RaiseSystemError("LockDevice");
    }
}

void RemoveLockFile(const std::string &LockName)
{
    bool exists = false;
    long pid = ReadLockPid(LockName, exists);
    // Only our own lock is removed: a lock of another live process stays where it is.
    if (exists && pid == getpid())
        unlink(LockName.c_str());
}

void LockDevice(const std::string &DeviceName)
{
    CreateLockFile(LockFileName(DeviceName), DeviceName);
}

void UnlockDevice(const std::string &DeviceName)
{
    RemoveLockFile(LockFileName(DeviceName));
}

TCommHandle::TCommHandle() = default;

TCommHandle::~TCommHandle()
{
    Destroy();
}

void TCommHandle::settingChanged()
{
    if (Active())
        ApplySettings();
}

#define KESTREL_LINE_SETTER(Name, Type, member)                                                              \
    void TCommHandle::Set##Name(Type value)                                                                  \
    {                                                                                                        \
        if (member == value)                                                                                 \
            return;                                                                                          \
        member = value;                                                                                      \
        settingChanged();                                                                                    \
    }
KESTREL_LINE_SETTER(Baudrate, TBaudrate, m_baudrate)
KESTREL_LINE_SETTER(Parity, TParity, m_parity)
KESTREL_LINE_SETTER(Stopbits, TStopbits, m_stopbits)
KESTREL_LINE_SETTER(Databits, TDatabits, m_databits)
KESTREL_LINE_SETTER(FlowControl, TFlowControl, m_flowControl)
KESTREL_LINE_SETTER(Options, TCommOptions, m_options)
#undef KESTREL_LINE_SETTER

char TCommHandle::CommChar(int index) const
{
    return index >= 1 && index <= 5 ? m_chars[index - 1] : '\0';
}

void TCommHandle::SetCommChar(int index, char value)
{
    if (index < 1 || index > 5 || m_chars[index - 1] == value)
        return;
    m_chars[index - 1] = value;
    settingChanged();
}

void TCommHandle::SetReadBufSize(int value)
{
    CheckInactive();
    m_readBufSize = value;
}

void TCommHandle::SetWriteBufSize(int value)
{
    CheckInactive();
    m_writeBufSize = value;
}

void TCommHandle::SetMonitorEvents(TCommEventTypes value)
{
    CheckInactive();
    m_monitorEvents = value;
}

int TCommHandle::InQueueCount()
{
    if (!Active() || m_handle < 0)
        return -1;
    int n = 0;
    if (ioctl(m_handle, FIONREAD, &n) < 0)
        n = 0;
    return n + BufferedCount();
}

int TCommHandle::BufferedCount()
{
    std::lock_guard lock(m_readLock);
    return static_cast<int>(m_rxTail - m_rxHead);
}

int TCommHandle::FillReceiveBuffer()
{
    std::lock_guard lock(m_readLock);
    if (m_rxHead == m_rxTail)
        m_rxHead = m_rxTail = 0;
    if (m_rxBuffer.empty())
        m_rxBuffer.resize(kReceiveBufferSize);
    if (m_rxTail == m_rxBuffer.size() && m_rxHead > 0) {
        std::memmove(m_rxBuffer.data(), m_rxBuffer.data() + m_rxHead, m_rxTail - m_rxHead);
        m_rxTail -= m_rxHead;
        m_rxHead = 0;
    }
    if (m_handle >= 0 && m_rxTail < m_rxBuffer.size()) {
        // Nothing waiting, a hang-up or an error leave the buffer as it is: the watcher reports
        // a hang-up from the poll result, and Read raises for a failing descriptor.
        ssize_t n = read(m_handle, m_rxBuffer.data() + m_rxTail, m_rxBuffer.size() - m_rxTail);
        if (n > 0)
            m_rxTail += RemoveErrorMarks(m_rxBuffer.data() + m_rxTail, static_cast<size_t>(n));
    }
    return static_cast<int>(m_rxTail - m_rxHead);
}

int TCommHandle::OutQueueCount()
{
    if (!Active() || m_handle < 0)
        return -1;
    int n = 0;
    if (ioctl(m_handle, TIOCOUTQ, &n) < 0)
        return 0;
    return n;
}

size_t TCommHandle::RemoveErrorMarks(char *data, size_t count)
{
    if (!m_errorsMarked)
        return count;
    // With PARMRK the driver passes a received 0xFF as 0xFF 0xFF and a byte received with a
    // parity or framing error as 0xFF 0x00 byte; the handset's data is what remains.
    size_t out = 0;
    for (size_t i = 0; i < count; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (m_markState == 0) {
            if (c == 0xFF)
                m_markState = 1;
            else
                data[out++] = static_cast<char>(c);
        } else if (m_markState == 1) {
            if (c == 0x00) {
                m_markState = 2;
            } else {
                data[out++] = static_cast<char>(0xFF);
                m_markState = 0;
                if (c != 0xFF)
                    data[out++] = static_cast<char>(c); // no mark after all
            }
        } else {
            m_markState = 0; // the byte received in error is dropped
        }
    }
    return out;
}

void TCommHandle::PurgeInput()
{
    if (Active() && m_handle >= 0) {
        std::lock_guard lock(m_readLock);
        m_rxHead = m_rxTail = 0;
        m_markState = 0;
        tcflush(m_handle, TCIFLUSH);
    }
}

void TCommHandle::PurgeOutput()
{
    if (Active() && m_handle >= 0)
        tcflush(m_handle, TCOFLUSH);
}

int TCommHandle::Write(const void *Buffer, int Count)
{
    std::lock_guard lock(m_writeLock);
    if (m_watcher)
        m_watcher->ArmTransmitWatch();
    const char *p = static_cast<const char *>(Buffer);
    const int64_t start = GetTickMs();
    int total = 0;
    ssize_t n = 0;
    for (;;) {
        n = write(m_handle, p, static_cast<size_t>(Count > 0 ? Count : 0));
        if (n > 0) {
            p += n;
            Count -= static_cast<int>(n);
            total += static_cast<int>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            // A full output queue is not a failure: wait (blocking, not spinning) until the
            // driver takes more, within the time limit.
            int left = RemainingMs(start, m_writeTimeout);
            if (m_writeTimeout == 0 || left == 0) {
                n = 0;
                break;
            }
            pollfd pfd{m_handle, POLLOUT, 0};
            poll(&pfd, 1, left);
            n = 0;
            continue;
        }
        if (n < 0 || Count <= 0 || m_writeTimeout == 0 || GetTickMs() - start >= m_writeTimeout)
            break;
    }
    if (n < 0)
        RaiseSystemError("FileWrite");
    // The total, not the last call's count: a write that needed several calls is not short.
    return total;
}

int TCommHandle::Read(void *Buffer, int Count)
{
    std::lock_guard lock(m_readLock);
    char *p = static_cast<char *>(Buffer);
    const int64_t start = GetTickMs();
    int total = 0;
    ssize_t n = 0;
    if (Count > 0 && m_rxTail > m_rxHead) {
        const size_t k = std::min(static_cast<size_t>(Count), m_rxTail - m_rxHead);
        std::memcpy(p, m_rxBuffer.data() + m_rxHead, k);
        m_rxHead += k;
        p += k;
        Count -= static_cast<int>(k);
        total += static_cast<int>(k);
        if (Count == 0) {
            m_bytesRead += static_cast<uint64_t>(total);
            return total;
        }
    }
    for (;;) {
        n = read(m_handle, p, static_cast<size_t>(Count > 0 ? Count : 0));
        if (n > 0) {
            // Marks removed, a read may bring nothing of the data: then it is a read of nothing.
            n = static_cast<ssize_t>(RemoveErrorMarks(p, static_cast<size_t>(n)));
            p += n;
            Count -= static_cast<int>(n);
            total += static_cast<int>(n);
        } else if (n == 0 && m_hungUp && total == 0) {
            // A line whose other end has gone reads as end of file: report it as the failure it is.
            errno = EIO;
            n = -1;
        }
        // Nothing more waiting (0 in raw mode without VMIN, or EAGAIN) ends the read; bytes already
        // read are returned rather than dropped.
        if (n <= 0 || Count <= 0 || m_readTimeout == 0 || GetTickMs() - start >= m_readTimeout)
            break;
    }
    m_bytesRead += static_cast<uint64_t>(total);
    if (n < 0 && (total == 0 || (errno != EAGAIN && errno != EINTR)))
        RaiseSystemError("FileRead");
    return total;
}

void TCommHandle::ApplySettings()
{
    termios tio;
    if (tcgetattr(m_handle, &tio) < 0)
        RaiseSystemError("tcgetattr");
    cfmakeraw(&tio);

    tio.c_iflag |= IGNBRK;
    if (m_monitorEvents & Bit(evError)) {
        tio.c_iflag &= ~static_cast<tcflag_t>(IGNPAR);
        tio.c_iflag |= PARMRK;
    } else {
        tio.c_iflag |= IGNPAR;
    }
    {
        std::lock_guard lock(m_readLock);
        m_errorsMarked = (tio.c_iflag & PARMRK) != 0;
        m_markState = 0;
    }
    if (m_parity == paOdd || m_parity == paEven)
        tio.c_iflag |= INPCK;
    else
        tio.c_iflag &= ~static_cast<tcflag_t>(INPCK);
    if (m_flowControl == fcSoftware)
        tio.c_iflag |= IXON | IXANY | IXOFF;
    else if (m_flowControl != fcDefault)
        tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXANY | IXOFF);

    tio.c_cflag |= CREAD | HUPCL | CLOCAL;
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    switch (m_databits) {
    case da5:
        tio.c_cflag |= CS5;
        break;
    case da6:
        tio.c_cflag |= CS6;
        break;
    case da7:
        tio.c_cflag |= CS7;
        break;
    case da8:
        tio.c_cflag |= CS8;
        break;
    default:
        throw EComError("Databits settings not supported");
    }
    switch (m_stopbits) {
    case sb10:
        tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
        break;
    case sb20:
        tio.c_cflag |= CSTOPB;
        break;
    default:
        throw EComError("Stopbits settings not supported");
    }
    if (m_parity == paNone) {
        tio.c_cflag &= ~static_cast<tcflag_t>(PARENB);
    } else {
        tio.c_cflag |= PARENB;
        if (m_parity == paOdd)
            tio.c_cflag |= PARODD;
        else if (m_parity == paEven)
            tio.c_cflag &= ~static_cast<tcflag_t>(PARODD);
        else
            throw EComError("Parity settings not supported");
    }
    if (m_flowControl == fcCTS)
        tio.c_cflag |= CRTSCTS;
    else if (m_flowControl == fcNone || m_flowControl == fcSoftware)
        tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    else if (m_flowControl == fcDTR)
        throw EComError("Flow control settings not supported");

    speed_t speed = SpeedCode(m_baudrate);
    cfsetospeed(&tio, speed);
    cfsetispeed(&tio, speed);

    tio.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    tio.c_cc[VEOF] = static_cast<cc_t>(EofChar());
    tio.c_cc[VSTART] = static_cast<cc_t>(XonChar());
    tio.c_cc[VSTOP] = static_cast<cc_t>(XoffChar());
    tio.c_cc[VINTR] = static_cast<cc_t>(EvtChar());
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(m_handle, TCSANOW, &tio) < 0)
        RaiseSystemError("tcsetattr TSCANOW");
}

void TCommHandle::DispatchEvents(int Events)
{
    if ((Events & EV_BREAK) && OnBreak)
        OnBreak(this);
    if ((Events & EV_CTS) && OnCts)
        OnCts(this);
    if ((Events & EV_DSR) && OnDsr)
        OnDsr(this);
    if ((Events & EV_ERR) && OnError)
        OnError(this, m_lastErrors);
    if ((Events & EV_RING) && OnRing)
        OnRing(this);
    if ((Events & EV_RLSD) && OnRlsd)
        OnRlsd(this);
    if (Events & EV_RXCHAR) {
        // The watcher has just filled the buffer; only when it is empty is the driver asked.
        int n = BufferedCount();
        if (n == 0)
            n = InQueueCount();
        if (n > 0)
            DoRxChar(n);
    }
    if ((Events & EV_RXFLAG) && OnRxFlag)
        OnRxFlag(this);
    if ((Events & EV_TXEMPTY) && OnTxEmpty)
        OnTxEmpty(this);
}

void TCommHandle::DoOpen()
{
    if (m_handle == -1)
        RaiseSystemError("CreateFile");
    m_hungUp = false;
    try {
        m_watcher = std::make_unique<TCommEventThread>(this, m_monitorEvents, m_handle);
    } catch (const std::system_error &e) {
        throw EComError(Format("Thread creation error: %s", e.what()));
    }
    ApplySettings();
}

void TCommHandle::DoClose()
{
    if (m_watcher) {
        m_watcher->Terminate();
        m_watcher.reset();
    }
    {
        std::lock_guard lock(m_readLock);
        m_rxHead = m_rxTail = 0;
        m_markState = 0;
    }
    if (m_handle != -1) {
        close(m_handle);
        m_handle = -1;
    }
}

TComm::TComm() = default;

TComm::~TComm()
{
    Destroy();
}

void TComm::SetDeviceName(const std::string &name)
{
    CheckInactive();
    m_deviceName = name;
}

void TComm::DoOpen()
{
    // The lock's name is fixed now: a link that changes or vanishes while the port is open (the
    // modem unplugged) must not leave the lock behind.
    m_lockFile = LockFileName(m_deviceName);
    CreateLockFile(m_lockFile, m_deviceName);
    m_handle = open(m_deviceName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_handle == -1) {
        int err = errno;
        RemoveLockFile(m_lockFile);
        errno = err;
    }
    TCommHandle::DoOpen();
}

void TComm::DoClose()
{
    if (m_handle != -1) {
        TCommHandle::DoClose();
        RemoveLockFile(m_lockFile);
    } else {
        TCommHandle::DoClose();
    }
}

} // namespace kestrel
