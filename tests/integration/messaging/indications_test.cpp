// Lines the handset sends on its own: the +CNMI negotiation, directly routed messages, reports
// and broadcasts in both modes, storage indications, acknowledgements and registration changes.
#include "messagingrig.h"

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

constexpr TGSMUnsolicitedIndicationSet kDeliver = Bit(uindSMSDeliver);
constexpr TGSMUnsolicitedIndicationSet kReport = Bit(uindSMSStatusReport);
constexpr TGSMUnsolicitedIndicationSet kBroadcast = Bit(uindCellBroadcast);
constexpr TGSMUnsolicitedIndicationSet kOnlyIndication = Bit(uindOnlyIndication);

std::string LastCNMI(const std::vector<std::string> &commands)
{
    for (auto it = commands.rbegin(); it != commands.rend(); ++it)
        if (it->rfind("AT+CNMI=", 0) == 0 && *it != "AT+CNMI=?")
            return *it;
    return {};
}

bool Sent(const std::vector<std::string> &commands, const std::string &command)
{
    return std::find(commands.begin(), commands.end(), command) != commands.end();
}

TEST(Negotiation, ChoosesFromTheRangesAndKeepsWhatCannotBeHad)
{
    struct {
        const char *ranges;
        TGSMUnsolicitedIndicationSet wanted;
        const char *command;
        TGSMUnsolicitedIndicationSet accepted;
    } cases[] = {
        {"(0-2),(0-3),(0,2),(0,1),(0,1)", kDeliver | kReport, "AT+CNMI=2,2,0,1,1", kDeliver | kReport},
        // Only <mt> 0 and 1: direct routing cannot be had, the current <mt> (0) stays.
        {"(0-2),(0,1),(0,2),(0,1),(0,1)", kDeliver | kReport, "AT+CNMI=2,0,0,1,1", kReport},
        {"(0-2),(0,1),(0,2),(0,2),(0,1)", kDeliver | kReport | kOnlyIndication, "AT+CNMI=2,1,0,2,1",
         kDeliver | kReport | kOnlyIndication},
        {"(0,1),(0-3),(0-3),(0),(0)", kBroadcast | kReport, "AT+CNMI=1,0,2,0,0", kBroadcast},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.ranges);
        TModemSimulatorOptions o = Handset("M20");
        o.cnmiRanges = c.ranges;
        TMessagingRig rig(o, kSMSFormatPDU, c.wanted);
        rig.Open();
        EXPECT_EQ(LastCNMI(rig.Commands()), c.command);
        EXPECT_EQ(rig.gsm.UnsolicitedIndication(), c.accepted);
    }
}

// A message sent to the handset's own number comes back routed: one event with the delivery,
// acknowledged only by a phase 2+ handset.
TEST(Routed, OwnNumberLoopbackAndAcknowledgement)
{
    struct {
        const char *equipment;
        uint8_t format;
        bool acknowledged;
    } cases[] = {{"M20", kSMSFormatPDU, false},
                 {"Nokia6650", kSMSFormatPDU, true},
                 {"M20", kSMSFormatText, false},
                 {"Nokia6650", kSMSFormatText, true}};
    for (auto &c : cases) {
        SCOPED_TRACE(std::string(c.equipment) + (c.format ? " text" : " PDU"));
        TMessagingRig rig(Handset(c.equipment), c.format, kDeliver);
        rig.Open();
        EXPECT_EQ(rig.gsm.MessageService(), c.acknowledged ? 1 : 0);
        TSMSSubmit sms;
        sms.DA = rig.sim.OwnNumber();
        sms.UserData = c.format ? "back to me" : TextToGSM("back to me");
        rig.gsm.SendSMS(sms);
        ASSERT_TRUE(rig.WaitEvents(1));
        PumpUntil([] { return false; }, 300); // an acknowledgement, and no second event
        ASSERT_EQ(rig.events.size(), 1u);
        EXPECT_EQ(rig.events[0].index, -1);
        EXPECT_EQ(rig.events[0].cls, "TSMSDeliver");
        EXPECT_EQ(c.format ? rig.events[0].text : GSMToText(rig.events[0].text), "back to me");
        EXPECT_EQ(Sent(rig.Commands(), "AT+CNMA"), c.acknowledged);
        if (c.acknowledged) {
            EXPECT_EQ(rig.sim.PendingAcknowledgements(), 0);
        }
        EXPECT_TRUE(rig.errors.empty());
    }
}

