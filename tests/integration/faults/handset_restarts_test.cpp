// The handset restarts under the engine (a battery contact, a watchdog): it answers nothing for a
// while, then greets with a readiness line and/or line noise, then answers normally again with
// its power-on settings. Commands during the silence end with the engine's timeout error after
// their attempts; a readiness line makes the engine set the handset up again by itself; commands
// work afterwards without reopening, and an open begun during the silence rides it out on its
// repeats (the readiness line it saw then needs no second set-up).
#include "faultrig.h"

#include "modemsim/simrun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

using namespace kestrel;
using namespace std::string_literals;
using namespace kestrel::test;

namespace {

struct TRestartCase {
    const char *name;
    std::string banner;
    std::vector<std::string> restarts; // the restarts the engine handled, by their sign
};

const TRestartCase kRestartCases[] = {
    {"Ready", "\r\nRDY\r\n", {"RDY"}},
    // Noise of a line that was powered down: no line end, bytes of every kind.
    {"Garbage", "\x00\xff\x13\x80garbage\xfe"s, {}},
    // Two start lines of one restart: one set-up, named by the first.
    {"GarbageThenReady", "\xfe\xfe\x00\r\nRDY\r\n\r\n^SYSSTART\r\n"s, {"RDY"}},
};

class HandsetRestarts : public ::testing::TestWithParam<TRestartCase> {};

TEST_P(HandsetRestarts, CommandsTimeOutWhileSilentAndWorkAfterwards)
{
    const TRestartCase &c = GetParam();
    TMessagingRig rig(Handset("M20"));
    rig.gsm.SetRepeatCount(2);
    rig.Open();
    rig.sim.Restart(1500, c.banner);

    std::vector<std::string> lines;
    const TOutcome silent = Outcome([&] { rig.gsm.ExecCommand("AT+CSQ", 0x13, &lines); });
    EXPECT_TRUE(silent.raised);
    EXPECT_EQ(silent.message, "No reply on AT command: AT+CSQ");
    // Two attempts of 400 ms silence with their pauses; far from a hang.
    EXPECT_GE(silent.ms, 800);
    EXPECT_LT(silent.ms, 1500 + 400);
    EXPECT_FALSE(rig.gsm.Busy());

    ASSERT_TRUE(PumpUntil([&] { return !rig.sim.Restarting(); }, 3000));
    // The banner reaches the idle parser; a readiness line there is followed by a set-up.
    if (c.restarts.empty())
        PumpUntil([] { return false; }, 300);
    else
        ASSERT_TRUE(PumpUntil([&] { return rig.restarts.size() >= c.restarts.size(); }, 5000));
    lines.clear();
    EXPECT_EQ(rig.gsm.ExecCommand("AT+CSQ", 0x13, &lines), 0);
    EXPECT_EQ(lines, std::vector<std::string>{"20,99"});
    rig.gsm.ProcessReceived();
    EXPECT_EQ(rig.restarts, c.restarts);
    EXPECT_TRUE(rig.errors.empty()) << rig.errors.front();
    EXPECT_NO_THROW(rig.gsm.Close());
}

TEST(HandsetRestarting, OpenDuringTheSilenceSucceedsAfterIt)
{
    TMessagingRig rig(Handset("M20"));
    rig.sim.Restart(1000, kRestartCases[2].banner);
    // Five attempts of 400 ms silence outlast the restart.
    ASSERT_NO_THROW(rig.Open());
    EXPECT_TRUE(rig.gsm.Active());
    EXPECT_EQ(rig.gsm.NetworkRegistration(), 1);
    const auto commands = rig.Commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.front(), "ATE1") << "the first command the restarted handset heard";
    PumpUntil([] { return false; }, 500);
    EXPECT_TRUE(rig.restarts.empty()) << "the open already set the restarted handset up";
    EXPECT_TRUE(rig.errors.empty()) << rig.errors.front();
    rig.gsm.Close();
}

// The handset restarts as a message is being sent: the attempts during the silence fail, a later
// one sends it, and it goes out once.
TEST(HandsetRestarting, DuringASendTheMessageGoesOutOnce)
{
    TMessagingRig rig(Handset("M20"));
    rig.gsm.SetRepeatCount(5);
    rig.Open();
    rig.sim.ClearTranscript();
    // Answers come late, so the restart surely catches the prompt of the first attempt.
    rig.sim.SetReplyDelay(200);
    std::thread restarter([&] {
        if (rig.sim.WaitForReceived("AT+CMGS", 5000))
            rig.sim.Restart(900, "\r\nRDY\r\n");
    });
    auto submit = TextSubmit("+491717654321", "sent through a restart");
    const TOutcome send = Outcome([&] { rig.gsm.SendSMS(*submit); });
    restarter.join();
    EXPECT_FALSE(send.raised) << send.message;
    const auto commands = rig.Commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_GT(std::count(commands.begin(), commands.end(), commands.front()), 1)
        << "the first attempt went into the silence";
    ASSERT_EQ(rig.sim.SentMessages().size(), 1u);
    EXPECT_EQ(rig.sim.SentMessages()[0].destination, "+491717654321");
    rig.gsm.Close();
}

