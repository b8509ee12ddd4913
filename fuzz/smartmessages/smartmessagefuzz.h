// Shared helpers of the payload fuzz targets. A decoder may refuse its input only with EGSMError;
// any other exception escapes and counts as a finding, as does a render that fails after a
// successful parse, or a second parse of our own rendering that does not reproduce it.
#pragma once

#include "gsm/gsmerror.h"
#include "xsms/smartmessage.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace kestrel::fuzz {

inline void Check(bool condition)
{
    if (!condition)
        std::abort();
}

// The ports of the ports target: the first octet of its inputs picks one of these (the last is
// a port of no payload class). The hostile-input tests read that corpus with the same table.
inline constexpr uint16_t kPorts[] = {kSMPortvCard,
                                      kSMPortvCalendar,
                                      kSMPortWapvCard,
                                      kSMPortWapvCalendar,
                                      kSMPortWapvCardSecure,
                                      kSMPortWapvCalendarSecure,
                                      kSMPortRingingTone,
                                      kSMPortOperatorLogo,
                                      kSMPortCLIIcon,
                                      kSMPortMultipart,
                                      1234};

inline std::string Bytes(const uint8_t *data, size_t size)
{
    return std::string(reinterpret_cast<const char *>(data), size);
}

// What we render from a parsed object parses again and renders the same.
inline void CheckStableRendering(TSmartMessage &message, TSmartMessage &fresh)
{
    std::string first;
    try {
        first = message.GetData();
    } catch (const EGSMError &) {
        return; // a parsed object the writer cannot express (an unsupported song type)
    }
    fresh.SetData(first);
    Check(fresh.GetData() == first);
}

} // namespace kestrel::fuzz
