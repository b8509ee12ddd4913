// An engine on the serial port of a real pseudo-terminal, with the virtual handset on the other
// side.
#pragma once

#include "comm/comm.h"
#include "gsm/gsm.h"
#include "modemsim/modemsimulator.h"

#include <QCoreApplication>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kestrel::test {

inline TModemSimulatorOptions Handset(const std::string &equipment, const std::string &pin = {})
{
    TModemSimulatorOptions o;
    o.equipment = equipment;
    o.pin = pin;
    return o;
}

// Members are destroyed engine first, then port, then handset.
struct TEngineRig {
    TModemSimulator sim;
    TComm comm;
    TGSM gsm;

    explicit TEngineRig(const TModemSimulatorOptions &options, const std::string &engineEquipment = {})
        : sim(options)
    {
        static const std::string lockDir = [] {
            auto dir =
                std::filesystem::temp_directory_path() / ("kestrel-engine-locks-" + std::to_string(getpid()));
            std::filesystem::create_directories(dir);
            return dir.string();
        }();
        SetLockDirectory(lockDir);
        comm.SetDeviceName(sim.DevicePath());
        gsm.SetCOMDevice(&comm);
        gsm.SetEquipment(StrToEquipment(engineEquipment.empty() ? options.equipment : engineEquipment));
        // Only the tests of the timeouts themselves need the real values.
        gsm.SetRecTimeout(400);
        gsm.SetRepeatTimeout(20);
    }

    // Commands received since the transcript was last cleared.
    std::vector<std::string> Commands() const { return sim.ReceivedCommands(); }
};

// Runs the main thread's event loop until cond holds or timeoutMs passed.
inline bool PumpUntil(const std::function<bool()> &cond, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline int64_t ElapsedMs(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since)
        .count();
}

} // namespace kestrel::test
