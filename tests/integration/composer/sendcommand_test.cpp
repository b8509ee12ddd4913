// kestrel send with each kind of content, against the virtual handset: the program composes and
// sends, the handset sees as many messages as the composer makes, and the message store holds
// each as what it is.
#include "modemsim/modemsimulator.h"
#include "xsms/composer.h"

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
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
    const QString store = dir.filePath("messages.sqlite");
    std::ofstream(config.toStdString()) << "[Modem.Files]\nStore=" << store.toStdString() << "\n";
    QImage picture(72, 28, QImage::Format_RGB32);
    picture.fill(0xFFFFFFFF);
    picture.setPixel(1, 1, 0xFF000000);
    const QString png = dir.filePath("p.png");
    ASSERT_TRUE(picture.save(png));
    const QString melody = dir.filePath("m.txt");
    std::ofstream(melody.toStdString()) << "Tune:d=4,o=5,b=63:c,8d\n";
    // Each is recorded in the store as what it is, with what it carries.
    struct TCase {
        QStringList kind;
        const char *stored;
        const char *text;
        const char *payloadClass; // "" for none
    };
    const QList<TCase> kinds = {
        {{"--text", "hello"}, "text", "hello", nullptr},
        {{"--ucs2", "hello"}, "text", "hello", nullptr},
        {{"--vcard", "Novak", "--phone", "+420602123456"}, "vcard", nullptr, "TSMvCard"},
        {{"--picture", png, "--text", "caption"}, "picture", "caption", "TSMMultipartMessage"},
        {{"--logo", png, "--operator", "23001"}, "operator-logo", "", "TSMOperatorLogo"},
        {{"--cli", png}, "cli-icon", "", "TSMCLIIcon"},
        {{"--ringtone", melody}, "ringtone", "Tune", "TSMRingingTone"},
        {{"--ems-picture", png, "--size", "small"}, "ems", "", ""},
        {{"--ems-animation", png, "--size", "small"}, "ems", "", ""},
        {{"--ems-melody", melody}, "ems", "", ""},
    };
    for (const TCase &c : kinds) {
        const QStringList &kind = c.kind;
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

        const QJsonObject sent = QJsonDocument::fromJson(QByteArray::fromStdString(out)).object();
        QProcess show;
        show.start(KESTREL_PROGRAM,
                   {"messages", "--store", store, "show", QString::number(sent["id"].toInteger())});
        ASSERT_TRUE(show.waitForFinished(30000));
        const QJsonObject m = QJsonDocument::fromJson(show.readAllStandardOutput()).object();
        EXPECT_EQ(m["direction"].toString(), "out");
        EXPECT_EQ(m["status"].toString(), "sent");
        EXPECT_EQ(m["kind"].toString(), c.stored);
        EXPECT_EQ(m["parts"].toInt(), static_cast<int>(sim.SentMessages().size()));
        if (c.text) {
            EXPECT_EQ(m["text"].toString(), c.text);
        }
        if (!c.payloadClass) {
            EXPECT_TRUE(m["payload"].isNull());
        } else if (*c.payloadClass) {
            EXPECT_EQ(m["payload"].toObject()["class"].toString(), c.payloadClass);
        } else {
            EXPECT_FALSE(m["payload"].toObject()["ems"].toArray().isEmpty()) << show.readAllStandardError().toStdString();
        }
    }
}

} // namespace
} // namespace kestrel
