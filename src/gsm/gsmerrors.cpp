#include "gsm/gsmerrors.h"

#include <cstdio>

#include <cstdarg>

namespace kestrel {

namespace {

struct TCatalogueEntry {
    int number;
    const char *text;
};

// 3GPP TS 27.007 9.2: mobile equipment errors, keyed by the number after "+CME ERROR: ".
// The capitalisation is the catalogue's own and reaches the user unchanged.
const TCatalogueEntry kCMEErrors[] = {
    {0, "phone failure"},
    {1, "no connection to phone"},
    {2, "phone-adapter link reserved"},
    {3, "Operation not allowed"},
    {4, "Operation not supported"},
    {5, "PH-SIM PIN required"},
    {6, "PH-FSIM PIN required"},
    {7, "PH-FSIM PUK required"},
    {10, "SIM not inserted"},
    {11, "SIM PIN required"},
    {12, "SIM PUK required"},
    {13, "SIM failure"},
    {14, "SIM busy"},
    {15, "SIM wrong"},
    {16, "Incorrect password"},
    {17, "SIM PIN2 required"},
    {18, "SIM PUK2 required"},
    {20, "Memory full"},
    {21, "invalid index"},
    {22, "not found"},
    {23, "Memory failure"},
    {24, "text string too long"},
    {25, "invalid characters in text string"},
    {26, "dial string too long"},
    {27, "invalid characters in dial string"},
    {30, "no network service"},
    {31, "Network timeout"},
    {32, "Network not allowed   emergency calls only"},
    {40, "Network personalization PIN required"},
    {41, "Network personalization PUK required"},
    {42, "Network subset personalization PIN required"},
    {43, "Network subset personalization PUK required"},
    {44, "service provider personalization PIN required"},
    {45, "service provider personalization PUK required"},
    {46, "Corporate personalization PIN required"},
    {47, "Corporate personalization PUK required"},
    {48, "PH-SIM PUK required"},
    {100, "Unknown"},
    {103, "Illegal MS"},
    {106, "Illegal ME"},
    {107, "GPRS services not allowed"},
    {111, "PLMN not allowed"},
    {112, "Location area not allowed"},
    {113, "Roaming not allowed in this location area"},
    {132, "service option not supported"},
    {133, "requested service option not subscribed"},
    {134, "service option temporarily out of order"},
    {148, "unspecified GPRS error"},
    {149, "PDP authentication failure"},
    {150, "invalid mobile class"},
    {256, "Operation temporarily not allowed"},
    {257, "call barred"},
    {258, "phone is busy"},
    {259, "user abort"},
    {260, "invalid dial string"},
    {261, "ss not executed"},
    {262, "SIM blocked"},
};

// 3GPP TS 27.005 3.2.5 and TS 24.011 Annex E: message service errors, keyed by the number after
// "+CMS ERROR: ".
const TCatalogueEntry kCMSErrors[] = {
    {1, "Unassigned (unallocated) number"},
    {8, "Operator determined barring"},
    {10, "Call barred"},
    {21, "Short message transfer rejected"},
    {27, "Destination out of service"},
    {28, "Unidentified subscriber"},
    {29, "Facility rejected"},
    {30, "Unknown subscriber"},
    {38, "Network out of order"},
    {41, "Temporary failure"},
    {42, "Congestion"},
    {47, "Resources unavailable, unspecified"},
    {50, "Requested facility not subscribed"},
    {69, "Requested facility not implemented"},
    {81, "Invalid short message transfer reference value"},
    {95, "Invalid message, unspecified"},
    {96, "Invalid mandatory information"},
    {97, "Message type non-existent or not implemented"},
    {98, "Message not compatible with short message protocol state"},
    {99, "Information element non-existent or not implemented"},
    {111, "Protocol error, unspecified"},
    {127, "Interworking, unspecified"},
    {128, "Telematic interworking not supported"},
    {129, "Short message Type 0 not supported"},
    {130, "Cannot replace short message"},
    {143, "Unspecified TP-PID error"},
    {144, "Data coding scheme (alphabet) not supported"},
    {145, "Message class not supported"},
    {159, "Unspecified TP-DCS error"},
    {160, "Command cannot be actioned"},
    {161, "Command unsupported"},
    {175, "Unspecified TP-Command error"},
    {176, "TPDU not supported"},
    {192, "SC busy"},
    {193, "No SC subscription"},
    {194, "SC system failure"},
    {195, "Invalid SME address"},
    {196, "Destination SME barred"},
    {197, "SM Rejected-Duplicate SM"},
    {198, "TP-VPF not supported"},
    {199, "TP-VP not supported"},
    {208, "D0 SIM SMS storage full"},
    {209, "No SMS storage capability in SIM"},
    {210, "Error in MS"},
    {211, "Memory Capacity Exceeded"},
    {212, "SIM Application Toolkit Busy"},
    {213, "SIM data download error"},
    {255, "Unspecified error cause"},
    {300, "ME failure"},
    {301, "SMS service of ME reserved"},
    {302, "Operation not allowed"},
    {303, "Operation not supported"},
    {304, "Invalid PDU mode parameter"},
    {305, "Invalid text mode parameter"},
    {310, "SIM not inserted"},
    {311, "SIM PIN required"},
    {312, "PH-SIM PIN required"},
    {313, "SIM failure"},
    {314, "SIM busy"},
    {315, "SIM wrong"},
    {316, "SIM PUK required"},
    {317, "SIM PIN2 required"},
    {318, "SIM PUK2 required"},
    {320, "Memory failure"},
    {321, "Invalid memory index"},
    {322, "Memory full"},
    {330, "SMSC address unknown"},
    {331, "no network service"},
    {332, "Network timeout"},
    {340, "NO +CNMA ACK EXPECTED"},
    {500, "Unknown error"},
    {512, "User abort"},
    {513, "unable to store"},
    {514, "invalid status"},
    {515, "invalid character in address string"},
    {516, "invalid length"},
    {517, "invalid character in pdu"},
    {518, "invalid parameter"},
    {519, "invalid length or character"},
    {520, "invalid character in text"},
    {521, "timer expired"},
};

template <size_t N>
std::string Lookup(const TCatalogueEntry (&table)[N], int number)
{
    for (const auto &e : table) {
        if (e.number == number)
            return e.text;
    }
    return {};
}

} // namespace

std::string GSMResourceString(int id)
{
    if (id >= kCMSErrorBase)
        return Lookup(kCMSErrors, id - kCMSErrorBase);
    if (id >= kCMEErrorBase)
        return Lookup(kCMEErrors, id - kCMEErrorBase);
    return {};
}

void GSMError(const std::string &msg)
{
    throw EGSMError(msg);
}

void GSMErrorFmt(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        std::vsnprintf(text.data(), text.size() + 1, fmt, args);
    va_end(args);
    throw EGSMError(text);
}

} // namespace kestrel
