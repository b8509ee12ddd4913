#include "gsm/gsmerror.h"
#include "payloadvectors.h"
#include "xsms/otabitmap.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

using test::Bytes;

std::string errorOf(const std::function<void()> &f)
{
    try {
        f();
    } catch (const EGSMError &e) {
        return e.what();
    }
    return "(no error)";
}

bool black(const QImage &image, int x, int y)
{
    return (image.pixel(x, y) & 0xFFFFFF) == 0;
}

TEST(OTABitmap, NewBitmapRendersHeaderAndWhiteFrame)
{
    TSMOTABitmap b;
    EXPECT_EQ(b.FrameCount(), 1);
    EXPECT_EQ(b.InfoField, std::string(1, '\0'));
    b.SetWidth(72);
    b.SetHeight(28);
    const std::string data = b.GetData();
    ASSERT_EQ(data.size(), 4u + 252u);
    EXPECT_EQ(data.substr(0, 4), Bytes("00481C01"));
    EXPECT_EQ(data.substr(4), std::string(252, '\0'));
}

TEST(OTABitmap, WideSizesSetAndClearInfoBit)
{
    TSMOTABitmap b;
    b.SetHeight(2);
    b.SetWidth(300);
    EXPECT_EQ(static_cast<uint8_t>(b.InfoField[0]), 0x10);
    EXPECT_EQ(b.GetData().substr(0, 6), Bytes("10012C000201"));
    b.SetWidth(255);
    EXPECT_EQ(static_cast<uint8_t>(b.InfoField[0]), 0x00);
    EXPECT_EQ(b.GetData().substr(0, 4), Bytes("00FF0201"));
}

TEST(OTABitmap, AnimationCountLimitsFramesAndSetsLowNibble)
{
    TSMOTABitmap b;
    b.SetAnimationCount(20);
    EXPECT_EQ(b.FrameCount(), 16);
    EXPECT_EQ(b.AnimationCount(), 15);
    EXPECT_EQ(static_cast<uint8_t>(b.InfoField[0]), 0x0F);
    b.SetAnimationCount(0);
    EXPECT_EQ(b.FrameCount(), 1);
    EXPECT_EQ(static_cast<uint8_t>(b.InfoField[0]), 0x00);
}

TEST(OTABitmap, InfoFieldChainRoundTrips)
{
    TSMOTABitmap b;
    b.SetInfoFieldCount(2);
    b.SetWidth(8);
    b.SetHeight(1);
    EXPECT_EQ(b.InfoField, Bytes("8000"));
    const std::string data = b.GetData();
    EXPECT_EQ(data, Bytes("8000080101"
                          "00"));
    TSMOTABitmap parsed;
    parsed.SetData(data);
    EXPECT_EQ(parsed.InfoFieldCount(), 2);
    EXPECT_EQ(parsed.Width(), 8);
    EXPECT_EQ(parsed.Height(), 1);
    EXPECT_EQ(errorOf([&] { b.SetInfoFieldCount(0); }), "Info field count must be graeter than zero");
}

TEST(OTABitmap, FramesArePaddedToWholeOctets)
{
    // Two 5 x 3 frames: 15 bits each, so every frame takes 2 octets and starts on a fresh one.
    TSMOTABitmap b;
    b.SetAnimationCount(1);
    b.SetWidth(5);
    b.SetHeight(3);
    b.Frames(0).setPixel(0, 0, 1);
    b.Frames(0).setPixel(4, 2, 1);
    b.Frames(1).setPixel(1, 0, 1);
    const std::string data = b.GetData();
    EXPECT_EQ(data, Bytes("01050301"
                          "8002"
                          "4000"));
    TSMOTABitmap parsed;
    parsed.SetData(data);
    ASSERT_EQ(parsed.FrameCount(), 2);
    EXPECT_TRUE(black(parsed.Frames(0), 0, 0));
    EXPECT_TRUE(black(parsed.Frames(0), 4, 2));
    EXPECT_FALSE(black(parsed.Frames(0), 1, 0));
    EXPECT_TRUE(black(parsed.Frames(1), 1, 0));
    EXPECT_FALSE(black(parsed.Frames(1), 0, 0));
    EXPECT_EQ(parsed.Frames(1).pixel(0, 0) & 0xFFFFFF, 0xFFFFFFu);
    EXPECT_EQ(parsed.GetData(), data);
}

