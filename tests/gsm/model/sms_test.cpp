// TPDU classes: the encodings of a few hand-built messages, real handsets' and tools' PDUs decoded
// field by field and written back octet for octet, and PDUs cut short or lying about lengths.
#include "base/rtlerrors.h"
#include "connect/connection.h"
#include "gsm/gsmerror.h"
#include "gsm/sms.h"
#include "gsm/smscontext.h"
#include "gsm/tpdufields.h"

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

struct TTestEngine : ISMSContext {
    bool scaInPDU = true;
    std::string sca;
    bool SCAInPDU() const override { return scaInPDU; }
    std::string SCA() const override { return sca; }
};

std::string hex(const std::string &s)
{
    return StrToHex(s);
}

// The TPDU part of a PDU whose service-centre field comes first, behind an empty field.
std::string withEmptySCA(const std::string &pdu)
{
    std::string b = HexToStr(pdu);
    return "00" + StrToHex(b.substr(static_cast<uint8_t>(b[0]) + 1));
}

TSMSSubmit helloSubmit()
{
    TSMSSubmit sms;
    sms.FirstOctet = 0x11;
    sms.DA = "+123456";
    sms.VP = 0.5;
    sms.UserData = TextToGSM("hellohello");
    return sms;
}

enum TContent { kText, kOctets };

struct TReference {
    const char *name, *pdu;
    bool mt;
    const char *address;
    uint8_t dcs;
    TContent content;
    const char *text; // hex of: the 8-bit text of 7-bit user data, the UCS2 octets; after the header
};

