// Running work on the main (GUI) thread from a worker thread.
//
// On the main thread the call runs directly. From any other thread it is queued to the main
// thread's event loop and the caller blocks until it has run. A worker that the main thread may
// have to stop owns a TMainThreadCall and the main thread calls Cancel() on it before waiting for
// the worker: the blocked call then returns at once without running, so the two threads never
// wait for each other.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace kestrel {

bool IsMainThread();

class TMainThreadCall {
public:
    TMainThreadCall();
    ~TMainThreadCall();
    TMainThreadCall(const TMainThreadCall &) = delete;
    TMainThreadCall &operator=(const TMainThreadCall &) = delete;

    // Runs fn on the main thread and waits until it has run; an exception it raises is raised
    // again here. Returns false, without running fn, when cancelled before fn started.
    bool Run(const std::function<void()> &fn);
    // Makes a waiting Run return false, and every later Run until Reset.
    void Cancel();
    void Reset();
    bool Cancelled() const;

    struct TJob;

private:
    std::shared_ptr<TJob> m_job;
    mutable std::mutex m_mutex;
    bool m_cancelled = false;
};

// One-off call without cancellation, for threads the main thread never waits for.
void RunOnMainThread(const std::function<void()> &fn);

} // namespace kestrel
