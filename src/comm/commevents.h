// The watcher thread of an open serial port and the timed wait on an event object.
#pragma once

#include "base/event.h"
#include "base/mainthread.h"
#include "comm/comm.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace kestrel {

// Watches one open descriptor and makes its port raise OnRxChar, OnTxEmpty and the line events.
// It blocks in poll() between readiness reports, so an idle port costs nothing; a pipe wakes it
// for termination and a write arms the transmit-empty watch.
class TCommEventThread {
public:
    TCommEventThread(TCommHandle *port, TCommEventTypes mask, int handle);
    ~TCommEventThread(); // terminates and waits

    // Requests the end and waits for it; safe to call more than once.
    void Terminate();
    bool Terminated() const { return m_terminated; }
    // Armed by every write of the port: the next drain of the output queue raises OnTxEmpty.
    void ArmTransmitWatch();

private:
    void run();
    void wake();
    void deliver();
    bool pollLines();

    TCommHandle *m_port;
    TCommEventTypes m_mask;
    int m_handle;
    std::mutex m_lock; // guards m_pending
    int m_pending = 0;
    std::atomic<bool> m_watchTransmit = false;
    std::atomic<bool> m_terminated = false;
    int m_lineStatus = 0;
    bool m_linesReadable = true;
    int m_wakePipe[2] = {-1, -1};
    TMainThreadCall m_synchronize;
    std::thread m_thread;
};

// Waits until the event is set or Timeout ms have passed without consuming it. Timeout 0 gives
// wrError and kInfinite waits without limit, as the event object's own wait does.
TWaitResult WaitForEvent(TEvent &Event, unsigned Timeout);

// Terminates every watcher still running (the exit handler calls it).
void TerminateAllCommThreads();

} // namespace kestrel
