// Composed messages of every kind go out through AT+CMGS to the virtual handset's own number,
// come back as deliveries into its storage, and are reassembled and recognised as the receiving
// application does: the smart message of the port, the EMS objects of the header, or the text.
#include "ptyclient.h"

#include "../engine/enginerig.h"

#include "connect/connection.h"
#include "gsm/sms.h"
#include "gsm/tpdufields.h"
#include "gsm/userdataprotocols.h"
#include "modemsim/modemsimulator.h"
#include "xsms/composer.h"
#include "xsms/ems.h"
#include "xsms/protocolstack.h"
#include "xsms/smartmessage.h"

#include <gtest/gtest.h>

#include <chrono>

namespace kestrel {
namespace {

QImage Pattern(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, (x * 3 + y) % 5 == 0 ? 0xFF000000 : 0xFFFFFFFF);
    return image;
}

class ComposerEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        TModemSimulatorOptions options;
        options.deliveryDelayMs = 10;
        sim = std::make_unique<TModemSimulator>(options);
        client = std::make_unique<test::TPtyClient>(sim->DevicePath());
        ASSERT_TRUE(client->IsOpen());
        ASSERT_NE(client->Command("AT+CMGF=0").find("OK"), std::string::npos);
        ASSERT_NE(client->Command("AT+CNMI=1,1,0,0,0").find("OK"), std::string::npos);
    }

    // Sends each message in PDU mode; the handset answers each with its reference.
    void Send(const std::vector<std::unique_ptr<TSMSSubmit>> &messages)
    {
        for (const auto &sms : messages) {
            const std::string pdu = sms->GetPDU();
            const size_t tpduLength = pdu.size() / 2 - 1; // without the empty service-centre field
            ASSERT_NE(client->Command("AT+CMGS=" + std::to_string(tpduLength)).find(">"), std::string::npos);
            client->Write(pdu + "\x1A");
            ASSERT_NE(client->ReadAnswer(5000).find("+CMGS:"), std::string::npos) << pdu;
        }
    }

    // The deliveries stored since the last call, oldest first, once Count of them are there.
    std::vector<std::unique_ptr<TSMS2>> Receive(size_t count)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::vector<TSimStoredMessage> stored;
        for (;;) {
            stored.clear();
            for (const auto &m : sim->StoredMessages())
                if (m.index > m_lastIndex && m.status == 0)
                    stored.push_back(m);
            if (stored.size() >= count || std::chrono::steady_clock::now() > deadline)
                break;
            sim->ClearTranscript();
            sim->WaitForSent("+CMTI", 200); // blocks until the next delivery is announced
        }
        std::vector<std::unique_ptr<TSMS2>> out;
        for (const auto &m : stored) {
            m_lastIndex = std::max(m_lastIndex, m.index);
            out.push_back(CreateSMSFromBytes(nullptr, std::string(1, '\0') + HexToStr(m.tpdu), true));
        }
        return out;
    }

    std::unique_ptr<TModemSimulator> sim;
    std::unique_ptr<test::TPtyClient> client;
    TMessageComposer composer;

private:
    int m_lastIndex = -1;
};

