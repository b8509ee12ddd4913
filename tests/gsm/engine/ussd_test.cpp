// "+CUSD:" lines as modems write them, decoded by their data coding scheme (TS 23.038 5) and the
// TE character set; and the strings sent with AT+CUSD.
#include "gsm/gsmerror.h"
#include "gsm/ussd.h"

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

struct TDecodeCase {
    const char *name;
    std::string line;
    TTECharset charset;
    int status;
    bool hasText;
    int dcs;
    std::string raw;
    QString text;
};

const TDecodeCase kDecodeCases[] = {
    {"plain 7-bit under GSM", "+CUSD: 0,\"Balance 12.50 EUR\",15", TTECharset::GSM, 0, true, 15,
     "Balance 12.50 EUR", "Balance 12.50 EUR"},
    // The default alphabet's codes as octets: "@" is code 0, 0x40 is the inverted exclamation mark.
    {"GSM codes under GSM", std::string("+CUSD: 0,\"a\0b\x40\x11\",15", 19), TTECharset::GSM, 0, true, 15,
     std::string("a\0b\x40\x11", 5), "a@b¡_"},
    {"IRA keeps ASCII", "+CUSD: 0,\"a@b_\",15", TTECharset::IRA, 0, true, 15, "a@b_", "a@b_"},
    {"8859-1 is Latin-1", "+CUSD: 0,\"caf\xE9\",15", TTECharset::Latin1, 0, true, 15, "caf\xE9", "café"},
    {"packed 7-bit in hex", "+CUSD: 0,\"D9775D0E1287D961F7B80C4ACF4135170C06\",15", TTECharset::GSM, 0, true,
     15, "D9775D0E1287D961F7B80C4ACF4135170C06", "Your balance is 5.00"},
    // Seven characters leave seven spare bits, which carry a CR (TS 23.038 6.1.2.3.1).
    {"packed with CR fill", "+CUSD: 0,\"C2303BEC1E971B\",15", TTECharset::IRA, 0, true, 15, "C2303BEC1E971B",
     "Balance"},
    {"packed menu with line breaks", "+CUSD: 1,\"CDB2BBAE53C440C4303DAC90818AF8341D\",15", TTECharset::GSM, 1,
     true, 15, "CDB2BBAE53C440C4303DAC90818AF8341D", "Menu:\n1 Data\n2 Exit"},
    {"decimal digits are text", "+CUSD: 0,\"1234\",15", TTECharset::GSM, 0, true, 15, "1234", "1234"},
    {"hex-like word whose septets are no text", "+CUSD: 0,\"BEEF\",15", TTECharset::GSM, 0, true, 15, "BEEF",
     "BEEF"},
    {"7-bit as UCS2 hex under UCS2", "+CUSD: 0,\"004D0065006E0075\",15", TTECharset::UCS2, 0, true, 15,
     "004D0065006E0075", "Menu"},
    {"packed 7-bit under UCS2", "+CUSD: 0,\"C2303BEC1E971B\",15", TTECharset::UCS2, 0, true, 15,
     "C2303BEC1E971B", "Balance"},
    {"7-bit codes as hex under HEX", "+CUSD: 0,\"42616C00115F\",15", TTECharset::HEX, 0, true, 15,
     "42616C00115F", "Bal@_§"},
    {"UCS2 data", "+CUSD: 1,\"041C0435043D044E\",72", TTECharset::GSM, 1, true, 72, "041C0435043D044E",
     "Меню"},
    {"UCS2 data under UCS2", "+CUSD: 0,\"041F04400438043204350442\",72", TTECharset::UCS2, 0, true, 72,
     "041F04400438043204350442", "Привет"},
    {"UCS2 of an odd octet count drops the last", "+CUSD: 0,\"041C04\",72", TTECharset::GSM, 0, true, 72,
     "041C04", "М"},
    // DCS 0x11: two packed septets of language before the UCS2 text; 0x10: two letters and CR.
    {"UCS2 with language", "+CUSD: 0,\"6537041C0435043D044E\",17", TTECharset::GSM, 0, true, 17,
     "6537041C0435043D044E", "Меню"},
    {"7-bit with language", "+CUSD: 0,\"en\rHello\",16", TTECharset::IRA, 0, true, 16, "en\rHello", "Hello"},
    {"8-bit data", "+CUSD: 0,\"48656C6C6FE9\",68", TTECharset::GSM, 0, true, 68, "48656C6C6FE9", "Helloé"},
    {"8-bit data that is no hex", "+CUSD: 0,\"Hi\",68", TTECharset::GSM, 0, true, 68, "Hi", "Hi"},
    {"UCS2 converted by the modem", "+CUSD: 0,\"Hello\",72", TTECharset::IRA, 0, true, 72, "Hello", "Hello"},
    // TS 23.038 5: the reserved groups read as the default alphabet.
    {"reserved DCS", "+CUSD: 0,\"Hi there\",48", TTECharset::GSM, 0, true, 48, "Hi there", "Hi there"},
    {"no DCS", "+CUSD: 0,\"Hi\"", TTECharset::GSM, 0, true, -1, "Hi", "Hi"},
    {"empty DCS", "+CUSD: 0,\"Hi\",", TTECharset::GSM, 0, true, -1, "Hi", "Hi"},
    {"status alone: not supported", "+CUSD: 4", TTECharset::GSM, 4, false, -1, "", ""},
    {"terminated by the network", "+CUSD: 2", TTECharset::GSM, 2, false, -1, "", ""},
    {"value without prefix", "0,\"OK\",15", TTECharset::IRA, 0, true, 15, "OK", "OK"},
    {"unquoted string", "+CUSD: 0,Hello,15", TTECharset::IRA, 0, true, 15, "Hello", "Hello"},
    {"empty quoted string", "+CUSD: 0,\"\",15", TTECharset::GSM, 0, true, 15, "", ""},
    // What a network sends must not steer a terminal.
    {"control characters", "+CUSD: 0,\"A\x1B[2JB\r\nC\",15", TTECharset::IRA, 0, true, 15, "A\x1B[2JB\r\nC",
     "A\uFFFD[2JB\nC"},
    {"odd hex under UCS2 stays characters", "+CUSD: 0,\"004D0\",15", TTECharset::UCS2, 0, true, 15, "004D0",
     "004D0"},
    {"7-bit of odd length under HEX", "+CUSD: 0,\"426\",15", TTECharset::HEX, 0, true, 15, "426", "426"},
    {"blanks around fields", "+CUSD:   1 , \"Hi\" , 15 ", TTECharset::IRA, 1, true, 15, "Hi", "Hi"},
};

