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
    // Under UCS2 some modems give the number as hexadecimal UCS2 too.
    {"+CPBR: 10,\"002B0034003900310037002A0023\",145,\"0041\"", TTECharset::UCS2, 10, "+4917*#", 145, "A"},
    {"+CPBR: 11,\"00310032\",129,\"0041\"", TTECharset::UCS2, 11, "12", 129, "A"},
    // A plain number under UCS2 whose groups are no dial-string characters stays as it is.
    {"+CPBR: 12,\"004917123456\",129,\"0041\"", TTECharset::UCS2, 12, "004917123456", 129, "A"},
    {"+CPBR: 13,\"00310032\",129,\"A\"", TTECharset::IRA, 13, "00310032", 129, "A"},
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
    const TPhonebookRange full = ParseCPBRTest("+CPBR: (1-250),40,18");
    EXPECT_EQ(full.NumberLength, 40);
    EXPECT_EQ(full.TextLength, 18);
    const TPhonebookRange bare = ParseCPBRTest("+CPBR: (1-10)");
    EXPECT_EQ(bare.NumberLength, -1);
    EXPECT_EQ(bare.TextLength, -1);
    EXPECT_THROW(ParseCPBRTest("+CPBR: (1-10),x,14"), EGSMError);
    EXPECT_THROW(ParseCPBRTest("+CPBR: (1-10),20,70000"), EGSMError);
    EXPECT_EQ(ParseCPBRTest("+CPBR: (1-250),40,18").Last, 250);
    EXPECT_EQ(ParseCPBRTest("+CPBR: (1-250),40,18").First, 1);
    EXPECT_EQ(ParseCPBRTest("(5),20,14").Last, 5);
    EXPECT_THROW(ParseCPBRTest("+CPBR: 1-250,40,18"), EGSMError);
    EXPECT_THROW(ParseCPBRTest("+CPBR: (9-2),40,18"), EGSMError);
    EXPECT_THROW(ParseCPBRTest("+CPBR: (1-65535),40,18"), EGSMError);
    EXPECT_THROW(ParseCPBRTest("+CPBR: (0-5),40,18"), EGSMError);
}

TEST(PhonebookStorages, ReadAndTestAnswers)
{
    struct TCase {
        std::string line;
        std::string storage;
        int used, total;
    };
    const TCase reads[] = {{"+CPBS: \"SM\",3,10", "SM", 3, 10},
                           {"+CPBS: \"me\"", "ME", -1, -1},
                           {" \"ON\" , 0 , 2 ", "ON", 0, 2}};
    for (const auto &c : reads) {
        SCOPED_TRACE(c.line);
        const TPhonebookStatus st = ParseCPBSRead(c.line);
        EXPECT_EQ(st.Storage, c.storage);
        EXPECT_EQ(st.Used, c.used);
        EXPECT_EQ(st.Total, c.total);
    }
    const std::pair<std::string, std::string> bad[] = {
        {"+CPBS: \"SM\",11,10", "+CPBS: 11 used of 10"},
        {"+CPBS: \"SM\",x,10", "+CPBS used: \"x\" is no number of 0 to 65535"},
        {"+CPBS: \"S,M\",1,10", "phonebook storage: \"\"S,M\"\" is no storage name"},
        {"+CPBS: \"SM", "+CPBS: a quote is left open"},
        {"+CPBS: \"TOOLONGNAME\"", "phonebook storage: \"\"TOOLONGNAME\"\" is no storage name"},
    };
    for (const auto &[line, error] : bad) {
        SCOPED_TRACE(line);
        try {
            ParseCPBSRead(line);
            ADD_FAILURE() << "accepted";
        } catch (const EGSMError &e) {
            EXPECT_EQ(std::string(e.what()), error);
        }
    }
    EXPECT_EQ(ParseCPBSTest("+CPBS: (\"SM\",\"ME\",\"FD\")"), (std::vector<std::string>{"SM", "ME", "FD"}));
    EXPECT_EQ(ParseCPBSTest("(\"SM\")"), (std::vector<std::string>{"SM"}));
    EXPECT_THROW(ParseCPBSTest("+CPBS: \"SM\",\"ME\""), EGSMError);
    EXPECT_THROW(ParseCPBSTest("+CPBS: (\"SM\",\"\")"), EGSMError);
    std::string many = "(";
    for (int i = 0; i < 33; ++i)
        many += (i ? ",\"S" : "\"S") + std::to_string(i) + "\"";
    EXPECT_THROW(ParseCPBSTest(many + ")"), EGSMError);
}

TEST(PhonebookWrite, TextLengthAndFit)
{
    // One per default-alphabet character, two for the extension table's, 1 + 2n for UCS2.
    const std::pair<QString, int> lengths[] = {{"", 0},    {"Anna", 4}, {"a@b_c", 5}, {"€5", 3},
                                               {"[x]", 5}, {"Иван", 9}, {"Ünal", 4},  {"Ünal ş", 13}};
    for (const auto &[name, length] : lengths)
        EXPECT_EQ(PhonebookTextLength(name), length) << name.toStdString();
    const TPhonebookRange sim{1, 10, 20, 14};
    EXPECT_NO_THROW(CheckPhonebookEntry({0, "+" + std::string(20, '1'), 145, "Fourteen chars"}, sim, "SM"));
    EXPECT_THROW(CheckPhonebookEntry({0, std::string(21, '1'), 129, "A"}, sim, "SM"), EGSMError);
    EXPECT_THROW(CheckPhonebookEntry({0, "1", 129, "Иванова"}, sim, "SM"), EGSMError);
    // Lengths the handset did not give are not checked.
    EXPECT_NO_THROW(CheckPhonebookEntry({0, std::string(60, '1'), 129, "A long name, longer than any SIM's"},
                                        TPhonebookRange{1, 10}, "ME"));
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
