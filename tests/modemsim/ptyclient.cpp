#include "ptyclient.h"

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace kestrel::test {

using TClock = std::chrono::steady_clock;

TPtyClient::TPtyClient(const std::string &path)
{
    m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0)
        return;
    termios tio{};
    tcgetattr(m_fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(m_fd, TCSANOW, &tio);
}

TPtyClient::~TPtyClient()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void TPtyClient::Write(const std::string &bytes)
{
    size_t done = 0;
    while (m_fd >= 0 && done < bytes.size()) {
        ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else {
            pollfd p{m_fd, POLLOUT, 0};
            if (::poll(&p, 1, 1000) <= 0)
                return;
        }
    }
}

std::string TPtyClient::ReadOnce(int timeoutMs, bool *eof)
{
    if (eof)
        *eof = false;
    if (!m_pending.empty()) {
        std::string s;
        s.swap(m_pending);
        return s;
    }
    pollfd p{m_fd, POLLIN, 0};
    if (m_fd < 0 || ::poll(&p, 1, timeoutMs) <= 0)
        return {};
    char buf[4096];
    ssize_t n = ::read(m_fd, buf, sizeof buf);
    if (n <= 0) {
        if (eof)
            *eof = true;
        return {};
    }
    return std::string(buf, static_cast<size_t>(n));
}

bool EndsAnswer(const std::string &text)
{
    static const char *finals[] = {"\r\nOK\r\n", "\r\nERROR\r\n", "\r\nNO CARRIER\r\n", "\r\n> "};
    for (const char *f : finals) {
        std::string s(f);
        if (text.size() >= s.size() && text.compare(text.size() - s.size(), s.size(), s) == 0)
            return true;
    }
    for (const char *prefix : {"\r\n+CME ERROR:", "\r\n+CMS ERROR:"}) {
        size_t at = text.rfind(prefix);
        if (at != std::string::npos && text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0 &&
            text.find("\r\n", at + 2) == text.size() - 2)
            return true;
    }
    return false;
}

std::string TPtyClient::readWhile(const std::function<bool(const std::string &)> &more, int timeoutMs)
{
    std::string got;
    auto end = TClock::now() + std::chrono::milliseconds(timeoutMs);
    while (more(got)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - TClock::now()).count();
        if (left <= 0)
            break;
        bool eof = false;
        got += ReadOnce(static_cast<int>(left), &eof);
        if (eof)
            break;
    }
    return got;
}

std::string TPtyClient::Command(const std::string &cmd, int timeoutMs)
{
    Write(cmd + "\r");
    return ReadAnswer(timeoutMs);
}

std::string TPtyClient::ReadAnswer(int timeoutMs)
{
    return readWhile([](const std::string &got) { return !EndsAnswer(got); }, timeoutMs);
}

std::string TPtyClient::ReadUntil(const std::string &needle, int timeoutMs)
{
    return readWhile([&](const std::string &got) { return got.find(needle) == std::string::npos; },
                     timeoutMs);
}

std::string TPtyClient::ReadQuiet(int quietMs)
{
    std::string got;
    for (;;) {
        bool eof = false;
        std::string s = ReadOnce(quietMs, &eof);
        if (s.empty())
            return got;
        got += s;
    }
}

} // namespace kestrel::test
