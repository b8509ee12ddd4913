#include "appcore/datamodule.h"

#include "base/datetime.h"
#include "base/format.h"
#include "base/inifile.h"
#include "connect/connection.h"
#include "gsm/sms.h"
#include "gsm/smstext.h"
#include "gsm/tpdufields.h"
#include "gsm/userdataprotocols.h"
#include "xsms/ems.h"
#include "xsms/protocolstack.h"
#include "xsms/smartmessage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <algorithm>
#include <cctype>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace kestrel {

namespace {
const char *const kModem = "Modem";
const char *const kFiles = "Modem.Files";
// The service centre of a fresh installation: a placeholder that no network knows, so that a
// handset refuses it at login and the user enters the real one, rather than the handset's own
// setting being replaced by somebody else's centre.
const char *const kDefaultSCA = "+0000000000";
const char *const kMessageKept = "The message stays on the handset until the store can record it";
// The reassembly stack gives a payload this long from its first segment (days).
constexpr TDateTime kStackMaxAge = 5.0 / 1440.0;
} // namespace

EMessageKept::EMessageKept() : EConnectError(kMessageKept) {}

std::string StoreLocationFromSettings(const TIniFile &ini, const std::string &logDirectory)
{
    return ini.ReadString(kFiles, "Store", logDirectory + "messages.sqlite");
}

std::unique_ptr<TMessageStore> OpenMessageStore(const std::string &Location)
{
    if (Location.empty() || Location == kNoStore)
        return nullptr;
    return TMessageStore::Open(Location);
}

void ToModelForm(TSMS &sms)
{
    if (auto *cb = dynamic_cast<TCellBroadcast *>(&sms)) {
        if (CBSAlphabet(cb->DCS) == TDCSAlphabet::da7Bit)
            cb->Content = TextToGSM(cb->Content);
    } else if (auto *sms2 = dynamic_cast<TSMS2 *>(&sms)) {
        if (SMSAlphabet(sms2->DCS) == TDCSAlphabet::da7Bit)
            sms2->UserData = TextToGSM(sms2->UserData);
    }
}

std::string ProgramDirectory()
{
    std::string dir;
    if (QCoreApplication::instance())
        dir = QCoreApplication::applicationDirPath().toStdString();
    else {
        char buf[4096];
        ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (n > 0) {
            dir.assign(buf, static_cast<size_t>(n));
            dir = dir.substr(0, dir.rfind('/'));
        }
    }
    if (dir.empty() || (dir.back() != '/' && dir.back() != ':' && dir.back() != '\\'))
        dir += '/';
    return dir;
}

std::string ConfigFileFromArguments(const std::vector<std::string> &args, const std::string &programDirectory)
{
    for (const auto &a : args) {
        if (a.size() >= 3 && (a[0] == '-' || a[0] == '/') &&
            std::toupper(static_cast<unsigned char>(a[1])) == 'I' && a[2] == ':')
            // The path is kept as typed: file names on this system are case-sensitive.
            return a.substr(3);
    }
    return programDirectory + "gsm.ini";
}

TAppLocations ResolveAppLocations(const std::vector<std::string> &args, const std::string &programDirectory,
                                  const std::function<bool(const std::string &dir)> &writable)
{
    TAppLocations result;
    result.ConfigFile = ConfigFileFromArguments(args, programDirectory);
    result.LogDirectory = programDirectory;
    if (writable ? writable(programDirectory) : access(programDirectory.c_str(), W_OK) == 0)
        return result;
    auto userDir = [](QStandardPaths::StandardLocation where) {
        QString dir = QStandardPaths::writableLocation(where);
        // The folders of the settings (the PIN), the logs and the store are the user's alone.
        if (!QDir(dir).exists() && QDir().mkpath(dir))
            QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        std::string d = dir.toStdString();
        return d.empty() || d.back() == '/' ? d : d + "/";
    };
    const bool configGiven = result.ConfigFile != programDirectory + "gsm.ini";
    if (!configGiven)
        result.ConfigFile = userDir(QStandardPaths::AppConfigLocation) + "gsm.ini";
    result.LogDirectory = userDir(QStandardPaths::AppDataLocation);
    result.Notice =
        Format("The program's directory %s is not writable: settings are kept in %s and logs in %s",
               programDirectory.c_str(), result.ConfigFile.c_str(), result.LogDirectory.c_str());
    return result;
}

