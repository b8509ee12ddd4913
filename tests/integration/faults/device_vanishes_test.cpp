// The handset's line goes away while the engine works: in the middle of a command, in the middle
// of a message the handset routes to us, in the middle of a listing. The engine must say so at
// once (not after its timeouts and repeats), stay usable enough to be closed, lose nothing the
// handset still holds, and open again on a handset that is back.
#include "faultrig.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

using namespace kestrel;
using namespace kestrel::test;

namespace {

const std::string kSendCommand = "AT+CMGS=14>0011000B914971000000F10000AA01C1";

struct TVanishCase {
    const char *name;
    std::string command;
    uint8_t flags;
    bool silent;         // the handset answers nothing before it vanishes
    int replyDelayMs;    // or answers late
    std::string dieWhen; // it vanishes once it received a line starting with this
    bool reopen;         // then the engine opens on the handset that came back
};

const TVanishCase kVanishCases[] = {
    {"QueryWaitingForItsAnswer", "AT+CSQ", 0x13, true, 0, "AT+CSQ", true},
    {"ListingWaitingForItsLines", "AT+CMGL=4", 0x03, true, 0, "AT+CMGL", false},
    {"SendWaitingForThePrompt", kSendCommand, 0x1F, true, 0, "AT+CMGS", false},
    // The prompt came and the data part went out; the handset dies before its final result.
    {"SendWaitingForTheResult", kSendCommand, 0x1F, false, 400, "0011000B91", false},
};

class DeviceVanishes : public ::testing::TestWithParam<TVanishCase> {};

TEST_P(DeviceVanishes, InTheMiddleOfACommand)
{
    const TVanishCase &c = GetParam();
    TModemSimulator back(Handset("M20")); // the handset plugged in again later
    TMessagingRig rig(Handset("M20"));
    rig.gsm.SetRecTimeout(3000);
    rig.gsm.SetRepeatCount(5);
    rig.Open();
    rig.sim.ClearTranscript();
    rig.sim.SetSilent(c.silent);
    rig.sim.SetReplyDelay(c.replyDelayMs);
    std::thread killer([&] {
        if (rig.sim.WaitForReceived(c.dieWhen, 5000))
            rig.sim.HangUp();
    });
    const TOutcome first = Outcome([&] { rig.gsm.ExecCommand(c.command, c.flags); });
    killer.join();
    const std::string lost = "Connection to " + rig.sim.DevicePath() + " lost on AT command: ";
    ASSERT_TRUE(first.raised);
    EXPECT_TRUE(StartsWith(first.message, lost + c.command + " (")) << first.message;
    // Five attempts of 3 s each would be 15 s: the hang-up ends the wait at once.
    EXPECT_LT(first.ms, 2000);
    EXPECT_FALSE(rig.gsm.Busy());

    // Every later command says the same at once, without writing into a dead line.
    const TOutcome next = Outcome([&] { rig.gsm.ExecCommand("AT", 0x01); });
    ASSERT_TRUE(next.raised);
    EXPECT_TRUE(StartsWith(next.message, lost + "AT (")) << next.message;
    EXPECT_LT(next.ms, 1000);
    PumpUntil([] { return false; }, 100);
    EXPECT_TRUE(rig.errors.empty()) << "the command's error was the report: " << rig.errors.front();
    EXPECT_NO_THROW(rig.gsm.Close());
    EXPECT_FALSE(rig.gsm.Active());
    EXPECT_FALSE(rig.comm.Active());
    EXPECT_FALSE(std::filesystem::exists(LockFileName(rig.sim.DevicePath())))
        << "our lock went with the close";
    if (!c.reopen)
        return;

    // The same engine and port open on the handset that came back.
    rig.comm.SetDeviceName(back.DevicePath());
    ASSERT_NO_THROW(rig.gsm.Open());
    std::vector<std::string> lines;
    EXPECT_EQ(rig.gsm.ExecCommand("AT+CSQ", 0x13, &lines), 0);
    EXPECT_EQ(lines, std::vector<std::string>{"20,99"});
    rig.gsm.Close();
}

// The handset dies while the engine opens it: the open fails with the loss, leaves the engine
// and the port closed and the device unlocked, and the next open on a handset that is back works.
TEST(DeviceVanishesDuring, TheOpenDialogue)
{
    TModemSimulator back(Handset("M20"));
    TMessagingRig rig(Handset("M20"));
    rig.gsm.SetRecTimeout(3000);
    std::thread killer([&] {
        if (rig.sim.WaitForReceived("AT+CPMS?", 5000))
            rig.sim.HangUp();
    });
    const TOutcome open = Outcome([&] { rig.gsm.Open(); });
    killer.join();
    ASSERT_TRUE(open.raised);
    EXPECT_TRUE(StartsWith(open.message, "Connection to " + rig.sim.DevicePath() + " lost on AT command: AT"))
        << open.message;
    EXPECT_LT(open.ms, 6000);
    EXPECT_FALSE(rig.gsm.Active());
    EXPECT_FALSE(rig.comm.Active());
    EXPECT_FALSE(rig.gsm.Busy());
    EXPECT_FALSE(std::filesystem::exists(LockFileName(rig.sim.DevicePath())));
    rig.comm.SetDeviceName(back.DevicePath());
    ASSERT_NO_THROW(rig.gsm.Open());
    EXPECT_TRUE(rig.gsm.Active());
    rig.gsm.Close();
}

INSTANTIATE_TEST_SUITE_P(Faults, DeviceVanishes, ::testing::ValuesIn(kVanishCases),
                         [](const auto &info) { return std::string(info.param.name); });

// The handset announced a routed message with its header line and died before the PDU line.
TEST(DeviceVanishesDuring, ARoutedMessage)
{
    TModemSimulator back(Handset("M20"));
    TMessagingRig rig(Handset("M20"), kSMSFormatPDU, Bit(uindSMSDeliver));
    rig.Open();
    std::string received;
    rig.gsm.OnRxChar = [&](TObject *, char ch) { received += ch; };
    const std::string pdu = DeliverTPDU("+491719999999", "half a message");
    rig.sim.SendRaw("\r\n+CMT: ," + std::to_string(pdu.size() / 2) + "\r\n");
    ASSERT_TRUE(PumpUntil([&] { return received.find("+CMT: ,") != std::string::npos; }, 3000));
    rig.sim.HangUp();
    // The application hears of it at once, although no command was waiting.
    ASSERT_TRUE(PumpUntil([&] { return !rig.errors.empty(); }, 3000));
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(rig.errors, std::vector<std::string>{"Connection to " + rig.sim.DevicePath() +
                                                   " lost (the other end hung up)"});
    EXPECT_TRUE(rig.events.empty()) << "no message is made of a header alone";
    rig.errors.clear();
    EXPECT_LT(CpuMsWhileIdle(500), 50) << "nothing spins on the dead line";

    const TOutcome next = Outcome([&] { rig.gsm.ExecCommand("AT", 0x01); });
    ASSERT_TRUE(next.raised);
    EXPECT_TRUE(
        StartsWith(next.message, "Connection to " + rig.sim.DevicePath() + " lost on AT command: AT ("))
        << next.message;
    EXPECT_NO_THROW(rig.gsm.Close());

    // Reopened on the handset that came back: the half message left nothing behind, the next
    // routed message arrives whole.
    rig.comm.SetDeviceName(back.DevicePath());
    rig.Open();
    back.DeliverPdu(DeliverTPDU("+491718888888", "a whole message"));
    ASSERT_TRUE(rig.WaitEvents(1));
    ASSERT_EQ(rig.events.size(), 1u);
    EXPECT_EQ(rig.events[0].cls, "TSMSDeliver");
    EXPECT_EQ(GSMToText(rig.events[0].text), "a whole message");
    EXPECT_TRUE(rig.errors.empty()) << rig.errors.front();
}

// The handset died while it was listing its storage, one byte at a time: the listing fails, and
// every message is still in the storage for the next session.
TEST(DeviceVanishesDuring, AStorageListing)
{
    TMessagingRig rig(Handset("M20"));
    for (int i = 0; i < 3; ++i)
        rig.sim.StoreMessage("SM", 0,
                             DeliverTPDU("+49171555000" + std::to_string(i), "stored " + std::to_string(i)));
    rig.Open();
    std::string received;
    rig.gsm.OnRxChar = [&](TObject *, char ch) { received += ch; };
    rig.sim.SetByteAtATime(2);
    std::thread killer([&] {
        // The first entry's header is on the line: the line dies in its PDU.
        if (rig.sim.WaitForSent("+CMGL: 1,", 5000)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            rig.sim.HangUp();
        }
    });
    const TOutcome list = Outcome([&] { rig.gsm.ListSMS(-1); });
    killer.join();
    ASSERT_TRUE(list.raised);
    EXPECT_TRUE(
        StartsWith(list.message, "Connection to " + rig.sim.DevicePath() + " lost on AT command: AT+CMGL"))
        << list.message;
    EXPECT_NE(received.find("+CMGL: 1,"), std::string::npos);
    EXPECT_EQ(rig.sim.StoredMessages().size(), 3u);
    EXPECT_NO_THROW(rig.gsm.Close());
}

} // namespace
