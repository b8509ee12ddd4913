#include "xsms/composer.h"

#include "connect/connection.h"
#include "gsm/gsmerror.h"
#include "gsm/sms.h"
#include "gsm/tpdufields.h"
#include "gsm/userdataprotocols.h"
#include "xsms/ems.h"
#include "xsms/otabitmap.h"
#include "xsms/ringtone.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

std::string Bytes(std::initializer_list<int> octets)
{
    std::string s;
    for (int o : octets)
        s += static_cast<char>(o);
    return s;
}

QImage Checker(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, (x + y) % 3 == 0 ? 0xFF000000 : 0xFFFFFFFF);
    return image;
}

bool UDHI(const TSMSSubmit &s)
{
    return s.FirstOctetBit(6);
}

// Every segment offered to one protocol object, as the receiving stack does.
template <class P>
std::unique_ptr<P> Reassemble(const std::vector<std::unique_ptr<TSMSSubmit>> &segments)
{
    auto protocol = std::make_unique<P>();
    for (const auto &s : segments)
        EXPECT_EQ(protocol->Decode(s->UserData), kDecodeAccepted);
    EXPECT_EQ(protocol->State(), kStateComplete);
    return protocol;
}

// ---- text

TEST(ComposerText, OneMessageSevenBitWithClassAndReport)
{
    TMessageComposer composer;
    TMessageContent content;
    content.Text = "Hello {world} \u20AC";
    content.MessageClass = 1;
    content.StatusReport = true;
    auto out = composer.Compose("+420123", content);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->DA, "+420123");
    EXPECT_EQ(out[0]->DCS, 0xF1);
    EXPECT_EQ(out[0]->UserData, TextToGSM("Hello {world} \x80"));
    EXPECT_TRUE(out[0]->FirstOctetBit(5));
    EXPECT_FALSE(UDHI(*out[0]));
    EXPECT_EQ(composer.ReferenceCounter, 0u); // one message uses no reference
}

TEST(ComposerText, LongTextIsConcatenatedNotCut)
{
    TMessageComposer composer;
    composer.ReferenceCounter = 0x1FF; // the low octet goes on the wire
    TMessageContent content;
    QString text;
    for (int i = 0; i < 400; ++i)
        text += QChar('a' + i % 26);
    content.Text = text;
    EXPECT_EQ(composer.MessageCount(content), 3);
    auto out = composer.Compose("123", content);
    ASSERT_EQ(out.size(), 3u);
    std::string joined;
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i]->DCS, 0xF2);
        EXPECT_TRUE(UDHI(*out[i]));
        EXPECT_EQ(out[i]->UserData.substr(0, 6), Bytes({5, 0, 3, 0xFF, 3, static_cast<int>(i + 1)}));
        joined += out[i]->UserData.substr(6);
        // The model packs header, fill bits and codes within the 160 septets.
        EXPECT_EQ(UnpackUserData(out[i]->EncodeUserData(), true, true), out[i]->UserData);
    }
    EXPECT_EQ(out[0]->UserData.size(), 6u + 153u);
    EXPECT_EQ(joined, TextToGSM(text.toStdString()));
    EXPECT_EQ(composer.ReferenceCounter, 0x200u);
    // The next payload wraps to reference 0.
    EXPECT_EQ(static_cast<uint8_t>(composer.Compose("123", content)[0]->UserData[3]), 0);
}

TEST(ComposerText, MoreThan255SegmentsIsRefused)
{
    TMessageComposer composer;
    TMessageContent content;
    content.Text = QString(255 * 153, 'a');
    EXPECT_EQ(composer.MessageCount(content), 255);
    content.Text += "b";
    EXPECT_THROW(composer.MessageCount(content), EGSMError);
    EXPECT_THROW(composer.Compose("1", content), EGSMError);
    EXPECT_EQ(composer.ReferenceCounter, 0u);
}

