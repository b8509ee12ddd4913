// The network's USSD service as the virtual handset passes it on (TS 27.007 7.15): a balance code,
// a two-level menu in the default alphabet (*101#) and the same menu in Russian as UCS2 (*102#),
// and the refusal of every other code, as "operation not supported".
#include "modemsim/simhandset.h"

#include "base/format.h"
#include "connect/connection.h"
#include "gsm/tpdufields.h"

namespace kestrel {

namespace {

// TS 23.038 5: the default alphabet, and UCS2, both without a language.
constexpr int kDCS7Bit = 15;
constexpr int kDCSUCS2 = 72;

struct TUSSDReply {
    int status;          // TS 27.007 7.15 <m>
    std::u16string text; // empty: no string
    bool ucs2 = false;   // sent with kDCSUCS2
    int menu = 0;        // the menu level the session is in afterwards (0: ended)
};

// The default-alphabet codes of text that has them all (the service's texts do).
std::string GSMCodes(const std::u16string &text)
{
    std::string latin1;
    for (char16_t c : text)
        latin1 += static_cast<char>(c < 0x100 ? c : '?');
    return TextToGSM(latin1);
}

// Septets packed into octets (TS 23.038 6.1.2.3): seven spare bits at the end carry a CR
// (6.1.2.3.1), so that the receiver takes no "@" for a last character.
std::string PackedSeptets(std::string codes)
{
    if (codes.size() % 8 == 7)
        codes += '\r';
    std::string out(SeptetOctets(codes.size()), '\0');
    PackSeptets(out, codes, 0);
    return out;
}

TUSSDReply Answer(int menu, bool ucs2, const std::string &input)
{
    const std::u16string dataPacks = ucs2 ? u"Пакеты данных:\n1 1 ГБ 5,00\n2 5 ГБ 15,00"
                                          : u"Data packs:\n1 1 GB 5.00 EUR\n2 5 GB 15.00 EUR";
    const std::u16string invalid = ucs2 ? u"Неверный выбор" : u"Invalid choice";
    switch (menu) {
    case 1:
        if (input == "1")
            return {1, dataPacks, ucs2, 2};
        if (input == "2")
            return {0, ucs2 ? u"Ваш номер +491710000001" : u"Your number is +491710000001", ucs2, 0};
        return {0, invalid, ucs2, 0};
    case 2:
        if (input == "1" || input == "2")
            return {0, ucs2 ? u"Пакет заказан. Баланс 7,50" : u"Pack booked. Balance 7.50 EUR", ucs2, 0};
        return {0, invalid, ucs2, 0};
    default:
        break;
    }
    if (input == "*100#")
        return {0, u"Balance 12.50 EUR, valid until 31.12.2026", false, 0};
    if (input == "*101#")
        return {1, u"Menu:\n1 Data packs\n2 My number", false, 1};
    if (input == "*102#")
        return {1, u"Меню:\n1 Пакеты данных\n2 Мой номер", true, 1};
    return {4, {}, false, 0};
}

} // namespace

// "+CUSD: <m>,<str>,<dcs>" as the modem writes it under the host's character set: UCS2 text as
// hexadecimal octets; default-alphabet text under "UCS2" as hexadecimal UCS2 and under "HEX" as
// hexadecimal codes, otherwise as its characters, or, when it holds line breaks that would end the
// line, as its packed septets in hexadecimal, as many modems give them.
std::string TSimHandset::ussdLine(int status, const std::u16string &text, bool ucs2) const
{
    if (text.empty())
        return Format("+CUSD: %d", status);
    std::string str;
    if (ucs2) {
        str = StrToHex(WideToUCS2(text));
    } else if (m_cscs == "UCS2") {
        str = StrToHex(WideToUCS2(text));
    } else if (m_cscs == "HEX") {
        str = StrToHex(GSMCodes(text));
    } else if (text.find(u'\n') != std::u16string::npos) {
        str = StrToHex(PackedSeptets(GSMCodes(text)));
    } else {
        for (char16_t c : text)
            str += static_cast<char>(c);
    }
    return Format("+CUSD: %d,\"%s\",%d", status, str.c_str(), ucs2 ? kDCSUCS2 : kDCS7Bit);
}

void TSimHandset::cmdCusd(const TCommand &cmd, TAnswer &a)
{
    int n = 0;
    switch (cmd.kind) {
    case TCommand::Test:
        a.lines.push_back("+CUSD: (0-2)");
        return;
    case TCommand::Read:
        a.lines.push_back(Format("+CUSD: %d", m_cusdMode));
        return;
    case TCommand::Set:
        break;
    default:
        a.final = cmeError(50);
        return;
    }
    if (cmd.params.empty() || cmd.params.size() > 3 || !ParseSimInt(cmd.params[0], n) || n > 2) {
        a.final = cmeError(50);
        return;
    }
    if (n == 2) {
        m_ussdMenu = 0; // the session ends; the presentation setting stays
        return;
    }
    m_cusdMode = n;
    if (cmd.params.size() < 2)
        return;
    int dcs = kDCS7Bit;
    if (cmd.params.size() == 3 && (!ParseSimInt(cmd.params[2], dcs) || dcs > 255)) {
        a.final = cmeError(50);
        return;
    }
    std::string input;
    try {
        input = fromHostText(Unquote(cmd.params[1]));
    } catch (const std::exception &) {
        input.clear(); // not of the character set: refused below
    }
    if (input.empty() || dcs != kDCS7Bit) {
        a.final = cmeError(50);
        return;
    }
    const TUSSDReply reply = Answer(m_ussdMenu, m_ussdUcs2, input);
    m_ussdMenu = reply.menu;
    m_ussdUcs2 = reply.ucs2;
    // The network answers a moment after the handset took the string.
    m_sink.Schedule(m_ussdDelayMs, [this, reply] {
        if (m_cusdMode == 1)
            unsolicited({ussdLine(reply.status, reply.text, reply.ucs2)});
    });
}

} // namespace kestrel
