// kestrel pdu decode|encode as users run them: arguments in, exit status and JSON lines out.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>

#include <gtest/gtest.h>

namespace {

struct TRun {
    int status = -1;
    QList<QJsonObject> lines; // stdout, one JSON object per line
    QString out, err;
};

TRun run(const QStringList &args)
{
    QProcess process;
    process.start(KESTREL_PROGRAM, args);
    TRun result;
    if (!process.waitForFinished(20000))
        return result;
    result.status = process.exitCode();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    for (const QString &line : result.out.split('\n', Qt::SkipEmptyParts))
        result.lines.append(QJsonDocument::fromJson(line.toUtf8()).object());
    return result;
}

// Expected keys of one JSON object: "key=value" with the value as its compact JSON text.
void expectFields(const QJsonObject &json, const QStringList &fields)
{
    for (const QString &field : fields) {
        QString key = field.section('=', 0, 0), value = field.section('=', 1);
        ASSERT_TRUE(json.contains(key)) << key.toStdString() << " in "
                                        << QJsonDocument(json).toJson(QJsonDocument::Compact).toStdString();
        QJsonObject wrapper{{"v", json[key]}};
        QString text = QString::fromUtf8(QJsonDocument(wrapper).toJson(QJsonDocument::Compact));
        text = text.mid(5, text.size() - 6); // {"v":...}
        EXPECT_EQ(text.toStdString(), value.toStdString()) << key.toStdString();
    }
}

const char *kDeliver = "0791447758100650000C914421436587090000425060708090000DC8329BFD0691CBECB4BD2C07";
const char *kConcatPart2 =
    "0791447758100650400C9144214365870900004250607080900036050003BD0202F0797D503824168D4764"
    "52B964369D4F68543AA556AD576C560B8BC966B49AED86CB815CACB0784C2E03";
const char *kUCS2 =
    "0791447758100650000C9144214365870900084250607080900030041F04400438043204350442002C0020043C0"
    "43804400021002000DC006E00EF006300F6006400E9002020AC00202713";
const char *kAlnum = "07914477581006500012D04F7978CC2E839874320000425060708090000541B6BBDE06";

} // namespace

TEST(CliPduTest, DecodeMessages)
{
    struct {
        QStringList args;
        QStringList fields;
    } rows[] = {
        {{"--mt", kDeliver},
         {"class=\"TSMSDeliver\"", "sca=\"+447785016005\"", "oa=\"+441234567890\"", "pid=0", "dcs=0",
          "scts=\"2024-05-06T07:08:09\"", "timeZone=0", "text=\"Hello deliver\"", "firstOctet=0"}},
        {{kConcatPart2},
         {"firstOctet=64", "udh=[{\"data\":\"BD0202\",\"iei\":0}]",
          "text=\"xyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,abcde\""}},
        // EMS objects of the header: a text format (its colour octet not received) and an animation
        {{"00440481214300F5622170214365000C090A030105100D0200076869"},
         {"ems=[{\"class\":\"TEMSTextFormat\",\"formatMode\":16,\"iei\":10,\"position\":1,\"textColour\":0,"
          "\"textLength\":5},{\"animationNumber\":7,\"class\":\"TEMSAnimationPredef\",\"iei\":13,"
          "\"position\":0}]",
          "text=\"hi\""}},
        {{kUCS2}, {"dcs=8", "text=\"Привет, мир! Ünïcödé € ✓\""}},
        {{kAlnum}, {"oa=\"Oracle Ltd\"", "text=\"Alnum\""}},
        // UTC-1: the zone octet 0x48 is -4 quarter hours
        {{"--no-sca", "04038121F30000425060708090480141"},
         {"timeZone=-4", "oa=\"123\"", "text=\"A\"", "sca=\"\""}},
        {{"--mo", "001100069121436500008F0AE8329BFD4697D9EC37"},
         {"class=\"TSMSSubmit\"", "da=\"+123456\"", "mr=0", "vp=720", "text=\"hellohello\"",
          "userData=\"68656C6C6F68656C6C6F\""}},
        {{"--mt", "00022A04914421203021012345402030211123454800"},
         {"class=\"TSMSStatusReport\"", "mr=42", "ra=\"+4412\"", "scts=\"2002-03-12T10:32:54\"", "timeZone=4",
          "dischargeTime=\"2002-03-12T11:32:54\"", "dischargeZone=-4", "status=0"}},
        {{"--mo", "00020100022A038121F3020102"},
         {"class=\"TSMSCommand\"", "commandType=2", "messageNumber=42", "da=\"123\"", "userData=\"0102\""}},
        {{"--cb", "2AB012340F2341E110"},
         {"class=\"TCellBroadcast\"", "serial=10928", "messageCode=683", "updateNumber=0", "messageId=4660",
          "dcs=15", "page=2", "pages=3", "text=\"ABC\""}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.args.join(' ').toStdString());
        TRun r = run(QStringList{"pdu", "decode"} + row.args);
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
        ASSERT_EQ(r.lines.size(), 1);
        expectFields(r.lines[0], row.fields);
    }
}

