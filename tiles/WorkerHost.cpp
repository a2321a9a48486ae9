#include "tiles/WorkerHost.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

namespace tavo {

namespace {

// One report waiting for the main thread.
struct Task
{
    std::function<void()> run;
    bool finished = false;
    std::exception_ptr failure;
};

} // namespace

struct BlockingWorkerHost::Channel
{
    explicit Channel(WorkerHost* inner) : inner(inner) {}

    // Main thread: runs the waiting reports in the order they came.
    void runPending()
    {
        for (;;) {
            std::shared_ptr<Task> task;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (pending.empty())
                    return;
                task = pending.front();
                pending.pop_front();
            }
            std::exception_ptr failure;
            if (inner) { // the receiver's presence, checked where it can change
                try {
                    task->run();
                } catch (...) {
                    failure = std::current_exception();
                }
            }
            std::lock_guard<std::mutex> lock(mutex);
            task->failure = failure;
            task->finished = true;
            finished.notify_all();
        }
    }

    QObject relay;               // lives on the main thread; queued calls reach it there
    WorkerHost* inner = nullptr; // main thread only
    // Standard primitives rather than Qt's: ThreadSanitizer sees them.
    std::mutex mutex;
    std::condition_variable finished;
    std::deque<std::shared_ptr<Task>> pending; // guarded by mutex
    bool closed = false;                       // guarded by mutex
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
    for (const auto& task : channel.pending)
        task->finished = true; // released without running
    channel.pending.clear();
    channel.finished.notify_all();
}

template <typename Call> void BlockingWorkerHost::forward(const Call& call)
{
    Channel& channel = *m_channel;
    if (QThread::currentThread() == channel.relay.thread()) {
        if (channel.inner)
            call(*channel.inner);
        return;
    }
    auto task = std::make_shared<Task>();
    task->run = [&channel, &call] { call(*channel.inner); };
    std::unique_lock<std::mutex> lock(channel.mutex);
    if (channel.closed)
        return;
    channel.pending.push_back(task);
    // Posted while the lock is held, so close() cannot come in between: a
    // closed channel is never posted to.
    QMetaObject::invokeMethod(
        &channel.relay, [&channel] { channel.runPending(); }, Qt::QueuedConnection);
    channel.finished.wait(lock, [&task] { return task->finished; });
    if (task->failure)
        std::rethrow_exception(task->failure);
}

void BlockingWorkerHost::AppendLogLine(const QString& line)
{
    forward([&line](WorkerHost& inner) { inner.AppendLogLine(line); });
}

void BlockingWorkerHost::WorkerDone(int threadIndex)
{
    forward([threadIndex](WorkerHost& inner) { inner.WorkerDone(threadIndex); });
}

// ---------------------------------------------------------------------------
// Abandoned threads

namespace {

struct Abandoned
{
    std::unique_ptr<QThread> thread;
    std::shared_ptr<void> keepAlive;
};

// Never destroyed: an abandoned thread may still run while the process ends.
std::vector<Abandoned>& abandonedList()
{
    static auto* list = new std::vector<Abandoned>();
    return *list;
}

} // namespace

void abandonThread(std::unique_ptr<QThread> thread, std::shared_ptr<void> keepAlive)
{
    abandonedList().push_back({std::move(thread), std::move(keepAlive)});
}

int abandonedThreadCount()
{
    return int(abandonedList().size());
}

} // namespace tavo
