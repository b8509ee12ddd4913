// Sending, reading, listing and deleting messages against the virtual handset of each model.
#include "messagingrig.h"

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

const std::string kPeer = "+491710000002";

struct TLengthCase {
    const char *equipment;
    int length; // -1: octets of the PDU without the SC length octet; -2: all octets
};

class SendLength : public ::testing::TestWithParam<TLengthCase> {};

// The length value of AT+CMGS follows each model's rule; the handset accepts the message and
// answers with its reference.
TEST_P(SendLength, PDUModeLengthPerEquipment)
{
    const TLengthCase &c = GetParam();
    TMessagingRig rig(Handset(c.equipment));
    rig.Open();
    auto sms = TextSubmit(kPeer, "length rule");
    sms->GSM = &rig.gsm;
    const std::string pdu = sms->GetPDU();
    const int expected = c.length == -1   ? static_cast<int>(pdu.size() / 2 - 1)
                         : c.length == -2 ? static_cast<int>(pdu.size() / 2)
                                          : c.length;
    EXPECT_EQ(rig.gsm.GetTPDULength(*sms), expected);
    const int reference = rig.gsm.SendSMS(*sms);
    auto sent = rig.sim.SentMessages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].lengthGiven, expected);
    EXPECT_EQ(sent[0].data, pdu);
    EXPECT_EQ(sent[0].destination, kPeer);
    EXPECT_EQ(reference, sent[0].reference);
}

INSTANTIATE_TEST_SUITE_P(Equipment, SendLength,
                         ::testing::Values(TLengthCase{"A1", 165}, TLengthCase{"M1", 164},
                                           TLengthCase{"M20", -1}, TLengthCase{"T260", -1},
                                           TLengthCase{"WaveCom", -2}),
                         [](const auto &info) { return std::string(info.param.equipment); });

TEST(Send, TypesThatCannotBeSent)
{
    TMessagingRig rig(Handset("M20"), kSMSFormatText);
    rig.Open();
    TSMSDeliver deliver;
    EXPECT_THROW(rig.gsm.SendSMS(deliver), EGSMError);
    TSMSCommand command;
    EXPECT_THROW(rig.gsm.SendSMS(command), EGSMError); // text mode carries no command
    EXPECT_TRUE(rig.sim.SentMessages().empty());
}

struct TTextSendCase {
    const char *equipment;
    uint8_t firstOctet;
    const char *csmp;
};

class TextSend : public ::testing::TestWithParam<TTextSendCase> {};

// The submit's parameters go with AT+CSMP, the text after the prompt of AT+CMGS="<da>".
TEST_P(TextSend, ParametersThenText)
{
    const TTextSendCase &c = GetParam();
    TMessagingRig rig(Handset(c.equipment), kSMSFormatText);
    rig.Open();
    rig.sim.ClearTranscript();
    TSMSSubmit sms;
    sms.DA = kPeer;
    sms.FirstOctet = c.firstOctet;
    sms.VP = 1; // one day: code 167
    sms.UserData = "Text mode";
    rig.gsm.SendSMS(sms);
    const auto commands = rig.Commands();
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[0], c.csmp);
    EXPECT_EQ(commands[1], "AT+CMGS=\"" + kPeer + "\"");
    auto sent = rig.sim.SentMessages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(sent[0].textMode);
    EXPECT_EQ(sent[0].data, "Text mode");
}

INSTANTIATE_TEST_SUITE_P(
    Equipment, TextSend,
    ::testing::Values(TTextSendCase{"M20", 0x01, "AT+CSMP=17,,0,0"}, // a relative period is announced
                      TTextSendCase{"TC35", 0x01, "AT+CSMP=17,,0,0"},
                      TTextSendCase{"Nokia6210", 0x01, "AT+CSMP=1,,0,0"},
                      TTextSendCase{"M20", 0x11, "AT+CSMP=17,167,0,0"}),
    [](const auto &info) { return std::string(info.param.equipment) + "_" + std::to_string(info.index); });