// Messages written by another implementation to a handset (submits) or stored by a handset
// (delivers), with the fields an independent analyser read from them.
const TReference kReferences[] = {
    {"text_7bit_basic/1", "079144775810065011000C914421436587090000FF0DC8329BFD060140F7B79C4D06", false,
     "+441234567890", 0x00, kText, "48656C6C6F204020776F726C64"},
    {"text_7bit_escapes/1",
     "079144775810065011000C914421436587090000FF4AC5BAFC0DDA94416279785C9E833628FC260512CBC3E375993E076D78F98"
     "D0F444FB3C965D0A6071287C7EB393B3C4783362FD0382C2FD3411B0A089E8697411B20",
     false, "+441234567890", 0x00, kText,
     "4575726F208020627261636573207B787D20627261636B657473205B795D2074696C6465207E206261636B736C617368205C206"
     "361726574205E2070697065207C"},
    {"text_7bit_concat3/1",
     "079144775810065051000C914421436587090000FFA0050003BD0301A8E832285E4F8FD720B1FC7D7783CC6F3C485D6FC3E7A0B"
     "7BD2C07D1D165103BACCF83C8EF3308067381A8E832285E4F8FD720B1FC7D7783CC6F3C485D6FC3E7A0B7BD2C07D1D165103BAC"
     "CF83C8EF3308167381A8E832285E4F8FD720B1FC7D7783CC6F3C485D6FC3E7A0B7BD2C07D1D165103BACCF83C8EF3308267381A"
     "8E832285E4F8FD7",
     false, "+441234567890", 0x00, kText,
     "54686520717569636B2062726F776E20666F78206A756D7073206F76657220746865206C617A7920646F672030302E205468652"
     "0717569636B2062726F776E20666F78206A756D7073206F76657220746865206C617A7920646F672030312E2054686520717569"
     "636B2062726F776E20666F78206A756D7073206F76657220746865206C617A7920646F672030322E2054686520717569636B"},
    {"text_7bit_concat3/2",
     "079144775810065051000C914421436587090000FFA0050003BD03024062F9FBEE0699DF7890BADE86CF416F7B590EA2A3CB207"
     "6589F0791DF67106CE60251D16550BC9E1EAF4162F9FBEE0699DF7890BADE86CF416F7B590EA2A3CB2076589F0791DF67108CE6"
     "0251D16550BC9E1EAF4162F9FBEE0699DF7890BADE86CF416F7B590EA2A3CB2076589F0791DF6710ACE60251D16550BC9E1EAF4"
     "162F9FBEE0699DF",
     false, "+441234567890", 0x00, kText,
     "2062726F776E20666F78206A756D7073206F76657220746865206C617A7920646F672030332E2054686520717569636B2062726"
     "F776E20666F78206A756D7073206F76657220746865206C617A7920646F672030342E2054686520717569636B2062726F776E20"
     "666F78206A756D7073206F76657220746865206C617A7920646F672030352E2054686520717569636B2062726F776E20666F"},
    {"text_7bit_concat3/3",
     "079144775810065051000C914421436587090000FF65050003BD0303F02075BD0D9F83DEF6B21C44479741ECB03E0F22BFCF209"
     "8CD05A2A2CBA0783D3D5E83C4F2F7DD0D32BFF12075BD0D9F83DEF6B21C44479741ECB03E0F22BFCF20D8CD05A2A2CBA0783D3D"
     "5E83C4F2F7DD0D02",
     false, "+441234567890", 0x00, kText,
     "78206A756D7073206F76657220746865206C617A7920646F672030362E2054686520717569636B2062726F776E20666F78206A7"
     "56D7073206F76657220746865206C617A7920646F672030372E2054686520717569636B2062726F776E20"},
    {"text_ucs2/1",
     "079144775810065011000C914421436587090008FF30041F04400438043204350442002C0020043C043804400021002000DC006"
     "E00EF006300F6006400E9002020AC00202713",
     false, "+441234567890", 0x08, kText,
     "041F04400438043204350442002C0020043C043804400021002000DC006E00EF006300F6006400E9002020AC00202713"},
    {"text_ucs2_concat2_16bit/1",
     "079144775810065051000C914421436587090008FF8B06080407BD02010421044A04350448044C0020043604350020043504490"
     "4510020044D0442043804450020043C044F0433043A043804450020044404400430043D0446044304370441043A043804450020"
     "04310443043B043E043A002C00200434043000200432044B043F04350439002004470430044E002E00200421044A04350448044"
     "C002004360435",
     false, "+441234567890", 0x08, kText,
     "0421044A04350448044C00200436043500200435044904510020044D0442043804450020043C044F0433043A043804450020044"
     "404400430043D0446044304370441043A04380445002004310443043B043E043A002C00200434043000200432044B043F043504"
     "39002004470430044E002E00200421044A04350448044C002004360435"},
    {"text_ucs2_concat2_16bit/2",
     "079144775810065051000C914421436587090008FF6B06080407BD020200200435044904510020044D0442043804450020043C0"
     "44F0433043A043804450020044404400430043D0446044304370441043A04380445002004310443043B043E043A002C00200434"
     "043000200432044B043F04350439002004470430044E002E0020",
     false, "+441234567890", 0x08, kText,
     "00200435044904510020044D0442043804450020043C044F0433043A043804450020044404400430043D0446044304370441043"
     "A04380445002004310443043B043E043A002C00200434043000200432044B043F04350439002004470430044E002E0020"},
    {"text_flash/1", "079144775810065011000C9144214365870900F0FF0D4676788E06B5CBF379F85C06", false,
     "+441234567890", 0xF0, kText, "466C617368206D657373616765"},
    {"text_status_report/1", "079144775810065031000C914421436587090000FF0DD232FC2DA783E0EC72785E06", false,
     "+441234567890", 0x00, kText, "5265706F727420706C65617365"},
    {"text_validity_week/1", "079144775810065011000C914421436587090000AD0DD6303B4D4ED3F3A06BB1B804", false,
     "+441234567890", 0x00, kText, "56616C6964697479205745454B"},
    {"deliver_text/1", "0791447758100650000C914421436587090000425060708090000DC8329BFD0691CBECB4BD2C07", true,
     "+441234567890", 0x00, kText, "48656C6C6F2064656C69766572"},
    {"deliver_text_alnum_sender2/1", "07914477581006500012D04F7978CC2E839874320000425060708090000541B6BBDE06",
     true, "Oracle Ltd", 0x00, kText, "416C6E756D"},
    {"deliver_ucs2/1",
     "0791447758100650000C9144214365870900084250607080900030041F04400438043204350442002C0020043C0438044000210"
     "02000DC006E00EF006300F6006400E9002020AC00202713",
     true, "+441234567890", 0x08, kText,
     "041F04400438043204350442002C0020043C043804400021002000DC006E00EF006300F6006400E9002020AC00202713"},
    {"deliver_concat2/1",
     "0791447758100650400C91442143658709000042506070809000A0050003BD0201C2E231B96C3EA3D3EA35BBED7EC3E3F239BD6"
     "EBFE3F3FAA070482C1A8FC8A472C96C3A9FD0A8744AAD5AAFD8AC161693CD6835DB0D9703B95861F1985C369FD169F59ADD76BF"
     "E171F99C5EB7DFF1797D503824168D476452B964369D4F68543AA556AD576C560B8BC966B49AED86CB815CACB0784C2E9BCFE8B"
     "47ACD6EBBDFF0B87C4EAFDBEF",
     true, "+441234567890", 0x00, kText,
     "6162636465666768696A6B6C6D6E6F707172737475767778797A4142434445464748494A4B4C4D4E4F505152535455565758595"
     "A30313233343536373839202E2C6162636465666768696A6B6C6D6E6F707172737475767778797A4142434445464748494A4B4C"
     "4D4E4F505152535455565758595A30313233343536373839202E2C6162636465666768696A6B6C6D6E6F7071727374757677"},
    {"deliver_concat2/2",
     "0791447758100650400C9144214365870900004250607080900036050003BD0202F0797D503824168D476452B964369D4F68543"
     "AA556AD576C560B8BC966B49AED86CB815CACB0784C2E03",
     true, "+441234567890", 0x00, kText,
     "78797A4142434445464748494A4B4C4D4E4F505152535455565758595A30313233343536373839202E2C6162636465"},
    {"ringtone_nokia/1",
     "079144775810065051000C9144214365870900F5FF2C06050415810000024A3A5539BDADA584040A26A64895613624BA0CA1449"
     "8938C2682A838C34C2482A8344000",
     false, "+441234567890", 0xF5, kOctets, nullptr},
    {"ringtone_long/1",
     "079144775810065051000C9144214365870900F5FF8C0B0504158100000003BD0201024A3A5131BDB99C040B469647916156186"
     "288B126185584504184D85D8698A26C49A61761341061561961C628AB12718658550418598698A22C2CC22C49A6164106116156"
     "186288B126185584504184D85D8698A26C49A61761341061561961C628AB12718658550418598698A22C2CC22C49A6164106116"
     "156186288B12618",
     false, "+441234567890", 0xF5, kOctets, nullptr},
    {"ringtone_long/2",
     "079144775810065051000C9144214365870900F5FF6F0B0504158100000003BD02025584504184D85D8698A26C49A6176134106"
     "1561961C628AB12718658550418598698A22C2CC22C49A6164106116156186288B126185584504184D85D8698A26C49A6176134"
     "1061561961C628AB12718658550418598698A22C2CC22C49A61641060000",
     false, "+441234567890", 0xF5, kOctets, nullptr},
    {"operator_logo/1",
     "079144775810065051000C9144214365870900F5FF8C0605041582000032F45100480E01FFFFFFFFFFFFFFFFFFC003000C00300"
     "0C003A0048012004801200590084021008402100988102040810204081184201080420108042182400900240090024181800600"
     "1800600181818006001D553554D48240090026AA3AA8EB8420108047545D51748810204083A8AEA2BB9008402105D157455CFFF"
     "FFFFFFD55555555",
     false, "+441234567890", 0xF5, kOctets, nullptr},
    {"picture_text/1",
     "079144775810065051000C9144214365870900F5FF8C0B0504158A00000003BD03013002010000481C01FFFFFFFFFFFFFFFFFF8"
     "00010800001080001800020400002040001800040200004020001800080100008010001800100080010008001C0020004002000"
     "4003A00400020040002005900800010080001009881000008100000811842000004200000421824000002400000241818000001"
     "800000181818000",
     false, "+441234567890", 0xF5, kOctets, nullptr},
    {"picture_text/2",
     "079144775810065051000C9144214365870900F5FF8C0B0504158A00000003BD030200180000018182400000240000024184200"
     "00040AAAAAE8B881000008455555D4490080001022AAABAA3A00400020515557550C0020004028AAAEAA980010008054555D554"
     "8000801002A2ABAAAB8000402005515755548000204002A8AEAAAB8000108005545D55548000090002AA3AAAAB8000060005553"
     "55554FFFFFFFFFD",
     false, "+441234567890", 0xF5, kOctets, nullptr},
    {"picture_text/3",
     "079144775810065051000C9144214365870900F5FF1B0B0504158A00000003BD0303555555550000084869207468657265",
     false, "+441234567890", 0xF5, kOctets, nullptr},
    {"vcard21/1",
     "079144775810065051000C914421436587090000FFA0050003BD020184C563D2A9B30E83526243612D4AA7C9A7532773C51A0A6"
     "CEB186C36AB2DE67318A4269F4E5DACA1C0B68EC166B3DA6A169B4F6956D72C3614D42273372C3299BA158D1693CD6835DB0D97"
     "833514D422730795168D3BE4B359D4C162B219AD66BBE1720D45B1194C3275EA37DA0D28E3C36D38BBEC1ABFDB0D8553477C977"
     "7CA37DADD50149D",
     false, "+441234567890", 0x00, kText,
     "424547494E3A56434152440D0A56455253494F4E3A322E310D0A582D47414D4D552D4C4F434154494F4E3A310D0A582D47414D4"
     "D552D4D454D4F52593A4D450D0A54454C3B43454C4C3A2B3434313233343536373839300D0A54454C3B505245463B484F4D453A"
     "303132333435363738390D0A454D41494C3A6A6F686E406578616D706C652E636F6D0D0A4E3A446F653B4A6F686E0D0A454E"},
    {"vcard21/2", "079144775810065051000C914421436587090000FF10050003BD0202883AEB3028253614", false,
     "+441234567890", 0x00, kText, "443A56434152440D0A"},
    {"ems_format_bold/1", "079144775810065051000C9144214365870900F0FF0F050A03020413F0A0EB5B4E06E501", false,
     "+441234567890", 0xF0, kText, "7820576F72642079"},
    {"ems_defsound_3/1", "079144775810065051000C9144214365870900F0FF0C040B0206034CDF75371904", false,
     "+441234567890", 0xF0, kText, "536F756E6420"},
    {"ems_small_picture/1",
     "079144775810065051000C9144214365870900F0FF2A23112100FFFFC003A005900988118421824181818181826B8474883B905"
     "CA02FC056FFD500",
     false, "+441234567890", 0xF0, kOctets, nullptr},
    {"ems_large_animation/1",
     "079144775810065051000C9144214365870900F0FF97830E8100F000F000F000F000F000F000F000F000F000F000F000F000F00"
     "0F000F000F000000F000F000F000F000F000F000F000F000F000F000F000F000F000F000F000F00F000F000F000F000F000F000"
     "F000F000F000F000F000F000F000F000F000F00F000F000F000F000F000F000F000F000F000F000F000F000F000F000F000F000"
     "0",
     false, "+441234567890", 0xF0, kText, ""},
    {"ems_tone10/1",
     "079144775810065051000C9144214365870900F0FF7B6A0C6800424547494E3A494D454C4F44590D0A56455253494F4E3A312E3"
     "00D0A464F524D41543A434C415353312E300D0A4D454C4F44593A2A3565332A3564332366322367322A35236333623364326532"
     "62336133236332653261310D0A454E443A494D454C4F44590D0A00",
     false, "+441234567890", 0xF0, kOctets, nullptr},
    {"ems_long_text/1",
     "079144775810065051000C914421436587090000FFA0050003BD0201C2E231B96C3EA3D3EA35BBED7EC3E3F239BD6EBFE3F3FAA"
     "070482C1A8FC8A472C96C3A9FD0A8744AAD5AAFD8AC161693CD6835DB0D9703B95861F1985C369FD169F59ADD76BFE171F99C5E"
     "B7DFF1797D503824168D476452B964369D4F68543AA556AD576C560B8BC966B49AED86CB815CACB0784C2E9BCFE8B47ACD6EBBD"
     "FF0B87C4EAFDBEF",
     false, "+441234567890", 0x00, kText,
     "6162636465666768696A6B6C6D6E6F707172737475767778797A4142434445464748494A4B4C4D4E4F505152535455565758595"
     "A30313233343536373839202E2C6162636465666768696A6B6C6D6E6F707172737475767778797A4142434445464748494A4B4C"
     "4D4E4F505152535455565758595A30313233343536373839202E2C6162636465666768696A6B6C6D6E6F7071727374757677"},
    {"ems_long_text/2",
     "079144775810065051000C914421436587090000FF36050003BD0202F0797D503824168D476452B964369D4F68543AA556AD576"
     "C560B8BC966B49AED86CB815CACB0784C2E03",
     false, "+441234567890", 0x00, kText,
     "78797A4142434445464748494A4B4C4D4E4F505152535455565758595A30313233343536373839202E2C6162636465"},
};

} // namespace

