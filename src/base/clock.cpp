#include "base/clock.h"

#include <chrono>

namespace kestrel {

namespace {

class TSystemClock : public TClock {
public:
    int64_t UnixMs() const override
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
};

// nullptr: the system's (a static object's address would not be safe to use from other static
// initialisers).
std::atomic<const TClock *> g_clock{nullptr};

} // namespace

const TClock &Clock()
{
    static const TSystemClock system;
    const TClock *clock = g_clock.load();
    return clock ? *clock : system;
}

void SetClock(const TClock *Clock)
{
    g_clock.store(Clock);
}

} // namespace kestrel
