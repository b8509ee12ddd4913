// kestrel monitor as a process against kestrel-modemsim: the window's received-message handling
// without the window. What the handset holds at open and what arrives later is logged (the SMS
// log file and the "log" events agree), reassembled and deleted; the log files are where the
// options or the settings file say; a log that cannot be written keeps the message stored.
#include "clisessiontest.h"
#include "support/deliverytpdus.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QThread>

#include <algorithm>

namespace {

const char *const kHelloLine = ">2024-05-06 07:08:09, OA: +441234567890, PID: 00, UD: Hello deliver";

std::vector<QString> LogLines(const TRun &run)
{
    std::vector<QString> lines;
    for (const auto &json : Events(run, "log"))
        lines.push_back(json["line"].toString());
    return lines;
}

// The SMS log file holds exactly the lines of the "log" events, each ended by CR LF.
void ExpectLogFileAgrees(const QString &path, const TRun &run)
{
    QString expected;
    for (const QString &line : LogLines(run))
        expected += line + "\r\n";
    EXPECT_EQ(ReadText(path).toStdString(), expected.toStdString());
}

class CliMonitor : public CliSession {
protected:
    QString Store(int status, const char *tpdu)
    {
        const QStringList answer = sim.Control(QString("store SM %1 %2").arg(status).arg(tpdu));
        return answer.value(0).section(' ', 1);
    }
    int StoredCount() { return static_cast<int>(sim.Control("stored").size()) - 1; }
    void ClearStorage()
    {
        for (const QString &line : sim.Control("stored"))
            if (line.startsWith("stored "))
                Kestrel(Session({"delete", line.section(' ', 2, 2)}));
    }
    QStringList Monitor(const QStringList &more) const { return Session(QStringList{"monitor"} + more); }
};

TEST_F(CliMonitor, StoredMessagesAreHandledAtOpen)
{
    struct TCase {
        bool keep;
        int storedAfter;
    };
    int round = 0;
    for (const TCase c : {TCase{false, 0}, TCase{true, 2}}) {
        SCOPED_TRACE(c.keep ? "--keep" : "deleting");
        const QString unread = Store(0, kDeliverHello);
        // Read already, and new to the store (each round another): logged, not handled again. The
        // store's own copy of a read message would not be logged again.
        ++round;
        std::string read = kDeliverHello;
        read.replace(read.find("809000"), 6, "809" + std::to_string(round) + "00"); // seconds x9
        Store(1, read.c_str());
        const QString readLine =
            QString(kHelloLine).replace("07:08:09", QString("07:08:%1").arg(round * 10 + 9));
        QStringList options{"--indications", "deliver"};
        if (c.keep)
            options << "--keep";
        TRunningKestrel monitor(Monitor(options));
        // The registration found at open comes after the storage was read.
        ASSERT_TRUE(monitor.WaitForEvent("registration"));
        const TRun run = monitor.Stop();
        ASSERT_EQ(run.status, 0) << run.err.toStdString();
        EXPECT_EQ(LogLines(run), (std::vector<QString>{kHelloLine, readLine}));
        const auto messages = Events(run, "message");
        ASSERT_EQ(messages.size(), 1u) << run.out.toStdString();
        EXPECT_EQ(QString::number(messages[0]["index"].toInt()), unread);
        EXPECT_EQ(messages[0]["message"].toObject()["text"].toString(), "Hello deliver");
        EXPECT_TRUE(Events(run, "error").empty()) << run.out.toStdString();
        ExpectLogFileAgrees(dir.filePath("sms.log"), run);
        EXPECT_EQ(StoredCount(), c.storedAfter);
        QFile::remove(dir.filePath("sms.log"));
        ClearStorage();
    }
}

TEST_F(CliMonitor, ArrivingMessageIsHandled)
{
    // Routed to the host (+CMT, nothing stored) or stored with an indication (+CMTI, read and
    // deleted); the dialogue of the read is no event of the handset.
    struct TCase {
        const char *indications;
        bool indexed;
    };
    for (const TCase c : {TCase{"deliver", false}, TCase{"deliver,only-indication", true}}) {
        SCOPED_TRACE(c.indications);
        QFile::remove(dir.filePath("sms.log"));
        TRunningKestrel monitor(Monitor({"--indications", c.indications}));
        ASSERT_TRUE(monitor.WaitForEvent("registration"));
        sim.Control("deliver +4917123 Monitored");
        ASSERT_TRUE(monitor.WaitForEvent("message"));
        const TRun run = monitor.Stop();
        ASSERT_EQ(run.status, 0) << run.err.toStdString();
        const auto lines = LogLines(run);
        ASSERT_EQ(lines.size(), 1u) << run.out.toStdString();
        EXPECT_TRUE(lines[0].startsWith(">")) << lines[0].toStdString();
        EXPECT_TRUE(lines[0].endsWith(", OA: +4917123, PID: 00, UD: Monitored")) << lines[0].toStdString();
        const auto messages = Events(run, "message");
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0]["index"].toInt() >= 1, c.indexed) << run.out.toStdString();
        EXPECT_EQ(messages[0]["message"].toObject()["text"].toString(), "Monitored");
        EXPECT_TRUE(Events(run, "line").empty()) << run.out.toStdString();
        EXPECT_TRUE(Events(run, "error").empty()) << run.out.toStdString();
        ExpectLogFileAgrees(dir.filePath("sms.log"), run);
        EXPECT_EQ(StoredCount(), 0);
    }
    // Only monitors talked to the handset here: without a service centre in the settings or the
    // options it keeps its own.
    const QStringList transcript = sim.Control("transcript");
    EXPECT_FALSE(transcript.filter("AT+CSCA=\"\"").isEmpty()) << transcript.join('\n').toStdString();
    EXPECT_TRUE(transcript.filter("+0000000000").isEmpty());
}

