#include "appcore/datamodule.h"
#include "base/clock.h"
#include "base/inifile.h"
#include "gsm/sms.h"
#include "gsm/tpdufields.h"
#include "support/timezone.h"
#include "xsms/protocolstack.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrel;

namespace {

std::string ReadFile(const std::filesystem::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class DataModuleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = std::filesystem::temp_directory_path() /
              ("kestrel-dm-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        programDir = dir.string() + "/";
        ini = dir / "gsm.ini";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    void WriteIni(const std::string &text) const { std::ofstream(ini, std::ios::binary) << text; }

    std::filesystem::path dir, ini;
    std::string programDir;
};

class TRecordingSink : public TLineSink {
public:
    std::vector<std::string> lines;
    std::string text;
    void AddLine(const std::string &S) override { lines.push_back(S); }
    void AddText(const std::string &S) override { text += S; }
};

class TRecordingForm : public TMessageTarget {
public:
    std::vector<std::pair<int, long long>> messages;
    void HandleMessage(int Msg, long long WParam, const TSMS *) override
    {
        messages.emplace_back(Msg, WParam);
    }
};

TEST_F(DataModuleTest, DefaultsWithoutASettingsFileAndTheFileWrittenAtExit)
{
    {
        TGSMDataModule dm(ini.string(), programDir);
        EXPECT_EQ(dm.Comm1.DeviceName(), "/dev/ttyS0");
        EXPECT_EQ(dm.GSM.Equipment(), eqM1);
        EXPECT_EQ(dm.GSM.SMSFormat(), 0);
        EXPECT_EQ(dm.GSMLogName, programDir + "gsm.log");
        EXPECT_EQ(dm.SMSLogName, programDir + "sms.log");
        EXPECT_EQ(dm.Comm1.Baudrate(), br19200); // the M1's speed
        EXPECT_TRUE(dm.Comm1.DontSynchronize());
        EXPECT_EQ(dm.GSM.COMDevice(), &dm.Comm1);
        EXPECT_FALSE(std::filesystem::exists(ini));
    }
    const std::string expected = "[Modem]\n"
                                 "DeviceName=/dev/ttyS0\n"
                                 "Device=M1\n"
                                 "PIN=\n"
                                 "SCA=+0000000000\n"
                                 "SMSFormat=0\n"
                                 "UnsolicitedIndication=0\n"
                                 "\n"
                                 "[Modem.Files]\n"
                                 "GSMLog=" +
                                 programDir + "gsm.log\nSMSLog=" + programDir + "sms.log\n";
    EXPECT_EQ(ReadFile(ini), expected);
}

TEST_F(DataModuleTest, ReadsEveryKeyAndBaudOverridesTheEquipmentSpeed)
{
    WriteIni("[Modem]\nDeviceName=/dev/ttyUSB0\nDevice=tc35\nPIN=1234\nSCA=+491710760000\n"
             "UnsolicitedIndication=5\nSMSFormat=1\nRecTimeout=9000\nBaud=115200\n"
             "[Modem.Files]\nGSMLog=<none>\nSMSLog=/tmp/x.log\n");
    TGSMDataModule dm(ini.string(), programDir);
    EXPECT_EQ(dm.Comm1.DeviceName(), "/dev/ttyUSB0");
    EXPECT_EQ(dm.GSM.Equipment(), eqTC35);
    EXPECT_EQ(dm.GSM.PIN(), "1234");
    EXPECT_EQ(dm.GSM.SCA(), "+491710760000");
    EXPECT_EQ(dm.GSM.UnsolicitedIndication(), 5);
    EXPECT_EQ(dm.GSM.SMSFormat(), 1);
    EXPECT_EQ(dm.GSM.RecTimeout(), 9000);
    EXPECT_EQ(dm.Comm1.Baudrate(), br115200);
    EXPECT_EQ(dm.GSMLogName, "<none>");
    EXPECT_EQ(dm.SMSLogName, "/tmp/x.log");
}

TEST_F(DataModuleTest, UnusableNumbersKeepTheDefaults)
{
    struct {
        const char *rec, *baud;
    } cases[] = {{"0", "1000"}, {"-5", "abc"}, {"x", "0"}};
    for (const auto &c : cases) {
        WriteIni(std::string("[Modem]\nDevice=GM12\nRecTimeout=") + c.rec + "\nBaud=" + c.baud + "\n");
        TGSMDataModule dm(ini.string(), programDir);
        EXPECT_EQ(dm.GSM.RecTimeout(), 6000);
        EXPECT_EQ(dm.Comm1.Baudrate(), br9600); // the GM12's speed stays
    }
}

TEST_F(DataModuleTest, UnknownEquipmentIsRefused)
{
    WriteIni("[Modem]\nDevice=Nokia3310\n");
    try {
        TGSMDataModule dm(ini.string(), programDir);
        FAIL();
    } catch (const EGSMError &e) {
        EXPECT_STREQ(e.what(), "Bad equipment name");
    }
}

TEST_F(DataModuleTest, SavingKeepsForeignKeysAndNeverWritesRecTimeoutOrBaud)
{
    WriteIni("; my modem\n[Modem]\nBaud=57600\nRecTimeout=7000\nDevice=S25\nColour=blue\n[Other]\nx=1\n");
    {
        TGSMDataModule dm(ini.string(), programDir);
    }
    TIniFile f(ini.string());
    EXPECT_EQ(f.ReadString("Modem", "Colour", ""), "blue");
    EXPECT_EQ(f.ReadString("Other", "x", ""), "1");
    EXPECT_EQ(f.ReadString("Modem", "Device", ""), "S25");
    EXPECT_EQ(f.ReadString("Modem", "Baud", ""), "57600"); // untouched, as the user wrote it
    EXPECT_EQ(ReadFile(ini).rfind("; my modem\n", 0), 0u);
}

TEST(DataModuleHelpers, ConfigSwitchAndProgramDirectory)
{
    EXPECT_EQ(ConfigFileFromArguments({"prog", "START"}, "/opt/k/"), "/opt/k/gsm.ini");
    EXPECT_EQ(ConfigFileFromArguments({"prog", "-I:/home/u/My.ini", "/i:/other.ini"}, "/opt/k/"),
              "/home/u/My.ini");
    EXPECT_EQ(ConfigFileFromArguments({"prog", "/i:rel.ini"}, "/opt/k/"), "rel.ini");
    EXPECT_EQ(ConfigFileFromArguments({"prog", "-X:a"}, "/opt/k/"), "/opt/k/gsm.ini");
    const std::string dir = ProgramDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
}

TEST_F(DataModuleTest, UnwritableProgramDirectoryMovesSettingsAndLogsToTheUser)
{
    // Installed under /usr/bin: not writable for a user (the check is given, since root can write).
    const std::string readOnly = "/usr/bin/";
    auto notWritable = [](const std::string &) { return false; };
    auto loc = ResolveAppLocations({"prog"}, readOnly, notWritable);
    EXPECT_NE(loc.ConfigFile, readOnly + "gsm.ini");
    EXPECT_NE(loc.LogDirectory, readOnly);
    EXPECT_NE(loc.Notice.find("not writable"), std::string::npos);
    EXPECT_EQ(loc.LogDirectory.back(), '/');
    EXPECT_EQ(loc.ConfigFile.substr(loc.ConfigFile.size() - 8), "/gsm.ini");
    auto given = ResolveAppLocations({"prog", "-I:/tmp/mine.ini"}, readOnly, notWritable);
    EXPECT_EQ(given.ConfigFile, "/tmp/mine.ini");
    EXPECT_EQ(given.LogDirectory, loc.LogDirectory);
}

TEST_F(DataModuleTest, WritableProgramDirectoryKeepsEverythingThere)
{
    auto loc = ResolveAppLocations({"prog"}, programDir);
    EXPECT_EQ(loc.ConfigFile, programDir + "gsm.ini");
    EXPECT_EQ(loc.LogDirectory, programDir);
    EXPECT_TRUE(loc.Notice.empty());
}

TEST_F(DataModuleTest, TextOnlyHandsetStartsWithAFormatItCanUse)
{
    for (const char *text : {"[Modem]\nDevice=Nokia9110\n", "[Modem]\nDevice=Nokia9110\nSMSFormat=0\n"}) {
        WriteIni(text);
        TGSMDataModule dm(ini.string(), programDir);
        EXPECT_EQ(dm.GSM.Equipment(), eqNokia9110);
        EXPECT_EQ(dm.GSM.SMSFormat(), 1);
    }
}

TEST(DataModuleHelpers, PrintableUserData)
{
    EXPECT_EQ(PrintableUserData("Hi\r\nthere"), "Hi<CR><LF>there");
    EXPECT_EQ(PrintableUserData(std::string("A\x01"
                                            "B",
                                            3)),
              "410142");
    EXPECT_EQ(PrintableUserData(""), "");
}

TEST_F(DataModuleTest, ModemCharactersGoToTheViewAndWholeLinesToTheLog)
{
    TGSMDataModule dm(ini.string(), programDir);
    TRecordingSink view;
    dm.ModemLogView = &view;
    for (char c : std::string("OK\r\n+CSQ: 1"))
        dm.GSMRxChar(c);
    EXPECT_EQ(view.text, "OK\r\n+CSQ: 1");
    const std::string log = ReadFile(dm.GSMLogName);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.substr(log.size() - 6), ": OK\r\n");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
    EXPECT_EQ(dm.LineBuffer, "+CSQ: 1");

    dm.GSMLogName = "<none>";
    for (char c : std::string(" more\n"))
        dm.GSMRxChar(c);
    EXPECT_EQ(ReadFile(programDir + "gsm.log"), log);
}

TEST_F(DataModuleTest, EngineEventsBecomeMessagesToEveryForm)
{
    TGSMDataModule dm(ini.string(), programDir);
    TRecordingForm a, b;
    dm.AddForm(&a);
    dm.AddForm(&b);
    dm.GSMNetworkRegistration(5);
    dm.GSMBusyChanged(true);
    dm.GSMBusyChanged(false);
    dm.GSMAfterClose();
    const std::vector<std::pair<int, long long>> expected = {{28772, 5}, {28774, 0}, {28774, 1}, {28774, -1}};
    EXPECT_EQ(a.messages, expected);
    EXPECT_EQ(b.messages, expected);
}

TEST_F(DataModuleTest, LogsEachMessageKindWithItsFormat)
{
    // Sent messages and reports are stamped with the local time of logging.
    testsupport::TTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    TClockOverride clock(1796133599999); // 2026-12-01 13:59:59.999 UTC
    TGSMDataModule dm(ini.string(), programDir);
    TRecordingSink view;
    dm.SMSLogView = &view;
    TSMSDeliver d;
    d.OA = "+441234";
    d.PID = 0x41;
    d.SCTS = EncodeDate(2002, 3, 12) + EncodeTime(10, 32, 54, 0);
    d.UserData = "Hi\r";
    dm.LogSMS(&d);
    TSMSSubmit s;
    s.DA = "123";
    s.UserData = std::string("\x01\x02", 2);
    dm.LogSMS(&s);
    TSMSStatusReport r;
    r.RA = "555";
    r.Status = 0x20;
    dm.LogSMS(&r);
    ASSERT_EQ(view.lines.size(), 3u);
    EXPECT_EQ(view.lines[0], ">2002-03-12 10:32:54, OA: +441234, PID: 41, UD: Hi<CR>");
    EXPECT_EQ(view.lines[1], "<2026-12-01 14:59:59, DA: 123, PID: 00, UD: 0102");
    EXPECT_EQ(view.lines[2], "!2026-12-01 14:59:59, OA: 555, Status: 32, DT: 1899-12-30 00:00:00");
    const std::string log = ReadFile(dm.SMSLogName);
    EXPECT_EQ(log.substr(0, view.lines[0].size() + 2), view.lines[0] + "\r\n");
}

// Received copies of messages that another program sent: the submit's content as a deliver.
std::unique_ptr<TSMSDeliver> AsDeliver(const std::string &submitPdu, const std::string &from = "+4412345")
{
    auto submit = CreateSMSFromPDU(nullptr, submitPdu, false);
    auto *s = dynamic_cast<TSMSSubmit *>(submit.get());
    EXPECT_NE(s, nullptr);
    auto d = std::make_unique<TSMSDeliver>();
    d->OA = from;
    d->DCS = s->DCS;
    d->UserData = s->UserData;
    d->SetFirstOctetBit(6, s->FirstOctetBit(6)); // TP-UDHI
    return d;
}

struct ProcessCase {
    const char *name;
    std::vector<std::string> pdus; // SMS-SUBMITs, received as delivers in this order
    bool submits;
    std::vector<std::string> referenceLines; // lines after each message's summary, in order
};

TEST_F(DataModuleTest, ReassemblesAndNamesWhatMessagesCarry)
{
    const ProcessCase cases[] = {
        {"picture message in three parts",
         {"079144775810065051000C9144214365870900F5FF8C0B0504158A00000003BD03013002010000481C01FFFFFFFFFFFFFF"
          "FFFF800010800001080001800020400002040001800040200004020001800080100008010001800100080010008001C002"
          "00040020004003A00400020040002005900800010080001009881000008100000811842000004200000421824000002400"
          "000241818000001800000181818000",
          "079144775810065051000C9144214365870900F5FF8C0B0504158A00000003BD0302001800000181824000002400000241"
          "8420000040AAAAAE8B881000008455555D4490080001022AAABAA3A00400020515557550C0020004028AAAEAA980010008"
          "054555D5548000801002A2ABAAAB8000402005515755548000204002A8AEAAAB8000108005545D55548000090002AA3AAA"
          "AB800006000555355554FFFFFFFFFD",
          "079144775810065051000C9144214365870900F5FF1B0B0504158A00000003BD030355555555000008486920746865726"
          "5"},
         true,
         {"*ref:BD, #1/3, , addr:158A", "*ref:BD, #2/3, , addr:158A",
          "*ref:BD, #3/3, , addr:158A complete SmartMessage:TSMMultipartMessage"}},
        {"EMS small picture in one message",
         {"079144775810065051000C9144214365870900F0FF2A23112100FFFFC003A005900988118421824181818181826B847488"
          "3B905CA02FC056FFD500"},
         true,
         {"*ref:00, #1/1, , addr:0000 complete EMSTEMSPictureSmall"}},
        {"UCS2 text in two parts with a 16-bit reference",
         {"079144775810065051000C914421436587090008FF8B06080407BD02010421044A04350448044C00200436043500200435"
          "044904510020044D0442043804450020043C044F0433043A043804450020044404400430043D0446044304370441043A04"
          "380445002004310443043B043E043A002C00200434043000200432044B043F04350439002004470430044E002E00200421"
          "044A04350448044C002004360435",
          "079144775810065051000C914421436587090008FF6B06080407BD020200200435044904510020044D0442043804450020"
          "043C044F0433043A043804450020044404400430043D0446044304370441043A04380445002004310443043B043E043A00"
          "2C00200434043000200432044B043F04350439002004470430044E002E0020"},
         true,
         {"*ref:7BD, #1/2, , addr:0000", "*ref:7BD, #2/2, , addr:0000 complete EMS",
          "*text: Съешь же ещё этих мягких французских булок, да выпей чаю. Съешь же ещё этих мягких "
          "французских булок, да выпей чаю. "}},
        // TS 23.038 4: 8-bit data is not text; no "*text:" line (the store keeps it as data).
        {"8-bit data in two parts",
         {"079144775810065051000C9144214365870900F4FF0A0500032A0201636166E9",
          "079144775810065051000C9144214365870900F4FF080500032A02020080"},
         true,
         {"*ref:2A, #1/2, , addr:0000", "*ref:2A, #2/2, , addr:0000 complete EMS"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TGSMDataModule dm(ini.string(), programDir);
        TRecordingSink view;
        dm.SMSLogView = &view;
        TRecordingForm form;
        dm.AddForm(&form);
        for (const auto &pdu : c.pdus) {
            auto d = AsDeliver(pdu);
            dm.ProcessSMS(d.get());
        }
        std::vector<std::string> refs;
        for (const auto &l : view.lines)
            if (l[0] == '*')
                refs.push_back(l);
        EXPECT_EQ(refs, c.referenceLines);
        EXPECT_EQ(view.lines.size(), c.pdus.size() + c.referenceLines.size());
        EXPECT_EQ(form.messages.size(), c.pdus.size());
        EXPECT_EQ(dm.ProtocolStack->Count(), 0); // completed payloads leave the stack
    }
}

TEST_F(DataModuleTest, PlainDeliverIsLoggedWithoutReferenceLine)
{
    TGSMDataModule dm(ini.string(), programDir);
    TRecordingSink view;
    dm.SMSLogView = &view;
    auto sms = CreateSMSFromPDU(
        nullptr, "0791447758100650000C914421436587090000425060708090000DC8329BFD0691CBECB4BD2C07", true);
    dm.ProcessSMS(sms.get());
    ASSERT_EQ(view.lines.size(), 1u);
    EXPECT_EQ(view.lines[0].substr(0, 1), ">");
    EXPECT_NE(view.lines[0].find("OA: +441234567890, PID: 00"), std::string::npos);
}

mode_t ModeOf(const std::filesystem::path &path)
{
    struct stat st = {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

TEST_F(DataModuleTest, StoreLocationFromTheSettingsFile)
{
    struct TCase {
        const char *ini;
        std::string expected;
    };
    const TCase cases[] = {
        {"", programDir + "messages.sqlite"}, // beside the log files, as they are placed
        {"[Modem.Files]\nStore=/srv/sms/box.sqlite\n", "/srv/sms/box.sqlite"},
        {"[Modem.Files]\nStore=postgresql://kestrel@db.example:5433/sms\n",
         "postgresql://kestrel@db.example:5433/sms"},
        {"[Modem.Files]\nStore=<none>\n", "<none>"},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.ini);
        WriteIni(c.ini);
        TGSMDataModule dm(ini.string(), programDir);
        EXPECT_EQ(dm.StoreName, c.expected);
        EXPECT_EQ(StoreLocationFromSettings(TIniFile(ini.string()), programDir), c.expected);
    }
    EXPECT_EQ(OpenMessageStore("<none>"), nullptr);
    EXPECT_EQ(OpenMessageStore(""), nullptr);
}

TEST_F(DataModuleTest, StoreKeyIsWrittenOnlyWhenChosen)
{
    {
        TGSMDataModule dm(ini.string(), programDir); // the default: the file keeps its eight keys
    }
    EXPECT_EQ(ReadFile(ini).find("Store="), std::string::npos);
    {
        TGSMDataModule dm(ini.string(), programDir);
        dm.StoreName = "<none>";
    }
    EXPECT_EQ(TIniFile(ini.string()).ReadString("Modem.Files", "Store", ""), "<none>");
    {
        TGSMDataModule dm(ini.string(), programDir);
        EXPECT_EQ(dm.StoreName, "<none>");
        dm.StoreName = programDir + "messages.sqlite"; // back to the default: still written, as chosen
    }
    EXPECT_EQ(TIniFile(ini.string()).ReadString("Modem.Files", "Store", ""), programDir + "messages.sqlite");
}

TEST_F(DataModuleTest, FilesTheProgramCreatesAreTheUsersAlone)
{
    // The settings hold the PIN, the logs and the store the messages.
    const mode_t mask = umask(022);
    {
        TGSMDataModule dm(ini.string(), programDir);
        dm.GSM.SetPIN("4711");
        AppendToLogFile(dm.SMSLogName, "line\r\n");
    }
    EXPECT_EQ(ModeOf(ini), 0600u);
    EXPECT_EQ(ModeOf(programDir + "sms.log"), 0600u);
    // Files that exist keep what their owner gave them.
    chmod(ini.c_str(), 0640);
    chmod((programDir + "sms.log").c_str(), 0644);
    {
        TGSMDataModule dm(ini.string(), programDir);
        AppendToLogFile(dm.SMSLogName, "line\r\n");
    }
    EXPECT_EQ(ModeOf(ini), 0640u);
    EXPECT_EQ(ModeOf(programDir + "sms.log"), 0644u);
    umask(mask);
}

// A full disk while the settings are saved: the file keeps what it held (the store, the PIN), and
// no half-written file is left beside it. The file size limit stands for the full disk, since
// the tests may run as root, whom a read-only folder does not stop.
TEST_F(DataModuleTest, ASaveThatCannotBeWrittenLeavesTheSettingsWhole)
{
    WriteIni("[Modem]\nPIN=4711\n[Modem.Files]\nStore=postgresql://gw@db/sms\n");
    chmod(ini.c_str(), 0600);
    const std::string before = ReadFile(ini);
    TIniFile settings(ini.string());
    settings.WriteString("Modem", "Comment", std::string(4096, 'x'));
    struct rlimit saved = {};
    getrlimit(RLIMIT_FSIZE, &saved);
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string error;
    try {
        settings.UpdateFile();
    } catch (const std::runtime_error &e) {
        error = e.what();
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    EXPECT_NE(error.find("Cannot write the settings file " + ini.string()), std::string::npos) << error;
    EXPECT_EQ(ReadFile(ini), before);
    EXPECT_EQ(ModeOf(ini), 0600u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()),
              1)
        << "a temporary file was left behind";
    // The next start still finds its store and PIN.
    TGSMDataModule dm(ini.string(), programDir);
    EXPECT_EQ(dm.GSM.PIN(), "4711");
    EXPECT_EQ(dm.StoreName, "postgresql://gw@db/sms");
}

// A save replaces the file whole and keeps what its owner gave it: the mode and, for a settings
// file reached through a symbolic link, the link.
TEST_F(DataModuleTest, ASaveKeepsTheModeAndASymbolicLink)
{
    const std::filesystem::path real = dir / "real.ini";
    std::ofstream(real) << "[Modem]\nPIN=1234\n";
    chmod(real.c_str(), 0640);
    std::filesystem::create_symlink(real, ini);
    {
        TGSMDataModule dm(ini.string(), programDir);
        dm.GSM.SetPIN("9876");
    }
    EXPECT_TRUE(std::filesystem::is_symlink(ini));
    EXPECT_EQ(ModeOf(real), 0640u);
    EXPECT_EQ(TIniFile(real.string()).ReadString("Modem", "PIN", ""), "9876");
}

} // namespace
