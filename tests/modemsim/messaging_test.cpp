// Short messages through the virtual handset: sending in both modes, storage, indications and
// direct routing as AT+CNMI asks, status reports, cell broadcasts and two joined handsets.
#include "connect/connection.h"
#include "gsm/sms.h"
#include "gsm/tpdufields.h"
#include "modemsim/modemsimulator.h"
#include "ptyclient.h"

#include <gtest/gtest.h>

using namespace kestrel;
using kestrel::test::TPtyClient;

namespace {

constexpr const char *kOwn = "+491710000001";

TModemSimulatorOptions handset(const std::string &equipment)
{
    TModemSimulatorOptions o;
    o.equipment = equipment;
    o.deliveryDelayMs = 10;
    return o;
}

// An SMS-SUBMIT as the host writes it: with an empty service-centre field when withSca.
std::string submitPdu(const std::string &to, const std::string &text, bool statusReport, bool withSca)
{
    TSMSSubmit s;
    s.FirstOctet = statusReport ? 0x21 : 0x01;
    s.DA = to;
    s.UserData = TextToGSM(text);
    std::string hex = s.GetPDU(); // no engine: the empty service-centre field "00" comes first
    return withSca ? hex : hex.substr(2);
}

size_t tpduLength(const std::string &pdu, bool withSca)
{
    return pdu.size() / 2 - (withSca ? 1 : 0);
}

// Sends one message in PDU mode; returns the whole answer after the data part.
std::string sendPdu(TPtyClient &c, const std::string &pdu, size_t length)
{
    std::string prompt = c.Command("AT+CMGS=" + std::to_string(length));
    if (prompt != "\r\n> ")
        return "no prompt: " + prompt;
    c.Write(pdu + "\x1a");
    return c.ReadAnswer();
}

std::unique_ptr<TSMS2> decodeLine(const std::string &line, bool withSca, bool mobileTerminated)
{
    // Without an engine the factory expects a service-centre field first.
    std::string hex = withSca ? line : "00" + line;
    return CreateSMSFromPDU(nullptr, hex, mobileTerminated);
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            out.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return out;
}

// Reads until count non-empty lines have arrived.
std::vector<std::string> readLines(TPtyClient &c, size_t count)
{
    std::string got;
    while (lines(got).size() < count) {
        std::string more = c.ReadOnce(2000);
        if (more.empty())
            break;
        got += more;
    }
    return lines(got);
}

} // namespace

TEST(ModemSimulatorMessages, PduSendToOwnNumberComesBackStored)
{
    struct Row {
        const char *equipment;
        bool sca; // the host's PDUs start with a service-centre field
    } rows[] = {{"M20", true}, {"WaveCom", false}, {"TC35", true}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.equipment);
        TModemSimulator sim(handset(r.equipment));
        TPtyClient c(sim.DevicePath());
        c.Command("ATE0");
        ASSERT_EQ(c.Command("AT+CNMI=2,1,0,0,0"), "\r\nOK\r\n");
        std::string pdu = submitPdu(kOwn, "hello", false, r.sca);
        EXPECT_EQ(sendPdu(c, pdu, tpduLength(pdu, r.sca)), "\r\n+CMGS: 0\r\n\r\nOK\r\n");
        EXPECT_EQ(c.ReadUntil("\r\n+CMTI: \"SM\",1\r\n"), "\r\n+CMTI: \"SM\",1\r\n");

        auto sent = sim.SentMessages();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].reference, 0);
        EXPECT_EQ(sent[0].destination, kOwn);
        EXPECT_EQ(sent[0].data, pdu);
        EXPECT_EQ(sent[0].lengthGiven, static_cast<int>(tpduLength(pdu, r.sca)));

        auto answer = lines(c.Command("AT+CMGR=1"));
        ASSERT_EQ(answer.size(), 3u);
        EXPECT_EQ(answer[0].rfind("+CMGR: 0,,", 0), 0u);
        if (r.sca) { // the centre the message came through
            EXPECT_EQ(answer[1].substr(0, 16), "0791947101670000");
        }
        auto msg = decodeLine(answer[1], r.sca, true);
        auto *deliver = dynamic_cast<TSMSDeliver *>(msg.get());
        ASSERT_NE(deliver, nullptr);
        EXPECT_EQ(deliver->OA, kOwn);
        EXPECT_EQ(GSMToText(deliver->UserData), "hello");
        // Reading marked it read.
        EXPECT_NE(c.Command("AT+CMGL=4").find("+CMGL: 1,1,,"), std::string::npos);
    }
}

