#include "store/messagestore.h"

#include "base/format.h"
#include "gsm/sms.h"
#include "gsm/smscontext.h"
#include "store/messagecontent.h"
#include "store/storedatabase.h"
#include "store/storeevents.h"
#include "store/storelocation.h"
#include "store/storeschema.h"
#include "store/storesql.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QSqlQuery>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <set>

namespace kestrel {

using namespace storesql;

namespace {

const std::array<const char *, 8> kStatusNames = {"received",  "incomplete", "pending", "sent",
                                                  "delivered", "failed",     "queued",  "uncertain"};

TStoredStatus statusFromName(const QString &name)
{
    return StoredStatusFromName(name.toStdString()).value_or(TStoredStatus::ssReceived);
}

QString statusName(TStoredStatus s)
{
    return StoredStatusName(s);
}

// The segment as a PDU with the service-centre field first, whatever the handset's format: the
// form every later reading (reassembly, "messages import") takes. Empty when nothing decoded.
std::string modelPDU(const std::string &raw, bool textMode, const TSMS *sms)
{
    if (!sms)
        return {};
    const bool hex = !raw.empty() && raw.size() % 2 == 0 &&
                     std::all_of(raw.begin(), raw.end(), [](unsigned char c) { return std::isxdigit(c); });
    if (!textMode && hex) {
        std::string pdu = raw;
        for (char &c : pdu)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        const bool scaInPDU = !sms->GSM || sms->GSM->SCAInPDU();
        return scaInPDU ? pdu : "00" + pdu;
    }
    // Text mode: the fields the engine read, encoded as a PDU.
    try {
        const std::string pdu = sms->GetPDU();
        const bool head = !dynamic_cast<const TSMS2 *>(sms) || !sms->GSM || sms->GSM->SCAInPDU();
        return head ? pdu : "00" + pdu; // cell broadcast pages have no service-centre field

    } catch (const std::exception &) {
        return {};
    }
}

std::string digestOf(const std::string &pdu, const std::string &raw)
{
    const std::string &basis = pdu.empty() ? raw : pdu;
    return QCryptographicHash::hash(bytes(basis), QCryptographicHash::Sha1).toHex().left(32).toStdString();
}

// A stored segment's PDU as a received message object; nullptr when it does not decode.
std::unique_ptr<TSMSDeliver> deliverOf(const std::string &pdu)
{
    if (pdu.empty())
        return nullptr;
    try {
        std::unique_ptr<TSMS2> sms = CreateSMSFromPDU(nullptr, pdu, true);
        if (auto *d = dynamic_cast<TSMSDeliver *>(sms.get())) {
            sms.release();
            return std::unique_ptr<TSMSDeliver>(d);
        }
    } catch (const std::exception &) {
    }
    return nullptr;
}

const char *const kMessageColumns =
    "id, direction, peer, time, kind, text, parts, parts_present, status, is_read,"
    " modem, error, payload, dest_port, attempts, lease_until";

TStoredMessage messageFrom(const QSqlQuery &r)
{
    TStoredMessage m;
    m.Id = r.value(0).toLongLong();
    m.Outgoing = r.value(1).toString() == "out";
    m.Peer = str(r.value(2));
    m.Time = fromMs(r.value(3).toLongLong());
    m.Kind = PayloadKindFromName(r.value(4).toString().toStdString());
    m.Text = str(r.value(5));
    m.Parts = r.value(6).toInt();
    m.PartsPresent = r.value(7).toInt();
    m.Status = statusFromName(r.value(8).toString());
    m.Read = r.value(9).toInt() != 0;
    m.Modem = str(r.value(10));
    m.Error = str(r.value(11));
    m.Payload = str(r.value(12).toByteArray());
    m.DestPort = r.value(13).toInt();
    m.Attempts = r.value(14).toInt();
    m.LeaseUntilMs = r.value(15).toLongLong();
    return m;
}

// The words of a search as an FTS5 query that finds messages holding all of them: each word
// quoted, so that no character of it is read as query syntax.
QString ftsQuery(const std::string &search)
{
    QStringList words;
    for (const QString &word :
         QString::fromStdString(search).split(QRegularExpression("\\s+"), Qt::SkipEmptyParts))
        words << "\"" + QString(word).replace("\"", "\"\"") + "\"";
    return words.join(' ');
}

} // namespace

const char *StoredStatusName(TStoredStatus status)
{
    const auto i = static_cast<size_t>(status);
    return i < kStatusNames.size() ? kStatusNames[i] : "received";
}

std::optional<TStoredStatus> StoredStatusFromName(const std::string &name)
{
    for (size_t i = 0; i < kStatusNames.size(); ++i)
        if (name == kStatusNames[i])
            return static_cast<TStoredStatus>(i);
    return std::nullopt;
}

struct TMessageStore::TImpl {
    std::unique_ptr<TStoreDatabase> Db;
    TStoreSettings Settings;
    int64_t DataVersion = -1; // SQLite's data version at the last ChangedElsewhere

