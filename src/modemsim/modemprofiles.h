// What each handset model of the equipment list does differently, as one table that the
// simulator's command handlers read. Adding a handset means adding a row.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

enum class TSimSwitchOff { None, Smso, CfunZero };

struct TModemProfile {
    const char *name;         // short equipment name ("M20")
    const char *manufacturer; // +CGMI
    const char *model;        // +CGMM
    // +CGMR answer lines; the Nokia 6650 answers on four lines with the revision on the last.
    std::vector<std::string> revision;
    const char *serial;  // +CGSN
    bool pduMode;        // AT+CMGF=0 accepted
    bool textMode;       // AT+CMGF=1 accepted
    bool wind;           // Wavecom +WIND readiness reports ("+WIND: 4" once the SIM is usable)
    bool creg;           // +CREG supported (the T260 tracks its network through +CSQ instead)
    bool csqReports;     // T260: signal changes are reported unsolicited as "+CSQ: <rssi>,99"
    bool cdsStorage;     // T260: stored status reports are indicated as "+CDS: <mem>,<index>"
    bool combinedMT;     // Nokia 6650: indications name storage "MT" (ME indices above 10)
    bool scaInPdu;       // PDUs exchanged with the host start with the service-centre field
    bool listEmptyError; // Wavecom: AT+CMGL on an empty storage answers an error
    // A1, M1 and the 9110 read the PDU to its end, whatever length AT+CMGS announced; the
    // others take the length as the TPDU's octet count.
    bool cmgsLengthIgnored;
    TSimSwitchOff switchOff;
    const char *csmsServices; // test answer of +CSMS, e.g. "(0,1)"
    int messageService;       // +CSMS service at power-on
    const char *cnmiRanges;   // test answer of +CNMI (without prefix)
    const char *cnmiDefault;  // current +CNMI values at power-on
    int smCapacity;           // slots of storage "SM"
    int meCapacity;           // slots of storage "ME"
    bool cereg;               // +CEREG: registration on LTE (TS 27.007 10.1.22)
    bool c5greg;              // +C5GREG: registration on 5G (TS 27.007 10.1.56)
    bool mtStorage;           // storage "MT" (SM and ME in one numbering) offered to +CPMS
    bool srStorage;           // status reports kept in storage "SR" when indicated (<ds> 2)
};

// Every handset of the equipment list, in the list's order.
const std::vector<TModemProfile> &ModemProfiles();

// The profile whose short name equals name ignoring letter case; nullptr when none does.
const TModemProfile *FindModemProfile(std::string_view name);

} // namespace kestrel
