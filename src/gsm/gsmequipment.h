// The handset and modem models the engine knows, and the one table of everything they do
// differently. Every equipment-dependent rule of the engine reads a column of this table, so
// adding a model means adding a row.
#pragma once

#include "comm/comm.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel {

// Stored by ordinal in settings files: the order is fixed.
enum TGSMEquipment : uint8_t {
    eqA1,
    eqM1,
    eqM20,
    eqGM12,
    eqNokia6210,
    eqNokia6650,
    eqNokia9110,
    eqM35,
    eqS25,
    eqT260,
    eqWaveCom,
    eqTC35,
    eqFasttrack,
    // Any current modem or module that follows TS 27.007 / 27.005 (LTE and 5G sticks and modules,
    // GSM modules on a serial adapter).
    eqGeneric
};
constexpr size_t kGSMEquipmentCount = 14;

// Short names (settings files, command line) and display names, indexed by TGSMEquipment.
extern const std::array<const char *, kGSMEquipmentCount> GSMEquipmentNames;
extern const std::array<const char *, kGSMEquipmentCount> GSMEquipmentCaptions;

// The first equipment whose short name equals s ignoring letter case; raises EGSMError
// "Bad equipment name" when none does.
TGSMEquipment StrToEquipment(std::string_view s);

// Message formats of the +CMGF command (3GPP TS 27.005 3.2.3).
constexpr uint8_t kSMSFormatPDU = 0;
constexpr uint8_t kSMSFormatText = 1;
using TSMSFormats = uint8_t; // bit 0: PDU mode, bit 1: text mode

// How the open sequence meets the SIM PIN.
enum class TPinDialogue : uint8_t {
    None, // no PIN phase at all
    Cpin, // "AT+CPIN?" with the final result
    Wind  // Wavecom: "AT+WIND=12", "AT+CPIN?" up to its answer line, readiness by "+WIND: 4"
};

// How the open sequence asks for the network registration.
enum class TRegistrationQuery : uint8_t {
    None,
    Creg, // "AT+CREG?" then "AT+CREG=1"
    Csq,  // "AT+CSQ": registration follows from the signal quality
    // "+CREG" as above, then "+CEREG" (LTE, TS 27.007 10.1.22) and "+C5GREG" (5G, 10.1.56) the
    // same way where the modem knows them; whichever reports registered counts.
    CregCeregC5greg
};

// The length value given with "AT+CMGS=" in PDU mode.
enum class TCMGSLength : uint8_t {
    Fixed,        // a constant, whatever the message
    HalfMinusOne, // octets of the PDU without the service-centre length octet
    Half          // octets of the whole PDU
};

struct TGSMEquipmentBehaviour {
    TBaudrate baud;
    TSMSFormats formats;
    TPinDialogue pin;
    int pinTimeoutMs; // RecTimeout during the PIN entry; 0 leaves it unchanged
    int afterPinPauseMs;
    TRegistrationQuery registration;
    const char *extraOpenCommand; // sent near the end of the open sequence, or nullptr
    const char *openStorage;      // storage recorded at open without telling the handset, or nullptr
    bool cmee;                    // "AT+CMEE=1" when extended error messages are wanted
    const char *switchOff;        // nullptr: the handset cannot be switched off by command
    bool scaInPdu;                // PDUs exchanged with the handset begin with the SC address
    TCMGSLength cmgsLength;
    int cmgsFixedLength; // the value for TCMGSLength::Fixed
    int sendPauseMs;
    int readPauseMs;
    // Rules applied by the message operations and the line handler.
    bool textRelativeValidity; // text-mode send announces a relative validity period
    int textSendTimeoutMs;     // RecTimeout of the text-mode send command; 0 unchanged
    bool listStatusZero;       // lists with status 0 instead of "all"
    bool listErrorWhenEmpty;   // answers ERROR for an empty storage: list once, errors allowed
    bool windIndications;      // "+WIND:" readiness and status lines
    bool csqRegistration;      // registration derived from "+CSQ: " lines
    bool cdsStorageIndication; // status reports indicated as "+CDS: <mem>,<index>"
    bool combinedMTStorage;    // indications name storage "MT": ME above index 10, SM below
    int revisionLine;          // the line of the revision query's answer that carries it (1-based)
    // Storages chosen at open with "AT+CPMS" among those "AT+CPMS=?" offers.
    bool chooseStorages;
    // Text mode: text the default alphabet cannot carry goes as UCS2 under AT+CSCS="UCS2", and the
    // hexadecimal data of UCS2 and 8-bit messages (TS 27.005 3.1 <data>) is read as octets.
    bool ucs2Text;
    // The pause after every command attempt before the next command may be written. The handsets
    // of the list need 150 ms to take the next command; current modems take it as soon as they
    // have sent the final result code.
    int commandPauseMs;
};

const TGSMEquipmentBehaviour &EquipmentBehaviour(TGSMEquipment eq);

// The set of SMSFormat values the equipment supports (bit n = format n).
TSMSFormats SupportedFormats(TGSMEquipment eq);
inline bool SupportsFormat(TGSMEquipment eq, uint8_t format)
{
    return format < 8 && (SupportedFormats(eq) & (1u << format)) != 0;
}
// The "AT+CMGS=" length of a PDU-mode send whose PDU text (service-centre field first) has
// pduTextLength characters.
int CMGSLength(TGSMEquipment eq, size_t pduTextLength);

} // namespace kestrel
