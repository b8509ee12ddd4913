#include "gsm/smstext.h"

#include "gsm/sms.h"

#include <array>
#include <unordered_map>

namespace kestrel {

namespace {

constexpr char16_t kEuro = 0x20AC;
constexpr unsigned char kModelEuro = 0x80;
// The model's stand-in for the Greek capitals, which ISO 8859-1 lacks.
constexpr unsigned char kModelGreek = 0xB7;

// TS 23.038 6.2.1: the codes whose characters are Greek capitals (0x11 is the underscore).
char16_t greekCapital(uint8_t code)
{
    static constexpr std::array<char16_t, 11> letters = {
        0x0394, // 0x10 Delta
        0x005F, // 0x11 underscore
        0x03A6, // 0x12 Phi
        0x0393, // 0x13 Gamma
        0x039B, // 0x14 Lambda
        0x03A9, // 0x15 Omega
        0x03A0, // 0x16 Pi
        0x03A8, // 0x17 Psi
        0x03A3, // 0x18 Sigma
        0x0398, // 0x19 Theta
        0x039E, // 0x1A Xi
    };
    return code >= 0x10 && code <= 0x1A ? letters[code - 0x10] : 0;
}

QChar fromModelChar(unsigned char c)
{
    return c == kModelEuro ? QChar(kEuro) : QChar(c);
}

// The character of one table entry: index = code, or 128 + code after an escape.
char16_t entryChar(int index)
{
    const unsigned char c = GSMAlphabet[index];
    if (index < 128 && c == kModelGreek)
        if (char16_t greek = greekCapital(static_cast<uint8_t>(index)))
            return greek;
    return fromModelChar(c).unicode();
}

// For each character the lowest table index that yields it, as TextToGSM chooses: a space is a
// plain 0x20, never an escaped one.
const std::unordered_map<char16_t, int> &reverseTable()
{
    static const std::unordered_map<char16_t, int> table = [] {
        std::unordered_map<char16_t, int> t;
        for (int index = 0; index < 256; ++index)
            if (index != kGSMEscape)
                t.emplace(entryChar(index), index);
        return t;
    }();
    return table;
}

} // namespace

QString GSMCodesToUnicode(std::string_view codes)
{
    QString result;
    result.reserve(static_cast<qsizetype>(codes.size()));
    bool escaped = false;
    for (unsigned char b : codes) {
        b &= 0x7F;
        if (b == kGSMEscape) {
            escaped = true;
            continue;
        }
        result += QChar(entryChar(escaped ? 128 + b : b));
        escaped = false;
    }
    return result;
}

QString Model8BitToUnicode(std::string_view text)
{
    QString result;
    result.reserve(static_cast<qsizetype>(text.size()));
    for (unsigned char c : text)
        result += fromModelChar(c);
    return result;
}

QString UserDataToUnicode(TDCSAlphabet alphabet, std::string_view body)
{
    switch (alphabet) {
    case TDCSAlphabet::da7Bit:
        return GSMCodesToUnicode(body);
    case TDCSAlphabet::daUCS2: {
        const std::u16string wide = UCS2ToWide(body);
        return QString::fromUtf16(wide.data(), static_cast<qsizetype>(wide.size()));
    }
    case TDCSAlphabet::da8Bit:
        break;
    }
    return Model8BitToUnicode(body);
}

QString AddressToUnicode(std::string_view address, std::string_view codes)
{
    if (!codes.empty() && GSMToText(codes) == address)
        return GSMCodesToUnicode(codes);
    return Model8BitToUnicode(address);
}

QString AddressToUnicode(const TSMS2 &sms)
{
    const std::string *address = nullptr;
    if (auto *deliver = dynamic_cast<const TSMSDeliver *>(&sms))
        address = &deliver->OA;
    else if (auto *submit = dynamic_cast<const TSMSSubmit *>(&sms))
        address = &submit->DA;
    else if (auto *report = dynamic_cast<const TSMSStatusReport *>(&sms))
        address = &report->RA;
    else if (auto *command = dynamic_cast<const TSMSCommand *>(&sms))
        address = &command->DA;
    return address ? AddressToUnicode(*address, sms.AddressCodes) : QString();
}

bool UnicodeToGSMCodes(const QString &text, std::string &codes, qsizetype *badIndex)
{
    const auto &table = reverseTable();
    codes.clear();
    codes.reserve(static_cast<size_t>(text.size()));
    for (qsizetype i = 0; i < text.size(); ++i) {
        auto it = table.find(text[i].unicode());
        if (it == table.end()) {
            if (badIndex)
                *badIndex = i;
            return false;
        }
        if (it->second >= 128) {
            codes += static_cast<char>(kGSMEscape);
            codes += static_cast<char>(it->second - 128);
        } else {
            codes += static_cast<char>(it->second);
        }
    }
    return true;
}

} // namespace kestrel
