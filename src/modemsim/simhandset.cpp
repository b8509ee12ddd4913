#include "modemsim/simhandset.h"

#include "base/format.h"
#include "connect/connection.h"
#include "gsm/tpdufields.h"

#include <cctype>
#include <utility>

namespace kestrel {

namespace {

// Longest command line the handset keeps; longer lines are answered with ERROR.
constexpr size_t kMaxLine = 560;
// Longest data part (a PDU of 176 octets in hex, or a text body) plus room for an SCA field.
constexpr size_t kMaxData = 1024;

constexpr char kCtrlZ = 0x1A;
constexpr char kEscape = 0x1B;

std::string upper(std::string_view text)
{
    std::string s(text);
    for (auto &c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

} // namespace

std::vector<std::string> SplitAtParams(std::string_view text)
{
    std::vector<std::string> out;
    auto trimmed = [](std::string_view s) {
        while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
            s.remove_prefix(1);
        while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
            s.remove_suffix(1);
        return std::string(s);
    };
    if (text.empty())
        return out;
    bool quoted = false;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"')
            quoted = !quoted;
        else if (text[i] == ',' && !quoted) {
            out.push_back(trimmed(text.substr(start, i - start)));
            start = i + 1;
        }
    }
    out.push_back(trimmed(text.substr(start)));
    return out;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(text[i])) !=
            std::toupper(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

std::string Unquote(std::string_view text)
{
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
        return std::string(text.substr(1, text.size() - 2));
    return std::string(text);
}

bool ParseSimInt(std::string_view text, int &value)
{
    if (text.empty() || text.size() > 9)
        return false;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    value = v;
    return true;
}

TSimHandset::TSimHandset(const TModemSimulatorOptions &options, const TModemProfile &profile,
                         TSimHandsetSink &sink)
    : m_options(options), m_profile(profile), m_sink(sink), m_pin(options.pin), m_puk(options.puk),
      m_sca(options.sca), m_registration(options.registration), m_rssi(options.rssi)
{
    m_ussdDelayMs = options.ussdDelayMs;
    if (!m_puk.empty())
        m_sim = TSimState::Puk;
    else if (!m_pin.empty())
        m_sim = TSimState::Pin;
    m_service = profile.messageService;
    m_storages["SM"].capacity = options.storageCapacity > 0 ? options.storageCapacity : profile.smCapacity;
    m_storages["ME"].capacity = options.storageCapacity > 0 ? options.storageCapacity : profile.meCapacity;
    m_storages["BM"].capacity = 10; // cell broadcast pages kept for +CBMI
    if (profile.srStorage)
        m_storages["SR"].capacity = profile.meCapacity;
    // The Nokia 6650 receives into whichever of its storages has room.
    if (profile.combinedMT)
        m_mem[2] = "MT";
    m_reportedRegistration = effectiveRegistration();
    m_reportedSignal = reportedSignal();
    setUpPhonebooks();
    reset();
}

void TSimHandset::reset()
{
    m_echo = true;
    m_verbose = true;
    m_quiet = false;
    m_cmee = 0;
    m_cregMode = 0;
    m_ceregMode = 0;
    m_c5gregMode = 0;
    m_cmgf = m_profile.pduMode ? 0 : 1;
    m_csdh = 0;
    m_csmpFo = 17;
    m_csmpVp = 167;
    m_csmpPid = 0;
    m_csmpDcs = 0;
    auto current = SplitAtParams(m_profile.cnmiDefault);
    for (size_t i = 0; i < m_cnmi.size(); ++i)
        m_cnmi[i] = i < current.size() ? std::atoi(current[i].c_str()) : 0;
}

void TSimHandset::BeginRestart()
{
    m_off = true;
    m_switchingOff = false;
    m_line.clear();
    m_lineOverflow = false;
    m_dataMode = false;
    m_data.clear();
    m_unacknowledged.clear();
    m_ackedCount = m_routedCount; // no acknowledgement timer outlives the restart
}

void TSimHandset::EndRestart()
{
    m_off = false;
    m_service = m_profile.messageService;
    reset();
    if (m_sim == TSimState::Ready && !m_pin.empty())
        m_sim = TSimState::Pin;
}

void TSimHandset::Receive(std::string_view bytes)
{
    for (char c : bytes) {
        if (m_off)
            return;
        if (m_dataMode) {
            if (c == kCtrlZ || c == kEscape) {
                dataReceived(c == kEscape);
            } else if (m_data.size() < kMaxData) {
                m_data += c;
            }
            continue;
        }
        if (c == '\r') {
            std::string line;
            line.swap(m_line);
            if (m_lineOverflow) {
                m_lineOverflow = false;
                m_sink.Received(line.substr(0, 40) + "...", false);
                if (!m_silent)
                    m_sink.Send((m_echo ? line + "\r" : std::string()) +
                                    frame(TAnswer{{}, "ERROR", false}, true),
                                {"ERROR"}, true);
                continue;
            }
            lineReceived(line);
        } else if (c == '\b') {
            if (!m_line.empty())
                m_line.pop_back();
        } else if (static_cast<unsigned char>(c) >= 0x20) {
            if (m_line.size() < kMaxLine)
                m_line += c;
            else
                m_lineOverflow = true;
        }
        // LF and other control characters between commands are ignored.
    }
}

void TSimHandset::lineReceived(const std::string &line)
{
    bool isCommand = StartsWithNoCase(line, "AT");
    if (line.empty())
        return;
    m_sink.Received(line, isCommand);
    if (m_silent)
        return;
    std::string echo = m_echo ? line + "\r" : std::string();
    if (!isCommand) {
        // A handset ignores text that is not a command, apart from echoing it.
        if (!echo.empty())
            m_sink.Send(echo, {}, true);
        return;
    }
    TAnswer answer;
    if (m_failTimes > 0 && StartsWithNoCase(line, m_failPrefix)) {
        answer.final = m_failNext;
        --m_failTimes;
    } else {
        std::vector<TCommand> commands;
        if (!parseCommands(std::string_view(line).substr(2), commands)) {
            answer.final = "ERROR";
        } else {
            for (const auto &cmd : commands) {
                execute(cmd, answer);
                if (answer.final != "OK" || answer.prompt)
                    break;
            }
        }
    }
    if (answer.prompt) {
        m_dataMode = true;
        m_data.clear();
        m_dataCommand = line;
        std::vector<std::string> lines = answer.lines;
        lines.push_back("> ");
        m_sink.Send(echo + frame(answer, false) + "\r\n> ", lines, true);
        return;
    }
    std::vector<std::string> lines = answer.lines;
    if (!m_quiet)
        lines.push_back(answer.final);
    sendAnswer(line, echo + frame(answer, true), lines);
    if (m_switchingOff) {
        m_switchingOff = false;
        m_off = true;
    }
}

void TSimHandset::sendAnswer(const std::string &command, const std::string &bytes,
                             const std::vector<std::string> &lines)
{
    if (m_delayMs <= 0 || !StartsWithNoCase(command, m_delayPrefix)) {
        m_sink.Send(bytes, lines, true);
        return;
    }
    const int delay = std::exchange(m_delayMs, 0);
    m_sink.Schedule(delay, [this, bytes, lines] { m_sink.Send(bytes, lines, true); });
}

bool TSimHandset::parseCommands(std::string_view text, std::vector<TCommand> &out) const
{
    size_t i = 0;
    auto isDigit = [&](size_t k) { return k < text.size() && text[k] >= '0' && text[k] <= '9'; };
    while (i < text.size()) {
        if (text[i] == ' ' || text[i] == ';') {
            ++i;
            continue;
        }
        TCommand cmd;
        char c = text[i];
        if (c == '+' || c == '^' || c == '%' || c == '$' || c == '*') {
            size_t start = i++;
            while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_'))
                ++i;
            cmd.name = upper(text.substr(start, i - start));
            if (text.substr(i, 2) == "=?") {
                cmd.kind = TCommand::Test;
                i += 2;
            } else if (i < text.size() && text[i] == '?') {
                cmd.kind = TCommand::Read;
                ++i;
            } else if (i < text.size() && text[i] == '=') {
                cmd.kind = TCommand::Set;
                size_t argStart = ++i;
                bool quoted = false;
                while (i < text.size() && (quoted || text[i] != ';')) {
                    if (text[i] == '"')
                        quoted = !quoted;
                    ++i;
                }
                cmd.args = std::string(text.substr(argStart, i - argStart));
                cmd.params = SplitAtParams(cmd.args);
            }
            // Anything but ";" or the end after an extended command is a syntax error.
            if (i < text.size() && text[i] != ';')
                return false;
        } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '&') {
            size_t start = i;
            if (c == '&')
                ++i;
            if (i >= text.size() || !std::isalpha(static_cast<unsigned char>(text[i])))
                return false;
            ++i;
            cmd.name = upper(text.substr(start, i - start));
            if (cmd.name == "D") {
                // Dialling takes the rest of the line.
                cmd.args = std::string(text.substr(i));
                i = text.size();
            } else if (cmd.name == "S") {
                size_t regStart = i;
                while (isDigit(i))
                    ++i;
                cmd.args = std::string(text.substr(regStart, i - regStart));
                if (i < text.size() && text[i] == '?') {
                    cmd.kind = TCommand::Read;
                    ++i;
                } else if (i < text.size() && text[i] == '=') {
                    cmd.kind = TCommand::Set;
                    size_t valStart = ++i;
                    while (isDigit(i))
                        ++i;
                    cmd.params.emplace_back(text.substr(valStart, i - valStart));
                } else {
                    return false;
                }
            } else {
                size_t argStart = i;
                while (isDigit(i))
                    ++i;
                cmd.args = std::string(text.substr(argStart, i - argStart));
            }
        } else {
            return false;
        }
        out.push_back(std::move(cmd));
    }
    return true;
}

void TSimHandset::execute(const TCommand &cmd, TAnswer &answer)
{
    const auto &table = handlers();
    auto it = table.find(cmd.name);
    if (it == table.end()) {
        answer.final = cmd.name.size() > 1 ? cmeError(4) : "ERROR";
        return;
    }
    if (it->second.needs != TNeeds::Nothing && m_sim != TSimState::Ready) {
        bool cms = it->second.needs == TNeeds::SimCms;
        switch (m_sim) {
        case TSimState::Pin:
            answer.final = cms ? cmsError(311) : cmeError(11);
            break;
        case TSimState::Puk:
            answer.final = cms ? cmsError(316) : cmeError(12);
            break;
        default:
            answer.final = cms ? cmsError(310) : cmeError(13);
            break;
        }
        return;
    }
    (this->*(it->second.handler))(cmd, answer);
}

std::string TSimHandset::frame(const TAnswer &answer, bool withFinal) const
{
    std::string out;
    if (m_verbose) {
        if (!answer.lines.empty()) {
            out += "\r\n";
            for (const auto &l : answer.lines)
                out += l + "\r\n";
        }
        if (withFinal && !m_quiet)
            out += "\r\n" + answer.final + "\r\n";
    } else {
        // Numeric responses (ATV0): text lines end with CR LF, result codes are digits and CR.
        for (const auto &l : answer.lines)
            out += l + "\r\n";
        if (withFinal && !m_quiet) {
            if (answer.final == "OK")
                out += "0\r";
            else if (answer.final == "ERROR")
                out += "4\r";
            else if (answer.final == "NO CARRIER")
                out += "3\r";
            else
                out += answer.final + "\r";
        }
    }
    return out;
}

void TSimHandset::unsolicited(const std::vector<std::string> &lines)
{
    if (m_off || m_silent)
        return;
    std::string out;
    for (const auto &l : lines)
        out += "\r\n" + l + "\r\n";
    m_sink.Send(out, lines, false);
}

void TSimHandset::SendUnsolicited(const std::string &line)
{
    unsolicited({line});
}

std::string TSimHandset::cmeError(int code) const
{
    // TS 27.007 9.2: numeric with +CMEE=1, verbose with 2, plain ERROR otherwise.
    static const std::map<int, const char *> texts = {
        {3, "operation not allowed"}, {4, "operation not supported"},
        {10, "SIM not inserted"},     {11, "SIM PIN required"},
        {12, "SIM PUK required"},     {13, "SIM failure"},
        {16, "incorrect password"},   {20, "memory full"},
        {21, "invalid index"},        {22, "not found"},
        {24, "text string too long"}, {25, "invalid characters in text string"},
        {26, "dial string too long"}, {27, "invalid characters in dial string"},
        {50, "Incorrect parameters"}, {100, "unknown"}};
    if (m_cmee == 1)
        return Format("+CME ERROR: %d", code);
    if (m_cmee == 2) {
        auto it = texts.find(code);
        return it != texts.end() ? std::string("+CME ERROR: ") + it->second : Format("+CME ERROR: %d", code);
    }
    return "ERROR";
}

std::string TSimHandset::cmsError(int code)
{
    // TS 27.005 3.2.5: message service failures always report their number.
    return Format("+CMS ERROR: %d", code);
}

int TSimHandset::effectiveRegistration() const
{
    return m_sim == TSimState::Ready ? m_registration : 0;
}

int TSimHandset::reportedSignal() const
{
    // The T260 shows no signal (99) while it has no network: its host reads registration from
    // the signal alone.
    if (m_profile.csqReports) {
        int status = effectiveRegistration();
        if (status != 1 && status != 5)
            return 99;
    }
    return m_rssi;
}

void TSimHandset::registrationMaybeChanged()
{
    int status = effectiveRegistration();
    if (status == m_reportedRegistration)
        return;
    int signalBefore = m_reportedSignal;
    m_reportedRegistration = status;
    m_reportedSignal = reportedSignal();
    if (m_profile.csqReports && m_reportedSignal != signalBefore)
        unsolicited({Format("+CSQ: %d,99", m_reportedSignal)});
    if (m_profile.creg && !m_options.lteOnly)
        reportRegistration("+CREG", m_cregMode, status);
    if (m_profile.cereg)
        reportRegistration("+CEREG", m_ceregMode, status);
    if (m_profile.c5greg)
        reportRegistration("+C5GREG", m_c5gregMode, status);
}

void TSimHandset::reportRegistration(const char *name, int mode, int status)
{
    if (mode == 1)
        unsolicited({Format("%s: %d", name, status)});
    else if (mode == 2)
        unsolicited({status == 1 || status == 5 ? Format("%s: %d,\"00C3\",\"1A2B\"", name, status)
                                                : Format("%s: %d", name, status)});
}

std::string TSimHandset::toHostText(const std::string &text) const
{
    if (m_cscs == "HEX")
        return StrToHex(TextToGSM(text));
    if (m_cscs != "UCS2")
        return text;
    std::u16string wide;
    for (char c : text)
        wide += static_cast<char16_t>(static_cast<unsigned char>(c));
    return StrToHex(WideToUCS2(wide));
}

std::string TSimHandset::fromHostText(const std::string &text) const
{
    if (m_cscs == "HEX") {
        try {
            return GSMToText(HexToStr(text));
        } catch (const std::exception &) {
            return {}; // not hexadecimal: no text
        }
    }
    if (m_cscs != "UCS2")
        return text;
    // Characters beyond Latin-1 have no place in the handset's 8-bit text.
    std::string latin1;
    for (char16_t c : UCS2ToWide(HexToStr(text)))
        latin1 += c < 0x100 ? static_cast<char>(c) : '?';
    return latin1;
}

void TSimHandset::SetRegistration(int status)
{
    m_registration = status;
    registrationMaybeChanged();
}

void TSimHandset::SetSignal(int rssi)
{
    m_rssi = rssi;
    // The T260 reports its signal on its own; the host derives registration from it.
    if (m_profile.csqReports && reportedSignal() != m_reportedSignal) {
        m_reportedSignal = reportedSignal();
        unsolicited({Format("+CSQ: %d,99", m_reportedSignal)});
    }
}

void TSimHandset::simBecameReady()
{
    m_sim = TSimState::Ready;
    m_pinAttempts = 3;
    m_pukAttempts = 10;
    // Wavecom reports readiness once the SIM is usable: +WIND: 3 (AT commands except phone
    // book and SMS) and +WIND: 4 (all commands), each when enabled in the +WIND mask.
    if (m_profile.wind && (m_windMask & 0x0C)) {
        m_sink.Schedule(50, [this] {
            std::vector<std::string> lines;
            if (m_windMask & 0x04)
                lines.push_back("+WIND: 3");
            if (m_windMask & 0x08)
                lines.push_back("+WIND: 4");
            if (!lines.empty())
                unsolicited(lines);
        });
    }
    m_sink.Schedule(20, [this] { registrationMaybeChanged(); });
}

} // namespace kestrel
