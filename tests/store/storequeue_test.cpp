// The send queue on both back ends: claims that no two claimants share (also when many race for
// them), leases that run out and are taken over, a modem asked for, attempts counted as claims,
// retries that wait their delay, the final failure with its error text, uncertain sends queued
// again only when asked, deletion refused while a gateway sends, and multi-segment messages resumed
// after their last sent segment.
#include "storerig.h"

#include "base/clock.h"

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace kestrel::storetest {
namespace {

// A message of Parts segments (one text segment holds 160 characters) queued to Peer.
int64_t enqueue(TMessageStore &store, const std::string &peer, int parts = 1, const std::string &via = {})
{
    TMessageComposer composer;
    TMessageContent c;
    c.Kind = TMessageKind::mkText;
    c.Text = parts == 1 ? QString("hello %1").arg(peer.c_str()) : QString(150 * parts, 'q');
    const auto submits = composer.Compose(peer, c);
    EXPECT_EQ(static_cast<int>(submits.size()), parts);
    TOutgoing out;
    out.Peer = peer;
    out.Text = c.Text.toStdString();
    for (const auto &s : submits)
        out.Segments.push_back(s.get());
    return store.Enqueue(out, At(), via);
}

// Leases and back-off run on the clock in force on SQLite: the tests move it on instead of
// sleeping. On PostgreSQL they run on the server's clock, which only real time moves on.
constexpr int64_t kClockStart = 1767225600000; // 2026-01-01 00:00 UTC

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Ms pass for the queue of the back end.
void pass(TManualClock &clock, int ms, bool postgres)
{
    clock.Advance(ms);
    if (postgres)
        sleepMs(ms);
}

TEST_P(StoreTest, QueueClaimIsExclusiveUntilTheLeaseRunsOut)
{
    TClockOverride clock(kClockStart);
    auto store = Open();
    const int64_t first = enqueue(*store, "+4915100000001");
    const int64_t second = enqueue(*store, "+4915100000002");
    EXPECT_EQ(store->Message(first)->Status, TStoredStatus::ssQueued);

    auto a = store->ClaimQueued("gw1/left", "left", 60000);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->Id, first); // oldest first
    EXPECT_EQ(a->Modem, "left");
    ASSERT_EQ(a->Segments.size(), 1u);
    EXPECT_EQ(a->Segments[0].Status, TStoredStatus::ssPending);
    auto b = store->ClaimQueued("gw2/right", "right", 300);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->Id, second);
    EXPECT_FALSE(store->ClaimQueued("gw3/third", "third", 60000)) << "both are leased";

    // The second claimant dies: its lease runs out and the message goes to another; on SQLite
    // not a millisecond before.
    const bool postgres = GetParam() == "postgresql";
    if (!postgres) {
        clock.Advance(300);
        EXPECT_FALSE(store->ClaimQueued("gw3/third", "third", 60000)) << "the lease holds for 300 ms";
    }
    pass(clock, postgres ? 350 : 1, postgres);
    auto c = store->ClaimQueued("gw3/third", "third", 60000);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->Id, second);
    EXPECT_EQ(c->Modem, "third");
    EXPECT_FALSE(store->RenewLease(second, "gw2/right", 60000)) << "the claim is no longer its";
    EXPECT_TRUE(store->RenewLease(second, "gw3/third", 60000));
    EXPECT_TRUE(store->RenewLease(first, "gw1/left", 60000));

    // Released claims come back at once, as they were.
    EXPECT_EQ(store->ReleaseClaims("gw1/left"), 1);
    EXPECT_EQ(store->ReleaseClaims("gw1/left"), 0);
    auto d = store->ClaimQueued("gw4/other", "other", 60000);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->Id, first);
    // Every claim is a try, also those given back: a message that takes its process or modem
    // down with it runs out of tries too.
    EXPECT_EQ(d->Attempts, 2);
    EXPECT_EQ(store->QueueAttempts(first), 2);
    EXPECT_EQ(store->QueueAttempts(second), 2);
}

TEST_P(StoreTest, QueuedMessageForOneModemWaitsForIt)
{
    auto store = Open();
    const int64_t mine = enqueue(*store, "+4915100000003", 1, "sim-b");
    EXPECT_FALSE(store->ClaimQueued("gw/sim-a", "sim-a", 60000));
    auto m = store->ClaimQueued("gw/sim-b", "sim-b", 60000);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->Id, mine);
    // Messages for any modem go to whoever asks.
    const int64_t any = enqueue(*store, "+4915100000004");
    m = store->ClaimQueued("gw/sim-a", "sim-a", 60000);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->Id, any);
}

