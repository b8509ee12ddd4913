// Opening and closing TGSM: taking the serial port over, the initialisation dialogue of each
// equipment type, the settings that may change only while closed, and the handset information
// and switch-off commands.
#include "gsm/gsm.h"

#include "base/convert.h"
#include "base/format.h"
#include "base/rtlerrors.h"

#include <algorithm>
#include <chrono>

namespace kestrel {

const std::array<const char *, 4> GSMInfoCommands = {"AT+CGMI", "AT+CGMM", "AT+CGMR", "AT+CGSN"};

namespace {

constexpr uint8_t kQueryFlags = kWaitResult | kWaitReply | kPrefixedReply; // 0x13
constexpr uint8_t kAnswerLineFlags = kWaitReply | kPrefixedReply;          // 0x12
constexpr uint8_t kLinesFlags = kWaitResult | kWaitReply;                  // 0x03

std::string Quoted(const std::string &s)
{
    return "\"" + s + "\"";
}

class TBusyScope {
public:
    explicit TBusyScope(TGSM &gsm) : m_gsm(gsm) { m_gsm.BeginBusy(); }
    ~TBusyScope() { m_gsm.EndBusy(); }
    TBusyScope(const TBusyScope &) = delete;
    TBusyScope &operator=(const TBusyScope &) = delete;

private:
    TGSM &m_gsm;
};

// The first line of a query's answer; a handset that answered without one fails the open as a
// list without that line would.
const std::string &FirstLine(const std::vector<std::string> &lines)
{
    if (lines.empty())
        RaiseListIndexError(0);
    return lines.front();
}

} // namespace

void TGSM::SetEquipment(TGSMEquipment value)
{
    if (value >= kGSMEquipmentCount)
        return;
    m_equipment = value;
    if (!SupportsFormat(m_equipment, m_smsFormat))
        SetSMSFormat(m_smsFormat == kSMSFormatText ? kSMSFormatPDU : kSMSFormatText);
}

void TGSM::SetSMSFormat(uint8_t value)
{
    CheckInactive();
    if (!SupportsFormat(m_equipment, value))
        GSMErrorFmt(SSMSFormatNotSupported, static_cast<int>(value));
    m_smsFormat = value;
}

void TGSM::SetPIN(const std::string &value)
{
    CheckInactive();
    m_pin = value;
}

void TGSM::SetSCA(const std::string &value)
{
    if (Active() && value != m_sca)
        CheckResult(ExecCommand("AT+CSCA=" + Quoted(value), kWaitResult));
    m_sca = value;
}

void TGSM::SetCOMDevice(TComm *value)
{
    CheckInactive();
    m_comDevice = value;
}

void TGSM::SetCommandEcho(bool value)
{
    m_commandEcho = value;
    if (Active())
        UpdateEcho();
}

void TGSM::UpdateEcho()
{
    // Until the handset confirms, an echo is no sign of anything.
    m_echoOff = false;
    CheckResult(ExecCommand(Format("ATE%d", m_commandEcho ? 1 : 0), kWaitResult));
    m_echoOff = !m_commandEcho;
}

TSMSFormats TGSM::SupportedFormats() const
{
    return kestrel::SupportedFormats(m_equipment);
}

bool TGSM::SCAInPDU() const
{
    return Behaviour().scaInPdu;
}

void TGSM::AdjustCommSettings()
{
    CheckInactive();
    if (!m_comDevice)
        GSMError(SNoAssignedCOMDevice);
    m_comDevice->SetBaudrate(Behaviour().baud);
}

void TGSM::OpenDevice()
{
    if (!m_comDevice)
        GSMError(SNoAssignedCOMDevice);
    TBusyScope busy(*this);
    TComm &port = *m_comDevice;
    m_savedActive = port.Active();
    m_savedDontSynchronize = port.DontSynchronize();
    if (!m_handlersInstalled) {
        m_savedRxChar = port.OnRxChar;
        m_savedOnError = port.OnError;
        port.OnRxChar = [this](TObject *Sender, int Count) { CommRxChar(Sender, Count); };
        port.OnError = [this](TObject *Sender, int Errors) {
            if (Errors & kCommErrorHangup)
                deviceLost("the other end hung up");
            if (m_savedOnError)
                m_savedOnError(Sender, Errors);
        };
        m_handlersInstalled = true;
    }
    m_deviceLost = false;
    m_lostReported = false;
    {
        std::lock_guard lock(m_lock);
        m_lostReason.clear();
    }
    // Received data must reach the engine on the watcher thread from the first byte on: a
    // delivery queued to a main thread that waits for a reply would never arrive.
    port.SetDontSynchronize(true);
    port.Open();
    port.PurgeInput();
    port.PurgeOutput();
}

void TGSM::CloseDevice(bool Restore)
{
    if (!m_comDevice)
        return;
    TComm &port = *m_comDevice;
    if (Restore && m_handlersInstalled) {
        port.SetDontSynchronize(m_savedDontSynchronize);
        port.OnRxChar = m_savedRxChar;
        port.OnError = m_savedOnError;
        m_handlersInstalled = false;
    }
    if (!Destroying())
        port.SetActive(m_savedActive);
}

void TGSM::DoOpen()
{
    m_recovering = false;
    takeRestartReason(); // signs from an earlier session mean nothing now
    OpenDevice();
    TBusyScope busy(*this);
    m_infoCache.clear();
    setupHandset();
}

void TGSM::setupHandset()
{
    const TGSMEquipmentBehaviour &eq = Behaviour();
    std::vector<std::string> lines;
    UpdateEcho();
    // A restart announced before this answer came is the one this set-up follows.
    m_settledAt = ReceivedSoFar();
    // The indications are set again below: a missed acknowledgement is history.
    m_routingCheckAt = 0;

    if (eq.pin != TPinDialogue::None) {
        const bool wind = eq.pin == TPinDialogue::Wind;
        if (wind)
            CheckResult(ExecCommand("AT+WIND=12", kWaitResult));
        // Wavecom: the command ends at the "+CPIN:" line, without waiting for the final result.
        CheckResult(ExecCommand("AT+CPIN?", wind ? kAnswerLineFlags : kQueryFlags, &lines));
        if (lines.empty())
            lines.push_back(SNoResponse);
        const std::string state = lines.front();
        if (state == "SIM PIN") {
            const int savedTimeout = m_recTimeout;
            if (eq.pinTimeoutMs > 0)
                m_recTimeout = eq.pinTimeoutMs;
            try {
                if (m_pin.empty())
                    GSMError(SPINRequired);
                // One attempt only: repeating a wrong PIN would spend the SIM's tries.
                CheckResult(ExecCommand("AT+CPIN=" + Quoted(m_pin), kWaitResult, nullptr, 1));
            } catch (...) {
                m_recTimeout = savedTimeout;
                throw;
            }
            m_recTimeout = savedTimeout;
            if (eq.afterPinPauseMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(eq.afterPinPauseMs));
            if (wind)
                waitForReadiness();
        } else if (state != "READY") {
            GSMErrorFmt(SPINNotExpected, state.c_str());
        }
    }
    lines.clear();

    m_registrationByTechnology = {-1, -1, -1};
    switch (eq.registration) {
    case TRegistrationQuery::Creg:
        queryRegistration("+CREG", false);
        break;
    case TRegistrationQuery::CregCeregC5greg:
        queryRegistration("+CREG", false);
        // A modem without LTE or 5G answers these with an error.
        queryRegistration("+CEREG", true);
        queryRegistration("+C5GREG", true);
        break;
    case TRegistrationQuery::Csq:
        CheckResult(ExecCommand("AT+CSQ", kQueryFlags, nullptr, 1));
        break;
    case TRegistrationQuery::None:
        break;
    }

    m_reportStorage.clear();
    if (eq.chooseStorages)
        chooseStorages();
    CheckResult(ExecCommand("AT+CPMS?", kQueryFlags, &lines));
    {
        size_t pos = 0;
        m_memory = ExtractParam(FirstLine(lines), pos);
    }
    lines.clear();
    CheckResult(ExecCommand("AT+CSMS?", kAnswerLineFlags, &lines));
    {
        size_t pos = 0;
        m_messageService = StrToInt(ExtractParam(FirstLine(lines), pos));
    }
    lines.clear();

    CheckResult(ExecCommand("AT+CSCA=" + Quoted(m_sca), kWaitResult));
    CheckResult(ExecCommand(Format("AT+CMGF=%d", static_cast<int>(m_smsFormat)), kWaitResult));
    if (eq.extraOpenCommand) {
        CheckResult(ExecCommand(eq.extraOpenCommand, kWaitResult));
        // A type that chooses its message service here runs in that one from now on: in service 1
        // every routed message must be acknowledged, or the handset stops routing (TS 27.005
        // 3.4.4).
        const std::string_view csms = "AT+CSMS=";
        if (std::string_view(eq.extraOpenCommand).substr(0, csms.size()) == csms)
            m_messageService = StrToInt(std::string(eq.extraOpenCommand + csms.size()));
    }
    if (eq.openStorage)
        m_memory = eq.openStorage; // only recorded, the handset is not told
    m_characterSet.clear();
    m_ucs2Offered = -1;
    if (m_smsFormat == kSMSFormatText) {
        CheckResult(ExecCommand("AT+CSDH=1", kWaitResult));
        if (eq.ucs2Text) {
            // Remembered to be put back after each UCS2 text; a modem that cannot tell has no
            // choice of character sets either.
            if (ExecCommand("AT+CSCS?", kQueryFlags | kErrorIsSuccess, &lines, 1) == 0 && !lines.empty())
                m_characterSet = lines.front();
            lines.clear();
        }
    }
    if (m_extendedErrorMsg && eq.cmee)
        CheckResult(ExecCommand("AT+CMEE=1", kWaitResult));

    m_unsolicitedIndication &=
        static_cast<TGSMUnsolicitedIndicationSet>(~SetupIndications(m_unsolicitedIndication));
}

// The query answer reaches the line handler, which takes the status from it; then the modem is
// asked to report changes.
void TGSM::queryRegistration(const std::string &command, bool optional)
{
    if (!optional) {
        CheckResult(ExecCommand("AT" + command + "?", kQueryFlags));
    } else if (ExecCommand("AT" + command + "?", kQueryFlags | kErrorIsSuccess, nullptr, 1) != 0) {
        return;
    }
    CheckResult(ExecCommand("AT" + command + "=1", kWaitResult));
}

void TGSM::chooseStorages()
{
    std::vector<std::string> lines;
    // A modem that cannot list its storages keeps its own choice.
    if (ExecCommand("AT+CPMS=?", kQueryFlags | kErrorIsSuccess, &lines, 1) != 0 || lines.empty())
        return;
    const std::string storages = ChooseStorages(lines.front());
    if (!storages.empty())
        CheckResult(ExecCommand("AT+CPMS=" + storages, kWaitResult));
    m_reportStorage = OfferedReportStorage(lines.front());
}

namespace {

// The storage names of each list of a "+CPMS=?" answer (without its prefix), up to three lists.
std::vector<std::vector<std::string>> offeredStorages(std::string_view testAnswer)
{
    std::vector<std::vector<std::string>> lists;
    size_t pos = 0;
    for (int list = 0; list < 3 && HasParam(testAnswer, pos); ++list) {
        std::string offered = ExtractParam(testAnswer, pos);
        if (!offered.empty() && offered.front() == '(')
            offered = offered.substr(1, offered.size() - (offered.back() == ')' ? 2 : 1));
        std::vector<std::string> &names = lists.emplace_back();
        for (size_t p = 0; HasParam(offered, p);)
            names.push_back(Dequote(ExtractParam(offered, p)));
    }
    return lists;
}

} // namespace

std::string ChooseStorages(std::string_view testAnswer)
{
    static const char *const kPreferred[] = {"MT", "ME", "SM"};
    std::string chosen;
    for (const std::vector<std::string> &names : offeredStorages(testAnswer)) {
        const char *pick = nullptr;
        for (const char *name : kPreferred) {
            if (std::find(names.begin(), names.end(), name) != names.end()) {
                pick = name;
                break;
            }
        }
        if (!pick)
            break;
        chosen += (chosen.empty() ? "\"" : ",\"") + std::string(pick) + "\"";
    }
    return chosen;
}

std::string OfferedReportStorage(std::string_view testAnswer)
{
    const auto lists = offeredStorages(testAnswer);
    if (lists.empty() || std::find(lists[0].begin(), lists[0].end(), "SR") == lists[0].end())
        return {};
    return "\"SR\"";
}

void TGSM::waitForReadiness()
{
    m_windReady = false;
    if (!waitForLines([this] { return m_windReady.load(); }, m_readinessTimeout, "AT+CPIN"))
        GSMError(SWavecomInitError);
}

bool TGSM::waitForLines(const std::function<bool()> &done, int timeoutMs, const std::string &cmd)
{
    // The line handler runs on the main thread: while this thread is the main thread it parses
    // the lines itself, waking on every received chunk.
    const bool onMain = isMainThread();
    m_awaitingLines = true;
    const int64_t start = GetTickMs();
    bool result = false;
    try {
        for (;;) {
            m_replyEvent.ResetEvent();
            if (onMain)
                ProcessReceived();
            if ((result = done()))
                break;
            checkDeviceLost(cmd);
            const int64_t left = timeoutMs - (GetTickMs() - start);
            if (left <= 0)
                break;
            WaitForEvent(m_replyEvent, static_cast<unsigned>(left));
        }
    } catch (...) {
        m_awaitingLines = false;
        throw;
    }
    m_awaitingLines = false;
    return result;
}

void TGSM::DoClose()
{
    takeRestartReason();
    m_echoOff = false; // the next session learns the echo anew
    SetPendingBodyLength(0);
    m_pendingSMS.reset();
    CloseDevice(false);
    // The application sees the handset unregistered; an engine being destroyed raises no events,
    // since the objects its handlers refer to may already be gone.
    if (m_networkRegistration != 0) {
        if (Destroying())
            m_networkRegistration = 0;
        else
            DoNetworkRegistration(0);
    }
}

void TGSM::GetModemInfo(int Index, std::string &Value)
{
    if (Index < 1 || Index > static_cast<int>(GSMInfoCommands.size()))
        RaiseListIndexError(Index);
    const bool closed = !Active();
    if (closed) {
        m_infoCache.clear();
        try {
            OpenDevice();
        } catch (...) {
            CloseDevice(true); // the port gets its own handlers back
            throw;
        }
    }
    try {
        const std::string command = GSMInfoCommands[static_cast<size_t>(Index - 1)];
        Value = m_infoCache[command];
        if (Value.empty()) {
            std::vector<std::string> lines;
            ExecCommand(command, kLinesFlags, &lines, 1);
            const size_t line = Index == 3 ? static_cast<size_t>(Behaviour().revisionLine) : 1;
            if (line > 1 && lines.size() >= line)
                Value = lines[line - 1];
            else
                Value = FirstLine(lines);
            m_infoCache[command] = Value;
        }
    } catch (...) {
        if (closed)
            CloseDevice(true);
        throw;
    }
    if (closed)
        CloseDevice(true);
}

void TGSM::SwitchOff()
{
    CheckActive();
    if (const char *command = Behaviour().switchOff)
        CheckResult(ExecCommand(command, kWaitResult));
}

void TGSM::SelectMemory(const std::string &Mem)
{
    if (Mem == m_memory)
        return;
    m_memory = Mem;
    if (Active())
        CheckResult(ExecCommand("AT+CPMS=" + Mem, kWaitResult));
}

} // namespace kestrel
