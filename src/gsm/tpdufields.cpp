#include "gsm/tpdufields.h"

#include "base/convert.h"
#include "base/format.h"
#include "base/rtlerrors.h"
#include "gsm/gsmerror.h"
#include "gsm/smscontext.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace kestrel {

const unsigned char GSMAlphabet[256] = {
    // Default alphabet (TS 23.038 6.2.1)
    0x40,
    0xA3,
    0x24,
    0xA5,
    0xE8,
    0xE9,
    0xF9,
    0xEC,
    0xF2,
    0xC7,
    0x0A,
    0xD8,
    0xF8,
    0x0D,
    0xC5,
    0xE5,
    0xB7,
    0x5F,
    0xB7,
    0xB7,
    0xB7,
    0xB7,
    0xB7,
    0xB7,
    0xB7,
    0xB7,
    0xB7,
    0x1B,
    0xC6,
    0xE6,
    0xDF,
    0xC9,
    0x20,
    0x21,
    0x22,
    0x23,
    0xA4,
    0x25,
    0x26,
    0x27,
    0x28,
    0x29,
    0x2A,
    0x2B,
    0x2C,
    0x2D,
    0x2E,
    0x2F,
    0x30,
    0x31,
    0x32,
    0x33,
    0x34,
    0x35,
    0x36,
    0x37,
    0x38,
    0x39,
    0x3A,
    0x3B,
    0x3C,
    0x3D,
    0x3E,
    0x3F,
    0xA1,
    0x41,
    0x42,
    0x43,
    0x44,
    0x45,
    0x46,
    0x47,
    0x48,
    0x49,
    0x4A,
    0x4B,
    0x4C,
    0x4D,
    0x4E,
    0x4F,
    0x50,
    0x51,
    0x52,
    0x53,
    0x54,
    0x55,
    0x56,
    0x57,
    0x58,
    0x59,
    0x5A,
    0xC4,
    0xD6,
    0xD1,
    0xDC,
    0xA7,
    0xBF,
    0x61,
    0x62,
    0x63,
    0x64,
    0x65,
    0x66,
    0x67,
    0x68,
    0x69,
    0x6A,
    0x6B,
    0x6C,
    0x6D,
    0x6E,
    0x6F,
    0x70,
    0x71,
    0x72,
    0x73,
    0x74,
    0x75,
    0x76,
    0x77,
    0x78,
    0x79,
    0x7A,
    0xE4,
    0xF6,
    0xF1,
    0xFC,
    0xE0,
    // Extension table after the escape code (TS 23.038 6.2.1.1)
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x0C,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x5E,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x7B,
    0x7D,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x5C,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x5B,
    0x7E,
    0x5D,
    0x20,
    0x7C,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x80,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
    0x20,
};

namespace {

// For each 8-bit character the lowest alphabet index that yields it, or -1. Taking the lowest
// index makes the space a plain 0x20 (never an escaped space) and the middle dot 0x10.
const std::array<int16_t, 256> &reverseAlphabet()
{
    static const std::array<int16_t, 256> table = [] {
        std::array<int16_t, 256> t;
        t.fill(-1);
        for (int j = 255; j >= 0; --j)
            t[GSMAlphabet[j]] = static_cast<int16_t>(j);
        return t;
    }();
    return table;
}

TDCSAlphabet alphabetBits(uint8_t DCS)
{
    switch ((DCS >> 2) & 3) {
    case 0:
        return TDCSAlphabet::da7Bit;
    case 2:
        return TDCSAlphabet::daUCS2;
    default: // 8-bit, or the reserved value whose octets are carried unchanged
        return TDCSAlphabet::da8Bit;
    }
}

std::string addressPrefix(uint8_t type)
{
    if (type == 0x91)
        return "+";
    if (type == 0xA1)
        return "#";
    return {};
}

} // namespace

std::string TextToGSM(std::string_view S)
{
    const auto &rev = reverseAlphabet();
    std::string result;
    result.reserve(S.size());
    for (unsigned char c : S) {
        int j = rev[c];
        if (j < 0)
            continue;
        if (j >= 128) {
            result += static_cast<char>(kGSMEscape);
            result += static_cast<char>(j - 128);
        } else {
            result += static_cast<char>(j);
        }
    }
    return result;
}

