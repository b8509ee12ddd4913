// The AT transaction engine of TGSM: writing a command, waiting for its reply, the receive
// handler of the serial port, idle line processing on the main thread, and the async thread.
#include "gsm/gsm.h"

#include "base/convert.h"
#include "base/format.h"

#include <QCoreApplication>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

namespace kestrel {

namespace {

// How long an unfinished line may keep the next command waiting without more data.
constexpr unsigned kQuietWaitMs = 50;
// An attempt ends at the latest this many silence timeouts after it began, or after the last line
// that surely answers it: a device that never stops talking (the sentences of a navigation
// receiver, a port at the wrong speed) cannot hold a command.
constexpr int kAttemptLimitFactor = 4;
// Bytes of data that are no AT dialogue at all, received during a failed attempt, that make the
// failure say so: a stray report or two is no sign of the wrong port.
constexpr size_t kNoiseHintBytes = 128;

void SleepMs(int ms)
{
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

unsigned TimeoutMs(int ms)
{
    return ms > 0 ? static_cast<unsigned>(ms) : 1u;
}

// Keeps a busy section open for the lifetime of a scope.
class TBusySection {
public:
    explicit TBusySection(TGSM &gsm) : m_gsm(gsm) { m_gsm.BeginBusy(); }
    ~TBusySection() { m_gsm.EndBusy(); }
    TBusySection(const TBusySection &) = delete;
    TBusySection &operator=(const TBusySection &) = delete;

private:
    TGSM &m_gsm;
};

} // namespace

TGSMAsyncThread::TGSMAsyncThread(TGSM *owner) : m_owner(owner)
{
    m_thread = std::thread([this] { Execute(); });
}

TGSMAsyncThread::~TGSMAsyncThread()
{
    Terminate();
}

void TGSMAsyncThread::Terminate()
{
    m_terminated = true;
    m_call.Cancel(); // a wake-up queued to a busy main thread gives up
    Event.SetEvent();
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id())
            m_thread.detach();
        else
            m_thread.join();
    }
}

void TGSMAsyncThread::Execute()
{
    while (!m_terminated) {
        // Without an application object nothing runs the idle processing: no question is due.
        Event.WaitFor(QCoreApplication::instance() == nullptr ? kInfinite : m_owner->idleWaitMs());
        Event.ResetEvent();
        if (m_terminated)
            break;
        // Without an application object there is no main thread to hand the work to; the lines
        // then wait until the next command or an explicit ProcessReceived.
        if (QCoreApplication::instance() == nullptr)
            continue;
        m_call.Run([this] { m_owner->processReceivedForAsync(); });
    }
}

TGSM::TGSM()
{
    m_equipment = eqM1;
    m_repeatCount = 5;
    m_extendedErrorMsg = false;
    m_recTimeout = 6000;
    m_repeatTimeout = 500;
    m_memory = "\"SM\"";
    m_commandEcho = true;
    m_asyncThread = std::make_unique<TGSMAsyncThread>(this);
}

TGSM::~TGSM()
{
    m_asyncThread->Terminate();
    Destroy();
    if (m_comDevice && m_handlersInstalled) {
        // The port keeps running after the engine is gone: it must not call into it.
        if (m_comDevice->Active() && !m_savedActive) {
            try {
                m_comDevice->Close();
            } catch (...) {
            }
        }
        m_comDevice->OnRxChar = m_savedRxChar;
        m_comDevice->OnError = m_savedOnError;
        m_comDevice->SetDontSynchronize(m_savedDontSynchronize);
    }
    m_asyncThread.reset();
}

bool TGSM::isMainThread() const
{
    return IsMainThread();
}

void TGSM::BeginBusy()
{
    if (++m_busyCount == 1)
        DoBusyChanged(true);
}

