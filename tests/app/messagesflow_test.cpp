#include "app/gsmkestrelform.h"
#include "app/messagesview.h"
#include "app/pictureeditor.h"
#include "app/welcomemessages.h"
#include "comm/comm.h"
#include "modemsim/modemsimulator.h"
#include "ui_gsmkestrelform.h"

#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

// The window with its data module and store on the virtual handset over a pseudo-terminal: what
// the handset holds and receives shows in the Messages tab, and replies go out from there.
class MessagesFlowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        SetLockDirectory(dir.path().toStdString());
        TModemSimulatorOptions options;
        options.equipment = "M20";
        // The network answers after the send has finished and recorded its reference: a status
        // report the store gets before that matches nothing.
        options.deliveryDelayMs = 400;
        sim = std::make_unique<TModemSimulator>(options);
        dm = std::make_unique<TGSMDataModule>(dir.filePath("gsm.ini").toStdString(),
                                              dir.path().toStdString() + "/");
        dm->Comm1.SetDeviceName(sim->DevicePath());
        dm->GSM.SetEquipment(eqM20);
        form = std::make_unique<TGSMKestrelForm>(*dm, QStringList{"gsm-kestrel"});
        form->ShowError = [this](const QString &m) { errors << m; };
        form->Confirm = [](const QString &) { return true; };
        ui = form->UI();
        view = form->MessagesView();
        view->Notifier.reset();
        form->resize(1000, 760);
        form->show();
        ui->CatchSMSMT->setChecked(true);
        ui->CatchSMSDS->setChecked(true);
        ui->OnlyIndication->setChecked(false);
        ui->AutoShowModemLog->setChecked(false);
    }
    void TearDown() override
    {
        form.reset();
        dm.reset();
        sim.reset();
        SetLockDirectory("/var/lock");
    }
    template <class F>
    bool waitFor(F condition, int ms = 10000)
    {
        for (int waited = 0; waited < ms; waited += 20) {
            if (condition())
                return true;
            QTest::qWait(20);
        }
        return condition();
    }
    QString title(int row) const
    {
        return view->Thread().index(row).data(TThreadModel::TitleRole).toString();
    }
    int rowTitled(const QString &prefix) const
    {
        for (int row = 0; row < view->Thread().rowCount(); ++row)
            if (title(row).startsWith(prefix))
                return row;
        return -1;
    }

    QTemporaryDir dir;
    std::unique_ptr<TModemSimulator> sim;
    std::unique_ptr<TGSMDataModule> dm;
    std::unique_ptr<TGSMKestrelForm> form;
    Ui::GSMKestrelForm *ui = nullptr;
    TMessagesView *view = nullptr;
    QStringList errors;
};

TEST_F(MessagesFlowTest, TheTabComesAfterTheFourTabs)
{
    QStringList tabs;
    for (int i = 0; i < ui->PageControl1->count(); ++i)
        tabs << ui->PageControl1->tabText(i);
    EXPECT_EQ(tabs, QStringList({"Modem", "SMS", "SMS log", "Modem log", "Messages"}));
    EXPECT_EQ(ui->PageControl1->widget(4), view);
    EXPECT_EQ(ui->PageControl1->currentIndex(), 0);
}

