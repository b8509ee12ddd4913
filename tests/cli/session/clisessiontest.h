// What the tests of kestrel's session commands share: kestrel and kestrel-modemsim run as
// separate processes, as users run them, against a settings file in a temporary directory.
#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

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

    QString Config() const { return dir.filePath("gsm.ini"); }
    // The log files and the message store go to the test's directory, never beside the program.
    void SetUp() override
    {
        WriteSettings("[Modem.Files]\nGSMLog=" + dir.filePath("gsm.log").toStdString() + "\nSMSLog=" +
                      dir.filePath("sms.log").toStdString() + "\nStore=" + StorePath().toStdString() + "\n");
    }
    QString StorePath() const { return dir.filePath("messages.sqlite"); }
    void WriteSettings(const std::string &text) const { std::ofstream(Config().toStdString()) << text; }

    QStringList Session(const QStringList &more) const
    {
        QStringList args{"--config",    Config(), "--device",      sim.Device(),
                         "--equipment", "M20",    "--rec-timeout", "500"};
        return args + more;
    }
    TRun Kestrel(const QStringList &args)
    {
        QProcess process;
        process.start(KESTREL_PROGRAM, args);
        return Finish(process);
    }
};

// A kestrel process whose output is read line by line while it runs.
class TRunningKestrel {
public:
    explicit TRunningKestrel(const QStringList &args) { m_process.start(KESTREL_PROGRAM, args); }
    ~TRunningKestrel()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    // Reads output until a JSON line satisfies pred (true), or until the timeout or the end of the
    // process (false).
    bool WaitFor(const std::function<bool(const QJsonObject &)> &pred, int timeoutMs = 20000)
    {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            while (m_process.canReadLine()) {
                const QByteArray line = m_process.readLine();
                m_out += line;
                if (pred(QJsonDocument::fromJson(line).object()))
                    return true;
            }
            const qint64 left = timeoutMs - timer.elapsed();
            if (left <= 0 || !m_process.waitForReadyRead(static_cast<int>(left)))
                return false;
        }
    }
    bool WaitForEvent(const QString &event, int timeoutMs = 20000)
    {
        return WaitFor([&](const QJsonObject &json) { return json["event"].toString() == event; }, timeoutMs);
    }
    // Ends the process with SIGTERM and collects everything it printed.
    TRun Stop() { return Collect(true, 30000); }
    // Ends it with SIGKILL, as a crash or an impatient operator would.
    void Kill()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    qint64 Pid() const { return m_process.processId(); }
    // Waits for the process to end by itself and collects everything it printed.
    TRun Wait(int timeoutMs) { return Collect(false, timeoutMs); }

private:
    TRun Collect(bool terminate, int timeoutMs)
    {
        if (terminate)
            m_process.terminate();
        TRun run = Finish(m_process, timeoutMs);
        run.out.prepend(QString::fromUtf8(m_out));
        std::vector<QJsonObject> json;
        for (const QString &line : QString::fromUtf8(m_out).split('\n', Qt::SkipEmptyParts))
            json.push_back(QJsonDocument::fromJson(line.toUtf8()).object());
        run.json.insert(run.json.begin(), json.begin(), json.end());
        return run;
    }

    QProcess m_process;
    QByteArray m_out;
};

[[maybe_unused]] QString ReadText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The events of one kind, in order.
[[maybe_unused]] std::vector<QJsonObject> Events(const TRun &run, const QString &event)
{
    std::vector<QJsonObject> out;
    for (const auto &json : run.json)
        if (json["event"].toString() == event)
            out.push_back(json);
    return out;
}

} // namespace
