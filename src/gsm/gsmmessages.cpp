// The message operations of TGSM: sending, reading, listing and deleting stored messages and
// selecting the storage (3GPP TS 27.005 3.4, 3.5), in PDU mode or in text mode.
#include "gsm/gsm.h"

#include "base/convert.h"
#include "base/format.h"
#include "gsm/tpdufields.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace kestrel {

const std::array<const char *, 5> SMSStatusNames = {"REC UNREAD", "REC READ", "STO UNSENT", "STO SENT",
                                                    "ALL"};

namespace {

constexpr uint8_t kSendFlags = kWaitResult | kWaitReply | kWaitFinal | kWaitPrompt | kPrefixedReply;
constexpr uint8_t kReadFlags = kWaitResult | kWaitReply;

bool StartsWith(const std::string &s, std::string_view prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

// The index of a text-mode status word, -1 for an unknown one.
int StatusOfWord(const std::string &word)
{
    for (size_t i = 0; i < SMSStatusNames.size(); ++i)
        if (word == SMSStatusNames[i])
            return static_cast<int>(i);
    return -1;
}

// The text-mode validity field for a submit's validity-period format (TS 23.040 9.2.3.3).
std::string ValidityText(const TSMSSubmit &sms)
{
    switch (sms.FirstOctetField(3)) {
    case 2:
        return std::to_string(EncodeRelativeVP(sms.VP));
    case 3:
        return "\"" + FormatTimeStamp(sms.VP, sms.VPTimeZone) + "\"";
    default:
        return {};
    }
}

// The text-mode body of a read answer: the lines after the header joined with LF until the
// announced length is reached; without a length, the first line alone.
std::string TextBody(const std::vector<std::string> &lines, size_t length)
{
    std::string body;
    for (size_t i = 1; i < lines.size(); ++i) {
        body += lines[i];
        if (body.size() >= length)
            break;
        if (i + 1 < lines.size())
            body += '\n';
    }
    return body;
}

} // namespace

void CheckPDULine(const std::string &line)
{
    if (line.size() >= kPDULineLength)
        GSMErrorFmt(SPDULineTooLong, static_cast<unsigned>(kPDULineLength));
    if (line.size() % 2 != 0)
        GSMErrorFmt(SOddPDULine, static_cast<unsigned>(line.size()));
}

bool IsTextStatusReportField(std::string_view field)
{
    // The first octet of an SMS-STATUS-REPORT: message type indicator 10 (TS 23.040 9.2.3.1).
    const std::optional<long long> fo = field.empty() ? std::nullopt : TryStrToInt64(field);
    return fo && *fo >= 0 && *fo <= 255 && (*fo & 0x03) == 0x02;
}

void ReadTextStatusReport(TSMSStatusReport &Report, std::string_view Params, size_t &Pos)
{
    Report.FirstOctet = static_cast<uint8_t>(StrToInt(ExtractParam(Params, Pos)));
    Report.MR = static_cast<uint8_t>(StrToInt(ExtractParam(Params, Pos)));
    Report.RA = Dequote(ExtractParam(Params, Pos));
    ExtractParam(Params, Pos); // type of address
    Report.SCTS =
        ParseTimeStamp(Dequote(ExtractParam(Params, Pos)), Report.TimeZone, "service centre time stamp");
    Report.DischargeTime =
        ParseTimeStamp(Dequote(ExtractParam(Params, Pos)), Report.DischargeZone, "discharge time");
    Report.Status = static_cast<uint8_t>(StrToInt(ExtractParam(Params, Pos)));
}

void TGSM::pauseMs(int ms) const
{
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int TGSM::GetTPDULength(const TSMS &SMS) const
{
    return CMGSLength(m_equipment, SMS.GetPDU().size());
}

namespace {

// The message reference of a "+CMGS:" answer, -1 when it names none.
int referenceOf(const std::vector<std::string> &lines)
{
    if (!lines.empty()) {
        size_t pos = 0;
        if (auto reference = TryStrToInt64(ExtractParam(lines.front(), pos)))
            return static_cast<int>(*reference);
    }
    return -1;
}

} // namespace

int TGSM::SendSMS(const TSMS &SMS)
{
    const auto *submit = dynamic_cast<const TSMSSubmit *>(&SMS);
    const auto *command = dynamic_cast<const TSMSCommand *>(&SMS);
    if (!submit && !command)
        GSMError(SSMSTypeNotSupported);
    std::vector<std::string> lines;
    m_sendDataWritten = false;
    // The acceptance is told at the "+CMGS:" answer of the send itself (not at AT+CSMP's).
    struct TAfterAnswer {
        std::function<void()> &hook;
        ~TAfterAnswer() { hook = nullptr; }
    } afterAnswer{m_afterAnswer};
    auto accepted = [this, &lines] { DoSMSAccepted(referenceOf(lines)); };
    if (m_smsFormat == kSMSFormatText) {
        if (!submit)
            GSMError(SSMSTypeNotSupported);
        sendTextMessage(*submit, lines, accepted);
    } else {
        m_afterAnswer = accepted;
        ExecCommand(Format("AT+CMGS=%d>%s", GetTPDULength(SMS), SMS.GetPDU().c_str()), kSendFlags, &lines);
    }
    pauseMs(Behaviour().sendPauseMs);
    return referenceOf(lines);
}

void TGSM::sendTextMessage(const TSMSSubmit &submit, std::vector<std::string> &lines,
                           const std::function<void()> &accepted)
{
    const bool hexData = Behaviour().ucs2Text && (!submit.SevenBit() || submit.FirstOctetBit(6));
    // TS 27.005 3.1 <data>: a header or an alphabet other than the default one travels as
    // hexadecimal octets; for 7-bit codes behind a header current modems disagree on what those
    // octets are, so such a message goes in PDU mode only.
    if (hexData && submit.SevenBit())
        GSMError(SSMSTypeNotSupported);
    const bool ucs2 = hexData && SMSAlphabet(submit.DCS) == TDCSAlphabet::daUCS2;
    uint8_t firstOctet = submit.FirstOctet;
    // These handsets need to be told that a (relative) period follows, even an empty one.
    if (submit.FirstOctetField(3) == 0 && Behaviour().textRelativeValidity)
        firstOctet = static_cast<uint8_t>((firstOctet & ~0x18) | 0x10);
    CheckResult(ExecCommand(
        Format("AT+CSMP=%d,%s,%d,%d", firstOctet, ValidityText(submit).c_str(), submit.PID, submit.DCS),
        kWaitResult));
    std::string address = submit.DA;
    std::string data = hexData ? StrToHex(submit.UserData) : submit.UserData;
    if (ucs2) {
        // Under the UCS2 character set (TS 27.007 5.5) every string parameter is hexadecimal
        // UCS2, the destination number too; the UCS2 data reads the same either way.
        CheckResult(ExecCommand("AT+CSCS=\"UCS2\"", kWaitResult));
        std::u16string wide(address.begin(), address.end());
        address = StrToHex(WideToUCS2(wide));
    }
    const int savedTimeout = m_recTimeout;
    if (Behaviour().textSendTimeoutMs > 0)
        m_recTimeout = Behaviour().textSendTimeoutMs;
    auto restore = [&] {
        m_recTimeout = savedTimeout;
        if (ucs2)
            CheckResult(
                ExecCommand("AT+CSCS=" + (m_characterSet.empty() ? std::string("\"GSM\"") : m_characterSet),
                            kWaitResult));
    };
    try {
        m_afterAnswer = accepted;
        ExecCommand("AT+CMGS=\"" + address + "\">" + data, kSendFlags, &lines);
    } catch (...) {
        m_afterAnswer = nullptr; // not at the answer to AT+CSCS
        try {
            restore();
        } catch (const std::exception &) {
            // The failure of the send is the one to report.
        }
        throw;
    }
    restore();
}

std::string TGSM::textModeData(const TSMS2 &sms, const std::string &body) const
{
    if (!Behaviour().ucs2Text || (sms.SevenBit() && !sms.FirstOctetBit(6)))
        return body;
    try {
        return HexToStr(body);
    } catch (const std::exception &) {
        return body; // not hexadecimal after all: kept as the modem gave it
    }
}

std::unique_ptr<TSMS> TGSM::ReadSMS(int Index, int &Status, std::string *Raw)
{
    CheckActive();
    std::unique_ptr<TSMS> result;
    std::vector<std::string> lines;
    try {
        ExecCommand(Format("AT+CMGR=%d", Index), kReadFlags, &lines, 1);
        // Noise the handset sent before the header line is not the message.
        lines.erase(lines.begin(), std::find_if(lines.begin(), lines.end(),
                                                [](const std::string &l) { return IsResponseLine(l); }));
        if (!lines.empty() && IsResponseLine(lines[0])) {
            const std::string header = ResponseValue(lines[0]);
            size_t pos = 0;
            if (m_smsFormat == kSMSFormatText) {
                const std::string word = Dequote(ExtractParam(header, pos));
                Status = StatusOfWord(word);
                const size_t fieldsPos = pos;
                const std::string address = ExtractParam(header, pos);
                size_t length = 0;
                std::unique_ptr<TSMS2> sms;
                const bool report = IsTextStatusReportField(address);
                if (report) {
                    // The report is all on the header line. One that does not read is no message,
                    // as an undecodable PDU; the caller still has the line.
                    if (Raw)
                        *Raw = lines[0];
                    try {
                        auto sr = std::make_unique<TSMSStatusReport>();
                        size_t at = fieldsPos;
                        ReadTextStatusReport(*sr, header, at);
                        sr->GSM = this;
                        result = std::move(sr);
                    } catch (const std::exception &) {
                        result.reset();
                    }
                } else if (lines.size() < 2) {
                    // no body line: no message
                } else if (address.find('"') == std::string::npos) {
                    // no message
                } else if (StartsWith(word, "REC ")) {
                    auto deliver = std::make_unique<TSMSDeliver>();
                    deliver->OA = Dequote(address);
                    ExtractParam(header, pos); // alpha
                    deliver->SCTS = ParseTimeStamp(Dequote(ExtractParam(header, pos)), deliver->TimeZone,
                                                   "service centre time stamp");
                    if (HasParam(header, pos)) {
                        ExtractParam(header, pos); // type of address
                        deliver->FirstOctet = static_cast<uint8_t>(StrToInt(ExtractParam(header, pos)));
                        deliver->PID = static_cast<uint8_t>(StrToInt(ExtractParam(header, pos)));
                        deliver->DCS = static_cast<uint8_t>(StrToInt(ExtractParam(header, pos)));
                        ExtractParam(header, pos); // service centre
                        ExtractParam(header, pos); // its type
                        length = static_cast<size_t>(std::max(0, StrToInt(ExtractParam(header, pos))));
                    }
                    sms = std::move(deliver);
                } else if (StartsWith(word, "STO ")) {
                    auto submit = std::make_unique<TSMSSubmit>();
                    submit->DA = Dequote(address);
                    ExtractParam(header, pos); // alpha
                    if (HasParam(header, pos)) {
                        ExtractParam(header, pos); // type of address
                        submit->FirstOctet = static_cast<uint8_t>(StrToInt(ExtractParam(header, pos)));
                        submit->PID = static_cast<uint8_t>(StrToInt(ExtractParam(header, pos)));
                        submit->DCS = static_cast<uint8_t>(StrToInt(ExtractParam(header, pos)));
                        const std::string vpField = ExtractParam(header, pos);
                        if (vpField.find('"') == std::string::npos ||
                            vpField.find('/') != std::string::npos) {
                            const std::string vp = Dequote(vpField);
                            // An empty field is no validity period at all.
                            if (!vp.empty() && vp.size() <= 3)
                                submit->VP = StrToInt(vp);
                            else if (vp.size() == 20)
                                submit->VP = ParseTimeStamp(vp, submit->VPTimeZone, "validity period");
                            ExtractParam(header, pos); // service centre
                        }
                        ExtractParam(header, pos); // type of the service centre
                        length = static_cast<size_t>(std::max(0, StrToInt(ExtractParam(header, pos))));
                    }
                    sms = std::move(submit);
                }
                if (sms) {
                    sms->GSM = this;
                    sms->UserData = textModeData(*sms, TextBody(lines, length));
                    if (Raw)
                        *Raw = sms->UserData;
                    result = std::move(sms);
                } else if (Raw && !report && lines.size() >= 2) {
                    *Raw = TextBody(lines, 0);
                }
            } else if (lines.size() >= 2) {
                Status = StrToInt(ExtractParam(header, pos));
                if (Raw)
                    *Raw = lines[1];
                try {
                    CheckPDULine(lines[1]);
                    result = CreateSMSFromPDU(this, lines[1], Status == 0 || Status == 1);
                } catch (const std::exception &) {
                    // An undecodable PDU is no message; the caller still has the raw text.
                    result.reset();
                }
            }
        }
    } catch (...) {
        readPause();
        throw;
    }
    readPause();
    return result;
}

void TGSM::DeleteSMS(int Index)
{
    CheckActive();
    CheckResult(ExecCommand(Format("AT+CMGD=%d", Index), kWaitResult, nullptr, 1));
}

std::vector<TSMSListEntry> TGSM::ListSMS(int Status)
{
    CheckActive();
    const TGSMEquipmentBehaviour &eq = Behaviour();
    if (Status < 0 && eq.listStatusZero)
        Status = 0;
    const bool text = m_smsFormat == kSMSFormatText;
    std::string filter;
    if (Status >= 0) {
        if (text)
            filter = Format("=\"%s\"", Status < static_cast<int>(SMSStatusNames.size())
                                           ? SMSStatusNames[static_cast<size_t>(Status)]
                                           : "");
        else
            filter = Format("=%d", Status);
    }
    std::vector<std::string> lines;
    if (eq.listErrorWhenEmpty)
        ExecCommand("AT+CMGL" + filter, kReadFlags | kErrorIsSuccess, &lines, 1);
    else
        CheckResult(ExecCommand("AT+CMGL" + filter, kReadFlags, &lines));

    std::vector<TSMSListEntry> result;
    size_t i = 0;
    while (i < lines.size()) {
        if (!IsResponseLine(lines[i])) {
            ++i;
            continue;
        }
        const std::string header = ResponseValue(lines[i]);
        size_t pos = 0;
        TSMSListEntry entry;
        entry.Index = StrToInt(ExtractParam(header, pos));
        const std::string statusField = ExtractParam(header, pos);
        // In text mode a status report is all on its header line, and the next line heads the
        // next entry; every other entry has a body line.
        const bool alone = text && IsTextStatusReportField(ExtractParam(header, pos));
        if (!alone && i + 1 >= lines.size())
            break;
        if (text) {
            entry.Status = StatusOfWord(Dequote(statusField));
            if (entry.Status >= 0)
                result.push_back(std::move(entry));
            i += alone ? 1 : 2;
            continue;
        }
        entry.Status = StrToInt(statusField);
        if (IsResponseLine(lines[i + 1])) {
            // The entry's PDU line is missing (the next entry follows at once): the entry is
            // kept without a message, and the next entry keeps its own PDU.
            result.push_back(std::move(entry));
            ++i;
            continue;
        }
        entry.Raw = lines[i + 1];
        try {
            CheckPDULine(entry.Raw);
            entry.Message = CreateSMSFromPDU(this, entry.Raw, entry.Status == 0 || entry.Status == 1);
        } catch (const std::exception &) {
            entry.Message.reset(); // kept in the list without a message
        }
        result.push_back(std::move(entry));
        i += 2;
    }
    if (text) {
        // The listing's text bodies lack the message details: each message is read on its own.
        for (TSMSListEntry &entry : result) {
            int status = entry.Status;
            entry.Message = ReadSMS(entry.Index, status, &entry.Raw);
        }
    }
    return result;
}

} // namespace kestrel
