#include "app/gsmkestrelform.h"
#include "app/pictureeditor.h"
#include "comm/comm.h"
#include "connect/connection.h"
#include "gsm/sms.h"
#include "gsm/tpdufields.h"
#include "modemsim/modemsimulator.h"
#include "store/messagestore.h"
#include "ui_gsmkestrelform.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

// Messages of every kind go from the SMS tab to the virtual handset's own number, come back as
// deliveries and are recognised in the SMS log.
class SendTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        SetLockDirectory(dir.path().toStdString());
        TModemSimulatorOptions options;
        options.equipment = "M1";
        options.deliveryDelayMs = 10;
        sim = std::make_unique<TModemSimulator>(options);
        dm = std::make_unique<TGSMDataModule>(dir.filePath("gsm.ini").toStdString(),
                                              dir.path().toStdString() + "/");
        dm->Comm1.SetDeviceName(sim->DevicePath());
        dm->OnSMSLogLine = [this](const std::string &line) { log.push_back(line); };
        form = std::make_unique<TGSMKestrelForm>(*dm, QStringList{"gsm-kestrel"});
        form->ShowError = [this](const QString &m) { errors << m; };
        form->Confirm = [this](const QString &q) {
            questions << q;
            return true;
        };
        ui = form->UI();
        form->show();
        ui->DA->setText(QString::fromStdString(sim->OwnNumber()));
        // Deliveries routed straight to the window.
        ui->CatchSMSMT->setChecked(true);
        ui->OnlyIndication->setChecked(false);
        ui->PageControl1->setCurrentIndex(1);
    }
    void TearDown() override
    {
        form.reset();
        dm.reset();
        sim.reset();
        SetLockDirectory("/var/lock");
    }
    void select(int kind, int type)
    {
        ui->SMSKind->setCurrentIndex(kind);
        ui->SMSKind2->setCurrentIndex(type);
    }
    // Sends and waits for the line that names what came back.
    bool sendAndSee(const std::string &expected)
    {
        log.clear();
        QTest::mouseClick(ui->BitBtn1, Qt::LeftButton);
        for (int i = 0; i < 100; ++i) {
            for (const auto &l : log)
                if (l.find(expected) != std::string::npos)
                    return true;
            QTest::qWait(50);
        }
        return false;
    }
    std::string logText() const
    {
        std::string out;
        for (const auto &l : log)
            out += l + "\n";
        out += errors.join("; ").toStdString();
        if (getenv("KESTREL_TRANSCRIPT"))
            for (const auto &l : sim->Transcript())
                out += "T " + l + "\n";
        return out;
    }
    // The user data of the last message the handset sent on.
    std::unique_ptr<TSMS2> lastSent() const
    {
        const auto sent = sim->SentMessages();
        return sent.empty() ? nullptr : CreateSMSFromPDU(nullptr, "00" + sent.back().tpdu, false);
    }

    QTemporaryDir dir;
    std::unique_ptr<TModemSimulator> sim;
    std::unique_ptr<TGSMDataModule> dm;
    std::unique_ptr<TGSMKestrelForm> form;
    Ui::GSMKestrelForm *ui = nullptr;
    QStringList errors, questions;
    std::vector<std::string> log;
};

