// Phonebooks of the SIM and the handset (TS 27.007 8.11 +CPBS, 8.12 +CPBR, 8.14 +CPBW): the pure
// readers of the answers and the writer of an entry, for the TE character set in use.
#pragma once

#include "gsm/ussd.h"

#include <QString>

#include <string>
#include <string_view>

namespace kestrel {

struct TPhonebookEntry {
    int Index = 0;      // the storage's index, from 1; 0 for an entry not yet written
    std::string Number; // "+4917..." for the international type 145
    int Type = 129;     // TS 24.008 10.5.4.7 type of number: 145 international, 129 unknown
    QString Name;
};

// "+CPBR: <index>,<number>,<type>,<text>" (or its value after the prefix), the text in Charset.
// Raises EGSMError naming the field for an index or type that is no number, a number of more
// than 80 characters (or none), a text of more than 256 characters, or a quote left open.
TPhonebookEntry ParseCPBRLine(std::string_view line, TTECharset charset);

// "+CPBR: (<first>-<last>),<nlength>,<tlength>": the storage's indices.
struct TPhonebookRange {
    int First = 0, Last = -1;
};
// Raises EGSMError for a range that is no pair of numbers of 1 to 65535, or more than 10,000 wide.
TPhonebookRange ParseCPBRTest(std::string_view line);

// The parameters of "AT+CPBW=" for Entry (index left empty when it is 0: the first free one).
// Raises EGSMError for a number of other characters than digits, "+", "*", "#" and a name the
// character set cannot carry.
std::string CPBWParameters(const TPhonebookEntry &entry, TTECharset charset);

} // namespace kestrel