bool IsGSMText(std::string_view S)
{
    const auto &rev = reverseAlphabet();
    for (unsigned char c : S)
        if (rev[c] < 0)
            return false;
    return true;
}

std::string GSMToText(std::string_view S)
{
    std::string result;
    result.reserve(S.size());
    bool escaped = false;
    for (unsigned char b : S) {
        // Codes come from received data: anything above 7 bits is folded back into the table.
        b &= 0x7F;
        if (b == kGSMEscape) {
            escaped = true;
            continue;
        }
        result += static_cast<char>(GSMAlphabet[escaped ? 128 + b : b]);
        escaped = false;
    }
    return result;
}

void PackSeptets(std::string &out, std::string_view codes, size_t firstSeptet)
{
    size_t needed = SeptetOctets(firstSeptet + codes.size());
    if (out.size() < needed)
        out.resize(needed, '\0');
    size_t bit = firstSeptet * 7;
    for (unsigned char c : codes) {
        unsigned code = c & 0x7F;
        size_t octet = bit / 8, shift = bit % 8;
        out[octet] = static_cast<char>(static_cast<uint8_t>(out[octet]) | (code << shift));
        if (shift > 1)
            out[octet + 1] = static_cast<char>(static_cast<uint8_t>(out[octet + 1]) | (code >> (8 - shift)));
        bit += 7;
    }
}

std::string UnpackSeptets(std::string_view data, size_t count, size_t firstSeptet)
{
    // Never more codes than the data can hold, whatever the length octet claimed.
    size_t available = data.size() * 8 / 7;
    available = available > firstSeptet ? available - firstSeptet : 0;
    if (count > available)
        count = available;
    std::string result(count, '\0');
    size_t bit = firstSeptet * 7;
    for (size_t i = 0; i < count; ++i, bit += 7) {
        size_t octet = bit / 8, shift = bit % 8;
        unsigned v = static_cast<uint8_t>(data[octet]) >> shift;
        if (shift > 1)
            v |= static_cast<unsigned>(static_cast<uint8_t>(data[octet + 1])) << (8 - shift);
        result[i] = static_cast<char>(v & 0x7F);
    }
    return result;
}

std::string PackUserData(std::string_view S, bool SevenBit, bool HasHeader)
{
    if (!SevenBit) {
        std::string result(1, static_cast<char>(S.size() & 0xFF));
        result.append(S);
        return result;
    }
    size_t headerLen = 0;
    if (HasHeader && !S.empty())
        headerLen = std::min<size_t>(static_cast<uint8_t>(S[0]) + 1, S.size());
    size_t headerSeptets = HeaderSeptets(headerLen);
    std::string_view codes = S.substr(headerLen);
    std::string result(1, static_cast<char>((headerSeptets + codes.size()) & 0xFF));
    std::string packed(S.substr(0, headerLen));
    packed.resize(SeptetOctets(headerSeptets), '\0'); // fill bits
    PackSeptets(packed, codes, headerSeptets);
    result += packed;
    return result;
}

std::string UnpackUserData(std::string_view S, bool SevenBit, bool HasHeader)
{
    if (S.empty())
        return {};
    size_t n = static_cast<uint8_t>(S[0]);
    std::string_view data = S.substr(1);
    if (!SevenBit)
        return std::string(data.substr(0, n));
    if (!HasHeader || data.empty())
        return UnpackSeptets(data, n);
    size_t headerLen = std::min<size_t>(static_cast<uint8_t>(data[0]) + 1, data.size());
    size_t headerSeptets = HeaderSeptets(headerLen);
    std::string result(data.substr(0, headerLen));
    if (n > headerSeptets)
        result += UnpackSeptets(data, n - headerSeptets, headerSeptets);
    return result;
}

std::string WideToUCS2(std::u16string_view W)
{
    std::string result;
    result.reserve(W.size() * 2);
    for (char16_t c : W) {
        result += static_cast<char>(c >> 8);
        result += static_cast<char>(c & 0xFF);
    }
    return result;
}

