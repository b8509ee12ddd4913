// Files of vCards as phones and address books write them (2.1 and 3.0), read into names and
// numbers, and the vCard 3.0 cards written of contacts, to the octet.
#include "xsms/vcardcontacts.h"

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

struct TReadCase {
    const char *name;
    std::string text;
    std::vector<TVCardContact> contacts;
};

const TReadCase kReads[] = {
    {"3.0 with FN, N, typed and grouped TELs",
     "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Anna Schmidt\r\nN:Schmidt;Anna;;;\r\nTEL;TYPE=CELL,VOICE:+49 171 "
     "1234567\r\n"
     "item1.TEL;type=HOME:030 1234567\r\nTEL;TYPE=pref:0301111\r\nEND:VCARD\r\n",
     {{"Anna Schmidt", {{"+49 171 1234567", "cell"}, {"030 1234567", "home"}, {"0301111", ""}}}}},
    {"two cards, LF line ends, lower case",
     "begin:vcard\nfn:A\ntel:123456\nend:vcard\nBEGIN:VCARD\nFN:\xd0\x98\xd0\xb2\xd0\xb0\xd0\xbd\nTEL:+"
     "79161234567\n"
     "END:VCARD\n",
     {{"A", {{"123456", ""}}}, {"Иван", {{"+79161234567", ""}}}}},
    {"2.1: N only, quoted-printable over a soft line break, bare type",
     "BEGIN:VCARD\r\nVERSION:2.1\r\nN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:M=C3=BCller;J=C3=\r\n="
     "BCrgen\r\n"
     "TEL;CELL:0171 555 1234\r\nEND:VCARD\r\n",
     {{"Jürgen Müller", {{"0171 555 1234", "cell"}}}}},
    {"2.1 in Latin-1",
     "BEGIN:VCARD\r\nVERSION:2.1\r\nFN;CHARSET=ISO-8859-1:J\xfcrgen\r\nTEL;WORK;VOICE:0711\r\nEND:VCARD\r\n",
     {{"Jürgen", {{"0711", "work"}}}}},
    {"escapes, a folded line, a tel: URI",
     "BEGIN:VCARD\r\nFN:A\\, B\\; C\\\\ D\r\n  E\r\nTEL:tel:+4930123\r\nEND:VCARD\r\n",
     {{"A, B; C\\ D E", {{"+4930123", ""}}}}},
    {"N with prefix and suffix",
     "BEGIN:VCARD\r\nN:Doe;John;Q.;Dr.;Jr.\r\nTEL:*100#\r\nEND:VCARD\r\n",
     {{"Dr. John Q. Doe Jr.", {{"*100#", ""}}}}},
};

TEST(VCardRead, Cards)
{
    for (const auto &c : kReads) {
        SCOPED_TRACE(c.name);
        const TVCardRead read = ReadVCards(c.text);
        EXPECT_TRUE(read.Errors.empty()) << ::testing::PrintToString(read.Errors);
        ASSERT_EQ(read.Contacts.size(), c.contacts.size());
        for (size_t i = 0; i < c.contacts.size(); ++i) {
            EXPECT_EQ(read.Contacts[i].Name, c.contacts[i].Name);
            ASSERT_EQ(read.Contacts[i].Numbers.size(), c.contacts[i].Numbers.size());
            for (size_t k = 0; k < c.contacts[i].Numbers.size(); ++k) {
                EXPECT_EQ(read.Contacts[i].Numbers[k].Number, c.contacts[i].Numbers[k].Number);
                EXPECT_EQ(read.Contacts[i].Numbers[k].Label, c.contacts[i].Numbers[k].Label);
            }
        }
    }
}

TEST(VCardRead, GoodCardsBesideABadOneAreKeptAndTheBadOneNamed)
{
    const TVCardRead read = ReadVCards("BEGIN:VCARD\r\nFN:Good\r\nTEL:123456\r\nEND:VCARD\r\n"
                                       "BEGIN:VCARD\r\nFN:Bad\r\nEMAIL:bad@example.org\r\nEND:VCARD\r\n"
                                       "BEGIN:VCARD\r\nTEL:654321\r\nEND:VCARD\r\n");
    ASSERT_EQ(read.Contacts.size(), 1u);
    EXPECT_EQ(read.Contacts[0].Name, "Good");
    EXPECT_EQ(read.Errors, (std::vector<std::string>{"card 2 (line 5) \"Bad\": no phone number (TEL)",
                                                     "card 3 (line 9): no name (FN or N)"}));
}

TEST(VCardWrite, Version30)
{
    const std::string cards =
        WriteVCards({{"Anna; \"Ann\", Schmidt", {{"+491711234567", "cell"}, {"0301234567", ""}}},
                     {"Иван", {{"+79161234567", "home"}}}});
    EXPECT_EQ(
        cards,
        "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Anna\\; \"Ann\"\\, Schmidt\r\nN:;Anna\\; \"Ann\"\\, Schmidt;;;\r\n"
        "TEL;TYPE=CELL:+491711234567\r\nTEL;TYPE=VOICE:0301234567\r\nEND:VCARD\r\n"
        "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Иван\r\nN:;Иван;;;\r\nTEL;TYPE=HOME:+79161234567\r\n"
        "END:VCARD\r\n");
    const TVCardRead back = ReadVCards(cards);
    ASSERT_EQ(back.Contacts.size(), 2u);
    EXPECT_EQ(back.Contacts[0].Name, "Anna; \"Ann\", Schmidt");
    EXPECT_EQ(back.Contacts[1].Numbers[0].Label, "home");
}

TEST(VCardWrite, LongLinesFoldBetweenCharacters)
{
    // 40 two-octet characters: the FN line is 83 octets.
    const std::string name = [] {
        std::string s;
        for (int i = 0; i < 40; ++i)
            s += "Ж";
        return s;
    }();
    const std::string cards = WriteVCards({{name, {{"123456", ""}}}});
    size_t start = 0;
    while (start < cards.size()) {
        const size_t end = cards.find("\r\n", start);
        ASSERT_NE(end, std::string::npos);
        EXPECT_LE(end - start, 75u);
        // No line begins inside a character (a UTF-8 continuation octet after the fold's blank).
        const size_t first = cards[start] == ' ' ? start + 1 : start;
        EXPECT_NE(static_cast<unsigned char>(cards[first]) & 0xC0, 0x80);
        start = end + 2;
    }
    EXPECT_EQ(cards.substr(cards.find("FN:"), 75 + 3), "FN:" + name.substr(0, 72) + "\r\n ");
    EXPECT_EQ(ReadVCards(cards).Contacts.at(0).Name, name);
}

} // namespace
