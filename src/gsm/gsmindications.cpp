// Lines the handset sends on its own: the line handler's rules, the network registration state,
// and the "AT+CNMI" negotiation of the wanted indications (3GPP TS 27.005 3.4.1).
#include "gsm/gsm.h"

#include "base/convert.h"
#include "gsm/tpdufields.h"

#include <algorithm>
#include <utility>

namespace kestrel {

namespace {

bool StartsWith(const std::string &s, std::string_view prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

// A PDU body line is taken up to its CR, at most kPDULineLength characters: one that fills the
// whole length is no message, and the rest of it is discarded by the line parser.
constexpr size_t kPDUBodyLength = kPDULineLength;

// Empties a text when the scope ends, whatever ends it.
struct TClearAfter {
    std::string &text;
    ~TClearAfter() { text.clear(); }
};

} // namespace

void TGSM::ProcessLine(const std::string &aLine)
{
    // The first rule that takes the line handles it; the rest reach the application.
    static constexpr bool (TGSM::*kRules[])(const std::string &) = {
        &TGSM::handleRestartLine,
        &TGSM::handlePendingBody,
        &TGSM::handleRegistrationLine,
        &TGSM::handleWindLine,
        &TGSM::handleSignalLine,
        &TGSM::handleStorageIndication,
        &TGSM::handleT260StatusIndication,
        &TGSM::handleDeliverHeader,
        &TGSM::handleStatusReportHeader,
        &TGSM::handleBroadcastHeader,
        &TGSM::handleUSSDLine,
    };
    // The answers of commands come here too, once they finished: the line after a stored
    // message's header is that message's text, whatever it reads like.
    m_lineIsMessageText =
        std::exchange(m_nextIsMessageText, StartsWith(aLine, "+CMGR:") || StartsWith(aLine, "+CMGL:"));
    for (auto rule : kRules) {
        if ((this->*rule)(aLine))
            return;
    }
    DoUnsolicitedLine(aLine);
}

// "+CREG: <stat>" reports, and "+CREG: <n>,<stat>" answers to the query (3GPP TS 27.007 7.2);
// a report with location carries the status first and the quoted area code second. "+CEREG"
// (10.1.22) and "+C5GREG" (10.1.56) have the same form, for the modems that register on LTE and 5G.
bool TGSM::handleRegistrationLine(const std::string &line)
{
    static constexpr std::string_view kPrefixes[] = {"+CREG: ", "+CEREG: ", "+C5GREG: "};
    const size_t known = Behaviour().registration == TRegistrationQuery::CregCeregC5greg ? 3 : 1;
    size_t technology = 0;
    while (technology < known && !StartsWith(line, kPrefixes[technology]))
        ++technology;
    if (technology == known)
        return false;
    if (line.find('(') != std::string::npos)
        return true; // the test answer lists the modes
    size_t pos = kPrefixes[technology].size();
    std::string value = ExtractParam(line, pos);
    if (HasParam(line, pos)) {
        std::string second = ExtractParam(line, pos);
        if (!second.empty() && second[0] != '"')
            value = second;
    }
    m_registrationByTechnology[technology] = StrToInt(value);
    registerStatus(known == 1 ? m_registrationByTechnology[0]
                              : CombinedRegistration(m_registrationByTechnology));
    return true;
}

int CombinedRegistration(const std::array<int, 3> &byTechnology)
{
    // TS 27.007 7.2: 6 and 9 are registered at home (for SMS only, or without circuit-switched
    // fallback), 7 and 10 the same while roaming.
    auto registeredAs = [](int stat) {
        switch (stat) {
        case 1:
        case 6:
        case 9:
            return 1;
        case 5:
        case 7:
        case 10:
            return 5;
        default:
            return 0;
        }
    };
    for (int wanted : {1, 5})
        for (int stat : byTechnology)
            if (registeredAs(stat) == wanted)
                return wanted;
    for (int stat : byTechnology)
        if (stat >= 0)
            return stat;
    return 0;
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

// The body line of a directly routed message whose header came before.
bool TGSM::handlePendingBody(const std::string &line)
{
    if (!m_pendingSMS)
        return false;
    // Freed whatever the event or the acknowledgement does.
    std::unique_ptr<TSMS> sms = std::move(m_pendingSMS);
    const bool text = m_smsFormat == kSMSFormatText;
    if (!text)
        CheckPDULine(line);
    const TClearAfter scope{m_routedRaw}; // valid for the event only
    m_routedRaw = text ? m_pendingHeader + "\r\n" + line : line;
    if (auto *cb = dynamic_cast<TCellBroadcast *>(sms.get())) {
        if (text)
            cb->Content = line;
        else
            cb->SetPDU(line);
        DoUnsolicitedSMS(-1, cb);
    } else {
        auto *sms2 = static_cast<TSMS2 *>(sms.get());
        if (text && dynamic_cast<TSMSDeliver *>(sms2))
            sms2->UserData = textModeData(*sms2, line);
        else
            sms2->SetPDU(line);
        try {
            DoUnsolicitedSMS(-1, sms2);
            AcknowledgeMessage();
        } catch (...) {
            watchRouting();
            throw;
        }
    }
    return true;
}

// "+CMTI: <mem>,<index>" and its kin for broadcasts and status reports (TS 27.005 3.4.1): the
// message waits in the storage, the application reads it.
bool TGSM::handleStorageIndication(const std::string &line)
{
    if (!StartsWith(line, "+CMTI:") && !StartsWith(line, "+CBMI:") && !StartsWith(line, "+CDSI:"))
        return false;
    size_t pos = 7;
    std::string storage = ExtractParam(line, pos);
    int index = StrToInt(ExtractParam(line, pos));
    // The storage goes back to the modem as a string parameter, whatever form it came in.
    if (!storage.empty() && storage.front() != '"')
        storage = "\"" + storage + "\"";
    if (Behaviour().combinedMTStorage && storage == "\"MT\"") {
        // One numbering over both storages: the phone's own messages come after the SIM's ten.
        if (index > 10) {
            storage = "\"ME\"";
            index -= 10;
        } else {
            storage = "\"SM\"";
        }
    }
    SelectMemory(storage);
    DoUnsolicitedSMS(index, nullptr);
    return true;
}

// The T260 indicates a stored status report as "+CDS: <mem>,<index>".
bool TGSM::handleT260StatusIndication(const std::string &line)
{
    if (!Behaviour().cdsStorageIndication || !StartsWith(line, "+CDS:"))
        return false;
    size_t pos = 6;
    SelectMemory(ExtractParam(line, pos));
    const int index = StrToInt(ExtractParam(line, pos));
    DoUnsolicitedSMS(index, nullptr);
    return true;
}

// "+CMT:" heads a directly routed delivery; its body is the next line. The header is read whole
// before the message becomes pending, so a malformed one leaves nothing half set up.
bool TGSM::handleDeliverHeader(const std::string &line)
{
    if (!StartsWith(line, "+CMT:"))
        return false;
    m_pendingSMS.reset();
    SetPendingBodyLength(0);
    auto sms = std::make_unique<TSMSDeliver>();
    sms->GSM = this;
    m_pendingHeader = line;
    size_t pos = 6;
    size_t bodyLength = 0;
    if (m_smsFormat == kSMSFormatText) {
        // +CMT: <oa>,[<alpha>],<scts>[,<tooa>,<fo>,<pid>,<dcs>,<sca>,<tosca>,<length>]
        sms->OA = Dequote(ExtractParam(line, pos));
        ExtractParam(line, pos);
        sms->SCTS =
            ParseTimeStamp(Dequote(ExtractParam(line, pos)), sms->TimeZone, "service centre time stamp");
        if (HasParam(line, pos)) {
            ExtractParam(line, pos);
            sms->FirstOctet = static_cast<uint8_t>(StrToInt(ExtractParam(line, pos)));
            sms->PID = static_cast<uint8_t>(StrToInt(ExtractParam(line, pos)));
            sms->DCS = static_cast<uint8_t>(StrToInt(ExtractParam(line, pos)));
            ExtractParam(line, pos);
            ExtractParam(line, pos);
            // A length beyond any line is bounded like every line.
            bodyLength =
                std::min(static_cast<size_t>(std::max(0, StrToInt(ExtractParam(line, pos)))), kMaxLineLength);
            // Hexadecimal data (UCS2, 8-bit, a header) holds no line end, and current modems
            // count its octets rather than its characters: the body is the line.
            if (Behaviour().ucs2Text && (!sms->SevenBit() || sms->FirstOctetBit(6)))
                bodyLength = kMaxLineLength;
        }
    } else {
        bodyLength = kPDUBodyLength;
    }
    m_pendingSMS = std::move(sms);
    SetPendingBodyLength(bodyLength);
    return true;
}

// "+CDS:" routes a status report: whole on the line in text mode, a PDU line after it otherwise.
bool TGSM::handleStatusReportHeader(const std::string &line)
{
    if (!StartsWith(line, "+CDS:"))
        return false;
    m_pendingSMS.reset();
    SetPendingBodyLength(0);
    auto report = std::make_unique<TSMSStatusReport>();
    report->GSM = this;
    if (m_smsFormat != kSMSFormatText) {
        m_pendingSMS = std::move(report);
        SetPendingBodyLength(kPDUBodyLength);
        return true;
    }
    size_t pos = 6;
    ReadTextStatusReport(*report, line, pos);
    const TClearAfter scope{m_routedRaw};
    m_routedRaw = line;
    try {
        DoUnsolicitedSMS(-1, report.get());
        AcknowledgeMessage();
    } catch (...) {
        watchRouting();
        throw;
    }
    return true;
}

// "+CBM:" heads a routed cell broadcast page; its body is the next line.
bool TGSM::handleBroadcastHeader(const std::string &line)
{
    if (!StartsWith(line, "+CBM:"))
        return false;
    m_pendingSMS.reset();
    SetPendingBodyLength(0);
    auto cb = std::make_unique<TCellBroadcast>();
    cb->GSM = this;
    m_pendingHeader = line;
    size_t bodyLength = 0;
    if (m_smsFormat == kSMSFormatText) {
        // +CBM: <sn>,<mid>,<dcs>,<page>,<pages>
        size_t pos = 6;
        const int serial = StrToInt(ExtractParam(line, pos));
        cb->SerialHigh = static_cast<uint8_t>((cb->SerialHigh & 0xC0) | ((serial >> 4) & 0x3F));
        cb->SerialLow = static_cast<uint8_t>((cb->SerialLow & 0x0F) | ((serial & 0x0F) << 4));
        cb->MessageId = static_cast<uint16_t>(StrToInt(ExtractParam(line, pos)));
        cb->DCS = static_cast<uint8_t>(StrToInt(ExtractParam(line, pos)));
        const int page = StrToInt(ExtractParam(line, pos));
        const int pages = StrToInt(ExtractParam(line, pos));
        cb->PageParameter = static_cast<uint8_t>(((page & 0x0F) << 4) | (pages & 0x0F));
    } else {
        bodyLength = kPDUBodyLength;
    }
    m_pendingSMS = std::move(cb);
    SetPendingBodyLength(bodyLength);
    return true;
}

void TGSM::AcknowledgeMessage()
{
    if (m_messageService >= 1)
        CheckResult(ExecCommand("AT+CNMA", kPrefixedReply));
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
    m_indicationsSet = command.substr(command.find('=') + 1);
    return failed & static_cast<TGSMUnsolicitedIndicationSet>(~Bit(uindOnlyIndication));
}

} // namespace kestrel
