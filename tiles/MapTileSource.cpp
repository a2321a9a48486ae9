#include "tiles/MapTileSource.h"

#include "engine/FileReplacer.h"
#include "engine/TaskThread.h"
#include "engine/TileUrl.h"
#include "http/HttpClient.h"
#include "tiles/TDownThread.h"
#include "tiles/TileReply.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <vector>

namespace tavo {

QString mapTileCacheFolder()
{
    QString base = QString::fromLocal8Bit(qgetenv("XDG_CACHE_HOME"));
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.cache");
    if (!base.endsWith(u'/'))
        base += u'/';
    return base + QStringLiteral("tavo/tiles/");
}

// ---- disk cache ----

MapTileDiskCache::MapTileDiskCache(const QString& folder, qint64 limitBytes)
    : m_folder(folder), m_limit(limitBytes)
{
}

void MapTileDiskCache::loadIndex()
{
    if (m_indexed)
        return;
    m_indexed = true;
    QDir().mkpath(m_folder);
    const QFileInfoList files =
        QDir(m_folder).entryInfoList({QStringLiteral("*.jpg")}, QDir::Files);
    for (const QFileInfo& file : files) {
        const Entry entry{file.size(), file.lastModified().toMSecsSinceEpoch()};
        m_entries.insert(file.completeBaseName(), entry);
        m_total += entry.bytes;
        m_clock = std::max(m_clock, entry.usedMs);
    }
}

QByteArray MapTileDiskCache::read(const QString& quadkey)
{
    QMutexLocker lock(&m_mutex);
    loadIndex();
    auto entry = m_entries.find(quadkey);
    if (entry == m_entries.end())
        return {};
    QFile file(m_folder + quadkey + QStringLiteral(".jpg"));
    if (!file.open(QIODevice::ReadWrite)) {
        m_total -= entry->bytes;
        m_entries.erase(entry);
        return {};
    }
    // The modification time is the last use: it orders the files after a restart too.
    const qint64 now = tick();
    file.setFileTime(QDateTime::fromMSecsSinceEpoch(now), QFileDevice::FileModificationTime);
    entry->usedMs = now;
    return file.readAll();
}

void MapTileDiskCache::store(const QString& quadkey, const QByteArray& bytes)
{
    QMutexLocker lock(&m_mutex);
    loadIndex();
    if (!FileReplacer::replace(m_folder + quadkey + QStringLiteral(".jpg"), bytes))
        return; // a full disk costs a fetch next time, nothing more
    const Entry entry{bytes.size(), tick()};
    if (auto old = m_entries.find(quadkey); old != m_entries.end())
        m_total -= old->bytes;
    m_entries.insert(quadkey, entry);
    m_total += entry.bytes;
    while (m_total > m_limit && m_entries.size() > 1) {
        auto oldest = m_entries.begin();
        for (auto it = m_entries.begin(); it != m_entries.end(); ++it)
            if (it->usedMs < oldest->usedMs)
                oldest = it;
        QFile::remove(m_folder + oldest.key() + QStringLiteral(".jpg"));
        m_total -= oldest->bytes;
        m_entries.erase(oldest);
    }
}

qint64 MapTileDiskCache::tick()
{
    // Strictly increasing, so that uses within one millisecond keep their order.
    m_clock = std::max(QDateTime::currentMSecsSinceEpoch(), m_clock + 1);
    return m_clock;
}

qint64 MapTileDiskCache::totalBytes()
{
    QMutexLocker lock(&m_mutex);
    loadIndex();
    return m_total;
}

// ---- fetching ----

struct MapTileSource::Shared
{
    MapTileSource::Config config;
    std::unique_ptr<MapTileDiskCache> disk;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<QString> wanted;
    std::set<QString> running;
    bool stopping = false;
    std::vector<TaskThread> threads;
};

namespace {

struct Outcome
{
    QImage image;
    QString reason;
};

Outcome fetchTile(MapTileSource::Shared& shared, const QString& quadkey);

} // namespace

MapTileSource::MapTileSource(const Config& config, QObject* parent)
    : QObject(parent), m_shared(std::make_shared<Shared>())
{
    m_images.setMaxCost(768); // tiles; about 200 MB decoded at most
    m_shared->config = config;
    if (!config.cacheFolder.isEmpty())
        m_shared->disk = std::make_unique<MapTileDiskCache>(config.cacheFolder,
                                                             config.cacheLimitBytes);
    for (int i = 0; i < std::max(1, config.threads); ++i) {
        m_shared->threads.emplace_back([shared = m_shared.get(), this] {
            for (;;) {
                QString quadkey;
                {
                    std::unique_lock<std::mutex> lock(shared->mutex);
                    shared->wake.wait(lock,
                                      [shared] { return shared->stopping || !shared->wanted.empty(); });
                    if (shared->stopping)
                        return;
                    quadkey = shared->wanted.front();
                    shared->wanted.pop_front();
                    shared->running.insert(quadkey);
                }
                const Outcome outcome = fetchTile(*shared, quadkey);
                {
                    std::lock_guard<std::mutex> lock(shared->mutex);
                    shared->running.erase(quadkey);
                    if (shared->stopping)
                        return;
                }
                // Runs on the window's thread; dropped if the source is gone by then.
                QMetaObject::invokeMethod(
                    this,
                    [this, quadkey, outcome] { finished(quadkey, outcome.image, outcome.reason); },
                    Qt::QueuedConnection);
            }
        });
    }
}

MapTileSource::~MapTileSource()
{
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->stopping = true;
        m_shared->wanted.clear();
    }
    m_shared->wake.notify_all();
    m_shared->threads.clear(); // joins them
}

