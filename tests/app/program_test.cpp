#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

namespace {

// The program logged in to its virtual handset ends cleanly on SIGTERM and SIGINT: exit status
// 0, the settings written, and the virtual handset's device not kept in them.
TEST(Program, SignalsCloseTheWindowCleanly)
{
    for (int sig : {SIGTERM, SIGINT}) {
        QTemporaryDir dir;
        const QString ini = dir.filePath("gsm.ini");
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(GSM_KESTREL_PROGRAM, {"--simulate", "-I:" + ini, "-START"});
        ASSERT_TRUE(p.waitForStarted(5000));
        // Wait until the login has saved the settings (it does so before opening).
        for (int i = 0; i < 100 && !QFile::exists(ini); ++i)
            p.waitForReadyRead(100);
        ASSERT_TRUE(QFile::exists(ini)) << p.readAll().toStdString();
        kill(static_cast<pid_t>(p.processId()), sig);
        ASSERT_TRUE(p.waitForFinished(20000)) << sig;
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << sig;
        EXPECT_EQ(p.exitCode(), 0) << sig << p.readAll().toStdString();
        QFile f(ini);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray settings = f.readAll();
        EXPECT_TRUE(settings.contains("DeviceName=/dev/ttyS0")) << settings.toStdString();
        EXPECT_TRUE(settings.contains("[Modem.Files]")) << settings.toStdString();
    }
}

// The type "kestrel detect" suggests can be given on the command line: the window runs with it (on
// the virtual handset of that type, with --simulate) and keeps it in the settings.
TEST(Program, EquipmentFromTheCommandLine)
{
    QTemporaryDir dir;
    const QString ini = dir.filePath("gsm.ini");
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(GSM_KESTREL_PROGRAM, {"--simulate", "--equipment", "generic", "-I:" + ini, "-START"});
    ASSERT_TRUE(p.waitForStarted(5000));
    for (int i = 0; i < 100 && !QFile::exists(ini); ++i)
        p.waitForReadyRead(100);
    ASSERT_TRUE(QFile::exists(ini)) << p.readAll().toStdString();
    kill(static_cast<pid_t>(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(20000));
    const QByteArray output = p.readAll();
    EXPECT_EQ(p.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("virtual Generic handset")) << output.toStdString();
    QFile f(ini);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll().contains("Device=Generic"));

    // A name of no type is a usage error, told before any window opens.
    QProcess bad;
    bad.setProcessEnvironment(env);
    bad.start(GSM_KESTREL_PROGRAM, {"--equipment", "M99", "-I:" + ini});
    ASSERT_TRUE(bad.waitForFinished(20000));
    EXPECT_EQ(bad.exitCode(), 2);
    EXPECT_TRUE(bad.readAllStandardError().contains("gsm-kestrel: Bad equipment name: M99\n"));
}

// The screenshot tour logs in on the virtual handset, sends a picture message to it, waits until
// it came back and saves one PNG of the window per tab; without --simulate it is refused.
TEST(Program, ScreenshotTourSavesOnePicturePerTab)
{
    QTemporaryDir dir;
    const QString ini = dir.filePath("gsm.ini");
    QFile settings(ini);
    ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
    settings.write("[Modem]\nDevice=M20\nUnsolicitedIndication=9\n[Modem.Files]\nStore=" +
                   dir.filePath("messages.sqlite").toUtf8() + "\nSMSLog=" + dir.filePath("sms.log").toUtf8() +
                   "\nGSMLog=" + dir.filePath("gsm.log").toUtf8() + "\n");
    settings.close();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    const QString shots = dir.filePath("shots");

    QProcess refused;
    refused.setProcessEnvironment(env);
    refused.start(GSM_KESTREL_PROGRAM, {"-I:" + ini, "--screenshots", shots});
    ASSERT_TRUE(refused.waitForFinished(20000));
    EXPECT_EQ(refused.exitCode(), 2);

    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(GSM_KESTREL_PROGRAM, {"--simulate", "-I:" + ini, "--screenshots", shots});
    ASSERT_TRUE(p.waitForFinished(120000));
    const std::string output = p.readAll().toStdString();
    EXPECT_EQ(p.exitCode(), 0) << output;
    QSize size;
    for (const char *name : {"modem.png", "sms.png", "smslog.png", "messages.png", "modemlog.png"}) {
        const QImage image(QDir(shots).filePath(name));
        ASSERT_FALSE(image.isNull()) << name << "\n" << output;
        if (size.isEmpty())
            size = image.size();
        EXPECT_EQ(image.size(), size) << name; // the whole window each time
    }
    // What the SMS log picture shows was written to the log file too: sent and received back.
    QFile log(dir.filePath("sms.log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray lines = log.readAll();
    EXPECT_TRUE(lines.contains("\n<") || lines.startsWith("<")) << lines.toStdString();
    EXPECT_TRUE(lines.contains("complete SmartMessage:TSMMultipartMessage")) << lines.toStdString();
}

} // namespace
