// The webhooks' outbox on each back end: each receiver's cursor queues an event once (also with
// several nodes), a receiver starts at the newest event, deliveries are claimed exclusively until
// their lease runs out, a later event of a message waits for the earlier one's delivery, a failed
// attempt waits its delay and is given up after its period, and a given-up one can be retried.
#include "storerig.h"

#include "base/clock.h"
#include "gsm/tpdufields.h"

#include <chrono>
#include <thread>

namespace kestrel::storetest {
namespace {

constexpr int64_t kStart = 1767225600000; // 2026-01-01 00:00 UTC

// Every event to the receiver, as its own URL.
std::optional<std::string> every(const TStoredEvent &, const TDeliveryCallback &)
{
    return std::string();
}

int64_t received(TMessageStore &store, const std::string &from, const std::string &text)
{
    const auto a = Deliver(from, 0, TextToGSM(text), At());
    return store.RecordReceived(a.Raw, false, a.SMS.get(), At(), -1, "left").MessageId;
}

// A message sent and then reported delivered: two events.
int64_t sentAndDelivered(TMessageStore &store, const std::string &to, int mr)
{
    TMessageComposer composer;
    TMessageContent c;
    c.Kind = TMessageKind::mkText;
    c.Text = "parcel";
    const auto submits = composer.Compose(to, c);
    TOutgoing out;
    out.Peer = to;
    out.Text = "parcel";
    for (const auto &s : submits)
        out.Segments.push_back(s.get());
    const int64_t id = store.RecordOutgoing(out, At());
    store.SegmentSent(id, 1, mr, At());
    const auto report = Report(to, mr, 0x00, At(0.001));
    store.RecordReceived(report.Raw, false, report.SMS.get(), At(0.001), -1);
    return id;
}

std::vector<std::string> claimed(const std::vector<TWebhookDelivery> &list)
{
    std::vector<std::string> out;
    for (const TWebhookDelivery &d : list)
        out.push_back(d.Event.Type + ":" + std::to_string(d.Event.MessageId));
    return out;
}

// Ms pass for leases and due times: the clock in force on SQLite, real time on PostgreSQL.
void pass(TManualClock &clock, int ms, bool postgres)
{
    clock.Advance(ms);
    if (postgres)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

TEST_P(StoreTest, DeliveriesAreQueuedOnceFromTheReceiversCursor)
{
    auto store = Open();
    received(*store, "+4917000000", "before any receiver");
    const std::string hook = "https://hooks.example.org/sms";
    // A receiver met for the first time starts at the newest event.
    EXPECT_EQ(store->QueueDeliveries(hook, every), store->LatestEventId());
    EXPECT_TRUE(store->Deliveries("", 10).empty());

    const int64_t in = received(*store, "+4917011111", "the text");
    const int64_t out = sentAndDelivered(*store, "+4917022222", 40);
    auto other = Open(); // a second node queues for the same receiver
    auto onlyReceived = [](const TStoredEvent &e, const TDeliveryCallback &) -> std::optional<std::string> {
        return e.Type == "received" ? std::optional<std::string>("") : std::nullopt;
    };
    EXPECT_EQ(store->QueueDeliveries(hook, every), store->LatestEventId());
    EXPECT_EQ(other->QueueDeliveries(hook, every), store->LatestEventId());
    EXPECT_EQ(store->QueueDeliveries("https://other.example.org/", onlyReceived), store->LatestEventId());
    received(*store, "+4917033333", "after");
    store->QueueDeliveries("https://other.example.org/", onlyReceived);

    const auto pending = store->Deliveries("pending", 100);
    std::vector<std::string> queued;
    for (const TWebhookDelivery &d : pending)
        queued.push_back(d.Webhook + " " + d.Event.Type + ":" + std::to_string(d.Event.MessageId));
    EXPECT_EQ(queued, (std::vector<std::string>{
                          hook + " received:" + std::to_string(in),
                          hook + " sent:" + std::to_string(out),
                          hook + " delivered:" + std::to_string(out),
                          "https://other.example.org/ received:" + std::to_string(out + 1),
                      }));
    // A limit: the cursor moves over what it looked at, no further.
    const int64_t before = store->QueueDeliveries(hook, every); // caught up
    EXPECT_EQ(before, store->LatestEventId());
    received(*store, "+4917044444", "one");
    received(*store, "+4917055555", "two");
    EXPECT_EQ(store->QueueDeliveries(hook, every, 1), before + 1);
    EXPECT_EQ(store->QueueDeliveries(hook, every, 1), before + 2);
}

TEST_P(StoreTest, DeliveriesKeepTheOrderOfEachMessage)
{
    TClockOverride clock(kStart);
    const bool postgres = GetParam() == "postgresql";
    auto store = Open();
    const std::string hook = "http://127.0.0.1:9/hook";
    store->QueueDeliveries(hook, every);
    const int64_t out = sentAndDelivered(*store, "+4917022222", 41);
    const int64_t in = received(*store, "+4917011111", "the text");
    store->QueueDeliveries(hook, every);

    // The delivered event waits for the sent one; the received message is another message.
    auto first = store->ClaimDeliveries({hook}, "node-a", 60000, 10);
    EXPECT_EQ(claimed(first),
              (std::vector<std::string>{"sent:" + std::to_string(out), "received:" + std::to_string(in)}));
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[1].Text, "the text"); // for the receiver's body
    EXPECT_EQ(first[0].Text, "");
    EXPECT_EQ(first[0].Attempts, 1);
    EXPECT_TRUE(store->DeliveryDone(first[1].Id, "node-a"));
    // The sent event fails: the delivered one still waits, also after the sent one is due again.
    EXPECT_TRUE(store->DeliveryFailed(first[0].Id, "node-a", "HTTP 503", 500, 86400000));
    EXPECT_TRUE(store->ClaimDeliveries({hook}, "node-a", 60000, 10).empty());
    pass(clock, 600, postgres);
    auto again = store->ClaimDeliveries({hook}, "node-b", 60000, 10);
    EXPECT_EQ(claimed(again), (std::vector<std::string>{"sent:" + std::to_string(out)}));
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].Attempts, 2);
    EXPECT_EQ(again[0].LastError, "HTTP 503");
    EXPECT_FALSE(store->DeliveryDone(again[0].Id, "node-a")) << "not node-a's claim any more";
    EXPECT_TRUE(store->DeliveryDone(again[0].Id, "node-b"));
    EXPECT_EQ(claimed(store->ClaimDeliveries({hook}, "node-b", 60000, 10)),
              (std::vector<std::string>{"delivered:" + std::to_string(out)}));
}

