#include "gsm/gsmerror.h"
#include "payloadvectors.h"
#include "xsms/otabitmap.h"
#include "xsms/ringtone.h"
#include "xsms/smartmessage.h"

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

TEST(SmartMessage, PortsSelectClasses)
{
    const std::string vcard = "BEGIN:VCARD\r\nEND:VCARD\r\n";
    const std::string vcal = "BEGIN:VCALENDAR\r\nEND:VCALENDAR\r\n";
    struct Case {
        uint16_t port;
        std::string data;
        const char *cls;
    } cases[] = {
        {226, vcard, "TSMvCard"},
        {228, vcal, "TSMvCalendar"},
        {9204, vcard, "TSMvCard"},
        {9205, vcal, "TSMvCalendar"},
        {9206, vcard, "TSMvCard"},
        {9207, vcal, "TSMvCalendar"},
        {5505, Bytes("00"), "TSMRingingTone"},
        {5506, Bytes("3032F4510A00000001"), "TSMOperatorLogo"},
        {5507, Bytes("3000000001"), "TSMCLIIcon"},
        {5514, "0", "TSMMultipartMessage"},
    };
    for (const Case &c : cases) {
        auto m = TSmartMessage::CreateFromPort(c.data, c.port);
        ASSERT_NE(m, nullptr) << c.port;
        EXPECT_STREQ(m->ClassName(), c.cls);
        EXPECT_EQ(m->GetData(), c.data) << c.port;
    }
    EXPECT_EQ(TSmartMessage::CreateFromPort("anything", 1234), nullptr);
    EXPECT_EQ(TSmartMessage::CreateFromPort("", 5508), nullptr);
    // A parse failure reaches the caller; nothing half-parsed comes back.
    EXPECT_EQ(errorOf([] { TSmartMessage::CreateFromPort(Bytes("0102"), 5505); }), "Bad ringing tone format");
    EXPECT_EQ(errorOf([&] { TSmartMessage::CreateFromPort(vcal, 226); }), "Bad directory name");
}

TEST(Directory, NewvCardRendersThreeLines)
{
    TSMvCard card;
    EXPECT_EQ(card.GetData(), "BEGIN:VCARD\r\nVERSION:2.1\r\nEND:VCARD\r\n");
    TSMvCalendar cal;
    EXPECT_EQ(cal.GetData(), "BEGIN:VCALENDAR\r\nVERSION:2.1\r\nEND:VCALENDAR\r\n");
}

TEST(Directory, ParsesRecordsWithParameters)
{
    TSMvCard card;
    card.SetData("begin:vcard\r\nTEL;TYPE=HOME;VOICE:+1 555\r\nNOTE: a:b \r\nX-EMPTY\r\n;A ; "
                 ";\r\nend:VCARD\r\nTRAIL:x\r\n");
    const TDirectoryRecords &r = card.Records;
    EXPECT_EQ(r.Kind, "VCARD");
    ASSERT_EQ(r.Count(), 4);
    EXPECT_EQ(r.Strings(0), "TEL=+1 555");
    EXPECT_EQ(r.Parameters(0), (std::vector<std::string>{"TYPE=HOME", "VOICE"}));
    EXPECT_EQ(r.Strings(1), "NOTE= a:b "); // value kept as is, colons and blanks included
    EXPECT_EQ(r.Strings(2), "X-EMPTY=");
    EXPECT_TRUE(r.Parameters(2).empty());
    EXPECT_EQ(r.Strings(3), "=");
    EXPECT_EQ(r.Parameters(3), std::vector<std::string>{"A"});
    EXPECT_EQ(r.Values("tel"), "+1 555");
    EXPECT_EQ(card.GetData(),
              "BEGIN:VCARD\r\nTEL;TYPE=HOME;VOICE:+1 555\r\nNOTE: a:b \r\nX-EMPTY:\r\n;A:\r\nEND:VCARD\r\n");
}

