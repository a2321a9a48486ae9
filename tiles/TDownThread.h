#pragma once

#include "engine/ProxySettings.h"
#include "engine/TaskThread.h"
#include "engine/TileTypes.h"
#include "engine/TileUrl.h"
#include "http/HttpClient.h"
#include "tiles/Pacing.h"
#include "tiles/TileWalk.h"
#include "tiles/WorkerHost.h"

#include <QDeadlineTimer>
#include <QString>
#include <memory>
#include <optional>
#include <vector>

namespace tavo {

// How long one tile request may take. A request that gets fewer than
// `lowSpeedBytesPerSecond` for `lowSpeedSeconds` in a row, or runs longer than
// `totalMs`, fails as timed out (a failed fetch: the placeholder takes the
// tile's place). A stop request ends a transfer that has run for more than
// `stopAfterMs`; that tile is then not recorded.
struct RequestLimits
{
    long connectMs = 10000;
    long lowSpeedBytesPerSecond = 100;
    long lowSpeedSeconds = 20;
    long totalMs = 120000;
    long stopAfterMs = 3000;
    // The pause after a failed fetch when no pause is configured; it doubles
    // with each failure in a row up to the longest one.
    qint64 failurePauseMs = 1000;
    qint64 longestFailurePauseMs = 60000;
    // The wait after a slow-down reply that names none, and the longest wait
    // (of a worker without a job's pacing).
    qint64 slowDownWaitMs = Pacing::DefaultWaitMs;
    qint64 longestSlowDownWaitMs = Pacing::LongestWaitMs;
};

// A worker's share of a job: the whole tile rectangle at the job's zoom, the
// number of workers the tiles are dealt among, where the tiles go
// (saveFolder + projectBase + "/"), and the last position this worker
// finished in an earlier run (0 in either: none), after which its walk goes on.
struct WorkerJob
{
    TileRect rect;
    qint32 zoom = 0;
    qint32 threadCount = 0;
    QString saveFolder; // ends with '/'
    QString projectBase;
    TilePosition resume;
};

// What a worker copies from the application state when it is created.
struct WorkerConfig
{
    int threadIndex = 0;   // 0-based; the log calls the worker "Thread" threadIndex+1
    int sleepSeconds = 0;  // pause after every stored tile
    QString urlTail;       // text after the quadkey in every tile URL
    ProxySettings proxy;   // the port is converted when the worker starts
    QString programFolder; // ends with '/', holds blankimg/blank.jpg
    RequestLimits limits;
    std::shared_ptr<Pacing> pacing; // shared by the job's workers; none: the worker's own
};

// What a worker has done so far in this run; read from any thread.
struct WorkerCounts
{
    qint64 toFetch = 0;       // the tiles of its walk in this run
    qint64 stored = 0;        // real tiles stored
    qint64 placeholders = 0;  // tiles that got the placeholder
    bool unreachable = false; // it ended because the server could not be reached
    bool banned = false;      // it ended on a refusal (302 or 403)
    bool writeFailed = false; // it ended on a tile the disk or folder could not take
};

// The HTTP client's proxy for `proxy` when it is in use: its port read with
// proxyPortNumber. No value when the port is not a port; `error` then holds
// the reason. The workers and the single-tile dialog both configure their
// proxy this way.
std::optional<http::ProxyEndpoint> clientProxyFor(const ProxySettings& proxy, QString* error);

// One download worker of a job. Every worker walks the whole tile rectangle,
// column by column from the west and row by row from the south, numbering the
// positions from 1, and fetches those whose number modulo `ThreadCount` equals
// its index. Each tile goes to SaveFolder + ProjectBase + "/" + X + "_" + Y + ".jpg".
//
// The worker runs on a thread of its own, owned by this object; what the
// thread uses is held by the thread itself, so a worker that is given up
// (abandon) may outlive this object.
class TDownThread final
{
public:
    // Created suspended: the caller calls start().
    TDownThread(const WorkerJob& job, const WorkerConfig& config, WorkerHost* host);
    // Asks the worker to stop and waits for it to end (see BlockingWorkerHost
    // on which thread may do so).
    ~TDownThread();
    TDownThread(const TDownThread&) = delete;
    TDownThread& operator=(const TDownThread&) = delete;

    void start();

    // Waits for the worker to end, at most until `deadline`, and returns
    // whether it has. Once it returns true, whatever the worker did is seen by
    // the caller, who may then free or reuse what the worker touched (its
    // host above all). A worker never started has ended.
    bool join(QDeadlineTimer deadline = QDeadlineTimer(QDeadlineTimer::Forever));
    // Started and not yet at its end; at its end and not yet joined.
    bool isRunning() const { return m_thread.isRunning(); }
    bool isFinished() const { return m_thread.isFinished(); }

    // Gives up a worker that cannot end now (a request stuck past every
    // time-out while the job closes): it goes on alone until it ends or the
    // process does, and `keepAlive` (its host) lives as long as it. A worker
    // that has ended is joined instead. Counted by TaskThread::abandonedCount.
    void abandon(std::shared_ptr<void> keepAlive);

    // Fetches exactly `tiles` (those of them in the rectangle) instead of
    // walking the rectangle, dealt out among the workers by their place in
    // the list; the resume position is not used. Only before start().
    // The workers of a job share the list.
    void fetchOnly(std::shared_ptr<const std::vector<TilePosition>> tiles);
    void fetchOnly(std::shared_ptr<const TileSet> tiles);

    // The stop request; the worker notices it before its next tile and during its pause.
    void Terminate();
    bool Terminated() const;

    // The last position this worker finished (CurrentX, CurrentY), read as one
    // pair; 0, 0 until the first one.
    TilePosition currentPosition() const;
    int threadIndex() const;
    // Relaxed reads: figures for the status bar, exact once the worker has ended.
    WorkerCounts counts() const;

private:
    struct Worker; // what the worker's thread uses
    std::shared_ptr<Worker> m_worker;
    // Declared last: released (stop request, join) before the worker's state goes.
    TaskThread m_thread;
};

} // namespace tavo
