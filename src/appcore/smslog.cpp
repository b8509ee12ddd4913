// The GSM and SMS logs: the files, the views, and the lines of what was received and sent.
#include "appcore/datamodule.h"

#include "appcore/datamoduleinternal.h"
#include "base/datetime.h"
#include "base/fileio.h"
#include "base/format.h"
#include "connect/connection.h"
#include "gsm/sms.h"
#include "gsm/smstext.h"
#include "gsm/tpdufields.h"
#include "gsm/userdataprotocols.h"
#include "xsms/ems.h"
#include "xsms/payloadkind.h"
#include "xsms/protocolstack.h"
#include "xsms/smartmessage.h"

#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace kestrel {

void AppendToLogFile(const std::string &path, const std::string &text)
{
    if (path == "<none>" || path.empty())
        return;
    // Messages are private: a log the program creates is readable by the user alone.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        throw EConnectError(Format("Cannot open log file \"%s\": %s", path.c_str(), strerror(errno)));
    flock(fd, LOCK_EX);
    // A full disk or a broken file: the caller must know the text is not on record.
    int error = WriteAll(fd, text);
    flock(fd, LOCK_UN);
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (error != 0)
        throw EConnectError(Format("Cannot write log file \"%s\": %s", path.c_str(), strerror(error)));
}

std::string PrintableUserData(const std::string &data)
{
    std::string out;
    for (unsigned char c : data) {
        if (c == '\r')
            out += "<CR>";
        else if (c == '\n')
            out += "<LF>";
        else if (c < 0x20)
            return StrToHex(data);
        else
            out += static_cast<char>(c);
    }
    return out;
}

namespace {

// " SmartMessage:<class>" or " EMS<class>,<class>..." for a completed payload.
std::string payloadNames(const TSMSProtocol &p, unsigned port)
{
    if (dynamic_cast<const TSMSProtocol2 *>(&p)) {
        try {
            if (auto sm = TSmartMessage::CreateFromPort(p.Data(), static_cast<uint16_t>(port)))
                return std::string(" SmartMessage:") + sm->ClassName();
        } catch (const std::exception &) {
            // A payload its class cannot parse names nothing; the line still goes out.
            return {};
        }
    }
    auto *udh = dynamic_cast<const TUDHProtocol *>(&p);
    if (!udh)
        return {};
    std::string names = " EMS";
    TEMS ems;
    try {
        ems.LoadFromUDH(*udh);
    } catch (const std::exception &) {
        // Ends the list: the objects read before the failure are still named.
    }
    for (size_t i = 0; i < ems.Items.size(); ++i)
        names += (i ? "," : "") + std::string(ems.Items[i]->ClassName());
    return names;
}

// A concatenated plain text, whole and readable, for the log: a reader should not have to piece
// the parts together from their reference lines.
std::string concatenatedText(const TSMSProtocol &p, uint8_t dcs)
{
    if (p.SegmentCount() < 2 || PayloadKindAnnounced(p, dcs) != TPayloadKind::pkText)
        return {}; // a payload, or 8-bit data: not text
    const QString text = UserDataToUnicode(SMSAlphabet(dcs), p.Data());
    const QByteArray utf8 = text.toUtf8();
    return "*text: " + PrintableUserData(std::string(utf8.constData(), static_cast<size_t>(utf8.size())));
}

} // namespace

void TGSMDataModule::GSMRxChar(char aChar)
{
    if (ModemLogView)
        ModemLogView->AddText(std::string(1, aChar));
    LogModemChar(aChar);
}

void TGSMDataModule::LogModemChar(char c)
{
    LineBuffer += c;
    // A handset that never ends its line is logged in pieces rather than held in memory.
    if (c != '\n' && LineBuffer.size() < kMaxModemLogLine)
        return;
    if (c != '\n')
        LineBuffer += "\r\n";
    const std::string record = std::move(LineBuffer);
    LineBuffer.clear();
    gsmLogRecord(record);
}