TEST(Directory, UnfoldsContinuationLines)
{
    for (const char *text :
         {"BEGIN:VCARD\r\nN:Do\r\n e\r\nEND:VCARD", "BEGIN:VCARD\r\nN:Do\r\n\te\r\nEND:VCARD",
          "BEGIN:VCARD\nN:Doe\rEND:VCARD\r\n"}) {
        TSMvCard card;
        card.SetData(text);
        ASSERT_EQ(card.Records.Count(), 1) << text;
        EXPECT_EQ(card.Records.Strings(0), "N=Doe");
    }
}

TEST(Directory, FoldsLongLines)
{
    TDirectoryRecords r;
    r.Kind = "VCARD";
    r.FoldingLength = 4;
    r.Add("N=abcdefghij");
    r.Add("A=b");
    EXPECT_EQ(r.Data(), "BEGIN:VCARD\r\nN:ab\r\n cdef\r\n ghij\r\nA:b\r\nEND:VCARD\r\n");
    // Folded output parses back to the same records.
    TDirectoryRecords back;
    back.SetData(r.Data());
    EXPECT_EQ(back.Strings(0), "N=abcdefghij");
    r.FoldingLength = -2; // no folding, no endless loop
    EXPECT_EQ(r.Data(), "BEGIN:VCARD\r\nN:abcdefghij\r\nA:b\r\nEND:VCARD\r\n");
}

TEST(Directory, RejectsMalformedText)
{
    struct Case {
        const char *text;
        const char *error;
    } cases[] = {
        {"", "Bad format"},
        {"BEGIN:VCARD\r\n", "Bad format"},
        {" BEGIN:VCARD\r\nEND:VCARD\r\n", "Bad format"},
        {"BEGIN:VCARD\r\nN:x\r\n", "Bad format"},
        {"BEGIN:VCARD\r\nN:x\r\nEND:VCAL\r\n", "Bad format"},
        {"BEGIN:VCALENDAR\r\nEND:VCALENDAR\r\n", "Bad directory name"},
    };
    for (const Case &c : cases) {
        TSMvCard card;
        EXPECT_EQ(errorOf([&] { card.SetData(c.text); }), c.error) << c.text;
        EXPECT_EQ(card.Records.Count(), 0);
    }
    TDirectoryRecords any; // an empty Kind adopts the name that arrives
    any.SetData("BEGIN: vCalendar \r\nEND:VCALENDAR");
    EXPECT_EQ(any.Kind, "VCALENDAR");
}

TEST(Directory, ParsesAReferencevCard)
{
    TSMvCard card;
    card.SetData(test::kvCardText);
    const TDirectoryRecords &r = card.Records;
    ASSERT_EQ(r.Count(), 7);
    EXPECT_EQ(r.Strings(0), "VERSION=2.1");
    EXPECT_EQ(r.Strings(3), "TEL=+441234567890");
    EXPECT_EQ(r.Parameters(3), std::vector<std::string>{"CELL"});
    EXPECT_EQ(r.Strings(4), "TEL=0123456789");
    EXPECT_EQ(r.Parameters(4), (std::vector<std::string>{"PREF", "HOME"}));
    EXPECT_EQ(r.Strings(6), "N=Doe;John");
    EXPECT_EQ(card.GetData(), test::kvCardText);
}

TEST(Text, Ucs2OddLengthTakesTheLastOctetAsHighByte)
{
    TSMTextUnicode t;
    t.SetData(Bytes("004142"));
    ASSERT_EQ(t.Text.size(), 2);
    EXPECT_EQ(t.Text[0].unicode(), 0x0041);
    EXPECT_EQ(t.Text[1].unicode(), 0x4200);
    EXPECT_EQ(t.GetData(), Bytes("00414200"));
    TSMTextISO iso;
    iso.SetData(std::string("a\0\xFF", 3));
    EXPECT_EQ(iso.GetData(), std::string("a\0\xFF", 3));
}

