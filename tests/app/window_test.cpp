#include "app/gsmkestrelform.h"
#include "comm/comm.h"
#include "modemsim/modemsimulator.h"
#include "ui_gsmkestrelform.h"

#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

// The window on a data module whose port is a virtual handset's pseudo-terminal.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        SetLockDirectory(dir.path().toStdString());
        TModemSimulatorOptions options;
        options.equipment = "M1";
        options.deliveryDelayMs = 20;
        sim = std::make_unique<TModemSimulator>(options);
        dm = std::make_unique<TGSMDataModule>(dir.filePath("gsm.ini").toStdString(),
                                              dir.path().toStdString() + "/");
        dm->Comm1.SetDeviceName(sim->DevicePath());
        dm->GSM.SetRepeatTimeout(100);
        form = std::make_unique<TGSMKestrelForm>(*dm, QStringList{"gsm-kestrel"});
        form->ShowError = [this](const QString &m) { errors << m; };
        form->Confirm = [](const QString &) { return false; };
        ui = form->UI();
        form->show();
    }
    void TearDown() override
    {
        form.reset();
        dm.reset();
        sim.reset();
        SetLockDirectory("/var/lock");
    }
    void clickOn() { QTest::mouseClick(ui->SpeedButton3, Qt::LeftButton); }
    void clickOff() { QTest::mouseClick(ui->SpeedButton4, Qt::LeftButton); }
    std::string noErrors() const { return errors.join("; ").toStdString(); }

    QTemporaryDir dir;
    std::unique_ptr<TModemSimulator> sim;
    std::unique_ptr<TGSMDataModule> dm;
    std::unique_ptr<TGSMKestrelForm> form;
    Ui::GSMKestrelForm *ui = nullptr;
    QStringList errors;
};

TEST_F(WindowTest, OnAndOffFollowTheEngineState)
{
    ui->PageControl1->setCurrentIndex(1);
    EXPECT_TRUE(ui->DeviceNameEdit->isEnabled());
    EXPECT_EQ(ui->Semafor->property("ImageIndex").toInt(), 0);

    int pageDuringOpen = -1;
    dm->GSM.BeforeOpen = [&](TConnection *) {
        pageDuringOpen = ui->PageControl1->currentIndex();
        dm->GSMBeforeOpen();
    };
    clickOn();
    ASSERT_TRUE(dm->GSM.Active()) << noErrors();
    EXPECT_EQ(pageDuringOpen, 3);                   // the modem log during the action
    EXPECT_EQ(ui->PageControl1->currentIndex(), 1); // and the tab from before afterwards
    for (QWidget *w : {static_cast<QWidget *>(ui->DeviceNameEdit), static_cast<QWidget *>(ui->ModemComboBox),
                       static_cast<QWidget *>(ui->CatchSMSMT), static_cast<QWidget *>(ui->SMSLogButton)})
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_TRUE(ui->ConfigureGroupbox->isEnabled()); // its title stays readable
    EXPECT_EQ(ui->Semafor->property("ImageIndex").toInt(), 4);
    EXPECT_EQ(ui->IndNetRegStatus->property("ImageIndex").toInt(), 4); // registered, home network

    std::string info[4];
    for (int i = 0; i < 4; ++i)
        dm->GSM.GetModemInfo(i + 1, info[i]);
    EXPECT_EQ(ui->ManufacturerId->toPlainText().toStdString(),
              info[0] + "/" + info[1] + "\n" + info[2] + "\nS/N: " + info[3]);
    EXPECT_FALSE(info[0].empty());

    clickOff();
    EXPECT_FALSE(dm->GSM.Active());
    EXPECT_TRUE(ui->DeviceNameEdit->isEnabled());
    EXPECT_TRUE(ui->SMSLogButton->isEnabled());
    EXPECT_EQ(ui->Semafor->property("ImageIndex").toInt(), 0);
    EXPECT_TRUE(errors.isEmpty()) << noErrors();
}

TEST_F(WindowTest, SignalStrengthInDbm)
{
    QTest::mouseClick(ui->IndNetRegStatus, Qt::LeftButton);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(errors.front(), "Device is not active");
    errors.clear();

    clickOn();
    ASSERT_TRUE(dm->GSM.Active()) << noErrors();
    const std::pair<int, const char *> cases[] = {
        {99, "?"}, {31, "-51 dBm"}, {0, "-113 dBm"}, {20, "-73 dBm"}};
    for (auto [rssi, text] : cases) {
        sim->SetSignal(rssi);
        QTest::mouseClick(ui->IndNetRegStatus, Qt::LeftButton);
        EXPECT_EQ(ui->IndNetRegStatus->text().toStdString(), text) << rssi;
    }
    // The operator beside the signal; the M1 gives no access technology.
    EXPECT_EQ(ui->NetworkOperator->text(), "Kestrel Net");
    EXPECT_EQ(ui->NetworkOperator->toolTip(), "26299");
    sim->SetRegistration(0);
    QTRY_VERIFY_WITH_TIMEOUT(ui->NetworkOperator->text().isEmpty(), 3000);
    EXPECT_TRUE(errors.isEmpty()) << noErrors();
}

