#include "tiles/Pacing.h"

#include <QThread>

#include <algorithm>

namespace tavo {

namespace {

// A wait is slept in slices this long, so a stop request ends it.
constexpr qint64 SliceMs = 20;

} // namespace

Pacing::Pacing(qint64 defaultWaitMs, qint64 longestWaitMs)
    : m_defaultWaitMs(std::max<qint64>(0, defaultWaitMs)),
      m_longestWaitMs(std::max<qint64>(0, longestWaitMs))
{
}

qint64 Pacing::nowMs() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 m_start)
        .count();
}

bool Pacing::waitForTurn(const std::function<bool()>& stopRequested, qint64* sentMs) const
{
    for (;;) {
        const qint64 now = nowMs();
        const qint64 left = m_untilMs.load(std::memory_order_acquire) - now;
        if (left <= 0) {
            if (sentMs)
                *sentMs = now;
            return true;
        }
        if (stopRequested && stopRequested())
            return false;
        QThread::msleep(static_cast<unsigned long>(std::min(left, SliceMs)));
    }
}

qint64 Pacing::slowDown(qint64 sentMs, std::optional<qint64> retryAfterMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const qint64 now = nowMs();
    const qint64 named =
        std::clamp<qint64>(retryAfterMs.value_or(m_defaultWaitMs), 0, m_longestWaitMs);
    const bool sameWait = m_waitBeganMs >= 0 && sentMs < m_waitBeganMs;
    if (!sameWait) {
        // A request sent after the last wait was answered "slow down" again.
        const bool stored = m_storedSinceWait.exchange(false);
        m_doublings = (stored || m_waitBeganMs < 0) ? 0 : std::min(m_doublings + 1, 30);
    }
    qint64 wait = named;
    for (int i = 0; i < m_doublings && wait < m_longestWaitMs; ++i)
        wait *= 2;
    wait = std::min(wait, m_longestWaitMs);
    const qint64 until = now + wait;
    if (until > m_untilMs.load(std::memory_order_relaxed))
        m_untilMs.store(until, std::memory_order_release);
    if (sameWait)
        return 0;
    m_waitBeganMs = now;
    return std::max<qint64>(wait, 1);
}

void Pacing::tileStored()
{
    if (!m_storedSinceWait.load(std::memory_order_relaxed))
        m_storedSinceWait.store(true, std::memory_order_relaxed);
}

qint64 Pacing::remainingMs() const
{
    return std::max<qint64>(0, m_untilMs.load(std::memory_order_acquire) - nowMs());
}

QString waitSecondsText(qint64 ms)
{
    if (ms % 1000 == 0)
        return QString::number(ms / 1000) + QStringLiteral(" s");
    return QString::number(double(ms) / 1000.0, 'f', ms % 100 == 0 ? 1 : 2) + QStringLiteral(" s");
}

} // namespace tavo