TEST(SMSTest, SubmitEncoding)
{
    TSMSSubmit sms = helloSubmit();
    EXPECT_EQ(sms.GetPDU(), "001100069121436500008F0AE8329BFD4697D9EC37");
    TTestEngine engine;
    engine.scaInPDU = false;
    sms.GSM = &engine;
    EXPECT_EQ(sms.GetPDU(), "1100069121436500008F0AE8329BFD4697D9EC37");
    engine.scaInPDU = true;
    EXPECT_EQ(sms.GetPDU(), "001100069121436500008F0AE8329BFD4697D9EC37");
}

TEST(SMSTest, UserDataCut)
{
    struct {
        uint8_t dcs;
        const char *udl;
        size_t octets;
    } rows[] = {{0x00, "A0", 140}, {0xF5, "8C", 140}, {0x08, "8C", 140}, {0xF0, "A0", 140}};
    for (const auto &row : rows) {
        TSMSSubmit sms;
        sms.DCS = row.dcs;
        sms.UserData = std::string(200, 'A');
        std::string pdu = sms.Encode();
        // 00, first octet, MR, address 0081, PID, DCS, then UDL
        EXPECT_EQ(hex(pdu.substr(7, 1)), row.udl) << int(row.dcs);
        EXPECT_EQ(pdu.size() - 8, row.octets) << int(row.dcs);
    }
    // A header counts against the 160 septets: 7 of them for a 6-octet header.
    TSMSSubmit sms;
    sms.FirstOctet = 0x41;
    sms.UserData = HexToStr("050003010201") + std::string(200, 'A');
    std::string pdu = sms.Encode();
    EXPECT_EQ(hex(pdu.substr(7, 1)), "A0");
    sms.Decode(pdu);
    EXPECT_EQ(sms.UserData.size(), 6u + 153u);
}