TEST_F(WindowTest, RegistrationChangesTheIndicator)
{
    clickOn();
    ASSERT_TRUE(dm->GSM.Active()) << noErrors();
    const std::pair<int, int> cases[] = {{5, 6}, {2, 2}, {0, 2}, {1, 4}};
    for (auto [status, image] : cases) {
        sim->SetRegistration(status);
        QTRY_COMPARE_WITH_TIMEOUT(ui->IndNetRegStatus->property("ImageIndex").toInt(), image, 3000);
    }
}

TEST_F(WindowTest, TypedCharactersGoToThePortWhichOnClosesFirst)
{
    ui->PageControl1->setCurrentIndex(3);
    ui->ModemLog->setFocus();
    QTest::keyClicks(ui->ModemLog, "ATI");
    QTest::keyClick(ui->ModemLog, Qt::Key_Return);
    EXPECT_TRUE(sim->WaitForCommand("ATI", 3000)) << noErrors();
    EXPECT_TRUE(dm->Comm1.Active());
    // The answer shows in the view.
    QTRY_VERIFY_WITH_TIMEOUT((ui->ModemLog->Flush(), ui->ModemLog->toPlainText().contains("OK")), 3000);

    clickOn();
    EXPECT_TRUE(dm->GSM.Active()) << noErrors();
    EXPECT_TRUE(errors.isEmpty()) << noErrors();
    // While the engine is open, typing goes through the same port.
    sim->ClearTranscript();
    QTest::keyClicks(ui->ModemLog, "AT+CGMI");
    QTest::keyClick(ui->ModemLog, Qt::Key_Return);
    EXPECT_TRUE(sim->WaitForCommand("AT+CGMI", 3000));
    // And after logging out, the answers still show.
    clickOff();
    sim->ClearTranscript();
    QTest::keyClicks(ui->ModemLog, "AT+CGMM");
    QTest::keyClick(ui->ModemLog, Qt::Key_Return);
    EXPECT_TRUE(sim->WaitForCommand("AT+CGMM", 3000)) << noErrors();
    QTRY_VERIFY_WITH_TIMEOUT((ui->ModemLog->Flush(), ui->ModemLog->toPlainText().contains("\nM1")), 3000);
    // Logging in again works on the same port.
    clickOn();
    EXPECT_TRUE(dm->GSM.Active()) << noErrors();
    EXPECT_TRUE(errors.isEmpty()) << noErrors();
}

TEST_F(WindowTest, UncheckedLogBoxesGiveNone)
{
    const std::string smsLog = dm->SMSLogName;
    QTest::mouseClick(ui->SMSLOGCheckBox, Qt::LeftButton, {}, QPoint(5, ui->SMSLOGCheckBox->height() / 2));
    EXPECT_FALSE(ui->SMSLOGCheckBox->isChecked());
    EXPECT_FALSE(ui->SMSLogButton->isEnabled());
    ui->ModemComboBox->setCurrentIndex(eqM1);
    clickOn();
    ASSERT_TRUE(dm->GSM.Active()) << noErrors();
    EXPECT_EQ(dm->SMSLogName, "<none>");
    EXPECT_NE(dm->GSMLogName, "<none>");
    EXPECT_EQ(form->windowTitle(), "GSM Kestrel [Siemens M1]");
    clickOff();
    // Checking it again brings the file back.
    QTest::mouseClick(ui->SMSLOGCheckBox, Qt::LeftButton, {}, QPoint(5, ui->SMSLOGCheckBox->height() / 2));
    clickOn();
    EXPECT_TRUE(dm->GSM.Active()) << noErrors();
    EXPECT_EQ(dm->SMSLogName, smsLog);
}

