// TGroupCommitter: queues the messages of the API's send requests from a thread of its own, with a
// store connection of its own. Requests that arrive while a commit is under way wait and then
// share the next transaction and its one flush, so the rate of accepted messages is no longer the
// disk's flush rate; each request still stands alone (a key that is taken, or a request the store
// refuses, leaves the others of its group queued), and each is answered only after its commit.
#pragma once

#include "store/messagestore.h"

#include <QObject>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrel {
class TSMSSubmit;
}

namespace kestrel::api {

// One request to queue: what the store records, the composed segments its entries point into
// (they live until the commit), and what runs on the server's thread with the outcome.
struct TCommitJob {
    TEnqueueRequest Request;
    std::vector<std::vector<std::unique_ptr<TSMSSubmit>>> Composed;
    std::function<void(const TEnqueueRequest &)> Done;
};

class TGroupCommitter {
public:
    // Opens its own connection to Store's database on its thread. Done of each job runs on the
    // thread of Context (its event loop); Context outlives this object. After a commit it waits
    // up to MaxGatherUs for the clients it answered to send again, so that they share a flush.
    TGroupCommitter(const TMessageStore &Store, QObject *Context, int MaxGatherUs = 2000,
                    int MaxMessagesPerGroup = 2000);
    // Jobs not taken yet are dropped unanswered: nothing of them was committed.
    ~TGroupCommitter();
    TGroupCommitter(const TGroupCommitter &) = delete;
    TGroupCommitter &operator=(const TGroupCommitter &) = delete;

    void Submit(std::shared_ptr<TCommitJob> Job);

private:
    void run();

    const TMessageStore &m_source;
    QObject *m_context;
    const std::chrono::microseconds m_maxGather;
    const size_t m_maxMessages;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::shared_ptr<TCommitJob>> m_waiting;
    bool m_stop = false;
    std::thread m_thread;
};

} // namespace kestrel::api
