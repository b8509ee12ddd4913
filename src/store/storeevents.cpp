// The store's event log: the changes of messages that other programs learn of (a web console's
// stream, webhooks), each written in the transaction of its change.
#include "store/storeevents.h"

#include "base/clock.h"
#include "store/messagestore.h"
#include "store/storedatabase.h"
#include "store/storeschema.h"
#include "store/storesql.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlQuery>

#include <algorithm>

namespace kestrel {

using namespace storesql;

namespace {

// The channel on which PostgreSQL connections tell each other of new events.
const QString kEventsChannel = "kestrel_events";

// Held from an event's insert to its commit: ids are taken in the order the transactions commit,
// so that no reader sees id N+1 before N (an identity column alone hands out ids at the insert).
// SQLite has one writer at a time anyway.
constexpr qint64 kEventsLock = 7210317;

} // namespace

const std::vector<std::string> &StoredEventTypes()
{
    static const std::vector<std::string> types = {"received", "sent",      "delivered",
                                                   "failed",   "uncertain", "cancelled"};
    return types;
}

void RecordStoreEvent(TStoreDatabase &Db, const char *Type, int64_t Id)
{
    if (Db.SchemaVersion() < kEventLogSchema)
        return; // a store kept readable by an older program
    QSqlQuery &m = Db.Run(
        "SELECT direction, peer, kind, parts, status, error, modem FROM messages WHERE id = ?", {qint64(Id)});
    if (!m.next()) {
        m.finish();
        return;
    }
    QJsonObject data{{"direction", m.value(0).toString()},
                     {"peer", m.value(1).toString()},
                     {"kind", m.value(2).toString()},
                     {"parts", m.value(3).toInt()},
                     {"status", m.value(4).toString()}};
    const QString error = m.value(5).toString();
    const QString type = Type;
    if (!error.isEmpty() && (type == "failed" || type == "uncertain"))
        data["error"] = error;
    const QString modem = m.value(6).toString();
    m.finish();
    if (Db.PostgreSQL())
        Db.Scalar("SELECT pg_advisory_xact_lock(?)", {kEventsLock});
    Db.Run("INSERT INTO events (time, type, message_id, modem, data) VALUES (?, ?, ?, ?, ?)",
           {qint64(Clock().UnixMs()), type, qint64(Id), modem,
            QString::fromUtf8(QJsonDocument(data).toJson(QJsonDocument::Compact))});
    Db.Notify(kEventsChannel);
}

std::vector<TStoredEvent> TMessageStore::EventsAfter(int64_t AfterId, int Limit) const
{
    TStoreDatabase &db = database();
    std::vector<TStoredEvent> out;
    db.Transaction(false, "reading events", [&] {
        out.clear();
        QSqlQuery &r = db.Run("SELECT id, time, type, message_id, modem, data FROM events WHERE id > ?"
                              " ORDER BY id LIMIT ?",
                              {qint64(AfterId), std::max(1, Limit)});
        while (r.next())
            out.push_back({r.value(0).toLongLong(), r.value(1).toLongLong(), str(r.value(2)),
                           r.value(3).toLongLong(), str(r.value(4)), str(r.value(5))});
        r.finish();
    });
    return out;
}

int64_t TMessageStore::LatestEventId() const
{
    TStoreDatabase &db = database();
    int64_t id = 0;
    db.Transaction(false, "reading the newest event",
                   [&] { id = db.Scalar("SELECT COALESCE(MAX(id), 0) FROM events").toLongLong(); });
    return id;
}

bool TMessageStore::WakeOnEvents(std::function<void()> Wake)
{
    return database().Listen(kEventsChannel, std::move(Wake));
}

} // namespace kestrel
