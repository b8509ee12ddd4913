// USSD sessions of TGSM (TS 27.007 7.15): the string goes out with AT+CUSD, the network's answer
// comes back as a "+CUSD:" line of its own, before or after the final result of the command.
#include "gsm/gsm.h"

#include "base/format.h"

namespace kestrel {

namespace {

constexpr uint8_t kQueryFlags = kWaitResult | kWaitReply | kPrefixedReply;

bool StartsWithUSSD(const std::string &line)
{
    return line.compare(0, 6, "+CUSD:") == 0;
}

} // namespace

TTECharset TGSM::TECharacterSet()
{
    CheckActive();
    if (m_characterSet.empty()) {
        std::vector<std::string> lines;
        if (ExecCommand("AT+CSCS?", kQueryFlags | kErrorIsSuccess, &lines, 1) == 0 && !lines.empty())
            m_characterSet = lines.front();
        else
            m_characterSet = "\"GSM\"";
    }
    return TECharsetFromName(m_characterSet);
}

void TGSM::StartUSSD(const QString &Text)
{
    const std::string str = EncodeUSSDString(Text, TECharacterSet());
    // TS 23.038 5: 15 is the default alphabet without a language.
    CheckResult(ExecCommand("AT+CUSD=1,\"" + str + "\",15", kWaitResult));
}

TUSSDAnswer TGSM::SendUSSD(const QString &Text, int TimeoutMs)
{
    CheckActive();
    BeginBusy();
    auto finish = [this] {
        std::lock_guard lock(m_lock);
        m_ussdWaiting = false;
        m_ussdAnswer.reset();
        m_ussdError.clear();
    };
    try {
        TECharacterSet(); // asked before the answer can come
        {
            std::lock_guard lock(m_lock);
            m_ussdWaiting = true;
            m_ussdAnswer.reset();
            m_ussdError.clear();
        }
        StartUSSD(Text);
        waitForLines(
            [this] {
                std::lock_guard lock(m_lock);
                return m_ussdAnswer.has_value() || !m_ussdError.empty();
            },
            TimeoutMs, "AT+CUSD");
    } catch (...) {
        finish();
        EndBusy();
        throw;
    }
    std::optional<TUSSDAnswer> answer;
    std::string error;
    {
        std::lock_guard lock(m_lock);
        answer = m_ussdAnswer;
        error = m_ussdError;
    }
    finish();
    EndBusy();
    if (!error.empty())
        GSMErrorFmt("The answer to USSD \"%s\" is malformed: %s", Text.toUtf8().constData(), error.c_str());
    if (!answer)
        GSMErrorFmt("No answer from the network to USSD \"%s\" within %.1f s", Text.toUtf8().constData(),
                    TimeoutMs / 1000.0);
    return *answer;
}

void TGSM::CancelUSSD()
{
    CheckResult(ExecCommand("AT+CUSD=2", kWaitResult));
}

// "+CUSD: <m>[,<str>[,<dcs>]]": the network's answer, or a message it began itself.
bool TGSM::handleUSSDLine(const std::string &line)
{
    if (!StartsWithUSSD(line) || m_lineIsMessageText)
        return false;
    TUSSDAnswer answer;
    try {
        answer = DecodeUSSDLine(line, TECharsetFromName(m_characterSet));
    } catch (const std::exception &e) {
        {
            std::lock_guard lock(m_lock);
            if (!m_ussdWaiting)
                throw;
            m_ussdError = e.what();
        }
        SignalReply();
        return true;
    }
    {
        std::lock_guard lock(m_lock);
        if (m_ussdWaiting && !m_ussdAnswer)
            m_ussdAnswer = answer;
    }
    SignalReply();
    DoUSSD(answer);
    return true;
}

void TGSM::DoUSSD(const TUSSDAnswer &aAnswer)
{
    if (OnUSSD)
        OnUSSD(this, aAnswer);
}

} // namespace kestrel
