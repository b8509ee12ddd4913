#include <QFile>
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

} // namespace