void TGSMDataModule::gsmLogRecord(const std::string &record)
{
    try {
        // Concatenated, not formatted: a NUL from the line must not cut the record short.
        AppendToLogFile(GSMLogName, DateTimeToStr(Now()) + ": " + record);
        m_gsmLogFailing = false;
    } catch (const std::exception &e) {
        // The traffic log must not stop the dialogue with the handset; the user hears of a
        // failing log once, not for every line.
        if (!m_gsmLogFailing)
            ReportError(e.what());
        m_gsmLogFailing = true;
    }
}

void TGSMDataModule::smsLogLine(const std::string &line, const QString &shown)
{
    if (SMSLogView) {
        if (shown.isNull())
            SMSLogView->AddLine(line);
        else
            SMSLogView->AddShownLine(line, shown);
    }
    AppendToLogFile(SMSLogName, line + "\r\n");
    // Only once written: a front end that shows the log elsewhere never shows a line the file
    // lacks.
    if (OnSMSLogLine)
        OnSMSLogLine(line);
}

void TGSMDataModule::LogSMS(const TSMS *SMS)
{
    // Alphanumeric addresses are text from the sender too (a line feed is a character of the
    // default alphabet): they follow the user data's rule, so a record stays one line.
    std::string head, tail;
    const std::string *address = nullptr;
    if (auto *d = dynamic_cast<const TSMSDeliver *>(SMS)) {
        head = Format(">%s, OA: ", DateTimeToStr(d->SCTS).c_str());
        address = &d->OA;
        tail = Format(", PID: %.2x, UD: %s%s", d->PID, "", PrintableUserData(d->UserData).c_str());
    } else if (auto *s = dynamic_cast<const TSMSSubmit *>(SMS)) {
        head = Format("<%s, DA: ", DateTimeToStr(Now()).c_str());
        address = &s->DA;
        tail = Format(", PID: %.2x, UD: %s%s", s->PID, "", PrintableUserData(s->UserData).c_str());
    } else if (auto *r = dynamic_cast<const TSMSStatusReport *>(SMS)) {
        head = Format("!%s, OA: ", DateTimeToStr(Now()).c_str());
        address = &r->RA;
        tail = Format(", Status: %d, DT: %s", r->Status, DateTimeToStr(r->DischargeTime).c_str());
    } else {
        return;
    }
    const std::string printable = PrintableUserData(*address);
    // The file keeps the model's 8-bit address; the view shows a sender's name as its alphabet
    // says (the Greek capitals that the 8-bit form holds as one middle dot).
    const auto &sms2 = static_cast<const TSMS2 &>(*SMS);
    const QString shownAddress = printable == *address ? AddressToUnicode(*address, sms2.AddressCodes)
                                                       : QString::fromLatin1(printable);
    smsLogLine(head + printable + tail, QString::fromLatin1(head) + shownAddress + QString::fromLatin1(tail));
}

void TGSMDataModule::ProcessSMS(TSMS *SMS)
{
    LogSMS(SMS);
    if (auto *deliver = dynamic_cast<TSMSDeliver *>(SMS)) {
        std::string text, wholeText;
        ProtocolStack->Expire(false, kStackMaxAge);
        TSMSProtocol *p = nullptr;
        if (ProtocolStack->AddSegment(SMS, p) && p) {
            auto *p2 = dynamic_cast<TSMSProtocol2 *>(p);
            const unsigned port = p2 ? p2->DestPort() : 0;
            text = ProtocolProgress(*p);
            if (p->State() == kStateComplete) {
                text += payloadNames(*p, port);
                wholeText = concatenatedText(*p, deliver->DCS);
                ProtocolStack->RemoveProtocol(p);
            }
        }
        if (!text.empty())
            smsLogLine(text);
        if (!wholeText.empty())
            smsLogLine(wholeText, QString::fromStdString(wholeText)); // UTF-8
    }
    SendMessageToForms(kMsgSMSProcessed, 0, SMS);
}

} // namespace kestrel
