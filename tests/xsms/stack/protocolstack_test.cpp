#include "base/format.h"
#include "connect/connection.h"
#include "gsm/sms.h"
#include "gsm/tpdufields.h"
#include "xsms/protocolstack.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace kestrel;

namespace {

constexpr TDateTime kMinute = 1.0 / 1440;

std::unique_ptr<TSMSDeliver> deliver(const std::string &from, const std::string &userData, bool udhi = false)
{
    auto sms = std::make_unique<TSMSDeliver>();
    sms->OA = from;
    sms->UserData = userData;
    sms->SetFirstOctetBit(6, udhi);
    return sms;
}

std::string nbsSegment(int sequence, const std::string &text, int reference = 5, int count = 3)
{
    return Format("//SCK1581%.2X%.2X%.2X ", reference, count, sequence) + text;
}

// Offers a message and expects the outcome; returns the object it was routed to.
TSMSProtocol *add(TSMSProtocolStack &stack, const TSMS &sms, bool accepted)
{
    TSMSProtocol *protocol = reinterpret_cast<TSMSProtocol *>(1);
    EXPECT_EQ(stack.AddSegment(&sms, protocol), accepted);
    return protocol;
}

TEST(TSMSProtocolStack, ReassemblesOutOfOrder)
{
    TSMSProtocolStack stack;
    const std::vector<std::pair<int, std::string>> arrivals = {{3, "three"}, {1, "one-"}, {2, "two-"}};
    TSMSProtocol *first = nullptr;
    const std::vector<std::string> progress = {"*ref:05, #1/3, , addr:0015", "*ref:05, #2/3, , addr:0015",
                                               "*ref:05, #3/3, , addr:0015 complete"};
    for (size_t i = 0; i < arrivals.size(); ++i) {
        auto sms = deliver("+441234567890", nbsSegment(arrivals[i].first, arrivals[i].second));
        TSMSProtocol *p = add(stack, *sms, true);
        if (i == 0)
            first = p;
        EXPECT_EQ(p, first);
        EXPECT_EQ(p->ReceivedCount(), static_cast<int>(i + 1));
        EXPECT_EQ(ProtocolProgress(*p), progress[i]);
    }
    ASSERT_EQ(first->State(), kStateComplete);
    EXPECT_EQ(first->Data(), "one-two-three");
    ASSERT_EQ(stack.Count(), 1);
    EXPECT_EQ(stack.Entries()[0].first, "+441234567890_05");

    // The same segment again is accepted and changes nothing.
    auto again = deliver("+441234567890", nbsSegment(2, "two-"));
    EXPECT_EQ(add(stack, *again, true), first);
    EXPECT_EQ(first->Data(), "one-two-three");

    // Taken out, the object is the caller's; a later payload under the same key starts afresh.
    std::unique_ptr<TSMSProtocol> owned = stack.RemoveProtocol(first);
    ASSERT_EQ(owned.get(), first);
    EXPECT_EQ(stack.Count(), 0);
    EXPECT_EQ(stack.RemoveProtocol(first), nullptr);
    auto next = deliver("+441234567890", nbsSegment(1, "new"));
    EXPECT_NE(add(stack, *next, true), nullptr);
    EXPECT_EQ(stack.Count(), 1);
    EXPECT_EQ(stack.Find("+441234567890_05")->ReceivedCount(), 1);
}

TEST(TSMSProtocolStack, RoutingTable)
{
    struct TCase {
        const char *name;
        std::string from, userData;
        bool udhi;
        bool accepted;
        const char *protocol; // class of the new entry, nullptr for none
        std::string key;
        uint8_t state;
    };
    const std::string ota = "//SEO" + std::string(1, '\1') + IntToLE(2, 2) + IntToLE(0x01020304, 4) +
                            IntToLE(1, 2) + IntToLE(1, 2) + IntToLE(2, 4) + PascalString("n") +
                            PascalString("t") + "ab";
    const std::vector<TCase> cases = {
        {"single NBS segment", "+4412", "//SCKE2 hello", false, true, "TNBS", "+4412_00", kStateComplete},
        {"binary header", "+4412", HexToStr("050003070201") + "abc", true, true, "TUDHProtocol", "+4412_07",
         kStateIncomplete},
        {"16-bit reference", "+4412",
         HexToStr("0608041234020"
                  "1") +
             "abc",
         true, true, "TUDHProtocol", "+4412_1234", kStateIncomplete},
        {"Siemens OTA", "+4412", ota, false, true, "TSiemensOTA", "+4412_1020304", kStateComplete},
        {"alphanumeric sender", "Oracle", "//SCKE2 x", false, true, "TNBS", "Oracle_00", kStateComplete},
        {"plain text", "+4412", "hello", false, false, nullptr, "", 0},
        {"header marker without header", "+4412", "//SCK1581zz hello", false, false, nullptr, "", 0},
        {"text header under TP-UDHI", "+4412", "//SCKE2 hello", true, false, nullptr, "", 0},
        {"malformed sequence number", "+4412", nbsSegment(4, "x"), false, false, nullptr, "", 0},
        {"binary header, sequence 0", "+4412", HexToStr("050003070200") + "abc", true, false, nullptr, "", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TSMSProtocolStack stack;
        auto sms = deliver(c.from, c.userData, c.udhi);
        TSMSProtocol *p = add(stack, *sms, c.accepted);
        if (!c.protocol) {
            EXPECT_EQ(p, nullptr);
            EXPECT_EQ(stack.Count(), 0);
            continue;
        }
        ASSERT_NE(p, nullptr);
        const bool rightClass =
            (std::string(c.protocol) == "TNBS" && dynamic_cast<TNBS *>(p)) ||
            (std::string(c.protocol) == "TUDHProtocol" && dynamic_cast<TUDHProtocol *>(p)) ||
            (std::string(c.protocol) == "TSiemensOTA" && dynamic_cast<TSiemensOTA *>(p));
        EXPECT_TRUE(rightClass);
        ASSERT_EQ(stack.Count(), 1);
        EXPECT_EQ(stack.Entries()[0].first, c.key);
        EXPECT_EQ(p->State(), c.state);
    }
}

TEST(TSMSProtocolStack, OnlyDeliveredMessages)
{
    TSMSProtocolStack stack;
    TSMSSubmit submit;
    submit.UserData = "//SCKE2 hello";
    TSMSStatusReport report;
    TSMSProtocol *p = nullptr;
    EXPECT_FALSE(stack.AddSegment(&submit, p));
    EXPECT_EQ(p, nullptr);
    EXPECT_FALSE(stack.AddSegment(&report, p));
    EXPECT_FALSE(stack.AddSegment(nullptr, p));
    EXPECT_EQ(stack.Count(), 0);
}

TEST(TSMSProtocolStack, SendersAndKeys)
{
    TSMSProtocolStack stack;
    auto a = deliver("+4411", nbsSegment(1, "a"));
    auto b = deliver("+4422", nbsSegment(1, "b"));
    TSMSProtocol *pa = add(stack, *a, true);
    TSMSProtocol *pb = add(stack, *b, true);
    EXPECT_NE(pa, pb);
    ASSERT_EQ(stack.Count(), 2);
    EXPECT_EQ(stack.Entries()[0].first, "+4411_05");
    EXPECT_EQ(stack.Entries()[1].first, "+4422_05");

    // Under an existing key: another payload, a conflicting repeat and another protocol are
    // refused with the stored object named, and change nothing.
    const std::vector<std::pair<const char *, std::unique_ptr<TSMSDeliver>>> refused = [] {
        std::vector<std::pair<const char *, std::unique_ptr<TSMSDeliver>>> v;
        v.emplace_back("other count", deliver("+4411", nbsSegment(2, "x", 5, 4)));
        v.emplace_back("conflicting repeat", deliver("+4411", nbsSegment(1, "z")));
        v.emplace_back("other protocol", deliver("+4411", HexToStr("050003050302") + "x", true));
        return v;
    }();
    for (const auto &[name, sms] : refused) {
        SCOPED_TRACE(name);
        EXPECT_EQ(add(stack, *sms, false), pa);
        EXPECT_EQ(pa->ReceivedCount(), 1);
        EXPECT_EQ(stack.Count(), 2);
    }
    // Keys compare without regard to case.
    EXPECT_EQ(stack.Find("+4411_05"), pa);
    auto upper = deliver("ORACLE", "//SCKE2 x");
    auto lower = deliver("oracle", "//SCKE2 x");
    TSMSProtocol *pu = add(stack, *upper, true);
    EXPECT_EQ(add(stack, *lower, true), pu);
    EXPECT_EQ(stack.Find("Oracle_00"), pu);
    EXPECT_EQ(stack.Count(), 3);
}

TEST(TSMSProtocolStack, ExpireByAge)
{
    struct TCase {
        const char *name;
        bool keepComplete;
        TDateTime after; // time since the first segments
        std::vector<std::string> left;
    };
    const std::vector<TCase> cases = {
        {"young entries stay", false, 4 * kMinute, {"+4411_05", "+4422_00", "+4433_05"}},
        {"old entries go", false, 6 * kMinute, {"+4433_05"}},
        {"complete ones kept on request", true, 6 * kMinute, {"+4422_00", "+4433_05"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TSMSProtocolStack stack;
        const TDateTime start = NowUTC();
        auto incomplete = deliver("+4411", nbsSegment(1, "a"));
        auto complete = deliver("+4422", "//SCKE2 whole");
        add(stack, *incomplete, true);
        add(stack, *complete, true);
        // A third payload starts three minutes later.
        stack.Clock = [start] { return start + 3 * kMinute; };
        auto later = deliver("+4433", nbsSegment(1, "c"));
        add(stack, *later, true);
        stack.Find("+4433_05")->SetTimestamp(start + 3 * kMinute);
        stack.Clock = [&] { return start + c.after; };
        stack.Expire(c.keepComplete, 5 * kMinute);
        std::vector<std::string> left;
        for (const auto &[key, object] : stack.Entries())
            left.push_back(key);
        EXPECT_EQ(left, c.left);
        // Nothing expired is still found.
        for (const std::string key : {"+4411_05", "+4422_00"}) {
            if (std::find(c.left.begin(), c.left.end(), key) == c.left.end()) {
                EXPECT_EQ(stack.Find(key), nullptr);
            }
        }
    }
}

// Two reference messages as a handset stored them: 7-bit text after an 8-bit concatenation
// element, reference 0xBD, arriving last part first.
TEST(TSMSProtocolStack, ReferenceConcatenatedDelivers)
{
    const std::vector<std::string> pdus = {
        "0791447758100650400C91442143658709000042506070809000A0050003BD0201C2E231B96C3EA3D3EA35BBED7EC3E3F239"
        "BD6EBFE3F3FAA070482C1A8FC8A472C96C3A9FD0A8744AAD5AAFD8AC161693CD6835DB0D9703B95861F1985C369FD169F59A"
        "DD76BFE171F99C5EB7DFF1797D503824168D476452B964369D4F68543AA556AD576C560B8BC966B49AED86CB815CACB0784C"
        "2E9BCFE8B47ACD6EBBDFF0B87C4EAFDBEF",
        "0791447758100650400C9144214365870900004250607080900036050003BD0202F0797D503824168D476452B964369D4F68"
        "543AA556AD576C560B8BC966B49AED86CB815CACB0784C2E03",
    };
    TSMSProtocolStack stack;
    TSMSProtocol *p = nullptr;
    for (size_t i = pdus.size(); i-- > 0;) {
        auto sms = CreateSMSFromPDU(nullptr, pdus[i], true);
        ASSERT_NE(sms, nullptr);
        ASSERT_TRUE(stack.AddSegment(sms.get(), p));
    }
    EXPECT_EQ(stack.Entries()[0].first, "+441234567890_BD");
    EXPECT_EQ(ProtocolProgress(*p), "*ref:BD, #2/2, , addr:0000 complete");
    ASSERT_EQ(p->State(), kStateComplete);
    const std::string alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,";
    EXPECT_EQ(GSMToText(p->Data()),
              alphabet + alphabet + alphabet.substr(0, 23) + alphabet.substr(23) + alphabet.substr(0, 5));
}

} // namespace