TEST_P(StoreTest, ADeliveryClaimHoldsUntilItsLeaseRunsOut)
{
    TClockOverride clock(kStart);
    const bool postgres = GetParam() == "postgresql";
    auto store = Open();
    auto other = Open();
    const std::string hook = "http://127.0.0.1:9/hook";
    store->QueueDeliveries(hook, every);
    received(*store, "+4917011111", "a");
    received(*store, "+4917022222", "b");
    store->QueueDeliveries(hook, every);
    auto a = store->ClaimDeliveries({hook}, "node-a", 400, 1);
    ASSERT_EQ(a.size(), 1u);
    auto b = other->ClaimDeliveries({hook}, "node-b", 60000, 10);
    ASSERT_EQ(b.size(), 1u) << "only what node-a does not hold";
    EXPECT_NE(a[0].Id, b[0].Id);
    EXPECT_TRUE(other->ClaimDeliveries({hook}, "node-c", 60000, 10).empty());
    EXPECT_TRUE(other->ClaimDeliveries({"http://elsewhere/"}, "node-c", 60000, 10).empty());
    // node-a dies: after its lease another takes its delivery; node-a's late answer changes
    // nothing.
    pass(clock, 500, postgres);
    auto c = other->ClaimDeliveries({hook}, "node-c", 60000, 10);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].Id, a[0].Id);
    EXPECT_FALSE(store->DeliveryDone(a[0].Id, "node-a"));
    EXPECT_FALSE(store->DeliveryFailed(a[0].Id, "node-a", "late", 0, 0));
    EXPECT_TRUE(other->DeliveryDone(c[0].Id, "node-c"));
}

TEST_P(StoreTest, AFailingDeliveryIsGivenUpAndCanBeRetried)
{
    TClockOverride clock(kStart);
    const bool postgres = GetParam() == "postgresql";
    auto store = Open();
    const std::string hook = "http://127.0.0.1:9/hook";
    store->QueueDeliveries(hook, every);
    const int64_t out = sentAndDelivered(*store, "+4917022222", 42);
    store->QueueDeliveries(hook, every);
    auto d = store->ClaimDeliveries({hook}, "node-a", 60000, 10);
    ASSERT_EQ(d.size(), 1u);
    // Still within its period: pending again; past it: given up, and the next of its message goes.
    EXPECT_TRUE(store->DeliveryFailed(d[0].Id, "node-a", "ConnectionRefusedError", 0, 200));
    EXPECT_EQ(store->Deliveries("pending", 10).size(), 2u);
    pass(clock, 300, postgres);
    d = store->ClaimDeliveries({hook}, "node-a", 60000, 10);
    ASSERT_EQ(d.size(), 1u);
    EXPECT_TRUE(store->DeliveryFailed(d[0].Id, "node-a", "ConnectionRefusedError", 0, 200));
    const auto failed = store->Deliveries("failed", 10);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].Attempts, 2);
    EXPECT_EQ(failed[0].LastError, "ConnectionRefusedError");
    EXPECT_EQ(claimed(store->ClaimDeliveries({hook}, "node-a", 60000, 10)),
              (std::vector<std::string>{"delivered:" + std::to_string(out)}));
    const std::vector<TWebhookCount> counts = store->DeliveryCounts();
    ASSERT_EQ(counts.size(), 2u);
    EXPECT_EQ(counts[0].Status, "failed");
    EXPECT_EQ(counts[1].Status, "pending");

    EXPECT_EQ(store->RetryDeliveries(0), 1);
    EXPECT_EQ(store->RetryDeliveries(0), 0);
    EXPECT_EQ(store->RetryDeliveries(failed[0].Id + 1000), 0);
    EXPECT_EQ(claimed(store->ClaimDeliveries({hook}, "node-b", 60000, 10)),
              (std::vector<std::string>{"sent:" + std::to_string(out)}));
}

} // namespace
} // namespace kestrel::storetest
