#include "tiles/TDownThread.h"

#include "engine/AppError.h"
#include "engine/FileReplacer.h"
#include "engine/TileMath.h"
#include "http/HttpClient.h"
#include "tiles/TileReply.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
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

bool contains(const std::string& text, const char* part)
{
    return text.find(part) != std::string::npos;
}

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
    Stopped
};

struct Fetch
{
    FetchResult result = FetchResult::Ok;
    bool hasMessage = false; // false for a failure that is not an exception object
    std::string message;
    // A 200 reply that holds no tile; `message` then says why, and it is no
    // HTTP error whose text tells a refusal or a missing tile.
    bool replyRejected = false;
    ReplyKind reply = ReplyKind::Tile;
};

// GETs `url` into `body`. A connection reset is retried at once, with an empty
// buffer, up to MaxResetRetries times; between the retries a stop request ends
// the attempt (FetchResult::Stopped) and leaves the tile undone. A transfer that
// the client's abort check ended is Stopped as well.
template <typename StopRequested>
Fetch fetchTile(http::HttpClient& client, const std::string& url, std::string& body,
                StopRequested stopRequested)
{
    Fetch fetch;
    for (int resets = 0;; ++resets) {
        body.clear();
        try {
            client.get(url, body);
            fetch.reply = classifyReply(body, client.responseHeader("X-VE-Tile-Info"));
            if (fetch.reply == ReplyKind::Tile) {
                fetch.result = FetchResult::Ok;
                return fetch;
            }
            fetch.result = FetchResult::Failed;
            fetch.hasMessage = true;
            fetch.replyRejected = true;
            fetch.message =
                replyErrorText(fetch.reply, client.responseHeader("Content-Type"), body.size())
                    .toStdString();
            body.clear();
            return fetch;
        } catch (const http::HttpError& error) {
            if (error.kind() == http::HttpError::Kind::Aborted) {
                body.clear();
                fetch.result = FetchResult::Stopped;
                return fetch;
            }
            fetch.result = FetchResult::Failed;
            fetch.hasMessage = true;
            fetch.message = error.what();
        } catch (const std::exception& error) {
            fetch.result = FetchResult::Failed;
            fetch.hasMessage = true;
            fetch.message = error.what();
        } catch (...) {
            fetch.result = FetchResult::Failed;
            fetch.hasMessage = false;
            fetch.message.clear();
        }
        body.clear();
        if (!fetch.hasMessage || !contains(fetch.message, "10054") || resets == MaxResetRetries)
            return fetch;
        if (stopRequested()) {
            fetch.result = FetchResult::Stopped;
            return fetch;
        }
    }
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

TDownThread::TDownThread(bool createSuspended, qint32 MinX, qint32 MaxX, qint32 MinY, qint32 MaxY,
                         qint32 Zoom, qint32 ThreadCount, const QString& SaveFolder,
                         const QString& ProjectBase, qint32 ResumeX, qint32 ResumeY,
                         const WorkerConfig& config, WorkerHost* host, QObject* parent)
    : QThread(parent), m_minX(MinX), m_maxX(MaxX), m_minY(MinY), m_maxY(MaxY), m_zoom(Zoom),
      m_threadCount(ThreadCount), m_resumeX(ResumeX), m_resumeY(ResumeY), m_saveFolder(SaveFolder),
      m_projectBase(ProjectBase), m_config(config), m_host(host)
{
    if (!createSuspended)
        start();
}

TDownThread::~TDownThread()
{
    Terminate();
    wait();
}

void TDownThread::Terminate()
{
    requestInterruption();
}

bool TDownThread::Terminated() const
{
    return isInterruptionRequested();
}

void TDownThread::fetchOnly(std::shared_ptr<const std::vector<TilePosition>> tiles)
{
    m_tileList = std::move(tiles);
}

WorkerCounts TDownThread::counts() const
{
    WorkerCounts counts;
    counts.toFetch = m_toFetch.load(std::memory_order_relaxed);
    counts.stored = m_stored.load(std::memory_order_relaxed);
    counts.placeholders = m_placeholders.load(std::memory_order_relaxed);
    counts.unreachable = m_unreachable.load(std::memory_order_relaxed);
    counts.banned = m_banned.load(std::memory_order_relaxed);
    counts.writeFailed = m_writeFailed.load(std::memory_order_relaxed);
    return counts;
}

TilePosition TDownThread::currentPosition() const
{
    const quint64 packed = m_position.load(std::memory_order_acquire);
    return {static_cast<qint32>(static_cast<quint32>(packed >> 32)),
            static_cast<qint32>(static_cast<quint32>(packed))};
}

void TDownThread::setPosition(qint32 x, qint32 y)
{
    const quint64 packed = (static_cast<quint64>(static_cast<quint32>(x)) << 32) |
                           static_cast<quint64>(static_cast<quint32>(y));
    m_position.store(packed, std::memory_order_release);
}

QString TDownThread::threadName() const
{
    return QStringLiteral("Thread") + QString::number(m_config.threadIndex + 1);
}

void TDownThread::report(const QString& line)
{
    if (m_host)
        m_host->AppendLogLine(line);
}

void TDownThread::run()
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

void TDownThread::pause()
{
    if (m_config.sleepSeconds <= 0)
        return;
    QDeadlineTimer deadline(static_cast<qint64>(m_config.sleepSeconds) * 1000);
    while (!Terminated()) {
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            return;
        QThread::msleep(static_cast<unsigned long>(qMin<qint64>(left, PauseSliceMs)));
    }
}

void TDownThread::Execute()
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

    const QString name = threadName();
    const QString tileFolder = m_saveFolder + m_projectBase + QLatin1Char('/');
    const QString placeholderPath = m_config.programFolder + QStringLiteral("blankimg/blank.jpg");

    // Positions are numbered from 1 over the whole rectangle; 64 bits, since a
    // rectangle at a deep zoom can hold more than 2^31 of them.
    const TileRect rect{m_minX, m_maxX, m_minY, m_maxY};
    TileWalk walk =
        m_tileList ? TileWalk(rect, *m_tileList, m_threadCount, m_config.threadIndex)
                   : TileWalk(rect, m_threadCount, m_config.threadIndex, {m_resumeX, m_resumeY});
    m_toFetch.store(walk.size(), std::memory_order_relaxed);

    // Failed fetches in a row that tell the server is out of reach.
    int failuresInARow = 0;
    qint64 seq = 0;
    qint32 tileX = 0;
    qint32 tileY = 0;
    std::string body;
    while (walk.next(seq, tileX, tileY)) {
        if (Terminated())
            return;
        const std::string quadkey = MakeQuadkeyString(tileX, tileY, m_zoom);
        const QByteArray urlBytes = tileUrl(static_cast<int>(seq % 4),
                                            QString::fromLatin1(quadkey.c_str()), m_config.urlTail);
        const std::string url(urlBytes.constData(), static_cast<size_t>(urlBytes.size()));

        const Fetch fetch = fetchTile(*http, url, body, [this] { return Terminated(); });
        if (fetch.result == FetchResult::Stopped)
            return; // not recorded: a resumed job fetches this tile again

        const QString xText = QString::number(tileX);
        const QString yText = QString::number(tileY);
        const QString tilePath =
            tileFolder + xText + QLatin1Char('_') + yText + QStringLiteral(".jpg");
        // A tile that cannot be written ends this worker, as a refusal does: its
        // position stays at its last stored tile, so a continued job fetches this
        // one again once the disk has room.
        const auto cannotWrite = [&](int error) {
            m_writeFailed.store(true, std::memory_order_relaxed);
            report(name + QStringLiteral(" cannot write ") + xText + QLatin1Char('-') + yText +
                   QStringLiteral(".jpg: ") + errnoText(error));
        };

        if (fetch.result == FetchResult::Ok) {
            const int error = storeTile(tilePath, body);
            body.clear();
            if (error != 0) {
                cannotWrite(error);
                return;
            }
            report(name + QStringLiteral(":seq=") + QString::number(seq) +
                   QStringLiteral(", file=") + xText + QLatin1Char('-') + yText +
                   QStringLiteral(".jpg  ->ok!"));
            m_stored.fetch_add(1, std::memory_order_relaxed);
            failuresInARow = 0;
            setPosition(tileX, tileY);
            pause();
            continue;
        }

        const QString message = QString::fromUtf8(fetch.message.c_str());
        if (fetch.hasMessage) {
            report(name + QLatin1Char(' ') + message + QStringLiteral("->") +
                   QString::fromLatin1(quadkey.c_str()));
            // Only an HTTP error's text tells a refusal or a missing tile.
            if (!fetch.replyRejected) {
                if (contains(fetch.message, "302") || contains(fetch.message, "403")) {
                    m_banned.store(true, std::memory_order_relaxed);
                    report(BannedText);
                    return;
                }
                if (contains(fetch.message, "404"))
                    report(NotFoundText);
            }
        }
        if (const int error = copyPlaceholder(placeholderPath, tilePath)) {
            cannotWrite(error);
            return;
        }
        report(name + QLatin1Char(':') + xText + QLatin1Char('-') + yText +
               QStringLiteral(" got a blank image!"));
        m_placeholders.fetch_add(1, std::memory_order_relaxed);
        if (!failureCountsAsUnreachable(fetch.replyRejected, fetch.reply, fetch.message)) {
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
    }
}

} // namespace tavo
