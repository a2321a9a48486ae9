#pragma once

#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>

namespace tavo {

// The pace of one job's requests to the tile service, shared by all its
// workers. When the service asks to slow down (HTTP 429 or 503), no worker
// sends a request before the time it named; a reply without that time means
// the default wait. Slow-down replies that follow each other with no tile
// stored in between double the wait, up to the longest one. Without a
// slow-down it costs a request one relaxed atomic read.
class Pacing final
{
public:
    static constexpr qint64 DefaultWaitMs = 30000;
    static constexpr qint64 LongestWaitMs = 10 * 60 * 1000;

    explicit Pacing(qint64 defaultWaitMs = DefaultWaitMs, qint64 longestWaitMs = LongestWaitMs);

    // Milliseconds on the pacing's own steady clock.
    qint64 nowMs() const;

    // Before every request: returns at once while no wait holds; otherwise
    // when it is over (true) or when `stopRequested` says so (false, asked
    // every few milliseconds). Returns through `sentMs` the time at which
    // the request may go, to be handed to slowDown if it is answered so.
    bool waitForTurn(const std::function<bool()>& stopRequested, qint64* sentMs = nullptr) const;

    // A slow-down reply to a request let go at `sentMs`, naming a wait of
    // `retryAfterMs` (none: the default). Returns the wait this reply starts,
    // to be told to the user; 0 when the reply belongs to the wait that holds
    // already (its request went before that wait began), which it may only
    // lengthen.
    qint64 slowDown(qint64 sentMs, std::optional<qint64> retryAfterMs);

    // A tile was stored: the next slow-down starts again from its own wait.
    void tileStored();

    // What is left of the wait that holds (0 when none).
    qint64 remainingMs() const;

private:
    const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    const qint64 m_defaultWaitMs;
    const qint64 m_longestWaitMs;
    std::atomic<qint64> m_untilMs{0};
    std::atomic<bool> m_storedSinceWait{true};
    std::mutex m_mutex;
    qint64 m_waitBeganMs = -1; // when the last wait began; -1 before the first
    int m_doublings = 0;
};

// "30 s", or "2.5 s" for a wait that is no whole number of seconds.
QString waitSecondsText(qint64 ms);

} // namespace tavo