TEST_P(StoreTest, QueueRetriesAfterTheirDelayThenFailsKeepingTheError)
{
    const bool postgres = GetParam() == "postgresql";
    TClockOverride clock(kClockStart);
    auto store = Open();
    const int64_t id = enqueue(*store, "+4915100000005");
    const struct {
        const char *error;
        int delayMs; // 0: the claimant gives up
    } steps[] = {{"+CMS ERROR: 38", 300}, {"No answer in time", 0}};
    for (const auto &step : steps) {
        SCOPED_TRACE(step.error);
        auto claimed = store->ClaimQueued("gw/a", "a", 60000);
        ASSERT_TRUE(claimed);
        EXPECT_FALSE(store->RetryQueued(id, "gw/other", "not mine", 0));
        EXPECT_FALSE(store->FailQueued(id, "gw/other", "not mine"));
        if (step.delayMs == 0) {
            EXPECT_TRUE(store->FailQueued(id, "gw/a", step.error));
            auto m = store->Message(id);
            EXPECT_EQ(m->Status, TStoredStatus::ssFailed);
            EXPECT_EQ(m->Error, step.error);
            EXPECT_EQ(m->Segments[0].Status, TStoredStatus::ssFailed);
            EXPECT_FALSE(store->ClaimQueued("gw/a", "a", 60000));
            break;
        }
        EXPECT_TRUE(store->RetryQueued(id, "gw/a", step.error, step.delayMs));
        auto m = store->Message(id);
        EXPECT_EQ(m->Error, step.error);
        EXPECT_EQ(m->Status, TStoredStatus::ssQueued);
        // Not due until the delay has passed (on SQLite to the millisecond of the clock in force).
        EXPECT_FALSE(store->ClaimQueued("gw/a", "a", 60000));
        if (!postgres) {
            clock.Advance(step.delayMs - 1);
            EXPECT_FALSE(store->ClaimQueued("gw/a", "a", 60000));
        }
        pass(clock, postgres ? step.delayMs + 50 : 1, postgres);
    }
    EXPECT_EQ(store->QueueAttempts(id), 2);
    EXPECT_FALSE(store->RetryQueued(id, "gw/a", "late", 0));
}

// Machines that share a PostgreSQL store keep leases and due times on the server's clock: one
// whose clock runs ahead takes over no claim that is still being sent, and sends no retry before
// its time. (On SQLite one machine's clock is the only one.)
TEST_P(StoreTest, AClockThatRunsAheadTakesOverNoLiveClaim)
{
    if (GetParam() != "postgresql")
        GTEST_SKIP() << "one machine, one clock";
    auto sending = Open();
    const int64_t claimed = enqueue(*sending, "+4915100000016");
    const int64_t retried = enqueue(*sending, "+4915100000017");
    ASSERT_TRUE(sending->ClaimQueued("gw/a", "a", 60000));
    ASSERT_TRUE(sending->ClaimQueued("gw/a", "a", 60000));
    EXPECT_TRUE(sending->RetryQueued(retried, "gw/a", "+CMS ERROR: 38", 60000));
    // Another machine, ten minutes ahead.
    TClockOverride ahead(Clock().UnixMs() + 600000);
    auto other = Open();
    EXPECT_FALSE(other->ClaimQueued("gw/b", "b", 60000));
    EXPECT_TRUE(sending->RenewLease(claimed, "gw/a", 60000));
}

