// The AT transaction engine against the virtual handset: replies cut into chunks, repeats,
// errors, the prompt of data commands, idle lines, and a device that vanishes.
#include "enginerig.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace kestrel;
using namespace kestrel::test;

namespace {

using TLines = std::vector<std::string>;

int Count(const TLines &lines, const std::string &cmd)
{
    int n = 0;
    for (const auto &l : lines)
        n += l == cmd;
    return n;
}

class Transaction : public ::testing::Test {
protected:
    Transaction() : rig(Handset("M20"))
    {
        rig.gsm.Open();
        rig.gsm.ProcessReceived();
        rig.sim.ClearTranscript();
    }
    TEngineRig rig;
};

TEST_F(Transaction, RepliesCutIntoChunks)
{
    rig.sim.SetRandomChunking(true, 7);
    for (int i = 0; i < 5; ++i) {
        TLines lines;
        EXPECT_EQ(rig.gsm.ExecCommand("AT+CSQ", 0x13, &lines), 0);
        EXPECT_EQ(lines, TLines{"20,99"});
    }
    rig.sim.SetRandomChunking(false);
    rig.sim.SetChunking({1, 2, 9, 10, 11});
    TLines info;
    rig.gsm.ExecCommand("AT+CGMI", 0x03, &info);
    EXPECT_EQ(info, TLines{"SIEMENS"});
}

TEST_F(Transaction, EchoOffAndServiceCentreWhileOpen)
{
    rig.gsm.SetCommandEcho(false);
    rig.gsm.SetSCA("+491710760000");
    rig.gsm.SetSCA("+491710760000"); // unchanged: nothing sent
    TLines lines;
    rig.gsm.ExecCommand("AT+CSCA?", 0x13, &lines);
    EXPECT_EQ(lines, TLines{"\"+491710760000\",145"});
    EXPECT_EQ(rig.Commands(), (TLines{"ATE0", "AT+CSCA=\"+491710760000\"", "AT+CSCA?"}));
    std::string received;
    rig.gsm.OnRxChar = [&](TObject *, char c) { received += c; };
    rig.gsm.ProcessReceived();
    EXPECT_EQ(received.find("AT+CSCA?"), std::string::npos) << "no echo after ATE0: " << received;
}

TEST_F(Transaction, ErrorsRepeatsAndErrorClassSuccess)
{
    rig.gsm.SetRepeatCount(3);
    // An unknown command fails every attempt.
    try {
        rig.gsm.ExecCommand("AT+XYZ", 0x13);
        ADD_FAILURE();
    } catch (const EGSMError &e) {
        EXPECT_STREQ(e.what(), "ERROR was returned on AT command: AT+XYZ");
    }
    EXPECT_EQ(Count(rig.Commands(), "AT+XYZ"), 3);

    // With 0x40 an error counts as success, after one attempt.
    rig.sim.ClearTranscript();
    EXPECT_EQ(rig.gsm.ExecCommand("AT+XYZ", 0x43), 4);
    EXPECT_EQ(Count(rig.Commands(), "AT+XYZ"), 1);
    try {
        rig.gsm.CheckResult(4);
        ADD_FAILURE();
    } catch (const EGSMError &e) {
        EXPECT_STREQ(e.what(), "Error was returned: ERROR");
    }

    // Repeats = 1 is one attempt whatever RepeatCount says; a failure of one attempt is retried.
    rig.sim.ClearTranscript();
    rig.sim.FailNextCommand("+CME ERROR: 10");
    EXPECT_EQ(rig.gsm.ExecCommand("AT+CPIN?", 0x13), 0);
    EXPECT_EQ(Count(rig.Commands(), "AT+CPIN?"), 2);
    rig.sim.ClearTranscript();
    rig.sim.FailNextCommand("+CME ERROR: 10");
    try {
        rig.gsm.ExecCommand("AT+CPIN?", 0x13, nullptr, 1);
        ADD_FAILURE();
    } catch (const EGSMError &e) {
        EXPECT_STREQ(e.what(), "+CME ERROR: 10 \"SIM not inserted\" was returned on AT command: AT+CPIN?");
    }
    EXPECT_EQ(Count(rig.Commands(), "AT+CPIN?"), 1);
}

TEST_F(Transaction, SilenceAndNonPositiveRepeatCount)
{
    rig.sim.SetSilent(true);
    for (int repeatCount : {0, -3}) {
        rig.sim.ClearTranscript();
        rig.gsm.SetRepeatCount(repeatCount);
        const auto start = std::chrono::steady_clock::now();
        try {
            rig.gsm.ExecCommand("AT", 0x01);
            ADD_FAILURE();
        } catch (const EGSMError &e) {
            EXPECT_STREQ(e.what(), "No reply on AT command: AT");
        }
        EXPECT_LT(ElapsedMs(start), 3000) << "one attempt, not an endless loop";
        EXPECT_TRUE(rig.sim.WaitForCommand("AT", 500));
        EXPECT_EQ(rig.Commands().size(), 1u);
    }
}

TEST_F(Transaction, DataCommandPrompt)
{
    rig.gsm.SetRepeatCount(2);
    // The prompt never comes: every attempt waits for it, the data part is never written.
    rig.sim.SetSilent(true);
    const std::string cmd = "AT+CMGS=14>0011000B914971000000F10000AA01C1";
    try {
        rig.gsm.ExecCommand(cmd, 0x1F);
        ADD_FAILURE();
    } catch (const EGSMError &e) {
        EXPECT_EQ(std::string(e.what()), "No reply on AT command: " + cmd);
    }
    rig.sim.SetSilent(false);
    // An error instead of the prompt is reported after the last attempt.
    rig.sim.ClearTranscript();
    rig.sim.FailCommand("AT+CMGS", "+CMS ERROR: 304", 2);
    try {
        rig.gsm.ExecCommand(cmd, 0x1F);
        ADD_FAILURE();
    } catch (const EGSMError &e) {
        EXPECT_EQ(std::string(e.what()),
                  "+CMS ERROR: 304 \"Invalid PDU mode parameter\" was returned on AT command: " + cmd);
    }
    EXPECT_EQ(Count(rig.Commands(), "AT+CMGS=14"), 2);
    EXPECT_FALSE(rig.gsm.Busy());
}

TEST_F(Transaction, UnfinishedLineDelaysTheNextCommand)
{
    std::vector<int> registrations;
    rig.gsm.OnNetworkRegistration = [&](TObject *, int s) { registrations.push_back(s); };
    std::string received;
    rig.gsm.OnRxChar = [&](TObject *, char c) { received += c; };
    rig.sim.SendRaw("\r\n+CREG: ");
    ASSERT_TRUE(PumpUntil(
        [&] {
            rig.gsm.ProcessReceived();
            return received.find("+CREG: ") != std::string::npos;
        },
        3000));
    std::thread rest([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        rig.sim.SendRaw("5\r\n");
    });
    TLines lines;
    rig.gsm.ExecCommand("AT+CSQ", 0x13, &lines);
    rest.join();
    EXPECT_EQ(lines, TLines{"20,99"});
    rig.gsm.ProcessReceived();
    EXPECT_EQ(registrations, std::vector<int>{5});
    EXPECT_EQ(received.rfind("\r\n+CREG: 5\r\n", 0), 0u) << "every character once, in order: " << received;
}

TEST_F(Transaction, IdleLinesReachTheApplicationThroughTheMainThread)
{
    TLines unsolicited;
    rig.gsm.OnUnsolicitedLine = [&](TObject *, const std::string &l) { unsolicited.push_back(l); };
    std::vector<int> registrations;
    rig.gsm.OnNetworkRegistration = [&](TObject *, int s) { registrations.push_back(s); };
    rig.sim.SendUnsolicited("+CREG: 2");
    rig.sim.SendUnsolicited("+CIEV: 2,3");
    rig.sim.SendUnsolicited("+CREG: 2");
    ASSERT_TRUE(PumpUntil([&] { return unsolicited.size() >= 1 && registrations.size() >= 1; }, 3000));
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ(registrations, std::vector<int>{2}) << "a repeated status raises no event";
    EXPECT_EQ(unsolicited, TLines{"+CIEV: 2,3"});
}

TEST_F(Transaction, FailingLineIsReportedAndProcessingGoesOn)
{
    std::vector<std::string> errors;
    rig.gsm.OnProcessingError = [&](TObject *, const std::string &m) { errors.push_back(m); };
    std::vector<int> registrations;
    rig.gsm.OnNetworkRegistration = [&](TObject *, int s) { registrations.push_back(s); };
    rig.sim.SendUnsolicited("+CREG: home");
    ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }, 3000));
    EXPECT_EQ(errors, std::vector<std::string>{"\"home\" is an invalid integer"});
    rig.sim.SendUnsolicited("+CREG: 5");
    ASSERT_TRUE(PumpUntil([&] { return !registrations.empty(); }, 3000));
    EXPECT_EQ(registrations, std::vector<int>{5});
}

