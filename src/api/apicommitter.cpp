#include "api/apicommitter.h"

#include "connect/connection.h"
#include "gsm/sms.h"

#include <QMetaObject>

namespace kestrel::api {

TGroupCommitter::TGroupCommitter(const TMessageStore &Store, QObject *Context, int MaxGatherUs,
                                 int MaxMessagesPerGroup)
    : m_source(Store), m_context(Context), m_maxGather(std::max(0, MaxGatherUs)),
      m_maxMessages(static_cast<size_t>(std::max(1, MaxMessagesPerGroup))), m_thread([this] { run(); })
{
}

TGroupCommitter::~TGroupCommitter()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void TGroupCommitter::Submit(std::shared_ptr<TCommitJob> Job)
{
    {
        std::lock_guard lock(m_mutex);
        m_waiting.push_back(std::move(Job));
    }
    m_wake.notify_one();
}

void TGroupCommitter::run()
{
    std::unique_ptr<TMessageStore> store;
    // Requests expected for the next group: those the last commit answered (their clients tend
    // to send again at once) and those that were waiting when it ended.
    size_t expected = 0;
    for (;;) {
        // Whatever waits, up to the bound (and at least one request, however large).
        std::vector<std::shared_ptr<TCommitJob>> group;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stop || !m_waiting.empty(); });
            // The clients the last commit answered tend to send again at once. Without waiting
            // for them, clients split into two halves that commit by turns, each flush taking
            // half of them; a moment's wait lets one flush take them all.
            if (m_waiting.size() < expected && m_maxGather.count() > 0)
                m_wake.wait_for(lock, m_maxGather, [&] {
                    return m_stop || m_waiting.size() >= std::min(expected, m_maxMessages);
                });
            if (m_stop)
                return;
            size_t messages = 0;
            while (!m_waiting.empty() &&
                   (group.empty() || messages + m_waiting.front()->Request.Entries.size() <= m_maxMessages)) {
                messages += m_waiting.front()->Request.Entries.size();
                group.push_back(std::move(m_waiting.front()));
                m_waiting.pop_front();
            }
        }
        std::string error;
        try {
            // A store that could not be reached is tried again with the next group.
            if (!store)
                store = m_source.OpenAnother();
        } catch (const EStoreError &e) {
            error = e.what();
        }
        if (store) {
            std::vector<TEnqueueRequest *> requests;
            for (const auto &job : group)
                requests.push_back(&job->Request);
            store->EnqueueGroup(requests, NowUTC());
        } else {
            for (const auto &job : group)
                job->Request.Error = error;
        }
        {
            std::lock_guard lock(m_mutex);
            expected = group.size() + m_waiting.size();
        }
        for (auto &job : group)
            QMetaObject::invokeMethod(
                m_context, [job] { job->Done(job->Request); }, Qt::QueuedConnection);
    }
}

} // namespace kestrel::api
