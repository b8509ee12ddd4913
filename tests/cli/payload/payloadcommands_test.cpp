#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct TRun {
    int status = -1;
    QString out;
    QString err;
};

TRun kestrel(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral(KESTREL_BIN), args);
    EXPECT_TRUE(p.waitForFinished(30000));
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()).trimmed(),
            QString::fromUtf8(p.readAllStandardError()).trimmed()};
}

QJsonObject json(const TRun &r)
{
    return QJsonDocument::fromJson(r.out.toUtf8()).object();
}

const char *const kTone = "024A3A5539BDADA584040A26A64895613624BA0CA14498938C2682A838C34C2482A8344000";
const char *const kLogo =
    "32F45100480E01FFFFFFFFFFFFFFFFFFC003000C003000C003A00480120048012005900840210084021009881020408102040811"
    "842010804201080421824009002400900241818006001800600181818006001D553554D48240090026AA3AA8EB84201080475"
    "45D51748810204083A8AEA2BB9008402105D157455CFFFFFFFFFD55555555";

TEST(CliPayload, DescribesARingingTone)
{
    const TRun r = kestrel({"payload", "decode", "--port", "5505", kTone});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QJsonObject o = json(r);
    EXPECT_EQ(o["class"].toString(), "TSMRingingTone");
    EXPECT_EQ(o["rtttl"].toString(), "Nokia:o=5,d=4,b=63:8e6b=180,8d6,f#,g#,8c#6,8h,d,e,8h,8a,c#,e,2a");
    const QJsonArray parts = o["commands"].toArray()[0].toObject()["parts"].toArray();
    ASSERT_EQ(parts.size(), 2);
    EXPECT_EQ(parts[0].toObject()["class"].toString(), "TSMRTRingingTone");
    EXPECT_EQ(parts[1].toObject()["title"].toString(), "Nokia");
    const QJsonArray instructions =
        parts[1].toObject()["patterns"].toArray()[0].toObject()["instructions"].toArray();
    EXPECT_EQ(instructions[2].toObject()["bpm"].toInt(), 180);
}

TEST(CliPayload, DescribesALogoAMultipartAndAvCard)
{
    TRun r = kestrel({"payload", "decode", "--port", "0x1582", kLogo});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    QJsonObject o = json(r);
    EXPECT_EQ(o["mcc"].toInt(), 234);
    EXPECT_EQ(o["mnc"].toInt(), 15);
    EXPECT_EQ(o["width"].toInt(), 72);
    const QJsonArray rows = o["frames"].toArray()[0].toArray();
    ASSERT_EQ(rows.size(), 14);
    EXPECT_EQ(rows[0].toString(), QString(72, '#'));
    EXPECT_TRUE(rows[1].toString().startsWith("##......"));

    r = kestrel({"payload", "decode", "--port", "5514", "30 000002 4869 050001 7A"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QJsonArray items = json(r)["items"].toArray();
    ASSERT_EQ(items.size(), 2);
    EXPECT_EQ(items[0].toObject()["text"].toString(), "Hi");
    EXPECT_EQ(items[1].toObject()["class"].toString(), "TSMUnknown");
    EXPECT_EQ(items[1].toObject()["itemType"].toInt(), 5);
    EXPECT_EQ(items[1].toObject()["data"].toString(), "7A");

    const QByteArray card = "BEGIN:VCARD\r\nTEL;CELL:+441234\r\nEND:VCARD\r\n";
    r = kestrel({"payload", "decode", "--port", "226", QString::fromLatin1(card.toHex())});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QJsonObject record = json(r)["records"].toArray()[0].toObject();
    EXPECT_EQ(record["name"].toString(), "TEL");
    EXPECT_EQ(record["value"].toString(), "+441234");
    EXPECT_EQ(record["parameters"].toArray()[0].toString(), "CELL");
}

TEST(CliPayload, ReportsFailures)
{
    struct Case {
        QStringList args;
        int status;
        const char *err;
    } cases[] = {
        {{"payload", "decode", "--port", "1234", "00"}, 1, "no payload class for port 1234"},
        {{"payload", "decode", "--port", "5505", "0102"}, 1, "Bad ringing tone format"},
        {{"payload", "decode", "--port", "5505", "0G"}, 1, "invalid"},
        {{"payload", "decode", "00"}, 2, "--port is required"},
        {{"ringtone", "--from-rtttl", "no colons"}, 1, "Bad RTTTL format"},
        {{"ringtone"}, 2, "exactly one"},
        {{"bitmap", "--encode", "/nonexistent.png"}, 1, "cannot read the picture"},
        {{"bitmap", "--encode", "x.png", "--kind", "logo"}, 2, "--operator"},
        {{"bitmap", "--decode", "00", "--kind", "cli", "--out", "/tmp/x.png"},
         1,
         "Unsupported or bad CLI format"},
        {{"bitmap", "--decode", "00", "--kind", "tile"}, 2, "unknown kind"},
    };
    for (const Case &c : cases) {
        const TRun r = kestrel(c.args);
        EXPECT_EQ(r.status, c.status) << c.args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains(c.err)) << r.err.toStdString();
    }
}

TEST(CliPayload, RingtoneConvertsBothWays)
{
    TRun r = kestrel({"ringtone", "--from-rtttl", "Test:d=4,o=5,b=63:c,8d#6."});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QString hex = r.out;
    EXPECT_TRUE(hex.startsWith("024A3A")); // two parts: ringing tone, sound
    r = kestrel({"ringtone", "--to-rtttl", hex});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "Test:o=5,d=4,b=63:c,8d#6.");
}

TEST(CliPayload, BitmapEncodesAndDecodesPictures)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // Two 8 x 2 frames side by side; dark grey counts as set, light grey does not.
    QImage picture(16, 2, QImage::Format_RGB32);
    picture.fill(Qt::white);
    picture.setPixel(0, 0, qRgb(40, 40, 40));
    picture.setPixel(1, 0, qRgb(200, 200, 200));
    picture.setPixel(15, 1, qRgb(0, 0, 0));
    const QString in = dir.filePath("in.png");
    ASSERT_TRUE(picture.save(in));

    TRun r = kestrel({"bitmap", "--encode", in, "--frames", "2"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    // multipart "0", item type 2 of 8 octets: info 01, 8 x 2, depth 1, frames 8000 and 0001
    EXPECT_EQ(r.out.toStdString(), "300200080108020180000001");

    const QString out = dir.filePath("out.png");
    r = kestrel({"bitmap", "--decode", "300200080108020180000001", "--out", out});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QImage back(out);
    ASSERT_EQ(back.size(), QSize(16, 2));
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 16; ++x)
            EXPECT_EQ((back.pixel(x, y) & 0xFFFFFF) == 0, (x == 0 && y == 0) || (x == 15 && y == 1))
                << x << "," << y;

    r = kestrel({"bitmap", "--encode", in, "--kind", "logo", "--operator", "26203", "--frames", "2"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.startsWith("3062F2300A01080201")) << r.out.toStdString();
    r = kestrel({"bitmap", "--encode", in, "--kind", "cli"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.out.toStdString(), "300010020180000001");
}

} // namespace
