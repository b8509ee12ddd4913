// An event object with manual or automatic reset and a timed wait, used where one thread waits
// for another (a modem reply, a terminating worker).
#pragma once

#include <condition_variable>
#include <mutex>

namespace kestrel {

enum class TWaitResult { wrSignaled, wrTimeout, wrAbandoned, wrError };

constexpr unsigned kInfinite = 0xFFFFFFFFu;

class TEvent {
public:
    explicit TEvent(bool manualReset = true, bool initialState = false);
    TEvent(const TEvent &) = delete;
    TEvent &operator=(const TEvent &) = delete;

    void SetEvent();
    void ResetEvent();
    bool IsSet() const;
    bool ManualReset() const { return m_manualReset; }

    // Waits until the event is set or timeoutMs passed (kInfinite: no limit; 0: only a test).
    // An auto-reset event is consumed by a successful wait.
    TWaitResult WaitFor(unsigned timeoutMs);
    // Like WaitFor, but never consumes: an auto-reset event stays set for the next waiter.
    TWaitResult WaitSet(unsigned timeoutMs);

private:
    TWaitResult wait(unsigned timeoutMs, bool consume);

    const bool m_manualReset;
    bool m_set;
    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
};

} // namespace kestrel
