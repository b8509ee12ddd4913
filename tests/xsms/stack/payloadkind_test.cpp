// The kinds of payload: completed payloads recognised by their protocol, port, EMS elements and
// coding, as the SMS log, the store, kestrel and the Messages view all take them; and the table's
// names and ports.
#include "connect/connection.h"
#include "gsm/sms.h"
#include "gsm/userdataprotocols.h"
#include "xsms/otabitmap.h"
#include "xsms/payloadkind.h"
#include "xsms/protocolstack.h"
#include "xsms/smartmessage.h"

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

struct TSegment {
    uint8_t dcs;
    std::string userData; // header first under TP-UDHI
    bool udhi;
};

// Feeds the segments to a stack; the completed protocol's kinds (announced, and of the whole).
std::pair<TPayloadKind, TPayloadKind> kindsOf(const std::vector<TSegment> &segments)
{
    TSMSProtocolStack stack;
    std::vector<std::unique_ptr<TSMSDeliver>> held;
    TSMSProtocol *p = nullptr;
    for (const TSegment &s : segments) {
        auto sms = std::make_unique<TSMSDeliver>();
        sms->OA = "+4412";
        sms->DCS = s.dcs;
        sms->UserData = s.userData;
        sms->SetFirstOctetBit(6, s.udhi);
        EXPECT_TRUE(stack.AddSegment(sms.get(), p));
        held.push_back(std::move(sms));
    }
    if (!p || p->State() != kStateComplete) {
        ADD_FAILURE() << "the payload did not complete";
        return {TPayloadKind::pkText, TPayloadKind::pkText};
    }
    return {PayloadKindAnnounced(*p, segments.front().dcs), PayloadKindOf(*p, segments.front().dcs)};
}

// A header with a 16-bit application port (TS 23.040 9.2.3.24.4) before Payload.
std::string ported(uint16_t port, const std::string &payload)
{
    return HexToStr("060504") + std::string{char(port >> 8), char(port & 0xFF), 0, 0} + payload;
}

std::string multipart(std::unique_ptr<TSmartMessage> item)
{
    TSMMultipartMessage m;
    m.Items.push_back(std::move(item));
    return m.GetData();
}

TEST(PayloadKinds, CompletedPayloadsByProtocolPortElementAndCoding)
{
    auto text = std::make_unique<TSMTextISO>();
    text->Text = "Hi";
    auto bitmap = std::make_unique<TSMOTABitmap>();
    bitmap->SetData(HexToStr("000808010000000000000000"));
    const std::string ota = "//SEO" + std::string(1, '\1') + IntToLE(2, 2) + IntToLE(0x01020304, 4) +
                            IntToLE(1, 2) + IntToLE(1, 2) + IntToLE(2, 4) + PascalString("n") +
                            PascalString("t") + "ab";
    const std::string concat1 = HexToStr("0500032A0201"), concat2 = HexToStr("0500032A0202");
    const std::string sound = HexToStr("040B020001"); // EMS predefined sound 1 at the start
    const struct {
        const char *name;
        std::vector<TSegment> segments;
        TPayloadKind announced, kind;
    } cases[] = {
        {"7-bit concatenated text",
         {{0x00, concat1 + "ab", true}, {0x00, concat2 + "cd", true}},
         TPayloadKind::pkText,
         TPayloadKind::pkText},
        {"UCS2 concatenated text",
         {{0x08, concat1 + "\0a", true}, {0x08, concat2 + "\0b", true}},
         TPayloadKind::pkText,
         TPayloadKind::pkText},
        // TS 23.038 4: 8-bit user data, and compressed text, are data.
        {"8-bit concatenated data",
         {{0xF4, concat1 + "\x01\x02", true}, {0xF4, concat2 + "\x80", true}},
         TPayloadKind::pkData,
         TPayloadKind::pkData},
        {"general coding, 8-bit",
         {{0x04, concat1 + "ab", true}, {0x04, concat2 + "cd", true}},
         TPayloadKind::pkData,
         TPayloadKind::pkData},
        {"compressed text",
         {{0x20, concat1 + "ab", true}, {0x20, concat2 + "cd", true}},
         TPayloadKind::pkData,
         TPayloadKind::pkData},
        {"EMS sound with 7-bit text",
         {{0x00, sound + "Hi", true}},
         TPayloadKind::pkText,
         TPayloadKind::pkEMS},
        {"EMS sound with 8-bit data",
         {{0x04, sound + "Hi", true}},
         TPayloadKind::pkData,
         TPayloadKind::pkEMS},
        {"operator logo port",
         {{0xF5, ported(kSMPortOperatorLogo, "x"), true}},
         TPayloadKind::pkOperatorLogo,
         TPayloadKind::pkOperatorLogo},
        {"WAP vCard port",
         {{0xF5, ported(kSMPortWapvCard, "BEGIN:VCARD"), true}},
         TPayloadKind::pkVCard,
         TPayloadKind::pkVCard},
        {"secure WAP vCalendar port",
         {{0xF5, ported(kSMPortWapvCalendarSecure, "x"), true}},
         TPayloadKind::pkVCalendar,
         TPayloadKind::pkVCalendar},
        {"vCard over a text header",
         {{0x00, "//SCKE2 BEGIN:VCARD", false}},
         TPayloadKind::pkVCard,
         TPayloadKind::pkVCard},
        {"multipart message with a picture",
         {{0xF5, ported(kSMPortMultipart, multipart(std::move(bitmap))), true}},
         TPayloadKind::pkMultipart,
         TPayloadKind::pkPicture},
        {"multipart message with text only",
         {{0xF5, ported(kSMPortMultipart, multipart(std::move(text))), true}},
         TPayloadKind::pkMultipart,
         TPayloadKind::pkMultipart},
        {"multipart message that does not parse",
         {{0xF5, ported(kSMPortMultipart, "\x30\x02\xFF"), true}},
         TPayloadKind::pkMultipart,
         TPayloadKind::pkMultipart},
        {"port of no row (WAP push)",
         {{0xF5, ported(2948, "x"), true}},
         TPayloadKind::pkData,
         TPayloadKind::pkData},
        {"Siemens OTA object", {{0xF5, ota, false}}, TPayloadKind::pkOTA, TPayloadKind::pkOTA},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto [announced, kind] = kindsOf(c.segments);
        EXPECT_EQ(PayloadKindName(announced), std::string(PayloadKindName(c.announced)));
        EXPECT_EQ(PayloadKindName(kind), std::string(PayloadKindName(c.kind)));
    }
}