class USSDDecode : public ::testing::TestWithParam<TDecodeCase> {};

TEST_P(USSDDecode, Fields)
{
    const auto &c = GetParam();
    const TUSSDAnswer a = DecodeUSSDLine(c.line, c.charset);
    EXPECT_EQ(a.Status, c.status);
    EXPECT_EQ(a.HasText, c.hasText);
    EXPECT_EQ(a.DCS, c.dcs);
    EXPECT_EQ(a.Raw, c.raw);
    EXPECT_EQ(a.Text, c.text) << a.Text.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Lines, USSDDecode, ::testing::ValuesIn(kDecodeCases), [](const auto &info) {
    std::string n = info.param.name;
    for (char &ch : n)
        if (!isalnum(static_cast<unsigned char>(ch)))
            ch = '_';
    return n;
});

struct TErrorCase {
    const char *name;
    std::string line;
    std::string error;
};

const TErrorCase kErrorCases[] = {
    {"status no number", "+CUSD: x,\"Hi\",15", "USSD status: \"x\" is no number of 0 to 99"},
    {"status empty", "+CUSD: ", "USSD status: \"\" is no number of 0 to 99"},
    {"status negative", "+CUSD: -1", "USSD status: \"-1\" is no number of 0 to 99"},
    {"unterminated quote", "+CUSD: 0,\"Balance 12", "USSD string: no closing quote after 10 characters"},
    {"overlong string", "+CUSD: 0,\"" + std::string(1025, 'A') + "\",15",
     "USSD string: 1025 characters, at most 1024"},
    {"DCS out of range", "+CUSD: 0,\"Hi\",256", "USSD data coding scheme: \"256\" is no number of 0 to 255"},
    {"DCS no number", "+CUSD: 0,\"Hi\",1x", "USSD data coding scheme: \"1x\" is no number of 0 to 255"},
};