void TGSM::EndBusy()
{
    if (m_busyCount == 0)
        return;
    if (--m_busyCount == 0) {
        DoBusyChanged(false);
        // A restart noticed while busy is handled now that nothing runs.
        bool restarted;
        {
            std::lock_guard lock(m_lock);
            restarted = !m_restartReason.empty();
        }
        if (restarted)
            m_asyncThread->Event.SetEvent();
    }
}

void TGSM::DoBusyChanged(bool aBusy)
{
    if (OnBusyChanged)
        OnBusyChanged(this, aBusy);
}

void TGSM::DoRxChar(char aChar)
{
    if (OnRxChar)
        OnRxChar(this, aChar);
}

int TGSM::CheckResult(int Code)
{
    if (Code != 0) {
        std::string line;
        {
            std::lock_guard lock(m_lock);
            line = m_reply.resultLine;
        }
        GSMErrorFmt(SErrorWasReturned, line.c_str());
    }
    return Code;
}

void TGSM::RaiseResultError(const std::string &ResultLine, const std::string &Cmd)
{
    const std::string upper = UpperASCII(ResultLine);
    int id = 0;
    for (auto [prefix, base] : {std::pair{"+CME ERROR: ", kCMEErrorBase}, {"+CMS ERROR: ", kCMSErrorBase}}) {
        if (upper.rfind(prefix, 0) == 0) {
            // Verbose error mode gives a text instead of the number: then there is no catalogue
            // text to add.
            auto n = TryStrToInt64(std::string_view(upper).substr(12));
            if (n && *n >= 0 && *n < 1000)
                id = base + static_cast<int>(*n);
        }
    }
    std::string detail;
    if (id != 0) {
        const std::string text = GSMResourceString(id);
        if (!text.empty())
            detail = " \"" + text + "\"";
    }
    GSMErrorFmt(SResultReturnedOnATCommand, ResultLine.c_str(), detail.c_str(), Cmd.c_str());
}

void TGSM::deviceLost(const std::string &reason)
{
    {
        std::lock_guard lock(m_lock);
        if (m_lostReason.empty())
            m_lostReason = reason;
    }
    m_deviceLost = true;
    m_replyEvent.SetEvent();
    // Nobody may be waiting for a reply: then the idle processing tells the application.
    m_asyncThread->Event.SetEvent();
}

void TGSM::checkDeviceLost(const std::string &cmd)
{
    if (!m_deviceLost && !(m_comDevice && m_comDevice->HungUp()))
        return;
    std::string reason;
    {
        std::lock_guard lock(m_lock);
        reason = m_lostReason.empty() ? "the other end hung up" : m_lostReason;
    }
    const std::string device = m_comDevice ? m_comDevice->DeviceName() : std::string("device");
    m_lostReported = true;
    GSMErrorFmt(SDeviceLost, device.c_str(), cmd.c_str(), reason.c_str());
}

void TGSM::reportLostWhileIdle()
{
    if (!m_deviceLost || !Active())
        return;
    {
        std::lock_guard lock(m_lock);
        if (m_reply.waitMask != 0)
            return; // the waiting command raises it
    }
    if (m_lostReported.exchange(true))
        return;
    std::string reason;
    {
        std::lock_guard lock(m_lock);
        reason = m_lostReason.empty() ? "the other end hung up" : m_lostReason;
    }
    const std::string device = m_comDevice ? m_comDevice->DeviceName() : std::string("device");
    DoProcessingError(Format(SDeviceLostIdle, device.c_str(), reason.c_str()));
}