TEST_F(MessagesFlowTest, StoredMessagesShowAndARepliedTextComesBackDelivered)
{
    const int segments = StoreWelcomeMessages(*sim, sim->OwnNumber());
    ASSERT_GT(segments, 8);
    ui->PageControl1->setCurrentWidget(view);
    QTest::mouseClick(ui->SpeedButton3, Qt::LeftButton);
    const int contents = static_cast<int>(WelcomeContents().size());
    ASSERT_TRUE(waitFor([&] { return view->Thread().rowCount() == contents; }))
        << view->Thread().rowCount() << " " << errors.join("; ").toStdString();
    ASSERT_EQ(view->Conversations().rowCount(), 1);
    EXPECT_EQ(view->CurrentPeer(), sim->OwnNumber());
    // Read now that it is on screen in the active window... or still unread where the window is
    // not active (offscreen windows may never be): either way the count is that of the thread.
    const int unread = view->Conversations().index(0).data(TConversationModel::UnreadRole).toInt();
    EXPECT_TRUE(unread == 0 || unread == contents) << unread;

    EXPECT_GE(rowTitled("Picture message"), 0);
    EXPECT_GE(rowTitled("Operator logo "), 0);
    EXPECT_GE(rowTitled("EMS animation"), 0);
    EXPECT_GE(rowTitled("Ringing tone \"Kestrel\""), 0);
    EXPECT_GE(rowTitled("vCard"), 0);
    bool cyrillic = false;
    for (int row = 0; row < view->Thread().rowCount(); ++row)
        cyrillic |= view->Thread()
                        .index(row)
                        .data(TThreadModel::TextRole)
                        .toString()
                        .startsWith(QString::fromUtf8("Привет!"));
    EXPECT_TRUE(cyrillic);
    const int animation = rowTitled("EMS animation");
    EXPECT_EQ(view->Thread().index(animation).data(TThreadModel::FrameCountRole).toInt(), 4);

    // A reply goes out through the engine, comes back from the network, and its status report
    // turns it delivered.
    view->ReplyField()->setText(QString::fromUtf8("Ping – back"));
    EXPECT_EQ(view->ReplyCounter()->text(), "11 characters, 1 message");
    QTest::mouseClick(view->ReplyButton(), Qt::LeftButton);
    EXPECT_TRUE(view->ReplyField()->text().isEmpty());
    auto find = [this](bool outgoing) {
        for (int row = 0; row < view->Thread().rowCount(); ++row) {
            const QModelIndex i = view->Thread().index(row);
            if (i.data(TThreadModel::OutgoingRole).toBool() == outgoing &&
                i.data(TThreadModel::TextRole).toString() == QString::fromUtf8("Ping – back"))
                return row;
        }
        return -1;
    };
    ASSERT_TRUE(waitFor([&] { return find(true) >= 0 && find(false) >= 0; }))
        << view->Thread().rowCount() << " " << errors.join("; ").toStdString();
    ASSERT_TRUE(waitFor([&] {
        return view->Thread().index(find(true)).data(TThreadModel::StatusRole).toString() == "delivered";
    })) << view->Thread().index(find(true)).data(TThreadModel::StatusRole).toString().toStdString();
    auto sent = sim->SentMessages();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().destination, sim->OwnNumber());
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
}

TEST_F(MessagesFlowTest, PicturesAndMelodiesOpenInTheEditors)
{
    StoreWelcomeMessages(*sim, sim->OwnNumber());
    QTest::mouseClick(ui->SpeedButton3, Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return rowTitled("Ringing tone") >= 0 && rowTitled("Operator logo") >= 0; }));

    const int logo = rowTitled("Operator logo");
    const TMessagePicture logoPicture = view->Thread().Rendered(logo).Pictures.at(0);
    emit view->Delegate().ActionTriggered(logo, TMessageAction::maOpenPicture, 0);
    EXPECT_EQ(ui->PageControl1->currentIndex(), 1);
    EXPECT_EQ(ui->SMSKind->currentIndex(), skSmart);
    EXPECT_EQ(ui->SMSKind2->currentIndex(), stLogo);
    EXPECT_EQ(ui->PictureWidth->text(), "72");
    EXPECT_EQ(ui->PictureHeight->text(), "14");
    EXPECT_TRUE(ui->PictureOperator->currentText().startsWith("26201,"));
    for (int y = 0; y < 14; ++y)
        for (int x = 0; x < 72; ++x)
            ASSERT_EQ(PicturePixelSet(form->Picture(), x, y),
                      (logoPicture.Frames[0].pixel(x, y) & 0xFFFFFF) == 0)
                << x << "," << y;

    const int animation = rowTitled("EMS animation");
    emit view->Delegate().ActionTriggered(animation, TMessageAction::maOpenPicture, 0);
    EXPECT_EQ(ui->SMSKind->currentIndex(), skEMS);
    EXPECT_EQ(ui->SMSKind2->currentIndex(), etAnimationSmall);
    EXPECT_EQ(form->PictureFrameCount(), 4);

    ui->PageControl1->setCurrentWidget(view);
    const int tone = rowTitled("Ringing tone");
    emit view->Delegate().ActionTriggered(tone, TMessageAction::maOpenMelody, -1);
    EXPECT_EQ(ui->PageControl1->currentIndex(), 1);
    EXPECT_EQ(ui->SMSKind2->currentIndex(), stMelody);
    EXPECT_EQ(ui->MelodyName->text(), "Kestrel");
    EXPECT_EQ(form->Melody().RowCount() - 2, 8); // the data rows, without header and pending row
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
}

} // namespace