TEST(SMSTest, FirstOctetHelpers)
{
    TSMSSubmit sms;
    sms.SetFirstOctetBit(5, true);
    EXPECT_EQ(sms.FirstOctet, 0x21);
    sms.SetFirstOctetBit(0, false);
    EXPECT_EQ(sms.FirstOctet, 0x20);
    sms.FirstOctet = 0x11;
    EXPECT_EQ(sms.FirstOctetField(3), 2);
    EXPECT_TRUE(sms.FirstOctetBit(4));
    EXPECT_FALSE(sms.FirstOctetBit(6));
    EXPECT_EQ(TSMSDeliver().FirstOctet, 0x00);
    EXPECT_EQ(TSMSStatusReport().FirstOctet, 0x02);
    EXPECT_EQ(TSMSCommand().FirstOctet, 0x02);
    EXPECT_EQ(TSMSDeliverReport().FirstOctet, 0x00);
    EXPECT_EQ(TSMSSubmitReport().FirstOctet, 0x01);
}

TEST(SMSTest, FactoryChoices)
{
    struct {
        const char *pdu;
        bool mt;
    } rows[] = {
        {"0003", true},                            // message type 3
        {"0007", false}, {"", true}, {"05", true}, // the service-centre field runs past the end
        {"0591", false},
    };
    for (const auto &row : rows)
        EXPECT_EQ(CreateSMSFromPDU(nullptr, row.pdu, row.mt), nullptr) << row.pdu;
    // Complete TPDUs of every type, in both directions.
    TSMSDeliver deliver;
    deliver.FirstOctet = 0x04;
    TSMSSubmitReport submitReport;
    TSMSStatusReport statusReport;
    TSMSDeliverReport deliverReport;
    TSMSSubmit submit;
    TSMSCommand command;
    struct {
        const TSMS2 *source;
        bool mt;
    } made[] = {{&deliver, true},        {&submitReport, true}, {&statusReport, true},
                {&deliverReport, false}, {&submit, false},      {&command, false}};
    for (const auto &row : made) {
        auto sms = CreateSMSFromPDU(nullptr, row.source->GetPDU(), row.mt);
        ASSERT_NE(sms, nullptr) << row.source->ClassName();
        EXPECT_STREQ(sms->ClassName(), row.source->ClassName());
        EXPECT_EQ(sms->GetPDU(), row.source->GetPDU());
    }
    EXPECT_THROW(CreateSMSFromPDU(nullptr, "0004", true), EGSMError);
    EXPECT_THROW(CreateSMSFromPDU(nullptr, "00GG", true), EConvertError);
}

