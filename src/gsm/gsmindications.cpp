// Lines the handset sends on its own: the line handler's rules, the network registration state,
// and the "AT+CNMI" negotiation of the wanted indications (3GPP TS 27.005 3.4.1).
#include "gsm/gsm.h"

#include "base/convert.h"

namespace kestrel {

namespace {

bool StartsWith(const std::string &s, std::string_view prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

void TGSM::ProcessLine(const std::string &aLine)
{
    // The first rule that takes the line handles it; the rest reach the application.
    static constexpr bool (TGSM::*kRules[])(const std::string &) = {
        &TGSM::handleRegistrationLine,
        &TGSM::handleWindLine,
        &TGSM::handleSignalLine,
    };
    for (auto rule : kRules) {
        if ((this->*rule)(aLine))
            return;
    }
    DoUnsolicitedLine(aLine);
}

// "+CREG: <stat>" reports, and "+CREG: <n>,<stat>" answers to the query (3GPP TS 27.007 7.2);
// a report with location carries the status first and the quoted area code second.
bool TGSM::handleRegistrationLine(const std::string &line)
{
    if (!StartsWith(line, "+CREG: "))
        return false;
    if (line.find('(') != std::string::npos)
        return true; // the test answer lists the modes
    int status;
    if (line.find(',') == std::string::npos) {
        status = StrToInt(std::string_view(line).substr(7));
    } else {
        size_t pos = 7;
        std::string value = ExtractParam(line, pos);
        if (HasParam(line, pos)) {
            std::string second = ExtractParam(line, pos);
            if (second.empty() || second[0] != '"')
                value = second;
        }
        status = StrToInt(value);
    }
    registerStatus(status);
    return true;
}

// Wavecom reports readiness with "+WIND: 4" after the PIN; other +WIND events are ignored.
bool TGSM::handleWindLine(const std::string &line)
{
    if (!Behaviour().windIndications || !StartsWith(line, "+WIND:"))
        return false;
    size_t pos = 6;
    if (StrToInt(ExtractParam(line, pos)) == 4) {
        m_windReady = true;
        SignalReply();
    }
    return true;
}

// The T260 has no +CREG: it counts as registered whenever it reports a signal. Only the first
// parameter is read, so a report with the bit error rate after it converts too.
bool TGSM::handleSignalLine(const std::string &line)
{
    if (!Behaviour().csqRegistration || !StartsWith(line, "+CSQ: ") || line.find('(') != std::string::npos)
        return false;
    size_t pos = 6;
    const int rssi = StrToInt(ExtractParam(line, pos));
    registerStatus(rssi == 99 ? 0 : 1);
    return true;
}

void TGSM::registerStatus(int status)
{
    if (status != m_networkRegistration)
        DoNetworkRegistration(status);
}

void TGSM::DoUnsolicitedLine(const std::string &aLine)
{
    if (OnUnsolicitedLine)
        OnUnsolicitedLine(this, aLine);
}

void TGSM::DoUnsolicitedSMS(int Idx, TSMS *aSMS)
{
    if (OnUnsolicitedSMS)
        OnUnsolicitedSMS(this, Idx, aSMS);
}

void TGSM::DoNetworkRegistration(int aNewStatus)
{
    // During the event NetworkRegistration still holds the previous status.
    if (OnNetworkRegistration)
        OnNetworkRegistration(this, aNewStatus);
    m_networkRegistration = aNewStatus;
}

void TGSM::SetUnsolicitedIndication(TGSMUnsolicitedIndicationSet value)
{
    if (Active() && value != m_unsolicitedIndication) {
        BeginBusy();
        try {
            value &= static_cast<TGSMUnsolicitedIndicationSet>(~SetupIndications(value));
        } catch (...) {
            EndBusy();
            throw;
        }
        EndBusy();
    }
    m_unsolicitedIndication = value;
}

TGSMUnsolicitedIndicationSet TGSM::SetupIndications(TGSMUnsolicitedIndicationSet Value)
{
    constexpr uint8_t kQuery = kWaitResult | kWaitReply | kPrefixedReply;
    // A handset that answers a query with its final result alone supports (or reports) nothing:
    // every parameter then keeps its current value and the wanted indications count as refused.
    std::vector<std::string> lines;
    CheckResult(ExecCommand("AT+CNMI=?", kQuery, &lines));
    const std::string ranges = lines.empty() ? std::string() : lines.front();
    lines.clear();
    CheckResult(ExecCommand("AT+CNMI?", kQuery, &lines));
    const std::string current = lines.empty() ? std::string() : lines.front();

    size_t rangePos = 0;
    size_t currentPos = 0;
    TGSMUnsolicitedIndicationSet failed = 0;
    const bool onlyIndication = Value & Bit(uindOnlyIndication);
    std::string command = "AT+CNMI=";

    // Picks the first supported candidate (-1 ends the list), or keeps the current value.
    auto choose = [&](std::initializer_list<int> candidates, bool wanted, TGSMUnsolicitedIndication member) {
        const std::bitset<256> supported = ParseRangeSet(ranges, rangePos);
        const std::string keep = ExtractParam(current, currentPos);
        std::string value;
        if (!wanted) {
            value = "0";
        } else {
            for (int c : candidates) {
                if (c >= 0 && supported.test(static_cast<size_t>(c))) {
                    value = std::to_string(c);
                    break;
                }
            }
            if (value.empty()) {
                value = keep;
                failed |= Bit(member);
            }
        }
        if (command.back() != '=')
            command += ",";
        command += value;
    };

    // <mode>: buffer indications while the link is busy, where possible.
    choose({2, 1, 0, 3}, true, uindOnlyIndication);
    // <mt>: storage indications (1) or direct routing (2, else 3) of deliveries.
    if (onlyIndication)
        choose({1}, Value & Bit(uindSMSDeliver), uindSMSDeliver);
    else
        choose({2, 3}, Value & Bit(uindSMSDeliver), uindSMSDeliver);
    // <bm>: cell broadcasts.
    if (onlyIndication)
        choose({1, 2}, Value & Bit(uindCellBroadcast), uindCellBroadcast);
    else
        choose({2, 3}, Value & Bit(uindCellBroadcast), uindCellBroadcast);
    // <ds>: status reports, routed (1) unless only indications are wanted, else indicated (2).
    if (onlyIndication)
        choose({2}, Value & Bit(uindSMSStatusReport), uindSMSStatusReport);
    else
        choose({1, 2}, Value & Bit(uindSMSStatusReport), uindSMSStatusReport);
    // <bfr>: flush buffered indications to the host.
    choose({1, 0}, true, uindOnlyIndication);

    CheckResult(ExecCommand(command, kWaitResult));
    return failed & static_cast<TGSMUnsolicitedIndicationSet>(~Bit(uindOnlyIndication));
}

} // namespace kestrel