TEST(Routed, StatusReportsInBothModes)
{
    for (uint8_t format : {kSMSFormatPDU, kSMSFormatText}) {
        SCOPED_TRACE(format);
        TMessagingRig rig(Handset("M20"), format, kReport);
        rig.Open();
        TSMSSubmit sms;
        sms.DA = "+491710000009";
        sms.FirstOctet = 0x21; // status report requested
        sms.UserData = format ? "report me" : TextToGSM("report me");
        const int reference = rig.gsm.SendSMS(sms);
        ASSERT_TRUE(rig.WaitEvents(1));
        EXPECT_EQ(rig.events[0].index, -1);
        EXPECT_EQ(rig.events[0].cls, "TSMSStatusReport");
        TSMSStatusReport report;
        report.SetPDU(rig.events[0].pdu);
        EXPECT_EQ(report.MR, reference);
        EXPECT_EQ(report.RA, "+491710000009");
    }
}

TEST(Routed, CellBroadcastsInBothModes)
{
    for (uint8_t format : {kSMSFormatPDU, kSMSFormatText}) {
        SCOPED_TRACE(format);
        TMessagingRig rig(Handset("M20"), format, kBroadcast);
        rig.Open();
        rig.sim.BroadcastText(50, "Area 51");
        ASSERT_TRUE(rig.WaitEvents(1));
        PumpUntil([] { return false; }, 200);
        EXPECT_EQ(rig.events[0].index, -1);
        EXPECT_EQ(rig.events[0].cls, "TCellBroadcast");
        EXPECT_EQ(format ? rig.events[0].text : GSMToText(rig.events[0].text), "Area 51");
        TCellBroadcast page;
        page.SetPDU(rig.events[0].pdu);
        EXPECT_EQ(page.MessageId, 50);
        EXPECT_EQ(page.PageCount(), 1);
        EXPECT_FALSE(Sent(rig.Commands(), "AT+CNMA")); // never for a broadcast
    }
}

// A routed PDU whose body comes in two serial reads, even before its line end, is one event.
TEST(Routed, BodySplitAcrossReads)
{
    TMessagingRig rig(Handset("M20"), kSMSFormatPDU, kDeliver);
    rig.Open();
    const std::string pdu = "00" + DeliverTPDU("+491715555555", "split across reads");
    rig.sim.SendRaw("\r\n+CMT: ," + std::to_string(pdu.size() / 2 - 1) + "\r\n" + pdu.substr(0, 17));
    PumpUntil([] { return false; }, 150);
    EXPECT_TRUE(rig.events.empty());
    rig.sim.SendRaw(pdu.substr(17) + "\r\n");
    ASSERT_TRUE(rig.WaitEvents(1));
    PumpUntil([] { return false; }, 150);
    ASSERT_EQ(rig.events.size(), 1u);
    EXPECT_EQ(rig.events[0].pdu, pdu);
    EXPECT_EQ(GSMToText(rig.events[0].text), "split across reads");
    EXPECT_TRUE(rig.lines.empty());
}

TEST(Routed, TextModeHeaderWithLengthAndTextModeReport)
{
    TMessagingRig rig(Handset("M20"), kSMSFormatText, kDeliver | kReport);
    rig.Open();
    rig.sim.SendRaw(
        "\r\n+CMT: \"+4917123\",,\"26/12/07,10:30:00+04\",145,4,0,0,\"+4917\",145,10\r\nTen chars!"
        "\r\n\r\n+CDS: 6,42,\"+4917123\",145,\"26/12/07,10:30:00+04\",\"26/12/07,10:31:00+04\",0\r\n");
    ASSERT_TRUE(rig.WaitEvents(2));
    EXPECT_EQ(rig.events[0].cls, "TSMSDeliver");
    EXPECT_EQ(rig.events[0].text, "Ten chars!");
    EXPECT_EQ(rig.events[1].cls, "TSMSStatusReport");
    TSMSStatusReport report;
    report.SetPDU(rig.events[1].pdu);
    EXPECT_EQ(report.MR, 42);
    EXPECT_EQ(report.RA, "+4917123");
    EXPECT_EQ(report.TimeZone, 4);
}

