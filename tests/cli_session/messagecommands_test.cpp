// kestrel send, list, read, delete and monitor as processes against kestrel-modemsim.
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>

namespace {

struct TRun {
    int status = -1;
    QString out, err;
    std::vector<QJsonObject> json; // one per output line
};

TRun Finish(QProcess &process, int timeoutMs = 30000)
{
    TRun r;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return r;
    }
    r.status = process.exitCode();
    r.out = QString::fromUtf8(process.readAllStandardOutput());
    r.err = QString::fromUtf8(process.readAllStandardError());
    for (const QString &line : r.out.split('\n', Qt::SkipEmptyParts))
        r.json.push_back(QJsonDocument::fromJson(line.toUtf8()).object());
    return r;
}

// The virtual handset as its own process, steered through its control lines.
class TSimProcess {
public:
    explicit TSimProcess(const QStringList &args)
    {
        m_process.start(KESTREL_MODEMSIM, args);
        if (m_process.waitForStarted(5000) && m_process.waitForReadyRead(5000))
            m_device = QString::fromUtf8(m_process.readLine()).trimmed();
    }
    ~TSimProcess()
    {
        m_process.write("quit\n");
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    QString Device() const { return m_device; }
    // Sends a control line and returns its answer lines up to OK or ERROR.
    QStringList Control(const QString &line)
    {
        m_process.write((line + "\n").toUtf8());
        QStringList answer;
        while (m_process.waitForReadyRead(3000) || m_process.canReadLine()) {
            while (m_process.canReadLine()) {
                const QString l = QString::fromUtf8(m_process.readLine()).trimmed();
                answer << l;
                if (l == "OK" || l.startsWith("ERROR"))
                    return answer;
            }
        }
        return answer;
    }

private:
    QProcess m_process;
    QString m_device;
};

class CliSession : public ::testing::Test {
protected:
    QTemporaryDir dir;
    TSimProcess sim{{"--equipment", "M20"}};

