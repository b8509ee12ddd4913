// PDUs written by strangers: every field cut short, lengths that lie, codings the model does not
// interpret, broken headers and impossible time stamps. Each row names a file of fuzz/corpus/pdu
// and asserts the decoded fields (and what the reassembly stack makes of a received message) or
// the exact error.
#include "hostilecorpus.h"

#include "base/format.h"
#include "base/rtlerrors.h"
#include "connect/connection.h"
#include "gsm/gsmerror.h"
#include "gsm/sms.h"
#include "gsm/tpdufields.h"
#include "xsms/protocolstack.h"

#include <QString>

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::hostile;

namespace {

std::string stamp(TDateTime t, int8_t zone)
{
    return DateTimeToISO(t) + Format("%+d", zone);
}

std::string textOf(const TSMS2 &sms)
{
    if (sms.FirstOctetBit(6))
        return {};
    switch (SMSAlphabet(sms.DCS)) {
    case TDCSAlphabet::da7Bit:
        return " text=" + GSMToText(sms.UserData);
    case TDCSAlphabet::daUCS2: {
        const std::u16string w = UCS2ToWide(sms.UserData);
        return " text=" + QString::fromUtf16(w.data(), static_cast<qsizetype>(w.size())).toStdString();
    }
    default:
        return {};
    }
}

// What the application's reassembly makes of a received message.
std::string stackOutcome(const TSMSDeliver &sms)
{
    TSMSProtocolStack stack;
    TSMSProtocol *p = nullptr;
    if (!stack.AddSegment(&sms, p))
        return p ? "refused" : "no segment";
    const char *kind = dynamic_cast<TUDHProtocol *>(p) ? "UDH" : dynamic_cast<TNBS *>(p) ? "NBS" : "OTA";
    const auto *ported = dynamic_cast<TSMSProtocol2 *>(p);
    std::string out = Format("%s ref=%.2X %d/%d port=%d", kind, p->Reference(), p->ReceivedCount(),
                             p->SegmentCount(), ported ? ported->DestPort() : -1);
    if (p->State() == kStateComplete)
        out += " data=" + StrToHex(p->Data());
    return out;
}

std::string describe(const TSMS2 &sms)
{
    std::string out = Format("%s fo=%.2X", sms.ClassName(), sms.FirstOctet);
    if (auto *d = dynamic_cast<const TSMSDeliver *>(&sms))
        out += Format(" oa=%s pid=%.2X dcs=%.2X scts=", d->OA.c_str(), d->PID, d->DCS) +
               stamp(d->SCTS, d->TimeZone);
    else if (auto *r = dynamic_cast<const TSMSSubmitReport *>(&sms))
        out += Format(" pi=%.2X scts=", r->ParameterIndicator) + stamp(r->SCTS, r->TimeZone) +
               Format(" pid=%.2X dcs=%.2X", r->PID, r->DCS);
    else if (auto *r = dynamic_cast<const TSMSDeliverReport *>(&sms))
        out += Format(" pi=%.2X pid=%.2X dcs=%.2X", r->ParameterIndicator, r->PID, r->DCS);
    out += Format(" ud[%zu]=", sms.UserData.size()) + StrToHex(sms.UserData) + textOf(sms);
    if (auto *d = dynamic_cast<const TSMSDeliver *>(&sms))
        out += " | " + stackOutcome(*d);
    return out;
}

// How the PDU fares: decoded through the factory as the engine reads a stored message, or
// (Direct) straight into an SMS-DELIVER.
std::string outcome(const std::string &bytes, bool mt, bool direct)
{
    try {
        std::unique_ptr<TSMS2> sms;
        if (direct) {
            sms = std::make_unique<TSMSDeliver>();
            sms->Decode(bytes);
        } else {
            sms = CreateSMSFromBytes(nullptr, bytes, mt);
        }
        return sms ? describe(*sms) : "no message";
    } catch (const EGSMError &e) {
        return std::string("EGSMError: ") + e.what();
    } catch (const EDateError &e) {
        return std::string("EDateError: ") + e.what();
    }
}

std::string rep(const std::string &s, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

const std::string kHead = "TSMSDeliver fo=04 oa=+44123456789 pid=00 dcs=";
const std::string kStamp = " scts=2002-08-26T19:37:41+4";

struct TCase {
    const char *name;
    std::string expected;
    bool mt = true;
    bool direct = false;
};

void check(const std::vector<TCase> &cases)
{
    for (const TCase &c : cases)
        EXPECT_EQ(outcome(Corpus("pdu", c.name), c.mt, c.direct), c.expected) << c.name;
}

TEST(HostilePDU, EndsBeforeOrInsideEachField)
{
    check({
        {"hostile_cut_in_sca", "EGSMError: service centre: 6 octets needed, 2 left", true, true},
        {"hostile_cut_before_first_octet", "no message"},
        {"hostile_cut_before_address_type", "EGSMError: address type: 1 octet needed, none left"},
        {"hostile_cut_in_address", "EGSMError: address: 6 octets needed, 2 left"},
        {"hostile_cut_before_pid", "EGSMError: protocol identifier: 1 octet needed, none left"},
        {"hostile_cut_before_dcs", "EGSMError: data coding scheme: 1 octet needed, none left"},
        {"hostile_cut_in_scts", "EGSMError: service centre time stamp: 6 octets needed, 3 left"},
        {"hostile_cut_before_zone", "EGSMError: service centre time stamp: 1 octet needed, none left"},
        {"hostile_cut_before_udl", "EGSMError: user data length: 1 octet needed, none left"},
        {"hostile_cut_in_user_data", "EGSMError: user data: 5 octets needed, 1 left"},
        {"hostile_cut_before_udhl", "EGSMError: user data: 5 octets needed, 0 left"},
    });
}

TEST(HostilePDU, AddressLengthsAndTypes)
{
    check({
        {"hostile_address_length_0",
         "TSMSDeliver fo=04 oa= pid=00 dcs=00" + kStamp + " ud[0]= text= | no segment"},
        // More than the 20 digits of TS 23.040 9.1.2.5: read as announced, so the fields after it
        // stay in place.
        {"hostile_address_length_21",
         "TSMSDeliver fo=04 oa=+123456789012345678901 pid=00 dcs=00" + kStamp + " ud[0]= text= | no segment"},
        {"hostile_address_length_255_cut", "EGSMError: address: 128 octets needed, 10 left"},
        {"hostile_address_length_255", "TSMSDeliver fo=04 oa=" + rep("12", 127) + "1 pid=00 dcs=00" + kStamp +
                                           " ud[0]= text= | no segment"},
        // Only the exact international and national types carry a prefix.
        {"hostile_address_type_without_high_bit",
         "TSMSDeliver fo=04 oa=44123456789 pid=00 dcs=00" + kStamp + " ud[0]= text= | no segment"},
        {"hostile_address_alphanumeric",
         "TSMSDeliver fo=04 oa=Kestrel pid=00 dcs=00" + kStamp + " ud[0]= text= | no segment"},
    });
}

TEST(HostilePDU, UserDataLengthsAndCodings)
{
    check({
        {"hostile_udl_beyond_data_7bit", "EGSMError: user data: 140 octets needed, 5 left"},
        {"hostile_udl_beyond_data_8bit", "EGSMError: user data: 50 octets needed, 3 left"},
        // Longer than TS 23.040 allows, but all there: kept whole.
        {"hostile_udl_255_8bit", kHead + "04" + kStamp + " ud[255]=" + rep("AB", 255) + " | no segment"},
        // An odd last octet of UCS2 is no character.
        {"hostile_udl_255_ucs2", kHead + "08" + kStamp + " ud[255]=" + rep("0041", 127) +
                                     "00 text=" + rep("A", 127) + " | no segment"},
        {"hostile_ucs2_odd_length", kHead + "08" + kStamp + " ud[3]=004100 text=A | no segment"},
        {"hostile_escape_last_septet", kHead + "00" + kStamp + " ud[3]=41421B text=AB | no segment"},
        // The reserved alphabet carries its octets unchanged.
        {"hostile_reserved_alphabet", kHead + "0C" + kStamp + " ud[2]=4142 | no segment"},
        // Compressed user data (TS 23.038 4, bit 5) is counted in octets (TS 23.040 9.2.3.16) and
        // kept as received, since it is not decompressed here.
        {"hostile_compressed_coding", kHead + "20" + kStamp + " ud[8]=0102030405060708 | no segment"},
        {"hostile_compressed_class_coding", kHead + "34" + kStamp + " ud[3]=F0F1F2 | no segment"},
    });
}

TEST(HostilePDU, UserDataHeaders)
{
    const std::string udhi = "TSMSDeliver fo=44 oa=+44123456789 pid=00 dcs=";
    check({
        {"hostile_udhi_udl_0_7bit", udhi + "00" + kStamp + " ud[0]= | no segment"},
        {"hostile_udhi_udl_0_8bit", udhi + "04" + kStamp + " ud[0]= | no segment"},
        {"hostile_udhl_beyond_udl_7bit",
         "EGSMError: user data header: 11 octets announced, user data holds 5 septets"},
        {"hostile_udhl_beyond_udl_8bit", udhi + "04" + kStamp + " ud[4]=0A00032A | no segment"},
        // TS 23.040 9.2.3.24: an element running past the header voids the header.
        {"hostile_element_past_header", udhi + "04" + kStamp + " ud[8]=0500052A02014142 | no segment"},
        // A concatenation or port element is used only with its own length; otherwise it is
        // ignored and the message is a payload of its own.
        {"hostile_concat_element_too_long",
         udhi + "04" + kStamp + " ud[9]=0600042A0201FF4142 | UDH ref=00 1/1 port=0 data=4142"},
        {"hostile_concat_element_too_short",
         udhi + "04" + kStamp + " ud[7]=0400022A024142 | UDH ref=00 1/1 port=0 data=4142"},
        {"hostile_ports_element_too_short",
         udhi + "04" + kStamp + " ud[7]=04050215814142 | UDH ref=00 1/1 port=0 data=4142"},
        {"hostile_header_septets_beyond_udl",
         "EGSMError: user data header: 6 octets announced, user data holds 6 septets"},
        {"hostile_header_fills_udl", udhi + "00" + kStamp + " ud[6]=0500032A0201 | UDH ref=2A 1/2 port=0"},
    });
}

TEST(HostilePDU, ParameterIndicatorAndTimeStamps)
{
    check({
        // Reserved bits of TP-PI announce nothing (TS 23.040 9.2.3.27).
        {"hostile_pi_reserved_bits",
         "TSMSSubmitReport fo=01 pi=78 scts=2002-08-26T19:37:41+4 pid=00 dcs=00 ud[0]= text="},
        {"hostile_pi_reserved_and_all_parameters", "TSMSDeliverReport fo=00 pi=7F pid=00 dcs=04 ud[2]=4142",
         false},
        // A digit above 9 counts with its value, so the message and its text are kept: seconds
        // A1 are 1 * 10 + 10, year F2 is 2 * 10 + 15.
        {"hostile_scts_invalid_bcd_seconds",
         kHead + "00 scts=2002-08-26T19:37:20+4 ud[0]= text= | no segment"},
        {"hostile_scts_invalid_bcd_year", kHead + "00 scts=2035-08-26T19:37:41+4 ud[0]= text= | no segment"},
        {"hostile_scts_month_13", "EDateError: service centre time stamp: month 13 is out of range"},
        {"hostile_scts_hour_24", "EDateError: service centre time stamp: hour 24 is out of range"},
    });
}

TEST(HostilePDU, CellBroadcastPageLongerThanAPage)
{
    // 8-bit page (DCS 0x44) with 100 octets after its header: a page holds 82 (TS 23.041 9.4.1.2.4).
    TCellBroadcast page;
    page.Decode(Corpus("pdu", "hostile_cb_page_too_long"));
    EXPECT_EQ(page.MessageId, 0x32);
    EXPECT_EQ(page.PageNumber(), 1);
    EXPECT_EQ(page.PageCount(), 1);
    std::string content;
    for (int c = 0x20; c < 0x20 + 82; ++c)
        content += static_cast<char>(c);
    EXPECT_EQ(page.Content, content);
}

TEST(HostilePDU, CompressedCodingsAreCarriedAsOctets)
{
    struct TCase {
        uint8_t dcs;
        TDCSAlphabet sms, cbs;
    } cases[] = {
        {0x00, TDCSAlphabet::da7Bit, TDCSAlphabet::da7Bit}, // uncompressed, default alphabet
        {0x20, TDCSAlphabet::da8Bit, TDCSAlphabet::da7Bit}, // SMS compressed; CBS language group
        {0x28, TDCSAlphabet::da8Bit, TDCSAlphabet::da7Bit}, // compressed UCS2
        {0x34, TDCSAlphabet::da8Bit, TDCSAlphabet::da7Bit}, // compressed, with a class
        {0x48, TDCSAlphabet::daUCS2, TDCSAlphabet::daUCS2}, // auto-deletion group, UCS2
        {0x60, TDCSAlphabet::da8Bit, TDCSAlphabet::da8Bit}, // auto-deletion / CBS general, compressed
        {0x7C, TDCSAlphabet::da8Bit, TDCSAlphabet::da8Bit},
        {0xC0, TDCSAlphabet::da7Bit, TDCSAlphabet::da7Bit}, // message waiting: bit 5 is the sense
        {0xE0, TDCSAlphabet::daUCS2, TDCSAlphabet::da8Bit},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(SMSAlphabet(c.dcs), c.sms) << int(c.dcs);
        EXPECT_EQ(CBSAlphabet(c.dcs), c.cbs) << int(c.dcs);
    }
}

} // namespace