void MapTileSource::request(const QStringList& quadkeys)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->wanted.clear();
        for (const QString& quadkey : quadkeys) {
            if (m_images.contains(quadkey) || m_shared->running.count(quadkey) > 0)
                continue;
            if (auto failed = m_failures.constFind(quadkey);
                failed != m_failures.cend() && now - failed->atMs < RetryAfterMs)
                continue;
            m_shared->wanted.push_back(quadkey);
        }
    }
    m_shared->wake.notify_all();
}

const QImage* MapTileSource::image(const QString& quadkey) const
{
    return m_images.object(quadkey);
}

QString MapTileSource::failure(const QString& quadkey) const
{
    return m_failures.value(quadkey).reason;
}

void MapTileSource::finished(const QString& quadkey, const QImage& image, const QString& reason)
{
    if (image.isNull()) {
        m_failures.insert(quadkey, {reason, QDateTime::currentMSecsSinceEpoch()});
        emit tileFailed(quadkey, reason);
        return;
    }
    m_failures.remove(quadkey);
    m_images.insert(quadkey, new QImage(image), 1);
    emit tileReady(quadkey);
}

namespace {

Outcome fetchTile(MapTileSource::Shared& shared, const QString& quadkey)
{
    Outcome outcome;
    if (shared.disk) {
        const QByteArray cached = shared.disk->read(quadkey);
        if (!cached.isEmpty() && outcome.image.loadFromData(cached, "JPEG"))
            return outcome;
    }
    const MapTileSource::Config& config = shared.config;
    http::HttpClient client;
    client.setTimeouts(config.connectTimeoutMs, config.stallTimeoutMs);
    client.setAbortCheck([&shared](long) {
        std::lock_guard<std::mutex> lock(shared.mutex);
        return shared.stopping;
    });
    if (config.proxy.useProxy) {
        QString error;
        const std::optional<http::ProxyEndpoint> proxy = clientProxyFor(config.proxy, &error);
        if (!proxy) {
            outcome.reason = error;
            return outcome;
        }
        client.setProxy(*proxy);
    }
    // The server digit spreads the tiles over the service's four names, as a job does.
    const int digit = quadkey.isEmpty() ? 0 : quadkey.back().unicode() % 4;
    const QByteArray url = tileUrl(digit, quadkey, config.urlTail);
    std::string body;
    try {
        client.get(url.toStdString(), body);
    } catch (const http::HttpError& error) {
        outcome.reason = QString::fromStdString(error.what()).replace(QStringLiteral("\r\n"),
                                                                      QStringLiteral(" "));
        return outcome;
    }
    const ReplyKind kind = classifyReply(body, client.responseHeader("X-VE-Tile-Info"));
    if (kind != ReplyKind::Tile) {
        outcome.reason =
            replyErrorText(kind, client.responseHeader("Content-Type"), body.size());
        return outcome;
    }
    const QByteArray bytes(body.data(), qsizetype(body.size()));
    if (!outcome.image.loadFromData(bytes, "JPEG")) {
        outcome.reason = QStringLiteral("Not a readable JPEG (%1 bytes)").arg(bytes.size());
        return outcome;
    }
    if (shared.disk)
        shared.disk->store(quadkey, bytes);
    return outcome;
}

} // namespace

} // namespace tavo