// A listing in PDU mode keeps every entry in the handset's order, with its status, and reads
// received messages as deliveries and stored unsent ones as submits.
TEST(Storage, ListReadDeletePDUMode)
{
    TMessagingRig rig(Handset("M20"));
    const int first = rig.sim.StoreMessage("SM", 1, DeliverTPDU("+491715555555", "first"));
    const int second = rig.sim.StoreMessage("SM", 0, DeliverTPDU("+491716666666", "second"));
    auto unsent = TextSubmit(kPeer, "draft");
    struct : ISMSContext {
        bool SCAInPDU() const override { return false; }
        std::string SCA() const override { return {}; }
    } noSca;
    unsent->GSM = &noSca;
    const int draft = rig.sim.StoreMessage("SM", 2, unsent->GetPDU());
    rig.Open();
    rig.sim.ClearTranscript();

    // Without a filter the handset lists its default status, the unread messages.
    auto unreadOnly = rig.gsm.ListSMS(-1);
    EXPECT_EQ(rig.Commands(), std::vector<std::string>{"AT+CMGL"});
    ASSERT_EQ(unreadOnly.size(), 1u);
    EXPECT_EQ(unreadOnly[0].Index, second);
    rig.sim.ClearTranscript();
    auto list = rig.gsm.ListSMS(4);
    EXPECT_EQ(rig.Commands(), std::vector<std::string>{"AT+CMGL=4"});
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].Index, first);
    EXPECT_EQ(list[0].Status, 1);
    EXPECT_EQ(list[1].Index, second);
    EXPECT_EQ(list[1].Status, 1); // listed before: read now
    EXPECT_EQ(list[2].Index, draft);
    EXPECT_EQ(list[2].Status, 2);
    auto *d = dynamic_cast<TSMSDeliver *>(list[1].Message.get());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->OA, "+491716666666");
    EXPECT_EQ(GSMToText(d->UserData), "second");
    EXPECT_EQ(d->TimeZone, 4);
    auto *s = dynamic_cast<TSMSSubmit *>(list[2].Message.get());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->DA, kPeer);

    int status = -5;
    std::string raw;
    auto read = rig.gsm.ReadSMS(draft, status, &raw);
    EXPECT_EQ(status, 2);
    ASSERT_NE(dynamic_cast<TSMSSubmit *>(read.get()), nullptr);
    EXPECT_EQ(raw, list[2].Raw);

    rig.gsm.DeleteSMS(second);
    EXPECT_EQ(rig.gsm.ListSMS(4).size(), 2u);
    // An empty location is the handset's error after one attempt.
    rig.sim.ClearTranscript();
    EXPECT_THROW(rig.gsm.ReadSMS(second, status), EGSMError);
    EXPECT_EQ(rig.Commands().size(), 1u);
    // Filter by status.
    auto unread = rig.gsm.ListSMS(1);
    ASSERT_EQ(unread.size(), 1u);
    EXPECT_EQ(unread[0].Index, first);
}

TEST(Storage, ClosedEngineRefuses)
{
    TMessagingRig rig(Handset("M20"));
    int status;
    EXPECT_THROW(rig.gsm.ReadSMS(1, status), EConnectError);
    EXPECT_THROW(rig.gsm.ListSMS(-1), EConnectError);
    EXPECT_THROW(rig.gsm.DeleteSMS(1), EConnectError);
}