TEST_F(CliMonitor, RestartedHandsetIsSetUpAgain)
{
    // The handset restarts under the monitor and comes back with its power-on settings (no
    // indications). A message delivered right after is still handled (found in the storage the
    // monitor reads once it set the handset up again), and so is one delivered later.
    TRunningKestrel monitor(Monitor({"--indications", "deliver"}));
    ASSERT_TRUE(monitor.WaitForEvent("registration"));
    sim.Control("restart 300 \\r\\nRDY\\r\\n");
    QThread::msleep(400);
    sim.Control("deliver +4917123 Right after the restart");
    ASSERT_TRUE(monitor.WaitForEvent("message"));
    sim.Control("deliver +4917123 Routed again");
    ASSERT_TRUE(monitor.WaitForEvent("message"));
    const TRun run = monitor.Stop();
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    std::vector<QString> events;
    for (const auto &json : run.json)
        if (json["event"].toString() != "log")
            events.push_back(json["event"].toString());
    const auto restarts = Events(run, "restart");
    ASSERT_EQ(restarts.size(), 1u) << run.out.toStdString();
    EXPECT_EQ(restarts[0]["reason"].toString(), "RDY");
    const auto messages = Events(run, "message");
    ASSERT_EQ(messages.size(), 2u) << run.out.toStdString();
    EXPECT_EQ(messages[0]["message"].toObject()["text"].toString(), "Right after the restart");
    EXPECT_EQ(messages[1]["message"].toObject()["text"].toString(), "Routed again");
    EXPECT_EQ(messages[1]["index"].toInt(), -1);
    EXPECT_LT(std::find(events.begin(), events.end(), "restart") - events.begin(),
              std::find(events.begin(), events.end(), "message") - events.begin());
    EXPECT_TRUE(Events(run, "line").empty()) << run.out.toStdString();
    EXPECT_TRUE(Events(run, "error").empty()) << run.out.toStdString();
    ExpectLogFileAgrees(dir.filePath("sms.log"), run);
    EXPECT_EQ(StoredCount(), 0);
}

