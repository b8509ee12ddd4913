// +COPS read answers as modems write them (TS 27.007 7.3), the families of their access
// technologies, and network names from a providers list.
#include "gsm/gsmerror.h"
#include "gsm/networkoperator.h"
#include "gsm/operators.h"

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

struct TCOPSCase {
    std::string line;
    int mode, format;
    std::string oper;
    int act;
};

const TCOPSCase kCOPSCases[] = {
    {"+COPS: 0,0,\"Telekom.de\",7", 0, 0, "Telekom.de", 7},
    {"+COPS: 0,2,\"26201\",7", 0, 2, "26201", 7},
    {"+COPS: 0,2,\"310260\",12", 0, 2, "310260", 12},
    {"+COPS: 1,1,\"KESTREL\"", 1, 1, "KESTREL", -1},
    {"+COPS: 0", 0, -1, "", -1},
    {"+COPS: 2", 2, -1, "", -1},
    {"0,0,\"A, B\",2", 0, 0, "A, B", 2}, // a comma inside the name
    {"+COPS: 0,0,\"004B0065\",0", 0, 0, "004B0065", 0},
    {"+COPS:  0 , 2 , \"23410\" , 9 ", 0, 2, "23410", 9},
    {"+COPS: 0,,\"\",", 0, -1, "", -1},
};

TEST(COPSRead, Fields)
{
    for (const auto &c : kCOPSCases) {
        SCOPED_TRACE(c.line);
        const TCOPSAnswer a = ParseCOPSRead(c.line);
        EXPECT_EQ(a.Mode, c.mode);
        EXPECT_EQ(a.Format, c.format);
        EXPECT_EQ(a.Operator, c.oper);
        EXPECT_EQ(a.AcT, c.act);
    }
}

TEST(COPSRead, MalformedAnswersNameTheField)
{
    const std::pair<std::string, std::string> cases[] = {
        {"+COPS: x", "+COPS mode: \"x\" is no number of 0 to 4"},
        {"+COPS: 5,0,\"A\"", "+COPS mode: \"5\" is no number of 0 to 4"},
        {"+COPS: 0,3,\"A\"", "+COPS format: \"3\" is no number of 0 to 2"},
        {"+COPS: 0,0,\"Kestrel", "+COPS operator: no closing quote"},
        {"+COPS: 0,0,\"" + std::string(65, 'N') + "\"", "+COPS operator: 65 characters, at most 64"},
        {"+COPS: 0,0,\"A\",LTE", "+COPS access technology: \"LTE\" is no number of 0 to 255"},
        {"+COPS: 0,0,\"A\",99999999999999999999",
         "+COPS access technology: \"99999999999999999999\" is no number of 0 to 255"},
    };
    for (const auto &[line, error] : cases) {
        SCOPED_TRACE(line);
        try {
            ParseCOPSRead(line);
            ADD_FAILURE() << "accepted";
        } catch (const EGSMError &e) {
            EXPECT_EQ(std::string(e.what()), error);
        }
    }
}

TEST(COPSRead, TechnologyFamilies)
{
    const char *expected[] = {"GSM", "GSM", "UMTS", "GSM", "UMTS", "UMTS", "UMTS",
                              "LTE", "GSM", "LTE",  "LTE", "NR",   "NR",   "NR"};
    for (int act = 0; act <= 13; ++act)
        EXPECT_STREQ(AccessTechnologyName(act), expected[act]) << act;
    EXPECT_STREQ(AccessTechnologyName(-1), "");
    EXPECT_STREQ(AccessTechnologyName(14), "");
}

TEST(NetworkNames, CodesOfTwoAndThreeMNCDigitsFirstProviderWins)
{
    const QByteArray xml = R"(<serviceproviders>
      <country code="de">
        <provider><name>Tele One</name><network-id mcc="262" mnc="01"/></provider>
        <provider><name>Reseller</name><network-id mcc="262" mnc="01"/><network-id mcc="262" mnc="77"/></provider>
      </country>
      <country code="us">
        <provider><name>Three Digits</name><network-id mcc="310" mnc="260"/></provider>
        <provider><name>Broken</name><network-id mcc="31" mnc="2600"/><network-id mcc="3a0" mnc="26"/></provider>
      </country>
    </serviceproviders>)";
    const auto names = ParseNetworkNames(xml);
    EXPECT_EQ(names.value("26201"), "Tele One");
    EXPECT_EQ(names.value("26277"), "Reseller");
    EXPECT_EQ(names.value("310260"), "Three Digits");
    EXPECT_EQ(names.size(), 3);
    // The logo list keeps only codes of five digits.
    EXPECT_EQ(ParseServiceProviders(xml), (QStringList{"26201,\"Tele One\"", "26277,\"Reseller\""}));
}

} // namespace