// The listing filter and attempt count per model: GM12 and Fasttrack list status 0 instead of
// all, Wavecom-type handsets list once and take ERROR for an empty storage.
TEST(Storage, ListFilterPerEquipment)
{
    struct {
        const char *equipment;
        const char *command;
    } cases[] = {
        {"GM12", "AT+CMGL=0"}, {"Fasttrack", "AT+CMGL=0"}, {"WaveCom", "AT+CMGL"}, {"S25", "AT+CMGL"}};
    for (auto &c : cases) {
        SCOPED_TRACE(c.equipment);
        TMessagingRig rig(Handset(c.equipment));
        rig.Open();
        rig.sim.ClearTranscript();
        EXPECT_TRUE(rig.gsm.ListSMS(-1).empty());
        EXPECT_EQ(rig.Commands(), std::vector<std::string>{c.command});
    }
    TMessagingRig wavecom(Handset("WaveCom"));
    wavecom.Open();
    wavecom.sim.ClearTranscript();
    wavecom.sim.FailNextCommand("ERROR");
    EXPECT_TRUE(wavecom.gsm.ListSMS(-1).empty());
    EXPECT_EQ(wavecom.Commands().size(), 1u);
}

// Text mode: the listing names the entries, each is then read on its own for its details.
TEST(Storage, ListAndReadTextMode)
{
    TMessagingRig rig(Handset("M20"), kSMSFormatText);
    const int a = rig.sim.StoreMessage("SM", 1, DeliverTPDU("+491715555555", "first text"));
    const int b = rig.sim.StoreMessage("SM", 0, DeliverTPDU("+491716666666", "second text"));
    rig.Open();
    rig.sim.ClearTranscript();
    auto list = rig.gsm.ListSMS(4);
    EXPECT_EQ(rig.Commands(), (std::vector<std::string>{"AT+CMGL=\"ALL\"", "AT+CMGR=" + std::to_string(a),
                                                        "AT+CMGR=" + std::to_string(b)}));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].Status, 1);
    EXPECT_EQ(list[1].Status, 0);
    auto *d = dynamic_cast<TSMSDeliver *>(list[1].Message.get());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->OA, "+491716666666");
    EXPECT_EQ(d->UserData, "second text");
    EXPECT_EQ(d->TimeZone, 4);
    int y, m, day;
    DecodeDate(d->SCTS, y, m, day);
    EXPECT_EQ(y * 10000 + m * 100 + day, 20261207);
}

// Text-mode answers as handsets give them: without the detail continuation, with a body over
// several lines, with an empty validity field.
TEST(Storage, TextModeReadAnswers)
{
    struct {
        const char *answer;
        const char *cls;
        int status;
        const char *body;
    } cases[] = {
        {"+CMGR: \"REC READ\",\"+4917123\",,\"26/12/07,10:30:00+04\"\r\nHello\r\nworld\r\n", "TSMSDeliver", 1,
         "Hello"},
        {"+CMGR: \"REC "
         "UNREAD\",\"+4917123\",,\"26/12/07,10:30:00+04\",145,4,0,0,\"+4917\",145,11\r\nHello\r\n"
         "world\r\n",
         "TSMSDeliver", 0, "Hello\nworld"},
        {"+CMGR: \"STO UNSENT\",\"+4917123\",,145,17,0,0,,\"+4917\",145,5\r\nDraft\r\n", "TSMSSubmit", 2,
         "Draft"},
        {"+CMGR: \"STO SENT\",\"+4917123\",,145,17,0,0,167,\"+4917\",145,4\r\nSent\r\n", "TSMSSubmit", 3,
         "Sent"},
        {"+CMGR: \"REC READ\",4917123,,\"26/12/07,10:30:00+04\"\r\nHello\r\n", nullptr, 1, nullptr},
    };
    TMessagingRig rig(Handset("M20"), kSMSFormatText);
    rig.Open();
    for (auto &c : cases) {
        SCOPED_TRACE(c.answer);
        rig.sim.SetReplyDelay(0);
        // The handset's own answer is replaced by the case's lines.
        rig.sim.FailNextCommand(std::string(c.answer) + "OK");
        int status = -5;
        auto sms = rig.gsm.ReadSMS(1, status);
        EXPECT_EQ(status, c.status);
        if (!c.cls) {
            EXPECT_EQ(sms, nullptr);
            continue;
        }
        ASSERT_NE(sms, nullptr);
        EXPECT_STREQ(sms->ClassName(), c.cls);
        EXPECT_EQ(static_cast<TSMS2 *>(sms.get())->UserData, c.body);
    }
}