TEST_F(CliMonitor, MultipartArrivingInPieces)
{
    TRunningKestrel monitor(Monitor({"--indications", "deliver,only-indication"}));
    ASSERT_TRUE(monitor.WaitForEvent("registration"));
    sim.Control(QString("deliver-pdu ") + kConcat1);
    ASSERT_TRUE(monitor.WaitForEvent("message"));
    sim.Control(QString("deliver-pdu ") + kConcat2);
    ASSERT_TRUE(monitor.WaitForEvent("message"));
    const TRun run = monitor.Stop();
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const auto lines = LogLines(run);
    ASSERT_EQ(lines.size(), 5u) << run.out.toStdString();
    // The user data header makes each part's summary a hex dump.
    EXPECT_TRUE(lines[0].startsWith(">2024-05-06 07:08:09, OA: +441234567890, PID: 00, UD: 050003BD0201"));
    EXPECT_EQ(lines[1], "*ref:BD, #1/2, , addr:0000");
    EXPECT_TRUE(lines[2].startsWith(">2024-05-06 07:08:09, OA: +441234567890, PID: 00, UD: 050003BD0202"));
    EXPECT_EQ(lines[3], "*ref:BD, #2/2, , addr:0000 complete EMS");
    EXPECT_TRUE(
        lines[4].startsWith("*text: abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,"));
    EXPECT_EQ(Events(run, "message").size(), 2u);
    ExpectLogFileAgrees(dir.filePath("sms.log"), run);
    EXPECT_EQ(StoredCount(), 0);
}

TEST_F(CliMonitor, LogFilesFromOptionsOrSettings)
{
    const QString fileSms = dir.filePath("file-sms.log"), fileGsm = dir.filePath("file-gsm.log");
    const QString optSms = dir.filePath("opt-sms.log"), optGsm = dir.filePath("opt-gsm.log");
    struct TCase {
        const char *name;
        QString smsSetting;
        QStringList options;
        QString sms, gsm;   // expected files
        QStringList unused; // files that must not appear
    };
    const TCase cases[] = {
        {"settings", fileSms, {}, fileSms, fileGsm, {optSms, optGsm}},
        {"options", fileSms, {"--sms-log", optSms, "--gsm-log", optGsm}, optSms, optGsm, {fileSms, fileGsm}},
        {"SMS log off in the settings", "<none>", {"--gsm-log", optGsm}, {}, optGsm, {fileSms, fileGsm}},
        {"SMS log off by option", fileSms, {"--sms-log", "<none>"}, {}, fileGsm, {fileSms, optSms}},
    };
    // "date time: line" with the line as received, its CR LF included (an echoed command has the
    // handset's CR before it).
    const QRegularExpression gsmLine("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d: [^\n]*\r$");
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.name);
        for (const QString &f : {fileSms, fileGsm, optSms, optGsm})
            QFile::remove(f);
        const std::string settings =
            "[Modem]\nSCA=+491710760000\n[Modem.Files]\nGSMLog=" + fileGsm.toStdString() +
            "\nSMSLog=" + c.smsSetting.toStdString() + "\nStore=" + StorePath().toStdString() + "\n";
        WriteSettings(settings);
        Store(0, kDeliverHello);
        TRunningKestrel monitor(Monitor(c.options));
        ASSERT_TRUE(monitor.WaitForEvent("registration"));
        const TRun run = monitor.Stop();
        ASSERT_EQ(run.status, 0) << run.err.toStdString();
        EXPECT_EQ(LogLines(run), std::vector<QString>{kHelloLine});
        if (!c.sms.isEmpty())
            ExpectLogFileAgrees(c.sms, run);
        for (const QString &f : c.unused)
            EXPECT_FALSE(QFile::exists(f)) << f.toStdString();
        const QStringList gsm = ReadText(c.gsm).split('\n', Qt::SkipEmptyParts);
        // The storage read and the delete of the handled message are in it.
        EXPECT_EQ(gsm.filter(QRegularExpression(": AT\\+CMGL=4\r+$")).size(), 1)
            << gsm.join('\n').toStdString();
        EXPECT_EQ(gsm.filter(QRegularExpression(": AT\\+CMGD=1\r+$")).size(), 1)
            << gsm.join('\n').toStdString();
        for (const QString &line : gsm)
            EXPECT_TRUE(gsmLine.match(line).hasMatch()) << line.toStdString();
        // The run's options are not saved: the settings file is as it was.
        EXPECT_EQ(ReadText(Config()).toStdString(), settings);
        EXPECT_EQ(StoredCount(), 0);
    }
}

