#include "tiles/TDownThread.h"

#include "engine/AppError.h"
#include "engine/FileReplacer.h"
#include "engine/TileMath.h"
#include "http/HttpClient.h"

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
            fetch.result = FetchResult::Ok;
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
    const qint64 width = static_cast<qint64>(m_maxX) - m_minX + 1;
    const qint64 height = static_cast<qint64>(m_maxY) - m_minY + 1;
    if (width <= 0 || height <= 0 || m_threadCount < 1)
        return;
    const qint64 total = width * height;

    // The positions up to the resume position were done in an earlier run.
    qint64 skipCount = 0;
    if (m_resumeX != 0 && m_resumeY != 0) {
        const __int128 skip =
            static_cast<__int128>(static_cast<qint64>(m_resumeX) - m_minX) * height +
            (static_cast<qint64>(m_resumeY) - m_minY) + 1;
        skipCount = skip <= 0 ? 0 : skip >= total ? total : static_cast<qint64>(skip);
    }

    qint64 seq = skipCount;
    qint64 x = m_minX + skipCount / height;
    qint64 y = m_minY + skipCount % height;
    std::string body;
    // Column by column from the west, row by row from the south; (x, y) is the
    // position after `seq`, wrapped to the next column at the top.
    for (; seq < total; ++y) {
        if (y > m_maxY) {
            y = m_minY;
            ++x;
        }
        if (Terminated())
            return;
        ++seq;
        if (seq % m_threadCount != m_config.threadIndex)
            continue;

        const auto tileX = static_cast<qint32>(x);
        const auto tileY = static_cast<qint32>(y);
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
            setPosition(tileX, tileY);
            pause();
            continue;
        }

        if (fetch.hasMessage) {
            report(name + QLatin1Char(' ') + QString::fromUtf8(fetch.message.c_str()) +
                   QStringLiteral("->") + QString::fromLatin1(quadkey.c_str()));
            if (contains(fetch.message, "302") || contains(fetch.message, "403")) {
                report(BannedText);
                return;
            }
            if (contains(fetch.message, "404"))
                report(NotFoundText);
        }
        if (const int error = copyPlaceholder(placeholderPath, tilePath)) {
            cannotWrite(error);
            return;
        }
        report(name + QLatin1Char(':') + xText + QLatin1Char('-') + yText +
               QStringLiteral(" got a blank image!"));
        setPosition(tileX, tileY);
    }
}

} // namespace tavo
