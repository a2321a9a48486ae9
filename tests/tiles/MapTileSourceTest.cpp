#include "tiles/MapTileSource.h"

#include "TileServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace tavo {
namespace {

using tileserver::TileServer;

MapTileSource::Config configFor(const TileServer& server, const QString& cacheFolder)
{
    MapTileSource::Config config;
    config.proxy.useProxy = true;
    config.proxy.server = QStringLiteral("127.0.0.1");
    config.proxy.port = QString::number(server.port());
    config.urlTail = QStringLiteral(".jpeg?g=1");
    config.cacheFolder = cacheFolder;
    return config;
}

// Tiles come through the proxy once and then from the disk cache; a tile the
// server refuses is reported with the reason.
TEST(MapTileSource, FetchesThroughTheProxyKeepsTilesOnDiskAndReportsFailures)
{
    tileserver::Options options;
    options.notFoundQuadkeys = {"13"};
    TileServer server(options);
    server.start();
    QTemporaryDir cache;
    const QString folder = cache.path() + QStringLiteral("/tiles/");
    {
        MapTileSource source(configFor(server, folder));
        QSignalSpy ready(&source, &MapTileSource::tileReady);
        QSignalSpy failed(&source, &MapTileSource::tileFailed);
        source.request({QStringLiteral("0"), QStringLiteral("12"), QStringLiteral("13")});
        ASSERT_TRUE(QTest::qWaitFor([&] { return ready.size() + failed.size() == 3; }, 10000));
        EXPECT_EQ(ready.size(), 2);
        ASSERT_EQ(failed.size(), 1);
        EXPECT_EQ(failed[0][0].toString(), QStringLiteral("13"));
        EXPECT_TRUE(failed[0][1].toString().contains(QStringLiteral("404")))
            << failed[0][1].toString().toStdString();
        EXPECT_EQ(source.image(QStringLiteral("12"))->size(), QSize(256, 256));
        EXPECT_FALSE(source.failure(QStringLiteral("13")).isEmpty());
        EXPECT_TRUE(QFileInfo::exists(folder + QStringLiteral("12.jpg")));
    }
    EXPECT_EQ(server.requestCount(), 3);

    // A new source (the dialog opened again) reads them from the disk.
    MapTileSource again(configFor(server, folder));
    QSignalSpy ready(&again, &MapTileSource::tileReady);
    again.request({QStringLiteral("0"), QStringLiteral("12")});
    ASSERT_TRUE(QTest::qWaitFor([&] { return ready.size() == 2; }, 10000));
    EXPECT_EQ(server.requestCount(), 3);
}

// The cache stays within its limit and lets go of what was used longest ago.
TEST(MapTileSource, DiskCacheDropsTheLeastRecentlyUsedBeyondItsLimit)
{
    QTemporaryDir dir;
    const QString folder = dir.path() + QStringLiteral("/");
    MapTileDiskCache cache(folder, 3000);
    const QByteArray bytes(1000, 'x');
    for (const char* quadkey : {"0", "1", "2"})
        cache.store(QString::fromLatin1(quadkey), bytes);
    EXPECT_EQ(cache.read(QStringLiteral("0")), bytes); // "1" is now the oldest
    cache.store(QStringLiteral("3"), bytes);
    EXPECT_EQ(cache.totalBytes(), 3000);
    QStringList kept = QDir(folder).entryList({QStringLiteral("*.jpg")}, QDir::Files, QDir::Name);
    EXPECT_EQ(kept, (QStringList{"0.jpg", "2.jpg", "3.jpg"}));

    // Opened again, it knows what the folder holds.
    MapTileDiskCache reopened(folder, 3000);
    EXPECT_EQ(reopened.totalBytes(), 3000);
    EXPECT_EQ(reopened.read(QStringLiteral("3")), bytes);
}

// A server that never answers does not hold the window: the source goes at
// once, its transfers ended by their abort check.
TEST(MapTileSource, GoesWhileItsRequestsHang)
{
    tileserver::Options options;
    options.delayMs = 600000;
    TileServer server(options);
    server.start();
    auto source = std::make_unique<MapTileSource>(configFor(server, QString()));
    source->request({QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2"),
                     QStringLiteral("3")});
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.requestCount() == 4; }, 10000));
    QElapsedTimer timer;
    timer.start();
    source.reset();
    EXPECT_LT(timer.elapsed(), 5000); // about a second: the abort check's period
}

} // namespace
} // namespace tavo