TEST_F(WindowTest, ControlsAndEngineCarryTheSameSettings)
{
    dm->GSM.SetPIN("1234");
    dm->GSM.SetEquipment(eqTC35); // a handset with text mode
    dm->GSM.SetSMSFormat(1);
    dm->GSM.SetUnsolicitedIndication(Bit(uindSMSDeliver) | Bit(uindOnlyIndication));
    form->EngineToControls();
    EXPECT_EQ(ui->PinEdit->text(), "1234");
    EXPECT_EQ(ui->SMSFormat->currentIndex(), 1);
    EXPECT_TRUE(ui->CatchSMSMT->isChecked());
    EXPECT_FALSE(ui->CatchSMSCB->isChecked());
    EXPECT_FALSE(ui->CatchSMSDS->isChecked());
    EXPECT_TRUE(ui->OnlyIndication->isChecked());
    EXPECT_EQ(ui->DeviceNameEdit->text().toStdString(), sim->DevicePath());

    ui->CatchSMSDS->setChecked(true);
    ui->CatchSMSCB->setChecked(true);
    ui->OnlyIndication->setChecked(false);
    ui->ModemComboBox->setCurrentIndex(eqM35);
    ui->SMSFormat->setCurrentIndex(0);
    ui->SCAEdit->setText("+49171076000");
    form->ControlsToEngine();
    EXPECT_EQ(dm->GSM.UnsolicitedIndication(),
              Bit(uindSMSDeliver) | Bit(uindSMSStatusReport) | Bit(uindCellBroadcast));
    EXPECT_EQ(dm->GSM.Equipment(), eqM35);
    EXPECT_EQ(dm->GSM.SMSFormat(), 0);
    EXPECT_EQ(dm->GSM.SCA(), "+49171076000");
    EXPECT_EQ(form->windowTitle(), "GSM Kestrel [Siemens M35]");
}

struct TKindCase {
    int kind, type;
    bool type2Enabled, picture, vcard, melody, message, operatorList, sizeEdits, dcs;
    const char *animations;
};

TEST_F(WindowTest, KindAndTypeDecideWhatIsShown)
{
    ui->PageControl1->setCurrentIndex(1);
    const TKindCase cases[] = {
        {skText, 0, false, false, false, false, true, false, true, true, nullptr},
        {skSmart, stPicture, true, true, false, false, true, false, true, false, "0"},
        {skSmart, stVCard, true, false, true, false, false, false, true, false, "0"},
        {skSmart, stLogo, true, true, false, false, false, true, true, false, "0"},
        {skSmart, stCLI, true, true, false, false, false, false, true, false, "0"},
        {skSmart, stMelody, true, false, false, true, false, false, true, false, "0"},
        {skEMS, etPictureSmall, true, true, false, false, true, false, false, false, "1"},
        {skEMS, etPictureVariable, true, true, false, false, true, false, true, false, "1"},
        {skEMS, etAnimationLarge, true, true, false, false, true, false, false, false, "4"},
        {skEMS, etSound, true, false, false, true, true, false, false, false, nullptr},
        {skText, 0, false, false, false, false, true, false, true, true, nullptr},
    };
    for (const auto &c : cases) {
        ui->SMSKind->setCurrentIndex(c.kind);
        ui->SMSKind2->setCurrentIndex(c.type);
        const std::string where = std::to_string(c.kind) + "/" + std::to_string(c.type);
        EXPECT_EQ(ui->SMSKind2->isEnabled(), c.type2Enabled) << where;
        EXPECT_EQ(ui->PictureGB->isVisible(), c.picture) << where;
        EXPECT_EQ(ui->vCardGB->isVisible(), c.vcard) << where;
        EXPECT_EQ(ui->MelodyGB->isVisible(), c.melody) << where;
        EXPECT_EQ(ui->Message->isEnabled(), c.message) << where;
        EXPECT_EQ(ui->Blink->isEnabled(), c.message) << where;
        EXPECT_EQ(ui->DCS->isEnabled(), c.dcs) << where;
        EXPECT_EQ(ui->DeliveryNotification->isEnabled(), c.dcs) << where;
        if (c.picture) {
            EXPECT_EQ(ui->PictureOperator->isEnabled(), c.operatorList) << where;
            EXPECT_EQ(ui->PictureWidth->isEnabled(), c.sizeEdits) << where;
            EXPECT_FALSE(ui->PictureNumAnimations->isEnabled()) << where;
        }
        if (c.animations) {
            EXPECT_EQ(ui->PictureNumAnimations->text(), c.animations) << where;
        }
    }
    EXPECT_EQ(ui->SMSKind2->count(), 1);
    ui->SMSKind->setCurrentIndex(skEMS);
    EXPECT_EQ(ui->SMSKind2->count(), 6);
    EXPECT_EQ(ui->SMSKind2->itemText(2), "Picture (variable)");
}

TEST_F(WindowTest, BlinkMarksTheSelection)
{
    ui->Message->setText("one two three");
    ui->Message->setSelection(4, 3);
    QTest::mouseClick(ui->Blink, Qt::LeftButton);
    EXPECT_EQ(ui->Message->text(), QString("one ") + QChar(0x0165) + "two" + QChar(0x0164) + " three");
    const QString before = ui->Message->text();
    ui->Message->deselect();
    QTest::mouseClick(ui->Blink, Qt::LeftButton);
    EXPECT_EQ(ui->Message->text(), before); // nothing selected: nothing marked
}