std::u16string UCS2ToWide(std::string_view S)
{
    std::u16string result;
    result.reserve(S.size() / 2);
    for (size_t i = 0; i + 1 < S.size(); i += 2)
        result += static_cast<char16_t>((static_cast<uint8_t>(S[i]) << 8) | static_cast<uint8_t>(S[i + 1]));
    return result;
}

uint8_t IntToBCD(uint8_t V)
{
    return static_cast<uint8_t>(((V / 10) & 0x0F) | ((V % 10) << 4));
}

uint8_t BCDToInt(uint8_t B)
{
    return static_cast<uint8_t>((B & 0x0F) * 10 + (B >> 4));
}

uint8_t EncodeTimeZone(int8_t zone)
{
    // The tens digit has three bits beside the sign: 79 quarter hours at most (real zones stay
    // within 14 hours, 56 quarters). Larger values, read from octets with nibbles above 9, are
    // held at the limit rather than wrapped, so that the sign and size survive.
    int magnitude = std::min(zone < 0 ? -zone : static_cast<int>(zone), 79);
    uint8_t b = IntToBCD(static_cast<uint8_t>(magnitude));
    return zone < 0 ? (b | 0x08) : b;
}

int8_t DecodeTimeZone(uint8_t B)
{
    int magnitude = (B & 0x07) * 10 + (B >> 4);
    return static_cast<int8_t>((B & 0x08) ? -magnitude : magnitude);
}

uint8_t ReadOctet(TByteReader &r, const char *field)
{
    uint8_t b;
    if (!r.Next(b))
        throw EGSMError(Format("%s: 1 octet needed, none left", field));
    return b;
}

std::string_view ReadOctets(TByteReader &r, size_t n, const char *field)
{
    auto part = r.Take(n);
    if (!part)
        throw EGSMError(Format("%s: %zu octets needed, %zu left", field, n, r.Remaining()));
    return *part;
}

std::string EncodeAddress(std::string_view S, std::string_view Codes)
{
    // A sender name rather than a number: packed text (TS 23.040 9.1.2.5, type 0xD0), so that
    // a name read from a PDU is written back as the same name.
    std::string_view digits = S.substr(!S.empty() && (S[0] == '+' || S[0] == '#') ? 1 : 0);
    bool numeric = S.empty() || (!digits.empty() && std::all_of(digits.begin(), digits.end(),
                                                                [](char c) { return c >= '0' && c <= '?'; }));
    if (!numeric) {
        std::string codes = !Codes.empty() && GSMToText(Codes) == S ? std::string(Codes) : TextToGSM(S);
        std::string packed;
        PackSeptets(packed, codes, 0);
        std::string result(1, static_cast<char>(((codes.size() * 7 + 3) / 4) & 0xFF));
        result += static_cast<char>(0xD0);
        return result + packed;
    }
    uint8_t type = 0x81;
    if (!S.empty() && S[0] == '+') {
        type = 0x91;
        S.remove_prefix(1);
    } else if (!S.empty() && S[0] == '#') {
        type = 0xA1;
        S.remove_prefix(1);
    }
    std::string result;
    result += static_cast<char>(S.size() & 0xFF);
    result += static_cast<char>(type);
    for (size_t i = 0; i < S.size(); i += 2) {
        uint8_t lo = static_cast<uint8_t>(S[i] - 0x30);
        uint8_t hi = i + 1 < S.size() ? static_cast<uint8_t>(S[i + 1] - 0x30) : 0x0F;
        result += static_cast<char>(static_cast<uint8_t>(lo | (hi << 4)));
    }
    return result;
}

std::string DecodeAddress(TByteReader &r, std::string *Codes)
{
    if (Codes)
        Codes->clear();
    uint8_t digits = ReadOctet(r, "address length");
    uint8_t type = ReadOctet(r, "address type");
    if (digits == 0)
        return {};
    // TS 23.040 9.1.2.5: the length counts semi-octets, so the field holds ceil(n / 2) octets,
    // also when the digits are packed text.
    std::string_view data = ReadOctets(r, (digits + 1u) / 2, "address");
    if ((type & 0xF0) == 0xD0) {
        std::string codes = UnpackSeptets(data, digits * 4u / 7);
        std::string text = GSMToText(codes);
        if (Codes)
            *Codes = std::move(codes);
        return text;
    }
    std::string result = addressPrefix(type);
    result.reserve(result.size() + digits);
    for (unsigned i = 0; i < digits; ++i) {
        uint8_t b = static_cast<uint8_t>(data[i / 2]);
        result += static_cast<char>(((i % 2) ? (b >> 4) : (b & 0x0F)) + 0x30);
    }
    return result;
}