TEST(ModemSimulatorMessages, CmgsLengthFollowsTheHandset)
{
    struct Row {
        const char *equipment;
        size_t length;
        const char *answer;
    } rows[] = {
        {"M20", 0, "\r\n+CMS ERROR: 304\r\n"}, // 0 stands for the correct TPDU length + 1
        {"A1", 165, "\r\n+CMGS: 0\r\n\r\nOK\r\n"},
        {"M1", 164, "\r\n+CMGS: 0\r\n\r\nOK\r\n"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.equipment);
        TModemSimulator sim(handset(r.equipment));
        TPtyClient c(sim.DevicePath());
        c.Command("ATE0");
        bool sca = std::string(r.equipment) != "M1";
        std::string pdu = submitPdu("+4917199", "x", false, sca);
        size_t length = r.length ? r.length : tpduLength(pdu, sca) + 1;
        EXPECT_EQ(sendPdu(c, pdu, length), r.answer);
    }
}

TEST(ModemSimulatorMessages, BadDataPartsAreRefused)
{
    TModemSimulator sim(handset("M20"));
    TPtyClient c(sim.DevicePath());
    c.Command("ATE0");
    EXPECT_EQ(sendPdu(c, "00110G", 2), "\r\n+CMS ERROR: 304\r\n");
    EXPECT_EQ(sendPdu(c, "05", 0), "\r\n+CMS ERROR: 304\r\n");         // SC field longer than the PDU
    EXPECT_EQ(sendPdu(c, "0011000B91", 4), "\r\n+CMS ERROR: 304\r\n"); // cut short
    // ESC cancels without sending.
    EXPECT_EQ(c.Command("AT+CMGS=10"), "\r\n> ");
    c.Write("0011\x1b");
    EXPECT_EQ(c.ReadUntil("OK\r\n"), "\r\nOK\r\n");
    EXPECT_TRUE(sim.SentMessages().empty());
    EXPECT_EQ(c.Command("AT+CMGS=1000"), "\r\n+CMS ERROR: 304\r\n");
    c.Command("AT+CMGF=1");
    EXPECT_EQ(c.Command("AT+CMGW="), "\r\n+CMS ERROR: 305\r\n");      // a fuzz finding: no address at all
    EXPECT_EQ(c.Command("AT+CMGS=+4930"), "\r\n+CMS ERROR: 305\r\n"); // the address must be quoted
}

TEST(ModemSimulatorMessages, DirectRoutingWithReportAndAcknowledgement)
{
    // M35 runs phase 2+ once the host asks for it: routed messages wait for AT+CNMA.
    TModemSimulator sim(handset("M35"));
    TPtyClient c(sim.DevicePath());
    c.Command("ATE0");
    EXPECT_EQ(c.Command("AT+CNMA"), "\r\n+CMS ERROR: 340\r\n");
    c.Command("AT+CSMS=1");
    c.Command("AT+CNMI=2,2,0,1,1");
    sim.SetChunking({});
    std::string pdu = submitPdu(kOwn, "ping", true, true);
    EXPECT_EQ(sendPdu(c, pdu, tpduLength(pdu, true)), "\r\n+CMGS: 0\r\n\r\nOK\r\n");
    auto got = readLines(c, 4);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], "+CMT: ,23");
    auto deliver = decodeLine(got[1], true, true);
    ASSERT_TRUE(dynamic_cast<TSMSDeliver *>(deliver.get()));
    EXPECT_TRUE(deliver->FirstOctetBit(5)); // TP-SRI: a report was asked for
    EXPECT_EQ(got[2], "+CDS: 25");
    auto report = decodeLine(got[3], true, true);
    auto *sr = dynamic_cast<TSMSStatusReport *>(report.get());
    ASSERT_NE(sr, nullptr);
    EXPECT_EQ(sr->RA, kOwn);
    EXPECT_EQ(sr->MR, 0);
    EXPECT_EQ(sr->Status, 0);
    EXPECT_TRUE(sim.StoredMessages().empty());
    EXPECT_EQ(sim.PendingAcknowledgements(), 2);
    EXPECT_EQ(c.Command("AT+CNMA"), "\r\nOK\r\n");
    EXPECT_EQ(c.Command("AT+CNMA"), "\r\nOK\r\n");
    EXPECT_EQ(c.Command("AT+CNMA"), "\r\n+CMS ERROR: 340\r\n");
}

