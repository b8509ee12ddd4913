#include "gateway/leasekeeper.h"

#include "appcore/datamodule.h"
#include "store/messagestore.h"

#include <algorithm>
#include <chrono>

namespace kestrel {

TLeaseKeeper::TLeaseKeeper(std::string Location, std::string Claimant, int LeaseMs)
    : m_location(std::move(Location)), m_claimant(std::move(Claimant)), m_leaseMs(std::max(1, LeaseMs)),
      m_thread([this] { run(); })
{
}

TLeaseKeeper::~TLeaseKeeper()
{
    {
        std::lock_guard lock(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void TLeaseKeeper::Hold(int64_t Id)
{
    {
        std::lock_guard lock(m_lock);
        m_id = Id;
    }
    m_wake.notify_all();
}

void TLeaseKeeper::Release()
{
    std::lock_guard lock(m_lock);
    m_id = 0;
}

void TLeaseKeeper::run()
{
    const auto turn = std::chrono::milliseconds(std::max(1, m_leaseMs / 3));
    std::unique_lock lock(m_lock);
    while (!m_stop) {
        // Idle until a claim is held; then a turn passes before its first renewal, since the
        // sender renewed it just before it began.
        m_wake.wait(lock, [this] { return m_stop || m_id != 0; });
        const int64_t held = m_id;
        if (m_wake.wait_for(lock, turn, [&] { return m_stop || m_id != held; }))
            continue;
        lock.unlock();
        try {
            if (!m_store)
                m_store = OpenMessageStore(m_location);
            if (m_store)
                m_store->RenewLease(held, m_claimant, m_leaseMs);
        } catch (const std::exception &) {
            // A new connection at the next turn; the sender hears of a lost claim from the store.
            m_store.reset();
        }
        lock.lock();
    }
    lock.unlock();
    m_store.reset(); // closed by the thread that opened it
}

} // namespace kestrel