void TGSM::waitQuiet(uint8_t flags)
{
    {
        std::lock_guard lock(m_lock);
        if (!m_midLine)
            return;
        m_reply.waitMask = flags | kWaitLineEnd;
        m_reply.receiveStatus = 0;
        m_reply.lines = nullptr; // the tail of an earlier line is nobody's reply
    }
    // A device that keeps sending lines without ever ending a chunk on a line end must not hold
    // the command back either: at most one silence timeout is spent here.
    const int64_t deadline = GetTickMs() + TimeoutMs(m_recTimeout);
    for (;;) {
        m_replyEvent.ResetEvent();
        if (m_deviceLost || GetTickMs() >= deadline)
            break;
        if (WaitForEvent(m_replyEvent, kQuietWaitMs) != TWaitResult::wrSignaled)
            break;
        std::lock_guard lock(m_lock);
        if (m_reply.receiveStatus & kWaitLineEnd)
            break;
    }
    std::lock_guard lock(m_lock);
    m_reply.waitMask &= static_cast<uint8_t>(~kWaitLineEnd);
}

// Waits while answers keep arriving, until the conditions are met (Done), RecTimeout ms pass
// without an answer (Silence), or the attempt's limit passes (Limit). required == 0 means the
// conditions of the wait mask.
TGSM::TWaitEnd TGSM::waitForReply(uint8_t required, const std::string &cmd)
{
    const bool onMain = isMainThread();
    const unsigned silence = TimeoutMs(m_recTimeout);
    const int64_t limit = static_cast<int64_t>(kAttemptLimitFactor) * silence;
    int64_t deadline = GetTickMs() + limit;
    size_t named;
    {
        std::lock_guard lock(m_lock);
        named = m_reply.namedLines;
    }
    for (;;) {
        const int64_t left = deadline - GetTickMs();
        const unsigned wait = left > 0 ? static_cast<unsigned>(std::min<int64_t>(silence, left)) : 0;
        const TWaitResult r = wait > 0 ? WaitForEvent(m_replyEvent, wait) : TWaitResult::wrTimeout;
        m_replyEvent.ResetEvent();
        checkDeviceLost(cmd);
        bool done;
        {
            std::lock_guard lock(m_lock);
            done = required ? (m_reply.receiveStatus & required) == required : ReplyConditionsMet(m_reply);
            // A long listing at a slow line speed is no endless stream: each of its entries
            // names the command.
            if (m_reply.namedLines != named) {
                named = m_reply.namedLines;
                deadline = GetTickMs() + limit;
            }
        }
        if (onMain)
            ProcessReceived();
        if (done)
            return TWaitEnd::Done;
        if (r != TWaitResult::wrSignaled)
            return wait < silence ? TWaitEnd::Limit : TWaitEnd::Silence;
    }
}

