// The store's event log on each back end: every change a user would want to learn of writes
// exactly one event in its own transaction (a change that fails writes none, an event that cannot
// be written undoes its change), repeats and intermediate steps write nothing, events carry no
// message text, and readers that follow the log with concurrent writers miss nothing.
#include "storerig.h"

#include "pgserver.h"

#include "gsm/tpdufields.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <thread>

namespace kestrel::storetest {
namespace {

// A message of Parts segments to Peer, recorded outgoing (pending) or queued.
int64_t outgoing(TMessageStore &store, const std::string &peer, int parts, bool queued,
                 const std::string &modem = "left")
{
    TMessageComposer composer;
    TMessageContent c;
    c.Kind = TMessageKind::mkText;
    c.Text = parts == 1 ? QString("secret words") : QString(150 * parts, 'q');
    const auto submits = composer.Compose(peer, c);
    TOutgoing out;
    out.Peer = peer;
    out.Text = c.Text.toStdString();
    out.Modem = modem;
    out.Queued = queued;
    for (const auto &s : submits)
        out.Segments.push_back(s.get());
    return store.RecordOutgoing(out, At());
}

void receiveReport(TMessageStore &store, const std::string &to, int mr, int status, double when)
{
    const auto report = Report(to, mr, status, At(when));
    store.RecordReceived(report.Raw, false, report.SMS.get(), At(when), -1, "left");
}

// The events after After as "type:message" for comparing whole sequences.
std::vector<std::string> eventsAfter(TMessageStore &store, int64_t after)
{
    std::vector<std::string> out;
    for (const TStoredEvent &e : store.EventsAfter(after, 1000))
        out.push_back(e.Type + ":" + std::to_string(e.MessageId));
    return out;
}

std::string ev(const char *type, int64_t id)
{
    return std::string(type) + ":" + std::to_string(id);
}

TEST_P(StoreTest, EachChangeWritesExactlyOneEvent)
{
    struct Row {
        const char *name;
        // Does the change on Store; returns the events it must write, in order.
        std::function<std::vector<std::string>(TMessageStore &)> change;
    };
    const Row rows[] = {
        {"a single received message",
         [](TMessageStore &s) {
             const auto a = Deliver("+4917011111", 0, TextToGSM("hello"), At());
             const int64_t id = s.RecordReceived(a.Raw, false, a.SMS.get(), At(), 3, "left").MessageId;
             // The same segment again (a second reading): nothing new.
             s.RecordReceived(a.Raw, false, a.SMS.get(), At(), 3, "left");
             return std::vector{ev("received", id)};
         }},
        {"a received message in three segments: one event, when it is whole",
         [](TMessageStore &s) {
             TMessageContent c;
             c.Kind = TMessageKind::mkText;
             c.Text = QString(400, 'z');
             const auto parts = Received(c, "+4917022222", At());
             EXPECT_EQ(parts.size(), 3u);
             const int64_t start = s.LatestEventId();
             int64_t id = 0;
             for (size_t i = 0; i < parts.size(); ++i) {
                 id = s.RecordReceived(parts[i].Raw, false, parts[i].SMS.get(), At(), 1, "left").MessageId;
                 if (i + 1 < parts.size()) {
                     EXPECT_TRUE(s.EventsAfter(start, 10).empty()) << "after segment " << i + 1;
                 }
             }
             return std::vector{ev("received", id)};
         }},
        {"sent with its last segment, then delivered when every segment is",
         [](TMessageStore &s) {
             const int64_t id = outgoing(s, "+4917033333", 2, false);
             s.SegmentSent(id, 1, 60, At());
             s.SegmentSent(id, 2, 61, At());
             receiveReport(s, "+4917033333", 60, 0x00, 0.001);
             receiveReport(s, "+4917033333", 61, 0x20, 0.002); // still trying: no event
             receiveReport(s, "+4917033333", 61, 0x00, 0.003);
             receiveReport(s, "+4917033333", 61, 0x00, 0.003); // the same report again
             return std::vector{ev("sent", id), ev("delivered", id)};
         }},
        {"a report that came before the reference: sent, then delivered",
         [](TMessageStore &s) {
             receiveReport(s, "+4917044444", 70, 0x00, -0.0001);
             const int64_t id = outgoing(s, "+4917044444", 1, false);
             s.SegmentSent(id, 1, 70, At());
             return std::vector{ev("sent", id), ev("delivered", id)};
         }},
        {"two failed segments fail the message once",
         [](TMessageStore &s) {
             const int64_t id = outgoing(s, "+4917055555", 2, false);
             s.SegmentSent(id, 1, 80, At());
             s.SegmentSent(id, 2, 81, At());
             receiveReport(s, "+4917055555", 80, 0x41, 0.001);
             receiveReport(s, "+4917055555", 81, 0x45, 0.002);
             return std::vector{ev("sent", id), ev("failed", id)};
         }},
        {"a failed send, told twice",
         [](TMessageStore &s) {
             const int64_t id = outgoing(s, "+4917066666", 1, false);
             s.MessageFailed(id, "+CMS ERROR: 38");
             s.MessageFailed(id, "+CMS ERROR: 38");
             return std::vector{ev("failed", id)};
         }},
        {"a queued message: retried (no event), then failed; a claim not held changes nothing",
         [](TMessageStore &s) {
             const int64_t id = outgoing(s, "+4917077777", 1, true);
             EXPECT_TRUE(s.ClaimQueued("gw/left", "left", 60000));
             EXPECT_TRUE(s.RetryQueued(id, "gw/left", "busy", 0));
             EXPECT_FALSE(s.FailQueued(id, "gw/other", "not mine"));
             EXPECT_TRUE(s.ClaimQueued("gw/left", "left", 60000));
             EXPECT_TRUE(s.FailQueued(id, "gw/left", "+CMS ERROR: 500"));
             return std::vector{ev("failed", id)};
         }},
        {"an uncertain send, sent again when asked",
         [](TMessageStore &s) {
             const int64_t id = outgoing(s, "+4917088888", 1, true);
             EXPECT_TRUE(s.ClaimQueued("gw/left", "left", 60000));
             EXPECT_TRUE(s.MarkUncertain(id, "gw/left", "no answer"));
             EXPECT_TRUE(s.Requeue(id));
             EXPECT_TRUE(s.ClaimQueued("gw/left", "left", 60000));
             s.SegmentSent(id, 1, 90, At());
             return std::vector{ev("uncertain", id), ev("sent", id)};
         }},
        {"cancelled through the API and by deleting it; a sent message deleted is no event",
         [](TMessageStore &s) {
             const int64_t a = outgoing(s, "+4917099991", 1, true);
             const int64_t b = outgoing(s, "+4917099992", 1, true);
             const int64_t c = outgoing(s, "+4917099993", 1, false);
             s.SegmentSent(c, 1, 91, At());
             EXPECT_EQ(s.CancelQueued(a), TMessageStore::TCancelOutcome::coCancelled);
             EXPECT_EQ(s.CancelQueued(a), TMessageStore::TCancelOutcome::coNotFound);
             EXPECT_TRUE(s.Delete(b));
             EXPECT_TRUE(s.Delete(c));
             return std::vector{ev("sent", c), ev("cancelled", a), ev("cancelled", b)};
         }},
        {"a message being sent is not cancelled",
         [](TMessageStore &s) {
             const int64_t id = outgoing(s, "+4917099994", 1, true);
             EXPECT_TRUE(s.ClaimQueued("gw/left", "left", 60000));
             EXPECT_EQ(s.CancelQueued(id), TMessageStore::TCancelOutcome::coSending);
             EXPECT_THROW(s.Delete(id), EStoreBusy);
             return std::vector<std::string>{};
         }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        location = NewStoreLocation(GetParam());
        auto store = Open();
        const int64_t before = store->LatestEventId();
        const std::vector<std::string> expected = row.change(*store);
        EXPECT_EQ(eventsAfter(*store, before), expected);
    }
}

TEST_P(StoreTest, EventsCarryTheMessageButNotItsText)
{
    auto store = Open();
    EXPECT_EQ(store->LatestEventId(), 0);
    EXPECT_TRUE(store->EventsAfter(0, 10).empty());
    const auto a = Deliver("+4917011111", 0, TextToGSM("the secret words"), At());
    const int64_t in = store->RecordReceived(a.Raw, false, a.SMS.get(), At(), 3, "left").MessageId;
    const int64_t out = outgoing(*store, "+4917022222", 1, true);
    ASSERT_TRUE(store->ClaimQueued("gw/right", "right", 60000));
    ASSERT_TRUE(store->FailQueued(out, "gw/right", "+CMS ERROR: 21"));

    const auto events = store->EventsAfter(0, 10);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_GT(events[1].Id, events[0].Id);
    EXPECT_EQ(store->LatestEventId(), events[1].Id);
    EXPECT_GT(events[0].TimeMs, 1700000000000);
    const struct {
        const TStoredEvent &event;
        const char *type;
        int64_t message;
        const char *modem;
        QJsonObject data;
    } rows[] = {
        {events[0],
         "received",
         in,
         "left",
         {{"direction", "in"},
          {"peer", "+4917011111"},
          {"kind", "text"},
          {"parts", 1},
          {"status", "received"}}},
        {events[1],
         "failed",
         out,
         "right",
         {{"direction", "out"},
          {"peer", "+4917022222"},
          {"kind", "text"},
          {"parts", 1},
          {"status", "failed"},
          {"error", "+CMS ERROR: 21"}}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.type);
        EXPECT_EQ(row.event.Type, row.type);
        EXPECT_EQ(row.event.MessageId, row.message);
        EXPECT_EQ(row.event.Modem, row.modem);
        EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(row.event.Data)).object(), row.data)
            << row.event.Data;
        EXPECT_EQ(row.event.Data.find("secret"), std::string::npos);
    }
    // Paging: the limit, then the rest after the last seen.
    EXPECT_EQ(store->EventsAfter(0, 1).size(), 1u);
    EXPECT_EQ(store->EventsAfter(events[0].Id, 10).size(), 1u);
    EXPECT_TRUE(store->EventsAfter(events[1].Id, 10).empty());
}

// Runs Statements on the store's database through a connection of its own, as another program
// (here: an administrator's trigger) would.
void direct(const std::string &location, const std::vector<std::string> &statements)
{
    {
        const bool postgres = location.rfind("postgresql://", 0) == 0;
        QSqlDatabase db = QSqlDatabase::addDatabase(postgres ? "QPSQL" : "QSQLITE", "eventsdirect");
        if (postgres) {
            const QUrl u(QString::fromStdString(location));
            db.setHostName(u.host());
            db.setPort(u.port());
            db.setUserName(u.userName());
            db.setPassword(u.password());
            db.setDatabaseName(u.path().mid(1));
        } else {
            db.setDatabaseName(QString::fromStdString(location));
        }
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        for (const std::string &sql : statements)
            ASSERT_TRUE(q.exec(QString::fromStdString(sql))) << sql;
        q.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase("eventsdirect");
}

// A trigger on Table that refuses the rows of Op (INSERT, UPDATE, DELETE) for which When holds.
std::vector<std::string> refusal(bool postgres, const std::string &table, const std::string &op,
                                 const std::string &when)
{
    const std::string name = "refuse_" + table + "_" + op;
    if (postgres)
        return {"CREATE FUNCTION " + name +
                    "() RETURNS trigger AS $$ BEGIN RAISE EXCEPTION 'refused'; END $$"
                    " LANGUAGE plpgsql",
                "CREATE TRIGGER " + name + " BEFORE " + op + " ON " + table + " FOR EACH ROW WHEN (" + when +
                    ") EXECUTE FUNCTION " + name + "()"};
    return {"CREATE TRIGGER " + name + " BEFORE " + op + " ON " + table + " FOR EACH ROW WHEN " + when +
            " BEGIN SELECT RAISE(ABORT, 'refused'); END"};
}

TEST_P(StoreTest, AChangeAndItsEventCommitTogetherOrNotAtAll)
{
    const bool postgres = GetParam() == "postgresql";
    struct Row {
        const char *name;
        const char *table, *op, *when; // the trigger that makes the transaction fail
        // Prepares (before the trigger), then changes; checks that nothing of the change is kept.
        std::function<int64_t(TMessageStore &)> prepare;
        std::function<void(TMessageStore &, int64_t)> change;
        std::function<void(TMessageStore &, int64_t)> unchanged;
    };
    const auto arrival = Deliver("+4917022222", 0, TextToGSM("hi"), At());
    const Row rows[] = {
        {"the sent event cannot be written: the segment is not recorded sent", "events", "INSERT",
         "NEW.type = 'sent'", [](TMessageStore &s) { return outgoing(s, "+4917011111", 1, false); },
         [](TMessageStore &s, int64_t id) { s.SegmentSent(id, 1, 5, At()); },
         [](TMessageStore &s, int64_t id) {
             EXPECT_EQ(s.Message(id)->Status, TStoredStatus::ssPending);
             EXPECT_EQ(s.Message(id)->Segments[0].MR, -1);
         }},
        {"the received event cannot be written: the message is not recorded (it stays on the handset)",
         "events", "INSERT", "NEW.type = 'received'", [](TMessageStore &) { return int64_t(0); },
         [&](TMessageStore &s, int64_t) { s.RecordReceived(arrival.Raw, false, arrival.SMS.get(), At(), 1); },
         [](TMessageStore &s, int64_t) { EXPECT_TRUE(s.List({}).empty()); }},
        {"the failure cannot be recorded: no failed event", "messages", "UPDATE", "NEW.status = 'failed'",
         [](TMessageStore &s) {
             const int64_t id = outgoing(s, "+4917033333", 1, true);
             EXPECT_TRUE(s.ClaimQueued("gw/left", "left", 60000));
             return id;
         },
         [](TMessageStore &s, int64_t id) { s.FailQueued(id, "gw/left", "+CMS ERROR: 500"); },
         [](TMessageStore &s, int64_t id) { EXPECT_EQ(s.Message(id)->Status, TStoredStatus::ssQueued); }},
        {"the cancel cannot delete: no cancelled event", "messages", "DELETE", "OLD.status = 'queued'",
         [](TMessageStore &s) { return outgoing(s, "+4917044444", 1, true); },
         [](TMessageStore &s, int64_t id) { s.CancelQueued(id); },
         [](TMessageStore &s, int64_t id) { EXPECT_EQ(s.Message(id)->Status, TStoredStatus::ssQueued); }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        location = NewStoreLocation(GetParam());
        auto store = Open();
        const int64_t id = row.prepare(*store);
        const int64_t before = store->LatestEventId();
        direct(location, refusal(postgres, row.table, row.op, row.when));
        EXPECT_THROW(row.change(*store, id), EStoreError);
        row.unchanged(*store, id);
        EXPECT_EQ(store->LatestEventId(), before);
    }
}

// Readers follow the log by asking for what comes after the last id they saw: with writers on
// several connections at once, no event may commit under an id below one already seen.
TEST_P(StoreTest, AReaderFollowingTheLogMissesNothingWhileSeveralWrite)
{
    constexpr int kWriters = 4, kEach = 30;
    auto reader = Open();
    std::atomic<int> writersDone{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w)
        writers.emplace_back([&, w] {
            auto store = Open();
            for (int i = 0; i < kEach; ++i) {
                const auto a = Deliver("+49170" + std::to_string(1000000 + w * 1000 + i), 0,
                                       TextToGSM("n" + std::to_string(i)), At());
                store->RecordReceived(a.Raw, false, a.SMS.get(), At(), -1, "w" + std::to_string(w));
            }
            ++writersDone;
        });
    std::vector<int64_t> seen;
    int64_t cursor = 0;
    for (bool last = false; !last;) {
        last = writersDone == kWriters; // one more read after the writers are done
        for (const TStoredEvent &e : reader->EventsAfter(cursor, 7)) {
            seen.push_back(e.MessageId);
            cursor = e.Id;
        }
        if (!last)
            std::this_thread::yield();
    }
    for (auto &t : writers)
        t.join();
    for (const TStoredEvent &e : reader->EventsAfter(cursor, 1000))
        seen.push_back(e.MessageId);
    EXPECT_EQ(seen.size(), static_cast<size_t>(kWriters * kEach));
    EXPECT_EQ(std::set<int64_t>(seen.begin(), seen.end()).size(), seen.size()) << "an event seen twice";
    EXPECT_EQ(reader->List({}).size(), static_cast<size_t>(kWriters * kEach));
}

// PostgreSQL tells every subscribed reader of a new event at its commit, not before.
TEST(PostgresStore, EventReadersAreWokenAtTheCommit)
{
    auto &server = test::TPostgresServer::Shared();
    const std::string url = server.Url(server.CreateDatabase("eventwake"));
    auto reader = TMessageStore::Open(url);
    auto writer = TMessageStore::Open(url);
    int stream = 0, webhooks = 0;
    ASSERT_TRUE(reader->WakeOnEvents([&] { ++stream; }));
    ASSERT_TRUE(reader->WakeOnEvents([&] { ++webhooks; }));
    const auto a = Deliver("+4917011111", 0, TextToGSM("news"), At());
    writer->RecordReceived(a.Raw, false, a.SMS.get(), At(), 1);
    for (int i = 0; i < 1000 && (stream == 0 || webhooks == 0); ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(stream, 1);
    EXPECT_EQ(webhooks, 1);
    EXPECT_EQ(reader->EventsAfter(0, 10).size(), 1u);
}

} // namespace
} // namespace kestrel::storetest