TEST(OTABitmap, UnsupportedContentIsRefused)
{
    struct Case {
        const char *hex;
        const char *error;
    } cases[] = {
        {"0008010200", "Depth (<> 1) not suported"},
        {"4008010100", "Compression not supported"},
        {"00", "Depth (<> 1) not suported"}, // header cut short: missing octets count as zero
        {"", "Depth (<> 1) not suported"},
        // 16-bit sizes claiming 65535 x 65535 pixels in 16 frames: refused, not allocated
        {"1FFFFFFFFF01", "Bitmap of 65535 x 65535 pixels in 16 frames is too large"},
    };
    for (const Case &c : cases) {
        TSMOTABitmap b;
        EXPECT_EQ(errorOf([&] { b.SetData(Bytes(c.hex)); }), c.error) << c.hex;
    }
    // Fields read before a refusal keep their new values; a refused size is not kept.
    TSMOTABitmap partial;
    EXPECT_THROW(partial.SetData(Bytes("0008010200")), EGSMError);
    EXPECT_EQ(partial.Width(), 8);
    EXPECT_EQ(partial.Depth, 2);
    EXPECT_THROW(partial.SetData(Bytes("1FFFFFFFFF01")), EGSMError);
    EXPECT_EQ(partial.Width(), 8);
    EXPECT_EQ(partial.FrameCount(), 16);
    TSMOTABitmap b;
    b.Depth = 2;
    EXPECT_EQ(errorOf([&] { b.GetData(); }), "Depth (<> 1) not suported");
    b.Depth = 1;
    b.InfoField[0] = 0x40;
    EXPECT_EQ(errorOf([&] { b.GetData(); }), "Compression not supported");
}

TEST(OTABitmap, SizeSettersRefuseMoreThanAPayloadCanCarry)
{
    TSMOTABitmap b;
    b.SetWidth(1000);
    EXPECT_THROW(b.SetHeight(1000), EGSMError);
    EXPECT_EQ(b.Height(), 0);
    b.SetHeight(100); // 12500 octets
    EXPECT_THROW(b.SetAnimationCount(15), EGSMError);
    EXPECT_EQ(b.FrameCount(), 1);
    EXPECT_THROW(b.SetWidth(-1), EGSMError);
}

TEST(OTABitmap, ShortPayloadLeavesMissingPixelsWhite)
{
    TSMOTABitmap b;
    b.SetData(Bytes("00080301"
                    "FF80")); // 8 x 3 promises 3 octets, 2 arrive
    ASSERT_EQ(b.Width(), 8);
    ASSERT_EQ(b.Height(), 3);
    for (int x = 0; x < 8; ++x) {
        EXPECT_TRUE(black(b.Frames(0), x, 0));
        EXPECT_EQ(black(b.Frames(0), x, 1), x == 0);
        EXPECT_FALSE(black(b.Frames(0), x, 2));
    }
}

TEST(OTABitmap, KeepsReceivedPayloadOnRequest)
{
    TSMOTABitmap b;
    const std::string data = Bytes("20080101AA");
    b.SetData(data);
    EXPECT_EQ(b.ReceivedData, data);
    b.SetData(Bytes("00080101AA"));
    EXPECT_TRUE(b.ReceivedData.empty());
}

TEST(OTABitmap, LoadFramesTakesSideBySideAreas)
{
    QImage source(6, 2, QImage::Format_RGB32);
    source.fill(Qt::white);
    source.setPixel(0, 0, qRgb(0, 0, 0));
    source.setPixel(4, 1, qRgb(0, 0, 0));
    source.setPixel(5, 1, qRgb(10, 10, 10)); // not black
    TSMOTABitmap b;
    b.SetAnimationCount(1);
    b.SetWidth(3);
    b.SetHeight(2);
    b.LoadFrames(source);
    EXPECT_TRUE(black(b.Frames(0), 0, 0));
    EXPECT_TRUE(black(b.Frames(1), 1, 1));
    EXPECT_FALSE(black(b.Frames(1), 2, 1));
    EXPECT_EQ(b.GetData(), Bytes("01030201"
                                 "80"
                                 "08"));
}

