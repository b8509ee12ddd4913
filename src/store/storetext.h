// Text of received user data as UTF-8, exactly as the sender wrote it: every character of the
// default alphabet and its extension table (Greek capitals included), UCS2 with surrogate pairs
// (emoji), and 8-bit text of the model's own character set.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel {

// Default-alphabet codes (TS 23.038 6.2.1, one code per char) to UTF-8.
std::string GSMCodesToUTF8(std::string_view codes);
// UCS2 octets, high octet first, to UTF-8; an odd last octet is ignored.
std::string UCS2ToUTF8(std::string_view octets);
// 8-bit text of the model (ISO 8859-1 with the euro sign at 0x80) to UTF-8.
std::string Model8BitToUTF8(std::string_view text);
// The user data after its header as text, by the alphabet of the data coding scheme.
std::string UserDataToUTF8(uint8_t DCS, std::string_view body);
// Octets that should be UTF-8 (vCards, iMelody): kept when they are, read as ISO 8859-1 otherwise.
std::string LooseUTF8(std::string_view octets);

} // namespace kestrel
