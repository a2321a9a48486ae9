#include "glimpse/TileImageCache.h"

#include "engine/JobFolder.h"

#include <QBuffer>
#include <QImageReader>
#include <QMetaObject>

#include <algorithm>
#include <cmath>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace tavo::glimpse {

namespace {

// Decoders yield the processor to the window's thread: a frame must never
// wait for a decode. Linux keeps a nice value per thread.
void lowerThisThreadsPriority()
{
#ifdef Q_OS_LINUX
    thread_local bool lowered = false;
    if (!lowered) {
        ::setpriority(PRIO_PROCESS, id_t(::syscall(SYS_gettid)), 10);
        lowered = true;
    }
#endif
}

} // namespace

TileImageCache::TileImageCache(qint64 budgetBytes, QObject* parent)
    : QObject(parent), m_budgetBytes(budgetBytes)
{
    m_images.setMaxCost(qsizetype(std::max<qint64>(1, budgetBytes / 1024)));
    m_maxDecoders = coreCount();
}

TileImageCache::~TileImageCache()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop.cancel();
        m_queue.clear();
        ++m_generation;
    }
    m_workChanged.notify_all();
    m_decoders.clear(); // each one joined, before what they use goes
}

void TileImageCache::setFolder(const QString& folder)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_generation;
    m_queue.clear();
    m_inFlight.clear();
    m_sharedFolder = folder;
    m_folder = folder;
    m_images.clear();
    m_failed.clear();
}

int TileImageCache::levelForPixels(double pixels)
{
    int level = 0;
    while (level < MaxLevel && 256.0 / double(1 << (level + 1)) >= pixels)
        ++level;
    return level;
}

const QImage* TileImageCache::find(const TileKey& key)
{
    return m_images.object(key.packed());
}

const QImage* TileImageCache::findAny(const TileKey& key)
{
    if (const QImage* image = find(key))
        return image;
    // Prefer a sharper image, then a coarser one.
    for (int level = key.level - 1; level >= 0; --level)
        if (const QImage* image = find({key.x, key.y, level}))
            return image;
    for (int level = key.level + 1; level <= MaxLevel; ++level)
        if (const QImage* image = find({key.x, key.y, level}))
            return image;
    return nullptr;
}

void TileImageCache::request(const std::vector<TileKey>& keys)
{
    std::size_t wanted = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // What was queued and not started is no longer wanted, unless asked again.
        for (const TileKey& old : m_queue)
            m_inFlight.remove(old.packed());
        m_queue.clear();
        for (const TileKey& key : keys) {
            const quint64 packed = key.packed();
            if (m_images.contains(packed) || m_failed.contains(packed) ||
                m_inFlight.contains(packed))
                continue;
            m_inFlight.insert(packed);
            m_queue.push_back(key);
        }
        wanted = std::min<std::size_t>(std::size_t(m_maxDecoders), m_queue.size());
    }
    m_workChanged.notify_all();
    while (m_decoders.size() < wanted)
        m_decoders.emplace_back([this] { runDecoder(); });
}

int TileImageCache::pending() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return int(m_inFlight.size());
}

void TileImageCache::runDecoder()
{
    lowerThisThreadsPriority();
    for (;;) {
        TileKey key;
        QString folder;
        quint64 generation;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_workChanged.wait(lock, [this] { return !m_queue.empty() || m_stop.isCancelled(); });
            if (m_stop.isCancelled())
                return;
            key = m_queue.front();
            m_queue.pop_front();
            folder = m_sharedFolder;
            generation = m_generation;
        }
        QImage image = decode(folder + tileFileName(key.x, key.y), key.level);
        QMetaObject::invokeMethod(
            this,
            [this, generation, key, image = std::move(image)]() mutable {
                deliver(generation, key, std::move(image));
            },
            Qt::QueuedConnection);
    }
}

void TileImageCache::deliver(quint64 generation, TileKey key, QImage image)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (generation != m_generation)
            return;
        m_inFlight.remove(key.packed());
    }
    if (image.isNull()) {
        m_failed.insert(key.packed());
    } else {
        const qsizetype cost = std::max<qsizetype>(1, image.sizeInBytes() / 1024);
        m_images.insert(key.packed(), new QImage(std::move(image)), cost);
    }
    emit imageReady();
}

QImage TileImageCache::decode(const QString& path, int level)
{
    // Only a regular file is read (a FIFO named like a tile would block the
    // decoder for good), and no more of it than a tile can be.
    QByteArray bytes;
    if (!readRegularFile(path, MaxTileReadBytes, bytes))
        return QImage();
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "jpeg");
    reader.setAutoTransform(false);
    const QSize size = reader.size();
    if (!size.isValid())
        return QImage();
    if (level > 0) {
        const int divisor = 1 << level;
        reader.setScaledSize(QSize(std::max(1, (size.width() + divisor - 1) / divisor),
                                   std::max(1, (size.height() + divisor - 1) / divisor)));
    }
    QImage image = reader.read();
    if (image.isNull())
        return image;
    if (image.format() != QImage::Format_RGB32 &&
        image.format() != QImage::Format_ARGB32_Premultiplied)
        image = image.convertToFormat(QImage::Format_RGB32);
    return image;
}

} // namespace tavo::glimpse
