// EMS as the composer lays it out: blink markers become text-formatting elements in the segment
// that holds each range, no element is cut across segments (a variable picture too large for one
// message goes as strips at one position), and vCards keep accented names.
#include "xsms/composer.h"

#include "gsm/gsmerror.h"
#include "gsm/sms.h"
#include "gsm/tpdufields.h"
#include "gsm/userdataprotocols.h"
#include "xsms/ems.h"
#include "xsms/emslayout.h"
#include "xsms/smartmessage.h"

#include <gtest/gtest.h>

#include <cstring>

namespace kestrel {
namespace {

std::string Bytes(std::initializer_list<int> octets)
{
    std::string s;
    for (int o : octets)
        s += static_cast<char>(o);
    return s;
}

QString Repeat(char16_t c, int n)
{
    return QString(n, QChar(c));
}

const QChar kOn(kBlinkStart), kOff(kBlinkEnd);

// One segment's user data taken apart by hand: the header's elements (a chain running past the
// header fails the test) and the text after it.
struct TParsed {
    std::vector<std::pair<int, std::string>> elements;
    std::string text;
};

TParsed Parse(const std::string &userData)
{
    TParsed p;
    const size_t udhl = static_cast<uint8_t>(userData.at(0));
    size_t i = 1;
    while (i < 1 + udhl) {
        const int iei = static_cast<uint8_t>(userData.at(i));
        const size_t length = static_cast<uint8_t>(userData.at(i + 1));
        EXPECT_LE(i + 2 + length, 1 + udhl) << "element cut at the end of the header";
        p.elements.emplace_back(iei, userData.substr(i + 2, length));
        i += 2 + length;
    }
    p.text = userData.substr(1 + udhl);
    return p;
}

// ---- markers

TEST(BlinkMarkers, AreTakenOutAndGiveTheRanges)
{
    const struct {
        QString text;
        QString clean;
        std::vector<TTextRange> ranges;
    } rows[] = {
        {"one " + QString(kOn) + "two" + kOff + " three", "one two three", {{4, 3}}},
        {QString(kOn) + "a" + kOff + "b" + kOn + "cd" + kOff, "abcd", {{0, 1}, {2, 2}}},
        {"ab" + QString(kOn) + "cd", "abcd", {{2, 2}}},                        // open to the end
        {"a" + QString(kOff) + "b", "ab", {}},                                 // an end without a start
        {"a" + QString(kOn) + kOff + "b", "ab", {}},                           // nothing marked
        {QString(kOn) + "a" + kOn + "b" + kOff + "c" + kOff, "abc", {{0, 2}}}, // no nesting
        {"plain", "plain", {}},
    };
    for (const auto &row : rows) {
        QString text = row.text;
        EXPECT_EQ(TakeBlinkMarkers(text), row.ranges) << row.text.toStdString();
        EXPECT_EQ(text, row.clean);
    }
}

// ---- formatting per segment

TEST(ComposerBlink, OneSevenBitMessageCarriesTheElementBeforeItsText)
{
    TMessageComposer composer;
    TMessageContent content;
    content.Text = "one " + QString(kOn) + "two" + kOff + " three";
    auto out = composer.Compose("1", content);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->DCS, 0xF2);
    EXPECT_TRUE(out[0]->FirstOctetBit(6));
    // TS 23.040 9.2.3.24.10.1.1: start 4, length 3, bold with the default alignment.
    EXPECT_EQ(out[0]->UserData, Bytes({5, 0x0A, 3, 4, 3, 0x13}) + TextToGSM("one two three"));
    EXPECT_EQ(UnpackUserData(out[0]->EncodeUserData(), true, true), out[0]->UserData);
    EXPECT_EQ(composer.ReferenceCounter, 0u); // one message uses no reference
}

TEST(ComposerBlink, ARangeAcrossSegmentsHasOneElementInEach)
{
    const struct {
        const char *name;
        TMessageKind kind;
        QString text;
        int dcs;
        // Per segment: the blink elements (start, length) relative to that segment's text, and
        // the identifiers of the other elements.
        std::vector<std::vector<std::pair<int, int>>> blink;
        std::vector<std::vector<int>> others;
        std::string joinedText; // as the user data carries it
    } rows[] = {
        {"7-bit, escape pairs count one character",
         TMessageKind::mkText,
         Repeat('a', 100) + kOn + Repeat('b', 150) + kOff + Repeat('c', 60) + kOn + "{}" + kOff,
         0xF2,
         {{{100, 47}}, {{0, 103}}, {{16, 2}}},
         {{}, {}, {}},
         TextToGSM(std::string(100, 'a') + std::string(150, 'b') + std::string(60, 'c') + "{}")},
        {"UCS2",
         TMessageKind::mkText,
         Repeat(u'ж', 60) + kOn + Repeat(u'ж', 40) + kOff + Repeat(u'ю', 10),
         0x1A,
         {{{60, 4}}, {{0, 36}}},
         {{}, {}},
         WideToUCS2(std::u16string(100, u'ж') + std::u16string(10, u'ю'))},
        {"8-bit beside an EMS picture",
         TMessageKind::mkEMSPictureSmall,
         Repeat('x', 120) + kOn + Repeat('y', 50) + kOff,
         0xF5,
         {{}, {{21, 50}}},
         {{0x11}, {}},
         std::string(120, 'x') + std::string(50, 'y')},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        TMessageComposer composer;
        composer.ReferenceCounter = 0x42;
        TMessageContent content;
        content.Kind = row.kind;
        content.Text = row.text;
        content.Picture = QImage(16, 16, QImage::Format_RGB32);
        content.Picture.fill(0xFF000000);
        auto out = composer.Compose("1", content);
        ASSERT_EQ(out.size(), row.blink.size());
        EXPECT_EQ(composer.MessageCount(content), static_cast<int>(out.size()));
        std::string joined;
        for (size_t i = 0; i < out.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(out[i]->DCS, row.dcs);
            EXPECT_TRUE(out[i]->FirstOctetBit(6));
            const TParsed p = Parse(out[i]->UserData);
            ASSERT_FALSE(p.elements.empty());
            EXPECT_EQ(p.elements[0], std::make_pair(0, Bytes({0x42, static_cast<int>(out.size()),
                                                              static_cast<int>(i + 1)})));
            std::vector<std::pair<int, int>> blink;
            std::vector<int> others;
            for (size_t k = 1; k < p.elements.size(); ++k) {
                const auto &[iei, data] = p.elements[k];
                if (iei != 0x0A) {
                    others.push_back(iei);
                    continue;
                }
                ASSERT_EQ(data.size(), 3u);
                EXPECT_EQ(static_cast<uint8_t>(data[2]), kBlinkFormatMode);
                blink.emplace_back(static_cast<uint8_t>(data[0]), static_cast<uint8_t>(data[1]));
            }
            EXPECT_EQ(blink, row.blink[i]);
            EXPECT_EQ(others, row.others[i]);
            joined += p.text;
            // Every segment fits its message: the model packs it and reads it back whole.
            const bool sevenBit = row.dcs == 0xF2;
            EXPECT_EQ(UnpackUserData(out[i]->EncodeUserData(), sevenBit, true), out[i]->UserData);
        }
        EXPECT_EQ(joined, row.joinedText);
        EXPECT_EQ(composer.ReferenceCounter, 0x43u);
    }
}

TEST(ComposerBlink, APictureMessageDropsTheMarks)
{
    TMessageComposer composer;
    TMessageContent content;
    content.Kind = TMessageKind::mkPicture;
    content.Text = "see " + QString(kOn) + "this" + kOff;
    content.Picture = QImage(72, 28, QImage::Format_RGB32);
    content.Picture.fill(0xFFFFFFFF);
    content.Width = 72;
    content.Height = 28;
    TUDHProtocol udh;
    for (const auto &sms : composer.Compose("1", content))
        ASSERT_EQ(udh.Decode(sms->UserData), kDecodeAccepted);
    auto message = TSmartMessage::CreateFromPort(udh.Data(), udh.DestPort());
    auto &multipart = dynamic_cast<TSMMultipartMessage &>(*message);
    ASSERT_EQ(multipart.Items.size(), 2u);
    EXPECT_EQ(dynamic_cast<TSMTextISO &>(*multipart.Items[0]).Text, "see this");
}

// ---- pictures larger than one message

QImage Stripes(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, (x * 7 + y * 3) % 5 == 0 ? 0xFF000000 : 0xFFFFFFFF);
    return image;
}