TEST(SMSTest, FactoryTakesEngine)
{
    TTestEngine engine;
    engine.sca = "+4915200000";
    // With the field: an empty one reports the engine's centre, a full one its own.
    auto sms = CreateSMSFromPDU(&engine, "00" + withEmptySCA(kReferences[11].pdu).substr(2), true);
    ASSERT_NE(sms, nullptr);
    EXPECT_EQ(sms->SCA, "+4915200000");
    EXPECT_EQ(sms->GSM, &engine);
    sms = CreateSMSFromPDU(&engine, kReferences[11].pdu, true);
    EXPECT_EQ(sms->SCA, "+447785016005");
    // Without the field: the engine's centre, and the first octet is the TPDU's.
    engine.scaInPDU = false;
    sms = CreateSMSFromPDU(&engine, withEmptySCA(kReferences[11].pdu).substr(2), true);
    ASSERT_NE(sms, nullptr);
    EXPECT_STREQ(sms->ClassName(), "TSMSDeliver");
    EXPECT_EQ(sms->SCA, "+4915200000");
    EXPECT_EQ(static_cast<TSMSDeliver *>(sms.get())->OA, "+441234567890");
}

TEST(SMSTest, Reports)
{
    TSMSDeliverReport report;
    report.ParameterIndicator = 0x07;
    report.PID = 0x7F;
    report.DCS = 0x04;
    report.UserData = "\x01\x02";
    EXPECT_EQ(report.GetPDU(), "0000077F04020102");
    report.ParameterIndicator = 0x02;
    EXPECT_EQ(report.GetPDU(), "00000204");
    TSMSDeliverReport decoded;
    decoded.DCS = 0x08;
    decoded.SetPDU("0000017F");
    EXPECT_EQ(decoded.ParameterIndicator, 0x01);
    EXPECT_EQ(decoded.DCS, 0x08);                      // absent: keeps its value
    EXPECT_THROW(decoded.SetPDU("000001"), EGSMError); // PID announced, missing

    TSMSSubmitReport submitReport;
    submitReport.ParameterIndicator = 0x04;
    submitReport.SCTS = EncodeDate(2024, 5, 6) + EncodeTime(7, 8, 9, 0);
    submitReport.TimeZone = -12;
    submitReport.UserData = TextToGSM("ok");
    TSMSSubmitReport copy;
    copy.Decode(submitReport.Encode());
    EXPECT_EQ(copy.GetPDU(), "00010442506070809029"
                             "02EF35");
    EXPECT_EQ(copy.ParameterIndicator, 0x04);
    EXPECT_DOUBLE_EQ(copy.SCTS, submitReport.SCTS);
    EXPECT_EQ(copy.TimeZone, -12);
    EXPECT_EQ(copy.UserData, TextToGSM("ok"));

    TSMSStatusReport status;
    status.MR = 0x2A;
    status.RA = "+4412";
    status.SCTS = EncodeDate(2002, 3, 12) + EncodeTime(10, 32, 54, 0);
    status.TimeZone = 4;
    status.DischargeTime = status.SCTS + 1.0 / 24;
    status.DischargeZone = -4;
    status.Status = 0x00;
    EXPECT_EQ(status.GetPDU(), "00022A04914421"
                               "20302101234540"
                               "20302111234548"
                               "00");
    TSMSStatusReport statusCopy;
    statusCopy.SetPDU(status.GetPDU());
    EXPECT_EQ(statusCopy.RA, "+4412");
    EXPECT_EQ(statusCopy.DischargeZone, -4);
    EXPECT_DOUBLE_EQ(statusCopy.DischargeTime, status.DischargeTime);

    TSMSCommand command;
    command.MR = 1;
    command.CommandType = 0x02; // delete
    command.MessageNumber = 0x2A;
    command.DA = "123";
    command.UserData = "\x01\x02";
    EXPECT_EQ(command.GetPDU(), "00020100022A038121F3020102"); // data as octets, whatever DCS says
    TSMSCommand commandCopy;
    commandCopy.SetPDU(command.GetPDU());
    EXPECT_EQ(commandCopy.MessageNumber, 0x2A);
    EXPECT_EQ(commandCopy.UserData, "\x01\x02");
}

