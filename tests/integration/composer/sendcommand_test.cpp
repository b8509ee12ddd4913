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
            EXPECT_FALSE(m["payload"].toObject()["ems"].toArray().isEmpty())
                << show.readAllStandardError().toStdString();
        }
    }
}

// Runs kestrel with Args; its JSON lines.
QList<QJsonObject> RunKestrel(const QStringList &args, int &status)
{
    QProcess process;
    process.start(KESTREL_PROGRAM, args);
    status = process.waitForFinished(60000) ? process.exitCode() : -1;
    QList<QJsonObject> lines;
    for (const QByteArray &line : process.readAllStandardOutput().split('\n'))
        if (!line.isEmpty())
            lines.append(QJsonDocument::fromJson(line).object());
    return lines;
}

// kestrel send against a fresh virtual handset, then kestrel pdu decode of what it sent.
QList<QJsonObject> SendAndDecode(const QString &config, const QStringList &kind)
{
    TModemSimulator sim(TModemSimulatorOptions{});
    int status = -1;
    RunKestrel(QStringList{"send", "--config", config, "--device", QString::fromStdString(sim.DevicePath()),
                           "--equipment", "M20", "--to", "+491710000002"} +
                   kind,
               status);
    EXPECT_EQ(status, 0);
    QStringList decode{"pdu", "decode", "--mo", "--no-sca"};
    for (const auto &sent : sim.SentMessages())
        decode << QString::fromStdString(sent.tpdu);
    const QList<QJsonObject> lines = RunKestrel(decode, status);
    EXPECT_EQ(status, 0);
    return lines;
}

TEST(SendCommand, BlinkMarkersArriveAsTextFormattingInEachSegment)
{
    QTemporaryDir dir;
    const QString config = dir.filePath("gsm.ini");
    std::ofstream(config.toStdString()) << "";
    // 140 letters, then a blinking range of 20 that the segment boundary cuts after 7.
    const QString text = QString(140, 'a') + QChar(0x0165) + QString(20, 'b') + QChar(0x0164) + " end";
    const QList<QJsonObject> lines = SendAndDecode(config, {"--ems-text", text});
    ASSERT_EQ(lines.size(), 2);
    const struct {
        QString text;
        int position, length;
    } expected[] = {{QString(140, 'a') + QString(7, 'b'), 140, 7}, {QString(13, 'b') + " end", 0, 13}};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(lines[i]["text"].toString(), expected[i].text);
        const QJsonArray ems = lines[i]["ems"].toArray();
        ASSERT_EQ(ems.size(), 1);
        const QJsonObject format = ems[0].toObject();
        EXPECT_EQ(format["class"].toString(), "TEMSTextFormat");
        EXPECT_EQ(format["position"].toInt(), expected[i].position);
        EXPECT_EQ(format["textLength"].toInt(), expected[i].length);
        EXPECT_EQ(format["formatMode"].toInt(), 0x13);
    }
}

TEST(SendCommand, AVariablePictureAboveOneSegmentArrivesAsStrips)
{
    QTemporaryDir dir;
    const QString config = dir.filePath("gsm.ini");
    std::ofstream(config.toStdString()) << "";
    QImage picture(64, 40, QImage::Format_RGB32);
    QStringList rows;
    for (int y = 0; y < 40; ++y) {
        QString row;
        for (int x = 0; x < 64; ++x) {
            const bool black = (x + 2 * y) % 7 == 0;
            picture.setPixel(x, y, black ? 0xFF000000 : 0xFFFFFFFF);
            row += black ? '#' : '.';
        }
        rows << row;
    }
    const QString png = dir.filePath("big.png");
    ASSERT_TRUE(picture.save(png));
    const QList<QJsonObject> lines = SendAndDecode(config, {"--ems-picture", png, "--text", "Hi"});
    // 8 octets a row: 16 rows fit one segment.
    ASSERT_EQ(lines.size(), 3);
    QStringList received;
    for (int i = 0; i < lines.size(); ++i) {
        const QJsonArray ems = lines[i]["ems"].toArray();
        ASSERT_EQ(ems.size(), 1);
        const QJsonObject strip = ems[0].toObject();
        EXPECT_EQ(strip["class"].toString(), "TEMSPictureVariable");
        EXPECT_EQ(strip["position"].toInt(), 0);
        EXPECT_EQ(strip["height"].toInt(), i < 2 ? 16 : 8);
        for (const auto &row : strip["rows"].toArray())
            received << row.toString();
        EXPECT_EQ(lines[i]["text"].toString(), i == 2 ? "Hi" : "");
    }
    EXPECT_EQ(received, rows);
}

} // namespace
} // namespace kestrel
