// The clock that the parts keeping wall-clock time read: the send queue's leases and back-off, the
// log files' time stamps, the times recorded in the store. It is the system's clock unless a test
// sets another, so that tests move time on instead of sleeping and can assert exact times.
#pragma once

#include <atomic>
#include <cstdint>

namespace kestrel {

class TClock {
public:
    virtual ~TClock() = default;
    // Milliseconds since 1970-01-01 00:00 UTC.
    virtual int64_t UnixMs() const = 0;
};

// The clock in force: the system's, or the one SetClock gave.
const TClock &Clock();
// Puts Clock in force for the whole process until it is set again (nullptr: the system's). The
// clock must outlive its use; tests set it through TClockOverride.
void SetClock(const TClock *Clock);

// A clock that stands still until it is set or moved on; any thread may read it.
class TManualClock : public TClock {
public:
    explicit TManualClock(int64_t UnixMs = 0) : m_ms(UnixMs) {}
    int64_t UnixMs() const override { return m_ms.load(); }
    void Set(int64_t UnixMs) { m_ms.store(UnixMs); }
    void Advance(int64_t Ms) { m_ms.fetch_add(Ms); }

private:
    std::atomic<int64_t> m_ms;
};

// A manual clock in force for the life of this object; the system's again after it.
class TClockOverride : public TManualClock {
public:
    explicit TClockOverride(int64_t UnixMs) : TManualClock(UnixMs) { SetClock(this); }
    ~TClockOverride() override { SetClock(nullptr); }
    TClockOverride(const TClockOverride &) = delete;
    TClockOverride &operator=(const TClockOverride &) = delete;
};

} // namespace kestrel