TEST_F(ComposerEndToEnd, EveryKindComesBackRecognised)
{
    struct Row {
        TMessageKind kind;
        const char *expected; // the smart message class, or the EMS class
    };
    const Row rows[] = {
        {TMessageKind::mkvCard, "TSMvCard"},
        {TMessageKind::mkPicture, "TSMMultipartMessage"},
        {TMessageKind::mkOperatorLogo, "TSMOperatorLogo"},
        {TMessageKind::mkCLIIcon, "TSMCLIIcon"},
        {TMessageKind::mkRingingTone, "TSMRingingTone"},
        {TMessageKind::mkEMSPictureSmall, "TEMSPictureSmall"},
        {TMessageKind::mkEMSPictureLarge, "TEMSPictureLarge"},
        {TMessageKind::mkEMSPictureVariable, "TEMSPictureVariable"},
        {TMessageKind::mkEMSAnimationSmall, "TEMSAnimationSmall"},
        {TMessageKind::mkEMSAnimationLarge, "TEMSAnimationLarge"},
        {TMessageKind::mkEMSMelody, "TEMSSoundUserDef"},
    };
    TSMSProtocolStack stack;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.expected);
        TMessageContent content;
        content.Kind = row.kind;
        content.Text = "Greetings from the composer, with a text that makes the large ones span two messages";
        content.vCardName = "Novak";
        content.vCardPhone = "+420602123456";
        content.Picture = Pattern(72, 28);
        content.Width = 72;
        content.Height = row.kind == TMessageKind::mkPicture ? 28 : 14;
        if (row.kind == TMessageKind::mkEMSPictureVariable) {
            content.Width = 40;
            content.Height = 12;
        }
        if (row.kind == TMessageKind::mkEMSAnimationSmall)
            content.Width = content.Height = 8;
        if (row.kind == TMessageKind::mkEMSAnimationLarge)
            content.Width = content.Height = 16;
        content.Operator = 23001;
        content.Melody = {"Tune", {TMelodyRow{2, 1, 2, 0, 8, 0, 7}, TMelodyRow{2, 5, 3, 1, 12, 0, 9}}};
        auto messages = composer.Compose(sim->OwnNumber(), content);
        Send(messages);
        auto received = Receive(messages.size());
        ASSERT_EQ(received.size(), messages.size());
        TSMSProtocol *protocol = nullptr;
        for (const auto &sms : received) {
            EXPECT_EQ(sms->UserData, messages[&sms - &received[0]]->UserData);
            ASSERT_TRUE(stack.AddSegment(sms.get(), protocol));
        }
        ASSERT_EQ(protocol->State(), kStateComplete);
        auto owned = stack.RemoveProtocol(protocol);
        std::string found;
        if (auto *ported = dynamic_cast<TSMSProtocol2 *>(owned.get())) {
            if (auto message = TSmartMessage::CreateFromPort(owned->Data(), ported->DestPort()))
                found = message->ClassName();
        }
        if (found.empty()) {
            auto *udh = dynamic_cast<TUDHProtocol *>(owned.get());
            ASSERT_TRUE(udh);
            TEMS ems;
            ems.LoadFromUDH(*udh);
            ASSERT_EQ(ems.Items.size(), 1u);
            found = ems.Items[0]->ClassName();
            EXPECT_EQ(udh->Data(), content.Text.toStdString());
            if (auto *picture = dynamic_cast<TEMSPicture *>(ems.Items[0].get())) {
                EXPECT_EQ(picture->Bitmap().pixel(5, 0), content.Picture.pixel(5, 0));
            }
        }
        EXPECT_EQ(found, row.expected);
    }
    EXPECT_EQ(stack.Count(), 0);
}

TEST_F(ComposerEndToEnd, LongAndUnicodeTextsComeBackWhole)
{
    const QString texts[] = {
        QString("Short and plain."),
        QString(150, 'x') + "{braces} and the euro \u20AC " + QString(200, 'y'),
        QString::fromUtf16(u"Пишу по-русски: ") + QString(100, QChar(0x0436)) +
            QString::fromUtf16(u"\U0001F600 end"),
    };
    TSMSProtocolStack stack;
    for (const QString &text : texts) {
        TMessageContent content;
        content.Text = text;
        auto messages = composer.Compose(sim->OwnNumber(), content);
        Send(messages);
        auto received = Receive(messages.size());
        ASSERT_EQ(received.size(), messages.size());
        QString back;
        if (messages.size() == 1) {
            back = QString::fromLatin1(GSMToText(received[0]->UserData));
        } else {
            TSMSProtocol *protocol = nullptr;
            for (const auto &sms : received)
                ASSERT_TRUE(stack.AddSegment(sms.get(), protocol));
            ASSERT_EQ(protocol->State(), kStateComplete);
            const std::string data = stack.RemoveProtocol(protocol)->Data();
            back = received[0]->DCS == 0xF2
                       ? QString::fromLatin1(GSMToText(data)).replace(QChar(0x80), QChar(0x20AC))
                       : QString::fromStdU16String(UCS2ToWide(data));
        }
        EXPECT_EQ(back, text);
    }
}