TEST(Storage, SelectMemory)
{
    TMessagingRig rig(Handset("M20"));
    rig.Open();
    rig.sim.ClearTranscript();
    rig.gsm.SelectMemory(rig.gsm.Memory());
    EXPECT_TRUE(rig.Commands().empty());
    rig.gsm.SelectMemory("\"ME\"");
    EXPECT_EQ(rig.Commands(), std::vector<std::string>{"AT+CPMS=\"ME\""});
    EXPECT_EQ(rig.gsm.Memory(), "\"ME\"");
}

} // namespace

namespace {

// An entry whose PDU cannot be decoded stays in the listing, without a message but with its text.
TEST(Storage, UndecodableEntryKept)
{
    TMessagingRig rig(Handset("M20"));
    rig.Open();
    const std::string good = "00" + DeliverTPDU("+491715555555", "fine");
    rig.sim.FailNextCommand("+CMGL: 1,0,,3\r\n0004C1\r\n+CMGL: 2,1,,20\r\n" + good + "\r\nOK");
    auto list = rig.gsm.ListSMS(4);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].Index, 1);
    EXPECT_EQ(list[0].Message, nullptr);
    EXPECT_EQ(list[0].Raw, "0004C1");
    EXPECT_EQ(list[1].Index, 2);
    ASSERT_NE(list[1].Message, nullptr);
    EXPECT_EQ(GSMToText(static_cast<TSMS2 *>(list[1].Message.get())->UserData), "fine");
}

} // namespace

namespace {

// The handset's acceptance is told once, with the reference it gave, while the send is still
// in the engine's hands; a refused send tells nothing, and the next command does not either.
struct TAcceptedCase {
    const char *name;
    int format;
    const char *failure; // the handset's answer to AT+CMGS, or nullptr for its acceptance
};

class Accepted : public ::testing::TestWithParam<TAcceptedCase> {};

TEST_P(Accepted, ToldOnceWithTheReference)
{
    const TAcceptedCase &c = GetParam();
    TMessagingRig rig(Handset("M20"), c.format);
    rig.Open();
    std::vector<int> told;
    bool returned = false;
    rig.gsm.OnSMSAccepted = [&](TObject *, int mr) {
        EXPECT_FALSE(returned);
        told.push_back(mr);
    };
    auto sms = TextSubmit(kPeer, "accepted");
    sms->GSM = &rig.gsm;
    if (c.failure) {
        rig.sim.FailNextCommand(c.failure);
        rig.gsm.SetRepeatCount(1);
        EXPECT_THROW(rig.gsm.SendSMS(*sms), EGSMError);
        EXPECT_TRUE(told.empty());
    } else {
        const int reference = rig.gsm.SendSMS(*sms);
        returned = true;
        ASSERT_EQ(rig.sim.SentMessages().size(), 1u);
        EXPECT_EQ(told, std::vector<int>{reference});
        EXPECT_EQ(reference, rig.sim.SentMessages()[0].reference);
    }
    const size_t before = told.size();
    rig.gsm.ExecCommand("AT", kWaitResult, nullptr, 1);
    EXPECT_EQ(told.size(), before);
}

INSTANTIATE_TEST_SUITE_P(Formats, Accepted,
                         ::testing::Values(TAcceptedCase{"pdu", kSMSFormatPDU, nullptr},
                                           TAcceptedCase{"text", kSMSFormatText, nullptr},
                                           TAcceptedCase{"pdu_refused", kSMSFormatPDU, "+CMS ERROR: 38"},
                                           TAcceptedCase{"text_refused", kSMSFormatText, "+CMS ERROR: 38"}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