// The USSD line of the Modem tab: a balance code answered, the network's two-level menus answered
// in the default alphabet and in UCS2, a session ended by the user, a code the network refuses,
// and a line that needs the handset logged in.
bool USSDSessionOpen(const Ui::GSMKestrelForm *ui)
{
    EXPECT_EQ(ui->USSDReply->isEnabled(), ui->USSDEnd->isEnabled());
    EXPECT_EQ(ui->USSDReply->isEnabled(), ui->USSDReplyButton->isEnabled());
    return ui->USSDReplyButton->isEnabled();
}

std::string USSDAnswer(const Ui::GSMKestrelForm *ui)
{
    return ui->USSDAnswer->toPlainText().toStdString();
}

TEST_F(WindowTest, CodesAndMenusAreAnsweredInTheLine)
{
    clickOn();
    ASSERT_TRUE(dm->GSM.Active()) << noErrors();
    form->USSDTimeoutMs = 5000;
    struct TStep {
        const char *code;  // typed into the code field
        const char *reply; // or into the reply field (code nullptr)
        const char *answer;
        bool open; // the network asks for an answer afterwards
    };
    const TStep steps[] = {
        {"*100#", nullptr, "Balance 12.50 EUR, valid until 31.12.2026", false},
        {"*101#", nullptr, "Menu:\n1 Data packs\n2 My number", true},
        {nullptr, "1", "Data packs:\n1 1 GB 5.00 EUR\n2 5 GB 15.00 EUR", true},
        {nullptr, "2", "Pack booked. Balance 7.50 EUR", false},
        {"*102#", nullptr, "Меню:\n1 Пакеты данных\n2 Мой номер", true},
        {nullptr, "2", "Ваш номер +491710000001", false},
        {"*999#", nullptr, "The network answered 4 (not supported)", false},
    };
    for (const TStep &s : steps) {
        SCOPED_TRACE(s.code ? s.code : s.reply);
        if (s.code) {
            ui->USSDCode->setText(QString::fromUtf8(s.code));
            QTest::mouseClick(ui->USSDSend, Qt::LeftButton);
        } else {
            ASSERT_TRUE(USSDSessionOpen(ui));
            ui->USSDReply->setText(s.reply);
            QTest::mouseClick(ui->USSDReplyButton, Qt::LeftButton);
            EXPECT_TRUE(ui->USSDReply->text().isEmpty());
        }
        EXPECT_EQ(USSDAnswer(ui), s.answer);
        EXPECT_EQ(USSDSessionOpen(ui), s.open);
    }
    EXPECT_TRUE(errors.isEmpty()) << noErrors();
}

TEST_F(WindowTest, EndSessionLeavesTheMenu)
{
    clickOn();
    ASSERT_TRUE(dm->GSM.Active()) << noErrors();
    form->USSDTimeoutMs = 5000;
    ui->USSDCode->setText("*101#");
    QTest::mouseClick(ui->USSDSend, Qt::LeftButton);
    ASSERT_TRUE(USSDSessionOpen(ui)) << noErrors();
    sim->ClearTranscript();
    QTest::mouseClick(ui->USSDEnd, Qt::LeftButton);
    EXPECT_TRUE(sim->WaitForCommand("AT+CUSD=2", 3000));
    EXPECT_FALSE(USSDSessionOpen(ui));
    // The menu is left: "1" is a code of its own now, which the network does not know.
    ui->USSDCode->setText("1");
    QTest::mouseClick(ui->USSDSend, Qt::LeftButton);
    EXPECT_EQ(USSDAnswer(ui), "The network answered 4 (not supported)");
    EXPECT_TRUE(errors.isEmpty()) << noErrors();
}

TEST_F(WindowTest, NeedsAnActiveHandsetAndACode)
{
    ui->USSDCode->setText("*100#");
    QTest::mouseClick(ui->USSDSend, Qt::LeftButton);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(errors.front(), "Device is not active");
    clickOn();
    ASSERT_TRUE(dm->GSM.Active()) << noErrors();
    form->USSDTimeoutMs = 5000;
    errors.clear();
    ui->USSDCode->clear();
    QTest::mouseClick(ui->USSDSend, Qt::LeftButton);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(errors.front(), "Enter a USSD code, such as *100#");
    // The menu's session ends with the handset's.
    errors.clear();
    ui->USSDCode->setText("*101#");
    QTest::mouseClick(ui->USSDSend, Qt::LeftButton);
    ASSERT_TRUE(USSDSessionOpen(ui)) << noErrors();
    QTest::mouseClick(ui->SpeedButton4, Qt::LeftButton);
    EXPECT_FALSE(dm->GSM.Active());
    EXPECT_FALSE(USSDSessionOpen(ui));
}

} // namespace
