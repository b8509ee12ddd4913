// Field codecs: alphabet, septet packing (with and without a header), addresses, time stamps,
// zones and validity periods.
#include "base/rtlerrors.h"
#include "connect/connection.h"
#include "gsm/gsmerror.h"
#include "gsm/smscontext.h"
#include "gsm/tpdufields.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace kestrel;

namespace {

std::string hex(const std::string &s)
{
    return StrToHex(s);
}
std::string bin(const char *h)
{
    return HexToStr(h);
}

struct TFixedContext : ISMSContext {
    bool scaInPDU = true;
    std::string sca = "+4477850160";
    bool SCAInPDU() const override { return scaInPDU; }
    std::string SCA() const override { return sca; }
};

} // namespace

TEST(GSMAlphabetTest, TextToGSM)
{
    struct {
        std::string text, codes;
    } rows[] = {
        {"@", std::string(1, '\0')},             // commercial at is code 0
        {"\x80", "\x1B\x65"},                    // euro: escaped
        {"{", "\x1B\x28"},                       // left curly bracket: escaped
        {"\xE1", ""},                            // a acute: not in the alphabet, dropped
        {" ", " "},                              // space: never the escaped space
        {"\xB7", "\x10"},                        // middle dot: the lowest of the Greek codes
        {"\x1B", "\x1B"},                        // the escape character itself
        {"$_\xA4", std::string("\x02\x11\x24")}, // dollar, low line, currency sign
        {"Hi \xE9!", std::string("Hi \x05!")},
    };
    for (const auto &row : rows)
        EXPECT_EQ(hex(TextToGSM(row.text)), hex(row.codes)) << hex(row.text);
    EXPECT_TRUE(IsGSMText("Hello @ world {}\x80"));
    EXPECT_FALSE(IsGSMText("caf\xE1"));
}

TEST(GSMAlphabetTest, GSMToText)
{
    struct {
        std::string codes, text;
    } rows[] = {
        {"\x1B\x3C", "["},
        {"\x10", "\xB7"},
        {"\x1B", ""},             // trailing escape yields nothing
        {"\x1B\x1B\x65", "\x80"}, // two escapes act as one
        {"\x1B\x41", " "},        // unassigned extension code: space
        {std::string("\x00\x7F", 2), "@\xE0"},
        {"\xC1", "A"}, // a code above 7 bits (hostile data) folds back into the table
    };
    for (const auto &row : rows)
        EXPECT_EQ(hex(GSMToText(row.codes)), hex(row.text)) << hex(row.codes);
    // Every character of the alphabet survives the round trip.
    for (int c = 0; c < 256; ++c) {
        std::string s(1, static_cast<char>(c));
        if (IsGSMText(s) && c != 0x1B) { // the escape character decodes to nothing
            EXPECT_EQ(hex(GSMToText(TextToGSM(s))), hex(s)) << c;
        }
    }
}

TEST(UserDataTest, PackAndUnpack)
{
    struct {
        std::string codes;
        const char *packed;
    } rows[] = {
        {"ABCDEFGH", "0841E19058341E91"},
        {"hellohello", "0AE8329BFD4697D9EC37"},
        {"A", "0141"},
        {"", "00"},
        {TextToGSM("Hello @ world"), "0DC8329BFD060140F7B79C4D06"}, // from a reference submit
    };
    for (const auto &row : rows) {
        EXPECT_EQ(hex(PackUserData(row.codes, true)), row.packed) << row.codes;
        EXPECT_EQ(hex(UnpackUserData(bin(row.packed), true)), hex(row.codes)) << row.packed;
    }
    // 8-bit: the length octet and the octets unchanged.
    EXPECT_EQ(hex(PackUserData("\x01\xFF", false)), "0201FF");
    EXPECT_EQ(hex(UnpackUserData(bin("0301FF"), false)), "01FF"); // fewer than announced: what is there
    // A length octet larger than the data never reads past it.
    EXPECT_EQ(UnpackUserData(bin("FF41"), true).size(), 1u);
    EXPECT_EQ(UnpackUserData("", true), "");
}

