// The message store as the data module holds it: opened at its first use, its failure reported
// once when it begins, and the reassembly stack filled again from it.
#include "appcore/datamodule.h"

#include "appcore/datamoduleinternal.h"
#include "appcore/receivedspool.h"
#include "base/format.h"
#include "connect/connection.h"
#include "gsm/sms.h"
#include "xsms/protocolstack.h"

namespace kestrel {

EMessageKept::EMessageKept() : EConnectError(kMessageKept) {}

std::unique_ptr<TMessageStore> OpenMessageStore(const std::string &Location)
{
    if (Location.empty() || Location == kNoStore)
        return nullptr;
    return TMessageStore::Open(Location);
}

TMessageStore *TGSMDataModule::Store()
{
    if (m_store || !hasStore())
        return m_store.get();
    try {
        m_store = OpenMessageStore(StoreName);
    } catch (const EStoreError &e) {
        storeFailed(e.what());
        return nullptr;
    }
    // Before the stack is filled: what was spooled is among the store's incomplete payloads then.
    replaySpool();
    fillStack();
    return m_store.get();
}

void TGSMDataModule::CloseStore()
{
    m_store.reset();
}

void TGSMDataModule::fillStack()
{
    // The segments go in as they came, without log lines: the log has them from the run that
    // received them. Each payload keeps the age of its first segment, so it expires from the
    // stack when it would have without the restart (the store keeps it longer).
    std::vector<TStoredSegment> segments;
    try {
        segments = m_store->IncompleteSegments(NowUTC() - kStackMaxAge);
    } catch (const EStoreError &e) {
        storeFailed(e.what());
        return;
    }
    for (const TStoredSegment &segment : segments) {
        std::unique_ptr<TSMS2> sms;
        try {
            sms = CreateSMSFromPDU(nullptr, segment.PDU, true);
        } catch (const std::exception &) {
            continue; // it did not decode when it came either
        }
        const int before = ProtocolStack->Count();
        TSMSProtocol *p = nullptr;
        if (!sms || !ProtocolStack->AddSegment(sms.get(), p) || !p)
            continue;
        if (ProtocolStack->Count() > before)
            p->SetTimestamp(segment.Time);
        if (p->State() == kStateComplete)
            ProtocolStack->RemoveProtocol(p); // whole after all: nothing is left to wait for
    }
}

std::string TGSMDataModule::modemName() const
{
    return ModemLabel.empty() ? Comm1.DeviceName() : ModemLabel;
}

void TGSMDataModule::storeFailed(const std::string &error)
{
    // The store stays open (others, the Messages view, hold it): it reconnects to a server that
    // went away by itself at its next call.
    if (m_storeFailing)
        return;
    m_storeFailing = true;
    ReportError(Format("The message store cannot be written, received messages stay on the handset: %s",
                       error.c_str()));
}

void TGSMDataModule::storeWorks()
{
    m_storeFailing = false;
}

std::string TGSMDataModule::spoolPath() const
{
    // Beside the settings file: it belongs to this installation (or gateway), whatever folder
    // the logs are in.
    const size_t slash = m_configFile.rfind('/');
    return (slash == std::string::npos ? std::string() : m_configFile.substr(0, slash + 1)) +
           "received.spool";
}

bool TGSMDataModule::replaySpool()
{
    if (!m_store || !SpoolHasMessages(spoolPath()))
        return true;
    try {
        ReplaySpool(spoolPath(), [this](const TSpooledMessage &m) {
            std::unique_ptr<TSMS2> sms;
            try {
                sms = CreateSMSFromPDU(nullptr, m.PDU, true);
            } catch (const std::exception &) {
                // Kept whole as data, as a record that did not decode when it came.
            }
            m_store->RecordReceived(m.PDU, false, sms.get(), m.Arrival, -1, m.Modem);
        });
    } catch (const EStoreError &e) {
        storeFailed(e.what());
        return false;
    }
    return true;
}

} // namespace kestrel