TEST(ComposerEMSPicture, AVariablePictureLargerThanOneMessageGoesAsStripsAtOnePosition)
{
    const struct {
        int width, height;
        size_t messages;
        size_t strips;
        int rowsPerStrip;
    } rows[] = {
        {200, 40, 8, 8, 5},    // 25 octets a row: 5 rows (128 octets of data) per message
        {40, 300, 12, 12, 25}, // more rows than one element can count
        {1032, 3, 4, 3, 1},    // the widest picture: one row of 129 octets fills a message
        {24, 10, 1, 1, 10},    // fits one message as it is
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::to_string(row.width) + "x" + std::to_string(row.height));
        TMessageComposer composer;
        TMessageContent content;
        content.Kind = TMessageKind::mkEMSPictureVariable;
        content.Text = "Hi";
        content.Picture = Stripes(row.width, row.height);
        content.Width = row.width;
        content.Height = row.height;
        auto out = composer.Compose("1", content);
        ASSERT_EQ(out.size(), row.messages);
        size_t strips = 0;
        for (size_t i = 0; i < out.size(); ++i) {
            // Every element lies whole in its segment; the text follows the last strip, so that
            // every strip stands at the start of the text.
            const TParsed p = Parse(out[i]->UserData);
            ASSERT_GE(p.elements.size(), 1u);
            for (size_t k = 1; k < p.elements.size(); ++k, ++strips)
                EXPECT_EQ(p.elements[k].first, 0x12);
            EXPECT_EQ(p.text, i + 1 == out.size() ? "Hi" : "");
        }
        EXPECT_EQ(strips, row.strips);
        // The receiver reassembles the payload and finds the strips at the start of the text.
        TUDHProtocol udh;
        for (const auto &sms : out)
            ASSERT_EQ(udh.Decode(sms->UserData), kDecodeAccepted);
        ASSERT_EQ(udh.State(), kStateComplete);
        EXPECT_EQ(udh.Data(), "Hi");
        TEMS ems;
        ems.LoadFromUDH(udh);
        ASSERT_EQ(ems.Items.size(), row.strips);
        int top = 0;
        for (const auto &item : ems.Items) {
            const auto &strip = dynamic_cast<const TEMSPictureVariable &>(*item);
            EXPECT_EQ(strip.Position, 0);
            EXPECT_EQ(strip.Width(), (row.width + 7) / 8 * 8);
            EXPECT_EQ(strip.Height(), std::min(row.rowsPerStrip, row.height - top));
            for (int y = 0; y < strip.Height(); ++y)
                for (int x = 0; x < row.width; ++x)
                    ASSERT_EQ(strip.Bitmap().pixel(x, y), content.Picture.pixel(x, top + y))
                        << x << "," << top + y;
            top += strip.Height();
        }
        EXPECT_EQ(top, row.height);
    }
}