TEST(UserDataTest, HeaderFillBits)
{
    // Concatenation header (6 octets = 7 septets with one fill bit), then "Hi": the text starts at
    // septet 7. UDL counts 9 septets.
    std::string header = bin("050003BD0201");
    std::string ud = header + "Hi";
    std::string packed = PackUserData(ud, true, true);
    EXPECT_EQ(hex(packed), "09050003BD02019069");
    EXPECT_EQ(hex(UnpackUserData(packed, true, true)), hex(ud));
    // Header lengths needing 0..6 fill bits all round-trip.
    for (int udhl = 0; udhl < 14; ++udhl) {
        std::string h(1, static_cast<char>(udhl));
        for (int i = 0; i < udhl; ++i)
            h += static_cast<char>(0xA0 + i);
        std::string data = h + TextToGSM("fill bits");
        EXPECT_EQ(hex(UnpackUserData(PackUserData(data, true, true), true, true)), hex(data)) << udhl;
        EXPECT_EQ(static_cast<uint8_t>(PackUserData(data, true, true)[0]), HeaderSeptets(udhl + 1) + 9);
    }
}

TEST(UserDataTest, UCS2)
{
    EXPECT_EQ(hex(WideToUCS2(u"A\u20AC")), "004120AC");
    EXPECT_EQ(UCS2ToWide(bin("004120AC00")), u"A\u20AC"); // odd trailing octet ignored
}

TEST(FieldCodecTest, BCD)
{
    struct {
        uint8_t value, octet;
    } rows[] = {{7, 0x70}, {42, 0x24}, {0, 0x00}, {99, 0x99}};
    for (const auto &row : rows) {
        EXPECT_EQ(IntToBCD(row.value), row.octet);
        EXPECT_EQ(BCDToInt(row.octet), row.value);
    }
    EXPECT_EQ(BCDToInt(0x3F), 153); // nibbles above 9 taken as they are
}

TEST(FieldCodecTest, TimeZoneSign)
{
    struct {
        int8_t zone;
        uint8_t octet;
    } rows[] = {{-4, 0x48}, {4, 0x40}, {0, 0x00}, {8, 0x80}, {-8, 0x88}, {23, 0x32}, {-22, 0x2A}, {56, 0x65}};
    for (const auto &row : rows) {
        EXPECT_EQ(EncodeTimeZone(row.zone), row.octet) << int(row.zone);
        EXPECT_EQ(DecodeTimeZone(row.octet), row.zone) << int(row.octet);
    }
    // Octets with nibbles above 9 read as up to 85 quarters; written back, they keep their sign and
    // stay at the 79 the octet can hold (a wrapped -80 came back as zone 0 with the sign bit).
    for (int z = -128; z < 128; ++z)
        EXPECT_EQ(DecodeTimeZone(EncodeTimeZone(static_cast<int8_t>(z))), std::clamp(z, -79, 79)) << z;
    EXPECT_EQ(DecodeTimeZone(0xAF), -80);
    EXPECT_EQ(EncodeTimeZone(-80), 0x9F);
}

TEST(FieldCodecTest, Addresses)
{
    struct {
        std::string text;
        const char *field;
    } rows[] = {
        {"+123456", "0691214365"},
        {"12345", "05812143F5"},
        {"", "0081"},
        {"#0800", "04A18000"},
        {"+441234567890", "0C91442143658709"},
        {"Oracle Ltd", "12D04F7978CC2E83987432"},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(hex(EncodeAddress(row.text)), row.field) << row.text;
        std::string s = bin(row.field);
        size_t pos = 0;
        EXPECT_EQ(DecodeAddress(s, pos), row.text) << row.field;
        EXPECT_EQ(pos, s.size()) << row.field;
    }
    // Decode-only cases: type 0x91 with an odd count, other types have no prefix, nibbles above 9.
    struct {
        const char *field;
        std::string text;
        size_t length;
    } reads[] = {
        {"05912143F5", "+12345", 5},
        {"04B12143", "1234", 4},
        {"02813A", ":3", 3}, // low nibble first; nibbles above 9 read as the characters after '9'
        {"0A912143658709FFFF", "+1234567890", 7},
    };
    for (const auto &row : reads) {
        std::string s = bin(row.field);
        size_t pos = 0;
        EXPECT_EQ(DecodeAddress(s, pos), row.text) << row.field;
        EXPECT_EQ(pos, row.length) << row.field;
    }
}