TEST_F(CliMonitor, UnwritableLogKeepsTheMessageOnTheHandset)
{
    // A directory cannot be appended to.
    const QString unwritable = dir.path();
    struct TCase {
        bool storedAtOpen;
        const char *errorStart;
    };
    for (const TCase c : {TCase{true, "Stored message 1 was kept on the handset: Cannot open log file"},
                          TCase{false, "Cannot open log file"}}) {
        SCOPED_TRACE(c.storedAtOpen ? "stored at open" : "arriving");
        if (c.storedAtOpen)
            Store(0, kDeliverHello);
        TRunningKestrel monitor(
            Monitor({"--indications", "deliver,only-indication", "--sms-log", unwritable}));
        ASSERT_TRUE(monitor.WaitForEvent("registration"));
        if (!c.storedAtOpen) {
            sim.Control(QString("deliver-pdu ") + kDeliverHello);
            ASSERT_TRUE(monitor.WaitForEvent("error"));
        }
        const TRun run = monitor.Stop();
        ASSERT_EQ(run.status, 0) << run.err.toStdString();
        const auto errors = Events(run, "error");
        ASSERT_EQ(errors.size(), 1u) << run.out.toStdString();
        EXPECT_TRUE(errors[0]["message"].toString().startsWith(c.errorStart)) << run.out.toStdString();
        EXPECT_TRUE(Events(run, "message").empty());
        EXPECT_TRUE(Events(run, "log").empty()) << run.out.toStdString(); // nothing was written
        EXPECT_EQ(StoredCount(), 1);
        ClearStorage();
    }
}

TEST_F(CliMonitor, EndsWhenTheHandsetIsGone)
{
    // A handset of its own that goes away (its process ends and with it the line): the monitor
    // reports the loss and ends with a failure instead of watching a dead line for ever.
    auto gone = std::make_unique<TSimProcess>(QStringList{"--equipment", "M20"});
    TRunningKestrel monitor({"--config", Config(), "--device", gone->Device(), "--equipment", "M20",
                             "--rec-timeout", "500", "monitor", "--seconds", "60"});
    ASSERT_TRUE(monitor.WaitForEvent("registration"));
    const QString device = gone->Device();
    gone.reset();
    QElapsedTimer timer;
    timer.start();
    const TRun run = monitor.Wait(20000);
    EXPECT_LT(timer.elapsed(), 20000);
    EXPECT_EQ(run.status, 1) << run.err.toStdString();
    const QString lost = "Connection to " + device + " lost";
    EXPECT_TRUE(run.err.contains(lost)) << run.err.toStdString();
    const auto errors = Events(run, "error");
    ASSERT_EQ(errors.size(), 1u) << run.out.toStdString();
    EXPECT_TRUE(errors[0]["message"].toString().startsWith(lost)) << run.out.toStdString();
}

TEST_F(CliMonitor, EndsOnCountAndOnTermination)
{
    TRunningKestrel counted(Monitor({"--indications", "deliver", "--count", "3", "--seconds", "20"}));
    ASSERT_TRUE(counted.WaitForEvent("registration"));
    sim.Control("deliver +4917123 Monitored");
    sim.Control("registration 5");
    ASSERT_TRUE(counted.WaitForEvent("registration"));
    // The third counted event ends it by itself (a SIGTERM now could land while it exits).
    TRun run = counted.Wait(20000);
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    std::vector<QString> events;
    for (const auto &json : run.json)
        events.push_back(json["event"].toString());
    EXPECT_EQ(events, (std::vector<QString>{"registration", "log", "message", "registration"}))
        << run.out.toStdString();
    EXPECT_EQ(run.json[2]["index"].toInt(), -1);
    EXPECT_EQ(run.json[3]["status"].toInt(), 5);

    // Counted events end it by themselves, even when they were all found at open.
    Store(0, kDeliverHello);
    QProcess byItself;
    byItself.start(KESTREL_PROGRAM, Monitor({"--count", "1", "--seconds", "20"}));
    TRun alone = Finish(byItself);
    ASSERT_EQ(alone.status, 0) << alone.err.toStdString();
    EXPECT_EQ(Events(alone, "message").size(), 1u) << alone.out.toStdString();
    EXPECT_EQ(StoredCount(), 0);

    // Interrupted, it closes the engine and ends normally.
    TRunningKestrel interrupted(Monitor({}));
    ASSERT_TRUE(interrupted.WaitForEvent("registration"));
    EXPECT_EQ(interrupted.Stop().status, 0);
}

} // namespace
