#include "comm/commevents.h"

#include "base/format.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace kestrel {

namespace {

// Every watcher in existence, so that the exit handler can stop those of ports still open.
std::mutex &ThreadListLock()
{
    static std::mutex lock;
    return lock;
}

std::vector<TCommEventThread *> &ThreadList()
{
    static std::vector<TCommEventThread *> list;
    return list;
}

void ExitHandler()
{
    TerminateAllCommThreads();
}

// The exit handler is installed when the unit is loaded.
const bool kExitHandlerInstalled = [] {
    std::atexit(ExitHandler);
    return true;
}();

// How often the modem status lines are read while line events are monitored, and how often a
// report of bytes that no handler consumed is repeated.
constexpr int kLinePollMs = 20;
constexpr int kStaleRepeatMs = 20;

} // namespace

void TerminateAllCommThreads()
{
    for (;;) {
        TCommEventThread *last = nullptr;
        {
            std::lock_guard lock(ThreadListLock());
            auto &list = ThreadList();
            for (auto it = list.rbegin(); it != list.rend(); ++it) {
                if (!(*it)->Terminated()) {
                    last = *it;
                    break;
                }
            }
        }
        if (!last)
            return;
        last->Terminate();
    }
}

TCommEventThread::TCommEventThread(TCommHandle *port, TCommEventTypes mask, int handle)
    : m_port(port), m_mask(mask), m_handle(handle)
{
    (void)kExitHandlerInstalled;
    if (pipe2(m_wakePipe, O_CLOEXEC | O_NONBLOCK) < 0)
        throw std::system_error(errno, std::generic_category());
    if (m_mask & (Bit(evCts) | Bit(evDsr) | Bit(evRing))) {
        // A pseudo-terminal has no modem lines: then there are no line events, and no polling.
        m_linesReadable = ioctl(m_handle, TIOCMGET, &m_lineStatus) == 0;
    } else {
        m_linesReadable = false;
    }
    {
        std::lock_guard lock(ThreadListLock());
        ThreadList().push_back(this);
    }
    try {
        m_thread = std::thread([this] { run(); });
    } catch (...) {
        std::lock_guard lock(ThreadListLock());
        auto &list = ThreadList();
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
        close(m_wakePipe[0]);
        close(m_wakePipe[1]);
        throw;
    }
}

TCommEventThread::~TCommEventThread()
{
    Terminate();
    {
        std::lock_guard lock(ThreadListLock());
        auto &list = ThreadList();
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
    }
    close(m_wakePipe[0]);
    close(m_wakePipe[1]);
}

void TCommEventThread::Terminate()
{
    m_terminated = true;
    m_synchronize.Cancel(); // a delivery waiting for the main thread gives up
    wake();
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id())
            m_thread.detach(); // a handler closing its own port: the loop ends after it returns
        else
            m_thread.join();
    }
}

void TCommEventThread::ArmTransmitWatch()
{
    // Only the first write after a drain needs to wake the watcher.
    if (!m_watchTransmit.exchange(true))
        wake();
}

void TCommEventThread::wake()
{
    char c = 1;
    ssize_t r = write(m_wakePipe[1], &c, 1);
    (void)r; // a full pipe already holds a wake-up
}

void TCommEventThread::deliver()
{
    int events;
    {
        std::lock_guard lock(m_lock);
        events = m_pending;
        m_pending = 0;
    }
    if (!events)
        return;
    try {
        m_port->DispatchEvents(events);
    } catch (...) {
        // A handler's failure has no caller to reach on this thread; the watcher must go on
        // reporting, or the port would fall silent (or the process end) over one bad event.
    }
}

bool TCommEventThread::pollLines()
{
    int status = 0;
    if (ioctl(m_handle, TIOCMGET, &status) != 0) {
        m_linesReadable = false;
        return false;
    }
    int changed = m_lineStatus ^ status;
    m_lineStatus = status;
    int found = 0;
    if ((m_mask & Bit(evRing)) && (changed & TIOCM_RNG))
        found |= EV_RING;
    if ((m_mask & Bit(evCts)) && (changed & TIOCM_CTS))
        found |= EV_CTS;
    if ((m_mask & Bit(evDsr)) && (changed & TIOCM_DSR))
        found |= EV_DSR;
    if (found) {
        std::lock_guard lock(m_lock);
        m_pending |= found;
    }
    return found != 0;
}

