// The send queue of the message store: queued outgoing messages, claimed by gateways with a lease.
// Lease and due times are milliseconds since 1970 (UTC) of one clock for all who share the store:
// the server's on PostgreSQL, so that a machine whose clock runs ahead cannot take over claims
// that are still being sent; the one machine's on SQLite.
#include "store/messagestore.h"

#include "base/clock.h"
#include "base/format.h"
#include "store/storedatabase.h"
#include "store/storeevents.h"
#include "store/storeschema.h"
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
    if (!Message.Callback.Url.empty()) {
        if (database().SchemaVersion() < kWebhookSchema)
            throw EStoreError("the store's schema is too old to keep a delivery callback");
        database().Run("UPDATE messages SET dlr_url = ?, dlr_mask = ? WHERE id = ?",
                       {q(Message.Callback.Url), Message.Callback.Mask, qint64(id)});
    }
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

TMessageStore::TCancelOutcome TMessageStore::removeUnlessSending(int64_t Id, bool OnlyQueued,
                                                                 std::string &Sender)
{
    TStoreDatabase &db = database();
    TCancelOutcome out = TCancelOutcome::coNotFound;
    db.Transaction(true, OnlyQueued ? "cancelling a queued message" : "deleting a message", [&] {
        out = TCancelOutcome::coNotFound;
        // PostgreSQL: the row stays locked until the end, so that no gateway claims it between
        // the look at its claim and its removal (SQLite: the write lock is held from the start).
        QSqlQuery &r =
            db.Run(QString("SELECT status, claimant, lease_until, modem FROM messages WHERE id = ?%1")
                       .arg(db.PostgreSQL() ? " FOR UPDATE" : ""),
                   {qint64(Id)});
        if (!r.next()) {
            r.finish();
            return;
        }
        const bool queued = str(r.value(0)) == "queued";
        const bool claimed = queued && !str(r.value(1)).empty() && r.value(2).toLongLong() >= QueueNowMs(db);
        Sender = str(r.value(3));
        r.finish();
        out = claimed                 ? TCancelOutcome::coSending
              : OnlyQueued && !queued ? TCancelOutcome::coNotQueued
                                      : TCancelOutcome::coCancelled;
        if (out != TCancelOutcome::coCancelled)
            return;
        // Taking a queued message away is cancelling it: those who wait for its fate learn it.
        if (queued)
            RecordStoreEvent(db, "cancelled", Id);
        db.Run("DELETE FROM messages WHERE id = ?", {qint64(Id)});
    });
    return out;
}

TMessageStore::TCancelOutcome TMessageStore::CancelQueued(int64_t Id)
{
    std::string sender;
    return removeUnlessSending(Id, true, sender);
}

bool TMessageStore::Delete(int64_t Id)
{
    std::string sender;
    const TCancelOutcome out = removeUnlessSending(Id, false, sender);
    if (out == TCancelOutcome::coSending)
        throw EStoreBusy(Format("message %lld is being sent by %s; try again or cancel it after it ends",
                                static_cast<long long>(Id), sender.c_str()));
    return out == TCancelOutcome::coCancelled;
}

} // namespace kestrel