void AppendToLogFile(const std::string &path, const std::string &text)
{
    if (path == "<none>" || path.empty())
        return;
    // Messages are private: a log the program creates is readable by the user alone.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        throw EConnectError(Format("Cannot open log file \"%s\": %s", path.c_str(), strerror(errno)));
    flock(fd, LOCK_EX);
    const char *p = text.data();
    size_t left = text.size();
    int error = 0;
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A full disk or a broken file: the caller must know the text is not on record.
            error = n < 0 ? errno : EIO;
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
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
std::string concatenatedText(const TSMSProtocol &p, unsigned port, uint8_t dcs)
{
    if (port != 0 || !dynamic_cast<const TUDHProtocol *>(&p) || p.SegmentCount() < 2)
        return {};
    if (SMSAlphabet(dcs) == TDCSAlphabet::da8Bit)
        return {}; // binary data, not text
    const QString text = UserDataToUnicode(SMSAlphabet(dcs), p.Data());
    const QByteArray utf8 = text.toUtf8();
    return "*text: " + PrintableUserData(std::string(utf8.constData(), static_cast<size_t>(utf8.size())));
}

} // namespace

TGSMDataModule::TGSMDataModule(std::string configFile, std::string logDirectory,
                               std::optional<TGSMEquipment> equipment)
    : m_configFile(std::move(configFile)), m_logDirectory(std::move(logDirectory)), m_equipment(equipment)
{
    // The stored settings of the two components.
    Comm1.SetDontSynchronize(true);
    GSM.SetCOMDevice(&Comm1);
    GSM.SetSCA(kDefaultSCA);
    GSM.BeforeOpen = [this](TConnection *) { GSMBeforeOpen(); };
    GSM.AfterOpen = [this](TConnection *) { GSMAfterOpen(); };
    GSM.AfterClose = [this](TConnection *) { GSMAfterClose(); };
    GSM.OnRxChar = [this](TObject *, char c) { GSMRxChar(c); };
    GSM.OnUnsolicitedSMS = [this](TObject *, int idx, TSMS *sms) { GSMUnsolicitedSMS(idx, sms); };
    GSM.OnNetworkRegistration = [this](TObject *, int status) { GSMNetworkRegistration(status); };
    GSM.OnBusyChanged = [this](TObject *, bool busy) { GSMBusyChanged(busy); };
    GSM.OnRestart = [this](TObject *, const std::string &reason) { GSMRestart(reason); };
    // Failures of the handlers above while the engine processes lines on its own (a message
    // that could not be recorded and stays on the handset) have no other caller.
    GSM.OnProcessingError = [this](TObject *, const std::string &message) { ReportError(message); };

    ProtocolStack = std::make_unique<TSMSProtocolStack>();
    LineBuffer.clear();
    LoadSettings();
}

TGSMDataModule::~TGSMDataModule()
{
    try {
        if (AutoSaveSettings)
            SaveSettings();
    } catch (...) {
        // Leaving the program must not fail because the settings file cannot be written.
    }
    GSM.Close();
    ProtocolStack.reset();
}

void LoadModemSettings(const TIniFile &ini, TComm &comm, TGSM &gsm, std::optional<TGSMEquipment> equipment)
{
    comm.SetDeviceName(ini.ReadString(kModem, "DeviceName", comm.DeviceName()));
    if (equipment) {
        gsm.SetEquipment(*equipment);
    } else {
        std::string device = ini.ReadString(kModem, "Device", GSMEquipmentNames[gsm.Equipment()]);
        std::transform(device.begin(), device.end(), device.begin(),
                       [](unsigned char c) { return std::toupper(c); });
        gsm.SetEquipment(StrToEquipment(device));
    }
    gsm.SetPIN(ini.ReadString(kModem, "PIN", gsm.PIN()));
    gsm.SetSCA(ini.ReadString(kModem, "SCA", gsm.SCA()));
    // Stored directly: the set is negotiated with the handset only when the engine opens.
    gsm.SetUnsolicitedIndication(static_cast<TGSMUnsolicitedIndicationSet>(
        ini.ReadInteger(kModem, "UnsolicitedIndication", gsm.UnsolicitedIndication()) & 0x0F));
    const long long format = ini.ReadInteger(kModem, "SMSFormat", 0);
    try {
        gsm.SetSMSFormat(static_cast<uint8_t>(format));
    } catch (const EGSMError &) {
        // A hand-edited format the equipment cannot use keeps the equipment's own; refusing to
        // start would leave no way to correct it from the window.
    }
    gsm.AdjustCommSettings();
    const long long recTimeout = ini.ReadInteger(kModem, "RecTimeout", 0);
    if (recTimeout > 0 && recTimeout <= 0x7FFFFFFF)
        gsm.SetRecTimeout(static_cast<int>(recTimeout));
    const long long baud = ini.ReadInteger(kModem, "Baud", 0);
    TBaudrate rate;
    if (baud > 0 && baud <= 0x7FFFFFFF && IntToBaudrate(static_cast<int>(baud), rate))
        comm.SetBaudrate(rate);
}

