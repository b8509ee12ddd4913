// The webhooks' outbox in the message store: each receiver's cursor in the event log, and the
// deliveries queued from it, claimed with leases as the send queue's messages are, retried until
// they are given up. Times are milliseconds since 1970 of one clock for all who share the store
// (the server's on PostgreSQL).
#include "store/messagestore.h"

#include "store/storedatabase.h"
#include "store/storesql.h"

#include <QSqlQuery>
#include <QStringList>

#include <algorithm>

namespace kestrel {

using namespace storesql;

namespace {

const char *const kDeliveryColumns =
    "d.id, d.webhook, d.url, d.status, d.attempts, d.last_error, d.created, d.due, d.delivered,"
    " e.id, e.time, e.type, e.message_id, e.modem, e.data";

TWebhookDelivery deliveryFrom(const QSqlQuery &r)
{
    TWebhookDelivery d;
    d.Id = r.value(0).toLongLong();
    d.Webhook = str(r.value(1));
    d.Url = str(r.value(2));
    d.Status = str(r.value(3));
    d.Attempts = r.value(4).toInt();
    d.LastError = str(r.value(5));
    d.CreatedMs = r.value(6).toLongLong();
    d.DueMs = r.value(7).toLongLong();
    d.DeliveredMs = r.value(8).toLongLong();
    d.Event = {r.value(9).toLongLong(),  r.value(10).toLongLong(), str(r.value(11)),
               r.value(12).toLongLong(), str(r.value(13)),         str(r.value(14))};
    return d;
}

// "?, ?, ?" for N values.
QString placeholders(size_t n)
{
    QStringList marks;
    for (size_t i = 0; i < n; ++i)
        marks << "?";
    return marks.join(", ");
}

const char *const kClaimedDelivery = " WHERE id = ? AND claimant = ? AND status = 'pending'";

} // namespace

int64_t TMessageStore::QueueDeliveries(const std::string &Webhook, const TDeliveryFilter &Filter, int Limit)
{
    TStoreDatabase &db = database();
    int64_t position = 0;
    db.Transaction(true, "queueing webhook deliveries", [&] {
        // A new receiver starts at the newest event; two nodes meeting it at once agree on one.
        if (!db.Scalar("SELECT 1 FROM webhook_cursors WHERE webhook = ?", {q(Webhook)}).isValid())
            db.Run("INSERT INTO webhook_cursors (webhook, event_id)"
                   " SELECT ?, COALESCE(MAX(id), 0) FROM events WHERE 1 = 1 ON CONFLICT (webhook) DO NOTHING",
                   {q(Webhook)});
        // Held until the commit on PostgreSQL: nodes queueing for one receiver take turns.
        const qint64 cursor = db.Scalar(QString("SELECT event_id FROM webhook_cursors WHERE webhook = ?%1")
                                            .arg(db.PostgreSQL() ? " FOR UPDATE" : ""),
                                        {q(Webhook)})
                                  .toLongLong();
        QSqlQuery &r =
            db.Run("SELECT e.id, e.time, e.type, e.message_id, e.modem, e.data,"
                   " COALESCE(m.dlr_url, ''), COALESCE(m.dlr_mask, 0) FROM events e"
                   " LEFT JOIN messages m ON m.id = e.message_id WHERE e.id > ? ORDER BY e.id LIMIT ?",
                   {cursor, std::max(1, Limit)});
        std::vector<std::pair<TStoredEvent, std::string>> take;
        qint64 last = cursor;
        while (r.next()) {
            const TStoredEvent event{r.value(0).toLongLong(), r.value(1).toLongLong(), str(r.value(2)),
                                     r.value(3).toLongLong(), str(r.value(4)),         str(r.value(5))};
            last = event.Id;
            if (const std::optional<std::string> url = Filter(event, {str(r.value(6)), r.value(7).toInt()}))
                take.emplace_back(event, *url);
        }
        r.finish();
        position = last;
        if (last == cursor)
            return;
        const qint64 now = QueueNowMs(db);
        for (const auto &[event, url] : take)
            db.Run("INSERT INTO webhook_deliveries (webhook, url, event_id, message_id, status, due, created)"
                   " VALUES (?, ?, ?, ?, 'pending', ?, ?) ON CONFLICT (webhook, event_id) DO NOTHING",
                   {q(Webhook), q(url), qint64(event.Id), qint64(event.MessageId), now, now});
        db.Run("UPDATE webhook_cursors SET event_id = ? WHERE webhook = ?", {last, q(Webhook)});
    });
    return position;
}

std::vector<TWebhookDelivery> TMessageStore::ClaimDeliveries(const std::vector<std::string> &Webhooks,
                                                             const std::string &Claimant, int LeaseMs,
                                                             int Limit)
{
    TStoreDatabase &db = database();
    std::vector<TWebhookDelivery> out;
    if (Webhooks.empty() || Limit <= 0)
        return out;
    // An earlier delivery of the same message to the same receiver that is still pending (due
    // later, or claimed by someone) holds the later ones back. PostgreSQL: rows another claimant
    // holds locked are skipped; SQLite: the transaction holds the write lock from its start.
    const QString select =
        QString("SELECT d.id FROM webhook_deliveries d WHERE d.status = 'pending' AND d.webhook IN (%1)"
                " AND d.due <= ? AND d.lease_until < ? AND NOT EXISTS (SELECT 1 FROM webhook_deliveries p"
                " WHERE p.webhook = d.webhook AND p.message_id = d.message_id AND p.event_id < d.event_id"
                " AND p.status = 'pending') ORDER BY d.event_id LIMIT ?%2")
            .arg(placeholders(Webhooks.size()), db.PostgreSQL() ? " FOR UPDATE SKIP LOCKED" : "");
    db.Transaction(true, "claiming webhook deliveries", [&] {
        out.clear();
        const qint64 now = QueueNowMs(db);
        QVariantList values;
        for (const std::string &w : Webhooks)
            values << q(w);
        values << now << now << Limit;
        std::vector<qint64> ids;
        QSqlQuery &r = db.Run(select, values);
        while (r.next())
            ids.push_back(r.value(0).toLongLong());
        r.finish();
        for (const qint64 id : ids) {
            db.Run("UPDATE webhook_deliveries SET claimant = ?, lease_until = ?, attempts = attempts + 1"
                   " WHERE id = ?",
                   {q(Claimant), now + std::max(1, LeaseMs), id});
            // The text of a received message goes to the receiver, never into the event log.
            QSqlQuery &d = db.Run(QString("SELECT %1, CASE WHEN e.type = 'received' THEN m.text ELSE '' END"
                                          " FROM webhook_deliveries d JOIN events e ON e.id = d.event_id"
                                          " LEFT JOIN messages m ON m.id = d.message_id WHERE d.id = ?")
                                      .arg(kDeliveryColumns),
                                  {id});
            if (d.next()) {
                out.push_back(deliveryFrom(d));
                out.back().Text = str(d.value(15));
            }
            d.finish();
        }
    });
    return out;
}

bool TMessageStore::DeliveryDone(int64_t Id, const std::string &Claimant)
{
    TStoreDatabase &db = database();
    bool done = false;
    db.Transaction(true, "recording a webhook delivery", [&] {
        done =
            db.Run(QString("UPDATE webhook_deliveries SET status = 'delivered', delivered = ?, claimant = '',"
                           " lease_until = 0, last_error = ''") +
                       kClaimedDelivery,
                   {QueueNowMs(db), qint64(Id), q(Claimant)})
                .numRowsAffected() > 0;
    });
    return done;
}

bool TMessageStore::DeliveryFailed(int64_t Id, const std::string &Claimant, const std::string &Error,
                                   int64_t RetryMs, int64_t GiveUpMs)
{
    TStoreDatabase &db = database();
    bool claimed = false;
    db.Transaction(true, "recording a failed webhook delivery", [&] {
        const qint64 now = QueueNowMs(db);
        claimed =
            db.Run(QString("UPDATE webhook_deliveries SET status = CASE WHEN created <= ? THEN 'failed'"
                           " ELSE 'pending' END, due = ?, last_error = ?, claimant = '', lease_until = 0") +
                       kClaimedDelivery,
                   {now - GiveUpMs, now + std::max<int64_t>(0, RetryMs), q(Error), qint64(Id), q(Claimant)})
                .numRowsAffected() > 0;
    });
    return claimed;
}

std::vector<TWebhookDelivery> TMessageStore::Deliveries(const std::string &Status, int Limit) const
{
    TStoreDatabase &db = database();
    std::vector<TWebhookDelivery> out;
    db.Transaction(false, "listing webhook deliveries", [&] {
        out.clear();
        QSqlQuery &r =
            db.Run(QString("SELECT %1 FROM webhook_deliveries d JOIN events e ON e.id = d.event_id"
                           " WHERE (d.status = ? OR (? = '' AND d.status IN ('pending', 'failed')))"
                           " ORDER BY d.event_id, d.id LIMIT ?")
                       .arg(kDeliveryColumns),
                   {q(Status), q(Status), std::max(1, Limit)});
        while (r.next())
            out.push_back(deliveryFrom(r));
        r.finish();
    });
    return out;
}

int TMessageStore::RetryDeliveries(int64_t Id)
{
    TStoreDatabase &db = database();
    int retried = 0;
    db.Transaction(true, "retrying webhook deliveries", [&] {
        const qint64 now = QueueNowMs(db);
        retried = Id != 0 ? db.Run("UPDATE webhook_deliveries SET status = 'pending', due = ?, created = ?"
                                   " WHERE id = ? AND status IN ('pending', 'failed')",
                                   {now, now, qint64(Id)})
                                .numRowsAffected()
                          : db.Run("UPDATE webhook_deliveries SET status = 'pending', due = ?, created = ?"
                                   " WHERE status = 'failed'",
                                   {now, now})
                                .numRowsAffected();
    });
    return retried;
}

std::vector<TWebhookCount> TMessageStore::DeliveryCounts() const
{
    TStoreDatabase &db = database();
    std::vector<TWebhookCount> out;
    db.Transaction(false, "counting webhook deliveries", [&] {
        out.clear();
        QSqlQuery &r =
            db.Run("SELECT webhook, status, COUNT(*) FROM webhook_deliveries GROUP BY webhook, status"
                   " ORDER BY webhook, status");
        while (r.next())
            out.push_back({str(r.value(0)), str(r.value(1)), r.value(2).toLongLong()});
        r.finish();
    });
    return out;
}

int TMessageStore::PruneDeliveries(int64_t BeforeMs)
{
    TStoreDatabase &db = database();
    int pruned = 0;
    db.Transaction(true, "removing old webhook deliveries", [&] {
        pruned = db.Run("DELETE FROM webhook_deliveries WHERE status = 'delivered' AND delivered < ?",
                        {qint64(BeforeMs)})
                     .numRowsAffected();
    });
    return pruned;
}

} // namespace kestrel