TEST(ModemSimulatorMessages, TextModeSendAndReceive)
{
    TModemSimulator sim(handset("M20"));
    TPtyClient c(sim.DevicePath());
    c.Command("ATE0");
    c.Command("AT+CMGF=1");
    c.Command("AT+CSDH=1");
    EXPECT_EQ(c.Command("AT+CSMP=17,,0,0"), "\r\nOK\r\n");
    EXPECT_EQ(c.Command("AT+CSMP?"), "\r\n+CSMP: 17,167,0,0\r\n\r\nOK\r\n");
    c.Command("AT+CNMI=2,2,0,0,0");
    EXPECT_EQ(c.Command("AT+CMGS=\"+491710000001\""), "\r\n> ");
    c.Write("hello @ world\x1a");
    EXPECT_EQ(c.ReadUntil("OK\r\n"), "\r\n+CMGS: 0\r\n\r\nOK\r\n");
    auto got = lines(c.ReadUntil("world\r\n"));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].rfind("+CMT: \"+491710000001\",,\"", 0), 0u);
    EXPECT_NE(got[0].find("+00\",145,4,0,0,\"+491710760000\",145,13"), std::string::npos) << got[0];
    EXPECT_EQ(got[1], "hello @ world");
    auto sent = sim.SentMessages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(sent[0].textMode);
    EXPECT_EQ(sent[0].data, "hello @ world");
    auto submit = decodeLine(sent[0].tpdu, false, false);
    auto *s = dynamic_cast<TSMSSubmit *>(submit.get());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->FirstOctet, 0x11); // relative validity period, as AT+CSMP said
    EXPECT_EQ(EncodeRelativeVP(s->VP), 167);
    EXPECT_EQ(s->DA, kOwn);
}

namespace {

std::string deliverPdu(const std::string &from, const std::string &text)
{
    TSMSDeliver d;
    d.FirstOctet = 0x04;
    d.OA = from;
    d.SCTS = EncodeDate(2026, 12, 7) + EncodeTime(10, 30, 0, 0);
    d.TimeZone = 4;
    d.UserData = TextToGSM(text);
    return d.GetPDU().substr(2); // without the service-centre field
}

std::string storedSubmit(const std::string &to, const std::string &text)
{
    return submitPdu(to, text, false, false);
}

} // namespace