    int64_t insertMessage(bool outgoing, const std::string &peer, TDateTime time,
                          const TReceivedContent &content, int parts, int present, TStoredStatus status,
                          const std::string &modem, const std::string &joinKey);
    int64_t insertSegment(int64_t message, int sequence, const std::string &raw, const std::string &pdu,
                          bool textMode, const std::string &digest, int storageIndex, TStoredStatus status,
                          TDateTime time);
    std::vector<std::unique_ptr<TSMSDeliver>> segmentsOf(int64_t message, int sequence = 0);
    void updateContent(int64_t message, const TReceivedContent &content, int present, TStoredStatus status);
    TRecordResult recordDeliver(const std::string &raw, bool textMode, const TSMSDeliver &sms,
                                TDateTime arrival, int storageIndex, const std::string &modem,
                                const std::string &pdu, const std::string &digest);
    TRecordResult recordReport(const std::string &raw, bool textMode, const TSMSStatusReport &report,
                               TDateTime arrival, const std::string &modem, const std::string &pdu,
                               const std::string &digest);
    void settleStatus(int64_t message);
    void applyReport(int64_t segment, int64_t message, int status);
    void applyEarlyReports(int64_t message, int sequence, int mr, TDateTime time);
};

int64_t TMessageStore::TImpl::insertMessage(bool outgoing, const std::string &peer, TDateTime time,
                                            const TReceivedContent &content, int parts, int present,
                                            TStoredStatus status, const std::string &modem,
                                            const std::string &joinKey)
{
    QSqlQuery &r =
        Db->Run("INSERT INTO messages (direction, peer, peer_key, time, kind, text, parts, parts_present,"
                " status, is_read, modem, payload, dest_port, join_key)"
                " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id",
                {outgoing ? "out" : "in", q(peer), q(NormalisedAddress(peer)), toMs(time),
                 PayloadKindName(content.Kind), q(content.Text), parts, present, statusName(status),
                 outgoing ? 1 : 0, q(modem), bytes(content.Payload), content.DestPort,
                 joinKey.empty() ? QVariant(QMetaType(QMetaType::QString)) : QVariant(q(joinKey))});
    r.next();
    const int64_t id = r.value(0).toLongLong();
    r.finish();
    return id;
}

int64_t TMessageStore::TImpl::insertSegment(int64_t message, int sequence, const std::string &raw,
                                            const std::string &pdu, bool textMode, const std::string &digest,
                                            int storageIndex, TStoredStatus status, TDateTime time)
{
    QSqlQuery &r =
        Db->Run("INSERT INTO segments (message_id, sequence, raw, pdu, text_mode, digest, storage_index,"
                " status, time) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id",
                {qint64(message), sequence, bytes(raw == pdu ? std::string() : raw), q(pdu), textMode ? 1 : 0,
                 digest.empty() ? QVariant(QMetaType(QMetaType::QString)) : QVariant(q(digest)), storageIndex,
                 statusName(status), toMs(time)});
    r.next();
    const int64_t id = r.value(0).toLongLong();
    r.finish();
    return id;
}

std::vector<std::unique_ptr<TSMSDeliver>> TMessageStore::TImpl::segmentsOf(int64_t message, int sequence)
{
    QSqlQuery &r = Db->Run("SELECT pdu, sequence FROM segments WHERE message_id = ? ORDER BY sequence, id",
                           {qint64(message)});
    std::vector<std::unique_ptr<TSMSDeliver>> out;
    while (r.next())
        if (sequence == 0 || r.value(1).toInt() == sequence)
            if (auto d = deliverOf(str(r.value(0))))
                out.push_back(std::move(d));
    r.finish();
    return out;
}

void TMessageStore::TImpl::updateContent(int64_t message, const TReceivedContent &content, int present,
                                         TStoredStatus status)
{
    Db->Run(
        "UPDATE messages SET kind = ?, text = ?, payload = ?, dest_port = ?, parts_present = ?, status = ?"
        " WHERE id = ?",
        {PayloadKindName(content.Kind), q(content.Text), bytes(content.Payload), content.DestPort, present,
         statusName(status), qint64(message)});
}

TRecordResult TMessageStore::TImpl::recordDeliver(const std::string &raw, bool textMode,
                                                  const TSMSDeliver &sms, TDateTime arrival, int storageIndex,
                                                  const std::string &modem, const std::string &pdu,
                                                  const std::string &digest)
{
    TRecordResult result;
    const std::string peer = PeerOf(sms);
    const std::optional<TSegmentPlace> place = SegmentPlace(sms);
    if (!place) {
        result.MessageId = insertMessage(false, peer, arrival, ContentOfMessage(sms), 1, 1,
                                         TStoredStatus::ssReceived, modem, {});
        insertSegment(result.MessageId, 1, raw, pdu, textMode, digest, storageIndex,
                      TStoredStatus::ssReceived, arrival);
        result.Complete = true;
        RecordStoreEvent(*Db, "received", result.MessageId);
        return result;
    }

    // The newest payload of this sender with the same identity that is young enough to join.
    QSqlQuery &c =
        Db->Run("SELECT id, parts_present, parts FROM messages WHERE peer_key = ? AND join_key = ?"
                " AND direction = 'in' AND time >= ? ORDER BY id DESC LIMIT 1",
                {q(NormalisedAddress(peer)), q(place->JoinKey), toMs(arrival - Settings.LateJoinDays)});
    int64_t message = 0;
    int present = 0;
    if (c.next()) {
        message = c.value(0).toLongLong();
        present = c.value(1).toInt();
    }
    c.finish();
    if (message != 0) {
        for (const auto &stored : segmentsOf(message, place->Sequence)) {
            std::optional<TSegmentPlace> storedPlace = SegmentPlace(*stored);
            if (storedPlace && storedPlace->UserData == place->UserData) {
                // The same segment again (a network retry, or a storage read twice).
                result.MessageId = message;
                result.Duplicate = true;
                result.Complete = present >= place->Count;
                return result;
            }
            // Another segment under the same number: the sender has reused its reference for a
            // new payload.
            message = 0;
        }
    }
    if (message == 0) {
        const std::vector<const TSMSDeliver *> parts = {&sms};
        result.MessageId = insertMessage(false, peer, arrival, ContentOfPartial(parts), place->Count, 1,
                                         TStoredStatus::ssIncomplete, modem, place->JoinKey);
        insertSegment(result.MessageId, place->Sequence, raw, pdu, textMode, digest, storageIndex,
                      TStoredStatus::ssReceived, arrival);
        return result;
    }
    result.MessageId = message;
    insertSegment(message, place->Sequence, raw, pdu, textMode, digest, storageIndex,
                  TStoredStatus::ssReceived, arrival);
    // The stored segments make the payload (or what there is of it) afresh: the store needs no
    // reassembly state of its own beyond its rows.
    std::vector<std::unique_ptr<TSMSDeliver>> stored = segmentsOf(message);
    std::vector<const TSMSDeliver *> parts;
    for (const auto &s : stored)
        parts.push_back(s.get());
    std::set<int> sequences;
    for (const auto &s : stored)
        if (auto p = SegmentPlace(*s))
            sequences.insert(p->Sequence);
    present = static_cast<int>(sequences.size());
    if (std::optional<TReceivedContent> whole = ContentOfSegments(parts)) {
        updateContent(message, *whole, place->Count, TStoredStatus::ssReceived);
        result.Complete = true;
        RecordStoreEvent(*Db, "received", message);
    } else {
        updateContent(message, ContentOfPartial(parts), std::min(present, place->Count - 1),
                      TStoredStatus::ssIncomplete);
    }
    return result;
}

void TMessageStore::TImpl::settleStatus(int64_t message)
{
    QSqlQuery &r =
        Db->Run("SELECT COUNT(*), SUM(CASE WHEN status = 'delivered' THEN 1 ELSE 0 END),"
                " SUM(CASE WHEN status = 'failed' THEN 1 ELSE 0 END) FROM segments WHERE message_id = ?",
                {qint64(message)});
    r.next();
    const int total = r.value(0).toInt(), delivered = r.value(1).toInt(), failed = r.value(2).toInt();
    r.finish();
    const char *settled = failed > 0 ? "failed" : total > 0 && delivered == total ? "delivered" : nullptr;
    // Only a change is an event: a second failed segment fails the message no more.
    if (settled && Db->Run("UPDATE messages SET status = ? WHERE id = ? AND status <> ?",
                           {settled, qint64(message), settled})
                           .numRowsAffected() > 0)
        RecordStoreEvent(*Db, settled, message);
}

TRecordResult TMessageStore::TImpl::recordReport(const std::string &raw, bool textMode,
                                                 const TSMSStatusReport &report, TDateTime arrival,
                                                 const std::string &modem, const std::string &pdu,
                                                 const std::string &digest)
{
    TRecordResult result;
    const std::string recipient = PeerOf(report);
    const std::string key = NormalisedAddress(recipient);
    // The newest sent segment to that recipient with that reference that has no final report
    // yet; a "still trying" report leaves it open for the final one. References are the
    // handset's own: several modems give the same ones, so a report that names the modem it
    // came through matches only what that modem sent (or what no modem is named for).
    QSqlQuery &m =
        Db->Run("SELECT s.id, s.message_id FROM segments s JOIN messages m ON m.id = s.message_id"
                " WHERE s.mr = ? AND s.status = 'sent' AND s.time >= ? AND m.direction = 'out'"
                " AND m.peer_key = ? AND (? = '' OR m.modem = '' OR m.modem = ?)"
                " ORDER BY s.time DESC, s.id DESC LIMIT 1",
                {int(report.MR), toMs(arrival - Settings.ReportMatchDays), q(key), q(modem), q(modem)});
    int64_t segment = 0;
    if (m.next()) {
        segment = m.value(0).toLongLong();
        result.MessageId = m.value(1).toLongLong();
    }
    m.finish();
    Db->Run("INSERT INTO reports (raw, pdu, text_mode, time, mr, recipient, recipient_key, status,"
            " discharge_time, segment_id, digest, modem) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            {bytes(raw == pdu ? std::string() : raw), q(pdu), textMode ? 1 : 0, toMs(arrival), int(report.MR),
             q(recipient), q(key), int(report.Status), toMs(report.DischargeTime),
             segment ? QVariant(qint64(segment)) : QVariant(QMetaType(QMetaType::LongLong)), q(digest),
             q(modem)});
    if (segment != 0)
        applyReport(segment, result.MessageId, report.Status);
    return result;
}

