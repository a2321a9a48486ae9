#pragma once

#include "engine/ProxySettings.h"

#include <QCache>
#include <QHash>
#include <QImage>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

namespace tavo {

// $XDG_CACHE_HOME/tavo/tiles/ (~/.cache/tavo/tiles/ when the variable is
// unset or not absolute), with a trailing '/'.
QString mapTileCacheFolder();

// The imagery service's tiles for a map on the screen, by quadkey: fetched
// with the program's HTTP client through the proxy of the settings, on
// threads of their own (the window's thread never waits for the network),
// kept in a bounded disk cache (least recently used out) and, decoded, in
// memory.
class MapTileSource final : public QObject
{
    Q_OBJECT
public:
    struct Config
    {
        ProxySettings proxy;
        QString urlTail;     // the text after the quadkey, as for the job's tiles
        QString cacheFolder; // ends with '/'; empty: no disk cache
        qint64 cacheLimitBytes = 200LL * 1000 * 1000;
        int threads = 4;
        long connectTimeoutMs = 8000;
        long stallTimeoutMs = 15000;
    };

    explicit MapTileSource(const Config& config, QObject* parent = nullptr);
    // Drops what is still wanted and ends the transfers that run (within about
    // a second), then waits for the threads.
    ~MapTileSource() override;

    // The tiles the map wants now, the most wanted first. Replaces the earlier
    // list: what was wanted and has not started is forgotten. Tiles in memory,
    // being fetched, or failed less than RetryAfterMs ago are skipped.
    void request(const QStringList& quadkeys);

    // The decoded tile, or null.
    const QImage* image(const QString& quadkey) const;
    // Why the tile could not be had; empty when it has not failed.
    QString failure(const QString& quadkey) const;

    static constexpr qint64 RetryAfterMs = 20000;

    struct Shared; // what the fetching threads share with the source

signals:
    void tileReady(const QString& quadkey);
    void tileFailed(const QString& quadkey, const QString& reason);

private:
    void finished(const QString& quadkey, const QImage& image, const QString& reason);

    std::shared_ptr<Shared> m_shared;
    QCache<QString, QImage> m_images;
    struct Failure
    {
        QString reason;
        qint64 atMs = 0;
    };
    QHash<QString, Failure> m_failures;
};

// The disk cache of MapTileSource: one file per quadkey; when the files pass
// the limit, the least recently read or written go. Safe from any thread.
class MapTileDiskCache final
{
public:
    MapTileDiskCache(const QString& folder, qint64 limitBytes);
    // The stored bytes (and the tile counts as just used), or empty.
    QByteArray read(const QString& quadkey);
    void store(const QString& quadkey, const QByteArray& bytes);
    qint64 totalBytes();

private:
    void loadIndex();
    qint64 tick();

    struct Entry
    {
        qint64 bytes = 0;
        qint64 usedMs = 0;
    };
    QString m_folder;
    qint64 m_limit;
    bool m_indexed = false;
    qint64 m_total = 0;
    qint64 m_clock = 0;
    QHash<QString, Entry> m_entries;
    QMutex m_mutex;
};

} // namespace tavo
