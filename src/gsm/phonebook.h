// Phonebooks of the SIM and the handset (TS 27.007 8.11 +CPBS, 8.12 +CPBR, 8.14 +CPBW): the pure
// readers of the answers and the writer of an entry, for the TE character set in use.
#pragma once

#include "gsm/ussd.h"

#include <QString>

#include <string>
#include <string_view>
#include <vector>

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

// "+CPBR: (<first>-<last>),<nlength>,<tlength>": the storage's indices and field lengths.
struct TPhonebookRange {
    int First = 0, Last = -1;
    int NumberLength = -1; // <nlength>; -1 when not given
    int TextLength = -1;   // <tlength>; -1 when not given
};
// Raises EGSMError for a range that is no pair of numbers of 1 to 65535, or more than 10,000
// wide, and for a length that is given but no number of 0 to 65535.
TPhonebookRange ParseCPBRTest(std::string_view line);

// "+CPBS: <storage>[,<used>,<total>]" (TS 27.007 8.11), or its value after the prefix.
struct TPhonebookStatus {
    std::string Storage;       // "SM", without quotes
    int Used = -1, Total = -1; // -1 when not given
};
// Raises EGSMError naming the field for a storage name that is not 1 to 8 letters or digits, and
// counts that are no numbers of 0 to 65535 or more used than there are.
TPhonebookStatus ParseCPBSRead(std::string_view line);
// "+CPBS: ("SM","ME",...)": the storages offered, in the modem's order. Raises EGSMError for a
// list without its parentheses, names that are not 1 to 8 letters or digits, or more than 32.
std::vector<std::string> ParseCPBSTest(std::string_view line);

// The name of a phonebook storage ("SM", "ME", ...) in upper case. Raises EGSMError for a name
// that is not 1 to 8 letters or digits (nothing else may go into the quotes of AT+CPBS).
std::string PhonebookStorageName(std::string_view name);

// What TGSM::SelectPhonebook learnt of a storage.
struct TPhonebookInfo {
    TPhonebookStatus Status;
    TPhonebookRange Range;
};

// How long Name is in a phonebook's <tlength>: SIM-based storages keep the alpha identifier
// (TS 31.102 4.4.2.3, coded as in Annex A): one octet per default-alphabet character (two for
// those of the extension table), or, for a name outside that alphabet, the UCS2 form of one
// octet 0x80 and two per character.
int PhonebookTextLength(const QString &name);
// Raises EGSMError with a text for the user when Entry does not fit the storage's field lengths
// (Range's; a length of -1 is not checked): a name too long, a number too long.
void CheckPhonebookEntry(const TPhonebookEntry &entry, const TPhonebookRange &range,
                         const std::string &storage);

// The parameters of "AT+CPBW=" for Entry (index left empty when it is 0: the first free one).
// Raises EGSMError for a number of other characters than digits, "+", "*", "#" and a name the
// character set cannot carry.
std::string CPBWParameters(const TPhonebookEntry &entry, TTECharset charset);

} // namespace kestrel