// TS 23.040 9.2.3.15: 0x00-0x1F the transaction is completed, 0x20-0x3F the service centre
// still tries, from 0x40 on it gave up.
namespace {
bool finalReportStatus(int status)
{
    return status < 0x20 || status >= 0x40;
}
} // namespace

void TMessageStore::TImpl::applyReport(int64_t segment, int64_t message, int status)
{
    const char *name = status < 0x20 ? "delivered" : status < 0x40 ? "sent" : "failed";
    Db->Run("UPDATE segments SET report_status = ?, status = ? WHERE id = ?",
            {status, name, qint64(segment)});
    settleStatus(message);
}

void TMessageStore::TImpl::applyEarlyReports(int64_t message, int sequence, int mr, TDateTime time)
{
    if (mr < 0)
        return;
    QSqlQuery &s = Db->Run("SELECT s.id, m.peer_key, m.modem FROM segments s JOIN messages m"
                           " ON m.id = s.message_id WHERE s.message_id = ? AND s.sequence = ?"
                           " AND m.direction = 'out'",
                           {qint64(message), sequence});
    if (!s.next()) {
        s.finish();
        return;
    }
    const qint64 segment = s.value(0).toLongLong();
    const QString key = s.value(1).toString();
    const QString modem = s.value(2).toString();
    s.finish();
    // Oldest first, as they would have come after the send; a final report ends the segment's
    // story. Only reports that came through the modem that sent it, as in recordReport.
    QSqlQuery &r = Db->Run("SELECT id, status FROM reports WHERE segment_id IS NULL AND mr = ?"
                           " AND recipient_key = ? AND time >= ? AND (? = '' OR modem = '' OR modem = ?)"
                           " ORDER BY time, id",
                           {mr, key, toMs(time - Settings.EarlyReportMinutes / (24.0 * 60.0)), modem, modem});
    std::vector<std::pair<qint64, int>> early;
    while (r.next()) {
        early.emplace_back(r.value(0).toLongLong(), r.value(1).toInt());
        if (finalReportStatus(early.back().second))
            break;
    }
    r.finish();
    for (const auto &[report, status] : early) {
        Db->Run("UPDATE reports SET segment_id = ? WHERE id = ?", {segment, report});
        applyReport(segment, message, status);
    }
}