// The names are what the store's rows and kestrel's JSON hold: they never change, and each reads
// back as its kind. The ports are the registered smart-messaging and WAP ports.
TEST(PayloadKinds, NamesAndPortsOfTheTable)
{
    const struct {
        TPayloadKind kind;
        const char *name, *label;
    } names[] = {
        {TPayloadKind::pkText, "text", "Text"},
        {TPayloadKind::pkPicture, "picture", "Picture message"},
        {TPayloadKind::pkOperatorLogo, "operator-logo", "Operator logo"},
        {TPayloadKind::pkCLIIcon, "cli-icon", "Caller icon"},
        {TPayloadKind::pkRingtone, "ringtone", "Ringing tone"},
        {TPayloadKind::pkVCard, "vcard", "vCard"},
        {TPayloadKind::pkVCalendar, "vcalendar", "vCalendar"},
        {TPayloadKind::pkMultipart, "multipart", "Multipart message"},
        {TPayloadKind::pkEMS, "ems", "EMS message"},
        {TPayloadKind::pkOTA, "ota", "Siemens OTA object"},
        {TPayloadKind::pkData, "data", "Data"},
    };
    ASSERT_EQ(PayloadKinds().size(), std::size(names));
    for (const auto &n : names) {
        SCOPED_TRACE(n.name);
        EXPECT_STREQ(PayloadKindName(n.kind), n.name);
        EXPECT_STREQ(PayloadKindLabel(n.kind), n.label);
        EXPECT_EQ(PayloadKindFromName(n.name), n.kind);
    }
    EXPECT_EQ(PayloadKindFromName("hologram"), TPayloadKind::pkData);

    const struct {
        unsigned port;
        TPayloadKind kind;
    } ports[] = {
        {226, TPayloadKind::pkVCard},      {9204, TPayloadKind::pkVCard},
        {9206, TPayloadKind::pkVCard},     {228, TPayloadKind::pkVCalendar},
        {9205, TPayloadKind::pkVCalendar}, {9207, TPayloadKind::pkVCalendar},
        {5505, TPayloadKind::pkRingtone},  {5506, TPayloadKind::pkOperatorLogo},
        {5507, TPayloadKind::pkCLIIcon},   {5514, TPayloadKind::pkMultipart},
        {0, TPayloadKind::pkData},         {2948, TPayloadKind::pkData},
        {65535, TPayloadKind::pkData},
    };
    for (const auto &p : ports) {
        SCOPED_TRACE(p.port);
        EXPECT_EQ(PayloadKindOfPort(p.port), p.kind);
    }
}

} // namespace
