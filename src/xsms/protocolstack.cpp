#include "xsms/protocolstack.h"

#include "base/format.h"
#include "connect/connection.h"
#include "gsm/sms.h"

namespace kestrel {

namespace {

// Keys compare without regard to (ASCII) case, as the sender's address may be alphanumeric.
std::string foldKey(const std::string &key)
{
    std::string folded = key;
    for (char &c : folded)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

// The protocol a message's user data belongs to: a binary header when TP-UDHI is set, a Siemens
// OTA object when the text starts with its marker, otherwise a narrowband-socket text header.
std::unique_ptr<TSMSProtocol> protocolFor(const TSMSDeliver &sms)
{
    if (sms.FirstOctetBit(6))
        return std::make_unique<TUDHProtocol>();
    if (sms.UserData.starts_with("//SEO"))
        return std::make_unique<TSiemensOTA>();
    return std::make_unique<TNBS>();
}

} // namespace

std::string TSMSProtocolStack::MakeKey(const std::string &Address, uint32_t Reference)
{
    return Format("%s_%.2X", Address.c_str(), Reference);
}

bool TSMSProtocolStack::AddSegment(const TSMS *SMS, TSMSProtocol *&Protocol)
{
    Protocol = nullptr;
    const auto *deliver = dynamic_cast<const TSMSDeliver *>(SMS);
    if (!deliver)
        return false;
    std::unique_ptr<TSMSProtocol> fresh = protocolFor(*deliver);
    if (fresh->Decode(deliver->UserData) != kDecodeAccepted)
        return false;

    const std::string key = MakeKey(deliver->OA, fresh->Reference());
    const std::string folded = foldKey(key);
    auto found = m_byKey.find(folded);
    if (found == m_byKey.end()) {
        Protocol = fresh.get();
        const TDateTime age = fresh->Timestamp();
        auto entry = m_entries.insert(m_entries.end(), TEntry{key, std::move(fresh), age, {}});
        entry->AgeIt = m_byAge.emplace(age, entry);
        m_byKey.emplace(folded, entry);
        m_byObject.emplace(Protocol, entry);
        return true;
    }
    auto entry = found->second;
    Protocol = entry->Object.get();
    const bool accepted = Protocol->Decode(deliver->UserData) == kDecodeAccepted;
    reindexAge(entry); // a cleared object starts its age afresh with its next segment
    return accepted;
}

void TSMSProtocolStack::reindexAge(TEntries::iterator entry)
{
    const TDateTime age = entry->Object->Timestamp();
    if (age == entry->Age)
        return;
    m_byAge.erase(entry->AgeIt);
    entry->Age = age;
    entry->AgeIt = m_byAge.emplace(age, entry);
}

TSMSProtocolStack::TEntries::iterator TSMSProtocolStack::erase(TEntries::iterator entry)
{
    m_byAge.erase(entry->AgeIt);
    m_byKey.erase(foldKey(entry->Key));
    m_byObject.erase(entry->Object.get());
    return m_entries.erase(entry);
}

void TSMSProtocolStack::Expire(bool KeepComplete, TDateTime MaxAge)
{
    const TDateTime limit = (Clock ? Clock() : NowUTC()) - MaxAge;
    // Only entries indexed as older than the limit are looked at. An object whose time stamp was
    // changed behind the stack's back is indexed again under its own time.
    std::vector<TEntries::iterator> moved;
    for (auto it = m_byAge.begin(); it != m_byAge.end() && it->first < limit;) {
        auto entry = it->second;
        const TSMSProtocol &object = *entry->Object;
        if (object.Timestamp() != entry->Age) {
            moved.push_back(entry);
            ++it;
        } else if (KeepComplete && object.State() == kStateComplete) {
            ++it;
        } else {
            ++it;
            erase(entry);
        }
    }
    for (auto entry : moved) {
        reindexAge(entry);
        if (entry->Age < limit && !(KeepComplete && entry->Object->State() == kStateComplete))
            erase(entry);
    }
}

std::unique_ptr<TSMSProtocol> TSMSProtocolStack::RemoveProtocol(TSMSProtocol *Protocol)
{
    auto found = m_byObject.find(Protocol);
    if (found == m_byObject.end())
        return nullptr;
    std::unique_ptr<TSMSProtocol> object = std::move(found->second->Object);
    m_byAge.erase(found->second->AgeIt);
    m_byKey.erase(foldKey(found->second->Key));
    m_entries.erase(found->second);
    m_byObject.erase(found);
    return object;
}

TSMSProtocol *TSMSProtocolStack::Find(const std::string &Key) const
{
    auto found = m_byKey.find(foldKey(Key));
    return found == m_byKey.end() ? nullptr : found->second->Object.get();
}

std::vector<std::pair<std::string, TSMSProtocol *>> TSMSProtocolStack::Entries() const
{
    std::vector<std::pair<std::string, TSMSProtocol *>> result;
    result.reserve(m_entries.size());
    for (const auto &entry : m_entries)
        result.emplace_back(entry.Key, entry.Object.get());
    return result;
}

std::string ProtocolProgress(const TSMSProtocol &Protocol)
{
    const auto *ported = dynamic_cast<const TSMSProtocol2 *>(&Protocol);
    std::string line =
        Format("*ref:%.2X, #%d/%d, , addr:%.4X", Protocol.Reference(), Protocol.ReceivedCount(),
               Protocol.SegmentCount(), ported ? ported->DestPort() : 0u);
    if (Protocol.State() == kStateComplete)
        line += " complete";
    return line;
}

} // namespace kestrel