// What may be sent where: the destination is a number, the message has something in it. Compose
// refuses the same with the same words, and then advances nothing.
TEST(ComposerRefusal, DestinationsAndEmptyMessages)
{
    auto text = [](const char *t) {
        TMessageContent c;
        c.Text = QString::fromUtf8(t);
        return c;
    };
    TMessageContent ucs2 = text("");
    ucs2.Kind = TMessageKind::mkUCS2Text;
    TMessageContent card;
    card.Kind = TMessageKind::mkvCard;
    TMessageContent cardWithPhone = card;
    cardWithPhone.vCardPhone = "+4917012345";
    TMessageContent picture;
    picture.Kind = TMessageKind::mkPicture;
    picture.Picture = Checker(72, 28);
    picture.Width = 72;
    picture.Height = 28;
    const struct {
        std::string to;
        TMessageContent content;
        const char *refusal; // "" when it may go
    } rows[] = {
        {"+491710000001", text("Hi"), ""},
        {"01710000001", text("Hi"), ""},
        {"#01710000001", text("Hi"), ""},
        {"1", text(" "), ""},
        {"+12345678901234567890", text("Hi"), ""},
        {"+123456789012345678901", text("Hi"),
         "the destination \"+123456789012345678901\" has more than 20 digits"},
        {"", text("Hi"), "no destination number given"},
        {"abc", text("Hi"),
         "the destination \"abc\" is no phone number (digits, with + in front of an international one)"},
        {"Bank", text("Hi"),
         "the destination \"Bank\" is no phone number (digits, with + in front of an international one)"},
        {"+", text("Hi"),
         "the destination \"+\" is no phone number (digits, with + in front of an international one)"},
        {"++49171", text("Hi"),
         "the destination \"++49171\" is no phone number (digits, with + in front of an international one)"},
        {"+49 171", text("Hi"),
         "the destination \"+49 171\" is no phone number (digits, with + in front of an international one)"},
        {"0171-1234", text("Hi"),
         "the destination \"0171-1234\" is no phone number (digits, with + in front of an international "
         "one)"},
        {"4917*", text("Hi"),
         "the destination \"4917*\" is no phone number (digits, with + in front of an international one)"},
        {"4917+", text("Hi"),
         "the destination \"4917+\" is no phone number (digits, with + in front of an international one)"},
        {"+491710000001", text(""), "the message is empty: give it a text"},
        {"+491710000001", ucs2, "the message is empty: give it a text"},
        {"+491710000001", card, "the vCard is empty: give it a name or a number"},
        {"+491710000001", cardWithPhone, ""},
        {"+491710000001", picture, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.to + " / " + row.content.Text.toStdString());
        EXPECT_EQ(OutgoingRefusal(row.to, row.content), row.refusal);
        TMessageComposer composer;
        if (*row.refusal) {
            try {
                composer.Compose(row.to, row.content);
                ADD_FAILURE() << "composed";
            } catch (const EGSMError &e) {
                EXPECT_STREQ(e.what(), row.refusal);
            }
            EXPECT_EQ(composer.ReferenceCounter, 0u);
        } else {
            EXPECT_FALSE(composer.Compose(row.to, row.content).empty());
        }
    }
}

TEST(ComposerText, EscapePairIsNeverSplit)
{
    TMessageComposer composer;
    TMessageContent content;
    content.Text = QString(152, 'a') + "{" + QString(10, 'b');
    auto out = composer.Compose("1", content);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0]->UserData.size(), 6u + 152u);
    EXPECT_EQ(out[1]->UserData.substr(6, 2), Bytes({0x1B, 0x28}));
}

// The default alphabet's Greek capitals are 7-bit codes: 160 of them fill one message (as UCS2
// they would take three).
TEST(ComposerText, GreekCapitalsGoAsSevenBitCodes)
{
    TMessageComposer composer;
    TMessageContent content;
    content.Text = QString::fromUtf8("ΔΦΓΛΩΠΨΣΘΞ Grüße €");
    EXPECT_TRUE(TMessageComposer::FitsDefaultAlphabet(content.Text));
    auto out = composer.Compose("+30210", content);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->DCS, 0xF2);
    EXPECT_EQ(StrToHex(out[0]->UserData), "1012131415161718191A2047727E1E65201B65");
    content.Text = QString(160, QChar(0x03A3));
    EXPECT_EQ(composer.MessageCount(content), 1);
    content.Text += QChar(0x0394);
    out = composer.Compose("+30210", content);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1]->UserData.substr(6), std::string("\x18\x18\x18\x18\x18\x18\x18\x10"));
}

