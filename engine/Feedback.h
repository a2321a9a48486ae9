#pragma once

#include <QtGlobal>

#include <atomic>
#include <functional>

namespace tavo {

// The cancel flag and the progress of one long task (a download, a folder
// scan, a weave), shared by the task and whoever watches it.
//
// The task reports with setProgress(), which returns false once the task is
// cancelled: it then stops as soon as it can and says so in its result. The
// watcher cancels from any thread, a signal handler included (cancel() is a
// lock-free atomic store). A feedback made with a parent is cancelled with it,
// so one part of a task can have its own progress and still stop with the whole.
class Feedback final
{
public:
    // Called on the task's thread with (done, total) by setProgress().
    using Listener = std::function<void(qint64 done, qint64 total)>;

    Feedback() = default;
    explicit Feedback(Listener listener, const Feedback* parent = nullptr)
        : m_listener(std::move(listener)), m_parent(parent)
    {
    }
    Feedback(const Feedback&) = delete;
    Feedback& operator=(const Feedback&) = delete;

    void cancel() noexcept { m_cancelled.store(true, std::memory_order_relaxed); }
    bool isCancelled() const noexcept
    {
        return m_cancelled.load(std::memory_order_relaxed) ||
               (m_parent && m_parent->isCancelled());
    }

    // Notes how far the task is, tells the listener, and returns whether the
    // task is to go on.
    bool setProgress(qint64 done, qint64 total);
    qint64 done() const noexcept { return m_done.load(std::memory_order_relaxed); }
    qint64 total() const noexcept { return m_total.load(std::memory_order_relaxed); }

private:
    static_assert(std::atomic<bool>::is_always_lock_free, "cancel() must be safe in a signal handler");

    std::atomic<bool> m_cancelled{false};
    std::atomic<qint64> m_done{0};
    std::atomic<qint64> m_total{0};
    Listener m_listener;
    const Feedback* m_parent = nullptr;
};

// Whether the task watched by `feedback` (none: a task nobody can cancel) is to stop.
inline bool isCancelled(const Feedback* feedback)
{
    return feedback && feedback->isCancelled();
}

// setProgress on `feedback` when there is one; true when there is none.
inline bool reportProgress(Feedback* feedback, qint64 done, qint64 total)
{
    return !feedback || feedback->setProgress(done, total);
}

} // namespace tavo
