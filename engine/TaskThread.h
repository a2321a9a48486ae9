#pragma once

#include "engine/Feedback.h"

#include <QDeadlineTimer>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace tavo {

// The one way the programs own a thread: a thread that runs one function and
// is joined by its owner. The owner going away cancels the feedback the
// thread was started with (when there is one) and joins it, so a thread never
// outlives what it uses. After a successful join() everything the thread did
// is seen by the joiner.
//
// A thread that cannot end now (stuck in a request past every time-out) can
// be given up with abandon(): it goes on alone until it ends or the process
// does, keeping alive what it was handed.
class TaskThread final
{
public:
    TaskThread() = default;
    explicit TaskThread(std::function<void()> body, Feedback* cancelOnRelease = nullptr)
    {
        start(std::move(body), cancelOnRelease);
    }
    ~TaskThread() { release(); }
    TaskThread(TaskThread&& other) noexcept;
    TaskThread& operator=(TaskThread&& other) noexcept;
    TaskThread(const TaskThread&) = delete;
    TaskThread& operator=(const TaskThread&) = delete;

    // Runs `body` on a new thread; a thread owned before is released first.
    // `cancelOnRelease` (may be null) is cancelled when the owner releases
    // the thread before it ended.
    void start(std::function<void()> body, Feedback* cancelOnRelease = nullptr);

    // Owns a thread that has not been joined or given up.
    bool isStarted() const { return m_thread.joinable(); }
    // Owns a thread whose function has not returned.
    bool isRunning() const { return isStarted() && !m_state->ended.load(std::memory_order_acquire); }
    // Owns a thread whose function has returned (join() then returns at once).
    bool isFinished() const { return isStarted() && m_state->ended.load(std::memory_order_acquire); }

    // Waits until the function has returned, at most until `deadline`, and
    // joins the thread. True when there is no thread any more.
    bool join(QDeadlineTimer deadline = QDeadlineTimer(QDeadlineTimer::Forever));

    // Cancels the feedback (when there is one) and joins.
    void release();

    // Gives the thread up (see above); `keepAlive` lives as long as the thread.
    // A thread that has ended is joined instead.
    void abandon(std::shared_ptr<void> keepAlive = {});

    // Threads given up so far, and those of them still running.
    static int abandonedCount();
    static int abandonedRunning();

private:
    struct State
    {
        std::mutex mutex;
        std::condition_variable endedChanged;
        std::atomic<bool> ended{false};
    };
    std::shared_ptr<State> m_state;
    std::thread m_thread;
    Feedback* m_cancelOnRelease = nullptr;
};

// The number of threads that run at once on this computer (at least 1).
int coreCount();

// Runs body(0) ... body(count - 1) on `count` threads of their own and
// returns when all of them have returned. count <= 1 runs body(0) here.
void runInParallel(int count, const std::function<void(int index)>& body);

} // namespace tavo