// The position-based forms: a reader over the rest of S, Pos advanced by what it consumed.
template <typename Fn>
static std::string decodeAt(const std::string &S, size_t &Pos, Fn decode)
{
    TByteReader r(Pos <= S.size() ? std::string_view(S).substr(Pos) : std::string_view());
    std::string result = decode(r);
    Pos += r.Position();
    return result;
}

std::string DecodeAddress(const std::string &S, size_t &Pos)
{
    return decodeAt(S, Pos, [](TByteReader &r) { return DecodeAddress(r); });
}

std::string DecodeSCA(const ISMSContext *gsm, TByteReader &r)
{
    uint8_t n = ReadOctet(r, "service centre length");
    if (n == 0)
        return gsm ? gsm->SCA() : std::string();
    uint8_t type = ReadOctet(r, "service centre type");
    std::string_view data = ReadOctets(r, n - 1u, "service centre");
    std::string result = addressPrefix(type);
    for (unsigned char b : data) {
        result += static_cast<char>((b & 0x0F) + 0x30);
        if ((b >> 4) != 0x0F)
            result += static_cast<char>((b >> 4) + 0x30);
    }
    return result;
}

std::string DecodeSCA(const ISMSContext *gsm, const std::string &S, size_t &Pos)
{
    return decodeAt(S, Pos, [gsm](TByteReader &r) { return DecodeSCA(gsm, r); });
}

std::string EncodeTimeStamp(TDateTime DT)
{
    int y, mo, d, h, mi, s, ms;
    DecodeDate(DT, y, mo, d);
    DecodeTime(DT, h, mi, s, ms);
    std::string result(6, '\0');
    const int fields[6] = {y % 100, mo, d, h, mi, s};
    for (int i = 0; i < 6; ++i)
        result[i] = static_cast<char>(IntToBCD(static_cast<uint8_t>(fields[i])));
    return result;
}

// The date and time a decoded stamp names. A field out of range raises EDateError naming the
// stamp, the field and its value; the runtime's own wording says neither.
static TDateTime stampOf(const char *stamp, const int (&f)[6])
{
    const int year = f[0], month = f[1], day = f[2];
    auto check = [stamp](const char *name, int value, int low, int high) {
        if (value < low || value > high)
            throw EDateError(Format("%s: %s %d is out of range", stamp, name, value));
    };
    check("year", year, 1, 9999);
    check("month", month, 1, 12);
    if (day < 1 || day > DaysInMonth(year, month))
        throw EDateError(Format("%s: day %d is out of range in %04d-%02d", stamp, day, year, month));
    check("hour", f[3], 0, 23);
    check("minute", f[4], 0, 59);
    check("second", f[5], 0, 59);
    return EncodeDate(year, month, day) + EncodeTime(f[3], f[4], f[5], 0);
}

// Two-digit years: 00 to 49 are 2000 to 2049, 50 to 99 are 1950 to 1999.
static int fullYear(int y)
{
    return 1900 + (y < 50 ? y + 100 : y);
}

TDateTime DecodeTimeStamp(std::string_view S, const char *Field)
{
    if (S.size() < 6)
        throw EGSMError(Format("%s: 6 octets needed, %zu left", Field, S.size()));
    int fields[6];
    for (int i = 0; i < 6; ++i)
        fields[i] = BCDToInt(static_cast<uint8_t>(S[i]));
    fields[0] = fullYear(fields[0]);
    return stampOf(Field, fields);
}

