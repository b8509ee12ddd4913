#include "modemsim/nonmodemdevice.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace kestrel {

TNonModemDevice::TNonModemDevice(TKind kind) : m_kind(kind)
{
    char name[256];
    if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("no pseudo-terminal to be had");
    if (pipe2(m_wake, O_CLOEXEC) != 0) {
        close(m_master);
        close(m_slave);
        throw std::runtime_error("no pipe to be had");
    }
    m_path = name;
    // Raw, so that the line discipline adds no echo of its own.
    termios t{};
    tcgetattr(m_slave, &t);
    cfmakeraw(&t);
    tcsetattr(m_slave, TCSANOW, &t);
    m_thread = std::thread([this] { run(); });
}

TNonModemDevice::~TNonModemDevice()
{
    const char c = 0;
    [[maybe_unused]] auto n = write(m_wake[1], &c, 1);
    m_thread.join();
    for (int fd : {m_master, m_slave, m_wake[0], m_wake[1]})
        close(fd);
}

void TNonModemDevice::run()
{
    unsigned seed = 7;
    for (;;) {
        pollfd p[2] = {{m_master, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0 || (p[1].revents & POLLIN))
            return;
        char buf[256];
        const ssize_t n = read(m_master, buf, sizeof buf);
        if (n <= 0)
            continue;
        std::string out(buf, static_cast<size_t>(n));
        if (m_kind == Garbage) {
            // Printable bytes and line ends, never a result code.
            out.clear();
            for (int i = 0; i < 40; ++i) {
                seed = seed * 1103515245 + 12345;
                out += i % 13 == 12 ? '\r' : static_cast<char>('#' + (seed >> 16) % 60);
            }
        }
        [[maybe_unused]] auto w = write(m_master, out.data(), out.size());
    }
}

} // namespace kestrel
