#include "gsm/gsmequipment.h"

#include "gsm/atparser.h"
#include "gsm/gsmerrors.h"

namespace kestrel {

const std::array<const char *, kGSMEquipmentCount> GSMEquipmentNames = {
    "A1",  "M1",  "M20",  "GM12",    "Nokia6210", "Nokia6650", "Nokia9110",
    "M35", "S25", "T260", "WaveCom", "TC35",      "Fasttrack", "Generic"};

const std::array<const char *, kGSMEquipmentCount> GSMEquipmentCaptions = {
    "Siemens A1", "Siemens M1",   "Siemens M20",       "Ericsson GM12", "Nokia 6210",
    "Nokia 6650", "Nokia 9110",   "Siemens M35",       "Siemens S25",   "Motorola T260",
    "WaveCom",    "Siemens TC35", "Wavecom Fasttrack", "Generic"};

namespace {

constexpr TSMSFormats P = 1u << kSMSFormatPDU;
constexpr TSMSFormats PT = P | (1u << kSMSFormatText);
constexpr TSMSFormats T = 1u << kSMSFormatText;

using Pin = TPinDialogue;
using Reg = TRegistrationQuery;
using Len = TCMGSLength;

// clang-format off
const TGSMEquipmentBehaviour kBehaviour[kGSMEquipmentCount] = {
//   baud      fmt pin        pinTO  afterPin reg       extra         storage cmee   switchOff      scaPdu cmgsLength        fixed send read  txtVP  txtTO listZ  listErr wind   csqReg cdsSto MT     revLine chooseSto ucs2Txt pause
    {br19200,  P,  Pin::Cpin,     0,     0,   Reg::Creg, nullptr,     nullptr, false, "AT^SMSO",    true,  Len::Fixed,        165,   0,   0, false,    0, false, false,  false, false, false, false, 1, false, false, 150}, // A1
    {br19200,  P,  Pin::Cpin,     0,  2500,   Reg::Creg, nullptr,     nullptr, false, nullptr,      false, Len::Fixed,        164,   0,   0, false,    0, false, false,  false, false, false, false, 1, false, false, 150}, // M1
    {br19200,  PT, Pin::Cpin,     0,  2500,   Reg::Creg, "AT+CSMS=0", nullptr, false, "AT^SMSO",    true,  Len::HalfMinusOne,   0, 100, 500, true,     0, false, false,  false, false, false, false, 1, false, false, 150}, // M20
    // The GM12 keeps its messages in the phone memory.
    {br9600,   P,  Pin::Cpin,     0,     0,   Reg::Creg, nullptr,     "\"ME\"", false, "AT+CFUN=0", true,  Len::HalfMinusOne,   0, 100, 500, false,    0, true,  false,  false, false, false, false, 1, false, false, 150}, // GM12
    {br115200, PT, Pin::None,     0,     0,   Reg::Creg, nullptr,     nullptr, false, nullptr,      true,  Len::HalfMinusOne,   0,   0,   0, false, 5000, false, false,  false, false, false, false, 1, false, false, 150}, // Nokia6210
    // The Nokia 6650 answers the revision query on its fourth line and indicates storage "MT".
    {br115200, PT, Pin::None,     0,     0,   Reg::Creg, nullptr,     nullptr, false, nullptr,      true,  Len::HalfMinusOne,   0,   0,   0, false,    0, false, false,  false, false, false, true,  4, false, false, 150}, // Nokia6650
    {br19200,  T,  Pin::None,     0,     0,   Reg::None, nullptr,     nullptr, false, nullptr,      false, Len::Fixed,        164,   0,   0, false,    0, false, false,  false, false, false, false, 1, false, false, 150}, // Nokia9110
    {br19200,  PT, Pin::Cpin, 15000,     0,   Reg::Creg, "AT+CSMS=1", nullptr, true,  "AT^SMSO",    true,  Len::HalfMinusOne,   0, 100, 500, false,    0, false, false,  false, false, false, false, 1, false, false, 150}, // M35
    {br19200,  PT, Pin::Cpin, 15000,     0,   Reg::Creg, nullptr,     nullptr, true,  "AT^SMSO",    true,  Len::HalfMinusOne,   0, 100, 500, false,    0, false, false,  false, false, false, false, 1, false, false, 150}, // S25
    // The T260 has no +CREG: it is registered while it reports a signal.
    {br57600,  P,  Pin::None,     0,     0,   Reg::Csq,  nullptr,     nullptr, true,  nullptr,      true,  Len::HalfMinusOne,   0, 100, 500, false,    0, false, false,  false, true,  true,  false, 1, false, false, 150}, // T260
    // Wavecom reports readiness with +WIND: 4 after the PIN and answers ERROR to listing an
    // empty storage; its length counts the service-centre octets too.
    {br9600,   P,  Pin::Wind, 15000,     0,   Reg::Creg, nullptr,     nullptr, false, nullptr,      false, Len::Half,           0, 100,   0, false,    0, false, true,   true,  false, false, false, 1, false, false, 150}, // WaveCom
    {br19200,  PT, Pin::Cpin, 15000,     0,   Reg::Creg, nullptr,     nullptr, false, "AT^SMSO",    true,  Len::HalfMinusOne,   0, 100, 500, true,     0, false, false,  false, false, false, false, 1, false, false, 150}, // TC35
    {br19200,  PT, Pin::Wind, 15000,     0,   Reg::Creg, nullptr,     nullptr, false, nullptr,      true,  Len::HalfMinusOne,   0, 100,   0, false,    0, true,  true,   true,  false, false, false, 1, false, false, 150}, // Fasttrack
    // Current modems: registered on whichever network technology reports it (an LTE stick has
    // no circuit-switched registration), storages and indications negotiated, no pauses needed
    // (the next command goes as soon as the final result code is in), minimum functionality
    // (TS 27.007 8.2) as switch-off.
    {br115200, PT, Pin::Cpin, 15000,     0,   Reg::CregCeregC5greg, nullptr, nullptr, true, "AT+CFUN=0", true, Len::HalfMinusOne, 0, 0, 0, false,  0, false, false,  false, false, false, false, 1, true,  true, 0}, // Generic
};
// clang-format on

} // namespace

TGSMEquipment StrToEquipment(std::string_view s)
{
    const std::string upper = UpperASCII(s);
    for (size_t i = 0; i < kGSMEquipmentCount; ++i) {
        if (UpperASCII(GSMEquipmentNames[i]) == upper)
            return static_cast<TGSMEquipment>(i);
    }
    GSMError(SBadEquipmentName);
}

const TGSMEquipmentBehaviour &EquipmentBehaviour(TGSMEquipment eq)
{
    return kBehaviour[eq < kGSMEquipmentCount ? eq : eqM1];
}

TSMSFormats SupportedFormats(TGSMEquipment eq)
{
    return EquipmentBehaviour(eq).formats;
}

int CMGSLength(TGSMEquipment eq, size_t pduTextLength)
{
    const auto &b = EquipmentBehaviour(eq);
    const int octets = static_cast<int>(pduTextLength / 2);
    switch (b.cmgsLength) {
    case TCMGSLength::Fixed:
        return b.cmgsFixedLength;
    case TCMGSLength::Half:
        return octets;
    case TCMGSLength::HalfMinusOne:
        break;
    }
    return octets - 1;
}

} // namespace kestrel
