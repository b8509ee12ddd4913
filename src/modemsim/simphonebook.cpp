// The phonebooks of the virtual handset (TS 27.007 8.11 +CPBS, 8.12 +CPBR, 8.14 +CPBW): "SM" on
// the SIM, small and with the short names of a SIM's alpha field, and "ME" in the handset. Names
// go to and come from the host in its character set (+CSCS), as handsets do; a name the set cannot
// carry is shown with "?" for the characters it lacks.
#include "modemsim/simhandset.h"

#include "base/format.h"
#include "gsm/gsmerror.h"
#include "gsm/phonebook.h"

namespace kestrel {

namespace {

// TS 27.007 9.2 error numbers.
constexpr int kOperationNotAllowed = 3;
constexpr int kMemoryFull = 20;
constexpr int kInvalidIndex = 21;
constexpr int kTextTooLong = 24;
constexpr int kInvalidText = 25;
constexpr int kDialStringTooLong = 26;
constexpr int kInvalidDialString = 27;
constexpr int kIncorrectParameters = 50;

std::string withoutPlus(const std::string &number)
{
    return !number.empty() && number.front() == '+' ? number.substr(1) : number;
}

} // namespace

void TSimHandset::setUpPhonebooks()
{
    // A SIM of ten entries with the 14-octet names of its alpha field; a handset memory of a
    // hundred with longer ones.
    TSimPhonebook &sm = m_phonebooks["SM"];
    sm.capacity = 10;
    sm.numberLength = 20;
    sm.textLength = 14;
    sm.entries[1] = {"+491711234567", 145, u"Anna Schmidt"};
    sm.entries[2] = {"+79161234567", 145, u"Иван"};
    sm.entries[3] = {"0301234567", 129, u"shop@net_1"};
    TSimPhonebook &me = m_phonebooks["ME"];
    me.capacity = 100;
    me.numberLength = 40;
    me.textLength = 24;
    me.entries[1] = {"+491710760333", 145, u"Mailbox"};
    me.entries[2] = {"004917122233344", 129, u"Ольга"};
    me.entries[4] = {"*100#", 129, u"Balance"};
    m_phonebook = "SM";
}

// A name for the host: in its character set, with "?" for each character the set lacks.
std::string TSimHandset::phonebookText(const std::u16string &name) const
{
    const TTECharset charset = TECharsetFromName(m_cscs);
    std::string out;
    for (const QChar c : QString::fromStdU16String(name)) {
        try {
            out += ToTECharset(QString(c), charset, "name");
        } catch (const EGSMError &) {
            out += ToTECharset(QStringLiteral("?"), charset, "name");
        }
    }
    return out;
}

void TSimHandset::cmdCpbs(const TCommand &cmd, TAnswer &a)
{
    switch (cmd.kind) {
    case TCommand::Test:
        a.lines.push_back("+CPBS: (\"SM\",\"ME\")");
        return;
    case TCommand::Read: {
        const TSimPhonebook &book = m_phonebooks.at(m_phonebook);
        a.lines.push_back(
            Format("+CPBS: \"%s\",%zu,%d", m_phonebook.c_str(), book.entries.size(), book.capacity));
        return;
    }
    case TCommand::Set:
        if (cmd.params.size() == 1 && m_phonebooks.count(Unquote(cmd.params[0]))) {
            m_phonebook = Unquote(cmd.params[0]);
            return;
        }
        a.final = cmeError(kOperationNotAllowed);
        return;
    default:
        a.final = cmeError(kIncorrectParameters);
    }
}

void TSimHandset::cmdCpbr(const TCommand &cmd, TAnswer &a)
{
    const TSimPhonebook &book = m_phonebooks.at(m_phonebook);
    if (cmd.kind == TCommand::Test) {
        a.lines.push_back(Format("+CPBR: (1-%d),%d,%d", book.capacity, book.numberLength, book.textLength));
        return;
    }
    int first = 0, last = 0;
    if (cmd.kind != TCommand::Set || cmd.params.empty() || cmd.params.size() > 2 ||
        !ParseSimInt(cmd.params[0], first) || (cmd.params.size() == 2 && !ParseSimInt(cmd.params[1], last))) {
        a.final = cmeError(kIncorrectParameters);
        return;
    }
    if (cmd.params.size() == 1)
        last = first;
    if (first < 1 || last > book.capacity || last < first) {
        a.final = cmeError(kInvalidIndex);
        return;
    }
    for (auto it = book.entries.lower_bound(first); it != book.entries.end() && it->first <= last; ++it)
        a.lines.push_back(
            Format("+CPBR: %d,\"%s\",%d,\"", it->first, it->second.number.c_str(), it->second.type) +
            phonebookText(it->second.name) + "\"");
}

void TSimHandset::cmdCpbw(const TCommand &cmd, TAnswer &a)
{
    TSimPhonebook &book = m_phonebooks.at(m_phonebook);
    if (cmd.kind == TCommand::Test) {
        a.lines.push_back(
            Format("+CPBW: (1-%d),%d,(129,145),%d", book.capacity, book.numberLength, book.textLength));
        return;
    }
    if (cmd.kind != TCommand::Set || cmd.params.empty() || cmd.params.size() > 4) {
        a.final = cmeError(kIncorrectParameters);
        return;
    }
    int index = 0;
    if (!cmd.params[0].empty() && !ParseSimInt(cmd.params[0], index)) {
        a.final = cmeError(kIncorrectParameters);
        return;
    }
    if (!cmd.params[0].empty() && (index < 1 || index > book.capacity)) {
        a.final = cmeError(kInvalidIndex);
        return;
    }
    if (cmd.params.size() == 1) {
        if (index == 0)
            a.final = cmeError(kIncorrectParameters);
        else
            book.entries.erase(index); // an empty place is deleted without complaint
        return;
    }
    TSimPhonebookEntry entry;
    const std::string number = Unquote(cmd.params[1]);
    entry.type = number.starts_with('+') ? 145 : 129;
    if (cmd.params.size() >= 3 && !cmd.params[2].empty() &&
        (!ParseSimInt(cmd.params[2], entry.type) || entry.type > 255)) {
        a.final = cmeError(kIncorrectParameters);
        return;
    }
    const std::string digits = withoutPlus(number);
    if (digits.empty() || digits.find_first_not_of("0123456789*#") != std::string::npos) {
        a.final = cmeError(kInvalidDialString);
        return;
    }
    if (static_cast<int>(digits.size()) > book.numberLength) {
        a.final = cmeError(kDialStringTooLong);
        return;
    }
    // TS 24.008 10.5.4.7: the international type is kept as the "+" of the number.
    entry.number = entry.type == 145 ? "+" + digits : digits;
    if (cmd.params.size() == 4) {
        const std::string raw = Unquote(cmd.params[3]);
        const TTECharset charset = TECharsetFromName(m_cscs);
        const bool hex = charset == TTECharset::UCS2 || charset == TTECharset::HEX;
        if (hex && (raw.size() % (charset == TTECharset::UCS2 ? 4 : 2) != 0 ||
                    raw.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos)) {
            a.final = cmeError(kInvalidText);
            return;
        }
        entry.name = FromTECharset(raw, charset).toStdU16String();
    }
    if (PhonebookTextLength(QString::fromStdU16String(entry.name)) > book.textLength) {
        a.final = cmeError(kTextTooLong);
        return;
    }
    if (index == 0) {
        for (int i = 1; i <= book.capacity && index == 0; ++i)
            if (!book.entries.count(i))
                index = i;
        if (index == 0) {
            a.final = cmeError(kMemoryFull);
            return;
        }
    }
    book.entries[index] = entry;
}

} // namespace kestrel
