// The serial port component: a locked, raw-mode tty with timed reads and writes, and a watcher
// thread that raises its events (received bytes, transmit queue empty, line changes).
#pragma once

#include "comm/comerror.h"
#include "connect/connection.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kestrel {

enum TBaudrate : uint8_t {
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
enum TParity : uint8_t { paNone, paOdd, paEven, paMark, paSpace };
enum TStopbits : uint8_t { sb10, sb15, sb20 };
enum TDatabits : uint8_t { da4, da5, da6, da7, da8 };
enum TFlowControl : uint8_t { fcNone, fcCTS, fcDTR, fcSoftware, fcDefault };

// Sets keep their bit layout (bit n = member n), since they are stored in settings files.
enum TCommOption : uint8_t { coParityCheck, coDsrSensitivity, coIgnoreXOff, coErrorChar, coNullStrip };
using TCommOptions = uint8_t;
enum TCommEventType : uint8_t {
    evBreak,
    evCts,
    evDsr,
    evError,
    evRing,
    evRlsd,
    evRxChar,
    evRxFlag,
    evTxEmpty
};
using TCommEventTypes = uint16_t;
constexpr TCommEventTypes kAllCommEvents = 0x01FF;
constexpr uint16_t Bit(TCommEventType e)
{
    return static_cast<uint16_t>(1u << e);
}
constexpr uint8_t Bit(TCommOption o)
{
    return static_cast<uint8_t>(1u << o);
}

// Event bits passed from the watcher to DispatchEvents.
constexpr int EV_RXCHAR = 0x0001;
constexpr int EV_RXFLAG = 0x0002;
constexpr int EV_TXEMPTY = 0x0004;
constexpr int EV_CTS = 0x0008;
constexpr int EV_DSR = 0x0010;
constexpr int EV_RLSD = 0x0020;
constexpr int EV_BREAK = 0x0040;
constexpr int EV_ERR = 0x0080;
constexpr int EV_RING = 0x0100;

// The Errors argument of OnError: what the watcher found on the descriptor.
constexpr int kCommErrorException = 0x01; // an exceptional condition
constexpr int kCommErrorHangup = 0x02;    // the other end went away

// Numeric value of every TBaudrate member, in member order.
extern const int kBaudrateValues[15];

using TNotifyEvent = std::function<void(TObject *Sender)>;
using TCommErrorEvent = std::function<void(TObject *Sender, int Errors)>;

class TCommEventThread;

// Everything of the serial port except the device name and the opening of the file.
class TCommHandle : public TCommunicationConnection {
public:
    TCommHandle();
    ~TCommHandle() override;

    int InQueueCount() override;
    int OutQueueCount();
    void PurgeInput() override;
    void PurgeOutput() override;
    // Returns the count of the last low-level write/read; raises EComError on a failed call.
    int Write(const void *Buffer, int Count) override;
    int Read(void *Buffer, int Count) override;

    virtual void ApplySettings();
    virtual void DispatchEvents(int Events);

    int Handle() const { return m_handle; }
    // True once the watcher saw the other end of the line go away (hang-up or descriptor error);
    // reads and writes then fail, and OnError was raised with kCommErrorHangup.
    bool HungUp() const { return m_hungUp; }

    TBaudrate Baudrate() const { return m_baudrate; }
    void SetBaudrate(TBaudrate value);
    TParity Parity() const { return m_parity; }
    void SetParity(TParity value);
    TStopbits Stopbits() const { return m_stopbits; }
    void SetStopbits(TStopbits value);
    TDatabits Databits() const { return m_databits; }
    void SetDatabits(TDatabits value);
    TFlowControl FlowControl() const { return m_flowControl; }
    void SetFlowControl(TFlowControl value);
    TCommOptions Options() const { return m_options; }
    void SetOptions(TCommOptions value);
    int ReadTimeout() const { return m_readTimeout; }
    void SetReadTimeout(int ms) { m_readTimeout = ms; }
    int WriteTimeout() const { return m_writeTimeout; }
    void SetWriteTimeout(int ms) { m_writeTimeout = ms; }
    int ReadBufSize() const { return m_readBufSize; }
    void SetReadBufSize(int value);
    int WriteBufSize() const { return m_writeBufSize; }
    void SetWriteBufSize(int value);
    TCommEventTypes MonitorEvents() const { return m_monitorEvents; }
    void SetMonitorEvents(TCommEventTypes value);
    // Control characters by index: 1 XonChar, 2 XoffChar, 3 ErrorChar, 4 EofChar, 5 EvtChar.
    char CommChar(int index) const;
    void SetCommChar(int index, char value);
    char XonChar() const { return m_chars[0]; }
    char XoffChar() const { return m_chars[1]; }
    char ErrorChar() const { return m_chars[2]; }
    char EofChar() const { return m_chars[3]; }
    char EvtChar() const { return m_chars[4]; }

