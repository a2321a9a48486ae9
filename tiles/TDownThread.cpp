#include "tiles/TDownThread.h"

#include "engine/AppError.h"
#include "engine/FileReplacer.h"
#include "engine/JobFolder.h"
#include "engine/TileMath.h"
#include "http/HttpClient.h"
#include "tiles/TileReply.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QRandomGenerator>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

namespace tavo {

namespace {

// A connection reset is retried at once, but not for ever.
constexpr int MaxResetRetries = 5;
// The pause after a stored tile is slept in slices this long, so a stop request ends it.
constexpr int PauseSliceMs = 50;

const QString BannedText = QStringLiteral("Error: may be your IP is banned now.\n"
                                          "Please try again later.");
const QString NotFoundText = QStringLiteral("Error: the image is not found on server.\n"
                                            "Please enter a small zoom to try.");

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Stores a tile: written under "<name>.part" in the same folder, then renamed
// over `target`, so `target` is never seen half written and a full disk never
// leaves an empty tile. Every write and the close are checked. Tiles are not
// synced one by one: a sync cost more than the whole rest of a tile (about
// 1.2 ms of each 1.6 ms on the test machine), and a tile lost to a power cut is
// found by the job-folder scan as missing or empty and fetched again. Returns 0
// or an errno.
int storeTile(const QString& target, const std::string& body)
{
    FileReplacer file(target, FileReplacer::Temporary::PartSuffix,
                      FileReplacer::Durability::Unsynced);
    if (file.open() && file.write(body.data(), static_cast<qint64>(body.size())) && file.commit())
        return 0;
    return file.error();
}

// Puts a copy of the placeholder image at `target` unless a file is there already.
// A placeholder that cannot be read leaves the tile missing without a word; the
// errno of a copy that cannot be written is returned (0 otherwise).
int copyPlaceholder(const QString& placeholderPath, const QString& target)
{
    if (::access(QFile::encodeName(target).constData(), F_OK) == 0)
        return 0;
    QFile placeholder(placeholderPath);
    if (!placeholder.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray bytes = placeholder.readAll();
    if (placeholder.error() != QFileDevice::NoError)
        return 0;
    FileReplacer file(target, FileReplacer::Temporary::PartSuffix,
                      FileReplacer::Durability::Unsynced);
    if (file.open() && file.write(bytes) && file.commitIfAbsent())
        return 0;
    return file.error() == EEXIST ? 0 : file.error();
}

enum class FetchResult
{
    Ok,
    Failed,
    SlowDown,
    Stopped
};

struct Fetch
{
    FetchResult result = FetchResult::Ok;
    // Failed: the last answer (a reply that is no tile, or the failure with
    // its kind, code and text); SlowDown: the status and the wait the server
    // named.
    TileAnswer answer;
    qint64 sentMs = 0; // SlowDown: when the request went
};

// GETs `url` into `body` once the job's pacing lets a request go. A
// connection reset is retried at once, with an empty buffer, up to
// MaxResetRetries times; between the retries a stop request ends the attempt
// (FetchResult::Stopped) and leaves the tile undone. A transfer that the
// client's abort check ended, or a stop during a wait, is Stopped as well.
template <typename StopRequested>
Fetch fetchTile(http::HttpClient& client, const Pacing& pacing, const std::string& url,
                std::string& body, StopRequested stopRequested)
{
    Fetch fetch;
    for (int resets = 0;; ++resets) {
        if (!pacing.waitForTurn(stopRequested, &fetch.sentMs)) {
            fetch.result = FetchResult::Stopped;
            return fetch;
        }
        fetch.answer = requestTile(client, url, body);
        switch (fetch.answer.outcome) {
        case TileAnswer::Outcome::Tile:
            fetch.result = FetchResult::Ok;
            return fetch;
        case TileAnswer::Outcome::NotTile:
            fetch.result = FetchResult::Failed;
            return fetch;
        case TileAnswer::Outcome::SlowDown:
            fetch.result = FetchResult::SlowDown;
            return fetch;
        case TileAnswer::Outcome::Aborted:
            fetch.result = FetchResult::Stopped;
            return fetch;
        case TileAnswer::Outcome::Failed:
            break;
        }
        fetch.result = FetchResult::Failed;
        if (!fetch.answer.isConnectionReset() || resets == MaxResetRetries)
            return fetch;
        if (stopRequested()) {
            fetch.result = FetchResult::Stopped;
            return fetch;
        }
    }
}

// Errors of writing one tile that concern only that tile's own name (a folder
// or a non-empty directory named like it); any other error is the disk's or
// the folder's and hits every later tile as well.
bool isTileOwnWriteError(int error)
{
    return error == EISDIR || error == ENOTEMPTY || error == EEXIST;
}

} // namespace

std::optional<http::ProxyEndpoint> clientProxyFor(const ProxySettings& proxy, QString* error)
{
    const std::optional<int> port = proxyPortNumber(proxy.port, error);
    if (!port)
        return std::nullopt;
    http::ProxyEndpoint endpoint;
    endpoint.host = proxy.server.toStdString();
    endpoint.port = *port;
    endpoint.username = proxy.username.toStdString();
    endpoint.password = proxy.password.toStdString();
    return endpoint;
}

struct TDownThread::Worker
{
    Worker(const WorkerJob& job, const WorkerConfig& config, WorkerHost* host)
        : m_job(job), m_config(config), m_host(host)
    {
    }