TEST_F(SendTest, TextOffersToConnectAndComesBack)
{
    ui->Message->setText("Hello there");
    EXPECT_EQ(ui->DCS->currentIndex(), 2); // preset: class 2, stored on the SIM
    ui->DCS->setCurrentIndex(1);           // class 1 comes straight back to the window
    ASSERT_TRUE(sendAndSee("OA: +491710000001, PID: 00, UD: Hello there")) << logText();
    EXPECT_EQ(questions, QStringList{"Device not active. Connect?"});
    EXPECT_TRUE(dm->GSM.Active());
    // The sent message is logged too (the delivery may overtake it while the send still waits).
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string &l) {
        return l.rfind("<", 0) == 0 && l.find("UD: Hello there") != std::string::npos;
    })) << logText();
    auto sent = lastSent();
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->DCS, 0xF1); // 7-bit, class 1
    // Both are in the store beside the logs: the one sent with its reference, the one that came
    // back.
    auto store = TMessageStore::Open(dm->StoreName);
    const auto stored = store->List({});
    ASSERT_EQ(stored.size(), 2u) << logText();
    const TStoredMessage &out = stored[0].Outgoing ? stored[0] : stored[1];
    const TStoredMessage &in = stored[0].Outgoing ? stored[1] : stored[0];
    EXPECT_TRUE(out.Outgoing);
    EXPECT_EQ(out.Text, "Hello there");
    EXPECT_EQ(out.Status, TStoredStatus::ssSent);
    EXPECT_EQ(store->Message(out.Id)->Segments.at(0).MR, sim->SentMessages().back().reference);
    EXPECT_FALSE(in.Outgoing);
    EXPECT_EQ(in.Text, "Hello there");

    // Declined: nothing is sent.
    QTest::mouseClick(ui->SpeedButton4, Qt::LeftButton);
    form->Confirm = [](const QString &) { return false; };
    const size_t before = sim->SentMessages().size();
    QTest::mouseClick(ui->BitBtn1, Qt::LeftButton);
    EXPECT_EQ(sim->SentMessages().size(), before);
    EXPECT_TRUE(errors.isEmpty()) << logText();
}

// The SMS tab's Send and the Messages reply refuse a destination that is no number and an empty
// text before they offer to log in: nothing is asked, nothing sent.
TEST_F(SendTest, DestinationsThatAreNoNumberAndEmptyTextsAreRefused)
{
    const struct {
        const char *to, *text, *error;
    } rows[] = {
        {"abc", "Hello", "the destination \"abc\" is no phone number"},
        {"+49 171 0000001", "Hello", "is no phone number"},
        {"", "Hello", "no destination number given"},
        {"+491710000001", "", "the message is empty"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.to) + " / " + row.text);
        errors.clear();
        ui->DA->setText(row.to);
        ui->Message->setText(row.text);
        QTest::mouseClick(ui->BitBtn1, Qt::LeftButton);
        ASSERT_EQ(errors.size(), 1) << logText();
        EXPECT_TRUE(errors[0].contains(row.error)) << errors[0].toStdString();
        try {
            form->SendReply(row.to, row.text);
            ADD_FAILURE() << "reply accepted";
        } catch (const std::exception &e) {
            EXPECT_NE(std::string(e.what()).find(row.error), std::string::npos) << e.what();
        }
    }
    EXPECT_TRUE(questions.isEmpty());
    EXPECT_FALSE(dm->GSM.Active());
    EXPECT_TRUE(sim->SentMessages().empty());
}

TEST_F(SendTest, GuillemetTextGoesAsUcs2)
{
    ui->Message->setText(QString::fromUtf8("\xC2\xBB"
                                           "Gr\xC3\xBC\xC3\x9F"
                                           "e"));
    ASSERT_TRUE(sendAndSee("OA: ")) << logText();
    auto sent = lastSent();
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->DCS, 0x18);
    ASSERT_GE(sent->UserData.size(), 2u);
    EXPECT_EQ(sent->UserData.substr(0, 2), std::string("\x00\x01", 2)); // the leading character 0x01
}

struct TKindCase {
    int kind, type;
    const char *expected;
};

