#include "xsms/ems.h"

#include "gsm/gsmerror.h"
#include "gsm/userdataprotocols.h"

#include <gtest/gtest.h>

#include <QImage>

namespace kestrel {
namespace {

std::string Bytes(std::initializer_list<int> octets)
{
    std::string s;
    for (int o : octets)
        s += static_cast<char>(o);
    return s;
}

// A header of the given elements, decoded by the protocol object as a received segment.
std::string Header(const std::vector<std::pair<int, std::string>> &elements, const std::string &text = "")
{
    std::string udh;
    for (const auto &[iei, data] : elements)
        udh += static_cast<char>(iei) + std::string(1, static_cast<char>(data.size())) + data;
    return static_cast<char>(udh.size()) + udh + text;
}

void Receive(TUDHProtocol &udh, const std::string &segment)
{
    ASSERT_EQ(udh.Decode(segment), kDecodeAccepted);
}

std::vector<std::string> ClassNames(const TEMS &ems)
{
    std::vector<std::string> names;
    for (const auto &item : ems.Items)
        names.emplace_back(item->ClassName());
    return names;
}

QImage WhiteImage(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(0xFFFFFFFF);
    return image;
}

bool Black(const QImage &image, int x, int y)
{
    return (image.pixel(x, y) & 0xFFFFFF) == 0;
}

TEST(EMSObject, IEIsOfEveryClassAndTheirFactory)
{
    const struct {
        int iei;
        const char *name;
    } rows[] = {
        {0x0A, "TEMSTextFormat"},
        {0x0B, "TEMSSoundPredef"},
        {0x0C, "TEMSSoundUserDef"},
        {0x0D, "TEMSAnimationPredef"},
        {0x0E, "TEMSAnimationLarge"},
        {0x0F, "TEMSAnimationSmall"},
        {0x10, "TEMSPictureLarge"},
        {0x11, "TEMSPictureSmall"},
        {0x12, "TEMSPictureVariable"},
        {0x13, "TEMSUserPrompt"},
        {0x14, "TEMSXObject"},
        {0x15, "TEMSXObjectReused"},
        {0x16, "TEMSCompressionControl"},
        {0x17, "TEMSObjectDistributionIndicator"},
        {0x18, "TEMSWVGObjectStandard"},
        {0x19, "TEMSWVGObjectCharSize"},
        {0x1A, "TEMSXObjectDataRequest"},
    };
    for (const auto &row : rows) {
        auto object = TEMSObject::CreateFromIEI(static_cast<uint8_t>(row.iei));
        ASSERT_TRUE(object) << row.name;
        EXPECT_STREQ(object->ClassName(), row.name);
        EXPECT_EQ(object->GetIEI(), row.iei) << row.name;
    }
    for (int iei : {0x00, 0x05, 0x08, 0x09, 0x1B, 0x99, 0xFF})
        EXPECT_FALSE(TEMSObject::CreateFromIEI(static_cast<uint8_t>(iei))) << iei;
    // The abstract classes have no element.
    EXPECT_EQ(TEMSObject().GetIEI(), 0);
    EXPECT_EQ(TEMSPosObject().GetIEI(), 0);
    EXPECT_EQ(TEMSUnknown().GetIEI(), 0);
    EXPECT_EQ(TEMSPicture().GetIEI(), 0);
    EXPECT_EQ(TEMSAnimation().GetIEI(), 0);
    EXPECT_EQ(TEMSWVGObject().GetIEI(), 0);
}

// Element data in, fields out, and the same data written back.
TEST(EMSObject, EveryClassRoundTripsItsElement)
{
    const std::vector<std::pair<int, std::string>> rows = {
        {0x0A, Bytes({5, 10, 0x23, 0x92})},
        {0x0B, Bytes({3, 7})},
        {0x0D, Bytes({0, 14})},
        {0x13, Bytes({3})},
        {0x14, Bytes({9, 0x2C, 0x01, 0x01, 0x02, 0x34, 0x12}) + "abc"},
        {0x15, Bytes({9, 0x34, 0x12})},
        {0x16, Bytes({0x00, 0xFF, 0x10, 0x20})},
        {0x17, Bytes({2, 0x80})},
        {0x18, Bytes({4, 1, 2, 3})},
        {0x19, Bytes({4})},
        {0x1A, ""},
        {0x11, std::string(1, '\x07') + std::string(32, '\x5A')},
        {0x10, std::string(1, '\x01') + std::string(128, '\xC3')},
        {0x0F, std::string(1, '\x02') + std::string(32, '\x81')},
        {0x0E, std::string(1, '\x02') + std::string(128, '\x18')},
        {0x12, Bytes({1, 2, 3, 0xFF, 0x00, 0x81, 0x7E, 0xAA, 0x55})},
    };
    for (const auto &[iei, data] : rows) {
        auto object = TEMSObject::CreateFromIEI(static_cast<uint8_t>(iei));
        object->SetData(data);
        EXPECT_EQ(object->GetData(), data) << std::hex << iei;
    }
}

TEST(EMSObject, FieldsOfTheElementLayouts)
{
    TEMSTextFormat format;
    format.SetData(Bytes({5, 10, 0x23}));
    EXPECT_EQ(format.Position, 5);
    EXPECT_EQ(format.TextLength, 10);
    EXPECT_EQ(format.FormatMode, 0x23);
    EXPECT_EQ(format.TextColour, 0); // not received, unchanged

    TEMSXObject x;
    x.SetData(Bytes({9, 0x2C, 0x01, 0x01, 0x02, 0x34, 0x12}) + "abc");
    EXPECT_EQ(x.ReferenceNumber, 9);
    EXPECT_EQ(x.ObjectLength, 300);
    EXPECT_EQ(x.ControlData, 1);
    EXPECT_EQ(x.ObjectType, 2);
    EXPECT_EQ(x.Position, 0x1234);
    EXPECT_EQ(x.Data, "abc");

    TEMSXObject continued;
    continued.First = false;
    continued.SetData(Bytes({9, 0x2C}));
    EXPECT_EQ(continued.Data, Bytes({9, 0x2C}));
    EXPECT_EQ(continued.GetData(), Bytes({9, 0x2C}));

    TEMSXObjectReused reused;
    reused.SetData(Bytes({7, 0x01, 0x02}));
    EXPECT_EQ(reused.ReferenceNumber, 7);
    EXPECT_EQ(reused.Position, 0x0201);

    TEMSObjectDistributionIndicator odi;
    odi.SetData(Bytes({4, 0x80}));
    EXPECT_EQ(odi.IECount, 4);
    EXPECT_EQ(odi.Attributes, 0x80);
}

// Data too short for a field leaves the field as it was; nothing is read past the element.
TEST(EMSObject, ShortElementsLeaveFieldsUnchanged)
{
    TEMSXObject x;
    x.ObjectLength = 77;
    x.Position = 5;
    x.Data = "keep";
    x.SetData(Bytes({1, 0x10}));
    EXPECT_EQ(x.ReferenceNumber, 1);
    EXPECT_EQ(x.ObjectLength, 77); // one octet of two
    EXPECT_EQ(x.Position, 5);
    EXPECT_EQ(x.Data, "keep");

    TEMSSoundPredef sound;
    sound.SoundNumber = 4;
    sound.SetData(Bytes({2}));
    EXPECT_EQ(sound.Position, 2);
    EXPECT_EQ(sound.SoundNumber, 4);

    TEMSPictureVariable variable;
    variable.SetWidth(16);
    variable.SetHeight(2);
    variable.SetData(Bytes({3, 8}));
    EXPECT_EQ(variable.Position, 3);
    EXPECT_EQ(variable.Width(), 16);
    EXPECT_EQ(variable.Height(), 2);

    TEMSWVGObjectStandard wvg;
    wvg.Data = "x";
    wvg.SetData("");
    EXPECT_EQ(wvg.Data, "x");
}

TEST(EMSPicture, VariablePictureOfTwentyByFive)
{
    TEMSPictureVariable picture;
    picture.SetWidth(20);
    picture.SetHeight(5);
    EXPECT_EQ(picture.Width(), 20);
    EXPECT_EQ(picture.Height(), 5);
    QImage source = WhiteImage(30, 10);
    source.setPixel(0, 0, 0xFF000000);
    source.setPixel(19, 4, 0xFF000000);
    source.setPixel(25, 0, 0xFF000000); // outside the picture
    picture.Position = 9;
    picture.LoadImage(source);
    const std::string data = picture.GetData();
    ASSERT_EQ(data.size(), 3u + 15u);
    EXPECT_EQ(data.substr(0, 3), Bytes({9, 3, 5}));
    EXPECT_EQ(static_cast<uint8_t>(data[3]), 0x80);        // row 0, pixel 0
    EXPECT_EQ(data.substr(4, 2), Bytes({0, 0}));           // pixel 25 not taken
    EXPECT_EQ(data.substr(15), Bytes({0x00, 0x00, 0x10})); // row 4, pixel 19
    TEMSPictureVariable back;
    back.SetData(data);
    EXPECT_EQ(back.Width(), 24); // whole octets
    EXPECT_EQ(back.Height(), 5);
    EXPECT_TRUE(Black(back.Bitmap(), 0, 0));
    EXPECT_TRUE(Black(back.Bitmap(), 19, 4));
    EXPECT_FALSE(Black(back.Bitmap(), 20, 4));
    EXPECT_EQ(back.GetData(), data);
}

TEST(EMSPicture, FixedSizesStayFixed)
{
    TEMSPictureSmall small;
    EXPECT_TRUE(small.Fixed);
    small.SetWidth(40);
    small.SetHeight(3);
    EXPECT_EQ(small.Width(), 16);
    EXPECT_EQ(small.Height(), 16);
    EXPECT_EQ(small.Bitmap().width(), 16);
    EXPECT_EQ(small.GetData().size(), 33u);
    TEMSPictureLarge large;
    large.SetWidth(1);
    EXPECT_EQ(large.Width(), 32);
    EXPECT_EQ(large.GetData().size(), 129u);
    TEMSAnimationSmall animationSmall;
    animationSmall.SetWidth(100);
    EXPECT_EQ(animationSmall.Width(), 8);
    EXPECT_EQ(animationSmall.GetData().size(), 33u);
    TEMSAnimationLarge animationLarge;
    EXPECT_EQ(animationLarge.Height(), 16);
    EXPECT_EQ(animationLarge.GetData().size(), 129u);
    TEMSPicture plain;
    EXPECT_FALSE(plain.Fixed);
    EXPECT_EQ(plain.Width(), 0);
}

// Pixel data cut short: the element is read as far as it goes, the rest stays white.
TEST(EMSPicture, CutShortLeavesMissingPixelsWhite)
{
    TEMSPictureSmall small;
    small.SetData(Bytes({0, 0xFF, 0xFF, 0x80}));
    for (int x = 0; x < 16; ++x)
        EXPECT_TRUE(Black(small.Bitmap(), x, 0)) << x;
    EXPECT_TRUE(Black(small.Bitmap(), 0, 1));
    EXPECT_FALSE(Black(small.Bitmap(), 1, 1));
    EXPECT_FALSE(Black(small.Bitmap(), 15, 15));

    TEMSPictureVariable variable;
    variable.SetData(Bytes({0, 255, 255, 0xFF}));
    EXPECT_EQ(variable.Width(), 2040);
    EXPECT_EQ(variable.Height(), 255);
    EXPECT_TRUE(Black(variable.Bitmap(), 7, 0));
    EXPECT_FALSE(Black(variable.Bitmap(), 8, 0));

    TEMSAnimationSmall animation;
    animation.SetData(std::string(1, '\0') + std::string(9, '\xFF'));
    EXPECT_TRUE(Black(animation.Frames(0), 7, 7));
    EXPECT_TRUE(Black(animation.Frames(1), 7, 0)); // the first octet of frame 2
    EXPECT_FALSE(Black(animation.Frames(1), 0, 1));
    EXPECT_FALSE(Black(animation.Frames(3), 0, 0));
}

TEST(EMSAnimation, FramesSideBySide)
{
    TEMSAnimationSmall animation;
    QImage source = WhiteImage(32, 8);
    for (int i = 0; i < 4; ++i)
        source.setPixel(i * 8 + i, i, 0xFF000000);
    animation.LoadFrames(source);
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(Black(animation.Frames(i), i, i)) << i;
        EXPECT_FALSE(Black(animation.Frames(i), (i + 1) % 8, i)) << i;
    }
    const std::string data = animation.GetData();
    ASSERT_EQ(data.size(), 33u);
    EXPECT_EQ(static_cast<uint8_t>(data[1]), 0x80);         // frame 1 row 0
    EXPECT_EQ(static_cast<uint8_t>(data[1 + 8 + 1]), 0x40); // frame 2 row 1
}

TEST(EMSSound, IMelodyRenderingAndFolding)
{
    TEMSSoundUserDef sound;
    sound.Records.SetValues("NAME", "Test");
    sound.Records.SetValues("BEAT", "63");
    std::string melody;
    for (int i = 0; i < 50; ++i)
        melody += "c2d2";
    sound.Records.SetValues("MELODY", melody.substr(0, 200 - 7)); // "MELODY:" and 193 notes
    sound.Position = 4;
    const std::string data = sound.GetData();
    ASSERT_FALSE(data.empty());
    EXPECT_EQ(data[0], 4);
    const std::string text = data.substr(1);
    const std::string head = "BEGIN:IMELODY\r\nVERSION:1.2\r\nFORMAT:CLASS1.0\r\nNAME:Test\r\nBEAT:63\r\n";
    ASSERT_EQ(text.substr(0, head.size()), head);
    const std::string full = "MELODY:" + melody.substr(0, 193);
    const std::string folded =
        full.substr(0, 75) + "\r\n " + full.substr(75, 75) + "\r\n " + full.substr(150) + "\r\n";
    EXPECT_EQ(text.substr(head.size()), folded + "END:IMELODY\r\n");

    TEMSSoundUserDef back;
    back.SetData(data);
    EXPECT_EQ(back.Position, 4);
    EXPECT_EQ(back.Records.Values("MELODY"), melody.substr(0, 193));
    EXPECT_EQ(back.GetData(), data);
}

TEST(EMSSound, ForeignDirectoryIsRefused)
{
    TEMSSoundUserDef sound;
    EXPECT_THROW(sound.SetData("\x01"
                               "BEGIN:VCARD\r\nN:x\r\nEND:VCARD\r\n"),
                 EGSMError);
    EXPECT_THROW(sound.SetData("\x01garbage"), EGSMError);
    TEMSSoundUserDef bare;
    bare.SetData("\x05");
    EXPECT_EQ(bare.Position, 5);
    EXPECT_EQ(bare.Records.Count(), 2); // position alone: records unchanged
}

TEST(EMS, HeaderOfTextFormatUnknownAndSmallPicture)
{
    TUDHProtocol udh;
    const std::string pixels = std::string(1, '\x02') + std::string(32, '\x0F');
    Receive(udh, Header({{0x0A, Bytes({1, 5, 0x10})}, {0x99, "abc"}, {0x11, pixels}}, "hello"));
    TEMS ems;
    ems.LoadFromUDH(udh);
    EXPECT_EQ(ClassNames(ems), (std::vector<std::string>{"TEMSTextFormat", "TEMSPictureSmall"}));
    ems.Text = "hello";
    TUDHProtocol out;
    ems.SaveToUDH(out);
    ASSERT_EQ(out.IEs().Count(), 2);
    EXPECT_EQ(out.IEs()[0]->Identifier, 0x0A);
    EXPECT_EQ(out.IEs()[0]->Data(), Bytes({1, 5, 0x10, 0}));
    EXPECT_EQ(out.IEs()[1]->Identifier, 0x11);
    EXPECT_EQ(out.IEs()[1]->Data(), pixels);
    EXPECT_EQ(out.Data(), "hello");
    ASSERT_EQ(out.SegmentCount(), 1);
    const std::string segment = out.GetSegment(1);
    EXPECT_EQ(segment, Header({{0x0A, Bytes({1, 5, 0x10, 0})}, {0x11, pixels}}, "hello"));
}

TEST(EMS, ExtendedObjectOverThreeElementsThenANewOne)
{
    const std::string first = Bytes({3, 0x2C, 0x01, 0, 1, 0, 0}) + std::string(100, 'a');
    const std::string second(120, 'b');
    const std::string third(80, 'c');
    const std::string fourth = Bytes({4, 10, 0, 0, 1, 5, 0}) + std::string(10, 'd');
    const std::string fifth = Bytes({5, 2, 0, 0, 1, 6, 0}) + "ee";
    TUDHProtocol udh;
    // Three segments of one payload: the elements accumulate in arrival order.
    auto segment = [](int seq, const std::vector<std::pair<int, std::string>> &elements) {
        std::vector<std::pair<int, std::string>> all = {{0x00, Bytes({0x42, 3, seq})}};
        all.insert(all.end(), elements.begin(), elements.end());
        return Header(all);
    };
    Receive(udh, segment(1, {{0x14, first}}));
    Receive(udh, segment(2, {{0x14, second}}));
    Receive(udh, segment(3, {{0x14, third}, {0x14, fourth}, {0x14, fifth}}));
    ASSERT_EQ(udh.State(), kStateComplete);
    TEMS ems;
    ems.LoadFromUDH(udh);
    ASSERT_EQ(ems.Items.size(), 5u);
    std::vector<bool> firsts;
    for (const auto &item : ems.Items)
        firsts.push_back(dynamic_cast<TEMSXObject &>(*item).First);
    EXPECT_EQ(firsts, (std::vector<bool>{true, false, false, true, true}));
    auto &x1 = dynamic_cast<TEMSXObject &>(*ems.Items[0]);
    EXPECT_EQ(x1.ObjectLength, 300);
    EXPECT_EQ(x1.Data, std::string(100, 'a'));
    EXPECT_EQ(dynamic_cast<TEMSXObject &>(*ems.Items[1]).Data, second);
    auto &x4 = dynamic_cast<TEMSXObject &>(*ems.Items[3]);
    EXPECT_EQ(x4.ReferenceNumber, 4);
    EXPECT_EQ(x4.Position, 5);
    auto &x5 = dynamic_cast<TEMSXObject &>(*ems.Items[4]);
    EXPECT_EQ(x5.ReferenceNumber, 5);
    EXPECT_EQ(x5.Data, "ee");
    // Written back, each element is what was received.
    TUDHProtocol out;
    ems.SaveToUDH(out);
    ASSERT_EQ(out.IEs().Count(), 5);
    EXPECT_EQ(out.IEs()[1]->Data(), second);
    EXPECT_EQ(out.IEs()[3]->Data(), fourth);
}

TEST(EMS, DataRequestAndItemsWithoutElement)
{
    TEMS ems;
    ems.Items.push_back(std::make_unique<TEMSXObjectDataRequest>());
    ems.Items.push_back(std::make_unique<TEMSPicture>()); // no element of its own: skipped
    ems.Items.push_back(std::make_unique<TEMSUnknown>());
    TUDHProtocol udh;
    ems.SaveToUDH(udh);
    ASSERT_EQ(udh.IEs().Count(), 1);
    EXPECT_EQ(udh.IEs()[0]->Identifier, 0x1A);
    EXPECT_EQ(udh.IEs()[0]->Data(), "");
    EXPECT_EQ(udh.GetSegment(1), Bytes({2, 0x1A, 0}));
    TUDHProtocol received;
    Receive(received, udh.GetSegment(1));
    TEMS back;
    back.LoadFromUDH(received);
    ASSERT_EQ(back.Items.size(), 1u);
    EXPECT_STREQ(back.Items[0]->ClassName(), "TEMSXObjectDataRequest");
}

TEST(EMS, BadIMelodyStopsWithTheItemsReadSoFar)
{
    TUDHProtocol udh;
    Receive(udh, Header({{0x0B, Bytes({0, 1})},
                         {0x0C, "\x01"
                                "BEGIN:VCARD\r\nEND:VCARD\r\n"},
                         {0x13, Bytes({1})}}));
    TEMS ems;
    EXPECT_THROW(ems.LoadFromUDH(udh), EGSMError);
    EXPECT_EQ(ClassNames(ems), (std::vector<std::string>{"TEMSSoundPredef"}));
}

} // namespace
} // namespace kestrel
