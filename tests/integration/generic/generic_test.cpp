// The Generic equipment type against the simulated current LTE module over a real
// pseudo-terminal: the open sequence, sending, listing, reading and deleting in PDU and text mode
// (UCS2 text included), registration on LTE alone, indications for any storage, status reports in
// SR, switch-off, and the data module receiving as "kestrel monitor" and the window do.
#include "../datamodule/datamodulerig.h"
#include "../messaging/messagingrig.h"

#include "base/format.h"
#include "connect/connection.h"
#include "modemsim/simnetwork.h"
#include "store/messagestore.h"
#include "xsms/composer.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace kestrel;
using namespace kestrel::test;

namespace {

const std::string kOwn = "+491710000001";

bool Contains(const std::vector<std::string> &v, const std::string &s)
{
    return std::find(v.begin(), v.end(), s) != v.end();
}

// Position of the first command equal to s, or the size when none is.
size_t IndexOf(const std::vector<std::string> &v, const std::string &s)
{
    return static_cast<size_t>(std::find(v.begin(), v.end(), s) - v.begin());
}

TEST(Generic, OpenSequenceNegotiatesRegistrationStoragesAndCharacterSet)
{
    const std::vector<std::string> common = {
        "ATE1", "AT+CPIN?", "AT+CREG?", "AT+CREG=1", "AT+CEREG?", "AT+CEREG=1",
        // The module has no 5G: its error ends that query, without "=1" after it.
        "AT+C5GREG?", "AT+CPMS=?", "AT+CPMS=\"MT\",\"MT\",\"MT\"", "AT+CPMS?", "AT+CSMS?", "AT+CSCA=\"\""};
    const struct {
        uint8_t format;
        std::vector<std::string> rest;
    } cases[] = {
        {kSMSFormatPDU, {"AT+CMGF=0", "AT+CNMI=?", "AT+CNMI?", "AT+CNMI=2,1,0,0,1"}},
        {kSMSFormatText,
         {"AT+CMGF=1", "AT+CSDH=1", "AT+CSCS?", "AT+CNMI=?", "AT+CNMI?", "AT+CNMI=2,1,0,0,1"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.format);
        TMessagingRig rig(Handset("Generic"), c.format, Bit(uindSMSDeliver) | Bit(uindOnlyIndication));
        rig.gsm.AdjustCommSettings();
        EXPECT_EQ(rig.comm.Baudrate(), br115200);
        rig.Open();
        std::vector<std::string> expected = common;
        expected.insert(expected.end(), c.rest.begin(), c.rest.end());
        EXPECT_EQ(rig.Commands(), expected);
        EXPECT_EQ(rig.gsm.Memory(), "\"MT\"");
        EXPECT_EQ(rig.gsm.NetworkRegistration(), 1);
        EXPECT_EQ(rig.gsm.UnsolicitedIndication(), Bit(uindSMSDeliver) | Bit(uindOnlyIndication));
        rig.gsm.Close();
    }
}

TSMSSubmit UCS2Submit(const std::string &da, std::u16string_view text)
{
    TSMSSubmit s;
    s.DA = da;
    s.DCS = 0x08;
    s.SetUCS2Text(text);
    return s;
}

// A message to the module's own number comes back, is listed, read and deleted; in every mode
// the text arrives as it was sent.
TEST(Generic, SendListReadDeleteInEveryMode)
{
    const std::u16string cyrillic = u"\u041f\u0440\u0438\u0432\u0435\u0442 \u043c\u0438\u0440";
    const struct {
        const char *name;
        uint8_t format;
        bool ucs2;
    } cases[] = {
        {"PDU, 7-bit", kSMSFormatPDU, false},
        {"PDU, UCS2", kSMSFormatPDU, true},
        {"text, 7-bit", kSMSFormatText, false},
        {"text, UCS2", kSMSFormatText, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TMessagingRig rig(Handset("Generic"), c.format, Bit(uindSMSDeliver) | Bit(uindOnlyIndication));
        rig.Open();
        rig.sim.ClearTranscript();
        const TSMSSubmit submit = c.ucs2 ? UCS2Submit(kOwn, cyrillic) : *TextSubmit(kOwn, "Hello generic");
        const std::string wanted = c.ucs2                       ? WideToUCS2(cyrillic)
                                   : c.format == kSMSFormatText ? std::string("Hello generic")
                                                                : TextToGSM("Hello generic");
        EXPECT_GE(rig.gsm.SendSMS(submit), 0);
        ASSERT_TRUE(rig.sim.WaitForSentMessages(1, 2000));
        EXPECT_EQ(rig.sim.SentMessages()[0].destination, kOwn);

        const auto commands = rig.Commands();
        if (c.format == kSMSFormatText && c.ucs2) {
            // Under UCS2 the number is hexadecimal UCS2 too; the set found at open comes back.
            const size_t to = IndexOf(commands, "AT+CSCS=\"UCS2\"");
            const std::string send = "AT+CMGS=\"002B003400390031003700310030003000300030003000300031\"";
            EXPECT_LT(to, IndexOf(commands, send));
            EXPECT_LT(IndexOf(commands, send), IndexOf(commands, "AT+CSCS=\"GSM\""));
            EXPECT_TRUE(Contains(commands, "AT+CSCS=\"GSM\""));
            EXPECT_TRUE(rig.sim.WaitForReceived(StrToHex(WideToUCS2(cyrillic)), 1000));
        } else {
            EXPECT_EQ(IndexOf(commands, "AT+CSCS=\"UCS2\""), commands.size());
        }

        ASSERT_TRUE(rig.WaitEvents(1));
        const int index = rig.events[0].index;
        EXPECT_GE(index, 1);
        EXPECT_EQ(rig.events[0].cls, ""); // an indication: the message waits in the storage
        EXPECT_EQ(rig.gsm.Memory(), "\"MT\"");

        auto listed = rig.gsm.ListSMS(4);
        ASSERT_EQ(listed.size(), 1u);
        EXPECT_EQ(listed[0].Index, index);
        auto *deliver = dynamic_cast<TSMSDeliver *>(listed[0].Message.get());
        ASSERT_NE(deliver, nullptr);
        EXPECT_EQ(deliver->OA, kOwn);
        EXPECT_EQ(deliver->UserData, wanted);
        EXPECT_EQ(deliver->SevenBit(), !c.ucs2);

        int status = -1;
        auto read = rig.gsm.ReadSMS(index, status);
        auto *again = dynamic_cast<TSMSDeliver *>(read.get());
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(again->UserData, wanted);
        EXPECT_EQ(status, 1); // listed, so read

        rig.gsm.DeleteSMS(index);
        EXPECT_TRUE(rig.sim.StoredMessages().empty());
        EXPECT_TRUE(rig.errors.empty());
        rig.gsm.Close();
    }
}

// Routed with "+CMT" instead of stored: the text arrives whole in both modes, also the UCS2 text
// whose hexadecimal body is twice as long as the octet count its header gives.
TEST(Generic, RoutedMessagesArriveWhole)
{
    const std::u16string greek =
        u"\u039a\u03b1\u03bb\u03b7\u03bc\u03ad\u03c1\u03b1 \u03ba\u03cc\u03c3\u03bc\u03b5";
    for (uint8_t format : {kSMSFormatPDU, kSMSFormatText}) {
        for (bool ucs2 : {false, true}) {
            SCOPED_TRACE(std::to_string(format) + (ucs2 ? " UCS2" : " 7-bit"));
            TMessagingRig rig(Handset("Generic"), format, Bit(uindSMSDeliver));
            rig.Open();
            const TSMSSubmit submit = ucs2 ? UCS2Submit(kOwn, greek) : *TextSubmit(kOwn, "routed");
            rig.gsm.SendSMS(submit);
            ASSERT_TRUE(rig.WaitEvents(1));
            EXPECT_EQ(rig.events[0].index, -1);
            EXPECT_EQ(rig.events[0].cls, "TSMSDeliver");
            EXPECT_EQ(rig.events[0].text, ucs2                       ? WideToUCS2(greek)
                                          : format == kSMSFormatText ? std::string("routed")
                                                                     : TextToGSM("routed"));
            EXPECT_TRUE(rig.errors.empty());
            rig.gsm.Close();
        }
    }
}

// An LTE stick is registered on LTE while +CREG says it is not; the plain +CREG types cannot see it.
TEST(Generic, RegistrationOnLTEAloneCounts)
{
    const struct {
        const char *engine;
        int atOpen;
    } cases[] = {{"Generic", 1}, {"TC35", 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.engine);
        TModemSimulatorOptions o = Handset("Generic");
        o.lteOnly = true;
        TMessagingRig rig(o);
        rig.gsm.SetEquipment(StrToEquipment(c.engine));
        rig.gsm.Open();
        rig.gsm.ProcessReceived();
        EXPECT_EQ(rig.gsm.NetworkRegistration(), c.atOpen);
        rig.registrations.clear();
        rig.sim.SetRegistration(5);
        if (c.atOpen) {
            ASSERT_TRUE(PumpUntil([&] { return !rig.registrations.empty(); }, 2000));
            EXPECT_EQ(rig.registrations, std::vector<int>{5});
            rig.sim.SetRegistration(0);
            ASSERT_TRUE(PumpUntil([&] { return rig.registrations.size() == 2; }, 2000));
            EXPECT_EQ(rig.registrations.back(), 0);
        } else {
            PumpUntil([] { return false; }, 300);
            EXPECT_TRUE(rig.registrations.empty());
        }
        rig.gsm.Close();
    }
}

// "+CMTI" names whichever storage the modem received into; the engine reads from that one.
TEST(Generic, StorageIndicationsForAnyStorage)
{
    TMessagingRig rig(Handset("Generic"), kSMSFormatPDU, Bit(uindSMSDeliver) | Bit(uindOnlyIndication));
    rig.Open();
    const struct {
        const char *storage; // where the message is put
        const char *line;    // the indication, %d the index
        const char *memory;  // the storage selected afterwards
    } cases[] = {
        {"ME", "+CMTI: \"ME\",%d", "\"ME\""},
        {"SM", "+CMTI: \"SM\",%d", "\"SM\""},
        {"ME", "+CMTI: ME,%d", "\"ME\""}, // unquoted
        {"SR", "+CDSI: \"SR\",%d", "\"SR\""},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        const std::string text = "stored in " + std::string(c.storage) + " " + std::to_string(++n);
        const int index = rig.sim.StoreMessage(c.storage, 0, DeliverTPDU("+441234567890", text));
        ASSERT_GE(index, 1);
        rig.events.clear();
        rig.sim.SendUnsolicited(Format(c.line, index));
        ASSERT_TRUE(rig.WaitEvents(1));
        EXPECT_EQ(rig.events[0].index, index);
        EXPECT_EQ(rig.gsm.Memory(), c.memory);
        int status = -1;
        auto sms = rig.gsm.ReadSMS(index, status);
        auto *deliver = dynamic_cast<TSMSDeliver *>(sms.get());
        ASSERT_NE(deliver, nullptr);
        EXPECT_EQ(GSMToText(deliver->UserData), text);
        rig.gsm.DeleteSMS(index);
    }
    // "MT": the module receives into both of its storages under one numbering, as the engine
    // asked at open; a message from the network is indicated there.
    ASSERT_NO_THROW(rig.gsm.ExecCommand("AT+CPMS=\"SM\",\"SM\",\"MT\"", kWaitResult));
    rig.gsm.SelectMemory("\"SM\"");
    rig.events.clear();
    rig.sim.DeliverText("+441234567890", "through MT");
    ASSERT_TRUE(rig.WaitEvents(1));
    EXPECT_TRUE(rig.sim.WaitForSent("+CMTI: \"MT\",", 100));
    EXPECT_EQ(rig.gsm.Memory(), "\"MT\"");
    int status = -1;
    auto sms = rig.gsm.ReadSMS(rig.events[0].index, status);
    ASSERT_NE(sms, nullptr);
    EXPECT_EQ(GSMToText(static_cast<TSMSDeliver &>(*sms).UserData), "through MT");
    EXPECT_TRUE(rig.errors.empty());
    rig.gsm.Close();
}

// Read one by one and listed, in PDU mode and in text mode, where a report is all on its
// header line: the listing must not take the next entry's header for a body.
TEST(Generic, StatusReportsAreReadAndListedFromSR)
{
    for (const int format : {kSMSFormatPDU, kSMSFormatText}) {
        SCOPED_TRACE(format == kSMSFormatPDU ? "PDU mode" : "text mode");
        TMessagingRig rig(Handset("Generic"), format,
                          Bit(uindSMSDeliver) | Bit(uindSMSStatusReport) | Bit(uindOnlyIndication));
        rig.Open();
        EXPECT_TRUE(Contains(rig.sim.ReceivedCommands(), "AT+CNMI=2,1,0,2,1"));
        std::vector<int> references;
        for (const char *text : {"report please", "and another", "and a third"}) {
            auto submit = TextSubmit(kOwn, text);
            submit->SetFirstOctetBit(5, true);
            references.push_back(rig.gsm.SendSMS(*submit));
        }
        // Each message comes back to the own number, and its report follows.
        ASSERT_TRUE(rig.WaitEvents(6));
        ASSERT_TRUE(PumpUntil([&] { return rig.gsm.Memory() == "\"SR\""; }, 2000));
        const int index = rig.events.back().index;
        int status = -1;
        std::string raw;
        auto sms = rig.gsm.ReadSMS(index, status, &raw);
        auto *report = dynamic_cast<TSMSStatusReport *>(sms.get());
        ASSERT_NE(report, nullptr) << raw;
        EXPECT_EQ(report->MR, references.back());
        EXPECT_EQ(report->RA, kOwn);
        EXPECT_FALSE(raw.empty());

        const auto list = rig.gsm.ListSMS(4);
        std::vector<int> listed;
        for (const auto &entry : list)
            if (auto *r = dynamic_cast<TSMSStatusReport *>(entry.Message.get()))
                listed.push_back(r->MR);
        std::sort(listed.begin(), listed.end());
        std::sort(references.begin(), references.end());
        EXPECT_EQ(listed, references);
        EXPECT_EQ(list.size(), references.size());
        EXPECT_TRUE(rig.errors.empty());
        rig.gsm.Close();
    }
}

TEST(Generic, SwitchOffIsMinimumFunctionality)
{
    TMessagingRig rig(Handset("Generic"));
    rig.Open();
    rig.gsm.SwitchOff();
    EXPECT_TRUE(Contains(rig.sim.ReceivedCommands(), "AT+CFUN=0"));
    EXPECT_TRUE(rig.sim.SwitchedOff());
    rig.gsm.Close();
}

// The data module, as the window and "kestrel monitor" run it: what waits in either storage at
// login is handled and deleted (MT covers both), and so is what arrives later.
class GenericDataModule : public rig::TDataModuleRig {};

TEST_F(GenericDataModule, MessagesAtLoginAndLaterAreHandledAndDeleted)
{
    for (int format : {0, 1}) {
        SCOPED_TRACE(format);
        std::ofstream(dir / "gsm.ini")
            << "[Modem]\nDevice=Generic\nUnsolicitedIndication=9\nSMSFormat=" << format << "\n";
        TModemSimulator sim(Handset("Generic"));
        sim.StoreMessage("SM", 0, DeliverTPDU("+441234567890", "waiting on the SIM"));
        sim.StoreMessage("ME", 0, DeliverTPDU("+441234567891", "waiting in the module"));
        view.lines.clear();
        auto dm = Module(&sim);
        EXPECT_EQ(dm->GSM.Equipment(), eqGeneric);
        dm->GSM.Open();
        EXPECT_TRUE(sim.StoredMessages().empty());
        auto logged = [&](const std::string &what) {
            return std::any_of(view.lines.begin(), view.lines.end(),
                               [&](const std::string &l) { return l.find(what) != std::string::npos; });
        };
        EXPECT_TRUE(logged("OA: +441234567890"));
        EXPECT_TRUE(logged("OA: +441234567891"));
        sim.DeliverText("+441234567892", "arriving later");
        EXPECT_TRUE(WaitUntil([&] { return logged("OA: +441234567892") && sim.StoredMessages().empty(); }));
        dm->GSM.Close();
    }
}

// A status report on MR as the network sends it, without service-centre field.
std::string ReportTPDU(const std::string &recipient, int mr)
{
    TSMSStatusReport r;
    r.MR = static_cast<uint8_t>(mr);
    r.RA = recipient;
    r.SCTS = r.DischargeTime = Now();
    r.GSM = SimBareContext();
    return r.GetPDU();
}

// Reports that reached SR while no program listened are read at the next open: the messages
// they are about turn delivered, and SR is emptied.
TEST_F(GenericDataModule, ReportsWaitingInSRAreReadAtOpen)
{
    const std::string peer = "+441234567890";
    for (int format : {0, 1}) {
        SCOPED_TRACE(format);
        std::ofstream(dir / "gsm.ini")
            << "[Modem]\nDevice=Generic\nUnsolicitedIndication=11\nSMSFormat=" << format << "\n";
        const std::string location = (dir / Format("reports%d.sqlite", format)).string();
        int64_t id = 0;
        {
            auto store = TMessageStore::Open(location);
            TMessageContent content;
            content.Text = "sent while nobody listened";
            content.StatusReport = true;
            TMessageComposer composer;
            const auto submits = composer.Compose(peer, content);
            TOutgoing out;
            out.Peer = peer;
            out.Text = "sent while nobody listened";
            out.Segments.push_back(submits.front().get());
            id = store->RecordOutgoing(out, Now());
            store->SegmentSent(id, 1, 42, Now());
        }
        TModemSimulator sim(Handset("Generic"));
        sim.StoreMessage("SR", 0, ReportTPDU(peer, 42));
        ASSERT_EQ(sim.StoredMessages().size(), 1u);
        auto dm = Module(&sim);
        dm->StoreName = location;
        dm->GSM.Open();
        EXPECT_TRUE(sim.StoredMessages().empty());
        EXPECT_EQ(dm->GSM.Memory(), "\"MT\""); // back to the storage of messages
        auto store = TMessageStore::Open(location);
        EXPECT_EQ(store->Message(id)->Status, TStoredStatus::ssDelivered);
        dm->GSM.Close();
    }
}

} // namespace