TEST_F(SendTest, EveryKindIsRecognisedOnTheWayBack)
{
    ui->vCardName->setText("Kestrel");
    ui->vCardPhone->setText("+4930123456");
    for (auto [x, y] : {std::pair{0, 0}, {1, 1}, {2, 2}})
        TogglePicturePixel(form->Picture(), x, y);
    form->Melody().Plus(TMelodyRow{1, 1, 2, 0, 8, 0, 7}, false, false);
    form->Melody().Plus(TMelodyRow{1, 5, 3, 0, 8, 0, 7}, false, false);
    const TKindCase cases[] = {
        {skSmart, stVCard, "SmartMessage:TSMvCard"},
        {skSmart, stLogo, "SmartMessage:TSMOperatorLogo"},
        {skSmart, stCLI, "SmartMessage:TSMCLIIcon"},
        {skSmart, stMelody, "SmartMessage:TSMRingingTone"},
        {skSmart, stPicture, "SmartMessage:TSMMultipartMessage"},
        {skEMS, etPictureSmall, "TEMSPictureSmall"},
        {skEMS, etAnimationSmall, "TEMSAnimationSmall"},
        {skEMS, etSound, "TEMSSoundUserDef"},
    };
    for (const auto &c : cases) {
        select(c.kind, c.type);
        if (c.type == stLogo)
            ui->PictureOperator->setCurrentIndex(ui->PictureOperator->findText("26201,\"D1\""));
        EXPECT_TRUE(sendAndSee(c.expected)) << c.expected << "\n" << logText();
    }
    EXPECT_TRUE(errors.isEmpty()) << logText();
}

// Text with the Greek capitals goes as 7-bit codes; the SMS log view shows them and a sender's
// name as the alphabet says, while the log file keeps its 8-bit form.
TEST_F(SendTest, GreekCapitalsAndSenderNamesInTheLogView)
{
    const QString greek = QString::fromUtf8("ΔΦΓΛΩΠΨΣΘΞ Grüße € ");
    ui->DCS->setCurrentIndex(1);
    ui->Message->setText(greek + QString(150, 'x')); // two segments, and the line of the whole text
    ASSERT_TRUE(sendAndSee("*text: ")) << logText();
    const auto sent = lastSent();
    ASSERT_TRUE(sent);
    EXPECT_EQ(SMSAlphabet(sent->DCS), TDCSAlphabet::da7Bit);
    // A sender "ΔHMOΣ" (Delta, Latin H M O, Sigma) as the network delivers it.
    log.clear();
    sim->DeliverPdu("0409D01064F3890100004250607080900007984A46037AAF01");
    for (int i = 0; i < 100 && log.empty(); ++i)
        QTest::qWait(50);
    ASSERT_FALSE(log.empty());
    ui->SMSLog->Flush();
    const QString shown = ui->SMSLog->toPlainText();
    EXPECT_TRUE(shown.contains(QString::fromUtf8("OA: ΔHMOΣ, PID: 00, UD: "))) << shown.toStdString();
    EXPECT_TRUE(shown.contains("*text: " + greek + "xxx")) << shown.toStdString();
    QFile file(QString::fromStdString(dm->SMSLogName));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("OA: \xB7HMO\xB7, PID: 00, UD: "));
}

TEST_F(SendTest, PictureWithoutTextAndTheReferenceWrap)
{
    select(skSmart, stPicture);
    ui->Message->clear();
    form->Composer().ReferenceCounter = 255;
    ASSERT_TRUE(sendAndSee("complete SmartMessage:TSMMultipartMessage")) << logText();
    bool sawFF = false;
    for (const auto &l : log)
        sawFF |= l.rfind("*ref:FF,", 0) == 0;
    EXPECT_TRUE(sawFF) << logText();
    // The multipart payload holds the picture alone: version 0x30, one item of type 2 (OTA
    // bitmap) with 256 octets, and nothing after it; three segments carry it.
    const auto sent = sim->SentMessages();
    ASSERT_EQ(sent.size(), 3u);
    auto first = CreateSMSFromPDU(nullptr, "00" + sent[0].tpdu, false);
    ASSERT_TRUE(first);
    EXPECT_EQ(StrToHex(first->UserData.substr(12, 4)), "30020100");
    size_t payload = 0;
    for (const auto &m : sent)
        payload += CreateSMSFromPDU(nullptr, "00" + m.tpdu, false)->UserData.size() - 12;
    EXPECT_EQ(payload, 1u + 3u + 256u);
    ASSERT_TRUE(sendAndSee("complete SmartMessage:TSMMultipartMessage")) << logText();
    bool saw00 = false;
    for (const auto &l : log)
        saw00 |= l.rfind("*ref:00,", 0) == 0;
    EXPECT_TRUE(saw00) << logText();
}

} // namespace