TEST(OperatorLogo, RendersMccMncInBcd)
{
    struct Case {
        uint16_t mcc;
        uint8_t mnc;
        const char *head;
    } cases[] = {
        {230, 3, "3032F0300A"}, {262, 1, "3062F2100A"}, {234, 23, "3032F4320A"}, {5, 0, "30F5FF000A"}};
    for (const Case &c : cases) {
        TSMOperatorLogo logo;
        logo.MCC = c.mcc;
        logo.MNC = c.mnc;
        EXPECT_EQ(logo.GetData(), Bytes(c.head) + Bytes("00000001")) << c.mcc;
        TSMOperatorLogo parsed;
        parsed.SetData(logo.GetData());
        EXPECT_EQ(parsed.MCC, c.mcc);
        EXPECT_EQ(parsed.MNC, c.mnc);
    }
}

TEST(OperatorLogo, ParsesTheBareLayoutOfARealMessage)
{
    const std::string payload = Bytes(test::kOperatorLogoHex);
    ASSERT_EQ(payload.size(), 133u);
    TSMOperatorLogo logo;
    logo.SetData(payload);
    EXPECT_EQ(logo.MCC, 234);
    EXPECT_EQ(logo.MNC, 15);
    EXPECT_EQ(logo.Width(), 72);
    EXPECT_EQ(logo.Height(), 14);
    EXPECT_TRUE(black(logo.Frames(0), 0, 0));  // top row is solid
    EXPECT_FALSE(black(logo.Frames(0), 2, 1)); // C0 03 ...: third pixel of the second row is white
    // Rendered in the leading-"0" layout, with the same bitmap.
    EXPECT_EQ(logo.GetData(), Bytes("3032F4510A") + payload.substr(3));
}

TEST(OperatorLogo, RefusesOtherLayouts)
{
    for (const char *hex : {"", "30", "3032F4510B00", "3132F4510A00"}) {
        TSMOperatorLogo logo;
        EXPECT_EQ(errorOf([&] { logo.SetData(Bytes(hex)); }), "Unsupported or bad logo format") << hex;
    }
}

TEST(CLIIcon, IsZeroFollowedByBitmap)
{
    TSMCLIIcon icon;
    icon.SetWidth(8);
    icon.SetHeight(1);
    icon.Frames(0).setPixel(7, 0, 1);
    EXPECT_EQ(icon.GetData(), Bytes("300008010101"));
    TSMCLIIcon parsed;
    parsed.SetData(icon.GetData());
    EXPECT_TRUE(black(parsed.Frames(0), 7, 0));
    for (const char *hex : {"", "3100080101"}) {
        TSMCLIIcon bad;
        EXPECT_EQ(errorOf([&] { bad.SetData(Bytes(hex)); }), "Unsupported or bad CLI format") << hex;
    }
}

// Icons that come without the version character: read when a whole, valid bitmap follows,
// refused otherwise; what is sent keeps the "0".
TEST(CLIIcon, WithoutVersionCharacterOnlyAWholeBitmap)
{
    std::string bare72x14 = Bytes("00480E01") + std::string(125, '\0') + Bytes("01");
    TSMCLIIcon icon;
    icon.SetData(bare72x14);
    EXPECT_EQ(icon.Width(), 72);
    EXPECT_EQ(icon.Height(), 14);
    EXPECT_EQ(icon.FrameCount(), 1);
    EXPECT_TRUE(black(icon.Frames(0), 71, 13));
    EXPECT_FALSE(black(icon.Frames(0), 70, 13));
    EXPECT_EQ(icon.GetData(), "0" + bare72x14);

    icon.SetData(Bytes("0008010101")); // 8 x 1, the smallest
    EXPECT_TRUE(black(icon.Frames(0), 7, 0));

    const struct {
        const char *why;
        std::string data;
    } refused[] = {
        {"one pixel octet short", Bytes("00480E01") + std::string(125, '\0')},
        {"one octet too many", bare72x14 + '\0'},
        {"depth 2", Bytes("0008010201")},
        {"no depth", Bytes("000801")},
        {"width 0", Bytes("00000101")},
        {"height 0", Bytes("00080001")},
        {"info field with more octets", Bytes("800008010101")},
        {"two frames in the info field", Bytes("010008010101")},
        {"another first octet", Bytes("3208010101")},
    };
    for (const auto &row : refused) {
        TSMCLIIcon bad;
        EXPECT_EQ(errorOf([&] { bad.SetData(row.data); }), "Unsupported or bad CLI format") << row.why;
    }
}

} // namespace
} // namespace kestrel
