// Helpers of the fault tests: the error a command ends with, and how long it took.
#pragma once

#include "../messaging/messagingrig.h"

#include <chrono>
#include <ctime>
#include <functional>
#include <string>
#include <thread>

namespace kestrel::test {

struct TOutcome {
    bool raised = false;
    std::string message;
    int64_t ms = 0;
};

// Runs fn and reports the EConnectError (or descendant) it raised, with the time it took.
inline TOutcome Outcome(const std::function<void()> &fn)
{
    TOutcome o;
    const auto start = std::chrono::steady_clock::now();
    try {
        fn();
    } catch (const EConnectError &e) {
        o.raised = true;
        o.message = e.what();
    }
    o.ms = ElapsedMs(start);
    return o;
}

// CPU time the whole process used while the calling thread slept for ms: what its other threads
// (port watchers, the engine's thread, simulators) burn while nothing happens.
inline int64_t CpuMsWhileIdle(int ms)
{
    auto cpu = [] {
        timespec ts{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    };
    const int64_t before = cpu();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return cpu() - before;
}

inline bool StartsWith(const std::string &text, const std::string &prefix)
{
    return text.rfind(prefix, 0) == 0;
}

} // namespace kestrel::test
