// The error catalogue and the final-result error messages that quote it.
#include "gsm/gsm.h"
#include "gsm/gsmerrors.h"

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

struct TCatalogueCase {
    int id;
    const char *text;
};

TEST(ErrorCatalogue, TextsByIdentifier)
{
    const TCatalogueCase cases[] = {
        {5000, "phone failure"},
        {5003, "Operation not allowed"},
        {5011, "SIM PIN required"},
        {5032, "Network not allowed   emergency calls only"}, // three spaces
        {5048, "PH-SIM PUK required"},
        {5262, "SIM blocked"},
        {6001, "Unassigned (unallocated) number"},
        {6197, "SM Rejected-Duplicate SM"},
        {6302, "Operation not allowed"},
        {6311, "SIM PIN required"},
        {6340, "NO +CNMA ACK EXPECTED"},
        {6500, "Unknown error"},
        {6521, "timer expired"},
        // Gaps and identifiers outside both ranges give no text.
        {5009, ""},
        {5263, ""},
        {6000, ""},
        {6400, ""},
        {4999, ""},
        {7000, ""},
        {0, ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(GSMResourceString(c.id), c.text) << c.id;
}

TEST(ErrorCatalogue, EntryCounts)
{
    int cme = 0;
    int cms = 0;
    for (int n = 0; n < 1000; ++n) {
        cme += !GSMResourceString(kCMEErrorBase + n).empty();
        cms += !GSMResourceString(kCMSErrorBase + n).empty();
    }
    EXPECT_EQ(cme, 57);
    EXPECT_EQ(cms, 81);
}

struct TResultErrorCase {
    const char *line;
    const char *cmd;
    const char *message;
};

TEST(ErrorCatalogue, ResultErrorMessages)
{
    const TResultErrorCase cases[] = {
        {"+CME ERROR: 11", "AT+CPIN?",
         "+CME ERROR: 11 \"SIM PIN required\" was returned on AT command: AT+CPIN?"},
        {"+CMS ERROR: 500", "AT+CMGR=1",
         "+CMS ERROR: 500 \"Unknown error\" was returned on AT command: AT+CMGR=1"},
        {"+CMS ERROR: 400", "AT+CMGS=20", "+CMS ERROR: 400 was returned on AT command: AT+CMGS=20"},
        {"+CME ERROR: 9", "AT+CSQ", "+CME ERROR: 9 was returned on AT command: AT+CSQ"},
        // Lower case is recognised, and quoted in its own letter case.
        {"+cme error: 11", "AT+CPIN?",
         "+cme error: 11 \"SIM PIN required\" was returned on AT command: AT+CPIN?"},
        // Verbose error mode: a text instead of the number adds nothing.
        {"+CME ERROR: SIM PIN required", "AT+CPIN?",
         "+CME ERROR: SIM PIN required was returned on AT command: AT+CPIN?"},
        {"ERROR", "AT+CNMI=2,2,0,1,1", "ERROR was returned on AT command: AT+CNMI=2,2,0,1,1"},
        // A +CME number past the table never picks up a +CMS text.
        {"+CME ERROR: 1500", "AT", "+CME ERROR: 1500 was returned on AT command: AT"},
    };
    TGSM gsm;
    for (const auto &c : cases) {
        try {
            gsm.RaiseResultError(c.line, c.cmd);
            ADD_FAILURE() << "no exception for " << c.line;
        } catch (const EGSMError &e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST(ErrorCatalogue, GSMErrorIsAConnectError)
{
    EXPECT_THROW(GSMErrorFmt(SPINNotExpected, "SIM PUK"), EConnectError);
    try {
        GSMErrorFmt(SPINNotExpected, "SIM PUK");
    } catch (const EGSMError &e) {
        EXPECT_STREQ(e.what(), "PIN is not expected (SIM PUK)");
    }
}

} // namespace
