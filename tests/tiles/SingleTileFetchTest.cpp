// The single-tile fetch without the window: how it reads the proxy port, where it stores the
// tile, the request it sends, a save that fails, and replies that hold no tile.

#include "QtPrinters.h"
#include "tiles/SingleTileFetch.h"
#include "tiles/TDownThread.h"

#include "TileServer.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>

namespace tavo {
namespace {

using tileserver::TileServer;

TEST(SingleTileFetchTest, PrepareReadsTheProxyPortOnlyWhenTheProxyIsUsed)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    SingleTileContext context;
    context.proxy.useProxy = true;
    context.proxy.server = QStringLiteral("proxy.local");
    context.proxy.port = QStringLiteral("$1F90"); // read as the program reads integers
    context.tileVersion = QStringLiteral("7");

    SingleTileFetch fetch;
    ASSERT_TRUE(fetch.prepare({"4", " 5", "3", dir.path()}, context))
        << qPrintable(fetch.message());
    EXPECT_EQ(fetch.filePath(), dir.path() + "/4_5.jpg");
    EXPECT_EQ(fetch.proxy().host, "proxy.local");
    EXPECT_EQ(fetch.proxy().port, 8080);

    context.proxy.useProxy = false;
    context.proxy.port = QStringLiteral("not a port");
    ASSERT_TRUE(fetch.prepare({"1", "0", "1", dir.path()}, context));
    EXPECT_FALSE(fetch.usesProxy());
    EXPECT_EQ(fetch.filePath(), dir.path() + "/1_0.jpg");
}

TEST(SingleTileFetchTest, FailureToSaveIsReportedAsAFailedFetch)
{
    TileServer server;
    SingleTileContext context;
    context.proxy.useProxy = true;
    context.proxy.server = QStringLiteral("127.0.0.1");
    context.proxy.port = QString::number(server.start(0));

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString folder = dir.path() + QStringLiteral("/gone");
    SingleTileFetch fetch;
    ASSERT_TRUE(fetch.prepare({"1", "1", "2", folder}, context));
    ASSERT_TRUE(QDir(folder).removeRecursively());

    EXPECT_EQ(fetch.fetchAndSave(), QStringLiteral("Failed to get the image."));
    EXPECT_EQ(server.requestCount(), 1) << "the tile was fetched; only the save failed";
}

TEST(SingleTileFetchTest, ReadsEveryProxyPortTextAsTheWorkersDo)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const struct
    {
        const char* port;
        int expected; // 0: refused
    } cases[] = {{"8080", 8080},   {"  8080", 8080}, {"+8080", 8080}, {"$1F90", 8080},
                 {"0x1F90", 8080}, {"0X1f90", 8080}, {"x1F90", 0},    {"X1F90", 0},
                 {"8080 ", 0},     {"80a", 0},       {"", 0},         {"0", 0},
                 {"65535", 65535}, {"65536", 0},     {"-1", 0},       {"$10000", 0}};
    for (const auto& c : cases) {
        ProxySettings proxy;
        proxy.useProxy = true;
        proxy.server = QStringLiteral("proxy.local");
        proxy.port = QString::fromUtf8(c.port);
        QString workerError;
        const std::optional<http::ProxyEndpoint> worker = clientProxyFor(proxy, &workerError);

        SingleTileContext context;
        context.proxy = proxy;
        SingleTileFetch fetch;
        const bool prepared = fetch.prepare({"4", "5", "3", dir.path()}, context);

        EXPECT_EQ(worker.has_value(), c.expected != 0) << c.port;
        EXPECT_EQ(prepared, worker.has_value()) << c.port;
        if (worker && prepared) {
            EXPECT_EQ(worker->port, c.expected) << c.port;
            EXPECT_EQ(fetch.proxy().port, worker->port) << c.port;
        } else if (!prepared && !worker) {
            EXPECT_EQ(fetch.message(), workerError) << c.port;
        }
    }
}

TEST(SingleTileFetchTest, TileVersionWithBlanksIsSentPercentEncoded)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    TileServer server;
    SingleTileContext context;
    context.proxy.useProxy = true;
    context.proxy.server = QStringLiteral("127.0.0.1");
    context.proxy.port = QString::number(server.start(0));
    context.tileVersion = QStringLiteral(" 123 ");

    SingleTileFetch fetch;
    ASSERT_TRUE(fetch.prepare({"4", "5", "3", dir.path()}, context));
    EXPECT_EQ(fetch.url(), "http://ecn.t1.tiles.virtualearth.net/tiles/a120.jpeg?g=%20123%20");
    EXPECT_EQ(fetch.fetchAndSave(), SingleTileFetch::savedText(dir.path() + "/"));
    ASSERT_EQ(server.requestCount(), 1);
    EXPECT_EQ(server.requests()[0].target, fetch.url());
}

TEST(SingleTileFetchTest, ReplyWithoutATileIsAFailureAndLeavesTheFileAlone)
{
    const std::string quadkey = "120"; // column 4, row 5, zoom 3
    const QByteArray earlier = QByteArrayLiteral("\xFF\xD8\xFF an earlier tile");
    const struct
    {
        const char* name;
        std::set<std::string> tileserver::Options::*fault;
    } cases[] = {
        {"html page", &tileserver::Options::htmlQuadkeys},
        {"empty body", &tileserver::Options::emptyQuadkeys},
        {"no imagery", &tileserver::Options::noTileQuadkeys},
    };
    TileServer server;
    SingleTileContext context;
    context.proxy.useProxy = true;
    context.proxy.server = QStringLiteral("127.0.0.1");
    context.proxy.port = QString::number(server.start(0));
    for (const auto& c : cases) {
        tileserver::Options options;
        (options.*c.fault).insert(quadkey);
        options.tileSize = 1302;
        server.setOptions(options);
        for (const bool fileBefore : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (fileBefore ? ", over a stored tile" : ""));
            server.clearRequests();
            QTemporaryDir dir;
            ASSERT_TRUE(dir.isValid());
            const QString path = dir.path() + QStringLiteral("/4_5.jpg");
            if (fileBefore) {
                QFile file(path);
                ASSERT_TRUE(file.open(QIODevice::WriteOnly));
                ASSERT_EQ(file.write(earlier), earlier.size());
            }

            SingleTileFetch fetch;
            ASSERT_TRUE(fetch.prepare({"4", "5", "3", dir.path()}, context));
            EXPECT_EQ(fetch.fetchAndSave(), QStringLiteral("Failed to get the image."));
            EXPECT_EQ(server.requestCount(), 1);
            const QStringList files = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
            if (fileBefore) {
                EXPECT_EQ(files, QStringList{QStringLiteral("4_5.jpg")});
                QFile file(path);
                ASSERT_TRUE(file.open(QIODevice::ReadOnly));
                EXPECT_EQ(file.readAll(), earlier);
            } else {
                EXPECT_TRUE(files.isEmpty()) << qPrintable(files.join(u' '));
            }
        }
    }
}

} // namespace
} // namespace tavo
