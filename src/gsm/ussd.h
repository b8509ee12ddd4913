// Unstructured supplementary service data (TS 27.007 7.15, the data coding scheme of TS 23.038 5):
// the decoder of the "+CUSD:" lines a modem sends and the encoder of the strings sent with
// AT+CUSD, for the TE character set (+CSCS, TS 27.007 5.5) the modem uses. Nothing here knows
// about the serial port; TGSM runs the dialogue.
#pragma once

#include <QString>

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrel {

// TS 27.007 7.15 <m>.
enum TUSSDStatus : int {
    ussdDone = 0,           // no further user action required
    ussdActionRequired = 1, // the network asks for an answer (a menu)
    ussdTerminated = 2,     // the network ended the session
    ussdOtherClient = 3,    // another local client has answered
    ussdNotSupported = 4,   // operation not supported (an unknown code)
    ussdNetworkTimeout = 5
};
// "done", "reply", "terminated", "other client", "not supported", "network time-out"; "unknown"
// for any other number.
const char *USSDStatusName(int status);

// The TE character sets as far as USSD strings and phonebook texts are concerned.
enum class TTECharset {
    GSM,   // the default alphabet's codes as octets (TS 27.005 Annex A)
    IRA,   // ASCII
    UCS2,  // four hexadecimal digits per 16-bit character
    HEX,   // two hexadecimal digits per default-alphabet code (or per octet of 8-bit data)
    Latin1 // "8859-1" and every set this system does not know, read as ISO 8859-1
};
// The character set of a +CSCS name, with or without its double quotes, in any letter case.
TTECharset TECharsetFromName(std::string_view name);

// TS 24.080: a USSD string is at most 160 octets (182 septets); as UCS2 hexadecimal that is 728
// characters. A longer string in a +CUSD line is no answer of a network.
constexpr size_t kMaxUSSDString = 1024;
constexpr size_t kMaxUSSDSeptets = 182;

// One "+CUSD: <m>[,<str>[,<dcs>]]" line.
struct TUSSDAnswer {
    int Status = -1;      // <m>
    bool HasText = false; // a <str> was given
    int DCS = -1;         // <dcs>; -1 when not given
    std::string Raw;      // <str> as received, without its quotes
    QString Text;         // <str> decoded (line ends as "\n", other control characters as U+FFFD)
};

// Decodes a "+CUSD:" line (or its value after the prefix) received under Charset. Raises
// EGSMError naming the field for a status that is no number, a string of more than
// kMaxUSSDString characters or without its closing quote, and a DCS that is no number of 0..255.
TUSSDAnswer DecodeUSSDLine(std::string_view line, TTECharset charset);

// <str> decoded by its data coding scheme (-1: not given, read as the default alphabet) and the
// character set: 7-bit text as characters of the set, as hexadecimal UCS2 under "UCS2", as one
// hexadecimal code per character under "HEX", or packed into hexadecimal octets (which some
// modems give whatever the set); UCS2 and 8-bit data as hexadecimal octets. A string that is not
// what its coding announces is shown as the characters it has.
QString DecodeUSSDString(std::string_view raw, int dcs, TTECharset charset);

// The <str> of "AT+CUSD=1,<str>,15" for text under Charset. Raises EGSMError for text that
// cannot be sent: a character the set (or the default alphabet) lacks, a double quote or
// control character, more than kMaxUSSDSeptets characters, or none.
std::string EncodeUSSDString(const QString &text, TTECharset charset);

// Texts under a character set, both ways: what phonebook entries and USSD strings of the default
// alphabet are made of. FromTECharset shows a string that is not what the set announces (odd
// hexadecimal) as the characters it has.
QString FromTECharset(std::string_view raw, TTECharset charset);
// Raises EGSMError naming Field for a character the set lacks.
std::string ToTECharset(const QString &text, TTECharset charset, const char *field);

} // namespace kestrel