TEST(ModemSimulatorMessages, StorageReadListDeleteInPduMode)
{
    TModemSimulator sim(handset("S25"));
    EXPECT_EQ(sim.StoreMessage("SM", 0, deliverPdu("+4930123", "one")), 1);
    EXPECT_EQ(sim.StoreMessage("SM", 1, deliverPdu("+4930123", "two")), 2);
    EXPECT_EQ(sim.StoreMessage("SM", 2, storedSubmit("+4930999", "three")), 3);
    EXPECT_EQ(sim.StoreMessage("ME", 0, deliverPdu("+4930123", "four")), 1);
    EXPECT_THROW(sim.StoreMessage("SM", 0, "0G"), std::invalid_argument);
    TPtyClient c(sim.DevicePath());
    c.Command("ATE0");
    EXPECT_EQ(c.Command("AT+CPMS?"), "\r\n+CPMS: \"SM\",3,20,\"SM\",3,20,\"SM\",3,20\r\n\r\nOK\r\n");

    struct Row {
        const char *command;
        std::vector<std::string> heads; // the +CMGL / +CMGR lines, without their PDU lines
    } rows[] = {
        {"AT+CMGL", {"+CMGL: 1,0,,"}}, // unread only, and now read
        {"AT+CMGL=0", {}},
        {"AT+CMGL=1", {"+CMGL: 1,1,,", "+CMGL: 2,1,,"}},
        {"AT+CMGL=2", {"+CMGL: 3,2,,"}},
        {"AT+CMGL=4", {"+CMGL: 1,1,,", "+CMGL: 2,1,,", "+CMGL: 3,2,,"}},
        {"AT+CMGR=3", {"+CMGR: 2,,"}},
        {"AT+CMGD=2", {}},
        {"AT+CMGL=4", {"+CMGL: 1,1,,", "+CMGL: 3,2,,"}},
        {"AT+CPMS=\"ME\"", {"+CPMS: 1,25,2,20,2,20"}},
        {"AT+CMGL=4", {"+CMGL: 1,0,,"}},
        {"AT+CMGD=1,4", {}},
        {"AT+CMGL=4", {}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.command);
        auto got = lines(c.Command(r.command));
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.back(), "OK");
        got.pop_back();
        std::vector<std::string> heads;
        for (const auto &l : got)
            if (l.rfind("+CMG", 0) == 0)
                heads.push_back(l.substr(0, l.find(",,") + 2));
            else if (l[0] == '+')
                heads.push_back(l);
        EXPECT_EQ(heads, r.heads);
    }
    EXPECT_EQ(c.Command("AT+CMGR=1"), "\r\n+CMS ERROR: 321\r\n");
    EXPECT_EQ(c.Command("AT+CMGR=99"), "\r\n+CMS ERROR: 321\r\n");
    EXPECT_EQ(c.Command("AT+CMGD=99"), "\r\n+CMS ERROR: 321\r\n");
    EXPECT_EQ(c.Command("AT+CMGL=\"ALL\""), "\r\n+CMS ERROR: 304\r\n");
}

TEST(ModemSimulatorMessages, StorageInTextMode)
{
    TModemSimulator sim(handset("TC35"));
    sim.StoreMessage("SM", 0, deliverPdu("+4930123", "line one\nline two"));
    sim.StoreMessage("SM", 2, storedSubmit("+4930999", "draft"));
    TPtyClient c(sim.DevicePath());
    c.Command("ATE0");
    c.Command("AT+CMGF=1");
    EXPECT_EQ(c.Command("AT+CMGR=1"),
              "\r\n+CMGR: \"REC UNREAD\",\"+4930123\",,\"26/12/07,10:30:00+04\"\r\nline one\nline "
              "two\r\n\r\nOK\r\n");
    EXPECT_EQ(c.Command("AT+CMGR=2"), "\r\n+CMGR: \"STO UNSENT\",\"+4930999\"\r\ndraft\r\n\r\nOK\r\n");
    c.Command("AT+CSDH=1");
    EXPECT_EQ(c.Command("AT+CMGR=1"),
              "\r\n+CMGR: \"REC READ\",\"+4930123\",,\"26/12/07,10:30:00+04\",145,4,0,0,"
              "\"+491710760000\",145,17\r\nline one\nline two\r\n\r\nOK\r\n");
    EXPECT_EQ(
        c.Command("AT+CMGR=2"),
        "\r\n+CMGR: \"STO UNSENT\",\"+4930999\",,145,1,0,0,,\"+491710760000\",145,5\r\ndraft\r\n\r\nOK\r\n");
    EXPECT_EQ(c.Command("AT+CMGL=\"ALL\""),
              "\r\n+CMGL: 1,\"REC READ\",\"+4930123\",,\"26/12/07,10:30:00+04\",145,17"
              "\r\nline one\nline two\r\n+CMGL: 2,\"STO UNSENT\",\"+4930999\",,,145,5"
              "\r\ndraft\r\n\r\nOK\r\n");
    EXPECT_EQ(c.Command("AT+CMGL=\"REC UNREAD\""), "\r\nOK\r\n");
    EXPECT_EQ(c.Command("AT+CMGL=4"), "\r\n+CMS ERROR: 305\r\n");
}