INSTANTIATE_TEST_SUITE_P(Faults, HandsetRestarts, ::testing::ValuesIn(kRestartCases),
                         [](const auto &info) { return std::string(info.param.name); });

// Replies one byte at a time with a gap between bytes: a slow or badly buffered line. Open, send
// and list still work, in both message formats.
struct TSlowCase {
    const char *name;
    const char *equipment;
    uint8_t format;
};

const TSlowCase kSlowCases[] = {
    {"PduMode", "M20", kSMSFormatPDU},
    {"TextMode", "TC35", kSMSFormatText},
};

class RepliesByteByByte : public ::testing::TestWithParam<TSlowCase> {};

TEST_P(RepliesByteByByte, OpenSendAndListWork)
{
    const TSlowCase &c = GetParam();
    TMessagingRig rig(Handset(c.equipment), c.format, Bit(uindSMSDeliver));
    for (int i = 0; i < 2; ++i)
        rig.sim.StoreMessage("SM", 1,
                             DeliverTPDU("+4917155500" + std::to_string(i), "slow " + std::to_string(i)));
    rig.sim.SetByteAtATime(1);
    ASSERT_NO_THROW(rig.Open());

    auto submit = TextSubmit("+491717654321", "sent over a slow line");
    EXPECT_NO_THROW(rig.gsm.SendSMS(*submit));
    ASSERT_EQ(rig.sim.SentMessages().size(), 1u);
    EXPECT_EQ(rig.sim.SentMessages()[0].destination, "+491717654321");

    auto list = rig.gsm.ListSMS(4);
    ASSERT_EQ(list.size(), 2u);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(list[i].Message);
        auto *deliver = dynamic_cast<TSMSDeliver *>(list[i].Message.get());
        ASSERT_TRUE(deliver);
        EXPECT_EQ(deliver->OA, "+4917155500" + std::to_string(i));
        const std::string text = c.format == kSMSFormatPDU ? GSMToText(deliver->UserData) : deliver->UserData;
        EXPECT_EQ(text, "slow " + std::to_string(i));
    }
    // A routed message, header and body dribbling in, arrives whole.
    rig.sim.DeliverPdu(DeliverTPDU("+491719876543", "routed over a slow line"));
    ASSERT_TRUE(rig.WaitEvents(1, 5000));
    ASSERT_EQ(rig.events.size(), 1u);
    EXPECT_EQ(rig.events[0].index, -1);
    EXPECT_EQ(c.format == kSMSFormatPDU ? GSMToText(rig.events[0].text) : rig.events[0].text,
              "routed over a slow line");
    EXPECT_TRUE(rig.errors.empty()) << rig.errors.front();
    rig.gsm.Close();
}

INSTANTIATE_TEST_SUITE_P(Faults, RepliesByteByByte, ::testing::ValuesIn(kSlowCases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace

namespace {

// The same faults from the control input of kestrel-modemsim and "kestrel simulate".
TEST(SimulatorControlLines, RestartAndBytewise)
{
    TMessagingRig rig(Handset("M20"));
    rig.Open();
    bool quit = false;
    const std::pair<const char *, const char *> usage[] = {
        {"restart soon", "ERROR: usage: restart MS [BANNER]"},
        {"restart", "ERROR: usage: restart MS [BANNER]"},
        {"bytewise", "ERROR: usage: bytewise MS"},
        {"bytewise fast", "ERROR: usage: bytewise MS"},
    };
    for (auto [line, answer] : usage)
        EXPECT_EQ(ModemSimulatorControl(rig.sim, line, quit), answer) << line;
    EXPECT_FALSE(rig.sim.Restarting());

    ASSERT_EQ(ModemSimulatorControl(rig.sim, "restart 600 \\r\\nRDY\\r\\n", quit), "OK");
    EXPECT_TRUE(rig.sim.Restarting());
    const TOutcome silent = Outcome([&] { rig.gsm.ExecCommand("AT", 0x01, nullptr, 1); });
    EXPECT_EQ(silent.message, "No reply on AT command: AT");
    ASSERT_TRUE(PumpUntil([&] { return rig.restarts == std::vector<std::string>{"RDY"}; }, 5000));

    // Whole answers, then byte by byte 20 ms apart: the same answer takes its bytes' gaps longer.
    std::vector<std::string> lines;
    auto timed = [&] {
        lines.clear();
        const auto start = std::chrono::steady_clock::now();
        rig.gsm.ExecCommand("AT+CGMI", 0x03, &lines);
        return ElapsedMs(start);
    };
    const int64_t whole = timed();
    ASSERT_EQ(ModemSimulatorControl(rig.sim, "bytewise 20", quit), "OK");
    const int64_t bytewise = timed();
    EXPECT_EQ(lines, std::vector<std::string>{"SIEMENS"});
    // "AT+CGMI\r\r\nSIEMENS\r\n\r\nOK\r\n": 26 bytes, 25 gaps of 20 ms.
    EXPECT_GE(bytewise - whole, 400) << whole << " ms, then " << bytewise << " ms";
    ASSERT_EQ(ModemSimulatorControl(rig.sim, "bytewise 0", quit), "OK");
    EXPECT_LT(timed(), bytewise);
    EXPECT_FALSE(quit);
    rig.gsm.Close();
}

} // namespace
