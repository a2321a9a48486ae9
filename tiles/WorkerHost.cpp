#include "tiles/WorkerHost.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

namespace tavo {

namespace {

// What a worker thread sleeps on while its report waits. One per thread, for
// the thread's life; shared, so that the main thread may signal it after
// letting go of the mutex even if the thread has ended by then.
struct Waiter
{
    std::condition_variable wakeUp;
};

const std::shared_ptr<Waiter>& threadWaiter()
{
    thread_local const std::shared_ptr<Waiter> waiter = std::make_shared<Waiter>();
    return waiter;
}

// One report waiting for the main thread. It lives on the stack of the worker
// that made it, which waits until `finished`: once the main thread has set
// that flag (under the channel's mutex) it touches the task no more.
struct Task
{
    void (*invoke)(const void* call, WorkerHost& inner) = nullptr;
    const void* call = nullptr;
    const std::shared_ptr<Waiter>* waiter = nullptr;
    bool finished = false;
    std::exception_ptr failure;
};

} // namespace

struct BlockingWorkerHost::Channel
{
    explicit Channel(WorkerHost* inner) : inner(inner) {}

    // Main thread: runs the waiting reports in the order they came, one at a
    // time (a report that opens a nested event loop may see this run again;
    // the order still holds).
    void runPending()
    {
        for (;;) {
            Task* task = nullptr;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (pending.empty()) {
                    posted = false;
                    return;
                }
                task = pending.front();
                pending.pop_front();
            }
            std::exception_ptr failure;
            if (inner) { // the receiver's presence, checked where it can change
                try {
                    task->invoke(task->call, *inner);
                } catch (...) {
                    failure = std::current_exception();
                }
            }
            std::shared_ptr<Waiter> waiter;
            {
                std::lock_guard<std::mutex> lock(mutex);
                task->failure = failure;
                task->finished = true;
                waiter = *task->waiter;
            }
            // Signalled after the unlock: the worker wakes to a free mutex
            // instead of sleeping again on it at once.
            waiter->wakeUp.notify_one();
        }
    }

    QObject relay;               // lives on the main thread; queued calls reach it there
    WorkerHost* inner = nullptr; // main thread only
    // Standard primitives rather than Qt's: ThreadSanitizer sees them.
    std::mutex mutex;
    std::deque<Task*> pending; // guarded by mutex
    // A call of runPending is posted or running and will see every report
    // queued before it finds the queue empty; guarded by mutex. Reports that
    // arrive together thus cost the main thread one wake-up, not one each.
    bool posted = false;
    bool closed = false; // guarded by mutex
};

BlockingWorkerHost::BlockingWorkerHost(WorkerHost* inner)
    : m_channel(std::make_shared<Channel>(inner))
{
}

BlockingWorkerHost::~BlockingWorkerHost()
{
    close();
}

void BlockingWorkerHost::close()
{
    Channel& channel = *m_channel;
    std::lock_guard<std::mutex> lock(channel.mutex);
    channel.closed = true;
    channel.inner = nullptr;
    for (Task* task : channel.pending) {
        task->finished = true; // released without running
        (*task->waiter)->wakeUp.notify_one();
    }
    channel.pending.clear();
}

int BlockingWorkerHost::pendingReports() const
{
    std::lock_guard<std::mutex> lock(m_channel->mutex);
    return int(m_channel->pending.size());
}

template <typename Call> void BlockingWorkerHost::forward(const Call& call)
{
    Channel& channel = *m_channel;
    if (QThread::currentThread() == channel.relay.thread()) {
        if (channel.inner)
            call(*channel.inner);
        return;
    }
    Task task;
    task.invoke = [](const void* callable, WorkerHost& inner) {
        (*static_cast<const Call*>(callable))(inner);
    };
    task.call = &call;
    task.waiter = &threadWaiter();
    std::unique_lock<std::mutex> lock(channel.mutex);
    if (channel.closed)
        return;
    channel.pending.push_back(&task);
    // Posted while the lock is held, so close() cannot come in between: a
    // closed channel is never posted to.
    if (!channel.posted) {
        channel.posted = true;
        QMetaObject::invokeMethod(
            &channel.relay, [&channel] { channel.runPending(); }, Qt::QueuedConnection);
    }
    (*task.waiter)->wakeUp.wait(lock, [&task] { return task.finished; });
    if (task.failure)
        std::rethrow_exception(task.failure);
}

void BlockingWorkerHost::AppendLogLine(const QString& line)
{
    forward([&line](WorkerHost& inner) { inner.AppendLogLine(line); });
}

void BlockingWorkerHost::WorkerDone(int threadIndex)
{
    forward([threadIndex](WorkerHost& inner) { inner.WorkerDone(threadIndex); });
}

} // namespace tavo
