#include "gsm/sms.h"

#include "connect/connection.h"

#include "base/format.h"
#include "base/rtlerrors.h"
#include "gsm/gsmerror.h"
#include "gsm/smscontext.h"
#include "gsm/tpdufields.h"

#include <algorithm>
#include <array>

namespace kestrel {

namespace {

// TS 23.040 9.2.3.16: 160 septets or 140 octets of user data.
constexpr size_t kMaxSeptets = 160;
constexpr size_t kMaxOctets = 140;
// TS 23.041 9.4.1.2.4: 82 octets of page content, 93 septets.
constexpr size_t kPageOctets = 82;
constexpr size_t kPageSeptets = 93;
constexpr char kPadding = 0x0D;

void appendStamp(std::string &out, TDateTime stamp, int8_t zone)
{
    out += EncodeTimeStamp(stamp);
    out += static_cast<char>(EncodeTimeZone(zone));
}

TDateTime readStamp(TByteReader &r, int8_t &zone, const char *field)
{
    TDateTime stamp = DecodeTimeStamp(ReadOctets(r, 6, field), field);
    zone = DecodeTimeZone(ReadOctet(r, field));
    return stamp;
}

} // namespace

// ---- TSMS

std::string TSMS::GetPDU() const
{
    return StrToHex(Encode());
}

void TSMS::SetPDU(const std::string &PDU)
{
    Decode(HexToStr(PDU));
}

// ---- TSMS2

void TSMS2::SetFirstOctetBit(int Index, bool Value)
{
    if (Value)
        FirstOctet = static_cast<uint8_t>(FirstOctet | (1u << Index));
    else
        FirstOctet = static_cast<uint8_t>(FirstOctet & ~(1u << Index));
}

bool TSMS2::SevenBit() const
{
    return SMSAlphabet(DCS) == TDCSAlphabet::da7Bit;
}

bool TSMS2::SCAFieldPresent() const
{
    return GSM == nullptr || GSM->SCAInPDU();
}

std::string TSMS2::EncodeHead() const
{
    return SCAFieldPresent() ? std::string(1, '\0') : std::string();
}

void TSMS2::DecodeHead(TByteReader &r)
{
    if (SCAFieldPresent())
        SCA = DecodeSCA(GSM, r);
}

std::string TSMS2::EncodeUserData() const
{
    bool udhi = FirstOctetBit(6);
    if (!SevenBit())
        return PackUserData(std::string_view(UserData).substr(0, kMaxOctets), false);
    if (!udhi || UserData.empty())
        return PackUserData(std::string_view(UserData).substr(0, kMaxSeptets), true);
    size_t headerLen = std::min<size_t>(static_cast<uint8_t>(UserData[0]) + 1, UserData.size());
    size_t headerSeptets = std::min(HeaderSeptets(headerLen), kMaxSeptets);
    return PackUserData(std::string_view(UserData).substr(0, headerLen + kMaxSeptets - headerSeptets), true,
                        true);
}

void TSMS2::DecodeUserData(std::string_view S)
{
    TByteReader r(S);
    DecodeUserData(r);
}

void TSMS2::DecodeUserData(TByteReader &r)
{
    size_t length = ReadOctet(r, "user data length");
    if (!SevenBit()) {
        UserData = std::string(ReadOctets(r, length, "user data"));
        return;
    }
    std::string_view data = ReadOctets(r, SeptetOctets(length), "user data");
    if (!FirstOctetBit(6) || length == 0) {
        UserData = UnpackSeptets(data, length);
        return;
    }
    // TS 23.040 9.2.3.24: the text starts at the septet boundary after the header.
    size_t headerLen = static_cast<uint8_t>(data[0]) + 1u;
    size_t headerSeptets = HeaderSeptets(headerLen);
    if (headerSeptets > length)
        throw EGSMError(
            Format("user data header: %zu octets announced, user data holds %zu septets", headerLen, length));
    UserData = std::string(data.substr(0, headerLen));
    UserData += UnpackSeptets(data, length - headerSeptets, headerSeptets);
}

void TSMS2::SetUCS2Text(std::u16string_view W)
{
    UserData = WideToUCS2(W);
}

// ---- TSMSDeliver

std::string TSMSDeliver::Encode() const
{
    std::string out = EncodeHead();
    out += static_cast<char>(FirstOctet);
    out += EncodeAddress(OA, AddressCodes);
    out += static_cast<char>(PID);
    out += static_cast<char>(DCS);
    appendStamp(out, SCTS, TimeZone);
    return out + EncodeUserData();
}

void TSMSDeliver::Decode(std::string_view S)
{
    TByteReader r(S);
    DecodeHead(r);
    FirstOctet = ReadOctet(r, "first octet");
    OA = DecodeAddress(r, &AddressCodes);
    PID = ReadOctet(r, "protocol identifier");
    DCS = ReadOctet(r, "data coding scheme");
    SCTS = readStamp(r, TimeZone, "service centre time stamp");
    DecodeUserData(r);
}

// ---- TSMSSubmit

std::string TSMSSubmit::Encode() const
{
    std::string out = EncodeHead();
    out += static_cast<char>(FirstOctet);
    out += static_cast<char>(MR);
    out += EncodeAddress(DA, AddressCodes);
    out += static_cast<char>(PID);
    out += static_cast<char>(DCS);
    switch (FirstOctetField(3)) {
    case 1:
        // Enhanced format (TS 23.040 9.2.3.12.3): seven octets are expected; all zero reads
        // "no validity period specified", which keeps the TPDU well formed.
        out.append(7, '\0');
        break;
    case 2:
        out += static_cast<char>(EncodeRelativeVP(VP));
        break;
    case 3:
        appendStamp(out, VP, VPTimeZone);
        break;
    }
    return out + EncodeUserData();
}

void TSMSSubmit::Decode(std::string_view S)
{
    TByteReader r(S);
    DecodeHead(r);
    FirstOctet = ReadOctet(r, "first octet");
    MR = ReadOctet(r, "message reference");
    DA = DecodeAddress(r, &AddressCodes);
    PID = ReadOctet(r, "protocol identifier");
    DCS = ReadOctet(r, "data coding scheme");
    switch (FirstOctetField(3)) {
    case 1: // enhanced format: not interpreted, but its seven octets precede the user data
        ReadOctets(r, 7, "validity period");
        break;
    case 2:
        VP = DecodeRelativeVP(ReadOctet(r, "validity period"));
        break;
    case 3:
        VP = readStamp(r, VPTimeZone, "validity period");
        break;
    }
    DecodeUserData(r);
}

// ---- TSMSStatusReport

std::string TSMSStatusReport::Encode() const
{
    std::string out = EncodeHead();
    out += static_cast<char>(FirstOctet);
    out += static_cast<char>(MR);
    out += EncodeAddress(RA, AddressCodes);
    appendStamp(out, SCTS, TimeZone);
    appendStamp(out, DischargeTime, DischargeZone);
    out += static_cast<char>(Status);
    return out;
}

void TSMSStatusReport::Decode(std::string_view S)
{
    TByteReader r(S);
    DecodeHead(r);
    FirstOctet = ReadOctet(r, "first octet");
    MR = ReadOctet(r, "message reference");
    RA = DecodeAddress(r, &AddressCodes);
    SCTS = readStamp(r, TimeZone, "service centre time stamp");
    DischargeTime = readStamp(r, DischargeZone, "discharge time");
    Status = ReadOctet(r, "status");
}

// ---- TSMSCommand

// TS 23.040 9.2.3.20/21: the command data length counts octets and the data is never packed;
// a command carries no coding scheme.
std::string TSMSCommand::Encode() const
{
    std::string out = EncodeHead();
    out += static_cast<char>(FirstOctet);
    out += static_cast<char>(MR);
    out += static_cast<char>(PID);
    out += static_cast<char>(CommandType);
    out += static_cast<char>(MessageNumber);
    out += EncodeAddress(DA, AddressCodes);
    return out + PackUserData(std::string_view(UserData).substr(0, kMaxOctets), false);
}

void TSMSCommand::Decode(std::string_view S)
{
    TByteReader r(S);
    DecodeHead(r);
    FirstOctet = ReadOctet(r, "first octet");
    MR = ReadOctet(r, "message reference");
    PID = ReadOctet(r, "protocol identifier");
    CommandType = ReadOctet(r, "command type");
    MessageNumber = ReadOctet(r, "message number");
    DA = DecodeAddress(r, &AddressCodes);
    size_t length = ReadOctet(r, "command data length");
    UserData = std::string(ReadOctets(r, length, "command data"));
}

// ---- TSMSDeliverReport

std::string TSMSDeliverReport::encodeParameters() const
{
    std::string out(1, static_cast<char>(ParameterIndicator));
    if (PIBit(0))
        out += static_cast<char>(PID);
    if (PIBit(1))
        out += static_cast<char>(DCS);
    if (PIBit(2))
        out += EncodeUserData();
    return out;
}

void TSMSDeliverReport::decodeParameters(TByteReader &r)
{
    if (PIBit(0))
        PID = ReadOctet(r, "protocol identifier");
    if (PIBit(1))
        DCS = ReadOctet(r, "data coding scheme");
    if (PIBit(2))
        DecodeUserData(r);
}

std::string TSMSDeliverReport::Encode() const
{
    std::string out = EncodeHead();
    out += static_cast<char>(FirstOctet);
    return out + encodeParameters();
}

void TSMSDeliverReport::Decode(std::string_view S)
{
    TByteReader r(S);
    DecodeHead(r);
    FirstOctet = ReadOctet(r, "first octet");
    ParameterIndicator = ReadOctet(r, "parameter indicator");
    decodeParameters(r);
}

// ---- TSMSSubmitReport

std::string TSMSSubmitReport::Encode() const
{
    std::string out = EncodeHead();
    out += static_cast<char>(FirstOctet);
    std::string parameters = encodeParameters();
    out += parameters[0];
    appendStamp(out, SCTS, TimeZone);
    out.append(parameters, 1);
    return out;
}

void TSMSSubmitReport::Decode(std::string_view S)
{
    TByteReader r(S);
    DecodeHead(r);
    FirstOctet = ReadOctet(r, "first octet");
    ParameterIndicator = ReadOctet(r, "parameter indicator");
    SCTS = readStamp(r, TimeZone, "service centre time stamp");
    decodeParameters(r);
}

// ---- TCellBroadcast

void TCellBroadcast::SetMessageCode(uint16_t Code)
{
    SerialHigh = static_cast<uint8_t>((SerialHigh & 0xC0) | ((Code >> 4) & 0x3F));
    SerialLow = static_cast<uint8_t>((SerialLow & 0x0F) | ((Code & 0x0F) << 4));
}

void TCellBroadcast::SetPageNibble(int Shift, uint8_t Value)
{
    PageParameter = static_cast<uint8_t>((PageParameter & ~(0x0F << Shift)) | ((Value & 0x0F) << Shift));
}

bool TCellBroadcast::SevenBit() const
{
    return CBSAlphabet(DCS) == TDCSAlphabet::da7Bit;
}

std::string TCellBroadcast::Encode() const
{
    std::string out;
    out += static_cast<char>(SerialHigh);
    out += static_cast<char>(SerialLow);
    out += static_cast<char>(MessageId >> 8);
    out += static_cast<char>(MessageId & 0xFF);
    out += static_cast<char>(DCS);
    out += static_cast<char>(PageParameter);
    // TS 23.041 9.4.1.2.4: the page is filled up with carriage returns in its own coding.
    if (SevenBit()) {
        std::string codes = Content.substr(0, kPageSeptets);
        codes.resize(kPageSeptets, kPadding);
        std::string page;
        PackSeptets(page, codes, 0);
        return out + page;
    }
    std::string page = Content.substr(0, kPageOctets);
    if (CBSAlphabet(DCS) == TDCSAlphabet::daUCS2)
        while (page.size() + 2 <= kPageOctets)
            page += std::string("\0\r", 2);
    page.resize(kPageOctets, kPadding);
    return out + page;
}

void TCellBroadcast::Decode(std::string_view S)
{
    TByteReader r(S);
    std::string_view header = ReadOctets(r, 6, "cell broadcast header");
    SerialHigh = static_cast<uint8_t>(header[0]);
    SerialLow = static_cast<uint8_t>(header[1]);
    MessageId = static_cast<uint16_t>(static_cast<uint8_t>(header[2]) << 8 | static_cast<uint8_t>(header[3]));
    DCS = static_cast<uint8_t>(header[4]);
    PageParameter = static_cast<uint8_t>(header[5]);
    std::string_view page = r.TakeUpTo(kPageOctets); // octets after the page are no content
    if (SevenBit()) {
        Content = UnpackSeptets(page, kPageSeptets);
    } else {
        Content = std::string(page);
    }
    if (CBSAlphabet(DCS) == TDCSAlphabet::daUCS2) {
        while (Content.size() >= 2 && Content.compare(Content.size() - 2, 2, std::string("\0\r", 2)) == 0)
            Content.resize(Content.size() - 2);
    } else {
        while (!Content.empty() && Content.back() == kPadding)
            Content.pop_back();
    }
}

// ---- factory

std::unique_ptr<TSMS2> CreateSMSFromBytes(const ISMSContext *GSM, std::string_view B, bool MobileTerminated)
{
    if (B.empty())
        return nullptr;
    size_t pos = 0;
    if (GSM == nullptr || GSM->SCAInPDU())
        pos = static_cast<uint8_t>(B[0]) + 1u;
    if (pos >= B.size())
        return nullptr;
    std::unique_ptr<TSMS2> sms;
    switch (static_cast<uint8_t>(B[pos]) & 3) {
    case 0:
        sms = MobileTerminated ? std::unique_ptr<TSMS2>(new TSMSDeliver)
                               : std::make_unique<TSMSDeliverReport>();
        break;
    case 1:
        sms =
            MobileTerminated ? std::unique_ptr<TSMS2>(new TSMSSubmitReport) : std::make_unique<TSMSSubmit>();
        break;
    case 2:
        sms =
            MobileTerminated ? std::unique_ptr<TSMS2>(new TSMSStatusReport) : std::make_unique<TSMSCommand>();
        break;
    default:
        return nullptr;
    }
    sms->GSM = GSM;
    if (GSM)
        sms->SCA = GSM->SCA();
    sms->Decode(B);
    return sms;
}

std::unique_ptr<TSMS2> CreateSMSFromPDU(const ISMSContext *GSM, const std::string &PDU, bool MobileTerminated)
{
    if (PDU.empty())
        return nullptr;
    return CreateSMSFromBytes(GSM, HexToStr(PDU), MobileTerminated);
}

} // namespace kestrel
