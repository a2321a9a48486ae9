#pragma once

#include <QCache>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QString>
#include "engine/TaskThread.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

namespace tavo::glimpse {

// One decoded tile image: a tile at one of four sizes, the file's full size
// (level 0) or scaled down by 2, 4 or 8 (levels 1 to 3; JPEG decodes those
// at a fraction of the cost).
struct TileKey
{
    qint32 x = 0;
    qint32 y = 0;
    int level = 0;

    quint64 packed() const
    {
        return (quint64(quint32(x)) << 33) | (quint64(quint32(y)) << 2) | quint64(level & 3);
    }
    friend bool operator==(const TileKey& a, const TileKey& b) { return a.packed() == b.packed(); }
};

// Decoded tile images: a least-recently-used cache bounded in bytes, filled
// by decoding threads that decode only what the window asked for last.
//
// request() and the lookups run on the owner's thread; decoding runs on the
// decoding threads. A finished image reaches the cache through the owner's event loop
// and is announced by imageReady().
class TileImageCache final : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 DefaultBudgetBytes = 160LL * 1024 * 1024;
    static constexpr int MaxLevel = 3;

    explicit TileImageCache(qint64 budgetBytes = DefaultBudgetBytes, QObject* parent = nullptr);
    ~TileImageCache() override;

    // Forgets every image and pending request; images are then read from
    // `folder` (ending in '/').
    void setFolder(const QString& folder);
    QString folder() const { return m_folder; }

    // The level that suits a tile drawn `pixels` wide (for 256-pixel tiles).
    static int levelForPixels(double pixels);

    // The image of a tile at `level`, or null. Marks it as recently used.
    const QImage* find(const TileKey& key);
    // The image at `level`, or else at the nearest other level held; null when none.
    const QImage* findAny(const TileKey& key);
    // True when the file could not be decoded (it is not asked for again).
    bool failed(const TileKey& key) const { return m_failed.contains(key.packed()); }

    // The tiles to decode now, most wanted first; replaces what was asked
    // before and not yet started. Held and failed images are skipped.
    void request(const std::vector<TileKey>& keys);
    // Requests asked for and not delivered yet.
    int pending() const;

    qint64 budgetBytes() const { return m_budgetBytes; }
    qint64 usedBytes() const { return qint64(m_images.totalCost()) * 1024; }
    int imageCount() const { return int(m_images.size()); }

signals:
    void imageReady();

private:
    void runDecoder();
    void deliver(quint64 generation, TileKey key, QImage image);
    static QImage decode(const QString& path, int level);

    qint64 m_budgetBytes;
    QString m_folder;
    QCache<quint64, QImage> m_images; // cost in KiB
    QSet<quint64> m_failed;
    // Started as the requests need them, up to one a core; they wait for
    // work until the cache goes.
    std::vector<TaskThread> m_decoders;
    int m_maxDecoders = 1;

    // Shared with the decoders.
    mutable std::mutex m_mutex;
    std::deque<TileKey> m_queue;
    QSet<quint64> m_inFlight; // queued, decoding or on the way back
    QString m_sharedFolder;
    quint64 m_generation = 0;
    std::condition_variable m_workChanged;
    Feedback m_stop;
};

} // namespace tavo::glimpse