TEST(Multipart, EmptyAndUnknownItemsRoundTrip)
{
    TSMMultipartMessage m;
    m.SetData("0");
    EXPECT_TRUE(m.Items.empty());
    EXPECT_EQ(m.GetData(), "0");

    const std::string data = "0" + Bytes("050003414243"
                                         "090000"
                                         "000002"
                                         "6869"
                                         "04000200"
                                         "41"
                                         "FF0001"
                                         "7A");
    m.SetData(data);
    ASSERT_EQ(m.Items.size(), 5u);
    auto *five = dynamic_cast<TSMUnknown *>(m.Items[0].get());
    ASSERT_NE(five, nullptr);
    EXPECT_EQ(five->ItemType, 5);
    EXPECT_EQ(five->RawData, "ABC");
    EXPECT_EQ(dynamic_cast<TSMUnknown &>(*m.Items[1]).ItemType, 9);
    EXPECT_EQ(dynamic_cast<TSMTextISO &>(*m.Items[2]).Text, "hi");
    EXPECT_STREQ(m.Items[3]->ClassName(), "TSMProfile");
    EXPECT_EQ(dynamic_cast<TSMUnknown &>(*m.Items[4]).ItemType, 255);
    EXPECT_EQ(m.GetData(), data);
}

TEST(Multipart, ParsesAReferencePictureMessage)
{
    const std::string payload = Bytes(test::kPictureHex);
    TSMMultipartMessage m;
    m.SetData(payload);
    ASSERT_EQ(m.Items.size(), 2u);
    auto *bitmap = dynamic_cast<TSMOTABitmap *>(m.Items[0].get());
    ASSERT_NE(bitmap, nullptr);
    EXPECT_STREQ(bitmap->ClassName(), "TSMOTABitmap");
    EXPECT_EQ(bitmap->Width(), 72);
    EXPECT_EQ(bitmap->Height(), 28);
    EXPECT_EQ(bitmap->Frames(0).pixel(0, 0) & 0xFFFFFF, 0u);        // top row is black
    EXPECT_EQ(bitmap->Frames(0).pixel(1, 1) & 0xFFFFFF, 0xFFFFFFu); // 80 00 10 ...: inside is white
    EXPECT_EQ(dynamic_cast<TSMTextISO &>(*m.Items[1]).Text, "Hi there");
    EXPECT_EQ(m.GetData(), payload);
}

TEST(Multipart, Failures)
{
    for (const std::string &data : {std::string(), std::string("1"), std::string("0\x05", 2),
                                    std::string("0\x05\x00", 3), std::string("0\x00\x00\x00\x05", 5)}) {
        TSMMultipartMessage m;
        EXPECT_EQ(errorOf([&] { m.SetData(data); }), "Unsupported or bad multipart format") << data.size();
    }
    // Items before a failing one stay.
    TSMMultipartMessage m;
    EXPECT_EQ(errorOf([&] {
                  m.SetData("0" + Bytes("000001"
                                        "41"
                                        "030002"
                                        "0102"));
              }),
              "Bad ringing tone format");
    EXPECT_EQ(m.Items.size(), 1u);
    // An item cut short by the end of the payload gets what there is.
    m.SetData("0" + Bytes("000005"
                          "4142"));
    EXPECT_EQ(dynamic_cast<TSMTextISO &>(*m.Items.at(0)).Text, "AB");

    m.Items.clear();
    m.Items.push_back(std::make_unique<TSMvCard>());
    EXPECT_EQ(errorOf([&] { m.GetData(); }), "Unsupported multipart type");
    m.Items.clear();
    m.Items.push_back(nullptr);
    auto screen = std::make_unique<TSMScreenSaver>();
    m.Items.push_back(std::move(screen));
    m.Items.push_back(std::make_unique<TSMRingingTone>());
    EXPECT_EQ(m.GetData(), "0" + Bytes("060004"
                                       "00000001"
                                       "030001"
                                       "00"));
}

} // namespace
} // namespace kestrel