TEST(FieldCodecTest, AddressCutShort)
{
    for (const char *field : {"", "05", "0591", "059121", "0AD04FF9"}) {
        std::string s = bin(field);
        size_t pos = 0;
        EXPECT_THROW(DecodeAddress(s, pos), EGSMError) << field;
    }
    try {
        std::string s = bin("0A91214365");
        size_t pos = 0;
        DecodeAddress(s, pos);
        FAIL();
    } catch (const EGSMError &e) {
        EXPECT_STREQ(e.what(), "address: 5 octets needed, 3 left");
    }
}

TEST(FieldCodecTest, ServiceCentre)
{
    TFixedContext engine;
    struct {
        const ISMSContext *gsm;
        const char *field;
        std::string text;
        size_t length;
    } rows[] = {
        {nullptr, "07914477581006500011", "+447785016005", 8},
        {nullptr, "0581214365F7", "1234567", 6},
        {&engine, "00", "+4477850160", 1}, // empty field: the engine's centre
        {nullptr, "00", "", 1},
        {nullptr, "0191", "+", 2},
    };
    for (const auto &row : rows) {
        std::string s = bin(row.field);
        size_t pos = 0;
        EXPECT_EQ(DecodeSCA(row.gsm, s, pos), row.text) << row.field;
        EXPECT_EQ(pos, row.length) << row.field;
    }
    std::string s = bin("0791447758");
    size_t pos = 0;
    EXPECT_THROW(DecodeSCA(nullptr, s, pos), EGSMError);
}

TEST(FieldCodecTest, TimeStamps)
{
    struct {
        const char *octets;
        int y, mo, d, h, mi, s;
    } rows[] = {
        {"203021012345", 2002, 3, 12, 10, 32, 54},
        {"991010000000", 1999, 1, 1, 0, 0, 0},
        {"942121000000", 2049, 12, 12, 0, 0, 0},
    };
    for (const auto &row : rows) {
        TDateTime expected = EncodeDate(row.y, row.mo, row.d) + EncodeTime(row.h, row.mi, row.s, 0);
        EXPECT_DOUBLE_EQ(DecodeTimeStamp(bin(row.octets)), expected) << row.octets;
        EXPECT_EQ(hex(EncodeTimeStamp(expected)), row.octets);
    }
    EXPECT_THROW(DecodeTimeStamp(bin("20302101")), EGSMError);
}

// A stamp that names no real date or time says which field of which stamp is wrong, and its
// value (the runtime's "Invalid argument to date encode" names neither).
TEST(FieldCodecTest, TimeStampFieldsOutOfRange)
{
    struct {
        const char *octets; // yy MM dd hh mm ss, swapped digits
        const char *message;
    } rows[] = {
        {"203121012345", "month 13 is out of range"},
        {"200021012345", "month 0 is out of range"},
        {"20F121012345", "month 25 is out of range"}, // a nibble above 9 counts with its value
        {"202013012345", "day 31 is out of range in 2002-02"},
        {"302092000000", "day 29 is out of range in 2003-02"},
        {"402003000000", "day 30 is out of range in 2004-02"},
        {"202000000000", "day 0 is out of range in 2002-02"},
        {"203021420000", "hour 24 is out of range"},
        {"203021010600", "minute 60 is out of range"},
        {"203021010099", "second 99 is out of range"},
    };
    for (const auto &row : rows) {
        try {
            DecodeTimeStamp(bin(row.octets), "discharge time");
            ADD_FAILURE() << row.octets << " decoded";
        } catch (const EDateError &e) {
            EXPECT_EQ(std::string(e.what()), std::string("discharge time: ") + row.message) << row.octets;
        }
    }
    // Leap days are dates.
    EXPECT_DOUBLE_EQ(DecodeTimeStamp(bin("402092000000")), EncodeDate(2004, 2, 29));
}

