// Unicode forms of the message model: default-alphabet codes (Greek capitals, extension table),
// the model's 8-bit text, UCS2, alphanumeric addresses, and the way back from Unicode to codes.
#include "connect/connection.h"
#include "gsm/sms.h"
#include "gsm/smstext.h"
#include "gsm/tpdufields.h"

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

std::string bin(const char *h)
{
    return HexToStr(h);
}

std::string utf8(const QString &s)
{
    return s.toStdString();
}

} // namespace

TEST(SMSTextTest, CodesToUnicode)
{
    struct {
        const char *name;
        std::string codes;
        const char *text; // UTF-8
    } rows[] = {
        {"the nine Greek capitals", bin("1012131415161718191A"), "ΔΦΓΛΩΠΨΣΘΞ"},
        {"underscore between the Greek codes", "\x11", "_"},
        {"commercial at is code 0", std::string(1, '\0'), "@"},
        {"Latin letters of the table", "\x7E\x7B\x7C\x01\x05\x1E", "üäö£éß"},
        {"euro through the escape", "\x1B\x65", "€"},
        {"brackets of the extension table", "\x1B\x28\x1B\x29\x1B\x3C\x1B\x3E\x1B\x2F", "{}[]\\"},
        {"escape before a code the extension lacks", "\x1B\x41", " "},
        {"trailing escape yields nothing", "A\x1B", "A"},
        {"high bit folded back into the table", "\x90\xC1", "ΔA"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(utf8(GSMCodesToUnicode(row.codes)), row.text) << row.name;
}

TEST(SMSTextTest, ModelTextAndUserData)
{
    EXPECT_EQ(utf8(Model8BitToUnicode("M\xFCller \x80 \xB7")), "Müller € ·");
    struct {
        const char *name;
        TDCSAlphabet alphabet;
        std::string body;
        const char *text;
    } rows[] = {
        {"7-bit codes", TDCSAlphabet::da7Bit, "\x10 \x1B\x65", "Δ €"},
        {"UCS2, odd last octet ignored", TDCSAlphabet::daUCS2, bin("041F00FC20AC00"), "Пü€"},
        {"8-bit text of the model", TDCSAlphabet::da8Bit, "\xE9\x80", "é€"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(utf8(UserDataToUnicode(row.alphabet, row.body)), row.text) << row.name;
}

// Alphanumeric senders as received: the JSON and the window show what the 7-bit alphabet says,
// while the model's 8-bit address keeps its form (and the message encodes to the same octets).
TEST(SMSTextTest, AlphanumericSenders)
{
    struct {
        const char *pdu;
        const char *sender; // UTF-8
        std::string model;  // the 8-bit address of the model
        const char *text;   // UTF-8
    } rows[] = {
        {"00040BD04D3F9B5D96030000425060708090000647B9BFAC4F03", "Müller", "M\xFCller", "Grüezi"},
        {"000414D0FBFD7EBFDFEFF77BFE1E0000425060708090000178", "äääääääääöä",
         "\xE4\xE4\xE4\xE4\xE4\xE4\xE4\xE4\xE4\xF6\xE4", "x"},
        {"000410D081C2A60C9AA2DF700000425060708090000A10C98452B15C30190D", "£é€ Shop", "\xA3\xE9\x80 Shop",
         "ΔΦΓΛΩΠΨΣΘΞ"},
        {"000409D01064F3890100004250607080900007984A46037AAF01", "ΔHMOΣ", "\xB7HMO\xB7", "ΣΩΘΞ ok"},
    };
    for (const auto &row : rows) {
        TSMSDeliver sms;
        sms.Decode(bin(row.pdu));
        EXPECT_EQ(sms.OA, row.model) << row.sender;
        EXPECT_EQ(utf8(AddressToUnicode(sms)), row.sender);
        EXPECT_EQ(utf8(UserDataToUnicode(SMSAlphabet(sms.DCS), sms.UserData)), row.text) << row.sender;
        EXPECT_EQ(StrToHex(sms.Encode()), row.pdu) << row.sender;
    }
}

TEST(SMSTextTest, AddressWithoutMatchingCodes)
{
    // A number has no codes; an address changed after decoding no longer matches them.
    EXPECT_EQ(utf8(AddressToUnicode("+491710000001")), "+491710000001");
    EXPECT_EQ(utf8(AddressToUnicode("M\xFCller", "")), "Müller");
    EXPECT_EQ(utf8(AddressToUnicode("Other", "\x10")), "Other");
    TSMSSubmit submit;
    submit.DA = "\xB7X";
    submit.AddressCodes = "\x18X"; // Sigma X
    EXPECT_EQ(utf8(AddressToUnicode(submit)), "ΣX");
    submit.DA = "ZX";
    EXPECT_EQ(utf8(AddressToUnicode(submit)), "ZX");
    EXPECT_EQ(utf8(AddressToUnicode(TSMSDeliverReport())), "");
}

TEST(SMSTextTest, UnicodeToCodes)
{
    struct {
        const char *name;
        const char *text;
        bool fits;
        std::string codes;
        qsizetype bad;
    } rows[] = {
        {"Greek capitals are 7-bit codes", "ΔΦΓΛΩΠΨΣΘΞ", true, bin("1012131415161718191A"), -1},
        {"euro and brackets escaped, space plain", "€ [x]", true, bin("1B65201B3C781B3E"), -1},
        {"Latin-1 letters of the table", "Müller ß", true, bin("4D7E6C6C6572201E"), -1},
        {"middle dot has no code", "a·b", false, "a", 1},
        {"Greek small letter has no code", "xδ", false, "x", 1},
        {"a acute has no code", "á", false, "", 0},
    };
    for (const auto &row : rows) {
        std::string codes;
        qsizetype bad = -1;
        EXPECT_EQ(UnicodeToGSMCodes(QString::fromUtf8(row.text), codes, &bad), row.fits) << row.name;
        EXPECT_EQ(StrToHex(codes), StrToHex(row.codes)) << row.name;
        EXPECT_EQ(bad, row.bad) << row.name;
    }
}

// Every character of the alphabet and of its extension table comes back to its own code.
TEST(SMSTextTest, EveryCodeRoundTrips)
{
    for (int code = 0; code < 128; ++code) {
        if (code == kGSMEscape)
            continue;
        const std::string one(1, static_cast<char>(code));
        std::string back;
        ASSERT_TRUE(UnicodeToGSMCodes(GSMCodesToUnicode(one), back)) << code;
        EXPECT_EQ(StrToHex(back), StrToHex(one)) << code;
        const std::string escaped = "\x1B" + one;
        const QString extension = GSMCodesToUnicode(escaped);
        if (extension == " ")
            continue; // no character here: the escape reads as a space
        ASSERT_TRUE(UnicodeToGSMCodes(extension, back)) << code;
        EXPECT_EQ(StrToHex(back), StrToHex(escaped)) << code;
    }
}