void TCommEventThread::run()
{
    // Received bytes that a delivery left unread: they are reported again at a slow pace instead
    // of on every readiness report, which would spin while the descriptor stays readable.
    int staleCount = -1;
    // The output queue was seen non-empty while writable: the drain is checked at a slow pace.
    bool drainPending = false;
    bool hungUp = false;
    // A handler read part of the buffered bytes: the rest goes out on the next pass, at once.
    bool redeliver = false;

    while (!m_terminated) {
        pollfd fds[2];
        fds[0].fd = m_wakePipe[0];
        fds[0].events = POLLIN;
        fds[1].fd = m_handle;
        fds[1].events = 0;
        if (!hungUp) {
            fds[1].events = POLLPRI;
            if (staleCount < 0)
                fds[1].events |= POLLIN;
            if (m_watchTransmit && !drainPending)
                fds[1].events |= POLLOUT;
        }
        int timeout = -1;
        if (m_linesReadable)
            timeout = kLinePollMs;
        if (staleCount >= 0 || drainPending)
            timeout = std::min(timeout < 0 ? kStaleRepeatMs : timeout, kStaleRepeatMs);
        if (redeliver)
            timeout = 0;
        int ready = poll(fds, hungUp ? 1 : 2, timeout);
        if (m_terminated)
            break;
        if (ready < 0)
            ready = 0; // a failed wait is a pass with nothing ready

        if (fds[0].revents & POLLIN) {
            char buf[64];
            while (read(m_wakePipe[0], buf, sizeof buf) > 0) {
            }
        }

        int found = 0;
        const short rev = hungUp ? 0 : fds[1].revents;
        if ((rev & POLLIN) || staleCount >= 0 || redeliver) {
            // One read takes what the driver holds; the handler is then served from memory.
            if (m_port->FillReceiveBuffer() > 0)
                found |= EV_RXCHAR;
            staleCount = -1;
            redeliver = false;
        }
        if (m_watchTransmit && ((rev & POLLOUT) || drainPending)) {
            if (m_port->OutQueueCount() <= 0) {
                found |= EV_TXEMPTY;
                m_watchTransmit = false;
                drainPending = false;
            } else {
                drainPending = true;
            }
        }
        if (rev & (POLLPRI | POLLERR | POLLHUP | POLLNVAL)) {
            found |= EV_ERR;
            int errors = kCommErrorException;
            if (rev & (POLLHUP | POLLERR | POLLNVAL)) {
                // The other end has gone: report it once and stop watching the descriptor,
                // which would otherwise stay ready for ever.
                errors |= kCommErrorHangup;
                hungUp = true;
                m_port->m_hungUp = true;
            }
            m_port->m_lastErrors = errors;
        }
        if (!m_terminated && m_linesReadable)
            pollLines();

        bool havePending;
        {
            std::lock_guard lock(m_lock);
            m_pending |= found;
            havePending = m_pending != 0;
        }
        const uint64_t readBefore = m_port->m_bytesRead;
        // Line changes travel with the next readiness report, never on their own.
        if (havePending && found != 0) {
            if (m_port->DontSynchronize())
                deliver();
            else
                m_synchronize.Run([this] { deliver(); });
        }
        if ((found & EV_RXCHAR) && !m_terminated && m_port->BufferedCount() > 0) {
            // Only bytes the handler left alone are stale; after a partial read the rest is
            // reported again at once, as the descriptor's readiness would have done.
            if (m_port->m_bytesRead != readBefore)
                redeliver = true;
            else if (!hungUp)
                staleCount = m_port->BufferedCount();
        }
    }
    if (!hungUp)
        tcflush(m_handle, TCIOFLUSH);
}

TWaitResult WaitForEvent(TEvent &Event, unsigned Timeout)
{
    if (Timeout == 0)
        return TWaitResult::wrError;
    if (Timeout == kInfinite)
        return Event.WaitFor(kInfinite);
    return Event.WaitSet(Timeout);
}

} // namespace kestrel