TEST(ComposerText, TextsTheAlphabetCannotCarryGoUCS2)
{
    const struct {
        const char16_t *text;
        TMessageKind kind;
        int dcs;
        std::u16string sent;
    } rows[] = {
        {u"Привет", TMessageKind::mkText, 0x1A, u"Привет"},
        {u"plain", TMessageKind::mkUCS2Text, 0x1A, u"plain"},
        {u"a\u00BBb", TMessageKind::mkText, 0x18, u"\u0001a\u00BBb"},   // the guillemet rule
        {u"\u0080", TMessageKind::mkText, 0x1A, u"\u0080"},             // a C1 control is no 8-bit text
        {u"a\u00B7b", TMessageKind::mkText, 0x1A, u"a\u00B7b"},         // the middle dot is no Greek capital
        {u"\u03B4\u03A9", TMessageKind::mkText, 0x1A, u"\u03B4\u03A9"}, // a small delta has no code
    };
    for (const auto &row : rows) {
        TMessageComposer composer;
        TMessageContent content;
        content.Kind = row.kind;
        content.Text = QString::fromStdU16String(row.text);
        auto out = composer.Compose("1", content);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0]->DCS, row.dcs);
        EXPECT_EQ(out[0]->UserData, WideToUCS2(row.sent));
        EXPECT_FALSE(UDHI(*out[0]));
    }
}

TEST(ComposerText, LongUCS2KeepsSurrogatePairsTogether)
{
    TMessageComposer composer;
    TMessageContent content;
    const std::u16string text = std::u16string(66, u'ж') + u"\U0001F600" + std::u16string(10, u'b');
    content.Text = QString::fromStdU16String(text);
    auto out = composer.Compose("1", content);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0]->UserData.size(), 6u + 66u * 2);
    EXPECT_EQ(out[1]->UserData.substr(0, 6), Bytes({5, 0, 3, 0, 2, 2}));
    EXPECT_EQ(UCS2ToWide(out[0]->UserData.substr(6)) + UCS2ToWide(out[1]->UserData.substr(6)), text);
    EXPECT_EQ(out[1]->DCS, 0x1A);
}

// ---- smart messages

TEST(ComposerSmart, vCardOverTextHeader)
{
    TMessageComposer composer;
    composer.ReferenceCounter = 7;
    TMessageContent content;
    content.Kind = TMessageKind::mkvCard;
    content.vCardName = "Novak";
    content.vCardPhone = "+420602123456";
    auto out = composer.Compose("1", content);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->DCS, 0x00);
    EXPECT_FALSE(UDHI(*out[0]));
    EXPECT_EQ(out[0]->UserData.substr(0, 16), "//SCKE2E2070101 ");
    auto nbs = Reassemble<TNBS>(out);
    EXPECT_EQ(nbs->DestPort(), kSMPortvCard);
    auto card = TSmartMessage::CreateFromPort(nbs->Data(), nbs->DestPort());
    ASSERT_TRUE(card);
    auto &records = dynamic_cast<TSMvCard &>(*card).Records;
    EXPECT_EQ(records.Values("N"), "Novak");
    EXPECT_EQ(records.Values("TEL"), "+420602123456");
}

struct SmartRow {
    TMessageKind kind;
    QString text;
    uint16_t port;
    const char *className;
};

