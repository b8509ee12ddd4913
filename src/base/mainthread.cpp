#include "base/mainthread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace kestrel {

bool IsMainThread()
{
    QCoreApplication *app = QCoreApplication::instance();
    return app == nullptr || QThread::currentThread() == app->thread();
}

// State of one queued call, shared by the waiting worker and the queued functor (which may run
// after the worker has given up).
struct TMainThreadCall::TJob {
    std::mutex mutex;
    std::condition_variable cond;
    std::function<void()> fn;
    bool started = false;
    bool done = false;
    bool cancelled = false;
    std::exception_ptr error;
};

TMainThreadCall::TMainThreadCall() = default;

TMainThreadCall::~TMainThreadCall()
{
    Cancel();
}

bool TMainThreadCall::Run(const std::function<void()> &fn)
{
    if (IsMainThread()) {
        if (Cancelled())
            return false;
        fn();
        return true;
    }
    auto job = std::make_shared<TJob>();
    job->fn = fn;
    {
        std::lock_guard lock(m_mutex);
        if (m_cancelled)
            return false;
        m_job = job;
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [job] {
            {
                std::lock_guard lock(job->mutex);
                if (job->cancelled)
                    return;
                job->started = true;
            }
            try {
                job->fn();
            } catch (...) {
                job->error = std::current_exception();
            }
            {
                std::lock_guard lock(job->mutex);
                job->done = true;
            }
            job->cond.notify_all();
        },
        Qt::QueuedConnection);

    std::unique_lock lock(job->mutex);
    // A call that already started is waited for: it runs on the main thread, which is the only
    // thread that cancels, so it cannot be cancelled half-way.
    job->cond.wait(lock, [&] { return job->done || (job->cancelled && !job->started); });
    {
        std::lock_guard own(m_mutex);
        if (m_job == job)
            m_job.reset();
    }
    if (!job->done)
        return false;
    if (job->error)
        std::rethrow_exception(job->error);
    return true;
}

void TMainThreadCall::Cancel()
{
    std::shared_ptr<TJob> job;
    {
        std::lock_guard lock(m_mutex);
        m_cancelled = true;
        job = m_job;
    }
    if (job) {
        {
            std::lock_guard lock(job->mutex);
            job->cancelled = true;
        }
        job->cond.notify_all();
    }
}

void TMainThreadCall::Reset()
{
    std::lock_guard lock(m_mutex);
    m_cancelled = false;
}

bool TMainThreadCall::Cancelled() const
{
    std::lock_guard lock(m_mutex);
    return m_cancelled;
}

void RunOnMainThread(const std::function<void()> &fn)
{
    TMainThreadCall call;
    call.Run(fn);
}

} // namespace kestrel
