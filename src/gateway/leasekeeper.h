// TLeaseKeeper: keeps a claim on a queued message alive while a send holds the gateway's thread.
// The engine waits for the handset on the thread that drives the gateway, so a send that takes
// longer than the lease (a slow network, a long reply time-out) could not renew the claim from
// there, and another gateway would take the message over and send it again. The keeper renews
// the claim from a thread of its own, over a connection of its own to the store.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kestrel {

class TMessageStore;

class TLeaseKeeper {
public:
    // Location: the store to connect to (when the first claim is held); the claims are
    // Claimant's, renewed for LeaseMs a third of a lease apart.
    TLeaseKeeper(std::string Location, std::string Claimant, int LeaseMs);
    ~TLeaseKeeper(); // stops renewing and ends the thread
    TLeaseKeeper(const TLeaseKeeper &) = delete;
    TLeaseKeeper &operator=(const TLeaseKeeper &) = delete;

    // Renews message Id's claim until Release (or the next Hold). A renewal that fails (the
    // store away, the claim gone) is tried again at the next turn; the sender finds out when it
    // records the segment.
    void Hold(int64_t Id);
    void Release();

private:
    void run();

    const std::string m_location;
    const std::string m_claimant;
    const int m_leaseMs;
    std::mutex m_lock;
    std::condition_variable m_wake;
    int64_t m_id = 0; // 0: nothing held
    bool m_stop = false;
    std::unique_ptr<TMessageStore> m_store; // the thread's own connection
    std::thread m_thread;
};

// Holds a claim with a keeper for the lifetime of a scope.
class TLeaseHeld {
public:
    TLeaseHeld(TLeaseKeeper &Keeper, int64_t Id) : m_keeper(Keeper) { m_keeper.Hold(Id); }
    ~TLeaseHeld() { m_keeper.Release(); }
    TLeaseHeld(const TLeaseHeld &) = delete;
    TLeaseHeld &operator=(const TLeaseHeld &) = delete;

private:
    TLeaseKeeper &m_keeper;
};

} // namespace kestrel
