// Segments of multipart payloads that lie: impossible numbers, forged repeats, counts that change,
// parts that never come, references shared between senders or between reference widths, and
// thousands of payloads left half finished. The sequences are records of the protocol stack's
// fuzz corpus, replayed the way the application handles received messages.
#include "hostilecorpus.h"

#include "base/format.h"
#include "connect/connection.h"
#include "gsm/sms.h"
#include "xsms/protocolstack.h"

#include <gtest/gtest.h>

#include <malloc.h>

#if defined(__SANITIZE_ADDRESS__)
#define KESTREL_HOSTILE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTREL_HOSTILE_ASAN 1
#endif
#endif
#ifdef KESTREL_HOSTILE_ASAN
// From the sanitizer runtime (its header does not come with every compiler).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

using namespace kestrel;
using namespace kestrel::hostile;

namespace {

constexpr TDateTime kMinute = 1.0 / 1440;

// Bytes of heap in use (the sanitizer's allocator keeps its own count).
size_t heapInUse()
{
#ifdef KESTREL_HOSTILE_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

// Replays records of the protocol_stack corpus: a flags octet (bit 0 TP-UDHI, bits 1-2 sender,
// bits 3-4 minutes that pass before the message, bit 5 keep complete entries when expiring), a
// length octet and the user data. Each message gets one line: the key and progress of the
// payload it went to, "refused by KEY" or "no segment", and the number of open payloads.
std::vector<std::string> replay(const std::string &records)
{
    TSMSProtocolStack stack;
    TDateTime now = NowUTC();
    stack.Clock = [&now] { return now; };
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos + 2 <= records.size()) {
        const auto flags = static_cast<uint8_t>(records[pos]);
        const size_t length =
            std::min<size_t>(static_cast<uint8_t>(records[pos + 1]), records.size() - pos - 2);
        TSMSDeliver sms;
        sms.SetFirstOctetBit(6, flags & 1);
        sms.OA = "+44" + std::to_string((flags >> 1) & 3);
        sms.UserData = records.substr(pos + 2, length);
        pos += 2 + length;

        now += ((flags >> 3) & 3) * kMinute;
        stack.Expire(flags & 0x20, 5 * kMinute);
        TSMSProtocol *p = nullptr;
        std::string line;
        const int open = stack.Count();
        if (stack.AddSegment(&sms, p)) {
            // A payload's age starts with its first segment, on the replay's clock.
            if (stack.Count() > open)
                p->SetTimestamp(now);
            const std::string key = TSMSProtocolStack::MakeKey(sms.OA, p->Reference());
            line = Format("%s %d/%d", key.c_str(), p->ReceivedCount(), p->SegmentCount());
            if (p->State() == kStateComplete) {
                line += " complete " + p->Data();
                stack.RemoveProtocol(p);
            }
        } else if (p) {
            line = "refused by " + TSMSProtocolStack::MakeKey(sms.OA, p->Reference()) +
                   Format(" %d/%d", p->ReceivedCount(), p->SegmentCount());
        } else {
            line = "no segment";
        }
        lines.push_back(line + Format(", open %d", stack.Count()));
    }
    return lines;
}

TEST(HostileConcatenation, Sequences)
{
    struct TCase {
        const char *name;
        std::vector<std::string> lines;
    } cases[] = {
        // TS 23.040 9.2.3.24.1: such numbers void the element, and with it the segment.
        {"hostile_sequence_zero", {"no segment, open 0"}},
        {"hostile_sequence_above_count", {"no segment, open 0"}},
        {"hostile_count_zero", {"no segment, open 0", "no segment, open 0"}},
        // A forged repeat does not replace what arrived first; a true repeat is harmless.
        {"hostile_duplicate_different_content",
         {"+440_2A 1/2, open 1", "refused by +440_2A 1/2, open 1", "+440_2A 1/2, open 1",
          "+440_2A 2/2 complete first-second, open 0"}},
        {"hostile_counts_differ",
         {"+440_2A 1/2, open 1", "refused by +440_2A 1/2, open 1", "+440_2A 2/2 complete one-two, open 0"}},
        // The first two parts expire after five minutes; the late third starts afresh.
        {"hostile_parts_never_arrive",
         {"+440_2A 1/3, open 1", "+440_2A 2/3, open 1", "+441_07 1/2, open 2", "+441_08 1/2, open 2",
          "+440_2A 1/3, open 3"}},
        {"hostile_same_reference_other_senders",
         {"+440_2A 1/2, open 1", "+441_2A 1/2, open 2", "+440_2A 2/2 complete A1-A2, open 1",
          "+441_2A 2/2 complete B1-B2, open 0"}},
        // A 16-bit reference that differs is another payload; one of the same value joins the
        // 8-bit one, as the reference numbers are equal.
        {"hostile_mixed_reference_widths",
         {"+440_2A 1/2, open 1", "+440_12A 1/2, open 2", "+440_2A 2/2 complete eight-same, open 1"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(replay(Corpus("protocol_stack", c.name)), c.lines) << c.name;
}

TEST(HostileConcatenation, HalfFinishedPayloadsFromTheCorpusStayOpenUntilTheyExpire)
{
    const auto lines = replay(Corpus("protocol_stack", "hostile_many_half_finished"));
    ASSERT_EQ(lines.size(), 256u);
    for (int r = 0; r < 256; ++r)
        EXPECT_EQ(lines[static_cast<size_t>(r)], Format("+44%d_%.2X 1/255, open %d", r % 4, r, r + 1));
}

// Each payload announces 255 segments and sends one: only what arrived costs memory, and the
// whole lot goes when it expires.
TEST(HostileConcatenation, ThousandsOfHalfFinishedPayloadsStayBoundedAndExpire)
{
    constexpr int kPayloads = 5000;
    TSMSProtocolStack stack;
    TDateTime now = NowUTC();
    stack.Clock = [&now] { return now; };
    const size_t before = heapInUse();
    for (int i = 0; i < kPayloads; ++i) {
        TSMSDeliver sms;
        sms.SetFirstOctetBit(6, true);
        sms.OA = Format("+4477009%.3d", i % 100);
        // UDHL 6: a 16-bit reference i, 255 segments, this is the first.
        const char header[] = {6, 8, 4, static_cast<char>(i >> 8), static_cast<char>(i & 0xFF), '\xFF', 1};
        sms.UserData = std::string(header, sizeof header) + std::string(100, 'x');
        TSMSProtocol *p = nullptr;
        ASSERT_TRUE(stack.AddSegment(&sms, p)) << i;
        ASSERT_EQ(p->SegmentCount(), 255);
        ASSERT_EQ(p->ReceivedCount(), 1);
    }
    ASSERT_EQ(stack.Count(), kPayloads);
    const size_t grown = heapInUse() - before;
    RecordProperty("heap_per_open_payload_B", static_cast<int>(grown / kPayloads));
    // One 107-octet segment, the object and its index entries: well under a table of 255 slots.
    EXPECT_LT(grown / kPayloads, 3000u) << grown;

    now += 4 * kMinute;
    stack.Expire(false, 5 * kMinute);
    EXPECT_EQ(stack.Count(), kPayloads);
    now += 10 * kMinute;
    stack.Expire(false, 5 * kMinute);
    EXPECT_EQ(stack.Count(), 0);
    const size_t left = heapInUse() - before;
    RecordProperty("heap_left_after_expiry_B", static_cast<int>(left));
    EXPECT_LT(left, grown / 20) << left;
}

} // namespace