TMessageStore::TMessageStore() : d(std::make_unique<TImpl>()) {}

TMessageStore::~TMessageStore() = default;

std::unique_ptr<TMessageStore> TMessageStore::Open(const std::string &Location,
                                                   const TStoreSettings &Settings)
{
    std::unique_ptr<TMessageStore> store(new TMessageStore());
    store->d->Settings = Settings;
    store->d->Db = std::make_unique<TStoreDatabase>(ParseStoreLocation(Location), Settings.Synchronous);
    PrepareStoreSchema(*store->d->Db, Settings.SchemaVersion);
    return store;
}

std::unique_ptr<TMessageStore> TMessageStore::OpenAnother() const
{
    std::unique_ptr<TMessageStore> store(new TMessageStore());
    store->d->Settings = d->Settings;
    store->d->Db = std::make_unique<TStoreDatabase>(d->Db->Location(), d->Settings.Synchronous);
    // Its schema is this one's, prepared already: what it writes (events, delivery callbacks)
    // follows that version.
    store->d->Db->SetSchemaVersion(d->Db->SchemaVersion());
    return store;
}

int TMessageStore::SchemaVersion()
{
    return LatestStoreSchema();
}

const std::string &TMessageStore::DisplayName() const
{
    return d->Db->DisplayName();
}

