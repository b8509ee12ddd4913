// Receiving: messages routed by the network or announced by storage index, the storage read at
// opening, and the messages kept on the handset while the store could not take them. Each is
// recorded in the store before anything else happens to it, and deleted from the handset only
// once recorded.
#include "appcore/datamodule.h"

#include "appcore/datamoduleinternal.h"
#include "appcore/receivedspool.h"
#include "base/datetime.h"
#include "base/format.h"
#include "connect/connection.h"
#include "gsm/sms.h"
#include "gsm/tpdufields.h"

#include <algorithm>

namespace kestrel {

void ToModelForm(TSMS &sms)
{
    if (auto *cb = dynamic_cast<TCellBroadcast *>(&sms)) {
        if (CBSAlphabet(cb->DCS) == TDCSAlphabet::da7Bit)
            cb->Content = TextToGSM(cb->Content);
    } else if (auto *sms2 = dynamic_cast<TSMS2 *>(&sms)) {
        if (SMSAlphabet(sms2->DCS) == TDCSAlphabet::da7Bit)
            sms2->UserData = TextToGSM(sms2->UserData);
    }
}

void TGSMDataModule::GSMUnsolicitedSMS(int Idx, TSMS *aSMS)
{
    m_handledIndex = Idx;
    if (aSMS) {
        // A failure to record it goes to the engine's caller: the message is then neither
        // deleted nor, when routed, acknowledged. A routed one that the store cannot take is in
        // the spool by then and goes on as if recorded.
        if (!dynamic_cast<TCellBroadcast *>(aSMS))
            storeReceived(GSM.RoutedRaw().empty() ? aSMS->GetPDU() : GSM.RoutedRaw(), aSMS, Idx);
        ProcessSMS(aSMS);
        if (Idx != -1 && DeleteHandled)
            GSM.DeleteSMS(Idx);
        return;
    }
    // Only the storage index was reported.
    const TListing *listing = listingOf(GSM.Memory());
    // The listing was written after this indication came: the message was in the storage then,
    // and the listing handled it (or kept it).
    if (listing && GSM.LineEnd() <= listing->Mark)
        return;
    // Several wait: one listing reads them all. So does an index that a listing emptied, since
    // the indication may have come for the message the listing handled there (it arrived while
    // the listing was on its way) or for a newer one: the listing tells which.
    if (GSM.PendingStorageIndications() > 0 ||
        (listing &&
         std::find(listing->Indices.begin(), listing->Indices.end(), Idx) != listing->Indices.end())) {
        readArrivals();
        return;
    }
    // A lone arrival is read by its index. A failure to log it (or to read it) leaves it on the
    // handset.
    int status = -1;
    std::string raw;
    std::unique_ptr<TSMS> sms = GSM.ReadSMS(Idx, status, &raw);
    try {
        recordStored(Idx, status, raw, sms.get());
    } catch (const EMessageKept &) {
        m_kept.push_back({GSM.Memory(), Idx, status});
        return;
    }
    if (DeleteHandled)
        GSM.DeleteSMS(Idx);
    handleKept();
}

void TGSMDataModule::recordStored(int index, int status, const std::string &raw, TSMS *sms)
{
    m_handledIndex = index;
    // A read message that the store has was handled when it first came (and logged then): the
    // storage read lists read messages too, so that none read while the store was away is lost.
    const bool fresh = !(sms || !raw.empty()) || storeReceived(raw, sms, index);
    if (!fresh && status != 0)
        return;
    if (sms && status == 0)
        ProcessSMS(sms);
    else if (sms)
        LogSMS(sms);
    else if (raw.empty())
        // Nothing came to record: the handset's copy is all there is.
        throw EGSMError(Format("the handset gave no message text for index %d", index));
    else
        // Not decodable: the raw text is kept in the log, since the handset's copy is deleted.
        smsLogLine(Format("?%s, index %d, status %d, PDU: %s", DateTimeToStr(Now()).c_str(), index, status,
                          PrintableUserData(raw).c_str()));
}

void TGSMDataModule::listArrivals(bool login)
{
    TListing listing{GSM.Memory(), GSM.ReceivedSoFar(), {}};
    const TGSMEquipment eq = GSM.Equipment();
    if (login && (eq == eqM20 || eq == eqNokia9110)) {
        handleListed(GSM.ListSMS(4), false, &listing.Indices);
    } else if (hasStore()) {
        // Every received message, read or not: one read while the store was away (listing it
        // marked it read) would never come again otherwise. The store knows those it recorded.
        handleListed(GSM.ListSMS(4), true, &listing.Indices);
    } else {
        // A burst passes over what the user composed on the handset, whatever the listing shows.
        handleListed(GSM.ListSMS(-1), !login, &listing.Indices);
    }
    std::erase_if(m_listings, [&](const TListing &l) { return l.Storage == listing.Storage; });
    m_listings.push_back(std::move(listing));
}

const TGSMDataModule::TListing *TGSMDataModule::listingOf(const std::string &storage) const
{
    const auto it = std::find_if(m_listings.begin(), m_listings.end(),
                                 [&](const TListing &l) { return l.Storage == storage; });
    return it == m_listings.end() ? nullptr : &*it;
}

void TGSMDataModule::readArrivals()
{
    // The listing and the deletes after it follow one another; the old handsets get their pauses
    // once, after the last of them.
    //
    // Each message is deleted by its index once it is recorded, not all at once with
    // AT+CMGD=1,1 (TS 27.005 3.5.4: every read message of the storage). That one command is safe
    // only where every read message in the storage is one this listing recorded: a message that
    // arrives after the listing is unread and stays, but a read one that was not recorded would go
    // too. There are such: one the store could not take (kept here to be read again), one whose
    // entry did not survive the line (its listing marked it read all the same), one read on the
    // handset's own keypad since, and every one a front end that keeps messages leaves there.
    // Inside a burst a delete costs no pause, only the command's round trip.
    TGSMBurst burst(GSM);
    listArrivals(false);
    // The listing tried again what was kept in its storage (read, it lists them with the rest):
    // only those of other storages are left to read again.
    handleKept(GSM.Memory());
}

void TGSMDataModule::readStorage()
{
    TGSMBurst burst(GSM);
    m_listings.clear();
    listArrivals(true);
    // Status reports the modem keeps apart arrive there while no program listens as well; unread
    // there, their messages would never turn delivered and SR would fill up.
    const std::string reports = GSM.ReportStorage();
    const std::string memory = GSM.Memory();
    if (!reports.empty() && reports != memory) {
        try {
            GSM.SelectMemory(reports);
            handleListed(GSM.ListSMS(4), false);
        } catch (const std::exception &e) {
            ReportError(Format("The status reports in %s were not read: %s", reports.c_str(), e.what()));
        }
        GSM.SelectMemory(memory);
    }
    handleKept();
}

void TGSMDataModule::handleListed(const std::vector<TSMSListEntry> &list, bool receivedOnly,
                                  std::vector<int> *handled)
{
    for (const auto &entry : list) {
        // Messages composed on the handset (stored unsent or sent) are the user's own.
        if (receivedOnly && entry.Status != 0 && entry.Status != 1)
            continue;
        // Handled here, whether or not it was kept before.
        std::erase_if(m_kept,
                      [&](const TKept &k) { return k.Index == entry.Index && k.Storage == GSM.Memory(); });
        // One message that cannot be handled is reported and stays on the handset; the others
        // are still handled.
        try {
            recordStored(entry.Index, entry.Status, entry.Raw, entry.Message.get());
        } catch (const EMessageKept &) {
            m_kept.push_back({GSM.Memory(), entry.Index, entry.Status});
            continue;
        } catch (const std::exception &e) {
            ReportError(Format("Stored message %d was kept on the handset: %s", entry.Index, e.what()));
            continue;
        }
        if (DeleteHandled)
            GSM.DeleteSMS(entry.Index);
        if (handled)
            handled->push_back(entry.Index);
    }
}

bool TGSMDataModule::storeReceived(const std::string &raw, const TSMS *sms, int index)
{
    if (!hasStore())
        return true;
    // Messages the handset keeps for sending were composed on it: neither sent nor received here.
    if (dynamic_cast<const TSMSSubmit *>(sms) || dynamic_cast<const TSMSCommand *>(sms))
        return true;
    const bool textMode = GSM.SMSFormat() == kSMSFormatText;
    // The store reads messages in the model's form, and PDUs with their service-centre field.
    std::unique_ptr<TSMS> copy;
    if (textMode && sms) {
        if (auto *d = dynamic_cast<const TSMSDeliver *>(sms))
            copy = std::make_unique<TSMSDeliver>(*d);
        if (copy) {
            ToModelForm(*copy);
            sms = copy.get();
        }
    }
    // A routed message exists nowhere else: kept in the spool when the store cannot take it.
    const auto kept = [&] {
        if (index == -1 && spoolReceived(raw, sms))
            return true;
        throw EMessageKept();
    };
    TMessageStore *store = Store();
    if (!store)
        return kept();
    // A message read through this engine knows whether its handset leaves the service-centre
    // field out, and the store puts the empty one in front itself: given here too, it would be
    // doubled and the segment unreadable. Only a record without that knowledge gets it here.
    const bool storeAddsSCA = sms && sms->GSM;
    const std::string record = textMode || GSM.SCAInPDU() || storeAddsSCA ? raw : "00" + raw;
    TRecordResult result;
    try {
        result = store->RecordReceived(record, textMode, sms, NowUTC(), index, modemName());
    } catch (const EStoreError &e) {
        storeFailed(e.what());
        return kept();
    }
    storeWorks();
    replaySpool();
    return !result.Duplicate;
}

bool TGSMDataModule::spoolReceived(const std::string &raw, const TSMS *sms)
{
    if (!sms)
        return false;
    try {
        // The PDU as the store would make it: the fields the engine read in text mode, and the
        // service-centre field in front.
        std::string pdu = GSM.SMSFormat() == kSMSFormatText ? sms->GetPDU() : raw;
        if (sms->GSM && !sms->GSM->SCAInPDU())
            pdu = "00" + pdu;
        SpoolMessage(spoolPath(), {pdu, NowUTC(), modemName()});
    } catch (const std::exception &e) {
        ReportError(Format("A routed message could not be kept: %s", e.what()));
        return false;
    }
    return true;
}

void TGSMDataModule::RetryKept()
{
    if (!HasKept() || !Store())
        return;
    storeWorks();
    if (replaySpool())
        handleKept();
}

bool TGSMDataModule::HasKept() const
{
    return !m_kept.empty() || SpoolHasMessages(spoolPath());
}

void TGSMDataModule::handleKept(const std::string &listed)
{
    // What the store could not take while it failed is read again now that it works, as it was
    // when it came (reading it marked it read). A message that cannot be read any more (deleted
    // on the handset meanwhile) is reported and forgotten.
    if (m_storeFailing || m_kept.empty() || m_handlingKept || !GSM.Active())
        return;
    m_handlingKept = true;
    const auto kept = std::exchange(m_kept, {});
    const std::string memory = GSM.Memory();
    for (const TKept &k : kept) {
        if (k.Storage == listed) {
            m_kept.push_back(k);
            continue;
        }
        try {
            GSM.SelectMemory(k.Storage);
            int status = -1;
            std::string raw;
            std::unique_ptr<TSMS> sms = GSM.ReadSMS(k.Index, status, &raw);
            try {
                recordStored(k.Index, k.Status, raw, sms.get());
            } catch (const EMessageKept &) {
                m_kept.push_back(k);
                continue;
            }
            if (DeleteHandled)
                GSM.DeleteSMS(k.Index);
        } catch (const std::exception &e) {
            ReportError(Format("Message %d, kept on the handset while the store failed, could not be read "
                               "again: %s",
                               k.Index, e.what()));
        }
    }
    try {
        GSM.SelectMemory(memory);
    } catch (const std::exception &e) {
        ReportError(e.what());
    }
    m_handlingKept = false;
}

} // namespace kestrel
