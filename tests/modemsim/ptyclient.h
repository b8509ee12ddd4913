// The host side of a test: opens the simulator's slave device as a raw serial line and talks AT
// with plain POSIX calls, so the simulator is tested without the serial component.
#pragma once

#include <functional>
#include <string>

namespace kestrel::test {

class TPtyClient {
public:
    explicit TPtyClient(const std::string &path);
    ~TPtyClient();
    TPtyClient(const TPtyClient &) = delete;
    TPtyClient &operator=(const TPtyClient &) = delete;

    bool IsOpen() const { return m_fd >= 0; }
    void Write(const std::string &bytes);
    // Writes cmd + CR and reads until a final result (or the "> " prompt) ends the answer.
    std::string Command(const std::string &cmd, int timeoutMs = 2000);
    // Reads until a final result (or the "> " prompt) ends the answer.
    std::string ReadAnswer(int timeoutMs = 2000);
    // Reads until text contains needle; returns everything read (also on timeout).
    std::string ReadUntil(const std::string &needle, int timeoutMs = 2000);
    // Reads until no byte came for quietMs.
    std::string ReadQuiet(int quietMs);
    // One read() after waiting up to timeoutMs; empty on timeout. eof is set on end or error.
    std::string ReadOnce(int timeoutMs, bool *eof = nullptr);

private:
    std::string readWhile(const std::function<bool(const std::string &)> &more, int timeoutMs);

    int m_fd = -1;
    std::string m_pending; // read but not yet returned
};

// True when text ends a command's answer: a final result line or the data prompt.
bool EndsAnswer(const std::string &text);

} // namespace kestrel::test