TEST(ModemSimulatorMessages, EquipmentIndicationForms)
{
    // Wavecom answers an error for an empty list.
    {
        TModemSimulator sim(handset("Fasttrack"));
        TPtyClient c(sim.DevicePath());
        c.Command("ATE0");
        EXPECT_EQ(c.Command("AT+CMGL=0"), "\r\n+CMS ERROR: 321\r\n");
    }
    // The Nokia 6650 names "MT": SIM slots 1..10, then the phone's from 11.
    {
        TModemSimulator sim(handset("Nokia6650"));
        for (int i = 0; i < 10; ++i)
            sim.StoreMessage("SM", 1, deliverPdu("+4930123", "old"));
        TPtyClient c(sim.DevicePath());
        c.Command("ATE0");
        c.Command("AT+CNMI=2,1,0,0,0");
        sim.DeliverText("+4930555", "new");
        EXPECT_EQ(c.ReadUntil("\r\n+CMTI: \"MT\",11\r\n"), "\r\n+CMTI: \"MT\",11\r\n");
        c.Command("AT+CPMS=\"ME\"");
        EXPECT_NE(c.Command("AT+CMGR=1").find("+CMGR: 0,,"), std::string::npos);
        c.Command("AT+CPMS=\"MT\"");
        EXPECT_NE(c.Command("AT+CMGR=11").find("+CMGR: 1,,"), std::string::npos);
    }
    // The T260 stores status reports and names them with +CDS.
    {
        TModemSimulator sim(handset("T260"));
        TPtyClient c(sim.DevicePath());
        c.Command("ATE0");
        c.Command("AT+CNMI=2,1,0,1,0");
        std::string pdu = submitPdu("+4930777", "report me", true, true);
        EXPECT_EQ(sendPdu(c, pdu, tpduLength(pdu, true)), "\r\n+CMGS: 0\r\n\r\nOK\r\n");
        EXPECT_EQ(c.ReadUntil("\r\n+CDS: \"SM\",1\r\n"), "\r\n+CDS: \"SM\",1\r\n");
    }
    // Other handsets indicate stored reports with +CDSI.
    {
        TModemSimulator sim(handset("WaveCom"));
        TPtyClient c(sim.DevicePath());
        c.Command("ATE0");
        c.Command("AT+CNMI=2,1,0,2,0");
        std::string pdu = submitPdu("+4930777", "report me", true, false);
        EXPECT_EQ(sendPdu(c, pdu, tpduLength(pdu, false)), "\r\n+CMGS: 0\r\n\r\nOK\r\n");
        EXPECT_EQ(c.ReadUntil("\r\n+CDSI: \"SM\",1\r\n"), "\r\n+CDSI: \"SM\",1\r\n");
    }
}

TEST(ModemSimulatorMessages, IndicationsFollowCnmi)
{
    struct Row {
        const char *cnmi;
        int cmgf;
        const char *expected; // the unsolicited output, or "" for none
        size_t stored;
    } rows[] = {
        {"AT+CNMI=0,2,0,0,0", 0, "", 1}, // mode 0: kept, not indicated
        {"AT+CNMI=1,0,0,0,0", 0, "", 1}, // <mt> 0: stored silently
        {"AT+CNMI=1,1,0,0,0", 0, "\r\n+CMTI: \"SM\",1\r\n", 1},
        {"AT+CNMI=2,3,0,0,0", 0, "\r\n+CMTI: \"SM\",1\r\n", 1}, // only class 3 is routed
        {"AT+CNMI=2,2,0,0,0", 1, "\r\n+CMT: \"+4930123\",,\"26/12/07,10:30:00+04\"\r\nhi there\r\n", 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.cnmi);
        TModemSimulator sim(handset("M35"));
        TPtyClient c(sim.DevicePath());
        c.Command("ATE0");
        c.Command("AT+CMGF=" + std::to_string(r.cmgf));
        ASSERT_EQ(c.Command(r.cnmi), "\r\nOK\r\n");
        sim.DeliverPdu(deliverPdu("+4930123", "hi there"));
        EXPECT_EQ(c.ReadQuiet(100), r.expected);
        EXPECT_EQ(sim.StoredMessages().size(), r.stored);
    }
    TModemSimulator sim(handset("M35"));
    EXPECT_THROW(sim.DeliverPdu("0011"), std::invalid_argument);
    EXPECT_THROW(sim.DeliverPdu("XYZ"), std::invalid_argument);
}

