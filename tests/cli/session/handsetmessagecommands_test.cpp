// kestrel send, list, read and delete as processes against kestrel-modemsim.
#include "clisessiontest.h"

namespace {

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

// Senders' names beyond ASCII and the Greek capitals read as the 7-bit alphabet says in list,
// read and monitor; sending the Greek capitals uses 7-bit codes.
TEST_F(CliSession, NamesAndGreekCapitalsInEveryCommand)
{
    struct {
        const char *tpdu;
        const char *oa, *text;
    } rows[] = {
        {"040BD04D3F9B5D96030000425060708090000647B9BFAC4F03", "Müller", "Grüezi"},
        {"0410D081C2A60C9AA2DF700000425060708090000A10C98452B15C30190D", "£é€ Shop", "ΔΦΓΛΩΠΨΣΘΞ"},
        {"0409D01064F3890100004250607080900007984A46037AAF01", "ΔHMOΣ", "ΣΩΘΞ ok"},
    };
    QStringList indexes;
    for (const auto &row : rows)
        indexes << sim.Control(QString("store SM 0 %1").arg(row.tpdu)).value(0).section(' ', 1);
    // Unread, they are handled by the monitor first; listing and reading mark them read.
    TRun monitor = Kestrel(Session({"monitor", "--keep", "--count", QString::number(std::size(rows))}));
    const auto messages = Events(monitor, "message");
    ASSERT_EQ(messages.size(), std::size(rows)) << monitor.out.toStdString() << monitor.err.toStdString();
    TRun list = Kestrel(Session({"list"}));
    ASSERT_EQ(list.json.size(), std::size(rows)) << list.err.toStdString();
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].oa);
        TRun read = Kestrel(Session({"read", indexes[static_cast<qsizetype>(i)]}));
        ASSERT_EQ(read.json.size(), 1u) << read.err.toStdString();
        for (const QJsonObject &json : {messages[i], list.json[i], read.json[0]}) {
            EXPECT_EQ(json["message"].toObject()["oa"].toString().toStdString(), rows[i].oa);
            EXPECT_EQ(json["message"].toObject()["text"].toString().toStdString(), rows[i].text);
        }
    }

    TRun sent = Kestrel(Session({"send", "--to", "+30210", "--text", "ΔΦΓΛΩΠΨΣΘΞ"}));
    ASSERT_EQ(sent.status, 0) << sent.err.toStdString();
    const QStringList sentList = sim.Control("sent");
    ASSERT_GE(sentList.size(), 2) << sentList.join('\n').toStdString();
    // DCS F2 (7-bit, class 2) and ten septets: the Greek codes 10, 12 to 1A.
    EXPECT_TRUE(sentList[0].endsWith("F20A10C98452B15C30190D")) << sentList[0].toStdString();
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

TEST_F(CliSession, UsageErrors)
{
    for (const QStringList &args :
         {QStringList{"read"}, QStringList{"read", "x"}, QStringList{"delete"},
          QStringList{"send", "--text", "no destination"}, QStringList{"list", "--status", "7"},
          QStringList{"monitor", "--count", "0"}, QStringList{"monitor", "--seconds", "x"},
          QStringList{"monitor", "--seconds", "3000000"}, QStringList{"monitor", "--sms-log"},
          QStringList{"monitor", "--equipment", "M99"}}) {
        TRun r = Kestrel(Session(args));
        EXPECT_EQ(r.status, 2) << args.join(' ').toStdString() << ": " << r.err.toStdString();
    }
}

