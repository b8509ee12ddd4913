#include "connect/connection.h"

#include "base/clock.h"
#include "base/convert.h"
#include "base/format.h"
#include "base/rtlerrors.h"

#include <array>

namespace kestrel {

void ConnectError(const std::string &msg)
{
    throw EConnectError(msg);
}

void TConnection::SetActive(bool value)
{
    if (m_loading) {
        if (value)
            m_streamedActive = true;
        return;
    }
    if (value == m_active)
        return;
    if (value) {
        DoBeforeOpen();
        try {
            DoOpen();
        } catch (...) {
            DoClose();
            throw;
        }
        m_active = true;
        DoAfterOpen();
    } else {
        if (!m_destroying)
            DoBeforeClose();
        DoClose();
        m_active = false;
        if (!m_destroying)
            DoAfterClose();
    }
}

void TConnection::Loaded()
{
    m_loading = false;
    if (m_streamedActive) {
        m_streamedActive = false;
        SetActive(true);
    }
}

void TConnection::CheckInactive() const
{
    if (m_active)
        ConnectError("Connection is active");
}

void TConnection::CheckActive() const
{
    if (!m_active)
        ConnectError("Connection is inactive");
}

void TConnection::DoBeforeOpen()
{
    if (BeforeOpen)
        BeforeOpen(this);
}

void TConnection::DoBeforeClose()
{
    if (BeforeClose)
        BeforeClose(this);
}

void TConnection::DoAfterOpen()
{
    if (AfterOpen)
        AfterOpen(this);
}

void TConnection::DoAfterClose()
{
    if (AfterClose)
        AfterClose(this);
}

void TConnection::Destroy()
{
    m_destroying = true;
    m_loading = false;
    try {
        Close();
    } catch (...) {
        // A destructor must not throw; a device that fails to close is abandoned.
    }
}

void TLogger::SetAutoOpen(bool value)
{
    CheckInactive();
    m_autoOpen = value;
}

void TLogger::Log(const std::string &aLogName, uint8_t aChannel, const std::string &aText)
{
    if (!Active() && !m_autoOpen)
        return;
    bool accept = true;
    if (AcceptChannel)
        AcceptChannel(this, aLogName, aChannel, accept);
    if (!accept)
        return;
    std::lock_guard lock(m_lock);
    const bool wasActive = Active();
    try {
        Open();
        WriteLog(FormatLog(aLogName, aChannel, aText));
    } catch (...) {
        SetActive(wasActive);
        throw;
    }
    SetActive(wasActive);
}

void TLogConnection::DoFormatLog(uint8_t aChannel, std::string &aText)
{
    if (OnFormatLog)
        OnFormatLog(this, aChannel, aText);
}

void TLogConnection::Log(uint8_t aChannel, const std::string &aText)
{
    if (!OnFormatLog && !m_logger)
        return; // nothing would see the entry: spare the copy on every block read or written
    std::string text = aText;
    DoFormatLog(aChannel, text);
    if (m_logger)
        m_logger->Log(m_logName, aChannel, text);
}

void TCommunicationConnection::DoRxChar(int Count)
{
    if (OnRxChar)
        OnRxChar(this, Count);
}

int TCommunicationConnection::WriteString(const std::string &S)
{
    Log(kChannelSent, S);
    return Write(S.data(), static_cast<int>(S.size()));
}

std::string TCommunicationConnection::ReadString(int Count)
{
    std::string s(static_cast<size_t>(Count > 0 ? Count : 0), '\0');
    int n = Count > 0 ? Read(s.data(), Count) : 0;
    s.resize(static_cast<size_t>(n > 0 ? n : 0));
    Log(kChannelReceived, s);
    return s;
}

// Both conversions are table-driven and allocate once: every PDU exchanged with a handset passes
// through them.
std::string StrToHex(const std::string &S)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string result(S.size() * 2, '\0');
    char *out = result.data();
    for (unsigned char c : S) {
        *out++ = digits[c >> 4];
        *out++ = digits[c & 0x0F];
    }
    return result;
}

std::string HexToStr(const std::string &S)
{
    static const auto values = [] {
        std::array<int8_t, 256> t;
        t.fill(-1);
        for (int i = 0; i < 10; ++i)
            t['0' + i] = static_cast<int8_t>(i);
        for (int i = 0; i < 6; ++i)
            t['A' + i] = t['a' + i] = static_cast<int8_t>(10 + i);
        return t;
    }();
    std::string result((S.size() + 1) / 2, '\0');
    for (size_t i = 0, o = 0; i < S.size(); i += 2, ++o) {
        const bool pair = i + 1 < S.size();
        const int hi = values[static_cast<uint8_t>(S[i])];
        const int lo = pair ? values[static_cast<uint8_t>(S[i + 1])] : 0;
        if (hi < 0 || lo < 0)
            throw EConvertError(Format("\"$%s\" is an invalid integer", S.substr(i, 2).c_str()));
        // an odd trailing digit converts on its own
        result[o] = static_cast<char>(pair ? hi << 4 | lo : hi);
    }
    return result;
}

TDateTime NowUTC()
{
    return UnixMsToDateTime(Clock().UnixMs());
}

} // namespace kestrel