TEST(ModemSimulatorMessages, CellBroadcasts)
{
    TModemSimulator sim(handset("Fasttrack"));
    TPtyClient c(sim.DevicePath());
    c.Command("ATE0");
    c.Command("AT+CNMI=2,0,2,0,0");
    sim.BroadcastText(50, "Cell 1234");
    auto got = readLines(c, 2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], "+CBM: 88");
    TCellBroadcast page;
    page.SetPDU(got[1]);
    EXPECT_EQ(page.MessageId, 50);
    EXPECT_EQ(GSMToText(page.Content), "Cell 1234");

    c.Command("AT+CMGF=1");
    sim.BroadcastPdu(got[1]);
    EXPECT_EQ(c.ReadUntil("1234\r\n"), "\r\n+CBM: 0,50,15,1,1\r\nCell 1234\r\n");

    c.Command("AT+CNMI=2,0,1,0,0");
    sim.BroadcastText(51, "stored");
    EXPECT_EQ(c.ReadUntil("\r\n+CBMI: \"BM\",1\r\n"), "\r\n+CBMI: \"BM\",1\r\n");
    c.Command("AT+CPMS=\"BM\"");
    EXPECT_EQ(c.Command("AT+CMGR=1"), "\r\n+CMGR: \"REC UNREAD\",0,51,15,1,1\r\nstored\r\n\r\nOK\r\n");
}

TEST(ModemSimulatorMessages, JoinedHandsetsReachEachOther)
{
    TModemSimulatorOptions a = handset("M20");
    TModemSimulatorOptions b = handset("Nokia6210");
    b.ownNumber = "+491710000002";
    TModemSimulator simA(a), simB(b);
    simA.Join(simB);
    TPtyClient ca(simA.DevicePath()), cb(simB.DevicePath());
    ca.Command("ATE0");
    cb.Command("ATE0");
    ca.Command("AT+CNMI=2,1,0,1,0");
    cb.Command("AT+CNMI=2,1,0,0,0");
    std::string pdu = submitPdu("+491710000002", "from A", true, true);
    EXPECT_EQ(sendPdu(ca, pdu, tpduLength(pdu, true)), "\r\n+CMGS: 0\r\n\r\nOK\r\n");
    EXPECT_EQ(cb.ReadUntil("\r\n+CMTI: \"SM\",1\r\n"), "\r\n+CMTI: \"SM\",1\r\n");
    // A's report comes back to A; B's storage holds the message from A.
    EXPECT_EQ(ca.ReadUntil("\r\n+CDS: 25\r\n", 2000).substr(0, 12), "\r\n+CDS: 25\r\n");
    auto stored = simB.StoredMessages();
    ASSERT_EQ(stored.size(), 1u);
    auto msg = decodeLine(stored[0].tpdu, false, true);
    auto *deliver = dynamic_cast<TSMSDeliver *>(msg.get());
    ASSERT_NE(deliver, nullptr);
    EXPECT_EQ(deliver->OA, kOwn);
    EXPECT_EQ(GSMToText(deliver->UserData), "from A");
    EXPECT_TRUE(simA.StoredMessages().empty());
}

TEST(ModemSimulatorMessages, ServiceCentre)
{
    TModemSimulator sim(handset("M20"));
    TPtyClient c(sim.DevicePath());
    c.Command("ATE0");
    EXPECT_EQ(c.Command("AT+CSCA=\"\""), "\r\nOK\r\n"); // keeps the SIM's centre
    EXPECT_EQ(c.Command("AT+CSCA?"), "\r\n+CSCA: \"+491710760000\",145\r\n\r\nOK\r\n");
    EXPECT_EQ(c.Command("AT+CSCA=\"491712345\",145"), "\r\nOK\r\n");
    EXPECT_EQ(c.Command("AT+CSCA?"), "\r\n+CSCA: \"+491712345\",145\r\n\r\nOK\r\n");
}