// Index-only indications select the storage and leave the reading to the application.
TEST(Indications, StoredMessages)
{
    TMessagingRig rig(Handset("M20"), kSMSFormatPDU, kDeliver | kOnlyIndication);
    rig.Open();
    TSMSSubmit sms;
    sms.DA = rig.sim.OwnNumber();
    sms.UserData = TextToGSM("stored");
    rig.gsm.SendSMS(sms);
    ASSERT_TRUE(rig.WaitEvents(1));
    EXPECT_EQ(rig.events[0].cls, "");
    ASSERT_GT(rig.events[0].index, 0);
    int status;
    auto read = rig.gsm.ReadSMS(rig.events[0].index, status);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(GSMToText(static_cast<TSMS2 *>(read.get())->UserData), "stored");
}

TEST(Indications, CombinedStorageAndT260)
{
    TMessagingRig nokia(Handset("Nokia6650"));
    nokia.Open();
    nokia.sim.ClearTranscript();
    nokia.sim.SendUnsolicited("+CMTI: \"MT\",12");
    ASSERT_TRUE(nokia.WaitEvents(1));
    nokia.sim.SendUnsolicited("+CMTI: \"MT\",3");
    ASSERT_TRUE(nokia.WaitEvents(2));
    EXPECT_EQ(nokia.events[0].index, 2);
    EXPECT_EQ(nokia.events[1].index, 3);
    EXPECT_EQ(nokia.Commands(), (std::vector<std::string>{"AT+CPMS=\"ME\"", "AT+CPMS=\"SM\""}));

    TMessagingRig t260(Handset("T260"));
    t260.Open();
    t260.sim.ClearTranscript();
    t260.sim.SendUnsolicited("+CDS: \"ME\",4");
    ASSERT_TRUE(t260.WaitEvents(1));
    EXPECT_EQ(t260.events[0].index, 4);
    EXPECT_EQ(t260.events[0].cls, "");
    EXPECT_EQ(t260.gsm.Memory(), "\"ME\"");
    // The signal stands for the registration; a line with the bit error rate converts too.
    const int before = t260.gsm.NetworkRegistration();
    t260.sim.SendUnsolicited(before ? "+CSQ: 99,99" : "+CSQ: 15,99");
    ASSERT_TRUE(PumpUntil([&] { return !t260.registrations.empty(); }, 3000));
    EXPECT_EQ(t260.registrations[0], before ? 0 : 1);
    EXPECT_TRUE(t260.errors.empty());
}

TEST(Indications, RegistrationChanges)
{
    TMessagingRig rig(Handset("M20"));
    rig.Open();
    ASSERT_EQ(rig.gsm.NetworkRegistration(), 1);
    for (const char *line : {"+CREG: 2", "+CREG: 2", "+CREG: (0-2)", "+CREG: 1,\"00C3\",\"0010\"",
                             "+CREG: 0,5", "+CREG: 5,\"00C3\",\"0010\""})
        rig.sim.SendUnsolicited(line);
    ASSERT_TRUE(PumpUntil([&] { return rig.registrations.size() >= 3; }, 3000));
    PumpUntil([] { return false; }, 150);
    EXPECT_EQ(rig.registrations, (std::vector<int>{2, 1, 5}));
    EXPECT_TRUE(rig.lines.empty());
    EXPECT_EQ(rig.gsm.NetworkRegistration(), 5);
    rig.gsm.Close();
    EXPECT_EQ(rig.registrations.back(), 0);
}

// A malformed header is reported and dropped; the lines and messages after it still arrive.
TEST(Indications, MalformedHeaderDoesNotStopProcessing)
{
    TMessagingRig rig(Handset("M20"), kSMSFormatText, kDeliver);
    rig.Open();
    rig.sim.SendRaw("\r\n+CMTI: \"SM\",x1\r\n"
                    "\r\n+CMT: \"+4917123\",,\"26/12/07,10:30:00+04\",145,4,0,0,\"+4917\",145,1O\r\nbody\r\n"
                    "\r\n+CREG: 3\r\n"
                    "\r\n+CMT: \"+4917123\",,\"26/12/07,10:30:00+04\"\r\nstill here\r\n");
    ASSERT_TRUE(rig.WaitEvents(1));
    ASSERT_TRUE(PumpUntil([&] { return !rig.registrations.empty(); }, 3000));
    EXPECT_EQ(rig.errors.size(), 2u);
    EXPECT_EQ(rig.registrations, std::vector<int>{3});
    ASSERT_EQ(rig.events.size(), 1u);
    EXPECT_EQ(rig.events[0].text, "still here");
    // The body of the dropped header is an ordinary line.
    EXPECT_EQ(rig.lines, std::vector<std::string>{"body"});
}

} // namespace
