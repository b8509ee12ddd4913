// Sequences of received messages to a protocol stack, handled as the application handles them:
// expire, add, take complete payloads out. Each record of the input is one message: a flags octet
// (bit 0 TP-UDHI, bits 1-2 sender, bits 3-4 minutes that pass before it, bit 5 keep complete
// entries when expiring), a length octet and that many octets of user data.
#include "connect/connection.h"
#include "gsm/sms.h"
#include "xsms/protocolstack.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace kestrel;

static void check(bool condition)
{
    if (!condition)
        std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    TSMSProtocolStack stack;
    // Payloads are stamped with the current time when their first segment arrives; the stack's
    // clock starts there too, so the minutes of the records really make payloads expire.
    TDateTime now = NowUTC();
    stack.Clock = [&now] { return now; };
    size_t pos = 0;
    while (pos + 2 <= size) {
        const uint8_t flags = data[pos];
        const size_t length = std::min<size_t>(data[pos + 1], size - pos - 2);
        TSMSDeliver sms;
        sms.SetFirstOctetBit(6, flags & 1);
        sms.OA = "+44" + std::to_string((flags >> 1) & 3);
        sms.UserData.assign(reinterpret_cast<const char *>(data + pos + 2), length);
        pos += 2 + length;

        now += ((flags >> 3) & 3) / 1440.0;
        stack.Expire(flags & 0x20, 5.0 / 1440);
        const int before = stack.Count();
        TSMSProtocol *protocol = nullptr;
        const bool accepted = stack.AddSegment(&sms, protocol);
        check(stack.Count() == before || (accepted && stack.Count() == before + 1));
        if (accepted && protocol->State() == kStateComplete) {
            (void)protocol->Data();
            check(stack.RemoveProtocol(protocol) != nullptr);
        }
        const auto entries = stack.Entries();
        check(static_cast<int>(entries.size()) == stack.Count());
        for (const auto &[key, object] : entries)
            check(stack.Find(key) == object && object->State() != kStateEmpty);
    }
    return 0;
}
