// A handset that restarts while the engine has it open (a watchdog, a loose battery contact, a
// firmware update) comes back with its power-on settings: echo on, no indications, the SIM
// locked again. It announces its start with a line of its own, or shows it in how it answers the
// next command. The engine notices, sets it up again with the open sequence of its equipment when
// no command runs, and then lets the application read what reached the storage meanwhile.
#include "gsm/gsm.h"

#include "base/format.h"

#include <utility>

namespace kestrel {

namespace {

// A set-up that yet another restart interrupts is begun again at most this often in a row; a
// handset that keeps restarting is then left alone until it announces its next start.
constexpr int kMaxSetupRounds = 3;

// Lines with which handsets announce that they have started.
struct TStartLine {
    std::string_view text;
    bool prefix; // followed by the mode it started in
};

constexpr TStartLine kStartLines[] = {
    {"RDY", false},      // modules that report readiness for commands after power-on
    {"^SYSSTART", true}, // Siemens: "^SYSSTART", or "^SYSSTART AIRPLANE MODE"
};

bool IsStartLine(std::string_view line)
{
    line = TrimBlanks(line);
    for (const TStartLine &s : kStartLines) {
        if (line == s.text || (s.prefix && line.substr(0, s.text.size()) == s.text &&
                               (line.size() == s.text.size() || line[s.text.size()] == ' ')))
            return true;
    }
    return false;
}

// The final result of a command that finds the SIM locked: TS 27.007 9.2.1 "+CME ERROR: 11",
// TS 27.005 3.2.5 "+CMS ERROR: 311", numeric or in words.
bool AsksForPIN(std::string_view resultLine)
{
    const std::string upper = UpperASCII(TrimBlanks(resultLine));
    return upper == "+CME ERROR: 11" || upper == "+CMS ERROR: 311" ||
           upper.find("SIM PIN REQUIRED") != std::string::npos;
}

} // namespace

uint64_t TGSM::ReceivedSoFar() const
{
    std::lock_guard lock(m_lock);
    return m_receive.consumed + m_receive.data.size();
}

void TGSM::noticeRestart(const std::string &reason)
{
    {
        std::lock_guard lock(m_lock);
        if (m_restartReason.empty())
            m_restartReason = reason; // the first sign names it
    }
    // The idle processing sets the handset up again once no command runs.
    m_asyncThread->Event.SetEvent();
}

std::string TGSM::takeRestartReason()
{
    std::lock_guard lock(m_lock);
    return std::exchange(m_restartReason, std::string());
}

void TGSM::checkRestartSigns(bool echoSeen, const std::string &resultLine)
{
    if (echoSeen && m_echoOff)
        noticeRestart(SRestartEcho);
    // The SIM was unlocked when the handset was set up; the PIN phase itself never fails so.
    if ((Active() || m_recovering) && AsksForPIN(resultLine))
        noticeRestart(SRestartPIN);
}

// A start line, unless the last set-up already followed it. A text-mode message may read like
// one, stored or routed; in PDU mode a start line where a body was due means that the restart cut
// the message off.
bool TGSM::handleRestartLine(const std::string &line)
{
    if (!IsStartLine(line) || m_lineIsMessageText || (m_pendingSMS && m_smsFormat == kSMSFormatText))
        return false;
    m_pendingSMS.reset();
    SetPendingBodyLength(0);
    if (m_lineEnd > m_settledAt)
        noticeRestart(std::string(TrimBlanks(line)));
    return true;
}

void TGSM::processLeftovers()
{
    // The lines after one whose handling failed are processed at once: it is already out of the
    // buffer, and nobody else would come back for them.
    for (;;) {
        try {
            ProcessReceived();
            return;
        } catch (const std::exception &e) {
            DoProcessingError(e.what());
        }
    }
}

void TGSM::recoverFromRestart()
{
    // Never inside a command, an open or another set-up: EndBusy wakes the idle processing again
    // once they are over.
    if (m_recovering || Busy() || !Active() || m_deviceLost)
        return;
    std::string reason = takeRestartReason();
    if (reason.empty())
        return;
    struct TRecovering {
        TGSM &gsm;
        explicit TRecovering(TGSM &g) : gsm(g)
        {
            gsm.m_recovering = true;
            gsm.BeginBusy();
        }
        ~TRecovering()
        {
            gsm.m_recovering = false;
            gsm.EndBusy();
        }
        TRecovering(const TRecovering &) = delete;
        TRecovering &operator=(const TRecovering &) = delete;
    } recovering(*this);

    std::string error;
    for (int round = 1;; ++round) {
        error.clear();
        try {
            setupHandset();
        } catch (const std::exception &e) {
            error = e.what();
        }
        // The set-up's own answers (the registration among them) and whatever came meanwhile: a
        // start line there means that the handset restarted once more.
        processLeftovers();
        if (m_deviceLost || takeRestartReason().empty())
            break;
        if (round == kMaxSetupRounds) {
            // What it announced so far is history; its next start line begins anew.
            m_settledAt = ReceivedSoFar();
            DoProcessingError(Format(SRestartSetupRestarted, reason.c_str(), round));
            return;
        }
    }
    if (!error.empty()) {
        DoProcessingError(Format(SRestartSetupFailed, reason.c_str(), error.c_str()));
        return;
    }
    try {
        DoRestart(reason);
    } catch (const std::exception &e) {
        DoProcessingError(e.what());
    }
    processLeftovers();
}

void TGSM::DoRestart(const std::string &aReason)
{
    if (OnRestart)
        OnRestart(this, aReason);
}

} // namespace kestrel
