// The network a modem is on (TS 27.007 7.3 +COPS): the pure reader of its read answer, the
// families of its access technologies, and what the engine reports of them.
#pragma once

#include <QString>

#include <string>
#include <string_view>

namespace kestrel {

// TS 27.007 7.3 <AcT> to its family: "GSM" (0, 1, 3, 8), "UMTS" (2, 4, 5, 6), "LTE" (7, 9, 10),
// "NR" (11, 12, 13); "" for every other value.
const char *AccessTechnologyName(int act);

// "+COPS: <mode>[,<format>,<oper>[,<AcT>]]" (or its value after the prefix).
struct TCOPSAnswer {
    int Mode = -1;        // 0 automatic, 1 manual, 2 deregistered, 3 format only, 4 manual/automatic
    int Format = -1;      // 0 long alphanumeric, 1 short alphanumeric, 2 numeric; -1 none given
    std::string Operator; // <oper> without its quotes; empty while not registered
    int AcT = -1;         // -1 when not given
};
// Raises EGSMError naming the field for a mode, format or AcT that is no number, and an
// operator of more than 64 characters (TS 27.007 7.3: 16 long alphanumeric characters, as UCS2
// hexadecimal 64) or without its closing quote.
TCOPSAnswer ParseCOPSRead(std::string_view line);

// What TGSM::QueryOperator found.
struct TNetworkOperator {
    QString Name;        // alphanumeric as the modem gave it, else from the providers list; may be empty
    std::string Numeric; // MCC and MNC ("26201"); empty when the modem gave none
    int AcT = -1;
    bool Registered() const { return !Name.isEmpty() || !Numeric.empty(); }
    QString Technology() const { return QString::fromLatin1(AccessTechnologyName(AcT)); }
};

} // namespace kestrel