TRecordResult TMessageStore::RecordReceived(const std::string &Raw, bool TextMode, const TSMS *SMS,
                                            TDateTime Arrival, int StorageIndex, const std::string &Modem)
{
    TRecordResult result;
    const std::string pdu = modelPDU(Raw, TextMode, SMS);
    const std::string digest = digestOf(pdu, Raw);
    d->Db->Transaction(true, "recording a received message", [&] {
        result = {};
        if (auto *report = dynamic_cast<const TSMSStatusReport *>(SMS)) {
            const QVariant seen =
                d->Db->Scalar("SELECT segment_id FROM reports WHERE digest = ? LIMIT 1", {q(digest)});
            if (seen.isValid()) {
                result.Duplicate = true;
                return;
            }
            result = d->recordReport(Raw, TextMode, *report, Arrival, Modem, pdu, digest);
            return;
        }
        // One lookup by the digest's own index, whatever plan the server would make of a join.
        const QVariant seen =
            d->Db->Scalar("SELECT message_id FROM segments WHERE digest = ? LIMIT 1", {q(digest)});
        if (seen.isValid()) {
            result.MessageId = seen.toLongLong();
            QSqlQuery &m = d->Db->Run("SELECT parts_present, parts FROM messages WHERE id = ?", {seen});
            result.Complete = m.next() && m.value(0).toInt() >= m.value(1).toInt();
            m.finish();
            result.Duplicate = true;
            return;
        }
        if (auto *deliver = dynamic_cast<const TSMSDeliver *>(SMS)) {
            result = d->recordDeliver(Raw, TextMode, *deliver, Arrival, StorageIndex, Modem, pdu, digest);
            return;
        }
        // Any other message, or one that did not decode: kept whole as it came.
        TReceivedContent content;
        content.Kind = TPayloadKind::pkData;
        if (SMS)
            content = ContentOfMessage(*SMS);
        else
            content.Payload = Raw;
        result.MessageId = d->insertMessage(false, SMS ? PeerOf(*SMS) : std::string(), Arrival, content, 1, 1,
                                            TStoredStatus::ssReceived, Modem, {});
        d->insertSegment(result.MessageId, 1, Raw, pdu, TextMode, digest, StorageIndex,
                         TStoredStatus::ssReceived, Arrival);
        result.Complete = true;
        RecordStoreEvent(*d->Db, "received", result.MessageId);
    });
    return result;
}

