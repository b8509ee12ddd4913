// kestrel send with each kind of content, against the virtual handset: the program composes and
// sends, and the handset sees as many messages as the composer makes.
#include "modemsim/modemsimulator.h"
#include "xsms/composer.h"

#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>

namespace kestrel {
namespace {

TEST(SendCommand, EveryKindReachesTheHandset)
{
    QTemporaryDir dir;
    const QString config = dir.filePath("gsm.ini");
    std::ofstream(config.toStdString()) << "";
    QImage picture(72, 28, QImage::Format_RGB32);
    picture.fill(0xFFFFFFFF);
    picture.setPixel(1, 1, 0xFF000000);
    const QString png = dir.filePath("p.png");
    ASSERT_TRUE(picture.save(png));
    const QString melody = dir.filePath("m.txt");
    std::ofstream(melody.toStdString()) << "Tune:d=4,o=5,b=63:c,8d\n";
    const QList<QStringList> kinds = {
        {"--text", "hello"},
        {"--ucs2", "hello"},
        {"--vcard", "Novak", "--phone", "+420602123456"},
        {"--picture", png, "--text", "caption"},
        {"--logo", png, "--operator", "23001"},
        {"--cli", png},
        {"--ringtone", melody},
        {"--ems-picture", png, "--size", "small"},
        {"--ems-animation", png, "--size", "small"},
        {"--ems-melody", melody},
    };
    for (const QStringList &kind : kinds) {
        SCOPED_TRACE(kind.join(' ').toStdString());
        TModemSimulatorOptions options;
        options.equipment = "M20";
        TModemSimulator sim(options);
        QProcess process;
        process.start(KESTREL_PROGRAM, QStringList{"send", "--config", config, "--device",
                                                   QString::fromStdString(sim.DevicePath()), "--equipment",
                                                   "M20", "--to", "+491710000002"} +
                                           kind);
        ASSERT_TRUE(process.waitForFinished(60000));
        const std::string out = process.readAllStandardOutput().toStdString();
        EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
        EXPECT_NE(out.find("\"sent\""), std::string::npos) << out;
        EXPECT_FALSE(sim.SentMessages().empty());
    }
}

} // namespace
} // namespace kestrel