// A send that got no answer: the message is uncertain, no gateway claims it; a late answer
// records it (and the rest of it is queued again), or a user queues it again, with fresh tries.
TEST_P(StoreTest, UncertainSendIsQueuedAgainOnlyWhenAsked)
{
    auto store = Open();
    const int64_t whole = enqueue(*store, "+4915100000011");
    const int64_t longer = enqueue(*store, "+4915100000012", 2);
    for (const int64_t id : {whole, longer}) {
        auto m = store->ClaimQueued("gw/a", "a", 60000);
        ASSERT_TRUE(m);
        EXPECT_EQ(m->Id, id);
        EXPECT_FALSE(store->MarkUncertain(id, "gw/b", "not mine"));
        EXPECT_TRUE(store->MarkUncertain(id, "gw/a", "No reply on AT command: AT+CMGS=23"));
        EXPECT_EQ(store->Message(id)->Status, TStoredStatus::ssUncertain);
    }
    EXPECT_FALSE(store->ClaimQueued("gw/b", "b", 60000)) << "uncertain messages are not sent again";
    TMessageFilter uncertain;
    uncertain.Status = TStoredStatus::ssUncertain;
    EXPECT_EQ(store->List(uncertain).size(), 2u);

    // The late answer to the first segment of the longer one: the second is queued.
    EXPECT_TRUE(store->SegmentSent(longer, 1, 17, At(0.01)));
    auto m = store->ClaimQueued("gw/b", "b", 60000);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->Id, longer);
    EXPECT_EQ(m->Segments[0].Status, TStoredStatus::ssSent);
    EXPECT_EQ(m->Segments[1].Status, TStoredStatus::ssPending);
    EXPECT_TRUE(store->SegmentSent(longer, 2, 18, At(0.02)));
    EXPECT_EQ(store->Message(longer)->Status, TStoredStatus::ssSent);
    EXPECT_FALSE(store->Requeue(longer)) << "a sent message is not queued again";

    // The user asks for the other one again.
    EXPECT_TRUE(store->Requeue(whole));
    m = store->ClaimQueued("gw/b", "b", 60000);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->Id, whole);
    EXPECT_EQ(m->Attempts, 1);
    // A failed one too, with its failed segment pending again.
    EXPECT_TRUE(store->FailQueued(whole, "gw/b", "+CMS ERROR: 500"));
    EXPECT_TRUE(store->Requeue(whole));
    m = store->ClaimQueued("gw/b", "b", 60000);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->Segments[0].Status, TStoredStatus::ssPending);
    EXPECT_FALSE(store->Requeue(424242));
}

// A queued message is cancelled by deleting it; one that a gateway is sending is not deleted
// (the gateway would lose the record of what it sends), and a record of a segment of a message
// deleted meanwhile is no failure of the store.
TEST_P(StoreTest, DeletingAMessageBeingSentIsRefused)
{
    auto store = Open();
    const int64_t cancelled = enqueue(*store, "+4915100000013");
    const int64_t sending = enqueue(*store, "+4915100000014");
    const int64_t expired = enqueue(*store, "+4915100000015");
    EXPECT_TRUE(store->Delete(cancelled));
    auto m = store->ClaimQueued("gw/a", "sim-a", 60000);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->Id, sending);
    try {
        store->Delete(sending);
        ADD_FAILURE() << "deleted while being sent";
    } catch (const EStoreBusy &e) {
        EXPECT_STREQ(e.what(), ("message " + std::to_string(sending) +
                                " is being sent by sim-a; try again or cancel it after it ends")
                                   .c_str());
    }
    ASSERT_TRUE(store->Message(sending));
    // Its lease ran out: the claimant is gone, the message may go.
    ASSERT_TRUE(store->ClaimQueued("gw/b", "sim-b", 1));
    sleepMs(20);
    EXPECT_TRUE(store->Delete(expired));
    EXPECT_FALSE(store->SegmentSent(expired, 1, 5, At()));
    EXPECT_TRUE(store->SegmentSent(sending, 1, 6, At()));
    EXPECT_TRUE(store->Delete(sending)) << "sent: no longer held";
}

// Cancels race with claims on connections of their own: a message is either cancelled or claimed
// (and then refused as being sent), never both: a gateway never sends what was taken away.
TEST_P(StoreTest, CancelsRacingClaimsNeverTakeAClaimedMessage)
{
    constexpr int kMessages = 80;
    std::vector<int64_t> ids;
    {
        auto store = Open();
        for (int i = 0; i < kMessages; ++i)
            ids.push_back(enqueue(*store, "+49151000002" + std::to_string(10 + i)));
    }
    std::set<int64_t> claimed, cancelled, refused;
    std::string error;
    std::thread claimant([&] {
        try {
            auto store = Open();
            while (auto m = store->ClaimQueued("gw", "sim", 60000))
                claimed.insert(m->Id);
        } catch (const std::exception &e) {
            error = e.what();
        }
    });
    {
        auto store = Open();
        // From the newest down, so that the two meet in the middle.
        for (auto it = ids.rbegin(); it != ids.rend(); ++it)
            switch (store->CancelQueued(*it)) {
            case TMessageStore::TCancelOutcome::coCancelled:
                cancelled.insert(*it);
                break;
            case TMessageStore::TCancelOutcome::coSending:
                refused.insert(*it);
                break;
            default:
                ADD_FAILURE() << "message " << *it << " neither cancelled nor being sent";
            }
    }
    claimant.join();
    EXPECT_EQ(error, "");
    for (int64_t id : cancelled)
        EXPECT_FALSE(claimed.count(id)) << "message " << id << " was claimed and cancelled";
    EXPECT_EQ(refused, claimed) << "every claimed message is refused as being sent";
    EXPECT_EQ(cancelled.size() + claimed.size(), static_cast<size_t>(kMessages));
    auto store = Open();
    for (int64_t id : claimed)
        EXPECT_TRUE(store->SegmentSent(id, 1, 1, At())) << "a claimed message is still there to record";
}