TEST_F(Transaction, FloodWithoutLineEndsStaysUsable)
{
    const std::string junk(16 * 1024, 'x');
    for (int i = 0; i < 8; ++i)
        rig.sim.SendRaw(junk);
    rig.sim.SendRaw("\r\n");
    TLines lines;
    EXPECT_EQ(rig.gsm.ExecCommand("AT+CSQ", 0x13, &lines), 0);
    EXPECT_EQ(lines, TLines{"20,99"});
}

TEST_F(Transaction, BytesWithoutLineEndsDoNotKeepACommandWaiting)
{
    rig.sim.SetSilent(true);
    std::atomic<bool> stop = false;
    std::thread streamer([&] {
        while (!stop) {
            rig.sim.SendRaw(std::string(64, '~'));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const auto start = std::chrono::steady_clock::now();
    try {
        rig.gsm.ExecCommand("AT+CSQ", 0x13, nullptr, 1);
        ADD_FAILURE();
    } catch (const EGSMError &e) {
        // The bytes that kept coming are named as the likely cause.
        EXPECT_STREQ(e.what(), "No reply on AT command: AT+CSQ (the device sends data that is no answer: "
                               "wrong port or line speed?)");
    }
    const auto elapsed = ElapsedMs(start);
    stop = true;
    streamer.join();
    EXPECT_LT(elapsed, 3000) << "the silence timeout of 400 ms ended the attempt";
}

TEST_F(Transaction, VanishedDeviceDuringAWait)
{
    rig.gsm.SetRecTimeout(5000);
    rig.gsm.SetRepeatCount(5);
    rig.sim.SetSilent(true);
    std::thread killer([&] {
        rig.sim.WaitForCommand("AT+CSQ", 3000);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        rig.sim.HangUp();
    });
    const auto start = std::chrono::steady_clock::now();
    try {
        rig.gsm.ExecCommand("AT+CSQ", 0x13);
        ADD_FAILURE();
    } catch (const EGSMError &e) {
        const std::string msg = e.what();
        EXPECT_EQ(msg.rfind("Connection to " + rig.sim.DevicePath() + " lost on AT command: AT+CSQ", 0), 0u)
            << msg;
    }
    killer.join();
    EXPECT_LT(ElapsedMs(start), 2000) << "ended by the hang-up, not by the timeouts";
    // Every later command fails at once; closing works.
    EXPECT_THROW(rig.gsm.ExecCommand("AT", 0x01), EGSMError);
    rig.gsm.Close();
    EXPECT_FALSE(rig.gsm.Active());
}

TEST(EngineLifetime, DestroyWhileTheAsyncThreadWaitsForTheMainThread)
{
    auto rig = std::make_unique<TEngineRig>(Handset("M20"));
    rig->gsm.Open();
    // Lines arrive while the main thread runs no event loop: the async thread's call to the main
    // thread stays queued.
    rig->sim.SendUnsolicited("+CREG: 5");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = std::chrono::steady_clock::now();
    rig.reset();
    EXPECT_LT(ElapsedMs(start), 1000);
    QCoreApplication::processEvents(); // the cancelled call is dropped without running
}

TEST(EngineLifetime, CloseFromAnEventHandler)
{
    TEngineRig rig(Handset("M20"));
    rig.gsm.Open();
    rig.gsm.ProcessReceived();
    rig.gsm.OnUnsolicitedLine = [&](TObject *, const std::string &) { rig.gsm.Close(); };
    rig.sim.SendUnsolicited("+CIEV: 2,1");
    ASSERT_TRUE(PumpUntil([&] { return !rig.gsm.Active(); }, 3000));
    EXPECT_FALSE(rig.comm.Active());
}

} // namespace