int64_t TMessageStore::RecordOutgoing(const TOutgoing &Message, TDateTime Time)
{
    int64_t id = 0;
    d->Db->Transaction(true, "recording an outgoing message", [&] { id = insertOutgoing(Message, Time); });
    return id;
}

TStoreDatabase &TMessageStore::database() const
{
    return *d->Db;
}

int64_t TMessageStore::insertOutgoing(const TOutgoing &Message, TDateTime Time)
{
    int64_t id = 0;
    {
        TReceivedContent content;
        content.Kind = Message.Kind;
        content.Text = Message.Text;
        content.Payload = Message.Payload;
        content.DestPort = Message.DestPort;
        const int parts = static_cast<int>(Message.Segments.size());
        id = d->insertMessage(true, Message.Peer, Time, content, parts, parts,
                              Message.Queued ? TStoredStatus::ssQueued : TStoredStatus::ssPending,
                              Message.Modem, {});
        for (int i = 0; i < parts; ++i) {
            const TSMSSubmit *s = Message.Segments[static_cast<size_t>(i)];
            const std::string raw = s->GetPDU();
            const std::string pdu = !s->GSM || s->GSM->SCAInPDU() ? raw : "00" + raw;
            d->insertSegment(id, i + 1, raw, pdu, false, {}, -1, TStoredStatus::ssPending, Time);
        }
    }
    return id;
}

bool TMessageStore::SegmentSent(int64_t Id, int Sequence, int MR, TDateTime Time)
{
    bool found = false;
    d->Db->Transaction(true, "recording a sent segment", [&] {
        QSqlQuery &u = d->Db->Run("UPDATE segments SET mr = ?, status = 'sent', time = ?"
                                  " WHERE message_id = ? AND sequence = ?",
                                  {MR, toMs(Time), qint64(Id), Sequence});
        found = u.numRowsAffected() > 0;
        if (!found)
            return; // deleted meanwhile: nothing is left to record it in
        const QVariant waiting = d->Db->Scalar(
            "SELECT COUNT(*) FROM segments WHERE message_id = ? AND status = 'pending'", {qint64(Id)});
        // Sent before any report that came early is applied, so that its events come in the
        // order of the message's life: sent, then delivered.
        if (waiting.toInt() == 0) {
            if (d->Db
                    ->Run("UPDATE messages SET status = 'sent' WHERE id = ?"
                          " AND status IN ('pending', 'queued', 'uncertain')",
                          {qint64(Id)})
                    .numRowsAffected() > 0)
                RecordStoreEvent(*d->Db, "sent", Id);
        } else {
            // The late answer settled what was uncertain: the rest is sent as any queued message.
            d->Db->Run("UPDATE messages SET status = 'queued', due = 0, claimant = '', lease_until = 0"
                       " WHERE id = ? AND status = 'uncertain'",
                       {qint64(Id)});
        }
        d->applyEarlyReports(Id, Sequence, MR, Time);
    });
    return found;
}