TEST(CliPduTest, DecodeErrorsComeAfterTheOthers)
{
    TRun r = run({"pdu", "decode", kDeliver, "0791447758", "zz", "0003", kAlnum});
    EXPECT_EQ(r.status, 1);
    ASSERT_EQ(r.lines.size(), 5);
    expectFields(r.lines[0], {"class=\"TSMSDeliver\""});
    expectFields(r.lines[1], {"error=\"no TPDU after the service-centre field\""});
    EXPECT_TRUE(r.lines[2].contains("error"));
    expectFields(r.lines[3], {"error=\"message type 3 is reserved\""});
    expectFields(r.lines[4], {"oa=\"Oracle Ltd\""});
}

TEST(CliPduTest, Encode)
{
    struct {
        QStringList args;
        const char *pdu;
        int tpduLength;
    } rows[] = {
        {{"--to", "+123456", "--text", "hellohello", "--vp-minutes", "720"},
         "001100069121436500008F0AE8329BFD4697D9EC37",
         20},
        {{"--to", "+123456", "--text", "hellohello", "--vp-minutes", "720", "--no-sca"},
         "1100069121436500008F0AE8329BFD4697D9EC37",
         20},
        {{"--to", "12345", "--text", "€", "--reference", "7", "--status-report"},
         "00210705812143F50000029B32",
         12},
        {{"--to", "+44", "--ucs2", "Привет", "--class", "0"},
         "00010002914400180C041F04400438043204350442",
         20},
        {{"--to", "#0800", "--data", "CAFE"},
         "00010004A180000004"
         "02CAFE",
         11},
        {{"--to", "1", "--data", "00", "--class", "1"},
         "0001000181F1001501"
         "00",
         9},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.args.join(' ').toStdString());
        TRun r = run(QStringList{"pdu", "encode"} + row.args);
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
        ASSERT_EQ(r.lines.size(), 1);
        expectFields(r.lines[0],
                     {QString("pdu=\"%1\"").arg(row.pdu), QString("tpduLength=%1").arg(row.tpduLength)});
    }
    // What encode writes, decode reads back.
    TRun encoded = run({"pdu", "encode", "--to", "+49170", "--ucs2", "Grüße ✓", "--vp-minutes", "1440"});
    ASSERT_EQ(encoded.lines.size(), 1);
    TRun decoded = run({"pdu", "decode", "--mo", encoded.lines[0]["pdu"].toString()});
    ASSERT_EQ(decoded.lines.size(), 1);
    expectFields(decoded.lines[0], {"da=\"+49170\"", "text=\"Grüße ✓\"", "vp=1440"});
}

TEST(CliPduTest, EncodeLimitsAndUsage)
{
    struct {
        QStringList args;
        int status;
        const char *message; // part of stderr
    } rows[] = {
        {{"--to", "1", "--text", QString(161, 'a')}, 1, "text too long: 161 septets, one message holds 160"},
        {{"--to", "1", "--text", QString(81, '[')}, 1, "text too long: 162 septets"},
        {{"--to", "1", "--ucs2", QString(71, 'x')},
         1,
         "text too long: 71 UCS2 characters, one message holds 70"},
        {{"--to", "1", "--data", QString(282, 'A')}, 1, "data too long: 141 octets, one message holds 140"},
        {{"--to", "1", "--text", "ωmega"}, 1, "character U+03C9 is not in the GSM 7-bit alphabet"},
        {{"--text", "x"}, 2, "--to is required"},
        {{"--to", "12a", "--text", "x"}, 2, "--to: a number"},
        {{"--to", "1"}, 2, "exactly one of --text, --ucs2 and --data"},
        {{"--to", "1", "--text", "x", "--data", "00"}, 2, "exactly one of"},
        {{"--to", "1", "--text", "x", "--class", "4"}, 2, "--class"},
        {{"--to", "1", "--data", "ABC"}, 2, "--data"},
        {{"--to", "1", "--text", "x", "--bogus"}, 2, "Unknown option 'bogus'"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.args.join(' ').toStdString());
        TRun r = run(QStringList{"pdu", "encode"} + row.args);
        EXPECT_EQ(r.status, row.status);
        EXPECT_TRUE(r.err.contains(row.message)) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
    }
    // Escaped characters take two septets each: 80 of them fill the message exactly.
    TRun fits = run({"pdu", "encode", "--to", "1", "--text", QString(80, '[')});
    EXPECT_EQ(fits.status, 0) << fits.err.toStdString();
}

