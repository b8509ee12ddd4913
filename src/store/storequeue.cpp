// The send queue of the message store: queued outgoing messages, claimed by gateways with a lease.
// Lease and due times are the claimant's clock in milliseconds since 1970 (UTC): machines that
// share a store keep their clocks in step (NTP), as any lease across machines needs.
#include "store/messagestore.h"

#include "base/clock.h"
#include "base/format.h"
#include "store/storedatabase.h"
#include "store/storesql.h"

#include <QSqlQuery>

#include <algorithm>

namespace kestrel {

using namespace storesql;

namespace {
// The channel on which PostgreSQL connections tell the gateways of messages to send.
const QString kQueueChannel = "kestrel_queue";
} // namespace

namespace {

qint64 nowMs()
{
    return Clock().UnixMs();
}

// The wait before the next attempt after Failures failed ones: doubling from the base, capped.
qint64 backoffMs(const TQueueSettings &settings, int failures)
{
    qint64 wait = std::max(0, settings.BackoffMs);
    for (int i = 1; i < failures && wait < settings.MaxBackoffMs; ++i)
        wait *= 2;
    return std::min<qint64>(wait, std::max(0, settings.MaxBackoffMs));
}

} // namespace

int64_t TMessageStore::insertQueued(const TOutgoing &Message, TDateTime Time, const std::string &Via)
{
    TOutgoing queued = Message;
    queued.Queued = true;
    const int64_t id = insertOutgoing(queued, Time);
    database().Run("UPDATE messages SET via = ?, due = 0 WHERE id = ?", {q(Via), qint64(id)});
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
        const qint64 now = nowMs();
        const QVariant found = db.Scalar(select, {now, now, q(Modem)});
        if (!found.isValid())
            return;
        id = found.toLongLong();
        db.Run("UPDATE messages SET claimant = ?, lease_until = ?, modem = ? WHERE id = ?",
               {q(Claimant), now + std::max(1, LeaseMs), q(Modem), qint64(id)});
    });
    if (id == 0)
        return std::nullopt;
    return Message(id);
}

bool TMessageStore::RenewLease(int64_t Id, const std::string &Claimant, int LeaseMs)
{
    bool renewed = false;
    database().Transaction(true, "renewing a claim", [&] {
        renewed =
            database()
                .Run(
                    "UPDATE messages SET lease_until = ? WHERE id = ? AND claimant = ? AND status = 'queued'",
                    {nowMs() + std::max(1, LeaseMs), qint64(Id), q(Claimant)})
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

TRetryOutcome TMessageStore::RetryQueued(int64_t Id, const std::string &Claimant, const std::string &Error,
                                         const TQueueSettings &Settings)
{
    TRetryOutcome outcome = TRetryOutcome::roNotClaimed;
    TStoreDatabase &db = database();
    db.Transaction(true, "recording a failed attempt", [&] {
        outcome = TRetryOutcome::roNotClaimed;
        const QVariant attempts =
            db.Scalar("SELECT attempts FROM messages WHERE id = ? AND claimant = ? AND status = 'queued'",
                      {qint64(Id), q(Claimant)});
        if (!attempts.isValid())
            return;
        const int failures = attempts.toInt() + 1;
        if (failures >= Settings.Attempts) {
            db.Run("UPDATE messages SET status = 'failed', error = ?, attempts = ?, claimant = '',"
                   " lease_until = 0 WHERE id = ?",
                   {q(Error), failures, qint64(Id)});
            db.Run("UPDATE segments SET status = 'failed' WHERE message_id = ? AND status = 'pending'",
                   {qint64(Id)});
            outcome = TRetryOutcome::roFailed;
            return;
        }
        db.Run("UPDATE messages SET error = ?, attempts = ?, due = ?, claimant = '', lease_until = 0"
               " WHERE id = ?",
               {q(Error), failures, nowMs() + backoffMs(Settings, failures), qint64(Id)});
        outcome = TRetryOutcome::roRetry;
    });
    return outcome;
}

int TMessageStore::QueueAttempts(int64_t Id) const
{
    int attempts = 0;
    database().Transaction(false, "reading the attempts of a message", [&] {
        attempts = database().Scalar("SELECT attempts FROM messages WHERE id = ?", {qint64(Id)}).toInt();
    });
    return attempts;
}

} // namespace kestrel