int TGSM::ExecCommand(const std::string &Cmd, uint8_t Flags, std::vector<std::string> *Lines, int Repeats)
{
    TBusySection busy(*this);
    const auto name = ATCommandName(Cmd);
    if (!name)
        GSMError(SBadATCommand);
    std::string commandPart = Cmd;
    std::string dataPart;
    if (Flags & kWaitPrompt) {
        const size_t gt = Cmd.find('>');
        if (gt == std::string::npos)
            GSMError(SBadPDUFormat);
        commandPart = Cmd.substr(0, gt);
        dataPart = Cmd.substr(gt + 1);
    }
    if (!m_comDevice)
        GSMError(SNoAssignedCOMDevice);
    {
        std::lock_guard lock(m_lock);
        m_reply.commandName = *name;
    }
    // A count of zero or below would never reach its end: at least one attempt is made.
    int attempts = Repeats != 0 ? Repeats : m_repeatCount;
    if (attempts < 1)
        attempts = 1;

    bool succeeded = false;
    std::string resultLine;
    int resultCode = 0;
    bool streaming = false; // the last attempt drowned in data that is no answer
    for (;;) {
        {
            std::lock_guard lock(m_lock);
            m_reply.resultLine.clear();
            m_reply.resultCode = 0;
        }
        succeeded = false;
        TWaitEnd end = TWaitEnd::Done;
        try {
            checkDeviceLost(Cmd);
            waitQuiet(Flags);
            checkDeviceLost(Cmd);
            m_comDevice->PurgeOutput();
            {
                std::lock_guard lock(m_lock);
                m_reply.buffer.clear();
                m_reply.discarding = false;
                m_reply.skipBody = false;
                m_reply.receiveStatus = 0;
                m_reply.resultLine.clear();
                m_reply.resultCode = 0;
                m_reply.lines = Lines;
                m_reply.collected = 0;
                m_reply.noiseBytes = 0;
                m_reply.namedLines = 0;
                m_reply.namedBytes = 0;
                m_reply.echoSeen = false;
                m_reply.waitMask = (Flags & kWaitPrompt) ? kWaitPrompt : Flags;
            }
            m_replyEvent.ResetEvent();
            bool proceed = true;
            if (Flags & kWaitPrompt) {
                m_comDevice->WriteString(commandPart + "\r");
                end = waitForReply(kWaitPrompt, Cmd);
                proceed = end == TWaitEnd::Done;
                if (proceed) {
                    waitQuiet(Flags & static_cast<uint8_t>(~kWaitPrompt));
                    m_replyEvent.ResetEvent();
                    {
                        std::lock_guard lock(m_lock);
                        m_reply.waitMask = Flags & static_cast<uint8_t>(~kWaitPrompt);
                        m_reply.receiveStatus = 0;
                        m_reply.lines = Lines;
                    }
                    m_sendDataWritten = true;
                    m_comDevice->WriteString(dataPart + "\x1A");
                }
            } else {
                m_comDevice->WriteString(Cmd + "\r");
            }
            if (proceed) {
                uint8_t mask;
                {
                    std::lock_guard lock(m_lock);
                    mask = m_reply.waitMask;
                }
                if (mask == 0) {
                    succeeded = true;
                } else {
                    end = waitForReply(0, Cmd);
                    succeeded = end == TWaitEnd::Done;
                    std::lock_guard lock(m_lock);
                    if (succeeded && (mask & kWaitResult))
                        succeeded = ResultIsOK(m_reply.resultLine);
                    if (!succeeded && (mask & kErrorIsSuccess))
                        succeeded = UpperASCII(m_reply.resultLine).find("ERROR") != std::string::npos;
                }
            }
        } catch (...) {
            {
                std::lock_guard lock(m_lock);
                m_reply.waitMask = 0;
                m_reply.lines = nullptr;
            }
            commandPause();
            throw;
        }
        bool echoSeen;
        {
            std::lock_guard lock(m_lock);
            m_reply.waitMask = 0;
            m_reply.lines = nullptr;
            resultLine = m_reply.resultLine;
            resultCode = m_reply.resultCode;
            echoSeen = m_reply.echoSeen;
            // An unfinished run counts too: bytes that never end a line are no answer either.
            streaming = !succeeded && (end == TWaitEnd::Limit ||
                                       m_reply.noiseBytes + m_reply.buffer.size() >= kNoiseHintBytes);
        }
        if (succeeded && m_afterAnswer)
            std::exchange(m_afterAnswer, nullptr)(); // once, and free to set another
        checkRestartSigns(echoSeen, resultLine);
        commandPause();
        --attempts;
        if (!succeeded)
            SleepMs(m_repeatTimeout);
        if (attempts <= 0 || succeeded)
            break;
    }
    if (!succeeded) {
        if (!resultLine.empty())
            RaiseResultError(resultLine, Cmd);
        GSMErrorFmt(streaming ? SNoReplyAmidData : SNoReplyOnATCommand, Cmd.c_str());
    }
    return resultCode;
}

void TGSM::commandPause()
{
    if (m_burstDepth > 0)
        m_owedCommandPause = Behaviour().commandPauseMs;
    else
        SleepMs(Behaviour().commandPauseMs);
}

void TGSM::readPause()
{
    if (m_burstDepth > 0)
        m_owedReadPause = Behaviour().readPauseMs;
    else
        SleepMs(Behaviour().readPauseMs);
}

void TGSM::BeginBurst()
{
    ++m_burstDepth;
}