    void run();
    void Execute();
    void pause();
    void sleepFor(qint64 ms);
    qint64 failurePauseMs(int failuresInARow) const;
    void report(const QString& line);
    void setPosition(qint32 x, qint32 y);
    QString threadName() const;
    bool Terminated() const { return m_stop.isCancelled(); }

    const WorkerJob m_job;
    const WorkerConfig m_config;
    WorkerHost* const m_host;
    Feedback m_stop; // the stop request
    std::atomic<quint64> m_position{0}; // CurrentX in the high half, CurrentY in the low half
    std::shared_ptr<const std::vector<TilePosition>> m_tileList; // fetchOnly
    std::shared_ptr<const TileSet> m_tileSet;                    // fetchOnly
    std::atomic<qint64> m_toFetch{0};
    std::atomic<qint64> m_stored{0};
    std::atomic<qint64> m_placeholders{0};
    std::atomic<bool> m_unreachable{false};
    std::atomic<bool> m_banned{false};
    std::atomic<bool> m_writeFailed{false};
};

TDownThread::TDownThread(const WorkerJob& job, const WorkerConfig& config, WorkerHost* host)
    : m_worker(std::make_shared<Worker>(job, config, host))
{
}

// m_thread's release cancels the stop request and joins.
TDownThread::~TDownThread() = default;

void TDownThread::start()
{
    // The thread holds the worker's state: a worker given up keeps it.
    m_thread.start([worker = m_worker] { worker->run(); }, &m_worker->m_stop);
}

bool TDownThread::join(QDeadlineTimer deadline)
{
    return m_thread.join(deadline);
}

void TDownThread::abandon(std::shared_ptr<void> keepAlive)
{
    m_thread.abandon(std::move(keepAlive));
}

void TDownThread::Terminate()
{
    m_worker->m_stop.cancel();
}

bool TDownThread::Terminated() const
{
    return m_worker->Terminated();
}

void TDownThread::fetchOnly(std::shared_ptr<const std::vector<TilePosition>> tiles)
{
    m_worker->m_tileList = std::move(tiles);
}

void TDownThread::fetchOnly(std::shared_ptr<const TileSet> tiles)
{
    m_worker->m_tileSet = std::move(tiles);
}

int TDownThread::threadIndex() const
{
    return m_worker->m_config.threadIndex;
}

WorkerCounts TDownThread::counts() const
{
    const Worker& worker = *m_worker;
    WorkerCounts counts;
    counts.toFetch = worker.m_toFetch.load(std::memory_order_relaxed);
    counts.stored = worker.m_stored.load(std::memory_order_relaxed);
    counts.placeholders = worker.m_placeholders.load(std::memory_order_relaxed);
    counts.unreachable = worker.m_unreachable.load(std::memory_order_relaxed);
    counts.banned = worker.m_banned.load(std::memory_order_relaxed);
    counts.writeFailed = worker.m_writeFailed.load(std::memory_order_relaxed);
    return counts;
}

TilePosition TDownThread::currentPosition() const
{
    const quint64 packed = m_worker->m_position.load(std::memory_order_acquire);
    return {static_cast<qint32>(static_cast<quint32>(packed >> 32)),
            static_cast<qint32>(static_cast<quint32>(packed))};
}

void TDownThread::Worker::setPosition(qint32 x, qint32 y)
{
    const quint64 packed = (static_cast<quint64>(static_cast<quint32>(x)) << 32) |
                           static_cast<quint64>(static_cast<quint32>(y));
    m_position.store(packed, std::memory_order_release);
}

QString TDownThread::Worker::threadName() const
{
    return QStringLiteral("Thread") + QString::number(m_config.threadIndex + 1);
}

void TDownThread::Worker::report(const QString& line)
{
    if (m_host)
        m_host->AppendLogLine(line);
}

void TDownThread::Worker::run()
{
    // Whatever happens in the walk, the worker reports its end exactly once,
    // so the job's count of running workers reaches zero.
    try {
        Execute();
    } catch (const std::exception& error) {
        try {
            report(threadName() + QStringLiteral(" stopped: ") + QString::fromUtf8(error.what()));
        } catch (...) {
        }
    } catch (...) {
        try {
            report(threadName() + QStringLiteral(" stopped by an unknown error"));
        } catch (...) {
        }
    }
    try {
        report(threadName() + QStringLiteral(" Finished."));
    } catch (...) {
    }
    try {
        if (m_host)
            m_host->WorkerDone(m_config.threadIndex);
    } catch (...) {
    }
}

void TDownThread::Worker::pause()
{
    if (m_config.sleepSeconds <= 0)
        return;
    sleepFor(static_cast<qint64>(m_config.sleepSeconds) * 1000);
}

qint64 TDownThread::Worker::failurePauseMs(int failuresInARow) const
{
    const RequestLimits& limits = m_config.limits;
    const qint64 first = m_config.sleepSeconds > 0
                             ? static_cast<qint64>(m_config.sleepSeconds) * 1000
                             : limits.failurePauseMs;
    const qint64 longest = qMax<qint64>(limits.longestFailurePauseMs, first);
    qint64 pause = first;
    for (int i = 1; i < failuresInARow && pause < longest; ++i)
        pause *= 2;
    pause = qMin(pause, longest);
    // Up to a fifth either way, so that workers failing together do not come back together.
    const qint64 spread = pause / 5;
    if (spread > 0)
        pause += QRandomGenerator::global()->bounded(2 * spread + 1) - spread;
    return pause;
}

void TDownThread::Worker::sleepFor(qint64 ms)
{
    if (ms <= 0)
        return;
    QDeadlineTimer deadline(ms);
    while (!Terminated()) {
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(qMin<qint64>(left, PauseSliceMs)));
    }
}

void TDownThread::Worker::Execute()
{
    auto http = std::make_unique<http::HttpClient>();
    const RequestLimits& limits = m_config.limits;
    http->setTimeouts(limits.connectMs, limits.lowSpeedSeconds * 1000);
    http->setTransferLimits(limits.lowSpeedBytesPerSecond, limits.lowSpeedSeconds, limits.totalMs);
    // A stop request ends a long transfer; a short one is let finish.
    http->setAbortCheck(
        [this, &limits](long elapsedMs) { return Terminated() && elapsedMs > limits.stopAfterMs; });
    if (m_config.proxy.useProxy) {
        QString error;
        const std::optional<http::ProxyEndpoint> proxy = clientProxyFor(m_config.proxy, &error);
        if (!proxy) {
            report(threadName() + QStringLiteral(" proxy port: ") + error);
            return;
        }
        http->setProxy(*proxy);
    }

    // The job's pacing, or one of its own for a worker on its own.
    std::shared_ptr<Pacing> pacing = m_config.pacing;
    if (!pacing)
        pacing = std::make_shared<Pacing>(limits.slowDownWaitMs, limits.longestSlowDownWaitMs);

    const QString name = threadName();
    const QString tileFolder = m_job.saveFolder + m_job.projectBase + QLatin1Char('/');
    const QString placeholderPath = tavo::placeholderPath(m_config.programFolder);

    // Positions are numbered from 1 over the whole rectangle; 64 bits, since a
    // rectangle at a deep zoom can hold more than 2^31 of them.
    const TileRect& rect = m_job.rect;
    TileWalk walk =
        m_tileSet    ? TileWalk(*m_tileSet, m_job.threadCount, m_config.threadIndex)
        : m_tileList ? TileWalk(rect, *m_tileList, m_job.threadCount, m_config.threadIndex)
                     : TileWalk(rect, m_job.threadCount, m_config.threadIndex, m_job.resume);
    m_toFetch.store(walk.size(), std::memory_order_relaxed);

    // Failed fetches in a row that tell the server is out of reach.
    int failuresInARow = 0;
    // The pause before the next request after a failed fetch.
    qint64 backoffMs = 0;
    qint64 seq = 0;
    qint32 tileX = 0;
    qint32 tileY = 0;
    std::string body;
    while (walk.next(seq, tileX, tileY)) {
        if (Terminated())
            return;
        const std::string quadkey = MakeQuadkeyString(tileX, tileY, m_job.zoom);
        const QByteArray urlBytes = tileUrl(static_cast<int>(seq % 4),
                                            QString::fromLatin1(quadkey.c_str()), m_config.urlTail);
        const std::string url(urlBytes.constData(), static_cast<size_t>(urlBytes.size()));

        sleepFor(backoffMs);
        backoffMs = 0;
        if (Terminated())
            return;
        Fetch fetch;
        // A slow-down is no answer for the tile: it is asked for again once
        // the wait is over.
        for (;;) {
            fetch = fetchTile(*http, *pacing, url, body, [this] { return Terminated(); });
            if (fetch.result != FetchResult::SlowDown)
                break;
            const qint64 waitMs = pacing->slowDown(fetch.sentMs, fetch.answer.retryAfterMs);
            if (waitMs > 0)
                report(name + QStringLiteral(" the server asks to slow down (HTTP ") +
                       QString::number(fetch.answer.status) + QStringLiteral("): all threads wait ") +
                       waitSecondsText(waitMs));
        }
        if (fetch.result == FetchResult::Stopped)
            return; // not recorded: a resumed job fetches this tile again

        const QString xText = QString::number(tileX);
        const QString yText = QString::number(tileY);
        const QString tilePath = tileFolder + tileFileName(tileX, tileY);
        // A tile that cannot be written for a reason of the disk or the folder
        // ends this worker, as a refusal does: its position stays at its last
        // stored tile, so a continued job fetches this one again once the disk
        // has room. One that cannot be written under its own name (a folder
        // named like it) is that tile's failure only: it stays not written.
        const auto cannotWrite = [&](int error) {
            if (!isTileOwnWriteError(error))
                m_writeFailed.store(true, std::memory_order_relaxed); // it ends the worker
            report(name + QStringLiteral(" cannot write ") + xText + QLatin1Char('-') + yText +
                   QStringLiteral(".jpg: ") + errnoText(error));
        };

        if (fetch.result == FetchResult::Ok) {
            const int error = storeTile(tilePath, body);
            body.clear();
            if (error != 0) {
                cannotWrite(error);
                if (isTileOwnWriteError(error))
                    continue;
                return;
            }
            report(name + QStringLiteral(":seq=") + QString::number(seq) +
                   QStringLiteral(", file=") + xText + QLatin1Char('-') + yText +
                   QStringLiteral(".jpg  ->ok!"));
            m_stored.fetch_add(1, std::memory_order_relaxed);
            pacing->tileStored();
            failuresInARow = 0;
            setPosition(tileX, tileY);
            pause();
            continue;
        }

        const TileAnswer& answer = fetch.answer;
        const QString message = QString::fromUtf8(answer.message.c_str());
        if (answer.hasMessage) {
            report(name + QLatin1Char(' ') + message + QStringLiteral("->") +
                   QString::fromLatin1(quadkey.c_str()));
            // Only an HTTP status tells a refusal or a missing tile.
            if (answer.isRefusal()) {
                m_banned.store(true, std::memory_order_relaxed);
                report(BannedText);
                return;
            }
            if (answer.isNotFound())
                report(NotFoundText);
        }
        if (const int error = copyPlaceholder(placeholderPath, tilePath)) {
            cannotWrite(error);
            if (!isTileOwnWriteError(error))
                return;
        } else {
            report(name + QLatin1Char(':') + xText + QLatin1Char('-') + yText +
                   QStringLiteral(" got a blank image!"));
            m_placeholders.fetch_add(1, std::memory_order_relaxed);
        }
        if (!failureCountsAsUnreachable(answer)) {
            // The server answered that it has no image here: the tile is done.
            failuresInARow = 0;
            setPosition(tileX, tileY);
            continue;
        }
        // The position stays at the last stored tile while fetches keep
        // failing, so a job ended here fetches these tiles again when it is
        // continued.
        if (++failuresInARow >= UnreachableAfterFailures) {
            m_unreachable.store(true, std::memory_order_relaxed);
            QString last = message;
            last.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
            report(name + QStringLiteral(" stopped: the server could not be reached (") +
                   QString::number(failuresInARow) +
                   QStringLiteral(" failed fetches in a row; last error: ") +
                   (last.isEmpty() ? QStringLiteral("unknown") : last) + QStringLiteral(")"));
            return;
        }
        backoffMs = failurePauseMs(failuresInARow);
    }
}

} // namespace tavo