TEST_P(StoreTest, QueuedMessageResumesAfterItsLastSentSegment)
{
    auto store = Open();
    const int64_t id = enqueue(*store, "+4915100000006", 3);
    auto m = store->ClaimQueued("gw/a", "a", 60000);
    ASSERT_TRUE(m);
    ASSERT_EQ(m->Segments.size(), 3u);
    store->SegmentSent(id, 1, 41, At(0.001));
    // The modem is lost: the claim goes back with what was sent so far.
    EXPECT_EQ(store->ReleaseClaims("gw/a", id), 1);
    m = store->ClaimQueued("gw/b", "b", 60000);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->Status, TStoredStatus::ssQueued);
    EXPECT_EQ(m->Segments[0].Status, TStoredStatus::ssSent);
    EXPECT_EQ(m->Segments[0].MR, 41);
    EXPECT_EQ(m->Segments[1].Status, TStoredStatus::ssPending);
    EXPECT_EQ(m->Segments[2].Status, TStoredStatus::ssPending);
    store->SegmentSent(id, 2, 42, At(0.002));
    store->SegmentSent(id, 3, 43, At(0.003));
    m = store->Message(id);
    EXPECT_EQ(m->Status, TStoredStatus::ssSent);
    EXPECT_EQ(m->Modem, "b");
    EXPECT_FALSE(store->ClaimQueued("gw/c", "c", 60000));
    EXPECT_FALSE(store->RenewLease(id, "gw/b", 60000)) << "a sent message holds no claim";
    TMessageFilter queued;
    queued.Status = TStoredStatus::ssQueued;
    EXPECT_TRUE(store->List(queued).empty());
}

// Labels and error texts come from settings files and handsets: a NUL in them is stored as a
// replacement character on both back ends (PostgreSQL refuses NUL in text).
TEST_P(StoreTest, QueueTextsWithNULAreStored)
{
    auto store = Open();
    const std::string modem("sim\0b", 5), claimant("gw\0/sim", 8), error("+CMS ERROR: 38\0tail", 19);
    const int64_t id = enqueue(*store, "+4915100000007", 1, modem);
    auto m = store->ClaimQueued(claimant, modem, 60000);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->Id, id);
    EXPECT_EQ(m->Modem, "sim\xEF\xBF\xBD"
                        "b");
    EXPECT_TRUE(store->RenewLease(id, claimant, 60000));
    EXPECT_TRUE(store->RetryQueued(id, claimant, error, 0));
    EXPECT_EQ(store->Message(id)->Error, "+CMS ERROR: 38\xEF\xBF\xBDtail");
    ASSERT_TRUE(store->ClaimQueued(claimant, modem, 60000));
    EXPECT_EQ(store->ReleaseClaims(claimant), 1);
}

