// The command word of kestrel is the first argument that is neither an option nor an option's
// value: session options may stand before it, also when their values are command names.
#include "clisessiontest.h"
#include "support/deliverytpdus.h"

#include <QFile>

namespace {

class CliCommandWord : public CliSession {
protected:
    // Runs kestrel in the test's directory, where "list" is the handset's device and "send" the
    // settings file: values that are command names.
    TRun KestrelHere(const QStringList &args)
    {
        QProcess process;
        process.setWorkingDirectory(dir.path());
        process.start(KESTREL_PROGRAM, args);
        return Finish(process);
    }
    void SetUp() override
    {
        CliSession::SetUp();
        ASSERT_TRUE(QFile::link(sim.Device(), dir.filePath("list")));
        ASSERT_TRUE(QFile::copy(Config(), dir.filePath("send")));
    }
};

TEST_F(CliCommandWord, SessionOptionsBeforeTheCommand)
{
    const QString stored = sim.Control(QString("store SM 0 %1").arg(kDeliverHello)).value(0);
    ASSERT_TRUE(stored.startsWith("index ")) << stored.toStdString();
    const QStringList base{"--config",    "send", "--device",      "list",
                           "--equipment", "M20",  "--rec-timeout", "500"};
    struct {
        QStringList args;
        int status;
        const char *output; // part of stdout (status 0) or stderr
    } rows[] = {
        {base + QStringList{"--format", "pdu", "--pin", "info", "status"}, 0, "\"registration\": 1"},
        {base + QStringList{"--sca", "+491", "--format=pdu", "status"}, 0, "\"registration\": 1"},
        {base + QStringList{"--format", "pdu", "read", stored.section(' ', 1)}, 0, "Hello deliver"},
        {base + QStringList{"--format", "pdu", "list"}, 0, "Hello deliver"},
        {QStringList{"--format", "pdu"} + base + QStringList{"monitor", "--count", "1", "--keep"}, 0,
         "Hello deliver"},
        // Values the command refuses, named by the command that was meant.
        {QStringList{"--indications", "pdu"} + base + QStringList{"status"}, 2, "unknown indication \"pdu\""},
        {QStringList{"--equipment", "info", "status"}, 2, "Bad equipment name: info"},
        {QStringList{"--rec-timeout", "send", "list"}, 2, "--rec-timeout must be a positive number"},
        {QStringList{"--baud", "list", "info"}, 2, "unsupported line speed \"list\""},
        {QStringList{"--device", "monitor", "--config", "send", "--help", "status"}, 0,
         "Usage: kestrel status"},
        // A PDU tool takes no session option: its own parser says so.
        {QStringList{"--format", "pdu", "pdu", "decode", "00"}, 2, "Unknown option 'format'"},
        // Other options have values kestrel cannot know before the command is known.
        {QStringList{"--to", "1", "send"}, 2, "option --to must follow the command word"},
        {QStringList{"--format", "pdu"}, 2, "no command given"},
        {QStringList{"--format", "pdu", "statu"}, 2, "unknown command statu"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.args.join(' ').toStdString());
        TRun r = KestrelHere(row.args);
        EXPECT_EQ(r.status, row.status) << r.err.toStdString();
        EXPECT_TRUE((row.status == 0 ? r.out : r.err).contains(row.output))
            << r.out.toStdString() << r.err.toStdString();
    }
}

// Each command's help describes every option it takes: the session options once, in their block,
// and the command's own with what they do (before, list showed no --status, send no
// --status-report).
TEST_F(CliCommandWord, HelpNamesEveryOptionOnce)
{
    const struct {
        const char *command;
        QStringList own;
    } rows[] = {
        {"send", {"--status-report", "--queue", "--via <LABEL>", "--operator <MCCMNC>", "--class <N>"}},
        {"list", {"--status <N>"}},
        {"monitor", {"--seconds <N>", "--count <N>", "--sms-log <FILE>", "--gsm-log <FILE>", "--keep"}},
        {"gateway", {"--attempts N", "--poll MS", "--keep"}},
        {"read", {}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.command);
        const TRun r = KestrelHere({row.command, "--help"});
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        for (const QString &option : row.own)
            EXPECT_TRUE(r.out.contains(option)) << option.toStdString() << "\n" << r.out.toStdString();
        EXPECT_EQ(r.out.count("--pin"), 1) << r.out.toStdString();
        EXPECT_FALSE(r.out.contains("--help ")) << r.out.toStdString();
        EXPECT_EQ(r.out.contains("Options:\n"), !row.own.isEmpty() && std::string(row.command) != "gateway")
            << r.out.toStdString();
    }
}

} // namespace