TEST(ModemSimulatorMessages, TextModeUcs2TravelsAsHex)
{
    TModemSimulator sim(handset("S25"));
    TPtyClient c(sim.DevicePath());
    c.Command("ATE0");
    c.Command("AT+CMGF=1;+CSDH=1");
    EXPECT_EQ(c.Command("AT+CSMP=1,,0,8"), "\r\nOK\r\n");
    c.Command("AT+CNMI=2,2,0,0,0");
    EXPECT_EQ(c.Command("AT+CMGS=\"+491710000001\""), "\r\n> ");
    c.Write("004800690020263A\x1a");
    EXPECT_EQ(c.ReadAnswer(), "\r\n+CMGS: 0\r\n\r\nOK\r\n");
    auto got = readLines(c, 2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NE(got[0].find(",145,4,0,8,\"+491710760000\",145,8"), std::string::npos) << got[0];
    EXPECT_EQ(got[1], "004800690020263A");
    // Hex that is not hex is refused.
    EXPECT_EQ(c.Command("AT+CMGS=\"+491710000001\""), "\r\n> ");
    c.Write("00G8\x1a");
    EXPECT_EQ(c.ReadAnswer(), "\r\n+CMS ERROR: 305\r\n");
}

TEST(ModemSimulatorMessages, RoutedBodySplitAcrossReads)
{
    TModemSimulatorOptions o = handset("M20");
    o.chunkGapMs = 60;
    TModemSimulator sim(o);
    TPtyClient c(sim.DevicePath());
    c.Command("ATE0");
    c.Command("AT+CNMI=2,2,0,0,0");
    // "\r\n+CMT: ,24\r\n" is 13 octets: the split falls inside the PDU line.
    sim.SetChunking({20});
    sim.DeliverPdu(deliverPdu("+4930123", "split me"));
    std::string first = c.ReadOnce(2000);
    EXPECT_EQ(first, "\r\n+CMT: ,24\r\n0791947");
    std::string rest = c.ReadUntil("\r\n");
    auto got = lines(first + rest);
    ASSERT_EQ(got.size(), 2u);
    auto msg = decodeLine(got[1], true, true);
    ASSERT_TRUE(msg);
    EXPECT_EQ(GSMToText(msg->UserData), "split me");
}

TEST(ModemSimulatorMessages, UnacknowledgedRoutingStops)
{
    TModemSimulatorOptions o = handset("M35");
    o.ackTimeoutMs = 100;
    o.redeliveryMs = 100;
    TModemSimulator sim(o);
    TPtyClient c(sim.DevicePath());
    c.Command("ATE0");
    c.Command("AT+CSMS=1");
    c.Command("AT+CNMI=2,2,0,1,1");
    // Acknowledged in time: routing goes on.
    sim.DeliverPdu(deliverPdu("+4930123", "first"));
    ASSERT_EQ(readLines(c, 2).size(), 2u);
    EXPECT_EQ(c.Command("AT+CNMA"), "\r\nOK\r\n");
    EXPECT_EQ(c.ReadQuiet(200), "");
    EXPECT_EQ(c.Command("AT+CNMI?"), "\r\n+CNMI: 2,2,0,1,1\r\n\r\nOK\r\n");
    // Not acknowledged: the handset falls back to <mt> 0 and <ds> 0.
    sim.DeliverPdu(deliverPdu("+4930123", "second"));
    ASSERT_EQ(readLines(c, 2).size(), 2u);
    EXPECT_EQ(c.ReadQuiet(300), "");
    EXPECT_EQ(c.Command("AT+CNMI?"), "\r\n+CNMI: 2,0,0,0,1\r\n\r\nOK\r\n");
    EXPECT_EQ(sim.PendingAcknowledgements(), 0);
    EXPECT_EQ(c.Command("AT+CNMA"), "\r\n+CMS ERROR: 340\r\n");
    // The network delivers the unacknowledged one again, into the storage without a word.
    std::string said;
    for (int i = 0; i < 100 && sim.StoredMessages().empty(); ++i)
        said += c.ReadQuiet(50);
    EXPECT_EQ(said, "");
    const auto stored = sim.StoredMessages();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].status, 0);
    EXPECT_EQ(GSMToText(decodeLine(stored[0].tpdu, false, true)->UserData), "second");
}
