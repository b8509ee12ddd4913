// A time zone for a test's duration, so that local times (log lines, Now()) can be asserted
// exactly. Takes POSIX rules ("CET-1CEST,M3.5.0,M10.5.0/3", "UTC0"): no zone database is needed.
#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace kestrel::testsupport {

class TTimeZone {
public:
    explicit TTimeZone(const char *zone)
    {
        if (const char *old = std::getenv("TZ"))
            m_old = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~TTimeZone()
    {
        if (m_old)
            setenv("TZ", m_old->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    TTimeZone(const TTimeZone &) = delete;
    TTimeZone &operator=(const TTimeZone &) = delete;

private:
    std::optional<std::string> m_old;
};

} // namespace kestrel::testsupport