TEST(ComposerEMSPicture, WhatFitsNoMessageIsRefusedBeforeAnythingIsSent)
{
    const struct {
        TMessageKind kind;
        int width;
        int notes;
        const char *error;
    } rows[] = {
        {TMessageKind::mkEMSPictureVariable, 1040, 0,
         "Picture too wide for one message: 1040 pixels, at most 1032"},
        {TMessageKind::mkEMSMelody, 0, 60, "EMS object too large for one message: "},
    };
    for (const auto &row : rows) {
        TMessageComposer composer;
        composer.ReferenceCounter = 9;
        TMessageContent content;
        content.Kind = row.kind;
        content.Picture = Stripes(row.width, 2);
        content.Width = row.width;
        content.Height = 2;
        content.Melody.Name = "Long";
        content.Melody.Rows.assign(static_cast<size_t>(row.notes), TMelodyRow{2, 1, 2, 0, 8, 0, 7});
        try {
            composer.Compose("1", content);
            ADD_FAILURE() << "no error for " << row.error;
        } catch (const EGSMError &e) {
            EXPECT_EQ(std::string(e.what()).substr(0, std::strlen(row.error)), row.error);
        }
        EXPECT_THROW(composer.MessageCount(content), EGSMError);
        EXPECT_EQ(composer.ReferenceCounter, 9u);
    }
}