void TMessageStore::MessageFailed(int64_t Id, const std::string &Error)
{
    d->Db->Transaction(true, "recording a failed message", [&] {
        const bool wasFailed =
            d->Db->Scalar("SELECT status FROM messages WHERE id = ?", {qint64(Id)}).toString() == "failed";
        QSqlQuery &u =
            d->Db->Run("UPDATE messages SET status = 'failed', error = ? WHERE id = ? AND direction = 'out'",
                       {q(Error), qint64(Id)});
        if (u.numRowsAffected() < 1)
            throw EStoreError(Format("there is no outgoing message %lld", static_cast<long long>(Id)));
        d->Db->Run("UPDATE segments SET status = 'failed' WHERE message_id = ? AND status = 'pending'",
                   {qint64(Id)});
        if (!wasFailed)
            RecordStoreEvent(*d->Db, "failed", Id);
    });
}

namespace {

// The conditions of Filter's peer, status and search as " AND ..." with their values.
QString filterSql(const TMessageFilter &Filter, bool postgres, QVariantList &values)
{
    QString sql;
    if (!Filter.Peer.empty()) {
        sql += " AND peer_key = ?";
        values << q(NormalisedAddress(Filter.Peer));
    }
    if (Filter.Status) {
        sql += " AND status = ?";
        values << statusName(*Filter.Status);
    }
    if (Filter.Outgoing) {
        sql += " AND direction = ?";
        values << (*Filter.Outgoing ? "out" : "in");
    }
    if (QString::fromStdString(Filter.Search).trimmed().size() > 0) {
        if (postgres) {
            sql += " AND text_search @@ plainto_tsquery('simple', ?)";
            values << q(Filter.Search);
        } else {
            sql += " AND id IN (SELECT rowid FROM messages_fts WHERE messages_fts MATCH ?)";
            values << ftsQuery(Filter.Search);
        }
    }
    return sql;
}

// Messages of one page that ForEach reads at a time.
constexpr int kPageSize = 500;

} // namespace

std::vector<TStoredMessage> TMessageStore::List(const TMessageFilter &Filter) const
{
    std::vector<TStoredMessage> out;
    QVariantList values;
    QString sql = QString("SELECT %1 FROM messages WHERE 1 = 1").arg(kMessageColumns) +
                  filterSql(Filter, d->Db->PostgreSQL(), values);
    if (Filter.BeforeId > 0) {
        sql += " AND id < ?";
        values << qint64(Filter.BeforeId);
    }
    sql += " ORDER BY id DESC";
    if (Filter.Limit > 0) {
        sql += " LIMIT ?";
        values << Filter.Limit;
    }
    d->Db->Transaction(false, "listing messages", [&] {
        out.clear();
        QSqlQuery &r = d->Db->Run(sql, values);
        while (r.next())
            out.push_back(messageFrom(r));
        r.finish();
    });
    std::reverse(out.begin(), out.end());
    return out;
}

void TMessageStore::ForEach(const TMessageFilter &Filter,
                            const std::function<void(const TStoredMessage &)> &Each) const
{
    QVariantList filterValues;
    const QString sql = QString("SELECT %1 FROM messages WHERE id > ?").arg(kMessageColumns) +
                        filterSql(Filter, d->Db->PostgreSQL(), filterValues) +
                        QString(" ORDER BY id LIMIT %1").arg(kPageSize);
    int64_t after = 0;
    for (;;) {
        std::vector<TStoredMessage> page;
        d->Db->Transaction(false, "listing messages", [&] {
            page.clear();
            QSqlQuery &r = d->Db->Run(sql, QVariantList{qint64(after)} + filterValues);
            while (r.next())
                page.push_back(messageFrom(r));
            r.finish();
        });
        for (const TStoredMessage &m : page)
            Each(m);
        if (page.size() < static_cast<size_t>(kPageSize))
            return;
        after = page.back().Id;
    }
}

