// Shared body of the protocol decoder fuzz targets. The input is one or two segments: the first
// octet gives the length of the first; the rest is the second. Each segment is decoded into a
// fresh object, and the second also after the first, and the object's promises are checked.
#pragma once

#include "gsm/userdataprotocols.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace kestrel::fuzz {

inline void Check(bool condition)
{
    if (!condition)
        std::abort();
}

// A refused segment changes nothing; an accepted one is stored within the announced count.
inline void DecodeAndCheck(TSMSProtocol &p, const std::string &segment)
{
    const uint8_t state = p.State();
    const int count = p.SegmentCount(), received = p.ReceivedCount();
    const uint32_t reference = p.Reference();
    const uint8_t result = p.Decode(segment);
    Check(result <= kDecodeConflict);
    if (result != kDecodeAccepted) {
        Check(p.State() == state && p.SegmentCount() == count && p.ReceivedCount() == received &&
              p.Reference() == reference);
        return;
    }
    Check(p.State() == kStateComplete || p.State() == kStateIncomplete);
    Check(p.SegmentCount() >= 1 && p.SegmentCount() <= 65535);
    Check(p.ReceivedCount() >= 1 && p.ReceivedCount() <= p.SegmentCount());
    Check((p.State() == kStateComplete) == (p.ReceivedCount() == p.SegmentCount()));
    if (p.State() == kStateComplete)
        (void)p.Data(); // readable once complete
}

template <class T>
int FuzzOne(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const std::string input(reinterpret_cast<const char *>(data), size);
    const size_t firstLength = std::min<size_t>(data[0], size - 1);
    const std::string first = input.substr(1, firstLength);
    const std::string second = input.substr(1 + firstLength);
    {
        T fresh;
        DecodeAndCheck(fresh, input.substr(1));
    }
    T p;
    DecodeAndCheck(p, first);
    DecodeAndCheck(p, second);
    DecodeAndCheck(p, second); // a repeat is accepted again or refused, never stored twice
    return 0;
}

} // namespace kestrel::fuzz