TEST(SMSTest, ReferencePDUs)
{
    for (const auto &ref : kReferences) {
        SCOPED_TRACE(ref.name);
        std::unique_ptr<TSMS2> sms;
        ASSERT_NO_THROW(sms = CreateSMSFromPDU(nullptr, ref.pdu, ref.mt));
        ASSERT_NE(sms, nullptr);
        EXPECT_EQ(sms->SCA, "+447785016005");
        EXPECT_EQ(sms->DCS, ref.dcs);
        if (ref.mt) {
            auto *deliver = dynamic_cast<TSMSDeliver *>(sms.get());
            ASSERT_NE(deliver, nullptr);
            EXPECT_EQ(deliver->OA, ref.address);
            EXPECT_DOUBLE_EQ(deliver->SCTS, EncodeDate(2024, 5, 6) + EncodeTime(7, 8, 9, 0));
            EXPECT_EQ(deliver->TimeZone, 0);
        } else {
            auto *submit = dynamic_cast<TSMSSubmit *>(sms.get());
            ASSERT_NE(submit, nullptr);
            EXPECT_EQ(submit->DA, ref.address);
        }
        // Written back octet for octet (behind an empty service-centre field).
        EXPECT_EQ(sms->GetPDU(), withEmptySCA(ref.pdu));
        if (ref.content == kText) {
            size_t header = sms->FirstOctetBit(6) ? static_cast<uint8_t>(sms->UserData[0]) + 1 : 0;
            std::string body = sms->UserData.substr(header);
            EXPECT_EQ(hex(sms->SevenBit() ? GSMToText(body) : body), ref.text);
        }
    }
}