class USSDDecodeError : public ::testing::TestWithParam<TErrorCase> {};

TEST_P(USSDDecodeError, NamesTheField)
{
    const auto &c = GetParam();
    try {
        DecodeUSSDLine(c.line, TTECharset::GSM);
        FAIL() << "no error for " << c.name;
    } catch (const EGSMError &e) {
        EXPECT_EQ(std::string(e.what()), c.error);
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, USSDDecodeError, ::testing::ValuesIn(kErrorCases));

TEST(USSDDecode, LongestStringOfANetworkIsAccepted)
{
    // 182 septets as UCS2 hexadecimal.
    std::string hex;
    for (int i = 0; i < 182; ++i)
        hex += "0041";
    const TUSSDAnswer a = DecodeUSSDLine("+CUSD: 0,\"" + hex + "\",15", TTECharset::UCS2);
    EXPECT_EQ(a.Text, QString(182, 'A'));
}

struct TEncodeCase {
    QString text;
    TTECharset charset;
    std::string sent; // empty: refused
};

const TEncodeCase kEncodeCases[] = {
    {"*100#", TTECharset::GSM, "*100#"},
    {"*100#", TTECharset::IRA, "*100#"},
    {"*100#", TTECharset::UCS2, "002A0031003000300023"},
    {"*100#", TTECharset::HEX, "2A31303023"},
    {"1", TTECharset::Latin1, "1"},
    {"Ä", TTECharset::UCS2, "00C4"},
    {"Ä", TTECharset::GSM, "\x5B"},
    {"Ä", TTECharset::IRA, ""},  // of the default alphabet, but not of ASCII
    {"Б", TTECharset::UCS2, ""}, // sent with DCS 15: the default alphabet only
    {"say \"yes\"", TTECharset::GSM, ""},
    {"a\rb", TTECharset::GSM, ""},
    {"", TTECharset::GSM, ""},
    {QString(182, '1'), TTECharset::GSM, std::string(182, '1')},
    {QString(183, '1'), TTECharset::GSM, ""},
};

TEST(USSDEncode, StringsUnderEachCharacterSet)
{
    for (const auto &c : kEncodeCases) {
        SCOPED_TRACE(c.text.toStdString() + " as " + std::to_string(static_cast<int>(c.charset)));
        if (c.sent.empty()) {
            EXPECT_THROW(EncodeUSSDString(c.text, c.charset), EGSMError);
        } else {
            EXPECT_EQ(EncodeUSSDString(c.text, c.charset), c.sent);
            // What is sent reads back as the text under the same set.
            EXPECT_EQ(DecodeUSSDString(c.sent, 15, c.charset), c.text);
        }
    }
}

TEST(USSDCharset, NamesAsModemsGiveThem)
{
    EXPECT_EQ(TECharsetFromName("\"UCS2\""), TTECharset::UCS2);
    EXPECT_EQ(TECharsetFromName("ucs2"), TTECharset::UCS2);
    EXPECT_EQ(TECharsetFromName(" \"GSM\""), TTECharset::GSM);
    EXPECT_EQ(TECharsetFromName("\"IRA\""), TTECharset::IRA);
    EXPECT_EQ(TECharsetFromName("\"HEX\""), TTECharset::HEX);
    EXPECT_EQ(TECharsetFromName("\"PCCP437\""), TTECharset::Latin1);
    EXPECT_EQ(USSDStatusName(1), std::string("reply"));
    EXPECT_EQ(USSDStatusName(4), std::string("not supported"));
    EXPECT_EQ(USSDStatusName(9), std::string("unknown"));
}

} // namespace