void TGSM::EndBurst()
{
    if (m_burstDepth == 0 || --m_burstDepth > 0)
        return;
    // The handset gets the rest it would have had after the last command, and after the last
    // read, before anything else is written to it.
    SleepMs(std::exchange(m_owedCommandPause, 0) + std::exchange(m_owedReadPause, 0));
}

size_t TGSM::PendingStorageIndications() const
{
    std::lock_guard lock(m_lock);
    return CountWaitingLines(m_receive.data, {"+CMTI:", "+CDSI:"});
}

void TGSM::CommRxChar(TObject *Sender, int Count)
{
    if (Count <= 0)
        return;
    auto *port = dynamic_cast<TCommunicationConnection *>(Sender);
    if (!port)
        return;
    std::string s;
    try {
        s = port->ReadString(Count);
    } catch (const std::exception &e) {
        // Runs on the watcher thread: nothing may escape. A read that fails for another reason
        // than an empty queue means the line is gone.
        const int err = errno;
        if (err != EAGAIN && err != EINTR)
            deviceLost(e.what());
        else
            m_replyEvent.SetEvent();
        return;
    }
    if (s.empty())
        return;
    bool fedReply = false;
    bool undispatched;
    {
        std::lock_guard lock(m_lock);
        AppendReceived(m_receive, s);
        m_midLine = ChunkEndsMidLine(s, m_reply.waitMask);
        if (m_reply.waitMask != 0)
            fedReply = FeedReply(m_reply, s);
        undispatched = m_receive.data.size() > m_receive.dispatched;
    }
    if (fedReply || m_awaitingLines)
        m_replyEvent.SetEvent();
    if (undispatched)
        m_asyncThread->Event.SetEvent();
}

void TGSM::ProcessReceived()
{
    for (;;) {
        // Every received character reaches OnRxChar once, in order, before lines are parsed.
        for (;;) {
            char c;
            {
                std::lock_guard lock(m_lock);
                if (m_receive.dispatched >= m_receive.data.size())
                    break;
                c = m_receive.data[m_receive.dispatched++];
            }
            DoRxChar(c);
        }
        std::optional<std::string> line;
        {
            std::lock_guard lock(m_lock);
            // While a command waits its lines belong to it; they are parsed here afterwards.
            if (m_reply.waitMask != 0)
                return;
            line = ExtractIdleLine(m_receive);
            m_lineEnd = m_receive.consumed;
        }
        // What was dropped on the way to this line is reported before it.
        reportDiscardedLines();
        if (!line)
            return;
        ProcessLine(*line);
    }
}

void TGSM::reportDiscardedLines()
{
    size_t discarded;
    {
        std::lock_guard lock(m_lock);
        if (m_reply.waitMask != 0)
            return; // reported with the lines, once the command is done
        discarded = std::exchange(m_receive.discardedLines, 0);
    }
    for (; discarded > 0; --discarded)
        DoProcessingError(Format(SLineDiscarded, static_cast<unsigned>(kMaxLineLength)));
}

void TGSM::processReceivedForAsync()
{
    // The async thread has no caller to report to: the application hears of each failure.
    processLeftovers();
    reportLostWhileIdle();
    recoverFromRestart();
    recoverRouting();
}

void TGSM::DoSMSAccepted(int MR)
{
    if (OnSMSAccepted)
        OnSMSAccepted(this, MR);
}

void TGSM::DoProcessingError(const std::string &aMessage)
{
    if (OnProcessingError)
        OnProcessingError(this, aMessage);
}

size_t TGSM::PendingInput() const
{
    std::lock_guard lock(m_lock);
    return m_receive.data.size() + m_reply.buffer.size();
}

void TGSM::SetPendingBodyLength(size_t Length)
{
    std::lock_guard lock(m_lock);
    m_receive.pendingBodyLength = Length;
}

void TGSM::SignalReply()
{
    m_replyEvent.SetEvent();
}

} // namespace kestrel
