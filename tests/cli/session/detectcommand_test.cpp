// kestrel detect, and a message from the command line through a Generic modem in text mode, as
// processes against kestrel-modemsim.
#include "clisessiontest.h"

#include <QJsonArray>

namespace {

// A suite of its own: the shared fixture is a class of each file.
class CliDetect : public CliSession {};

TEST_F(CliDetect, DetectPrintsOneLinePerDeviceWithTheSuggestedType)
{
    TSimProcess generic({"--equipment", "Generic"});
    ASSERT_FALSE(generic.Device().isEmpty());
    TRun run =
        Kestrel({"detect", "--device", generic.Device(), "--device", sim.Device(), "--device", "/dev/null"});
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    ASSERT_EQ(run.json.size(), 3u) << run.out.toStdString();
    // The keys in the order users read them: the device first.
    EXPECT_TRUE(run.out.startsWith("{\"device\": \"" + generic.Device() +
                                   "\", \"byId\": null, \"baud\": 115200, "
                                   "\"manufacturer\": \"Kestrel Wireless\", \"model\": \"KW-L400\""))
        << run.out.toStdString();
    EXPECT_EQ(run.json[0]["equipment"].toString(), "Generic");
    EXPECT_EQ(run.json[0]["imei"].toString(), "350000000000144");
    EXPECT_EQ(run.json[0]["pin"].toString(), "READY");
    EXPECT_EQ(run.json[0]["formats"].toArray(), (QJsonArray{"pdu", "text"}));
    EXPECT_EQ(run.json[0]["storages"].toArray(), (QJsonArray{"SM", "ME", "MT", "SR"}));
    EXPECT_EQ(run.json[1]["device"].toString(), sim.Device());
    EXPECT_EQ(run.json[1]["equipment"].toString(), "M20");
    // The network in the form each modem has set: detection sets nothing.
    EXPECT_EQ(run.json[0]["operator"].toString(), "Kestrel Net");
    EXPECT_TRUE(run.json[0]["operatorCode"].isNull());
    EXPECT_EQ(run.json[0]["technology"].toString(), "LTE");
    EXPECT_EQ(run.json[1]["operator"].toString(), "Kestrel Net");
    EXPECT_TRUE(run.json[1]["technology"].isNull());
    EXPECT_EQ(run.json[2]["error"].toString(), "not a serial device");
    EXPECT_FALSE(run.json[2].contains("equipment"));

    // The modem just found works with the type suggested.
    TRun status =
        Kestrel({"--config", Config(), "--device", generic.Device(), "--equipment", "Generic", "status"});
    EXPECT_EQ(status.status, 0) << status.err.toStdString();
    ASSERT_EQ(status.json.size(), 1u);
    EXPECT_EQ(status.json[0]["registration"].toInt(), 1);
    EXPECT_EQ(status.json[0]["memory"].toString(), "MT");
}

TEST_F(CliDetect, DetectWithoutModemFailsAndRefusesStrayArguments)
{
    TRun none = Kestrel({"detect", "--device", "/dev/null"});
    EXPECT_EQ(none.status, 1);
    ASSERT_EQ(none.json.size(), 1u);
    EXPECT_EQ(none.json[0]["device"].toString(), "/dev/null");
    TRun usage = Kestrel({"detect", "/dev/ttyUSB0"});
    EXPECT_EQ(usage.status, 2);
    EXPECT_TRUE(usage.err.contains("unexpected argument")) << usage.err.toStdString();
}

TEST_F(CliDetect, UCS2TextGoesInTextModeToAGenericModemOnly)
{
    TSimProcess generic({"--equipment", "Generic"});
    const QString text = QString::fromUtf8("\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82"); // Privet
    TRun sent = Kestrel({"--config", Config(), "--device", generic.Device(), "--equipment", "Generic",
                         "--format", "text", "send", "--to", "+491710000001", "--ucs2", text});
    ASSERT_EQ(sent.status, 0) << sent.err.toStdString();
    TRun list;
    for (int attempt = 0; attempt < 20 && list.json.empty(); ++attempt)
        list = Kestrel({"--config", Config(), "--device", generic.Device(), "--equipment", "Generic",
                        "--format", "text", "list"});
    ASSERT_EQ(list.json.size(), 1u) << list.err.toStdString();
    EXPECT_EQ(list.json[0]["message"].toObject()["text"].toString(), text);
    // The older types have no way to put it in text mode.
    TRun refused = Kestrel(Session({"--format", "text", "send", "--to", "+491710000001", "--ucs2", text}));
    EXPECT_EQ(refused.status, 2);
    EXPECT_TRUE(refused.err.contains("needs PDU mode")) << refused.err.toStdString();
}

} // namespace
