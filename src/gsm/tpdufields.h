// Field codecs of short-message TPDUs (TS 23.040) and the default alphabet of TS 23.038: the
// functions the message classes, the engine's text mode and the compose window build on. All
// binary data is a byte string (one char per octet). None of them keeps state.
#pragma once

#include "base/datetime.h"
#include "gsm/bytereader.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel {

class ISMSContext;

// Characters (ISO 8859-1, euro as 0x80) of the 7-bit default alphabet at index = code, and of its
// extension table at index 128 + the code that follows the escape 0x1B.
extern const unsigned char GSMAlphabet[256];

constexpr uint8_t kGSMEscape = 0x1B;

// 8-bit text to default-alphabet codes (0..127); extension characters become 0x1B and their
// code. Characters the alphabet lacks are dropped.
std::string TextToGSM(std::string_view S);
// Default-alphabet codes to 8-bit text. An escape applies to the next code only; a trailing
// escape yields nothing.
std::string GSMToText(std::string_view S);
// True when every character of the 8-bit text S has a code (TextToGSM drops none).
bool IsGSMText(std::string_view S);

// Septet packing of TS 23.038 6.1.2.1. Without a header, the result is the length octet (codes
// modulo 256) followed by the packed codes (SevenBit) or by S itself. With HasHeader, S starts
// with a user data header (UDHL and its elements) followed by the codes; the codes start at the
// next septet boundary after the header (fill bits of TS 23.040 9.2.3.24) and the length octet
// counts septets including the header.
std::string PackUserData(std::string_view S, bool SevenBit, bool HasHeader = false);
// The inverse: S is the length octet followed by the data. Decodes what the data holds, at most
// as many codes or octets as the length octet announces (never more than are there).
std::string UnpackUserData(std::string_view S, bool SevenBit, bool HasHeader = false);

// Packs codes (each masked to 7 bits) starting at septet FirstSeptet of a zeroed octet stream.
void PackSeptets(std::string &out, std::string_view codes, size_t firstSeptet);
// Count codes read from septet FirstSeptet onwards; stops early when data runs out.
std::string UnpackSeptets(std::string_view data, size_t count, size_t firstSeptet = 0);
// Octets that n septets occupy.
constexpr size_t SeptetOctets(size_t n)
{
    return (n * 7 + 7) / 8;
}
// Septets that a header of n octets occupies, fill bits included.
constexpr size_t HeaderSeptets(size_t n)
{
    return (n * 8 + 6) / 7;
}

// 16-bit characters to UCS2 octets, high octet first; and back (an odd last octet is ignored).
std::string WideToUCS2(std::u16string_view W);
std::u16string UCS2ToWide(std::string_view S);

// Swapped-digit octets: 42 <-> 0x24. BCDToInt takes nibbles above 9 as they are (0x3F -> 153).
uint8_t IntToBCD(uint8_t V);
uint8_t BCDToInt(uint8_t B);

// The zone octet after a time stamp: quarter hours, swapped digits, bit 3 the sign
// (TS 23.040 9.2.3.11). -4 (UTC-1) is 0x48.
uint8_t EncodeTimeZone(int8_t zone);
int8_t DecodeTimeZone(uint8_t B);

// Address field of TS 23.040 9.1.2.5: length in digits, type, swapped digits. "+" gives the
// international type 0x91, "#" the national type 0xA1, anything else 0x81. A name is written as
// packed text (type 0xD0): from Codes when they spell it (so that Greek capitals survive), else
// from its 8-bit text.
std::string EncodeAddress(std::string_view S, std::string_view Codes = {});
// Reads one address field. Raises EGSMError when the field is cut short. For a name (type 0xD0)
// Codes, when given, receives its default-alphabet codes; it is cleared for numbers.
std::string DecodeAddress(TByteReader &r, std::string *Codes = nullptr);
// The same on a byte string; Pos (counted from 0) is moved past the field.
std::string DecodeAddress(const std::string &S, size_t &Pos);

// The service-centre field at the head of a PDU (TS 24.011 8.2.5.1: length in octets including
// the type). An empty field reports gsm's service centre (or nothing without an engine).
std::string DecodeSCA(const ISMSContext *gsm, TByteReader &r);
std::string DecodeSCA(const ISMSContext *gsm, const std::string &S, size_t &Pos);

// Six swapped-digit octets yy MM dd hh mm ss (no zone). Years 00..49 are 2000..2049.
std::string EncodeTimeStamp(TDateTime DT);
// Raises EDateError naming Field, the date or time field and its value when one is out of range
// ("service centre time stamp: month 13 is out of range"), EGSMError when fewer than six octets
// are given.
TDateTime DecodeTimeStamp(std::string_view S, const char *Field = "time stamp");

// Text mode time stamps: "yy/MM/dd,hh:mm:ss+zz", the zone in signed quarter hours.
std::string FormatTimeStamp(TDateTime DT, int8_t Zone);
// Fields out of range raise EDateError as for DecodeTimeStamp.
TDateTime ParseTimeStamp(std::string_view S, int8_t &Zone, const char *Field = "time stamp");

// Relative validity period (TS 23.040 9.2.3.12.1); VP in days.
uint8_t EncodeRelativeVP(TDateTime VP);
TDateTime DecodeRelativeVP(uint8_t B);

// The alphabet of a data coding scheme.
enum class TDCSAlphabet { da7Bit, da8Bit, daUCS2 };
// Short messages (TS 23.038 4).
TDCSAlphabet SMSAlphabet(uint8_t DCS);
// Cell broadcast pages (TS 23.038 5).
TDCSAlphabet CBSAlphabet(uint8_t DCS);

// Helpers for decoders: one octet or n octets of a named field, or EGSMError naming the field
// and the octets needed and left.
uint8_t ReadOctet(TByteReader &r, const char *field);
std::string_view ReadOctets(TByteReader &r, size_t n, const char *field);

} // namespace kestrel