TEST(ComposerSmart, BinaryHeaderKindsWithPortsAndConcatenation)
{
    const SmartRow rows[] = {
        {TMessageKind::mkPicture, "", kSMPortMultipart, "TSMMultipartMessage"},
        {TMessageKind::mkPicture, "caption", kSMPortMultipart, "TSMMultipartMessage"},
        {TMessageKind::mkOperatorLogo, "", kSMPortOperatorLogo, "TSMOperatorLogo"},
        {TMessageKind::mkCLIIcon, "", kSMPortCLIIcon, "TSMCLIIcon"},
        {TMessageKind::mkRingingTone, "", kSMPortRingingTone, "TSMRingingTone"},
    };
    for (const auto &row : rows) {
        TMessageComposer composer;
        composer.ReferenceCounter = 0x42;
        TMessageContent content;
        content.Kind = row.kind;
        content.Text = row.text;
        content.Picture = Checker(72, 28);
        content.Width = 72;
        content.Height = row.kind == TMessageKind::mkPicture ? 28 : 14;
        content.Operator = 26201;
        content.Melody.Name = "Tune";
        content.Melody.Rows = {TMelodyRow{2, 1, 2, 0, 8, 0, 7}, TMelodyRow{1, 5, 3, 1, 10, 0, 7}};
        content.StatusReport = true;
        const int expected = composer.MessageCount(content);
        auto out = composer.Compose("1", content);
        ASSERT_EQ(static_cast<int>(out.size()), expected) << row.className;
        for (size_t i = 0; i < out.size(); ++i) {
            EXPECT_EQ(out[i]->DCS, 0xF5);
            EXPECT_TRUE(UDHI(*out[i]));
            EXPECT_TRUE(out[i]->FirstOctetBit(5));
            // 16-bit ports (both the same), then the 8-bit concatenation element.
            const std::string port = Bytes({row.port >> 8, row.port & 0xFF});
            EXPECT_EQ(out[i]->UserData.substr(1, 6), Bytes({5, 4}) + port + port);
            EXPECT_EQ(out[i]->UserData.substr(7, 5),
                      Bytes({0, 3, 0x42, static_cast<int>(out.size()), static_cast<int>(i + 1)}));
        }
        auto udh = Reassemble<TUDHProtocol>(out);
        auto message = TSmartMessage::CreateFromPort(udh->Data(), udh->DestPort());
        ASSERT_TRUE(message) << row.className;
        EXPECT_STREQ(message->ClassName(), row.className);
        if (auto *multipart = dynamic_cast<TSMMultipartMessage *>(message.get())) {
            ASSERT_EQ(multipart->Items.size(), row.text.isEmpty() ? 1u : 2u);
            if (!row.text.isEmpty()) {
                EXPECT_EQ(dynamic_cast<TSMTextISO &>(*multipart->Items[0]).Text, "caption");
            }
            auto &bitmap = dynamic_cast<TSMOTABitmap &>(*multipart->Items.back());
            EXPECT_EQ(bitmap.Width(), 72);
            EXPECT_EQ(bitmap.Height(), 28);
            EXPECT_EQ(bitmap.Frames(0).pixel(3, 0) & 0xFFFFFF, 0u);
        }
        if (auto *logo = dynamic_cast<TSMOperatorLogo *>(message.get())) {
            EXPECT_EQ(logo->MCC, 262);
            EXPECT_EQ(logo->MNC, 1);
        }
        if (auto *tone = dynamic_cast<TSMRingingTone *>(message.get())) {
            EXPECT_EQ(MelodyFromRingingTone(*tone).Rows, content.Melody.Rows);
        }
        EXPECT_EQ(composer.ReferenceCounter, 0x43u);
    }
}

// ---- EMS

TEST(ComposerEMS, ObjectsOverABinaryHeaderWithConcatenationOnly)
{
    const struct {
        TMessageKind kind;
        const char *className;
        int width, height;
    } rows[] = {
        {TMessageKind::mkEMSPictureSmall, "TEMSPictureSmall", 16, 16},
        {TMessageKind::mkEMSPictureLarge, "TEMSPictureLarge", 32, 32},
        {TMessageKind::mkEMSPictureVariable, "TEMSPictureVariable", 24, 10},
        {TMessageKind::mkEMSAnimationSmall, "TEMSAnimationSmall", 8, 8},
        {TMessageKind::mkEMSAnimationLarge, "TEMSAnimationLarge", 16, 16},
        {TMessageKind::mkEMSMelody, "TEMSSoundUserDef", 0, 0},
    };
    for (const auto &row : rows) {
        TMessageComposer composer;
        composer.ReferenceCounter = 300;
        TMessageContent content;
        content.Kind = row.kind;
        content.Text = "Look at this, it is an EMS message with a text of some length";
        content.Picture = Checker(64, 32);
        content.Width = row.width;
        content.Height = row.height;
        content.Melody.Name = "Tune";
        content.Melody.Rows = {TMelodyRow{2, 1, 2, 0, 8, 0, 7}};
        auto out = composer.Compose("1", content);
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(static_cast<int>(out.size()), composer.MessageCount(content));
        for (size_t i = 0; i < out.size(); ++i) {
            EXPECT_EQ(out[i]->DCS, 0xF5);
            EXPECT_TRUE(UDHI(*out[i]));
            EXPECT_FALSE(out[i]->FirstOctetBit(5));
            EXPECT_EQ(out[i]->UserData.substr(1, 5),
                      Bytes({0, 3, 300 & 0xFF, static_cast<int>(out.size()), static_cast<int>(i + 1)}))
                << row.className;
        }
        auto udh = Reassemble<TUDHProtocol>(out);
        EXPECT_EQ(udh->Data(), content.Text.toStdString());
        TEMS ems;
        ems.LoadFromUDH(*udh);
        ASSERT_EQ(ems.Items.size(), 1u) << row.className;
        EXPECT_STREQ(ems.Items[0]->ClassName(), row.className);
        if (auto *picture = dynamic_cast<TEMSPicture *>(ems.Items[0].get())) {
            EXPECT_EQ(picture->Width(), row.width);
            EXPECT_EQ(picture->Height(), row.height);
            for (int y = 0; y < row.height; ++y)
                for (int x = 0; x < row.width; ++x)
                    ASSERT_EQ(picture->Bitmap().pixel(x, y), content.Picture.pixel(x, y)) << x << "," << y;
        }
        if (auto *animation = dynamic_cast<TEMSAnimation *>(ems.Items[0].get())) {
            EXPECT_EQ(animation->Frames(3).pixel(1, 0), content.Picture.pixel(3 * row.width + 1, 0));
        }
        if (auto *sound = dynamic_cast<TEMSSoundUserDef *>(ems.Items[0].get())) {
            EXPECT_EQ(sound->Records.Values("MELODY"), "*5c2");
            EXPECT_EQ(sound->Records.Values("NAME"), "Tune");
        }
    }
}

