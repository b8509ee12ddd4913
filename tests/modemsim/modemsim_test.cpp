// The virtual handset over a real pseudo-terminal: framing, echo, the SIM PIN dialogue, the
// per-model differences, faults and the transcript.
#include "modemsim/modemprofiles.h"
#include "modemsim/modemsimulator.h"
#include "modemsim/simrun.h"
#include "ptyclient.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace kestrel;
using kestrel::test::TPtyClient;

namespace {

TModemSimulatorOptions equipment(const std::string &name)
{
    TModemSimulatorOptions o;
    o.equipment = name;
    return o;
}

} // namespace

TEST(ModemSimulator, EchoAndFraming)
{
    TModemSimulator sim;
    TPtyClient c(sim.DevicePath());
    ASSERT_TRUE(c.IsOpen());
    EXPECT_EQ(c.Command("AT"), "AT\r\r\nOK\r\n");
    EXPECT_EQ(c.Command("AT+CSQ"), "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    EXPECT_EQ(c.Command("ATE0"), "ATE0\r\r\nOK\r\n");
    EXPECT_EQ(c.Command("AT+CSQ"), "\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    EXPECT_EQ(c.Command("at+cgmi"), "\r\nSIEMENS\r\n\r\nOK\r\n");
    // Several commands on one line, the answers in order and one final result.
    EXPECT_EQ(c.Command("AT+CMGF=1;+CMGF?;E1"), "\r\n+CMGF: 1\r\n\r\nOK\r\n");
    EXPECT_EQ(c.Command("AT+CMGF=7;+CMGF?"), "AT+CMGF=7;+CMGF?\r\r\n+CMS ERROR: 303\r\n");
    // Numeric result codes after ATV0.
    c.Write("ATV0\r");
    EXPECT_EQ(c.ReadQuiet(100), "ATV0\r0\r");
    c.Write("ATX9;+CSQ\r");
    EXPECT_EQ(c.ReadQuiet(100), "ATX9;+CSQ\r4\r");
    c.Write("AT+CSQ\r");
    EXPECT_EQ(c.ReadQuiet(100), "AT+CSQ\r+CSQ: 20,99\r\n0\r");
    EXPECT_EQ(c.Command("ATZ"), "ATZ\r\r\nOK\r\n");
    // Text that is not a command is only echoed.
    c.Write("hello\r");
    EXPECT_EQ(c.ReadQuiet(100), "hello\r");
    // An overlong line is refused without harm to the next command.
    EXPECT_EQ(c.Command(std::string(2000, 'A')), std::string(560, 'A') + "\r\r\nERROR\r\n");
    EXPECT_EQ(c.Command("AT"), "AT\r\r\nOK\r\n");
}

TEST(ModemSimulator, ErrorReportingFollowsCmee)
{
    TModemSimulator sim;
    TPtyClient c(sim.DevicePath());
    c.Command("ATE0");
    struct Row {
        const char *cmee;
        const char *answer;
    } rows[] = {
        {"AT+CMEE=0", "\r\nERROR\r\n"},
        {"AT+CMEE=1", "\r\n+CME ERROR: 3\r\n"},
        {"AT+CMEE=2", "\r\n+CME ERROR: operation not allowed\r\n"},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(c.Command(r.cmee), "\r\nOK\r\n");
        EXPECT_EQ(c.Command("AT+CPIN=\"1234\""), r.answer) << r.cmee; // no PIN is pending
    }
}

TEST(ModemSimulator, PinStateMachine)
{
    struct Step {
        const char *command;
        const char *answer;
    };
    struct Case {
        const char *name;
        const char *pin;
        const char *puk;
        std::vector<Step> steps;
        const char *finalState;
    };
    const Case cases[] = {
        {"ready", "", "", {{"AT+CPIN?", "+CPIN: READY"}, {"AT+CPMS?", "+CPMS: \"SM\",0,20"}}, "READY"},
        {"correct pin",
         "1234",
         "",
         {{"AT+CPIN?", "+CPIN: SIM PIN"},
          {"AT+CPMS?", "+CMS ERROR: 311"},
          {"AT+CSQ", "+CSQ: 20,99"},
          {"AT+CPIN=\"1234\"", "OK"},
          {"AT+CPIN?", "+CPIN: READY"},
          {"AT+CPMS?", "+CPMS: \"SM\""}},
         "READY"},
        {"wrong pin then right",
         "1234",
         "",
         {{"AT+CPIN=\"0000\"", "+CME ERROR: 16"}, {"AT+CPIN=\"1234\"", "OK"}},
         "READY"},
        {"three wrong pins block the SIM",
         "1234",
         "",
         {{"AT+CPIN=\"1\"", "+CME ERROR: 16"},
          {"AT+CPIN=\"2\"", "+CME ERROR: 16"},
          {"AT+CPIN=\"3\"", "+CME ERROR: 16"},
          {"AT+CPIN?", "+CPIN: SIM PUK"},
          {"AT+CPIN=\"1234\"", "+CME ERROR: 12"},
          {"AT+CPIN=\"12345678\",\"4321\"", "OK"},
          {"AT+CPIN?", "+CPIN: READY"}},
         "READY"},
        {"puk",
         "",
         "87654321",
         {{"AT+CPIN?", "+CPIN: SIM PUK"},
          {"AT+CSCA?", "+CMS ERROR: 316"},
          {"AT+CPIN=\"11111111\",\"1111\"", "+CME ERROR: 16"},
          {"AT+CPIN=\"87654321\",\"1111\"", "OK"}},
         "READY"},
    };
    for (const auto &tc : cases) {
        SCOPED_TRACE(tc.name);
        TModemSimulatorOptions o;
        o.pin = tc.pin;
        o.puk = tc.puk;
        TModemSimulator sim(o);
        TPtyClient c(sim.DevicePath());
        c.Command("ATE0");
        c.Command("AT+CMEE=1");
        for (const auto &s : tc.steps)
            EXPECT_NE(c.Command(s.command).find(s.answer), std::string::npos) << s.command;
        EXPECT_EQ(sim.SimState(), tc.finalState);
    }
}

TEST(ModemSimulator, NewPinAfterPukIsTheOneAsked)
{
    TModemSimulatorOptions o;
    o.puk = "1";
    TModemSimulator sim(o);
    TPtyClient c(sim.DevicePath());
    EXPECT_NE(c.Command("AT+CPIN=\"1\",\"2468\"").find("OK"), std::string::npos);
    EXPECT_EQ(sim.SimState(), "READY");
}

TEST(ModemSimulator, ProfilesAnswerAsTheirHandset)
{
    struct Row {
        const char *equipment;
        const char *command;
        const char *answer; // the whole answer with echo off
    };
    const Row rows[] = {
        {"Nokia6650", "AT+CGMR", "\r\nNokia 6650\r\nNHM-2\r\n(c) Nokia\r\nV 4.34\r\n\r\nOK\r\n"},
        {"M20", "AT+CGMR", "\r\nREVISION 02.14\r\n\r\nOK\r\n"},
        {"gm12", "AT+CGMM", "\r\nGM12 GSM Module\r\n\r\nOK\r\n"},
        {"T260", "AT+CREG?", "\r\nERROR\r\n"},
        {"M1", "AT+CREG?", "\r\n+CREG: 0,1\r\n\r\nOK\r\n"},
        {"WaveCom", "AT+WIND=12", "\r\nOK\r\n"},
        {"Fasttrack", "AT+WIND?", "\r\n+WIND: 0\r\n\r\nOK\r\n"},
        {"M20", "AT+WIND=12", "\r\nERROR\r\n"},
        {"Nokia9110", "AT+CMGF=0", "\r\n+CMS ERROR: 303\r\n"},
        {"Nokia9110", "AT+CMGF?", "\r\n+CMGF: 1\r\n\r\nOK\r\n"},
        {"A1", "AT+CMGF=1", "\r\n+CMS ERROR: 303\r\n"},
        {"M35", "AT+CSMS=?", "\r\n+CSMS: (0,1)\r\n\r\nOK\r\n"},
        {"M20", "AT+CSMS=1", "\r\n+CMS ERROR: 303\r\n"},
        {"M35", "AT+CSMS=1", "\r\n+CSMS: 1,1,1\r\n\r\nOK\r\n"},
        {"Nokia6650", "AT+CSMS?", "\r\n+CSMS: 1,1,1,1\r\n\r\nOK\r\n"},
        {"WaveCom", "AT+CNMI=?", "\r\n+CNMI: (0-3),(0-3),(0-3),(0,2),(0,1)\r\n\r\nOK\r\n"},
        {"WaveCom", "AT+CNMI=2,1,0,1,0", "\r\n+CMS ERROR: 303\r\n"},
        {"TC35", "AT+CNMI=2,1,0,1,0", "\r\nOK\r\n"},
        {"Nokia6650", "AT+CPMS=\"MT\"", "\r\n+CPMS: 0,35,0,10,0,35\r\n\r\nOK\r\n"},
        {"M20", "AT+CPMS=\"MT\"", "\r\n+CMS ERROR: 302\r\n"},
        {"M20", "AT+CPMS=\"ME\",\"SM\"", "\r\n+CPMS: 0,25,0,20,0,20\r\n\r\nOK\r\n"},
        {"GM12", "AT^SMSO", "\r\nERROR\r\n"},
        {"M20", "AT+CFUN=0", "\r\nERROR\r\n"},
        {"S25", "AT+CSCA?", "\r\n+CSCA: \"+491710760000\",145\r\n\r\nOK\r\n"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string(r.equipment) + " " + r.command);
        TModemSimulator sim(equipment(r.equipment));
        TPtyClient c(sim.DevicePath());
        c.Command("ATE0");
        EXPECT_EQ(c.Command(r.command), r.answer);
    }
}

TEST(ModemSimulator, EveryEquipmentNameHasAProfile)
{
    const char *names[] = {"A1",  "M1",  "M20",  "GM12",    "Nokia6210", "Nokia6650", "Nokia9110",
                           "M35", "S25", "T260", "WaveCom", "TC35",      "Fasttrack", "Generic"};
    ASSERT_EQ(ModemProfiles().size(), std::size(names));
    for (size_t i = 0; i < std::size(names); ++i)
        EXPECT_STREQ(ModemProfiles()[i].name, names[i]);
    EXPECT_EQ(FindModemProfile("wavecom"), &ModemProfiles()[10]);
    EXPECT_EQ(FindModemProfile("Nokia"), nullptr);
    EXPECT_THROW(TModemSimulator(equipment("X100")), std::invalid_argument);
}

TEST(ModemSimulator, SwitchOffSilencesTheHandset)
{
    struct Row {
        const char *equipment;
        const char *command;
        const char *answer;
    } rows[] = {
        {"M20", "AT^SMSO", "\r\n^SMSO: MS OFF\r\n\r\nOK\r\n"},
        {"GM12", "AT+CFUN=0", "\r\nOK\r\n"},
    };
    for (const auto &r : rows) {
        TModemSimulator sim(equipment(r.equipment));
        TPtyClient c(sim.DevicePath());
        c.Command("ATE0");
        EXPECT_EQ(c.Command(r.command), r.answer);
        EXPECT_TRUE(sim.SwitchedOff());
        c.Write("AT\r");
        EXPECT_EQ(c.ReadQuiet(100), "");
        EXPECT_EQ(sim.ReceivedCommands().size(), 2u); // ATE0 and the switch-off
    }
}

TEST(ModemSimulator, WavecomReportsReadinessAfterPin)
{
    TModemSimulatorOptions o = equipment("WaveCom");
    o.pin = "0000";
    TModemSimulator sim(o);
    TPtyClient c(sim.DevicePath());
    c.Command("ATE0");
    EXPECT_EQ(c.Command("AT+WIND=12"), "\r\nOK\r\n");
    EXPECT_EQ(c.Command("AT+CPIN?"), "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n");
    EXPECT_EQ(c.Command("AT+CPIN=\"0000\""), "\r\nOK\r\n");
    std::string later = c.ReadUntil("+WIND: 4\r\n");
    EXPECT_EQ(later, "\r\n+WIND: 3\r\n\r\n+WIND: 4\r\n");
}

TEST(ModemSimulator, RegistrationReports)
{
    TModemSimulatorOptions o;
    o.pin = "1234";
    TModemSimulator sim(o);
    TPtyClient c(sim.DevicePath());
    c.Command("ATE0");
    EXPECT_EQ(c.Command("AT+CREG?"), "\r\n+CREG: 0,0\r\n\r\nOK\r\n");
    c.Command("AT+CREG=1");
    c.Command("AT+CPIN=\"1234\"");
    EXPECT_EQ(c.ReadUntil("+CREG: 1\r\n"), "\r\n+CREG: 1\r\n");
    sim.SetRegistration(1); // no change, no report
    sim.SetRegistration(5);
    EXPECT_EQ(c.ReadUntil("+CREG: 5\r\n"), "\r\n+CREG: 5\r\n");
    c.Command("AT+CREG=2");
    sim.SetRegistration(1);
    EXPECT_EQ(c.ReadUntil("\"\r\n"), "\r\n+CREG: 1,\"00C3\",\"1A2B\"\r\n");
    EXPECT_EQ(c.Command("AT+CREG?"), "\r\n+CREG: 2,1,\"00C3\",\"1A2B\"\r\n\r\nOK\r\n");
}

TEST(ModemSimulator, T260ReportsSignalChanges)
{
    TModemSimulatorOptions o = equipment("T260");
    o.pin = "1234";
    TModemSimulator sim(o);
    TPtyClient c(sim.DevicePath());
    c.Command("ATE0");
    // No network before the PIN: no signal either.
    EXPECT_EQ(c.Command("AT+CSQ"), "\r\n+CSQ: 99,99\r\n\r\nOK\r\n");
    c.Command("AT+CPIN=\"1234\"");
    EXPECT_EQ(c.ReadUntil("20,99\r\n"), "\r\n+CSQ: 20,99\r\n");
    sim.SetSignal(20); // unchanged: nothing
    sim.SetSignal(12);
    EXPECT_EQ(c.ReadUntil("12,99\r\n"), "\r\n+CSQ: 12,99\r\n");
    sim.SetRegistration(0);
    EXPECT_EQ(c.ReadUntil("99,99\r\n"), "\r\n+CSQ: 99,99\r\n");
    EXPECT_EQ(c.Command("AT+CSQ"), "\r\n+CSQ: 99,99\r\n\r\nOK\r\n");
    sim.SetRegistration(5);
    EXPECT_EQ(c.ReadUntil("12,99\r\n"), "\r\n+CSQ: 12,99\r\n");
}

TEST(ModemSimulator, TranscriptRecordsBothDirections)
{
    TModemSimulator sim;
    TPtyClient c(sim.DevicePath());
    c.Command("AT+CPIN?");
    c.Command("AT+CMEE=1;+CPMS=\"XX\"");
    sim.SendUnsolicited("RING");
    c.ReadUntil("RING");
    std::vector<std::string> expected = {
        "< AT+CPIN?", "> +CPIN: READY", "> OK", "< AT+CMEE=1;+CPMS=\"XX\"", "> +CMS ERROR: 302", "> RING",
    };
    EXPECT_EQ(sim.Transcript(), expected);
    EXPECT_EQ(sim.ReceivedCommands(), (std::vector<std::string>{"AT+CPIN?", "AT+CMEE=1;+CPMS=\"XX\""}));
    EXPECT_TRUE(sim.WaitForCommand("at+cmee", 0));
    EXPECT_FALSE(sim.WaitForCommand("AT+CSQ", 20));
    sim.ClearTranscript();
    EXPECT_TRUE(sim.Transcript().empty());
    EXPECT_FALSE(sim.WaitForCommand("AT+CPIN", 0));
}

TEST(ModemSimulator, ChunkedReplyArrivesInPieces)
{
    TModemSimulatorOptions o;
    o.chunkGapMs = 60;
    TModemSimulator sim(o);
    TPtyClient c(sim.DevicePath());
    sim.SetChunking({3, 12});
    c.Write("AT+CSQ\r");
    std::string first = c.ReadOnce(2000);
    EXPECT_EQ(first, "AT+");
    std::string rest = c.ReadUntil("OK\r\n");
    EXPECT_EQ(first + rest, "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    // Only the next reply was split.
    c.Write("AT\r");
    EXPECT_EQ(c.ReadOnce(2000), "AT\r\r\nOK\r\n");
}

TEST(ModemSimulator, RandomChunkingKeepsEveryByte)
{
    TModemSimulatorOptions o;
    o.chunkGapMs = 1;
    TModemSimulator sim(o);
    sim.SetRandomChunking(true, 7);
    TPtyClient c(sim.DevicePath());
    EXPECT_EQ(c.Command("AT+CGMR"), "AT+CGMR\r\r\nREVISION 02.14\r\n\r\nOK\r\n");
    EXPECT_EQ(c.Command("AT+CSQ"), "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
}

TEST(ModemSimulator, FaultsOnRequest)
{
    TModemSimulator sim;
    TPtyClient c(sim.DevicePath());
    c.Command("ATE0");

    sim.FailNextCommand("+CME ERROR: 11");
    EXPECT_EQ(c.Command("AT+CPIN?"), "\r\n+CME ERROR: 11\r\n");
    EXPECT_EQ(c.Command("AT+CPIN?"), "\r\n+CPIN: READY\r\n\r\nOK\r\n");

    sim.SetSilent(true);
    c.Write("AT\r");
    ASSERT_TRUE(sim.WaitForCommand("AT", 2000));
    EXPECT_EQ(c.ReadQuiet(100), "");
    sim.SetSilent(false);

    sim.SendRaw("\x01\xff garbage");
    EXPECT_EQ(c.ReadUntil("garbage"), "\x01\xff garbage");

    sim.SetReplyDelay(300);
    c.Write("AT\r");
    EXPECT_EQ(c.ReadOnce(100), ""); // not yet
    EXPECT_EQ(c.ReadUntil("OK\r\n"), "\r\nOK\r\n");
}

TEST(ModemSimulator, SecondClientSessionWorks)
{
    TModemSimulator sim;
    for (int session = 0; session < 3; ++session) {
        TPtyClient c(sim.DevicePath());
        ASSERT_TRUE(c.IsOpen());
        EXPECT_EQ(c.Command("AT"), "AT\r\r\nOK\r\n") << session;
    }
}

TEST(ModemSimulator, HangUpMakesTheDeviceVanish)
{
    std::string link = "/tmp/kestrel-modemsim-test-" + std::to_string(getpid());
    TModemSimulatorOptions o;
    o.linkPath = link;
    {
        TModemSimulator sim(o);
        char target[256] = {};
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(sim.DevicePath(), target);
        TPtyClient c(link);
        ASSERT_TRUE(c.IsOpen());
        EXPECT_EQ(c.Command("AT"), "AT\r\r\nOK\r\n");
        sim.HangUp();
        EXPECT_TRUE(sim.HungUp());
        bool eof = false;
        c.ReadOnce(2000, &eof);
        EXPECT_TRUE(eof);
        struct stat st {};
        EXPECT_NE(lstat(link.c_str(), &st), 0); // the link went with the device
        TPtyClient again(sim.DevicePath());
        EXPECT_FALSE(again.IsOpen() && !again.Command("AT", 200).empty());
    }
    TModemSimulator sim(o);
    {
        struct stat st {};
        EXPECT_EQ(lstat(link.c_str(), &st), 0);
    }
}

TEST(ModemSimulator, LinkIsRemovedWithTheSimulator)
{
    std::string link = "/tmp/kestrel-modemsim-link-" + std::to_string(getpid());
    TModemSimulatorOptions o;
    o.linkPath = link;
    {
        TModemSimulator sim(o);
        struct stat st {};
        EXPECT_EQ(lstat(link.c_str(), &st), 0);
    }
    struct stat st {};
    EXPECT_NE(lstat(link.c_str(), &st), 0);
}

TEST(ModemSimulatorRun, OptionsAndControlLines)
{
    struct Row {
        std::vector<std::string> args;
        const char *error; // empty: accepted
    } rows[] = {
        {{"--equipment", "wavecom", "--pin", "1234", "--link=/tmp/x"}, ""},
        {{"--equipment", "X1"}, "unknown equipment: X1"},
        {{"--pin"}, "missing value for --pin"},
        {{"--rssi", "abc"}, "bad number for --rssi: abc"},
        {{"--device", "/dev/ttyS0"}, "unknown option: --device"},
    };
    for (const auto &r : rows) {
        TModemSimulatorOptions o;
        std::string peer;
        bool help = false;
        EXPECT_EQ(ParseModemSimulatorArgs(r.args, o, peer, help), r.error);
    }
    TModemSimulatorOptions o;
    std::string peer;
    bool help = false;
    ParseModemSimulatorArgs(
        {"--equipment", "wavecom", "--pin", "1234", "--link=/tmp/x", "--rssi", "7", "--peer", "+4917"}, o,
        peer, help);
    EXPECT_EQ(peer, "+4917");
    EXPECT_EQ(o.equipment, "wavecom");
    EXPECT_EQ(o.pin, "1234");
    EXPECT_EQ(o.linkPath, "/tmp/x");
    EXPECT_EQ(o.rssi, 7);

    TModemSimulator sim;
    TPtyClient c(sim.DevicePath());
    c.Command("ATE0");
    bool quit = false;
    EXPECT_EQ(ModemSimulatorControl(sim, "signal 9", quit), "OK");
    EXPECT_EQ(c.Command("AT+CSQ"), "\r\n+CSQ: 9,99\r\n\r\nOK\r\n");
    EXPECT_EQ(ModemSimulatorControl(sim, "raw A\\r\\x42", quit), "OK");
    EXPECT_EQ(c.ReadUntil("B"), "A\rB");
    EXPECT_EQ(ModemSimulatorControl(sim, "frobnicate", quit), "ERROR: unknown command: frobnicate");
    EXPECT_EQ(ModemSimulatorControl(sim, "signal x", quit), "ERROR: usage: signal N");
    EXPECT_EQ(ModemSimulatorControl(sim, "deliver-pdu 00ZZ", quit), "ERROR: not hexadecimal octets: 00ZZ");
    c.Command("AT+CNMI=1,1,0,0,0");
    EXPECT_EQ(ModemSimulatorControl(sim, "deliver +4930123 hello there", quit), "OK");
    EXPECT_EQ(c.ReadUntil("\"SM\",1\r\n"), "\r\n+CMTI: \"SM\",1\r\n");
    std::string stored = ModemSimulatorControl(sim, "stored", quit);
    EXPECT_EQ(stored.rfind("stored SM 1 0 040791940321F3", 0), 0u) << stored;
    EXPECT_EQ(stored.substr(stored.size() - 3), "\nOK");
    EXPECT_FALSE(quit);
    EXPECT_EQ(ModemSimulatorControl(sim, "quit", quit), "OK");
    EXPECT_TRUE(quit);
}
