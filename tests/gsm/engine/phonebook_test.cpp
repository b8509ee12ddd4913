// Phonebook entries as modems write them (TS 27.007 8.12 +CPBR) under each character set, the
// storage's range, and the parameters of AT+CPBW (8.14).
#include "gsm/gsmerror.h"
#include "gsm/phonebook.h"

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

struct TEntryCase {
    std::string line;
    TTECharset charset;
    int index;
    std::string number;
    int type;
    QString name;
};

const TEntryCase kEntryCases[] = {
    {"+CPBR: 1,\"+491710000002\",145,\"Anna Schmidt\"", TTECharset::IRA, 1, "+491710000002", 145,
     "Anna Schmidt"},
    // TS 24.008 10.5.4.7: the international type without the "+" in the number.
    {"+CPBR: 2,\"491710000002\",145,\"Anna\"", TTECharset::GSM, 2, "+491710000002", 145, "Anna"},
    {"+CPBR: 3,\"01711234567\",129,\"041804320430043D\"", TTECharset::UCS2, 3, "01711234567", 129, "Иван"},
    // The default alphabet's "@" is code 0 and "_" code 0x11.
    {std::string("+CPBR: 4,\"*100#\",129,\"Bob\0Home\x11"
                 "2\"",
                 33),
     TTECharset::GSM, 4, "*100#", 129, "Bob@Home_2"},
    {"+CPBR: 5,\"123\",129,\"426F6200\"", TTECharset::HEX, 5, "123", 129, "Bob@"},
    {"+CPBR: 6,\"123\",129,\"\"", TTECharset::GSM, 6, "123", 129, ""},
    {"+CPBR: 7,\"123\",129", TTECharset::GSM, 7, "123", 129, ""},
    {"+CPBR: 8,\"123\",,\"A, B\"", TTECharset::IRA, 8, "123", 129, "A, B"},
    {" 9 , \"123\" , 129 , \"X\" ", TTECharset::IRA, 9, "123", 129, "X"},
};

TEST(PhonebookRead, Entries)
{
    for (const auto &c : kEntryCases) {
        SCOPED_TRACE(c.line);
        const TPhonebookEntry e = ParseCPBRLine(c.line, c.charset);
        EXPECT_EQ(e.Index, c.index);
        EXPECT_EQ(e.Number, c.number);
        EXPECT_EQ(e.Type, c.type);
        EXPECT_EQ(e.Name, c.name) << e.Name.toStdString();
    }
}

TEST(PhonebookRead, MalformedEntriesNameTheField)
{
    const std::pair<std::string, std::string> cases[] = {
        {"+CPBR: x,\"1\",129,\"A\"", "+CPBR index: \"x\" is no number of 1 to 65535"},
        {"+CPBR: 0,\"1\",129,\"A\"", "+CPBR index: \"0\" is no number of 1 to 65535"},
        {"+CPBR: 1,\"1\",999,\"A\"", "+CPBR type: \"999\" is no number of 0 to 255"},
        {"+CPBR: 1,\"\",129,\"A\"", "+CPBR number: 0 characters, 1 to 80 wanted"},
        {"+CPBR: 1,\"" + std::string(81, '1') + "\",129,\"A\"",
         "+CPBR number: 81 characters, 1 to 80 wanted"},
        {"+CPBR: 1,\"1\",129,\"" + std::string(257, 'A') + "\"", "+CPBR text: 257 characters, at most 256"},
        {"+CPBR: 1,\"1\",129,\"Anna", "+CPBR: a quote is left open"},
    };
    for (const auto &[line, error] : cases) {
        SCOPED_TRACE(line.substr(0, 40));
        try {
            ParseCPBRLine(line, TTECharset::GSM);
            ADD_FAILURE() << "accepted";
        } catch (const EGSMError &e) {
            EXPECT_EQ(std::string(e.what()), error);
        }
    }
}

TEST(PhonebookRead, Ranges)
{
    EXPECT_EQ(ParseCPBRTest("+CPBR: (1-250),40,18").Last, 250);
    EXPECT_EQ(ParseCPBRTest("+CPBR: (1-250),40,18").First, 1);
    EXPECT_EQ(ParseCPBRTest("(5),20,14").Last, 5);
    EXPECT_THROW(ParseCPBRTest("+CPBR: 1-250,40,18"), EGSMError);
    EXPECT_THROW(ParseCPBRTest("+CPBR: (9-2),40,18"), EGSMError);
    EXPECT_THROW(ParseCPBRTest("+CPBR: (1-65535),40,18"), EGSMError);
    EXPECT_THROW(ParseCPBRTest("+CPBR: (0-5),40,18"), EGSMError);
}

TEST(PhonebookWrite, Parameters)
{
    EXPECT_EQ(CPBWParameters({0, "+491710000002", 145, "Anna"}, TTECharset::GSM),
              ",\"491710000002\",145,\"Anna\"");
    EXPECT_EQ(CPBWParameters({3, "01711234567", 129, "Иван"}, TTECharset::UCS2),
              "3,\"01711234567\",129,\"041804320430043D\"");
    EXPECT_EQ(CPBWParameters({1, "*100#", 129, "Bob@Home_2"}, TTECharset::GSM),
              std::string("1,\"*100#\",129,\"Bob\0Home\x11"
                          "2\"",
                          26));
    EXPECT_THROW(CPBWParameters({0, "+49 171", 145, "A"}, TTECharset::GSM), EGSMError);
    EXPECT_THROW(CPBWParameters({0, "", 129, "A"}, TTECharset::GSM), EGSMError);
    EXPECT_THROW(CPBWParameters({0, "123", 129, "Иван"}, TTECharset::GSM), EGSMError);
    EXPECT_THROW(CPBWParameters({0, "123", 129, "say \"hi\""}, TTECharset::IRA), EGSMError);
}

} // namespace