// The same through the engine: each message goes out with SendSMS, the deliveries are listed back
// from the handset's storage, reassembled and recognised, and deleted.
TEST(ComposerThroughEngine, EveryKindSentWithSendSMSComesBack)
{
    TModemSimulatorOptions options = test::Handset("M20");
    options.deliveryDelayMs = 10;
    test::TEngineRig rig(options);
    rig.gsm.SetSMSFormat(kSMSFormatPDU);
    rig.gsm.Open();
    TMessageComposer composer;
    const struct {
        TMessageKind kind;
        const char *expected;
    } rows[] = {
        {TMessageKind::mkText, ""},
        {TMessageKind::mkvCard, "TSMvCard"},
        {TMessageKind::mkPicture, "TSMMultipartMessage"},
        {TMessageKind::mkOperatorLogo, "TSMOperatorLogo"},
        {TMessageKind::mkCLIIcon, "TSMCLIIcon"},
        {TMessageKind::mkRingingTone, "TSMRingingTone"},
        {TMessageKind::mkEMSPictureLarge, "TEMSPictureLarge"},
        {TMessageKind::mkEMSAnimationSmall, "TEMSAnimationSmall"},
        {TMessageKind::mkEMSMelody, "TEMSSoundUserDef"},
    };
    TSMSProtocolStack stack;
    for (const auto &row : rows) {
        SCOPED_TRACE(static_cast<int>(row.kind));
        TMessageContent content;
        content.Kind = row.kind;
        content.Text = row.kind == TMessageKind::mkText ? QString(200, 'z') : QString("with a text");
        content.vCardName = "Novak";
        content.vCardPhone = "+420602123456";
        content.Picture = Pattern(72, 28);
        content.Width = row.kind == TMessageKind::mkEMSAnimationSmall ? 8 : 72;
        content.Height = row.kind == TMessageKind::mkPicture             ? 28
                         : row.kind == TMessageKind::mkEMSAnimationSmall ? 8
                                                                         : 14;
        content.Operator = 23001;
        content.Melody = {"Tune", {TMelodyRow{2, 1, 2, 0, 8, 0, 7}}};
        auto messages = composer.Compose(rig.sim.OwnNumber(), content, &rig.gsm);
        for (const auto &sms : messages)
            EXPECT_GE(rig.gsm.SendSMS(*sms), 0);
        ASSERT_TRUE(test::PumpUntil(
            [&] {
                size_t unread = 0;
                for (const auto &m : rig.sim.StoredMessages())
                    unread += m.status == 0;
                return unread >= messages.size();
            },
            5000));
        auto list = rig.gsm.ListSMS(0);
        ASSERT_EQ(list.size(), messages.size());
        TSMSProtocol *protocol = nullptr;
        for (const auto &entry : list) {
            ASSERT_TRUE(entry.Message);
            EXPECT_TRUE(stack.AddSegment(entry.Message.get(), protocol));
            rig.gsm.DeleteSMS(entry.Index);
        }
        ASSERT_TRUE(protocol);
        ASSERT_EQ(protocol->State(), kStateComplete);
        auto owned = stack.RemoveProtocol(protocol);
        std::string found;
        if (auto *ported = dynamic_cast<TSMSProtocol2 *>(owned.get())) {
            if (auto message = TSmartMessage::CreateFromPort(owned->Data(), ported->DestPort()))
                found = message->ClassName();
        }
        if (found.empty() && row.kind != TMessageKind::mkText) {
            auto *udh = dynamic_cast<TUDHProtocol *>(owned.get());
            ASSERT_TRUE(udh);
            TEMS ems;
            ems.LoadFromUDH(*udh);
            ASSERT_EQ(ems.Items.size(), 1u);
            found = ems.Items[0]->ClassName();
        }
        if (row.kind == TMessageKind::mkText) {
            EXPECT_EQ(owned->Data(), std::string(200, 'z'));
        }
        EXPECT_EQ(found, row.expected);
    }
    rig.gsm.Close();
}

} // namespace
} // namespace kestrel