// ---- melody table

TEST(Melody, IMelodyText)
{
    EXPECT_EQ(IMelodyText({TMelodyRow{2, 1, 2, 0, 8, 0, 7}}), "*5c2");
    EXPECT_EQ(IMelodyText({TMelodyRow{1, 0, 3, 1, 8, 0, 7}, TMelodyRow{1, 12, 5, 3, 8, 0, 9},
                           TMelodyRow{3, 2, 0, 2, 8, 0, 9}}),
              "r3.V9b5;*6#c0:");
    TEMSSoundUserDef sound;
    TMelody melody{"Tune", {TMelodyRow{1, 1, 2, 0, 15, 2, 7}}};
    BuildIMelody(sound, melody);
    EXPECT_EQ(sound.Records.Data(),
              "BEGIN:IMELODY\r\nVERSION:1.2\r\nFORMAT:CLASS1.0\r\nNAME:Tune\r\nSTYLE:S2\r\n"
              "BEAT:140\r\nMELODY:c2\r\nEND:IMELODY\r\n");
}

TEST(Melody, RingingToneWritesOnlyChanges)
{
    TSMRingingTone tone;
    BuildRingingTone(tone, TMelody{"", {TMelodyRow{}, TMelodyRow{2, 3, 1, 0, 9, 1, 4}}});
    ASSERT_EQ(tone.Commands.size(), 1u);
    ASSERT_EQ(tone.Commands[0]->Parts.size(), 2u);
    EXPECT_STREQ(tone.Commands[0]->Parts[0]->ClassName(), "TSMRTRingingTone");
    auto &song = dynamic_cast<TSMRTTemporarySong &>(*tone.Commands[0]->Parts[1]);
    EXPECT_STREQ(song.ClassName(), "TSMRTTemporarySong");
    std::vector<std::string> names;
    for (const auto &i : song.Patterns.at(0)->Instructions)
        names.emplace_back(i->ClassName());
    EXPECT_EQ(names, (std::vector<std::string>{"TSMRTNote", "TSMRTScale", "TSMRTTempo", "TSMRTVolume",
                                               "TSMRTStyle", "TSMRTNote"}));
    TSMRingingTone titled;
    BuildRingingTone(titled, TMelody{"  Name  ", {}});
    EXPECT_EQ(dynamic_cast<TSMRTBasicSong &>(*titled.Commands[0]->Parts[1]).Title(), "  Name  ");
}

TEST(Melody, FilesInBothFormats)
{
    const TMelody melody{"Tune", {TMelodyRow{2, 1, 2, 0, 8, 0, 7}, TMelodyRow{1, 12, 5, 3, 20, 2, 15}}};
    const TMelody back = ReadMelodyFile(WriteMelodyFile(melody));
    EXPECT_EQ(back.Name, "Tune");
    EXPECT_EQ(back.Rows, melody.Rows);
    EXPECT_EQ(ReadMelodyFile({"Name=x", "Count=2", "0.1=junk"}).Rows,
              std::vector<TMelodyRow>(2, TMelodyRow{0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(ReadMelodyFile({"Count=2000000000"}).Rows.size(), 65536u);
    const TMelody rtttl = ReadMelodyFile({"Tune:d=4,o=5,b=63:c,8d"});
    EXPECT_EQ(rtttl.Name, "Tune");
    ASSERT_EQ(rtttl.Rows.size(), 2u);
    EXPECT_EQ(rtttl.Rows[0].Note, 1);
    EXPECT_EQ(rtttl.Rows[1].Note, 3);
    EXPECT_EQ(rtttl.Rows[1].Duration, 3);
    EXPECT_THROW(ReadMelodyFile({"no colons"}), EGSMError);
}

} // namespace
} // namespace kestrel