// A destination that is no number and an empty message are refused at once, queued or sent:
// nothing reaches the handset or the store.
TEST_F(CliSession, DestinationsThatAreNoNumberAndEmptyMessagesAreRefused)
{
    const struct {
        QStringList args;
        const char *error;
    } rows[] = {
        {{"--to", "abc", "--text", "hello"}, "the destination \"abc\" is no phone number"},
        {{"--to", "+49 171 1234567", "--text", "hello"},
         "the destination \"+49 171 1234567\" is no phone number"},
        {{"--to", "+", "--text", "hello"}, "the destination \"+\" is no phone number"},
        {{"--to", "+4917-1234", "--text", "hello"}, "is no phone number"},
        {{"--to", "+123456789012345678901", "--text", "hello"}, "has more than 20 digits"},
        {{"--to", "+491710000002", "--text", ""}, "the message is empty"},
        {{"--to", "+491710000002", "--ucs2", ""}, "the message is empty"},
        {{"--to", "+491710000002", "--ems-text", ""}, "the message is empty"},
    };
    for (const auto &row : rows) {
        for (const bool queue : {false, true}) {
            QStringList args = QStringList{"send"} + row.args;
            if (queue)
                args << "--queue";
            SCOPED_TRACE(args.join(' ').toStdString());
            const TRun r = Kestrel(Session(args));
            EXPECT_EQ(r.status, 2) << r.err.toStdString();
            EXPECT_TRUE(r.err.contains(row.error)) << r.err.toStdString();
            EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
        }
    }
    EXPECT_TRUE(sim.Control("sent").filter("sent ").isEmpty());
    const TRun stored = Kestrel({"messages", "--store", StorePath(), "list"});
    EXPECT_EQ(stored.status, 0) << stored.err.toStdString();
    EXPECT_TRUE(stored.json.empty()) << stored.out.toStdString();
    // The national form the model reads ("#...") and an international number still go out.
    for (const char *to : {"+491710000002", "#01710000002", "01710000002"}) {
        const TRun sent = Kestrel(Session({"send", "--to", to, "--text", "ok"}));
        EXPECT_EQ(sent.status, 0) << to << ": " << sent.err.toStdString();
    }
}

TEST_F(CliSession, SettingsFileAndOptions)
{
    // The settings file is read as the window reads it (equipment names in any case); an option
    // given wins over the file.
    const std::string logs = "[Modem.Files]\nGSMLog=" + dir.filePath("gsm.log").toStdString() +
                             "\nSMSLog=" + dir.filePath("sms.log").toStdString() +
                             "\nStore=" + StorePath().toStdString() + "\n";
    const std::string device = sim.Device().toStdString();
    struct TCase {
        std::string modem; // the [Modem] section's keys
        QStringList args;
        int status;
        const char *error; // start of standard error, for a failure
    };
    const TCase cases[] = {
        {"DeviceName=" + device + "\nDevice=m20\nRecTimeout=500\n", {"status"}, 0, ""},
        {"DeviceName=" + device + "\nDevice=m20\nRecTimeout=500\n", {"list"}, 0, ""},
        {"DeviceName=/dev/kestrel-nowhere\nDevice=M20\n", {"status", "--device", sim.Device()}, 0, ""},
        {"DeviceName=" + device + "\nDevice=M1\n", {"status", "--equipment", "M20"}, 0, ""},
        // A damaged equipment name is refused as the window refuses it, unless the option names
        // the equipment: then the file's name is not read.
        {"DeviceName=" + device + "\nDevice=M99\n", {"status", "--equipment", "M20"}, 0, ""},
        {"DeviceName=" + device + "\nDevice=M99\n", {"monitor", "--count", "1", "--equipment", "M20"}, 0, ""},
        {"DeviceName=" + device + "\nDevice=M99\n", {"status"}, 1, "Bad equipment name"},
        {"DeviceName=" + device + "\nDevice=M99\n", {"monitor", "--count", "1"}, 1, "Bad equipment name"},
        {"DeviceName=/dev/kestrel-nowhere\nDevice=M20\n", {"status"}, 1, ""},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.modem + c.args.join(' ').toStdString());
        WriteSettings("[Modem]\n" + c.modem + logs);
        TRun r = Kestrel(QStringList{"--config", Config()} + c.args);
        EXPECT_EQ(r.status, c.status) << r.err.toStdString();
        EXPECT_EQ(r.err.toStdString().rfind(c.error, 0), 0u) << r.err.toStdString();
        if (c.status == 0 && c.args[0] == "status") {
            ASSERT_EQ(r.json.size(), 1u) << r.out.toStdString();
            EXPECT_EQ(r.json[0]["registration"].toInt(), 1) << r.out.toStdString();
        }
    }
    // Nothing the commands read is written back.
    EXPECT_EQ(ReadText(Config()).toStdString(), "[Modem]\n" + cases[std::size(cases) - 1].modem + logs);
}

} // namespace