TEST(CliPduTest, HelpAndUsage)
{
    struct {
        QStringList args;
        int status;
        const char *text; // part of stdout (status 0) or stderr
    } rows[] = {
        {{"pdu", "--help"}, 0, "kestrel pdu COMMAND"},
        {{"pdu", "decode", "--help"}, 0, "Usage: kestrel pdu decode [options] HEX..."},
        {{"pdu", "encode", "--help"}, 0, "--vp-minutes <N>"},
        {{"pdu"}, 2, "kestrel pdu COMMAND"},
        {{"pdu", "transcode"}, 2, "unknown command transcode"},
        {{"pdu", "decode"}, 2, "no PDU given"},
        {{"pdu", "decode", "--mo", "--cb", "00"}, 2, "exclude each other"},
        {{"--help"}, 0, "pdu"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.args.join(' ').toStdString());
        TRun r = run(row.args);
        EXPECT_EQ(r.status, row.status);
        EXPECT_TRUE((row.status == 0 ? r.out : r.err).contains(row.text))
            << r.out.toStdString() << r.err.toStdString();
    }
}

// A time stamp that names no date says which stamp and which field, and the value, also when a
// message is read in the wrong direction.
TEST(CliPduTest, DateErrorsNameTheField)
{
    const QString month13 = QString(kDeliver).replace("4250607080900", "4231607080900");
    struct {
        QStringList args;
        const char *error;
    } rows[] = {
        {{month13}, "service centre time stamp: month 13 is out of range"},
        {{"0002010C914421436587094250607080900042506042000000"}, "discharge time: hour 24 is out of range"},
        // An SMS-SUBMIT read as received: its destination reads as the report's time stamp.
        {{"079144775810065011000C914421436587090000FF0DC8329BFD060140F7B79C4D06"},
         "service centre time stamp: month 19 is out of range"},
        {{"--mo", "0019000C9144214365870900004220000000000000"
                  "0141"},
         "validity period: day 0 is out of range in 2024-02"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.args.join(' ').toStdString());
        TRun r = run(QStringList{"pdu", "decode"} + row.args);
        EXPECT_EQ(r.status, 1);
        ASSERT_EQ(r.lines.size(), 1);
        expectFields(r.lines[0], {QString("error=\"%1\"").arg(row.error)});
    }
}

// Senders and texts in the letters of the 7-bit alphabet beyond ASCII, the Greek capitals among
// them, read as that alphabet says (neither U+FFFD nor one middle dot for all nine).
TEST(CliPduTest, SendersAndTextsBeyondASCII)
{
    struct {
        const char *pdu;
        const char *oa;
        const char *text;
    } rows[] = {
        {"00040BD04D3F9B5D96030000425060708090000647B9BFAC4F03", "Müller", "Grüezi"},
        {"000414D0FBFD7EBFDFEFF77BFE1E0000425060708090000178", "äääääääääöä", "x"},
        {"000410D081C2A60C9AA2DF700000425060708090000A10C98452B15C30190D", "£é€ Shop", "ΔΦΓΛΩΠΨΣΘΞ"},
        {"000409D01064F3890100004250607080900007984A46037AAF01", "ΔHMOΣ", "ΣΩΘΞ ok"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.pdu);
        TRun r = run({"pdu", "decode", row.pdu});
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
        ASSERT_EQ(r.lines.size(), 1);
        EXPECT_EQ(r.lines[0]["oa"].toString().toStdString(), row.oa);
        EXPECT_EQ(r.lines[0]["text"].toString().toStdString(), row.text);
    }
    // The 8-bit text of a payload (a melody's name in an EMS sound) reads as ISO 8859-1.
    TRun melody =
        run({"pdu", "decode",
             "00400C9144214365870900044250607080900059580C5600424547494E3A494D454C4F44590D0A56455253494F4E3A"
             "312E300D0A464F524D41543A434C415353312E300D0A4E414D453A46FC7220456C6973650D0A4D454C4F44593A6332"
             "0D0A454E443A494D454C4F44590D0A"});
    ASSERT_EQ(melody.lines.size(), 1);
    const QJsonObject records = melody.lines[0]["ems"].toArray().at(0).toObject()["records"].toObject();
    EXPECT_EQ(records["NAME"].toString().toStdString(), "Für Elise");
    // Greek capitals go as 7-bit codes, and come back.
    TRun encoded = run({"pdu", "encode", "--to", "+30210", "--text", "ΔΦΓΛΩΠΨΣΘΞ"});
    ASSERT_EQ(encoded.lines.size(), 1) << encoded.err.toStdString();
    TRun decoded = run({"pdu", "decode", "--mo", encoded.lines[0]["pdu"].toString()});
    ASSERT_EQ(decoded.lines.size(), 1);
    expectFields(decoded.lines[0], {"dcs=0", "text=\"ΔΦΓΛΩΠΨΣΘΞ\""});
}