// ---- vCards

TEST(ComposerVCard, NamesKeepTheirLetters)
{
    const struct {
        QString name;
        bool sevenBit;
        std::string record; // the N line as the card carries it (7-bit: after GSMToText)
    } rows[] = {
        {"Novak", true, "N:Novak"},
        {QString::fromUtf8("Müller Ærø Ñandú"), false,
         "N;CHARSET=ISO-8859-1:M\xFC"
         "ller \xC6r\xF8 \xD1"
         "and\xFA"},
        {QString::fromUtf8("Müller Ærø Ñandù"), true,
         "N:M\xFC"
         "ller \xC6r\xF8 \xD1"
         "and\xF9"},
        {QString::fromUtf8("Łukasz Żółć"), false,
         "N;CHARSET=UTF-8:\xC5\x81"
         "ukasz \xC5\xBB\xC3\xB3\xC5\x82\xC4\x87"},
        // Greek capitals have 7-bit codes but no 8-bit text of the model: the card goes 8-bit.
        {QString::fromUtf8("ΔΣ Pappas"), false, "N;CHARSET=UTF-8:\xCE\x94\xCE\xA3 Pappas"},
        // Extension characters take two septets: the 7-bit segments would outgrow their messages.
        {Repeat('[', 150), false, "N:" + std::string(150, '[')},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name.toStdString());
        TMessageComposer composer;
        TMessageContent content;
        content.Kind = TMessageKind::mkvCard;
        content.vCardName = row.name;
        content.vCardPhone = "+420602123456";
        auto out = composer.Compose("1", content);
        ASSERT_FALSE(out.empty());
        std::string payload;
        if (row.sevenBit) {
            TNBS nbs;
            for (const auto &sms : out) {
                EXPECT_EQ(sms->DCS, 0x00);
                EXPECT_FALSE(sms->FirstOctetBit(6));
                EXPECT_LE(sms->UserData.size(), 160u);
                ASSERT_EQ(nbs.Decode(sms->UserData), kDecodeAccepted);
            }
            ASSERT_EQ(nbs.State(), kStateComplete);
            EXPECT_EQ(nbs.DestPort(), kSMPortvCard);
            payload = GSMToText(nbs.Data()); // the receiving handset reads 7-bit text
        } else {
            TUDHProtocol udh;
            for (const auto &sms : out) {
                EXPECT_EQ(sms->DCS, 0xF5);
                EXPECT_TRUE(sms->FirstOctetBit(6));
                ASSERT_EQ(udh.Decode(sms->UserData), kDecodeAccepted);
            }
            ASSERT_EQ(udh.State(), kStateComplete);
            EXPECT_EQ(udh.DestPort(), kSMPortvCard);
            payload = udh.Data();
        }
        EXPECT_NE(payload.find("\r\n" + row.record + "\r\n"), std::string::npos) << payload;
        auto card = TSmartMessage::CreateFromPort(payload, kSMPortvCard);
        ASSERT_TRUE(card);
        EXPECT_EQ(dynamic_cast<TSMvCard &>(*card).Records.Values("TEL"), "+420602123456");
    }
}

} // namespace
} // namespace kestrel