TEST(FieldCodecTest, TextTimeStamps)
{
    TDateTime dt = EncodeDate(2002, 3, 4) + EncodeTime(5, 6, 7, 0);
    EXPECT_EQ(FormatTimeStamp(dt, -8), "02/03/04,05:06:07-08");
    EXPECT_EQ(FormatTimeStamp(dt, 4), "02/03/04,05:06:07+04");
    int8_t zone = 0;
    EXPECT_DOUBLE_EQ(ParseTimeStamp("04/12/31,23:59:58+04", zone),
                     EncodeDate(2004, 12, 31) + EncodeTime(23, 59, 58, 0));
    EXPECT_EQ(zone, 4);
    EXPECT_DOUBLE_EQ(ParseTimeStamp("02/03/04,05:06:07-08", zone), dt);
    EXPECT_EQ(zone, -8);
    EXPECT_DOUBLE_EQ(ParseTimeStamp("02/03/04,05:06:07", zone), dt); // no zone: UTC
    EXPECT_EQ(zone, 0);
    const std::pair<const char *, const char *> bad[] = {
        {"02/13/04,05:06:07+00", "validity period: month 13 is out of range"},
        {"02/02/30,05:06:07+00", "validity period: day 30 is out of range in 2002-02"},
        {"02/03/04,24:06:07+00", "validity period: hour 24 is out of range"},
        {"12345/03/04,05:06:07+00", "validity period: year 14245 is out of range"},
    };
    for (const auto &[text, message] : bad) {
        try {
            ParseTimeStamp(text, zone, "validity period");
            ADD_FAILURE() << text << " parsed";
        } catch (const EDateError &e) {
            EXPECT_STREQ(e.what(), message);
        }
    }
}

TEST(FieldCodecTest, RelativeValidity)
{
    const double hour = 1.0 / 24, minute = 1.0 / 1440;
    struct {
        double days;
        uint8_t octet;
    } rows[] = {
        {minute * 4, 0},
        {minute * 5, 0},
        {hour, 11},
        {12 * hour, 143},
        {12 * hour + 10 * minute, 143}, // between the steps: rounds down, not up to 14h30
        {12 * hour + 30 * minute, 144},
        {23.5 * hour, 166},
        {24 * hour, 167},
        {36 * hour, 167},
        {2, 168},
        {3, 169},
        {34, 200},
        {35, 197},
        {70, 202},
        {441, 255},
        {500, 255},
        {-1, 0},
    };
    for (const auto &row : rows)
        EXPECT_EQ(EncodeRelativeVP(row.days), row.octet) << row.days;
    EXPECT_DOUBLE_EQ(DecodeRelativeVP(167), 1.0);
    EXPECT_DOUBLE_EQ(DecodeRelativeVP(255), 63 * 7.0);
    EXPECT_DOUBLE_EQ(DecodeRelativeVP(11), hour);
    EXPECT_DOUBLE_EQ(DecodeRelativeVP(143), 12 * hour);
    // Every octet survives decode and encode.
    for (int b = 0; b < 256; ++b)
        EXPECT_EQ(EncodeRelativeVP(DecodeRelativeVP(static_cast<uint8_t>(b))), b);
}

TEST(FieldCodecTest, CodingSchemes)
{
    struct {
        uint8_t dcs;
        TDCSAlphabet sms, cbs;
    } rows[] = {
        {0x00, TDCSAlphabet::da7Bit, TDCSAlphabet::da7Bit},
        {0x04, TDCSAlphabet::da8Bit, TDCSAlphabet::da7Bit}, // CBS group 0000: a language, 7-bit
        {0x08, TDCSAlphabet::daUCS2, TDCSAlphabet::da7Bit},
        {0x0F, TDCSAlphabet::da8Bit, TDCSAlphabet::da7Bit}, // CBS "language unspecified"
        {0x11, TDCSAlphabet::da7Bit, TDCSAlphabet::daUCS2},
        {0x18, TDCSAlphabet::daUCS2, TDCSAlphabet::da7Bit},
        {0x44, TDCSAlphabet::da8Bit, TDCSAlphabet::da8Bit},
        {0x48, TDCSAlphabet::daUCS2, TDCSAlphabet::daUCS2},
        {0xC8, TDCSAlphabet::da7Bit, TDCSAlphabet::da7Bit}, // voice mail waiting, active
        {0xD8, TDCSAlphabet::da7Bit, TDCSAlphabet::da7Bit},
        {0xE0, TDCSAlphabet::daUCS2, TDCSAlphabet::da8Bit},
        {0xF0, TDCSAlphabet::da7Bit, TDCSAlphabet::da7Bit},
        {0xF5, TDCSAlphabet::da8Bit, TDCSAlphabet::da8Bit},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(SMSAlphabet(row.dcs), row.sms) << int(row.dcs);
        EXPECT_EQ(CBSAlphabet(row.dcs), row.cbs) << int(row.dcs);
    }
}
