#include "gsm/ussd.h"

#include "base/convert.h"
#include "gsm/atparser.h"
#include "gsm/bytereader.h"
#include "gsm/gsmerrors.h"
#include "gsm/smstext.h"

#include <algorithm>
#include <array>

namespace kestrel {

namespace {

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

uint8_t hexValue(char c)
{
    if (c <= '9')
        return static_cast<uint8_t>(c - '0');
    return static_cast<uint8_t>((c | 0x20) - 'a' + 10);
}

// Whole octets of hexadecimal digits (an even number of them, at least one octet).
bool isHexOctets(std::string_view s)
{
    return !s.empty() && s.size() % 2 == 0 && std::all_of(s.begin(), s.end(), isHexDigit);
}

// Only for text that isHexOctets accepted.
std::string hexOctets(std::string_view s)
{
    TByteReader r(s);
    std::string out;
    out.reserve(s.size() / 2);
    while (auto pair = r.Take(2))
        out += static_cast<char>((hexValue((*pair)[0]) << 4) | hexValue((*pair)[1]));
    return out;
}

QString fromUCS2Octets(std::string_view octets)
{
    const std::u16string wide = UCS2ToWide(octets);
    return QString::fromUtf16(wide.data(), static_cast<qsizetype>(wide.size()));
}

// The default alphabet's codes that the answers of a network are made of: everything but the
// Greek capitals, the escape and the currency sign, which a string of hexadecimal digits read as
// packed septets by mistake is full of.
bool textLikeCode(uint8_t code)
{
    return !(code == 0x10 || (code >= 0x12 && code <= 0x1B) || code == 0x24);
}

bool letterDigitOrSpace(uint8_t code)
{
    return code == ' ' || (code >= '0' && code <= '9') || (code >= 'A' && code <= 'Z') ||
           (code >= 'a' && code <= 'z');
}

// 7-bit text that a modem gives as its packed octets in hexadecimal (TS 23.038 6.1.2.3), which
// many do under any character set. A string of decimal digits is text, and so is anything whose
// septets do not read as text.
bool unpackHexSeptets(std::string_view raw, QString &text)
{
    if (!isHexOctets(raw) || std::all_of(raw.begin(), raw.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const std::string octets = hexOctets(raw);
    std::string codes = UnpackSeptets(octets, octets.size() * 8 / 7);
    // TS 23.038 6.1.2.3.1: seven spare bits at the end are a CR (or zeros) rather than a character.
    if (octets.size() % 7 == 0 && !codes.empty() && (codes.back() == '\r' || codes.back() == 0))
        codes.pop_back();
    if (codes.empty())
        return false;
    size_t plain = 0;
    for (char c : codes) {
        const auto code = static_cast<uint8_t>(c);
        if (!textLikeCode(code))
            return false;
        plain += letterDigitOrSpace(code) ? 1 : 0;
    }
    if (plain * 10 < codes.size() * 7)
        return false;
    text = GSMCodesToUnicode(codes);
    return true;
}

// Text to show: line ends as "\n", every other control character as U+FFFD, so that what a
// network sends can neither move a terminal's cursor nor break a log line.
QString displayText(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else if (c == '\n') {
            out += '\n';
        } else if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
            out += QChar(0xFFFD);
        } else {
            out += QChar(c);
        }
    }
    return out;
}

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

// Reads up to the next comma (not consumed) or the end.
std::string_view untilComma(TByteReader &r)
{
    size_t n = 0;
    for (TByteReader look = r; !look.AtEnd(); ++n) {
        uint8_t b = 0;
        look.Next(b);
        if (b == ',')
            break;
    }
    return r.TakeUpTo(n);
}

bool skipComma(TByteReader &r)
{
    uint8_t b = 0;
    if (!r.Peek(b) || b != ',')
        return false;
    r.Skip(1);
    return true;
}

const char *charsetName(TTECharset charset)
{
    switch (charset) {
    case TTECharset::GSM:
        return "GSM";
    case TTECharset::IRA:
        return "IRA";
    case TTECharset::UCS2:
        return "UCS2";
    case TTECharset::HEX:
        return "HEX";
    case TTECharset::Latin1:
        break;
    }
    return "8859-1";
}

} // namespace

const char *USSDStatusName(int status)
{
    static constexpr std::array<const char *, 6> names = {
        "done", "reply", "terminated", "other client", "not supported", "network time-out"};
    return status >= 0 && status < static_cast<int>(names.size()) ? names[static_cast<size_t>(status)]
                                                                  : "unknown";
}

TTECharset TECharsetFromName(std::string_view name)
{
    const std::string upper = UpperASCII(Dequote(TrimBlanks(name)));
    if (upper == "GSM")
        return TTECharset::GSM;
    if (upper == "IRA")
        return TTECharset::IRA;
    if (upper == "UCS2")
        return TTECharset::UCS2;
    if (upper == "HEX")
        return TTECharset::HEX;
    return TTECharset::Latin1;
}

QString FromTECharset(std::string_view raw, TTECharset charset)
{
    switch (charset) {
    case TTECharset::GSM:
        return GSMCodesToUnicode(raw);
    case TTECharset::UCS2:
        if (isHexOctets(raw) && raw.size() % 4 == 0)
            return fromUCS2Octets(hexOctets(raw));
        break;
    case TTECharset::HEX:
        if (isHexOctets(raw))
            return GSMCodesToUnicode(hexOctets(raw));
        break;
    case TTECharset::IRA: {
        QString out;
        for (char c : raw)
            out += static_cast<unsigned char>(c) < 0x80 ? QChar(c) : QChar(0xFFFD);
        return out;
    }
    case TTECharset::Latin1:
        break;
    }
    return QString::fromLatin1(raw.data(), static_cast<qsizetype>(raw.size()));
}

std::string ToTECharset(const QString &text, TTECharset charset, const char *field)
{
    auto refuse = [&](qsizetype at) {
        GSMErrorFmt("%s: the character %s cannot be written in the character set %s", field,
                    QString(text[at]).toUtf8().constData(), charsetName(charset));
    };
    std::string out;
    switch (charset) {
    case TTECharset::GSM:
    case TTECharset::HEX: {
        qsizetype bad = 0;
        if (!UnicodeToGSMCodes(text, out, &bad))
            refuse(bad);
        return charset == TTECharset::HEX ? StrToHex(out) : out;
    }
    case TTECharset::UCS2: {
        for (qsizetype i = 0; i < text.size(); ++i)
            if (text[i].isSurrogate())
                refuse(i);
        return StrToHex(WideToUCS2(std::u16string_view(reinterpret_cast<const char16_t *>(text.utf16()),
                                                       static_cast<size_t>(text.size()))));
    }
    case TTECharset::IRA:
    case TTECharset::Latin1:
        for (qsizetype i = 0; i < text.size(); ++i) {
            const char16_t c = text[i].unicode();
            if (c >= (charset == TTECharset::IRA ? 0x80 : 0x100))
                refuse(i);
            out += static_cast<char>(c);
        }
        return out;
    }
    return out;
}

QString DecodeUSSDString(std::string_view raw, int dcs, TTECharset charset)
{
    const TDCSAlphabet alphabet = dcs < 0 ? TDCSAlphabet::da7Bit : CBSAlphabet(static_cast<uint8_t>(dcs));
    QString text;
    switch (alphabet) {
    case TDCSAlphabet::da7Bit: {
        const bool hexSet = charset == TTECharset::UCS2 || charset == TTECharset::HEX;
        const size_t unit = charset == TTECharset::UCS2 ? 4 : 2;
        if (hexSet && isHexOctets(raw) && raw.size() % unit == 0)
            text = FromTECharset(raw, charset);
        else if (!unpackHexSeptets(raw, text))
            text = FromTECharset(raw, hexSet ? TTECharset::Latin1 : charset);
        // TS 23.038 5: DCS 0x10 puts the language (two letters and a CR) before the message.
        if (dcs == 0x10 && text.size() >= 3 && text[2] == '\r')
            text = text.mid(3);
        break;
    }
    case TDCSAlphabet::daUCS2:
        if (isHexOctets(raw)) {
            std::string octets = hexOctets(raw);
            // TS 23.038 5: DCS 0x11 puts the language, two packed septets, before the message.
            if (dcs == 0x11)
                octets.erase(0, std::min<size_t>(2, octets.size()));
            text = fromUCS2Octets(octets);
        } else {
            text = FromTECharset(raw, charset); // converted by the modem already
        }
        break;
    case TDCSAlphabet::da8Bit:
        if (isHexOctets(raw)) {
            const std::string octets = hexOctets(raw);
            text = QString::fromLatin1(octets.data(), static_cast<qsizetype>(octets.size()));
        } else {
            text = QString::fromLatin1(raw.data(), static_cast<qsizetype>(raw.size()));
        }
        break;
    }
    return displayText(text);
}

TUSSDAnswer DecodeUSSDLine(std::string_view line, TTECharset charset)
{
    std::string_view value = trimmed(line);
    constexpr std::string_view kPrefix = "+CUSD:";
    if (value.size() >= kPrefix.size() && UpperASCII(value.substr(0, kPrefix.size())) == kPrefix)
        value = trimmed(value.substr(kPrefix.size()));
    TByteReader r(value);
    TUSSDAnswer answer;

    const std::string_view status = trimmed(untilComma(r));
    const auto m = TryStrToInt64(status);
    if (!m || *m < 0 || *m > 99)
        GSMErrorFmt("USSD status: \"%s\" is no number of 0 to 99", PrintableExcerpt(status).c_str());
    answer.Status = static_cast<int>(*m);
    if (!skipComma(r))
        return answer;

    for (uint8_t b = 0; r.Peek(b) && b == ' ';)
        r.Skip(1);
    uint8_t first = 0;
    if (r.Peek(first) && first == '"') {
        r.Skip(1);
        size_t n = 0;
        bool closed = false;
        for (TByteReader look = r; !look.AtEnd(); ++n) {
            uint8_t b = 0;
            look.Next(b);
            if (b == '"') {
                closed = true;
                break;
            }
        }
        if (!closed)
            GSMErrorFmt("USSD string: no closing quote after %zu characters", n);
        answer.Raw = std::string(r.TakeUpTo(n));
        r.Skip(1);
        answer.HasText = true;
        // Whatever stands between the closing quote and the next comma is no part of the string.
        untilComma(r);
    } else {
        answer.Raw = std::string(trimmed(untilComma(r)));
        answer.HasText = !answer.Raw.empty();
    }
    if (answer.Raw.size() > kMaxUSSDString)
        GSMErrorFmt("USSD string: %zu characters, at most %zu", answer.Raw.size(), kMaxUSSDString);

    if (skipComma(r)) {
        const std::string_view dcs = trimmed(untilComma(r));
        if (!dcs.empty()) {
            const auto d = TryStrToInt64(dcs);
            if (!d || *d < 0 || *d > 255)
                GSMErrorFmt("USSD data coding scheme: \"%s\" is no number of 0 to 255",
                            PrintableExcerpt(dcs).c_str());
            answer.DCS = static_cast<int>(*d);
        }
    }
    if (answer.HasText)
        answer.Text = DecodeUSSDString(answer.Raw, answer.DCS, charset);
    return answer;
}

std::string EncodeUSSDString(const QString &text, TTECharset charset)
{
    if (text.isEmpty())
        GSMError("USSD string: empty");
    if (static_cast<size_t>(text.size()) > kMaxUSSDSeptets)
        GSMErrorFmt("USSD string: %lld characters, at most %zu", static_cast<long long>(text.size()),
                    kMaxUSSDSeptets);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c == '"' || c < 0x20 || c == 0x7F)
            GSMErrorFmt("USSD string: the character at position %lld cannot be sent",
                        static_cast<long long>(i + 1));
    }
    // Sent with DCS 15: the text must be of the default alphabet, whatever set carries it.
    std::string codes;
    qsizetype bad = 0;
    if (!UnicodeToGSMCodes(text, codes, &bad))
        GSMErrorFmt("USSD string: the character %s is not of the default alphabet",
                    QString(text[bad]).toUtf8().constData());
    return ToTECharset(text, charset, "USSD string");
}

} // namespace kestrel