void TGSMDataModule::LoadSettings()
{
    TIniFile ini(m_configFile);
    LoadModemSettings(ini, Comm1, GSM, m_equipment);
    GSMLogName = ini.ReadString(kFiles, "GSMLog", m_logDirectory + "gsm.log");
    SMSLogName = ini.ReadString(kFiles, "SMSLog", m_logDirectory + "sms.log");
    StoreName = StoreLocationFromSettings(ini, m_logDirectory);
}

void TGSMDataModule::SaveSettings()
{
    TIniFile ini(m_configFile);
    ini.WriteString(kModem, "DeviceName", Comm1.DeviceName());
    ini.WriteString(kModem, "Device", GSMEquipmentNames[GSM.Equipment()]);
    ini.WriteString(kModem, "PIN", GSM.PIN());
    ini.WriteString(kModem, "SCA", GSM.SCA());
    ini.WriteInteger(kModem, "SMSFormat", GSM.SMSFormat());
    ini.WriteInteger(kModem, "UnsolicitedIndication", GSM.UnsolicitedIndication());
    ini.WriteString(kFiles, "GSMLog", GSMLogName);
    ini.WriteString(kFiles, "SMSLog", SMSLogName);
    // Written when the user chose a store; the default follows the log folder as it moves.
    if (ini.ValueExists(kFiles, "Store") || StoreName != m_logDirectory + "messages.sqlite")
        ini.WriteString(kFiles, "Store", StoreName);
    ini.UpdateFile();
}

void TGSMDataModule::AddForm(TMessageTarget *form)
{
    if (form && std::find(m_forms.begin(), m_forms.end(), form) == m_forms.end())
        m_forms.push_back(form);
}

void TGSMDataModule::RemoveForm(TMessageTarget *form)
{
    m_forms.erase(std::remove(m_forms.begin(), m_forms.end(), form), m_forms.end());
}

void TGSMDataModule::SendMessageToForms(int Msg, long long WParam, const TSMS *LParam)
{
    const auto forms = m_forms; // a handler may remove its form
    for (auto *form : forms)
        form->HandleMessage(Msg, WParam, LParam);
}

void TGSMDataModule::GSMBeforeOpen()
{
    if (AutoSaveSettings)
        SaveSettings();
    SendMessageToForms(kMsgEngineState, kEngineBusy, nullptr);
}

void TGSMDataModule::GSMAfterOpen()
{
    // The payloads left incomplete by the last run are back in the stack before anything new
    // arrives.
    Store();
    readStorage();
    SendMessageToForms(kMsgEngineState, kEngineOpened, nullptr);
}

void TGSMDataModule::GSMAfterClose()
{
    SendMessageToForms(kMsgEngineState, kEngineClosed, nullptr);
}

void TGSMDataModule::GSMBusyChanged(bool aBusy)
{
    SendMessageToForms(kMsgEngineState, aBusy ? kEngineBusy : kEngineIdle, nullptr);
}

