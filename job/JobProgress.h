#pragma once

#include "engine/AreaMath.h"
#include "engine/TextConv.h"
#include "engine/TileTypes.h"

#include <QString>

#include <deque>
#include <optional>

namespace tavo {

// The tile arithmetic of a job's set-up, shared with the size estimate shown
// while the fields are typed.

// The disk space a tile takes, about.
inline constexpr qint64 BytesPerTile = 15000;
// "180 KB", "3.9 GB"
QString diskSizeText(qint64 bytes);

// What the status bar shows before a job: the number of tiles of the fields
// as typed and the disk space they take at about 15 KB a tile ("12 tiles,
// about 180 KB on disk"); empty when the fields would not start a job.
QString jobSizeEstimate(const AreaTexts& area, const QString& zoomText);

// What a job's run has done, summed over its workers.
struct JobTotals
{
    qint64 toFetch = 0;       // tiles this run set out to fetch
    qint64 stored = 0;        // real tiles stored
    qint64 placeholders = 0;  // tiles that got the placeholder
    bool unreachable = false; // a worker ended because the server could not be reached
    bool banned = false;        // a worker ended on a refusal of the server
    bool writeFailed = false;   // a worker ended on a tile it could not write
    bool stoppedByUser = false; // Stop was pressed

    qint64 done() const { return stored + placeholders; }
    qint64 notWritten() const { return toFetch > done() ? toFetch - done() : 0; }
    // Tiles worth fetching again now: those that got the placeholder, and
    // those not written when the job ended by itself (a stopped job is
    // continued instead).
    qint64 toFetchAgain() const
    {
        return placeholders + (stoppedByUser ? 0 : notWritten());
    }
};

// "Tiles stored: N, placeholders: M, not written: K", the log's last line of a run.
QString totalsLogLine(const JobTotals& totals);
// Why a run ended before its last tile ("Stopped by the user.", "Stopped:
// banned by the server.", ...); empty when it ran to its end.
QString outcomeText(const JobTotals& totals);
// "Stored 134, placeholders 0, not written 2,274."
QString countsText(const JobTotals& totals);
// The closing box: "Download finished!", then the outcome and the counts,
// each on a line of its own.
QString closingText(const JobTotals& totals);
// The summary the status bar keeps after a run: the outcome, then the counts.
QString totalsSummary(const JobTotals& totals);

// The figures of a running job for the status bar: tiles done, the rate over
// the last seconds and the time left at that rate.
class JobProgress final
{
public:
    // Samples older than this no longer count towards the rate.
    static constexpr qint64 RateWindowMs = 5000;

    void start(qint64 toFetch, qint64 nowMs);
    void sample(qint64 done, qint64 nowMs);

    qint64 toFetch() const { return m_toFetch; }
    qint64 done() const { return m_done; }
    // Tiles a second over the last RateWindowMs; 0 until two samples are apart.
    double tilesPerSecond() const;
    // Seconds left at that rate; none while the rate is 0.
    std::optional<qint64> secondsLeft() const;

    // "1,234 of 50,000 tiles"; compact: "1.2 M of 201.8 M tiles"
    QString countText() const;
    QString compactCountText() const;
    // "12.5 tiles/s, 3 min 20 s left"
    QString rateText() const;

private:
    struct Sample
    {
        qint64 ms;
        qint64 done;
    };
    qint64 m_toFetch = 0;
    qint64 m_done = 0;
    std::deque<Sample> m_samples;
};

// "Waiting for the server: 25 s" while the server's request to slow down holds.
QString waitingText(qint64 remainingMs);


} // namespace tavo