TEST(SMSTest, ConcatenatedSevenBitFromHandset)
{
    // Second part of a two-part text: header 05 00 03 BD 02 02, one fill bit, then the text.
    auto sms = CreateSMSFromPDU(nullptr, kReferences[15].pdu, true);
    ASSERT_NE(sms, nullptr);
    EXPECT_EQ(hex(sms->UserData.substr(0, 6)), "050003BD0202");
    EXPECT_EQ(GSMToText(sms->UserData.substr(6)), "xyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,abcde");
}

TEST(SMSTest, NegativeZoneAndValidityFormats)
{
    // A deliver stamped at UTC-1 (zone octet 0x48) and one at UTC+5:45 (23 quarters, 0x32).
    struct {
        const char *zoneOctet;
        int8_t zone;
    } zones[] = {{"48", -4}, {"32", 23}, {"00", 0}, {"2A", -22}};
    for (const auto &row : zones) {
        std::string pdu = std::string("0004038121F30000425060708090") + row.zoneOctet + "0141";
        auto sms = CreateSMSFromPDU(nullptr, pdu, true);
        ASSERT_NE(sms, nullptr);
        EXPECT_EQ(static_cast<TSMSDeliver *>(sms.get())->TimeZone, row.zone) << row.zoneOctet;
        EXPECT_EQ(sms->GetPDU(), pdu);
    }
    // Enhanced validity (VPF 1): its seven octets are skipped, the user data after them is read.
    const char *enhanced = "000900038121F300000100000000000002C834";
    auto submit = CreateSMSFromPDU(nullptr, enhanced, false);
    ASSERT_NE(submit, nullptr);
    EXPECT_EQ(GSMToText(submit->UserData), "Hi");
    // Written with seven zero octets ("no validity period specified").
    EXPECT_EQ(submit->GetPDU(), "000900038121F300000000000000000002C834");
    // Absolute validity (VPF 3) with its zone.
    TSMSSubmit absolute;
    absolute.FirstOctet = 0x19;
    absolute.VP = EncodeDate(2024, 12, 31) + EncodeTime(23, 0, 0, 0);
    absolute.VPTimeZone = -20;
    absolute.UserData = "A";
    std::string pdu = absolute.GetPDU();
    EXPECT_EQ(pdu, "001900008100004221133200000A"
                   "0141");
    auto copy = CreateSMSFromPDU(nullptr, pdu, false);
    EXPECT_DOUBLE_EQ(static_cast<TSMSSubmit *>(copy.get())->VP, absolute.VP);
    EXPECT_EQ(static_cast<TSMSSubmit *>(copy.get())->VPTimeZone, -20);
}

