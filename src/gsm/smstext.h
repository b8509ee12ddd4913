// Unicode forms of what the message model holds. The model keeps 7-bit text as default-alphabet
// codes, 8-bit text as ISO 8859-1 with the euro sign at 0x80, and alphanumeric addresses as that
// 8-bit text, in which the nine Greek capitals of the default alphabet share one middle dot (the
// logs and stored files rely on those forms). Every output in UTF-8 (JSON, the window, the message
// store) goes through these functions, so that all of them show the same characters.
#pragma once

#include "gsm/tpdufields.h"

#include <QString>

#include <string>
#include <string_view>

namespace kestrel {

class TSMS2;

// Default-alphabet codes (TS 23.038 6.2.1, with the escape 0x1B and its extension table) to
// Unicode: the Greek capitals as Δ Φ Γ Λ Ω Π Ψ Σ Θ Ξ, the euro sign, the brackets. Codes above 7
// bits are folded back into the table, and an escape before a code the extension table lacks
// gives what the model gives (a space), as GSMToText does.
QString GSMCodesToUnicode(std::string_view codes);

// The model's 8-bit text (ISO 8859-1, euro at 0x80) to Unicode.
QString Model8BitToUnicode(std::string_view text);

// User data without its header, in the given alphabet: 7-bit codes, UCS2 octets (high octet
// first; an odd last octet is ignored) or 8-bit text.
QString UserDataToUnicode(TDCSAlphabet alphabet, std::string_view body);

// An address as the model keeps it: digits (after "+" or "#") or an alphanumeric sender's 8-bit
// text. Codes are the sender's default-alphabet codes when the decoder kept them; they tell the
// Greek capitals apart, and are used only while they still spell the address.
QString AddressToUnicode(std::string_view address, std::string_view codes = {});
// The address of a message (originator, destination or recipient); empty for the reports that
// carry none.
QString AddressToUnicode(const TSMS2 &sms);

// Unicode to default-alphabet codes, escape pairs for the extension table. Returns false when a
// character has no code; BadIndex then tells which one (codes holds those before it).
bool UnicodeToGSMCodes(const QString &text, std::string &codes, qsizetype *badIndex = nullptr);

} // namespace kestrel
