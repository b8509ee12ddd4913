// The open/close life cycle shared by every device component (serial port, GSM engine), the
// byte-stream base with its log channels, and the channel logger.
#pragma once

#include "base/datetime.h"
#include "base/object.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>

namespace kestrel {

class EConnectError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void ConnectError(const std::string &msg);

class TConnection;
using TConnectionNotifyEvent = std::function<void(TConnection *DataSet)>;

// A component opened and closed through one Active property, with Before/After events around
// each transition. A descendant implements DoOpen/DoClose; its destructor must call Destroy()
// first, so an open device is closed (silently) while the descendant still exists.
class TConnection : public TObject {
public:
    TConnection() = default;
    ~TConnection() override = default;
    TConnection(const TConnection &) = delete;
    TConnection &operator=(const TConnection &) = delete;

    bool Active() const { return m_active; }
    void SetActive(bool value);
    void Open() { SetActive(true); }
    void Close() { SetActive(false); }
    void CheckInactive() const;
    void CheckActive() const;

    // Reading stored settings: between BeginLoading and Loaded, SetActive(true) is only
    // remembered, and Loaded applies it once every property is in place.
    void BeginLoading() { m_loading = true; }
    virtual void Loaded();
    bool Loading() const { return m_loading; }
    bool Destroying() const { return m_destroying; }

    TConnectionNotifyEvent BeforeOpen;
    TConnectionNotifyEvent BeforeClose;
    TConnectionNotifyEvent AfterOpen;
    TConnectionNotifyEvent AfterClose;

protected:
    virtual void DoOpen() = 0;
    // Must tolerate a half-open device: it also runs after a failed DoOpen.
    virtual void DoClose() = 0;
    virtual void DoBeforeOpen();
    virtual void DoBeforeClose();
    virtual void DoAfterOpen();
    virtual void DoAfterClose();

    // Marks the component as being destroyed and closes it without Before/AfterClose.
    void Destroy();

private:
    bool m_active = false;
    bool m_streamedActive = false;
    bool m_loading = false;
    bool m_destroying = false;
};

class TLogger;
using TAcceptChannelEvent =
    std::function<void(TObject *Sender, const std::string &aLogName, uint8_t aChannel, bool &aAccept)>;
using TFormatLogEvent = std::function<void(TObject *Sender, uint8_t aChannel, std::string &aText)>;

// Receiving side of the channel log: a descendant formats an entry and writes it to its medium.
class TLogger : public TConnection {
public:
    void Log(const std::string &aLogName, uint8_t aChannel, const std::string &aText);
    bool AutoOpen() const { return m_autoOpen; }
    void SetAutoOpen(bool value);

    TAcceptChannelEvent AcceptChannel;

protected:
    virtual void WriteLog(const std::string &Line) = 0;
    virtual std::string FormatLog(const std::string &aLogName, uint8_t aChannel,
                                  const std::string &aText) = 0;

private:
    std::mutex m_lock;
    bool m_autoOpen = false;
};

// Sending side of the channel log.
class TLogConnection : public TConnection {
public:
    TLogger *Logger() const { return m_logger; }
    void SetLogger(TLogger *logger) { m_logger = logger; }
    const std::string &LogName() const { return m_logName; }
    void SetLogName(const std::string &name) { m_logName = name; }

    void Log(uint8_t aChannel, const std::string &aText);

    TFormatLogEvent OnFormatLog;

protected:
    virtual void DoFormatLog(uint8_t aChannel, std::string &aText);

private:
    TLogger *m_logger = nullptr; // not owned
    std::string m_logName;
};

// Log channel numbers of the whole system.
constexpr uint8_t kChannelSent = 1;
constexpr uint8_t kChannelReceived = 2;

using TCommRxCharEvent = std::function<void(TObject *Sender, int Count)>;

// A byte-stream connection: the serial port implements the queue operations.
class TCommunicationConnection : public TLogConnection {
public:
    virtual int InQueueCount() = 0;
    virtual void PurgeInput() = 0;
    virtual void PurgeOutput() = 0;
    virtual int Write(const void *Buffer, int Count) = 0;
    virtual int Read(void *Buffer, int Count) = 0;

    // Logs S on channel 1 (before writing, so a failed write is still logged), then writes it.
    int WriteString(const std::string &S);
    // Reads up to Count bytes and logs what was read on channel 2.
    std::string ReadString(int Count);

    bool DontSynchronize() const { return m_dontSynchronize; }
    void SetDontSynchronize(bool value) { m_dontSynchronize = value; }

    TCommRxCharEvent OnRxChar;

    virtual void DoRxChar(int Count);

private:
    bool m_dontSynchronize = false;
};

// Each byte as two upper-case hexadecimal digits.
std::string StrToHex(const std::string &S);
// Pairs of hexadecimal digits to bytes; an odd trailing digit converts on its own. Raises
// EConvertError on a pair that is not hexadecimal.
std::string HexToStr(const std::string &S);
// Current UTC time of the clock in force (base/clock.h), with millisecond resolution.
TDateTime NowUTC();

} // namespace kestrel