    TNotifyEvent OnBreak, OnCts, OnDsr, OnRing, OnRlsd, OnRxFlag, OnTxEmpty;
    TCommErrorEvent OnError;

protected:
    void DoOpen() override;
    void DoClose() override;

    int m_handle = -1;

private:
    friend class TCommEventThread;
    void settingChanged();
    // Watcher side of the receive buffer: takes what the descriptor holds (up to the buffer's
    // room) in one read and returns the count now buffered.
    int FillReceiveBuffer();
    int BufferedCount();
    // Removes the driver's error marks from bytes just read (see ApplySettings): a doubled 0xFF
    // is one 0xFF, a byte marked as received in error is dropped. Returns the bytes left.
    size_t RemoveErrorMarks(char *data, size_t count);

    std::atomic<bool> m_hungUp = false;
    std::atomic<int> m_lastErrors = 0;
    std::atomic<uint64_t> m_bytesRead = 0; // lets the watcher tell read bytes from stale ones

    TBaudrate m_baudrate = br9600;
    TParity m_parity = paNone;
    TStopbits m_stopbits = sb10;
    TDatabits m_databits = da8;
    TFlowControl m_flowControl = fcDefault;
    TCommOptions m_options = 0;
    int m_readTimeout = 1000;
    int m_writeTimeout = 1000;
    int m_readBufSize = 4096;
    int m_writeBufSize = 2048;
    TCommEventTypes m_monitorEvents = kAllCommEvents;
    char m_chars[5] = {17, 19, 0, 0, 0};
    std::mutex m_writeLock;
    // Bytes the watcher read ahead of the handler, served first by Read. One read per readiness
    // report replaces a queue-count query plus a read; the query contends with the tty layer's
    // receive work on every chunk.
    std::mutex m_readLock;
    std::vector<char> m_rxBuffer;
    size_t m_rxHead = 0;
    size_t m_rxTail = 0;
    // Line errors are marked by the driver (PARMRK), and how far a mark has been read: 1 after
    // 0xFF, 2 after 0xFF 0x00 (the next byte is the one received in error).
    bool m_errorsMarked = false;
    int m_markState = 0;
    std::unique_ptr<TCommEventThread> m_watcher;
};

// The serial port with its device name and UUCP lock file.
class TComm : public TCommHandle {
public:
    TComm();
    ~TComm() override;

    const std::string &DeviceName() const { return m_deviceName; }
    void SetDeviceName(const std::string &name);

protected:
    void DoOpen() override;
    void DoClose() override;

private:
    std::string m_deviceName = "/dev/ttyS0";
    std::string m_lockFile; // the lock taken at the last opening
};

// Milliseconds of a monotonic clock; use differences only.
int64_t GetTickMs();
bool IntToBaudrate(int Value, TBaudrate &Baud);

// Lock directory; tests point it elsewhere. Default "/var/lock".
void SetLockDirectory(const std::string &dir);
const std::string &LockDirectory();
// The lock file of a device: LCK.. and the file name of the device itself, symbolic links
// resolved (a device that does not exist keeps the name given).
std::string LockFileName(const std::string &DeviceName);
void LockDevice(const std::string &DeviceName);
void UnlockDevice(const std::string &DeviceName);
// The same on a lock file name: CreateLockFile raises "Device \"%s\" is locked" (DeviceName) when a
// live process holds it; RemoveLockFile removes it only when it is this process's own.
void CreateLockFile(const std::string &LockName, const std::string &DeviceName);
void RemoveLockFile(const std::string &LockName);
// The id of the live process that holds the lock file, 0 when none does.
long LockOwner(const std::string &LockName);

} // namespace kestrel