    QStringList Session(const QStringList &more)
    {
        const QString config = dir.filePath("gsm.ini");
        std::ofstream(config.toStdString()) << "";
        QStringList args{"--config",    config, "--device",      sim.Device(),
                         "--equipment", "M20",  "--rec-timeout", "500"};
        return args + more;
    }
    TRun Kestrel(const QStringList &args)
    {
        QProcess process;
        process.start(KESTREL_PROGRAM, args);
        return Finish(process);
    }
};

TEST_F(CliSession, SendListReadDelete)
{
    ASSERT_FALSE(sim.Device().isEmpty());
    // Sent to the handset's own number, the message comes back and is stored.
    TRun sent = Kestrel(Session({"send", "--to", "+491710000001", "--text", "Round trip", "--indications",
                                 "deliver,only-indication"}));
    ASSERT_EQ(sent.status, 0) << sent.err.toStdString();
    ASSERT_EQ(sent.json.size(), 1u);
    EXPECT_EQ(sent.json[0]["sent"].toInt(), 1);
    EXPECT_TRUE(sent.json[0].contains("reference"));

    TRun list;
    for (int attempt = 0; attempt < 20; ++attempt) {
        list = Kestrel(Session({"list", "--status", "0"}));
        if (!list.json.empty())
            break;
    }
    ASSERT_EQ(list.status, 0) << list.err.toStdString();
    ASSERT_EQ(list.json.size(), 1u);
    const int index = list.json[0]["index"].toInt();
    EXPECT_EQ(list.json[0]["status"].toInt(), 0);
    const QJsonObject message = list.json[0]["message"].toObject();
    EXPECT_EQ(message["class"].toString(), "TSMSDeliver");
    EXPECT_EQ(message["oa"].toString(), "+491710000001");
    EXPECT_EQ(message["text"].toString(), "Round trip");

    // Text mode reads the same message with the same keys.
    TRun read = Kestrel(Session({"read", QString::number(index), "--format", "text"}));
    ASSERT_EQ(read.status, 0) << read.err.toStdString();
    ASSERT_EQ(read.json.size(), 1u);
    EXPECT_EQ(read.json[0]["index"].toInt(), index);
    EXPECT_EQ(read.json[0]["status"].toInt(), 1); // listed before: read now
    EXPECT_EQ(read.json[0]["message"].toObject()["text"].toString(), "Round trip");
    EXPECT_EQ(read.json[0]["message"].toObject()["oa"].toString(), "+491710000001");

    TRun deleted = Kestrel(Session({"delete", QString::number(index)}));
    ASSERT_EQ(deleted.status, 0) << deleted.err.toStdString();
    EXPECT_TRUE(Kestrel(Session({"list"})).json.empty());
    // Reading an empty location is the handset's error.
    TRun gone = Kestrel(Session({"read", QString::number(index)}));
    EXPECT_EQ(gone.status, 1);
    EXPECT_TRUE(gone.err.contains("+CMS ERROR")) << gone.err.toStdString();
}

TEST_F(CliSession, SendUCS2AndTextMode)
{
    TRun ucs2 = Kestrel(Session({"send", "--to", "+491710000002", "--ucs2", "Grüße"}));
    ASSERT_EQ(ucs2.status, 0) << ucs2.err.toStdString();
    TRun text = Kestrel(Session({"send", "--to", "+491710000002", "--text", "plain", "--format", "text"}));
    ASSERT_EQ(text.status, 0) << text.err.toStdString();
    // A UCS2 message cannot be written as text.
    TRun refused = Kestrel(Session({"send", "--to", "+491710000002", "--ucs2", "x", "--format", "text"}));
    EXPECT_EQ(refused.status, 2);
    // "sent REFERENCE DESTINATION TPDU": the UCS2 text (DCS 08) and the 7-bit one.
    const QStringList sentList = sim.Control("sent");
    ASSERT_EQ(sentList.size(), 3) << sentList.join('\n').toStdString();
    EXPECT_TRUE(sentList[0].startsWith("sent 0 +491710000002 ")) << sentList[0].toStdString();
    EXPECT_TRUE(sentList[0].endsWith("0047007200FC00DF0065")) << sentList[0].toStdString();
    EXPECT_TRUE(sentList[1].startsWith("sent 1 +491710000002 ")) << sentList[1].toStdString();
}

TEST_F(CliSession, Monitor)
{
    QProcess monitor;
    monitor.start(KESTREL_PROGRAM,
                  Session({"monitor", "--indications", "deliver", "--count", "3", "--seconds", "20"}));
    // The open's own registration is the first event.
    ASSERT_TRUE(monitor.waitForReadyRead(15000));
    sim.Control("deliver +4917123 Monitored");
    sim.Control("registration 5");
    TRun run = Finish(monitor);
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    ASSERT_EQ(run.json.size(), 3u) << run.out.toStdString();
    EXPECT_EQ(run.json[0]["event"].toString(), "registration");
    EXPECT_EQ(run.json[1]["event"].toString(), "message");
    EXPECT_EQ(run.json[1]["index"].toInt(), -1);
    EXPECT_EQ(run.json[1]["message"].toObject()["text"].toString(), "Monitored");
    EXPECT_EQ(run.json[2]["event"].toString(), "registration");
    EXPECT_EQ(run.json[2]["status"].toInt(), 5);

    // Interrupted, it closes the engine and ends normally.
    QProcess interrupted;
    interrupted.start(KESTREL_PROGRAM, Session({"monitor"}));
    ASSERT_TRUE(interrupted.waitForReadyRead(15000));
    interrupted.terminate();
    TRun stopped = Finish(interrupted);
    EXPECT_EQ(stopped.status, 0) << stopped.err.toStdString();
}

TEST_F(CliSession, UsageErrors)
{
    for (const QStringList &args :
         {QStringList{"read"}, QStringList{"read", "x"}, QStringList{"delete"},
          QStringList{"send", "--text", "no destination"}, QStringList{"list", "--status", "7"},
          QStringList{"monitor", "--count", "0"}}) {
        TRun r = Kestrel(Session(args));
        EXPECT_EQ(r.status, 2) << args.join(' ').toStdString() << ": " << r.err.toStdString();
    }
}

} // namespace
