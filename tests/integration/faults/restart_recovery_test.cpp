// A handset that restarts while the engine has it open is back at its power-on settings: echo on,
// no indications, the SIM locked again. The engine notices (a start line, the echo of a command
// although it was told to echo nothing, the SIM asking for its PIN) and sets it up again by
// itself; the application then reads what reached the storage in between, and messages that
// arrive later are indicated as before. A handset that restarts again during that set-up gets
// one more; one that never stops restarting is given up after a few, without a hang.
#include "faultrig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

using namespace kestrel;
using namespace kestrel::test;

namespace {

// Waits without running the event loop, so that the engine's idle processing cannot start.
bool WaitPlain(const std::function<bool()> &cond, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int Count(const std::vector<std::string> &commands, const std::string &command)
{
    return static_cast<int>(std::count(commands.begin(), commands.end(), command));
}

// The engine with the application's part of a restart: after the set-up it lists the storage,
// keeps the texts it found and deletes them, as the data module does.
struct TRecoveryRig : TMessagingRig {
    std::vector<std::string> found;

    explicit TRecoveryRig(const TModemSimulatorOptions &options)
        : TMessagingRig(options, kSMSFormatPDU, Bit(uindSMSDeliver))
    {
        gsm.OnRestart = [this](TObject *, const std::string &reason) {
            restarts.push_back(reason);
            for (const auto &entry : gsm.ListSMS(4)) {
                if (auto *d = dynamic_cast<TSMSDeliver *>(entry.Message.get()))
                    found.push_back(GSMToText(d->UserData));
                gsm.DeleteSMS(entry.Index);
            }
        };
    }
};

struct TSignCase {
    const char *name;
    std::string pin;    // the SIM's PIN, empty for none
    bool echo;          // CommandEcho
    std::string banner; // what the handset writes when it is back
    std::string reason; // what the engine names as the sign
};

const TSignCase kSigns[] = {
    {"ReadyLine", "", true, "\r\nRDY\r\n", "RDY"},
    {"StartLineWithMode", "", true, "\r\n^SYSSTART AIRPLANE MODE\r\n", "^SYSSTART AIRPLANE MODE"},
    // No start line: the next command shows it.
    {"EchoBackOn", "", false, "", "its echo is back on"},
    {"PINAskedAgain", "1234", true, "", "its SIM asks for the PIN again"},
};

class RestartRecovery : public ::testing::TestWithParam<TSignCase> {};

TEST_P(RestartRecovery, SetUpAgainAndTheStorageRead)
{
    const TSignCase &c = GetParam();
    TRecoveryRig rig(Handset("M20", c.pin));
    rig.gsm.SetPIN(c.pin);
    rig.gsm.SetCommandEcho(c.echo);
    rig.Open();
    rig.sim.ClearTranscript();

    rig.sim.Restart(300, c.banner);
    ASSERT_TRUE(WaitPlain([&] { return !rig.sim.Restarting(); }, 3000));
    // Arrives while the handset indicates nothing: it stays in the storage, silently. (A locked
    // SIM takes nothing from the network: there it is one the handset received just before.)
    const std::string waiting = DeliverTPDU("+491715550001", "while it was not set up");
    if (c.pin.empty())
        rig.sim.DeliverPdu(waiting);
    else
        rig.sim.StoreMessage("SM", 0, waiting);
    ASSERT_TRUE(WaitPlain([&] { return rig.sim.StoredMessages().size() == 1; }, 3000));
    if (c.banner.empty()) {
        // The next command meets the restarted handset.
        if (c.echo)
            EXPECT_THROW(rig.gsm.ExecCommand("AT+CPMS?", 0x13, nullptr, 1), EGSMError);
        else
            EXPECT_EQ(rig.gsm.ExecCommand("AT+CSQ", 0x13, nullptr, 1), 0);
    }
    ASSERT_TRUE(PumpUntil([&] { return !rig.restarts.empty(); }, 10000))
        << testing::PrintToString(rig.errors);
    EXPECT_EQ(rig.restarts, std::vector<std::string>{c.reason});
    EXPECT_EQ(rig.found, std::vector<std::string>{"while it was not set up"});
    EXPECT_TRUE(rig.sim.StoredMessages().empty());

    // The open sequence ran again, the PIN where the SIM asked for it.
    const auto commands = rig.Commands();
    EXPECT_EQ(Count(commands, c.echo ? "ATE1" : "ATE0"), 1);
    EXPECT_EQ(Count(commands, "AT+CPIN=\"1234\""), c.pin.empty() ? 0 : 1);
    EXPECT_EQ(Count(commands, "AT+CNMI=2,2,0,0,1"), 1);
    EXPECT_EQ(rig.gsm.NetworkRegistration(), 1);

    // Indicated again: a message delivered now is routed to the engine.
    rig.events.clear();
    rig.sim.DeliverPdu(DeliverTPDU("+491715550002", "after the set-up"));
    ASSERT_TRUE(rig.WaitEvents(1, 5000));
    EXPECT_EQ(rig.events[0].index, -1);
    EXPECT_EQ(GSMToText(rig.events[0].text), "after the set-up");
    EXPECT_TRUE(rig.errors.empty()) << rig.errors.front();
    EXPECT_EQ(rig.restarts.size(), 1u);
    rig.gsm.Close();
}

INSTANTIATE_TEST_SUITE_P(Faults, RestartRecovery, ::testing::ValuesIn(kSigns),
                         [](const auto &info) { return std::string(info.param.name); });

// The handset restarts once more while it is being set up: the set-up begins again, and the
// application hears of one restart.
TEST(RestartRecovering, RestartDuringTheSetUp)
{
    TRecoveryRig rig(Handset("M20"));
    rig.Open();
    rig.sim.ClearTranscript();
    std::thread again([&] {
        if (rig.sim.WaitForCommand("AT+CMGF", 10000))
            rig.sim.Restart(300, "\r\nRDY\r\n");
    });
    rig.sim.Restart(200, "\r\nRDY\r\n");
    ASSERT_TRUE(PumpUntil([&] { return !rig.restarts.empty(); }, 20000))
        << testing::PrintToString(rig.errors);
    again.join();
    EXPECT_EQ(rig.restarts, std::vector<std::string>{"RDY"});
    EXPECT_EQ(Count(rig.Commands(), "ATE1"), 2) << "one set-up after each restart";
    EXPECT_TRUE(rig.errors.empty()) << rig.errors.front();
    std::vector<std::string> lines;
    EXPECT_EQ(rig.gsm.ExecCommand("AT+CNMI?", 0x13, &lines), 0);
    EXPECT_EQ(lines, std::vector<std::string>{"2,2,0,0,1"}) << "set up after its last restart";
    rig.gsm.Close();
}

// A handset that restarts during every set-up is given up after three, with an error; nothing
// recurses or hangs, and a later restart is handled again.
TEST(RestartRecovering, HandsetThatKeepsRestartingIsGivenUp)
{
    TRecoveryRig rig(Handset("M20"));
    rig.Open();
    rig.sim.ClearTranscript();
    std::atomic<bool> stop = false;
    std::atomic<int> restarts = 0;
    std::thread restarter([&] {
        while (!stop) {
            if (!rig.sim.WaitForCommand("AT+CPMS?", 100))
                continue;
            rig.sim.ClearTranscript();
            rig.sim.Restart(200, "\r\nRDY\r\n");
            ++restarts;
        }
    });
    rig.sim.Restart(200, "\r\nRDY\r\n");
    const bool reported = PumpUntil([&] { return !rig.errors.empty(); }, 40000);
    stop = true;
    restarter.join();
    ASSERT_TRUE(reported);
    EXPECT_EQ(rig.errors,
              std::vector<std::string>{"The handset restarted (RDY) and restarted again each of the 3 "
                                       "times it was being set up; it is left as it is"});
    EXPECT_EQ(restarts.load(), 3) << "no set-up after the third";
    EXPECT_TRUE(rig.restarts.empty());

    // Quiet again, a later restart is set up as usual.
    PumpUntil([] { return false; }, 500);
    rig.errors.clear();
    rig.sim.Restart(200, "\r\nRDY\r\n");
    ASSERT_TRUE(PumpUntil([&] { return !rig.restarts.empty(); }, 10000))
        << testing::PrintToString(rig.errors);
    EXPECT_EQ(rig.restarts, std::vector<std::string>{"RDY"});
    EXPECT_TRUE(rig.errors.empty()) << rig.errors.front();
    rig.gsm.Close();
}

// Texts of messages are no signs: a text-mode message that reads "RDY", stored and read or
// listed, or routed, is a message, and nothing is set up again.
TEST(RestartRecovering, MessageTextsThatReadLikeStartLinesAreMessages)
{
    TMessagingRig rig(Handset("TC35"), kSMSFormatText, Bit(uindSMSDeliver));
    rig.Open();
    rig.sim.ClearTranscript();
    const int index = rig.sim.StoreMessage("SM", 1, DeliverTPDU("+491715550001", "RDY"));
    int status = -1;
    auto read = rig.gsm.ReadSMS(index, status);
    ASSERT_TRUE(read);
    EXPECT_EQ(static_cast<TSMS2 *>(read.get())->UserData, "RDY");
    EXPECT_EQ(rig.gsm.ListSMS(4).size(), 1u);
    rig.sim.DeliverPdu(DeliverTPDU("+491715550002", "^SYSSTART"));
    ASSERT_TRUE(rig.WaitEvents(1, 5000));
    EXPECT_EQ(rig.events[0].text, "^SYSSTART");
    PumpUntil([] { return false; }, 1000);
    EXPECT_TRUE(rig.restarts.empty());
    EXPECT_EQ(Count(rig.Commands(), "ATE1"), 0);
    EXPECT_TRUE(rig.errors.empty()) << rig.errors.front();
    rig.gsm.Close();
}

// A set-up that fails (the SIM asks for a PIN the engine does not have) is reported; the engine
// stays open, and a later command fails with the handset's own answer.
TEST(RestartRecovering, FailedSetUpIsReported)
{
    TRecoveryRig rig(Handset("M20", "1234"));
    rig.gsm.SetPIN("1234");
    rig.Open();
    rig.gsm.Close();
    rig.gsm.SetPIN("");
    // The SIM is unlocked already: the open needs no PIN.
    rig.Open();
    rig.sim.Restart(200, "\r\nRDY\r\n");
    ASSERT_TRUE(PumpUntil([&] { return !rig.errors.empty(); }, 10000));
    EXPECT_EQ(rig.errors, std::vector<std::string>{
                              "The handset restarted (RDY) and could not be set up again: PIN required"});
    EXPECT_TRUE(rig.restarts.empty());
    EXPECT_TRUE(rig.gsm.Active());
    EXPECT_FALSE(rig.gsm.Busy());
    rig.gsm.Close();
}

} // namespace
