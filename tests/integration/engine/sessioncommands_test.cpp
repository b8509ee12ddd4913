// kestrel info, status and switch-off as users run them, against the virtual handset.
#include "enginerig.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>

using namespace kestrel;
using namespace kestrel::test;

namespace {

struct TRun {
    int status = -1;
    std::string out, err;
};

TRun Kestrel(const QStringList &args)
{
    QProcess process;
    process.start(KESTREL_PROGRAM, args);
    TRun r;
    if (!process.waitForFinished(60000))
        return r;
    r.status = process.exitCode();
    r.out = process.readAllStandardOutput().toStdString();
    r.err = process.readAllStandardError().toStdString();
    return r;
}

class SessionCommands : public ::testing::Test {
protected:
    QTemporaryDir dir;
    // An empty settings file, so that no gsm.ini beside the program interferes.
    QString Config(const std::string &content = {})
    {
        const QString path = dir.filePath("gsm.ini");
        std::ofstream(path.toStdString()) << content;
        return path;
    }
};

TEST_F(SessionCommands, InfoAndStatus)
{
    TModemSimulator nokia(Handset("Nokia6650"));
    TRun info = Kestrel({"info", "--config", Config(), "--device", QString::fromStdString(nokia.DevicePath()),
                         "--equipment", "Nokia6650"});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.out, "{\"manufacturer\": \"Nokia\", \"model\": \"Nokia 6650\", \"revision\": \"V 4.34\", "
                        "\"serial\": \"350000000000060\"}\n");
    // Only the port opened: no initialisation dialogue.
    EXPECT_EQ(nokia.ReceivedCommands(),
              (std::vector<std::string>{"AT+CGMI", "AT+CGMM", "AT+CGMR", "AT+CGSN"}));

    // Session options may stand before the command word.
    TModemSimulator m20(Handset("M20"));
    TRun status = Kestrel({"--device", QString::fromStdString(m20.DevicePath()), "status", "--config",
                           Config(), "--equipment", "m20"});
    EXPECT_EQ(status.status, 0) << status.err;
    EXPECT_EQ(status.out,
              "{\"registration\": 1, \"rssi\": 20, \"dbm\": -73, \"memory\": \"SM\", "
              "\"messageService\": 0, \"operator\": \"Kestrel Net\", \"operatorCode\": \"26299\", "
              "\"technology\": null}\n");
}

TEST_F(SessionCommands, SettingsFileAndSwitchOff)
{
    TModemSimulator s25(Handset("S25", "1234"));
    const QString config =
        Config("[Modem]\nDeviceName=" + s25.DevicePath() + "\nDevice=S25\nPIN=1234\nSMSFormat=1\n");
    TRun off = Kestrel({"switch-off", "--config", config});
    EXPECT_EQ(off.status, 0) << off.err;
    EXPECT_TRUE(s25.SwitchedOff());
    const auto cmds = s25.ReceivedCommands();
    ASSERT_FALSE(cmds.empty());
    EXPECT_EQ(cmds.back(), "AT^SMSO");
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "AT+CMGF=1"), 1) << "the format came from the file";
}

TEST_F(SessionCommands, Failures)
{
    TModemSimulatorOptions blocked = Handset("TC35", "1234");
    blocked.puk = "87654321";
    TModemSimulator sim(blocked);
    const QString device = QString::fromStdString(sim.DevicePath());
    const struct {
        QStringList args;
        int status;
        const char *err;
    } cases[] = {
        {{"status", "--device", device, "--equipment", "TC35", "--pin", "1234"},
         1,
         "PIN is not expected (SIM PUK)\n"},
        {{"status", "--device", device, "--equipment", "TC99"}, 2, "kestrel: Bad equipment name: TC99\n"},
        {{"status", "--device", device, "--format", "morse"},
         2,
         "kestrel: --format must be pdu or text, not \"morse\"\n"},
        {{"status", "--device", device, "--equipment", "T260", "--format", "text"},
         2,
         "kestrel: SMS format (1) is not supported\n"},
        {{"status", "--device", device, "--baud", "1000"}, 2, "kestrel: unsupported line speed \"1000\"\n"},
        {{"status", "--device", device, "--indications", "deliver,smoke"},
         2,
         "kestrel: unknown indication \"smoke\"\n"},
        {{"info", "--device", device, "extra"}, 2, "kestrel: unexpected argument \"extra\"\n"},
    };
    for (const auto &c : cases) {
        QStringList args = c.args;
        args << "--config" << Config();
        TRun r = Kestrel(args);
        EXPECT_EQ(r.status, c.status) << args.join(' ').toStdString();
        EXPECT_EQ(r.err, c.err) << args.join(' ').toStdString();
        EXPECT_TRUE(r.out.empty());
    }
    // An unknown equipment in the settings file is an engine failure, as in the window.
    TRun bad = Kestrel({"status", "--config", Config("[Modem]\nDevice=Brick\n")});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "Bad equipment name\n");
}

} // namespace
