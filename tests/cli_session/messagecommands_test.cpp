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
