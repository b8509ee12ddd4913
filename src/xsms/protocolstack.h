// TSMSProtocolStack: collects the segments of multipart payloads that arrive as separate short
// messages. For every received SMS-DELIVER it picks the user-data protocol of its user data, finds
// or creates the protocol object of that payload (keyed by sender and reference), and lets that
// object store the segment. The stack owns its protocol objects: they leave it through Expire
// (which frees them), RemoveProtocol (which hands them to the caller) or the stack's destructor.
//
// Entries keep their order of arrival; beside them an index by key, one by object and one by age
// make every lookup independent of the number of open payloads.
#pragma once

#include "base/datetime.h"
#include "gsm/userdataprotocols.h"

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kestrel {

class TSMS;

class TSMSProtocolStack {
public:
    TSMSProtocolStack() = default;
    ~TSMSProtocolStack() = default;
    TSMSProtocolStack(const TSMSProtocolStack &) = delete;
    TSMSProtocolStack &operator=(const TSMSProtocolStack &) = delete;

    // Routes one received message. Returns true when it was accepted as a segment; Protocol is
    // then the object of its payload (owned by the stack). False for anything but an SMS-DELIVER,
    // for user data of no known protocol (Protocol nil), and for a segment that its payload's
    // object refused (another payload under the same key, a conflicting repeat; Protocol set).
    bool AddSegment(const TSMS *SMS, TSMSProtocol *&Protocol);
    // Frees the entries whose first segment arrived more than MaxAge (days) ago; complete ones
    // stay when KeepComplete is true.
    void Expire(bool KeepComplete, TDateTime MaxAge);
    // Takes the entry of Protocol out of the stack and hands the object to the caller; nullptr
    // when the stack does not hold it.
    std::unique_ptr<TSMSProtocol> RemoveProtocol(TSMSProtocol *Protocol);

    int Count() const { return static_cast<int>(m_entries.size()); }
    // The object stored under Key (case-insensitive), or nullptr.
    TSMSProtocol *Find(const std::string &Key) const;
    // Keys and objects in the order of the entries.
    std::vector<std::pair<std::string, TSMSProtocol *>> Entries() const;

    // Current UTC time for Expire; replaceable so that ages can be tested without waiting.
    std::function<TDateTime()> Clock;

    // "%s_%.2X" of the sender's address and the payload's reference.
    static std::string MakeKey(const std::string &Address, uint32_t Reference);

private:
    struct TEntry;
    using TEntries = std::list<TEntry>;
    struct TEntry {
        std::string Key;
        std::unique_ptr<TSMSProtocol> Object;
        TDateTime Age; // the object's Timestamp as indexed in m_byAge
        std::multimap<TDateTime, TEntries::iterator>::iterator AgeIt;
    };

    void reindexAge(TEntries::iterator entry);
    TEntries::iterator erase(TEntries::iterator entry);

    TEntries m_entries;
    std::unordered_map<std::string, TEntries::iterator> m_byKey; // folded key
    std::unordered_map<const TSMSProtocol *, TEntries::iterator> m_byObject;
    std::multimap<TDateTime, TEntries::iterator> m_byAge;
};

// Progress of an accepted segment as the message log shows it: "*ref:2A, #2/3, , addr:1581",
// followed by " complete" once the payload is complete.
std::string ProtocolProgress(const TSMSProtocol &Protocol);

} // namespace kestrel
