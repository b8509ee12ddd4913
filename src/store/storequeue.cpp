// The send queue of the message store: queued outgoing messages, claimed by gateways with a lease.
// Lease and due times are milliseconds since 1970 (UTC) of one clock for all who share the store:
// the server's on PostgreSQL, so that a machine whose clock runs ahead cannot take over claims
// that are still being sent; the one machine's on SQLite.
#include "store/messagestore.h"

#include "base/clock.h"
#include "base/format.h"
#include "store/storedatabase.h"
#include "store/storeevents.h"
#include "store/storesql.h"

#include <QSqlQuery>

#include <algorithm>

namespace kestrel {

using namespace storesql;

namespace {

// The channel on which PostgreSQL connections tell the gateways of messages to send.
const QString kQueueChannel = "kestrel_queue";

const char *const kClaimed = " WHERE id = ? AND claimant = ? AND status = 'queued'";

// Claimant's claim on message Id ends with the message in Status, Error kept; false when the
// claim is not Claimant's. Within a transaction.
bool endClaim(TStoreDatabase &db, int64_t Id, const std::string &Claimant, const std::string &Error,
              TStoredStatus Status)
{
    return db.Run(QString("UPDATE messages SET status = ?, error = ?, claimant = '', lease_until = 0") +
                      kClaimed,
                  {StoredStatusName(Status), q(Error), qint64(Id), q(Claimant)})
               .numRowsAffected() > 0;
}

} // namespace

int64_t TMessageStore::insertQueued(const TOutgoing &Message, TDateTime Time, const std::string &Via)
{
    TOutgoing queued = Message;
    queued.Queued = true;
    const int64_t id = insertOutgoing(queued, Time);
    // A new row is due at once and for any modem by its columns' defaults.
    if (!Via.empty())
        database().Run("UPDATE messages SET via = ? WHERE id = ?", {q(Via), qint64(id)});
    database().Notify(kQueueChannel);
    return id;
}

int64_t TMessageStore::Enqueue(const TOutgoing &Message, TDateTime Time, const std::string &Via)
{
    int64_t id = 0;
    // One transaction: no gateway may see the message before it names its modem.
    database().Transaction(true, "queueing a message", [&] { id = insertQueued(Message, Time, Via); });
    return id;
}

std::optional<TStoredMessage> TMessageStore::ClaimQueued(const std::string &Claimant,
                                                         const std::string &Modem, int LeaseMs)
{
    TStoreDatabase &db = database();
    int64_t id = 0;
    // PostgreSQL: rows another claimant holds locked are skipped, not waited for; a row whose
    // claim committed meanwhile is read again and no longer qualifies. SQLite: the transaction
    // holds the write lock from its start, so claims follow one another.
    const QString select = QString("SELECT id FROM messages WHERE status = 'queued' AND direction = 'out'"
                                   " AND due <= ? AND lease_until < ? AND (via = '' OR via = ?)"
                                   " ORDER BY id LIMIT 1%1")
                               .arg(db.PostgreSQL() ? " FOR UPDATE SKIP LOCKED" : "");
    db.Transaction(true, "claiming a queued message", [&] {
        id = 0;
        const qint64 now = QueueNowMs(db);
        const QVariant found = db.Scalar(select, {now, now, q(Modem)});
        if (!found.isValid())
            return;
        id = found.toLongLong();
        db.Run("UPDATE messages SET claimant = ?, lease_until = ?, modem = ?, attempts = attempts + 1"
               " WHERE id = ?",
               {q(Claimant), now + std::max(1, LeaseMs), q(Modem), qint64(id)});
    });
    if (id == 0)
        return std::nullopt;
    return Message(id);
}

bool TMessageStore::RenewLease(int64_t Id, const std::string &Claimant, int LeaseMs)
{
    bool renewed = false;
    TStoreDatabase &db = database();
    db.Transaction(true, "renewing a claim", [&] {
        renewed = db.Run(QString("UPDATE messages SET lease_until = ?") + kClaimed,
                         {QueueNowMs(db) + std::max(1, LeaseMs), qint64(Id), q(Claimant)})
                      .numRowsAffected() > 0;
    });
    return renewed;
}

int TMessageStore::ReleaseClaims(const std::string &Claimant, int64_t Id)
{
    int released = 0;
    database().Transaction(true, "releasing claims", [&] {
        QString sql =
            "UPDATE messages SET claimant = '', lease_until = 0 WHERE claimant = ? AND status = 'queued'";
        QVariantList values{q(Claimant)};
        if (Id != 0) {
            sql += " AND id = ?";
            values << qint64(Id);
        }
        released = database().Run(sql, values).numRowsAffected();
        if (released > 0)
            database().Notify(kQueueChannel);
    });
    return released;
}

bool TMessageStore::WakeOnQueued(std::function<void()> Wake)
{
    return database().Listen(kQueueChannel, std::move(Wake));
}

bool TMessageStore::RetryQueued(int64_t Id, const std::string &Claimant, const std::string &Error,
                                int64_t DelayMs)
{
    bool claimed = false;
    TStoreDatabase &db = database();
    db.Transaction(true, "recording a failed attempt", [&] {
        claimed = db.Run(QString("UPDATE messages SET error = ?, due = ?, claimant = '', lease_until = 0") +
                             kClaimed,
                         {q(Error), QueueNowMs(db) + std::max<int64_t>(0, DelayMs), qint64(Id), q(Claimant)})
                      .numRowsAffected() > 0;
    });
    return claimed;
}

bool TMessageStore::FailQueued(int64_t Id, const std::string &Claimant, const std::string &Error)
{
    bool claimed = false;
    TStoreDatabase &db = database();
    db.Transaction(true, "recording a failed message", [&] {
        claimed = endClaim(db, Id, Claimant, Error, TStoredStatus::ssFailed);
        if (!claimed)
            return;
        db.Run("UPDATE segments SET status = 'failed' WHERE message_id = ? AND status = 'pending'",
               {qint64(Id)});
        RecordStoreEvent(db, "failed", Id);
    });
    return claimed;
}

bool TMessageStore::MarkUncertain(int64_t Id, const std::string &Claimant, const std::string &Error)
{
    bool claimed = false;
    TStoreDatabase &db = database();
    db.Transaction(true, "recording a send of unknown fate", [&] {
        claimed = endClaim(db, Id, Claimant, Error, TStoredStatus::ssUncertain);
        if (claimed)
            RecordStoreEvent(db, "uncertain", Id);
    });
    return claimed;
}

bool TMessageStore::Requeue(int64_t Id)
{
    bool requeued = false;
    TStoreDatabase &db = database();
    db.Transaction(true, "queueing a message again", [&] {
        requeued = db.Run("UPDATE messages SET status = 'queued', due = 0, attempts = 0, claimant = '',"
                          " lease_until = 0 WHERE id = ? AND direction = 'out'"
                          " AND status IN ('uncertain', 'failed') AND EXISTS (SELECT 1 FROM segments"
                          " WHERE message_id = messages.id AND (status = 'pending' OR"
                          " (status = 'failed' AND mr < 0)))",
                          {qint64(Id)})
                       .numRowsAffected() > 0;
        if (!requeued)
            return;
        db.Run("UPDATE segments SET status = 'pending' WHERE message_id = ? AND status = 'failed'"
               " AND mr < 0",
               {qint64(Id)});
        db.Notify(kQueueChannel);
    });
    return requeued;
}

int TMessageStore::QueueAttempts(int64_t Id) const
{
    int attempts = 0;
    database().Transaction(false, "reading the attempts of a message", [&] {
        attempts = database().Scalar("SELECT attempts FROM messages WHERE id = ?", {qint64(Id)}).toInt();
    });
    return attempts;
}

bool TMessageStore::Delete(int64_t Id)
{
    bool deleted = false;
    std::optional<std::string> sender; // the modem of a live claim
    TStoreDatabase &db = database();
    db.Transaction(true, "deleting a message", [&] {
        deleted = false;
        QSqlQuery &held = db.Run("SELECT modem FROM messages WHERE id = ? AND status = 'queued'"
                                 " AND claimant <> '' AND lease_until >= ?",
                                 {qint64(Id), QueueNowMs(db)});
        sender = held.next() ? std::optional(str(held.value(0))) : std::nullopt;
        held.finish();
        if (sender)
            return;
        // Taking a queued message away is cancelling it: those who wait for its fate learn it.
        if (db.Scalar("SELECT status FROM messages WHERE id = ?", {qint64(Id)}).toString() == "queued")
            RecordStoreEvent(db, "cancelled", Id);
        deleted = db.Run("DELETE FROM messages WHERE id = ?", {qint64(Id)}).numRowsAffected() > 0;
    });
    if (sender)
        throw EStoreBusy(Format("message %lld is being sent by %s; try again or cancel it after it ends",
                                static_cast<long long>(Id), sender->c_str()));
    return deleted;
}

} // namespace kestrel