std::string FormatTimeStamp(TDateTime DT, int8_t Zone)
{
    int y, mo, d, h, mi, s, ms;
    DecodeDate(DT, y, mo, d);
    DecodeTime(DT, h, mi, s, ms);
    return Format("%.2d/%.2d/%.2d,%.2d:%.2d:%.2d%s%.2d", y % 100, mo, d, h, mi, s, Zone < 0 ? "-" : "+",
                  Zone < 0 ? -Zone : Zone);
}

TDateTime ParseTimeStamp(std::string_view S, int8_t &Zone, const char *Field)
{
    size_t pos = 0;
    int fields[6];
    for (int i = 0; i < 6; ++i) {
        size_t start = pos;
        while (pos < S.size() && S[pos] >= '0' && S[pos] <= '9')
            ++pos;
        fields[i] = pos > start ? StrToInt(S.substr(start, pos - start)) : 0;
        if (i < 5 && pos < S.size())
            ++pos; // one separator
    }
    // The zone: sign and two digits after the seconds. A text without one is taken as UTC.
    std::string_view zone = S.substr(pos, 3);
    Zone = zone.empty() ? 0 : static_cast<int8_t>(StrToInt(zone));
    fields[0] = fullYear(fields[0]);
    return stampOf(Field, fields);
}

uint8_t EncodeRelativeVP(TDateTime VP)
{
    // Whole minutes and days; the small margin keeps 1/24 day from rounding down to 59 minutes.
    double minutes = std::floor(VP * 1440.0 + 1e-6);
    if (!(minutes >= 5))
        return 0;
    if (minutes <= 720) // 5 minute steps up to 12 hours
        return static_cast<uint8_t>(minutes / 5 - 1);
    if (minutes < 1440) // 30 minute steps up to 24 hours
        return static_cast<uint8_t>(143 + std::floor((minutes - 720) / 30));
    double days = std::floor(VP + 1e-9);
    if (days < 35) // whole days from 1 day (167) to 34 days
        return static_cast<uint8_t>(166 + days);
    if (days <= 441)
        return static_cast<uint8_t>(192 + std::floor(days / 7));
    return 255;
}

TDateTime DecodeRelativeVP(uint8_t B)
{
    if (B < 144)
        return (B + 1) * 5 / 1440.0;
    if (B < 168)
        return (720 + (B - 143) * 30) / 1440.0;
    if (B < 197)
        return B - 166;
    return (B - 192) * 7;
}

TDCSAlphabet SMSAlphabet(uint8_t DCS)
{
    switch (DCS >> 4) {
    case 0xC: // message waiting, discard message
    case 0xD: // message waiting, store message
        return TDCSAlphabet::da7Bit;
    case 0xE: // message waiting, store message, UCS2
        return TDCSAlphabet::daUCS2;
    case 0xF: // data coding / message class: bit 2 selects 8-bit data
        return (DCS & 0x04) ? TDCSAlphabet::da8Bit : TDCSAlphabet::da7Bit;
    default:
        // General data coding (00xx xxxx, 01xx xxxx): bit 5 marks compressed text, whose user
        // data length counts octets (TS 23.040 9.2.3.16); it is carried as the octets received.
        if (DCS < 0x80 && (DCS & 0x20))
            return TDCSAlphabet::da8Bit;
        return alphabetBits(DCS);
    }
}

TDCSAlphabet CBSAlphabet(uint8_t DCS)
{
    switch (DCS >> 4) {
    case 0x1: // 0x10: 7-bit preceded by a language; 0x11: UCS2 preceded by a language
        return DCS == 0x11 ? TDCSAlphabet::daUCS2 : TDCSAlphabet::da7Bit;
    case 0x4:
    case 0x5:
    case 0x6:
    case 0x7: // general data coding; bit 5 compressed, carried as octets
        return (DCS & 0x20) ? TDCSAlphabet::da8Bit : alphabetBits(DCS);
    case 0xE: // defined by the WAP forum: binary
        return TDCSAlphabet::da8Bit;
    case 0xF:
        return (DCS & 0x04) ? TDCSAlphabet::da8Bit : TDCSAlphabet::da7Bit;
    default: // languages in 7-bit, and the reserved groups, which TS 23.038 5 reads as 7-bit
        return TDCSAlphabet::da7Bit;
    }
}

} // namespace kestrel
