#include "base/event.h"

#include <chrono>

namespace kestrel {

TEvent::TEvent(bool manualReset, bool initialState) : m_manualReset(manualReset), m_set(initialState) {}

void TEvent::SetEvent()
{
    {
        std::lock_guard lock(m_mutex);
        m_set = true;
    }
    m_cond.notify_all();
}

void TEvent::ResetEvent()
{
    std::lock_guard lock(m_mutex);
    m_set = false;
}

bool TEvent::IsSet() const
{
    std::lock_guard lock(m_mutex);
    return m_set;
}

TWaitResult TEvent::WaitFor(unsigned timeoutMs)
{
    return wait(timeoutMs, true);
}

TWaitResult TEvent::WaitSet(unsigned timeoutMs)
{
    return wait(timeoutMs, false);
}

TWaitResult TEvent::wait(unsigned timeoutMs, bool consume)
{
    std::unique_lock lock(m_mutex);
    if (timeoutMs == kInfinite) {
        m_cond.wait(lock, [this] { return m_set; });
    } else if (!m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_set; })) {
        return TWaitResult::wrTimeout;
    }
    if (consume && !m_manualReset)
        m_set = false;
    return TWaitResult::wrSignaled;
}

} // namespace kestrel
