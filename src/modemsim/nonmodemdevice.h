// TNonModemDevice: a pseudo-terminal with something other than a modem behind it, for the tests
// and benchmarks of modem detection: a loop-back that echoes every byte, or a device that
// answers everything with line noise that never forms a result code.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace kestrel {

class TNonModemDevice {
public:
    enum TKind { Echo, Garbage };
    // Raises std::runtime_error when no pseudo-terminal can be had.
    explicit TNonModemDevice(TKind kind);
    ~TNonModemDevice();
    TNonModemDevice(const TNonModemDevice &) = delete;
    TNonModemDevice &operator=(const TNonModemDevice &) = delete;

    const std::string &DevicePath() const { return m_path; }

private:
    void run();

    TKind m_kind;
    int m_master = -1;
    int m_slave = -1;
    int m_wake[2] = {-1, -1}; // written to end the thread
    std::string m_path;
    std::thread m_thread;
};

} // namespace kestrel
