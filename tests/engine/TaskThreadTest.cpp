#include "engine/TaskThread.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

namespace {

using tavo::Feedback;
using tavo::TaskThread;

// A gate a thread waits at until the test opens it.
struct Gate
{
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    void release()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            open = true;
        }
        changed.notify_all();
    }
    void wait()
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return open; });
    }
};

TEST(TaskThread, AnOwnerGoingAwayCancelsTheTaskAndSeesAllItDid)
{
    Feedback feedback;
    qint64 rounds = 0;
    bool sawCancel = false;
    Gate started;
    {
        TaskThread thread([&] {
            started.release();
            while (feedback.setProgress(++rounds, 0)) {
            }
            sawCancel = true;
        }, &feedback);
        started.wait();
        EXPECT_TRUE(thread.isStarted());
    }
    // Joined: the plain writes of the thread are seen without a lock.
    EXPECT_TRUE(sawCancel);
    EXPECT_EQ(rounds, feedback.done());
    EXPECT_TRUE(feedback.isCancelled());
}

TEST(TaskThread, AStuckThreadIsGivenUpAndEndsAlone)
{
    auto gate = std::make_shared<Gate>();
    const int before = TaskThread::abandonedRunning();
    TaskThread thread([gate] { gate->wait(); });
    EXPECT_FALSE(thread.join(QDeadlineTimer(20)));
    EXPECT_TRUE(thread.isRunning());
    thread.abandon(gate);
    EXPECT_FALSE(thread.isStarted());
    EXPECT_EQ(TaskThread::abandonedRunning(), before + 1);
    gate->release();
    QDeadlineTimer limit(10000);
    while (TaskThread::abandonedRunning() > before && !limit.hasExpired())
        std::this_thread::yield();
    EXPECT_EQ(TaskThread::abandonedRunning(), before);
}

TEST(Feedback, APartStopsWithTheWholeAndReportsItsOwnProgress)
{
    Feedback whole;
    qint64 seen = -1;
    Feedback part([&seen](qint64 done, qint64) { seen = done; }, &whole);
    EXPECT_TRUE(part.setProgress(3, 10));
    EXPECT_EQ(seen, 3);
    EXPECT_EQ(whole.done(), 0);
    whole.cancel();
    EXPECT_TRUE(tavo::isCancelled(&part));
    EXPECT_FALSE(part.setProgress(4, 10));
    EXPECT_FALSE(tavo::isCancelled(nullptr));
}

TEST(TaskThread, RunInParallelRunsEveryIndexOnce)
{
    std::vector<int> runs(5, 0);
    tavo::runInParallel(5, [&runs](int i) { ++runs[std::size_t(i)]; });
    EXPECT_EQ(runs, std::vector<int>(5, 1));
}

} // namespace