std::optional<TStoredMessage> TMessageStore::Message(int64_t Id) const
{
    std::optional<TStoredMessage> out;
    d->Db->Transaction(false, "reading a message", [&] {
        out.reset();
        QSqlQuery &r =
            d->Db->Run(QString("SELECT %1 FROM messages WHERE id = ?").arg(kMessageColumns), {qint64(Id)});
        if (r.next())
            out = messageFrom(r);
        r.finish();
        if (!out)
            return;
        QSqlQuery &s =
            d->Db->Run("SELECT id, sequence, raw, pdu, text_mode, mr, storage_index, status, report_status,"
                       " time FROM segments WHERE message_id = ? ORDER BY sequence, id",
                       {qint64(Id)});
        while (s.next()) {
            TStoredSegment seg;
            seg.Id = s.value(0).toLongLong();
            seg.Sequence = s.value(1).toInt();
            seg.TextMode = s.value(4).toInt() != 0;
            seg.PDU = seg.TextMode ? str(s.value(2).toByteArray()) : str(s.value(3));
            if (!seg.TextMode && seg.PDU.empty())
                seg.PDU = str(s.value(2).toByteArray()); // did not decode: as it came
            seg.MR = s.value(5).toInt();
            seg.StorageIndex = s.value(6).toInt();
            seg.Status = statusFromName(s.value(7).toString());
            seg.ReportStatus = s.value(8).toInt();
            seg.Time = fromMs(s.value(9).toLongLong());
            out->Segments.push_back(std::move(seg));
        }
        s.finish();
    });
    return out;
}

std::vector<TConversation> TMessageStore::Conversations() const
{
    std::vector<TConversation> out;
    d->Db->Transaction(false, "listing conversations", [&] {
        out.clear();
        QSqlQuery &r = d->Db->Run(
            "SELECT m.peer, m.id, m.time, m.text, m.kind, c.unread, c.total FROM"
            " (SELECT peer_key, MAX(id) AS last_id, COUNT(*) AS total,"
            " SUM(CASE WHEN direction = 'in' AND is_read = 0 THEN 1 ELSE 0 END) AS unread"
            " FROM messages GROUP BY peer_key) c JOIN messages m ON m.id = c.last_id ORDER BY m.id DESC");
        while (r.next()) {
            TConversation c;
            c.Peer = str(r.value(0));
            c.LastId = r.value(1).toLongLong();
            c.LastTime = fromMs(r.value(2).toLongLong());
            c.LastText = str(r.value(3));
            c.LastKind = PayloadKindFromName(r.value(4).toString().toStdString());
            c.Unread = r.value(5).toInt();
            c.Count = r.value(6).toInt();
            out.push_back(std::move(c));
        }
        r.finish();
    });
    return out;
}

void TMessageStore::MarkRead(const std::string &Peer)
{
    d->Db->Transaction(true, "marking messages read", [&] {
        d->Db->Run("UPDATE messages SET is_read = 1 WHERE peer_key = ? AND is_read = 0",
                   {q(NormalisedAddress(Peer))});
    });
}

bool TMessageStore::ChangedElsewhere()
{
    if (d->Db->PostgreSQL())
        return d->Db->NotifiedOfChanges();
    int64_t version = -1;
    d->Db->Transaction(false, "looking for changes",
                       [&] { version = d->Db->Scalar("PRAGMA data_version").toLongLong(); });
    const bool changed = d->DataVersion >= 0 && version != d->DataVersion;
    d->DataVersion = version;
    return changed;
}

std::vector<TStoredSegment> TMessageStore::IncompleteSegments(TDateTime Since) const
{
    std::vector<TStoredSegment> out;
    d->Db->Transaction(false, "reading incomplete messages", [&] {
        out.clear();
        QSqlQuery &r = d->Db->Run("SELECT s.id, s.sequence, s.pdu, s.storage_index, s.time FROM messages m"
                                  " JOIN segments s ON s.message_id = m.id"
                                  " WHERE m.status = 'incomplete' AND m.direction = 'in' AND m.time > ?"
                                  " AND s.pdu <> '' ORDER BY s.time, s.id",
                                  {toMs(Since)});
        while (r.next()) {
            TStoredSegment seg;
            seg.Id = r.value(0).toLongLong();
            seg.Sequence = r.value(1).toInt();
            seg.PDU = str(r.value(2));
            seg.StorageIndex = r.value(3).toInt();
            seg.Time = fromMs(r.value(4).toLongLong());
            out.push_back(std::move(seg));
        }
        r.finish();
    });
    return out;
}

} // namespace kestrel
