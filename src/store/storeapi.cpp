// What the HTTP API keeps in the message store beside the messages: its tokens (as hashes), the
// answers to requests that carried an idempotency key (recorded in the same transaction as the
// messages they queued), and the state of each gateway's modems; and the counts it reports.
// (Cancelling a queued message is the queue's own, in storequeue.cpp.)
#include "store/messagestore.h"

#include "base/clock.h"
#include "store/storedatabase.h"
#include "store/storesql.h"

#include <QSqlQuery>

namespace kestrel {

using storesql::q;
using storesql::str;

void TMessageStore::enqueueRequest(TEnqueueRequest &Request, TDateTime Time, int64_t NowMs)
{
    TStoreDatabase &db = database();
    if (!Request.Key.empty()) {
        QSqlQuery &r =
            db.Run("SELECT digest, answer FROM api_requests WHERE request_key = ?", {q(Request.Key)});
        if (r.next()) {
            Request.Result = str(r.value(1));
            (str(r.value(0)) == Request.Digest ? Request.Replayed : Request.Conflict) = true;
        }
        r.finish();
        if (Request.Replayed || Request.Conflict)
            return;
    }
    std::vector<int64_t> ids;
    ids.reserve(Request.Entries.size());
    for (const TQueueEntry &entry : Request.Entries)
        ids.push_back(insertQueued(entry.Message, Time, entry.Via));
    Request.Result = Request.Answer(ids);
    if (!Request.Key.empty())
        db.Run("INSERT INTO api_requests (request_key, digest, answer, created) VALUES (?, ?, ?, ?)",
               {q(Request.Key), q(Request.Digest), q(Request.Result), qint64(NowMs)});
}

void TMessageStore::EnqueueGroup(std::vector<TEnqueueRequest *> &Requests, TDateTime Time, double KeepDays)
{
    TStoreDatabase &db = database();
    // Runs Group in one transaction; true when it committed. Failed says whether the failure
    // came before the commit, so that nothing of it can have been kept.
    auto run = [&](const std::vector<TEnqueueRequest *> &group, bool &failedInBody) {
        failedInBody = false;
        try {
            db.Transaction(true, "queueing messages", [&] {
                const qint64 now = Clock().UnixMs();
                bool keyed = false;
                for (TEnqueueRequest *r : group)
                    keyed = keyed || !r->Key.empty();
                failedInBody = true;
                if (keyed)
                    db.Run("DELETE FROM api_requests WHERE created < ?",
                           {now - static_cast<qint64>(KeepDays * 86400000.0)});
                for (TEnqueueRequest *r : group) {
                    r->Result.clear();
                    r->Replayed = r->Conflict = false;
                    enqueueRequest(*r, Time, now);
                }
                failedInBody = false;
            });
            return std::string();
        } catch (const EStoreError &e) {
            return std::string(e.what());
        }
    };
    bool failedInBody = false;
    const std::string error = run(Requests, failedInBody);
    if (error.empty())
        return;
    // A request that failed the group (a key another server took at the same moment, a value the
    // database refuses) must not fail the others: each is tried alone. After a failed commit only
    // a request with a key is tried again: a repeat finds what a commit that did happen kept.
    for (TEnqueueRequest *r : Requests) {
        r->Result.clear();
        r->Replayed = r->Conflict = false;
        r->Error = error;
        if (!failedInBody && r->Key.empty())
            continue;
        for (int attempt = 0; attempt < (r->Key.empty() ? 1 : 2); ++attempt) {
            bool alone = false;
            r->Error = run({r}, alone);
            if (r->Error.empty())
                break;
        }
    }
}

void TMessageStore::RecordModemState(const TModemState &State)
{
    TStoreDatabase &db = database();
    db.Transaction(true, "recording a modem's state", [&] {
        db.Run("INSERT INTO modems (label, host, device, equipment, up, registration, last_contact, updated)"
               " VALUES (?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (label) DO UPDATE SET host = excluded.host,"
               " device = excluded.device, equipment = excluded.equipment, up = excluded.up,"
               " registration = excluded.registration, last_contact = excluded.last_contact,"
               " updated = excluded.updated",
               {q(State.Label), q(State.Host), q(State.Device), q(State.Equipment), State.Up ? 1 : 0,
                State.Registration, qint64(State.LastContactMs), qint64(Clock().UnixMs())});
    });
}

std::vector<TModemState> TMessageStore::ModemStates() const
{
    TStoreDatabase &db = database();
    std::vector<TModemState> out;
    db.Transaction(false, "reading the modems", [&] {
        out.clear();
        QSqlQuery &r = db.Run("SELECT label, host, device, equipment, up, registration, last_contact, updated"
                              " FROM modems ORDER BY label");
        while (r.next())
            out.push_back({str(r.value(0)), str(r.value(1)), str(r.value(2)), str(r.value(3)),
                           r.value(4).toInt() != 0, r.value(5).toInt(), r.value(6).toLongLong(),
                           r.value(7).toLongLong()});
        r.finish();
    });
    return out;
}

std::vector<TMessageCount> TMessageStore::MessageCounts(int64_t SinceMs) const
{
    TStoreDatabase &db = database();
    std::vector<TMessageCount> out;
    db.Transaction(false, "counting messages", [&] {
        out.clear();
        QSqlQuery &r = db.Run("SELECT modem, direction, status, COUNT(*) FROM messages WHERE time >= ?"
                              " GROUP BY modem, direction, status ORDER BY modem, direction, status",
                              {qint64(SinceMs)});
        while (r.next())
            if (const auto status = StoredStatusFromName(str(r.value(2))))
                out.push_back({str(r.value(0)), str(r.value(1)) == "out", *status, r.value(3).toLongLong()});
        r.finish();
    });
    return out;
}

TQueueSummary TMessageStore::QueueSummary() const
{
    TStoreDatabase &db = database();
    TQueueSummary out;
    db.Transaction(false, "looking at the queue", [&] {
        out = {};
        QSqlQuery &r = db.Run("SELECT via, COUNT(*), MIN(time) FROM messages WHERE status = 'queued'"
                              " GROUP BY via ORDER BY via");
        while (r.next()) {
            out.ByVia.emplace_back(str(r.value(0)), r.value(1).toLongLong());
            out.Total += r.value(1).toLongLong();
            const TDateTime oldest = storesql::fromMs(r.value(2).toLongLong());
            if (out.Oldest == 0 || oldest < out.Oldest)
                out.Oldest = oldest;
        }
        r.finish();
    });
    return out;
}

bool TMessageStore::AddToken(const TApiToken &Token)
{
    TStoreDatabase &db = database();
    bool added = false;
    db.Transaction(true, "adding an API token", [&] {
        added = !db.Scalar("SELECT 1 FROM api_tokens WHERE name = ?", {q(Token.Name)}).isValid();
        if (added)
            db.Run("INSERT INTO api_tokens (name, scope, hash, created) VALUES (?, ?, ?, ?)",
                   {q(Token.Name), q(Token.Scope), q(Token.Hash), qint64(Clock().UnixMs())});
    });
    return added;
}

std::vector<TApiToken> TMessageStore::Tokens() const
{
    TStoreDatabase &db = database();
    std::vector<TApiToken> out;
    db.Transaction(false, "reading the API tokens", [&] {
        out.clear();
        QSqlQuery &r = db.Run("SELECT name, scope, hash, created FROM api_tokens ORDER BY name");
        while (r.next())
            out.push_back({str(r.value(0)), str(r.value(1)), str(r.value(2)), r.value(3).toLongLong()});
        r.finish();
    });
    return out;
}

bool TMessageStore::RevokeToken(const std::string &Name)
{
    TStoreDatabase &db = database();
    bool revoked = false;
    db.Transaction(true, "revoking an API token", [&] {
        revoked = db.Run("DELETE FROM api_tokens WHERE name = ?", {q(Name)}).numRowsAffected() > 0;
    });
    return revoked;
}

} // namespace kestrel
