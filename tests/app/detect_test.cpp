// The Detect button under the offscreen platform: the search runs off the GUI thread, its
// results are offered in a dialog, and the modem picked fills in device, type and mode.
#include "app/detectdialog.h"
#include "app/gsmkestrelform.h"
#include "comm/comm.h"
#include "modemsim/modemsimulator.h"
#include "ui_gsmkestrelform.h"

#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

class DetectButton : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        SetLockDirectory(dir.path().toStdString());
        dm = std::make_unique<TGSMDataModule>(dir.filePath("gsm.ini").toStdString(),
                                              dir.path().toStdString() + "/");
        dm->GSM.SetRepeatTimeout(100);
        form = std::make_unique<TGSMKestrelForm>(*dm, QStringList{"gsm-kestrel"});
        form->ShowError = [this](const QString &m) { errors << m; };
        // Only the devices of the test: the machine's own ports are none of its business.
        form->ListDevices = [] { return std::vector<TSerialDevice>{}; };
        ui = form->UI();
        form->show();
    }
    void TearDown() override
    {
        form.reset();
        dm.reset();
        SetLockDirectory("/var/lock");
    }
    // Clicks Detect and waits for the dialog with the results.
    TDetectDialog *Detect()
    {
        QTest::mouseClick(ui->DetectButton, Qt::LeftButton);
        // The click came back while the search runs on its own thread.
        EXPECT_TRUE(form->Detecting());
        EXPECT_FALSE(ui->DetectButton->isEnabled());
        TDetectDialog *dialog = nullptr;
        for (int i = 0; i < 200 && !dialog; ++i) {
            QTest::qWait(50);
            dialog = form->findChild<TDetectDialog *>();
        }
        return dialog;
    }
    std::unique_ptr<TModemSimulator> Simulator(const char *equipment)
    {
        TModemSimulatorOptions o;
        o.equipment = equipment;
        return std::make_unique<TModemSimulator>(o);
    }

    QTemporaryDir dir;
    std::unique_ptr<TGSMDataModule> dm;
    std::unique_ptr<TGSMKestrelForm> form;
    Ui::GSMKestrelForm *ui = nullptr;
    QStringList errors;
};

TEST_F(DetectButton, FoundModemFillsInDeviceAndTypeAndLogsIn)
{
    auto generic = Simulator("Generic");
    auto silent = Simulator("Generic");
    silent->SetSilent(true);
    form->ExtraDetectDevices = {generic->DevicePath(), silent->DevicePath()};
    // The port left open by typing into the modem log would lock the device against the search.
    dm->Comm1.SetDeviceName(generic->DevicePath());
    dm->Comm1.Open();
    ui->DeviceNameEdit->setText("/dev/ttyS0");
    ASSERT_EQ(ui->ModemComboBox->currentIndex(), eqM1);

    TDetectDialog *dialog = Detect();
    ASSERT_NE(dialog, nullptr) << errors.join("; ").toStdString();
    EXPECT_FALSE(form->Detecting());
    EXPECT_TRUE(ui->DetectButton->isEnabled());
    QTreeWidget *list = dialog->List();
    ASSERT_EQ(list->topLevelItemCount(), 2);
    const QTreeWidgetItem *found = list->topLevelItem(0);
    EXPECT_EQ(found->text(0).toStdString(), generic->DevicePath());
    EXPECT_EQ(found->text(1), "Kestrel Wireless KW-L400");
    EXPECT_EQ(found->text(2), "Generic");
    const QTreeWidgetItem *mute = list->topLevelItem(1);
    EXPECT_TRUE(mute->text(3).startsWith("no answer to AT")) << mute->text(3).toStdString();
    EXPECT_FALSE(mute->flags() & Qt::ItemIsSelectable);
    if (const char *shots = getenv("KESTREL_SCREENSHOT_DIR")) {
        EXPECT_TRUE(dialog->grab().save(QString(shots) + "/detect.png"));
    }
    // The modem is chosen already; Use takes it.
    ASSERT_NE(dialog->Selected(), nullptr);
    EXPECT_EQ(dialog->Selected()->device, generic->DevicePath());
    QTest::mouseClick(dialog->UseButton(), Qt::LeftButton);
    QTest::qWait(20);

    EXPECT_EQ(ui->DeviceNameEdit->text().toStdString(), generic->DevicePath());
    EXPECT_EQ(ui->ModemComboBox->currentIndex(), eqGeneric);
    EXPECT_EQ(ui->ModemComboBox->currentText(), "Generic");
    EXPECT_EQ(ui->SMSFormat->currentIndex(), kSMSFormatPDU);
    // And the window logs in with what was filled in.
    QTest::mouseClick(ui->SpeedButton3, Qt::LeftButton);
    ASSERT_TRUE(dm->GSM.Active()) << errors.join("; ").toStdString();
    EXPECT_EQ(dm->GSM.Equipment(), eqGeneric);
    EXPECT_EQ(dm->GSM.NetworkRegistration(), 1);
    EXPECT_FALSE(ui->DetectButton->isEnabled()); // part of the configuration, locked while logged in
    QTest::mouseClick(ui->SpeedButton4, Qt::LeftButton);
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
}

TEST_F(DetectButton, TextOnlyModemSwitchesToTextModeAndCancelChangesNothing)
{
    auto nokia = Simulator("Nokia9110");
    form->ExtraDetectDevices = {nokia->DevicePath()};
    ui->DeviceNameEdit->setText("/dev/ttyS0");

    TDetectDialog *dialog = Detect();
    ASSERT_NE(dialog, nullptr);
    dialog->reject();
    QTest::qWait(20);
    EXPECT_EQ(ui->DeviceNameEdit->text(), "/dev/ttyS0");
    EXPECT_EQ(ui->ModemComboBox->currentIndex(), eqM1);

    dialog = Detect();
    ASSERT_NE(dialog, nullptr);
    dialog->accept();
    QTest::qWait(20);
    EXPECT_EQ(ui->DeviceNameEdit->text().toStdString(), nokia->DevicePath());
    EXPECT_EQ(ui->ModemComboBox->currentIndex(), eqNokia9110);
    EXPECT_EQ(ui->SMSFormat->currentIndex(), kSMSFormatText);
}

TEST_F(DetectButton, NothingFoundSaysSo)
{
    TDetectDialog *dialog = Detect();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->List()->topLevelItemCount(), 0);
    EXPECT_EQ(dialog->Selected(), nullptr);
    EXPECT_FALSE(dialog->UseButton()->isEnabled());
    dialog->reject();
}

} // namespace
