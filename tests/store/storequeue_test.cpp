// The send queue on both back ends: claims that no two claimants share (also when many race for
// them), leases that run out and are taken over, a modem asked for, retries with back-off and the
// final failure with its error text, and multi-segment messages resumed after their last sent
// segment.
#include "storerig.h"

#include "base/clock.h"

#include <atomic>
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

// Leases and back-off run on the clock in force: the tests move it on instead of sleeping.
constexpr int64_t kClockStart = 1767225600000; // 2026-01-01 00:00 UTC

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

    // The second claimant dies: its lease runs out and the message goes to another; not a
    // millisecond before.
    clock.Advance(300);
    EXPECT_FALSE(store->ClaimQueued("gw3/third", "third", 60000)) << "the lease holds for 300 ms";
    clock.Advance(1);
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
    EXPECT_EQ(store->QueueAttempts(first), 0);
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

TEST_P(StoreTest, QueueRetriesWithBackoffThenFailsKeepingTheError)
{
    TClockOverride clock(kClockStart);
    auto store = Open();
    const int64_t id = enqueue(*store, "+4915100000005");
    const TQueueSettings settings{3, 200, 250, 60000};
    const struct {
        const char *error;
        TRetryOutcome outcome;
        int waitMs; // the message is not due before this
    } steps[] = {{"+CMS ERROR: 38", TRetryOutcome::roRetry, 200},
                 {"No answer in time", TRetryOutcome::roRetry, 250}, // doubled, capped at 250
                 {"+CMS ERROR: 500", TRetryOutcome::roFailed, 0}};
    for (const auto &step : steps) {
        SCOPED_TRACE(step.error);
        auto claimed = store->ClaimQueued("gw/a", "a", 60000);
        ASSERT_TRUE(claimed);
        EXPECT_EQ(store->RetryQueued(id, "gw/other", "not mine", settings), TRetryOutcome::roNotClaimed);
        EXPECT_EQ(store->RetryQueued(id, "gw/a", step.error, settings), step.outcome);
        auto m = store->Message(id);
        EXPECT_EQ(m->Error, step.error);
        if (step.outcome == TRetryOutcome::roFailed) {
            EXPECT_EQ(m->Status, TStoredStatus::ssFailed);
            EXPECT_EQ(m->Segments[0].Status, TStoredStatus::ssFailed);
            EXPECT_FALSE(store->ClaimQueued("gw/a", "a", 60000));
            break;
        }
        EXPECT_EQ(m->Status, TStoredStatus::ssQueued);
        // Not due until the back-off has passed, to the millisecond.
        EXPECT_FALSE(store->ClaimQueued("gw/a", "a", 60000));
        clock.Advance(step.waitMs - 1);
        EXPECT_FALSE(store->ClaimQueued("gw/a", "a", 60000));
        clock.Advance(1);
    }
    EXPECT_EQ(store->QueueAttempts(id), 3);
    EXPECT_EQ(store->RetryQueued(id, "gw/a", "late", settings), TRetryOutcome::roNotClaimed);
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
    EXPECT_EQ(store->RetryQueued(id, claimant, error, {5, 0, 0, 60000}), TRetryOutcome::roRetry);
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

} // namespace
} // namespace kestrel::storetest
