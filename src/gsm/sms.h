// The message model: one object per short-message TPDU (TS 23.040) or cell broadcast page
// (TS 23.041). Each class turns its fields into the binary TPDU and back; TSMS adds the hex form
// that PDU-mode AT commands carry. Whoever creates an object owns it; the object only refers to
// the engine it was exchanged with (GSM), never owns it.
#pragma once

#include "base/datetime.h"
#include "gsm/bytereader.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kestrel {

class ISMSContext;

class TSMS {
public:
    virtual ~TSMS() = default;

    // The engine the message was read from or will be sent through; nullptr for none.
    const ISMSContext *GSM = nullptr;

    // The binary TPDU (with the service-centre head where the handset expects one).
    virtual std::string Encode() const = 0;
    // Fills the fields from a binary TPDU. Raises EGSMError naming the field when the data ends
    // before it (fields decoded so far stay in place), EDateError on an impossible time stamp.
    virtual void Decode(std::string_view S) = 0;
    virtual const char *ClassName() const = 0;

    // Upper-case hex of Encode(), and Decode() of hex text.
    std::string GetPDU() const;
    void SetPDU(const std::string &PDU);
};

// Base of the six TPDU types.
class TSMS2 : public TSMS {
public:
    std::string SCA; // service centre, read from a PDU only (never written into one)
    uint8_t FirstOctet = 0;
    uint8_t DCS = 0;
    std::string UserData; // 7-bit: default-alphabet codes; otherwise octets. A header, when
                          // TP-UDHI is set, comes first as octets (UDHL and the elements).
    // The default-alphabet codes of an alphanumeric address (OA, DA or RA) as decoded; empty for
    // numbers. The 8-bit address shows the Greek capitals as one middle dot, the codes keep them
    // apart; they are written back while they still spell the address.
    std::string AddressCodes;

    bool FirstOctetBit(int Index) const { return (FirstOctet >> Index) & 1; }
    void SetFirstOctetBit(int Index, bool Value);
    int FirstOctetField(int Shift) const { return (FirstOctet >> Shift) & 3; }

    // True when the data coding scheme packs the user data in septets.
    bool SevenBit() const;
    // TP-UDL and the user data: at most 160 septets (7-bit, header included) or 140 octets.
    std::string EncodeUserData() const;
    // Reads TP-UDL and the user data it announces.
    void DecodeUserData(std::string_view S);
    void DecodeUserData(TByteReader &r);
    void SetUCS2Text(std::u16string_view W);

protected:
    // The handset's PDUs start with a service-centre field: always without an engine.
    bool SCAFieldPresent() const;
    // The head of every encoded TPDU: an empty service-centre field when one is present, so
    // that the handset uses its configured centre.
    std::string EncodeHead() const;
    void DecodeHead(TByteReader &r);
};

class TSMSDeliver : public TSMS2 {
public:
    TSMSDeliver() { FirstOctet = 0x00; }
    uint8_t PID = 0;
    std::string OA;
    TDateTime SCTS = 0;
    int8_t TimeZone = 0; // signed quarter hours

    std::string Encode() const override;
    void Decode(std::string_view S) override;
    const char *ClassName() const override { return "TSMSDeliver"; }
};

class TSMSSubmit : public TSMS2 {
public:
    TSMSSubmit() { FirstOctet = 0x01; }
    uint8_t PID = 0;
    std::string DA;
    uint8_t MR = 0;
    TDateTime VP = 0; // relative format: an interval in days; absolute: date and time
    int8_t VPTimeZone = 0;

    std::string Encode() const override;
    void Decode(std::string_view S) override;
    const char *ClassName() const override { return "TSMSSubmit"; }
};

class TSMSStatusReport : public TSMS2 {
public:
    TSMSStatusReport() { FirstOctet = 0x02; }
    uint8_t MR = 0;
    std::string RA;
    TDateTime SCTS = 0;
    int8_t TimeZone = 0;
    TDateTime DischargeTime = 0;
    int8_t DischargeZone = 0;
    uint8_t Status = 0; // TP-ST

    std::string Encode() const override;
    void Decode(std::string_view S) override;
    const char *ClassName() const override { return "TSMSStatusReport"; }
};

class TSMSCommand : public TSMS2 {
public:
    TSMSCommand() { FirstOctet = 0x02; }
    uint8_t MR = 0;
    uint8_t PID = 0;
    uint8_t CommandType = 0;
    uint8_t MessageNumber = 0;
    std::string DA;

    std::string Encode() const override;
    void Decode(std::string_view S) override;
    const char *ClassName() const override { return "TSMSCommand"; }
};

// The RP-ACK form of the report (no failure cause).
class TSMSDeliverReport : public TSMS2 {
public:
    TSMSDeliverReport()
    {
        FirstOctet = 0x00;
        DCS = 0;
    }
    uint8_t ParameterIndicator = 0; // bit 0 PID, bit 1 DCS, bit 2 user data present
    uint8_t PID = 0;

    bool PIBit(int Index) const { return (ParameterIndicator >> Index) & 1; }

    std::string Encode() const override;
    void Decode(std::string_view S) override;
    const char *ClassName() const override { return "TSMSDeliverReport"; }

protected:
    std::string encodeParameters() const;
    void decodeParameters(TByteReader &r);
};

class TSMSSubmitReport : public TSMSDeliverReport {
public:
    TSMSSubmitReport() { FirstOctet = 0x01; }
    TDateTime SCTS = 0;
    int8_t TimeZone = 0;

    std::string Encode() const override;
    void Decode(std::string_view S) override;
    const char *ClassName() const override { return "TSMSSubmitReport"; }
};

// One cell broadcast page (TS 23.041 9.4.1.2): six header octets and 82 octets of content.
class TCellBroadcast : public TSMS {
public:
    uint8_t SerialHigh = 0;
    uint8_t SerialLow = 0;
    uint16_t MessageId = 0;
    uint8_t DCS = 0;
    uint8_t PageParameter = 0; // page number in the high nibble, total pages in the low nibble
    std::string Content;       // 7-bit codes or octets, without the padding carriage returns

    uint16_t Serial() const { return static_cast<uint16_t>(SerialHigh << 8 | SerialLow); }
    int GeographicalScope() const { return SerialHigh >> 6; }
    int MessageCode() const { return (Serial() >> 4) & 0x3FF; }
    int UpdateNumber() const { return SerialLow & 0x0F; }
    int PageNumber() const { return PageParameter >> 4; }
    int PageCount() const { return PageParameter & 0x0F; }
    void SetMessageCode(uint16_t Code);
    // Shift 4: page number, 0: total pages.
    void SetPageNibble(int Shift, uint8_t Value);
    bool SevenBit() const;

    std::string Encode() const override;
    void Decode(std::string_view S) override;
    const char *ClassName() const override { return "TCellBroadcast"; }
};

// Builds the message object for a PDU read from the handset: the class follows the message type
// indicator and the direction (MobileTerminated: the handset received it). Returns nullptr for
// an empty PDU, a PDU without a TPDU after its service-centre field, or message type 3. Raises
// like SetPDU on a PDU it cannot decode.
std::unique_ptr<TSMS2> CreateSMSFromPDU(const ISMSContext *GSM, const std::string &PDU,
                                        bool MobileTerminated);
// The same from binary octets.
std::unique_ptr<TSMS2> CreateSMSFromBytes(const ISMSContext *GSM, std::string_view B, bool MobileTerminated);

} // namespace kestrel