TEST(SMSTest, CutShortAndLyingLengths)
{
    // Every proper prefix of a complete TPDU is refused with EGSMError naming a field.
    struct {
        const char *pdu;
        bool mt;
    } complete[] = {{kReferences[0].pdu, false},
                    {kReferences[11].pdu, true},
                    {kReferences[12].pdu, true},
                    {kReferences[14].pdu, true},
                    {"00022A04914421203021012345402030211123454800", true}};
    for (const auto &row : complete) {
        std::string b = HexToStr(row.pdu);
        for (size_t n = static_cast<uint8_t>(b[0]) + 2; n < b.size(); ++n)
            EXPECT_THROW(CreateSMSFromBytes(nullptr, b.substr(0, n), row.mt), EGSMError)
                << row.pdu << " cut at " << n;
        EXPECT_NO_THROW(CreateSMSFromBytes(nullptr, b, row.mt)) << row.pdu;
    }
    struct {
        const char *pdu;
        const char *error;
    } lies[] = {
        {"0004038121F300004250607080900005C834", "user data: 5 octets needed, 2 left"},
        {"00040F8121F3", "address: 8 octets needed, 2 left"},
        {"0004038121F3000042506070", "service centre time stamp: 6 octets needed, 4 left"},
        // UDHI with a header longer than the septets announced
        {"0044038121F300004250607080900003050003",
         "user data header: 6 octets announced, user data holds 3 septets"},
        {"0F91", "service centre: 14 octets needed, 0 left"},
    };
    for (const auto &row : lies) {
        try {
            TSMSDeliver().SetPDU(row.pdu);
            ADD_FAILURE() << row.pdu;
        } catch (const EGSMError &e) {
            EXPECT_STREQ(e.what(), row.error) << row.pdu;
        }
    }
}

TEST(CellBroadcastTest, Pages)
{
    TCellBroadcast cb;
    cb.DCS = 0x0F;
    cb.MessageId = 0x1234;
    cb.SetMessageCode(0x2AB);
    cb.SetPageNibble(4, 2);
    cb.SetPageNibble(0, 3);
    cb.Content = TextToGSM("ABC");
    std::string page = cb.Encode();
    ASSERT_EQ(page.size(), 88u);
    EXPECT_EQ(hex(page.substr(0, 6)), "2AB012340F23");
    EXPECT_EQ(cb.MessageCode(), 0x2AB);
    EXPECT_EQ(cb.PageNumber(), 2);
    EXPECT_EQ(cb.PageCount(), 3);
    TCellBroadcast copy;
    copy.Decode(page);
    EXPECT_EQ(copy.Content, "ABC");
    EXPECT_EQ(copy.GetPDU(), cb.GetPDU());
    EXPECT_EQ(copy.MessageId, 0x1234);
    // Serial bits outside the message code stay: scope and update number.
    copy.SerialHigh = 0xC0;
    copy.SerialLow = 0x05;
    copy.SetMessageCode(0x3FF);
    EXPECT_EQ(copy.Serial(), 0xFFF5);
    EXPECT_EQ(copy.UpdateNumber(), 5);
    EXPECT_EQ(copy.GeographicalScope(), 3);

    struct {
        uint8_t dcs;
        std::string content;
    } codings[] = {{0x11, std::string("\x04\x1F\x04\x40", 4)}, {0x44, "\x01\x02\x0D\x03"}, {0x00, "Hi"}};
    for (const auto &row : codings) {
        TCellBroadcast c;
        c.DCS = row.dcs;
        c.Content = row.content;
        TCellBroadcast d;
        d.Decode(c.Encode());
        EXPECT_EQ(c.Encode().size(), 88u);
        EXPECT_EQ(hex(d.Content), hex(row.content)) << int(row.dcs);
    }
    // A page cut short yields what is there; a header cut short is refused.
    TCellBroadcast cut;
    cut.Decode(page.substr(0, 10));
    EXPECT_EQ(cut.Content, "ABC");
    EXPECT_THROW(cut.Decode(page.substr(0, 5)), EGSMError);
}