// Claimants on connections of their own race for the queue: each message is claimed once.
TEST_P(StoreTest, RacingClaimantsNeverShareAMessage)
{
    constexpr int kMessages = 60, kClaimants = 4;
    {
        auto store = Open();
        for (int i = 0; i < kMessages; ++i)
            enqueue(*store, "+49151000001" + std::to_string(10 + i));
    }
    std::mutex lock;
    std::multiset<int64_t> claimed;
    std::vector<std::string> errors;
    std::vector<std::thread> threads;
    for (int t = 0; t < kClaimants; ++t)
        threads.emplace_back([&, t] {
            try {
                auto store = Open();
                const std::string name = "gw" + std::to_string(t);
                while (auto m = store->ClaimQueued(name, name, 60000)) {
                    store->SegmentSent(m->Id, 1, t, At());
                    std::lock_guard guard(lock);
                    claimed.insert(m->Id);
                }
            } catch (const std::exception &e) {
                std::lock_guard guard(lock);
                errors.push_back(e.what());
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_TRUE(errors.empty()) << errors.front();
    EXPECT_EQ(claimed.size(), static_cast<size_t>(kMessages));
    EXPECT_EQ(std::set<int64_t>(claimed.begin(), claimed.end()).size(), static_cast<size_t>(kMessages))
        << "a message was claimed twice";
}

// Requests committed as one group stand alone: a key met again in the same group is replayed or
// refused as across groups, and a request the store fails leaves the others of its group queued.
TEST_P(StoreTest, GroupedRequestsStandAlone)
{
    struct TCase {
        const char *Name;
        std::string Key, Digest;
        bool Refused; // the store fails it (its answer cannot be built)
        int Messages; // in the request
        // Expected:
        bool Replayed, Conflict, Failed;
    };
    const std::vector<TCase> table = {
        {"plain", "", "d1", false, 1, false, false, false},
        {"keyed", "k1", "d2", false, 2, false, false, false},
        {"same key, same body", "k1", "d2", false, 2, true, false, false},
        {"same key, other body", "k1", "d3", false, 1, false, true, false},
        {"refused", "", "d4", true, 1, false, false, true},
        {"refused with a key", "k2", "d5", true, 1, false, false, true},
        {"after the refused ones", "k3", "d6", false, 3, false, false, false},
    };
    // Once as one group that commits whole, once with the refused requests failing the group's
    // transaction, so that each is tried alone.
    for (const bool refusals : {false, true}) {
        SCOPED_TRACE(refusals ? "with refusals" : "without refusals");
        auto store = Open();
        TMessageFilter all;
        all.Status = TStoredStatus::ssQueued;
        const size_t before = store->List(all).size();
        TMessageComposer composer;
        std::vector<std::vector<std::unique_ptr<TSMSSubmit>>> composed;
        std::vector<TCase> cases;
        for (const TCase &c : table)
            if (refusals || !c.Refused)
                cases.push_back(c);
        std::vector<TEnqueueRequest> requests(cases.size());
        std::vector<TEnqueueRequest *> group;
        for (size_t i = 0; i < cases.size(); ++i) {
            TEnqueueRequest &r = requests[i];
            r.Key = cases[i].Key.empty() ? std::string() : (refusals ? "r" : "w") + cases[i].Key;
            r.Digest = cases[i].Digest;
            for (int m = 0; m < cases[i].Messages; ++m) {
                TMessageContent c;
                c.Text = QString("request %1 message %2").arg(i).arg(m);
                composed.push_back(composer.Compose("+4915100000100", c));
                TOutgoing out;
                out.Peer = "+4915100000100";
                out.Text = c.Text.toStdString();
                out.Queued = true;
                for (const auto &s : composed.back())
                    out.Segments.push_back(s.get());
                r.Entries.push_back({out, m == 0 ? std::string() : "left"});
            }
            r.Answer = [refused = cases[i].Refused](const std::vector<int64_t> &ids) -> std::string {
                if (refused)
                    throw std::runtime_error("refused");
                std::string out;
                for (int64_t id : ids)
                    out += std::to_string(id) + ",";
                return out;
            };
            group.push_back(&r);
        }
        store->EnqueueGroup(group, At());

        std::set<int64_t> queued;
        for (size_t i = 0; i < cases.size(); ++i) {
            const TCase &c = cases[i];
            const TEnqueueRequest &r = requests[i];
            EXPECT_EQ(r.Replayed, c.Replayed) << c.Name;
            EXPECT_EQ(r.Conflict, c.Conflict) << c.Name;
            EXPECT_EQ(!r.Error.empty(), c.Failed) << c.Name << ": " << r.Error;
            if (c.Failed || c.Conflict)
                continue;
            // The answer names the request's own messages (a replay: the first request's), each
            // queued with its modem.
            const QStringList ids = QString::fromStdString(r.Result).split(',', Qt::SkipEmptyParts);
            ASSERT_EQ(ids.size(), c.Replayed ? cases[1].Messages : c.Messages) << c.Name;
            for (qsizetype m = 0; m < ids.size(); ++m) {
                const auto message = store->Message(ids[m].toLongLong());
                ASSERT_TRUE(message) << c.Name;
                EXPECT_EQ(message->Status, TStoredStatus::ssQueued) << c.Name;
                if (!c.Replayed) {
                    EXPECT_EQ(message->Text, QString("request %1 message %2").arg(i).arg(m).toStdString())
                        << c.Name;
                }
                queued.insert(ids[m].toLongLong());
            }
        }
        if (!requests[2].Result.empty()) {
            EXPECT_EQ(requests[2].Result, requests[1].Result) << "the replay answers as the first did";
        }
        EXPECT_EQ(store->List(all).size() - before, queued.size())
            << "nothing of a refused or replayed request is queued";
        EXPECT_EQ(queued.size(), 1u + 2u + 3u);
    }
}

} // namespace
} // namespace kestrel::storetest