void TGSMDataModule::GSMNetworkRegistration(int aNewStatus)
{
    SendMessageToForms(kMsgRegistration, aNewStatus, nullptr);
}

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
        ProtocolStack->Expire(false, 5.0 / 1440.0);
        TSMSProtocol *p = nullptr;
        if (ProtocolStack->AddSegment(SMS, p) && p) {
            auto *p2 = dynamic_cast<TSMSProtocol2 *>(p);
            const unsigned port = p2 ? p2->DestPort() : 0;
            text = ProtocolProgress(*p);
            if (p->State() == kStateComplete) {
                text += payloadNames(*p, port);
                wholeText = concatenatedText(*p, port, deliver->DCS);
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

void TGSMDataModule::GSMUnsolicitedSMS(int Idx, TSMS *aSMS)
{
    m_handledIndex = Idx;
    if (aSMS) {
        // A failure to record it goes to the engine's caller: the message is then neither
        // deleted nor, when routed, acknowledged (the network delivers it again).
        if (!dynamic_cast<TCellBroadcast *>(aSMS))
            storeReceived(GSM.RoutedRaw().empty() ? aSMS->GetPDU() : GSM.RoutedRaw(), aSMS, Idx);
        ProcessSMS(aSMS);
        if (Idx != -1 && DeleteHandled)
            GSM.DeleteSMS(Idx);
        return;
    }
    // Only the storage index was reported: read the message first. A failure to log it (or
    // to read it) leaves it on the handset.
    int status = -1;
    std::string raw;
    std::unique_ptr<TSMS> sms = GSM.ReadSMS(Idx, status, &raw);
    try {
        recordStored(Idx, status, raw, sms.get());
    } catch (const EMessageKept &) {
        m_kept.push_back({GSM.Memory(), Idx, status});
        return;
    }
    if (DeleteHandled)
        GSM.DeleteSMS(Idx);
    handleKept();
}

void TGSMDataModule::GSMRestart(const std::string &aReason)
{
    const std::string note = Format("The handset restarted (%s) and was set up again", aReason.c_str());
    if (SMSLogView)
        SMSLogView->AddLine(note);
    gsmLogRecord(note + "\r\n");
    // Messages that reached the storage while the handset announced nothing.
    readStorage();
    SendMessageToForms(kMsgEngineState, kEngineOpened, nullptr);
}

void TGSMDataModule::recordStored(int index, int status, const std::string &raw, TSMS *sms)
{
    m_handledIndex = index;
    if (sms || !raw.empty())
        storeReceived(raw, sms, index);
    if (sms && status == 0)
        ProcessSMS(sms);
    else if (sms)
        LogSMS(sms);
    else if (raw.empty())
        // Nothing came to record: the handset's copy is all there is.
        throw EGSMError(Format("the handset gave no message text for index %d", index));
    else
        // Not decodable: the raw text is kept in the log, since the handset's copy is deleted.
        smsLogLine(Format("?%s, index %d, status %d, PDU: %s", DateTimeToStr(Now()).c_str(), index, status,
                          PrintableUserData(raw).c_str()));
}

void TGSMDataModule::ReportError(const std::string &message)
{
    // Its cause, the store, was reported when it began to fail.
    if (message == kMessageKept)
        return;
    if (OnError)
        OnError(message);
    else if (SMSLogView)
        SMSLogView->AddLine("Error: " + message);
}

void TGSMDataModule::readStorage()
{
    const TGSMEquipment eq = GSM.Equipment();
    handleListed(GSM.ListSMS(eq == eqM20 || eq == eqNokia9110 ? 4 : -1));
    // Status reports the modem keeps apart arrive there while no program listens as well; unread
    // there, their messages would never turn delivered and SR would fill up.
    const std::string reports = GSM.ReportStorage();
    const std::string memory = GSM.Memory();
    if (!reports.empty() && reports != memory) {
        try {
            GSM.SelectMemory(reports);
            handleListed(GSM.ListSMS(4));
        } catch (const std::exception &e) {
            ReportError(Format("The status reports in %s were not read: %s", reports.c_str(), e.what()));
        }
        GSM.SelectMemory(memory);
    }
    handleKept();
}

void TGSMDataModule::handleListed(const std::vector<TSMSListEntry> &list)
{
    for (const auto &entry : list) {
        // Handled here, whether or not it was kept before.
        std::erase_if(m_kept,
                      [&](const TKept &k) { return k.Index == entry.Index && k.Storage == GSM.Memory(); });
        // One message that cannot be handled is reported and stays on the handset; the others
        // are still handled.
        try {
            recordStored(entry.Index, entry.Status, entry.Raw, entry.Message.get());
        } catch (const EMessageKept &) {
            m_kept.push_back({GSM.Memory(), entry.Index, entry.Status});
            continue;
        } catch (const std::exception &e) {
            ReportError(Format("Stored message %d was kept on the handset: %s", entry.Index, e.what()));
            continue;
        }
        if (DeleteHandled)
            GSM.DeleteSMS(entry.Index);
    }
}

// ---- The message store

TMessageStore *TGSMDataModule::Store()
{
    if (m_store || StoreName.empty() || StoreName == kNoStore)
        return m_store.get();
    try {
        m_store = OpenMessageStore(StoreName);
    } catch (const EStoreError &e) {
        storeFailed(e.what());
        return nullptr;
    }
    fillStack();
    return m_store.get();
}

void TGSMDataModule::CloseStore()
{
    m_store.reset();
}

void TGSMDataModule::fillStack()
{
    // The segments go in as they came, without log lines: the log has them from the run that
    // received them. Each payload keeps the age of its first segment, so it expires from the
    // stack when it would have without the restart (the store keeps it longer).
    std::vector<TStoredSegment> segments;
    try {
        segments = m_store->IncompleteSegments(NowUTC() - kStackMaxAge);
    } catch (const EStoreError &e) {
        storeFailed(e.what());
        return;
    }
    for (const TStoredSegment &segment : segments) {
        std::unique_ptr<TSMS2> sms;
        try {
            sms = CreateSMSFromPDU(nullptr, segment.PDU, true);
        } catch (const std::exception &) {
            continue; // it did not decode when it came either
        }
        const int before = ProtocolStack->Count();
        TSMSProtocol *p = nullptr;
        if (!sms || !ProtocolStack->AddSegment(sms.get(), p) || !p)
            continue;
        if (ProtocolStack->Count() > before)
            p->SetTimestamp(segment.Time);
        if (p->State() == kStateComplete)
            ProtocolStack->RemoveProtocol(p); // whole after all: nothing is left to wait for
    }
}

void TGSMDataModule::storeReceived(const std::string &raw, const TSMS *sms, int index)
{
    if (StoreName.empty() || StoreName == kNoStore)
        return;
    // Messages the handset keeps for sending were composed on it: neither sent nor received here.
    if (dynamic_cast<const TSMSSubmit *>(sms) || dynamic_cast<const TSMSCommand *>(sms))
        return;
    TMessageStore *store = Store();
    if (!store)
        throw EMessageKept();
    const bool textMode = GSM.SMSFormat() == kSMSFormatText;
    // The store reads messages in the model's form, and PDUs with their service-centre field.
    std::unique_ptr<TSMS> copy;
    if (textMode && sms) {
        if (auto *d = dynamic_cast<const TSMSDeliver *>(sms))
            copy = std::make_unique<TSMSDeliver>(*d);
        if (copy) {
            ToModelForm(*copy);
            sms = copy.get();
        }
    }
    // A message read through this engine knows whether its handset leaves the service-centre
    // field out, and the store puts the empty one in front itself: given here too, it would be
    // doubled and the segment unreadable. Only a record without that knowledge gets it here.
    const bool storeAddsSCA = sms && sms->GSM;
    const std::string record = textMode || GSM.SCAInPDU() || storeAddsSCA ? raw : "00" + raw;
    try {
        store->RecordReceived(record, textMode, sms, NowUTC(), index, modemName());
    } catch (const EStoreError &e) {
        storeFailed(e.what());
        throw EMessageKept();
    }
    storeWorks();
}

std::string TGSMDataModule::modemName() const
{
    return ModemLabel.empty() ? Comm1.DeviceName() : ModemLabel;
}

void TGSMDataModule::storeFailed(const std::string &error)
{
    // The store stays open (others, the Messages view, hold it): it reconnects to a server that
    // went away by itself at its next call.
    if (m_storeFailing)
        return;
    m_storeFailing = true;
    ReportError(Format("The message store cannot be written, received messages stay on the handset: %s",
                       error.c_str()));
}

void TGSMDataModule::storeWorks()
{
    m_storeFailing = false;
}

void TGSMDataModule::RetryKept()
{
    if (m_kept.empty() || !Store())
        return;
    storeWorks();
    handleKept();
}

void TGSMDataModule::handleKept()
{
    // What the store could not take while it failed is read again now that it works, as it was
    // when it came (reading it marked it read). A message that cannot be read any more (deleted
    // on the handset meanwhile) is reported and forgotten.
    if (m_storeFailing || m_kept.empty() || m_handlingKept || !GSM.Active())
        return;
    m_handlingKept = true;
    const auto kept = std::exchange(m_kept, {});
    const std::string memory = GSM.Memory();
    for (const TKept &k : kept) {
        try {
            GSM.SelectMemory(k.Storage);
            int status = -1;
            std::string raw;
            std::unique_ptr<TSMS> sms = GSM.ReadSMS(k.Index, status, &raw);
            try {
                recordStored(k.Index, k.Status, raw, sms.get());
            } catch (const EMessageKept &) {
                m_kept.push_back(k);
                continue;
            }
            if (DeleteHandled)
                GSM.DeleteSMS(k.Index);
        } catch (const std::exception &e) {
            ReportError(Format("Message %d, kept on the handset while the store failed, could not be read "
                               "again: %s",
                               k.Index, e.what()));
        }
    }
    try {
        GSM.SelectMemory(memory);
    } catch (const std::exception &e) {
        ReportError(e.what());
    }
    m_handlingKept = false;
}

TSendResult TGSMDataModule::SendMessages(const std::vector<std::unique_ptr<TSMSSubmit>> &Segments,
                                         const TMessageContent &Content)
{
    TSendResult result = SendComposed(GSM, Segments, Content, Store(), modemName(),
                                      [this](const TSMSSubmit &s) { LogSMS(&s); });
    if (!result.StoreError.empty())
        storeFailed(result.StoreError);
    else if (result.StoredId != 0)
        storeWorks();
    return result;
}

} // namespace kestrel
