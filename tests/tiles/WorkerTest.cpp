#include "FullDisk.h"
#include "QtPrinters.h"
#include "TileServer.h"
#include "engine/TaskThread.h"
#include "engine/TileMath.h"
#include "tiles/TDownThread.h"
#include "tiles/TileReply.h"

#include "../http/NetTestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <vector>

using namespace tavo;
using tavo::tileserver::TileServer;

namespace {

// The workers post nothing to an event loop of their own, but the blocking host
// needs an application object on the main thread.
class ApplicationEnvironment final : public ::testing::Environment
{
public:
    void SetUp() override
    {
        static int argc = 1;
        static char name[] = "tavo_tiles_tests";
        static char* argv[] = {name, nullptr};
        m_app = std::make_unique<QCoreApplication>(argc, argv);
    }
    void TearDown() override { m_app.reset(); }

private:
    std::unique_ptr<QCoreApplication> m_app;
};

[[maybe_unused]] auto* const environment =
    ::testing::AddGlobalTestEnvironment(new ApplicationEnvironment);

const QString Banned =
    QStringLiteral("Error: may be your IP is banned now.\nPlease try again later.");
const QString NotFound =
    QStringLiteral("Error: the image is not found on server.\nPlease enter a small zoom to try.");

// Records a worker's reports from any thread.
class RecordingHost final : public WorkerHost
{
public:
    void AppendLogLine(const QString& line) override
    {
        std::function<void(const QString&)> hook;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lines.push_back(line);
            hook = m_onLine;
        }
        if (hook)
            hook(line);
    }
    void WorkerDone(int threadIndex) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_done.push_back(threadIndex);
        m_changed.notify_all();
    }

    void onLine(std::function<void(const QString&)> hook)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_onLine = std::move(hook);
    }
    QStringList lines() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    std::vector<int> done() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_done;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    QStringList m_lines;
    std::vector<int> m_done;
    std::function<void(const QString&)> m_onLine;
};

tileserver::Options missingTiles(std::set<std::string> quadkeys)
{
    tileserver::Options options;
    options.notFoundQuadkeys = std::move(quadkeys);
    return options;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray bytes(const std::string& text)
{
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

std::string tileUrl(int server, const std::string& quadkey)
{
    return "http://ecn.t" + std::to_string(server) + ".tiles.virtualearth.net/tiles/a" + quadkey +
           ".jpeg?g=7";
}

QString okLine(int thread, qint64 seq, int x, int y)
{
    return QStringLiteral("Thread%1:seq=%2, file=%3-%4.jpg  ->ok!")
        .arg(thread)
        .arg(seq)
        .arg(x)
        .arg(y);
}

QString finishedLine(int thread)
{
    return QStringLiteral("Thread%1 Finished.").arg(thread);
}

struct Rect
{
    qint32 minX, maxX, minY, maxY, zoom;
};

class WorkerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_port = m_server.start();
        ASSERT_GT(m_port, 0);
        ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("Job")));
    }

    QString saveFolder() const { return m_dir.path() + QLatin1Char('/'); }
    QString tilePath(int x, int y) const
    {
        return saveFolder() + QStringLiteral("Job/%1_%2.jpg").arg(x).arg(y);
    }

    WorkerConfig config(int threadIndex, int port = 0) const
    {
        WorkerConfig result;
        result.threadIndex = threadIndex;
        result.urlTail = QStringLiteral(".jpeg?g=7");
        result.proxy.useProxy = true;
        result.proxy.server = QStringLiteral("127.0.0.1");
        result.proxy.port = QString::number(port ? port : m_port);
        result.programFolder = QStringLiteral(TAVO_RUNTIME_DIR "/");
        // Failures in a row pause a millisecond, doubling: a test of ten of them stays short.
        result.limits.failurePauseMs = 1;
        return result;
    }

    std::unique_ptr<TDownThread> makeWorker(const Rect& r, int threadCount, const WorkerConfig& cfg,
                                            WorkerHost* host, qint32 resumeX = 0,
                                            qint32 resumeY = 0,
                                            const QString& project = QStringLiteral("Job"))
    {
        auto worker = std::make_unique<TDownThread>(
            WorkerJob{{r.minX, r.maxX, r.minY, r.maxY}, r.zoom, threadCount, saveFolder(), project,
                      {resumeX, resumeY}},
            cfg, host);
        worker->start();
        return worker;
    }

    // Runs one worker to its end and returns its log.
    QStringList runOne(const Rect& r, const WorkerConfig& cfg, qint32 resumeX = 0,
                       qint32 resumeY = 0, TilePosition* position = nullptr)
    {
        RecordingHost host;
        auto worker = makeWorker(r, 1, cfg, &host, resumeX, resumeY);
        EXPECT_TRUE(worker->join(QDeadlineTimer(15000)));
        EXPECT_EQ(host.done(), std::vector<int>{cfg.threadIndex});
        if (position)
            *position = worker->currentPosition();
        return host.lines();
    }

    std::vector<std::string> targets() const
    {
        std::vector<std::string> result;
        for (const auto& request : m_server.requests())
            result.push_back(request.target);
        return result;
    }

    QTemporaryDir m_dir;
    TileServer m_server;
    int m_port = 0;
};

// --- The walk: order, round-robin deal, server digits ------------------------------------

TEST_F(WorkerTest, OneTileLogsOkAndFinishedAndStoresTheExactBytes)
{
    TilePosition position;
    const QStringList lines = runOne({4, 4, 5, 5, 3}, config(0), 0, 0, &position);
    EXPECT_EQ(lines, (QStringList{okLine(1, 1, 4, 5), finishedLine(1)}));
    EXPECT_EQ(targets(), (std::vector<std::string>{tileUrl(1, "120")}));
    EXPECT_EQ(readFile(tilePath(4, 5)), bytes(TileServer::tileBody("120")));
    EXPECT_EQ(position.x, 4);
    EXPECT_EQ(position.y, 5);
    EXPECT_EQ(QDir(saveFolder() + "Job").entryList(QDir::Files), QStringList{"4_5.jpg"});
}

TEST_F(WorkerTest, OneWorkerWalksColumnsThenRowsFromTheSouthWithServers1230)
{
    const Rect r{100, 101, 200, 201, 10};
    const QStringList lines = runOne(r, config(0));
    EXPECT_EQ(lines,
              (QStringList{okLine(1, 1, 100, 200), okLine(1, 2, 100, 201), okLine(1, 3, 101, 200),
                           okLine(1, 4, 101, 201), finishedLine(1)}));
    EXPECT_EQ(targets(), (std::vector<std::string>{tileUrl(1, MakeQuadkeyString(100, 200, 10)),
                                                   tileUrl(2, MakeQuadkeyString(100, 201, 10)),
                                                   tileUrl(3, MakeQuadkeyString(101, 200, 10)),
                                                   tileUrl(0, MakeQuadkeyString(101, 201, 10))}));
}

TEST_F(WorkerTest, ThreeWorkersDealTwoByThreeRoundRobin)
{
    const Rect r{10, 11, 20, 22, 13};
    RecordingHost hosts[3];
    std::vector<std::unique_ptr<TDownThread>> workers;
    for (int i = 0; i < 3; ++i)
        workers.push_back(makeWorker(r, 3, config(i), &hosts[i]));
    for (auto& worker : workers)
        ASSERT_TRUE(worker->join(QDeadlineTimer(15000)));

    // Thread1 takes positions 3 and 6, Thread2 1 and 4, Thread3 2 and 5.
    EXPECT_EQ(hosts[0].lines(),
              (QStringList{okLine(1, 3, 10, 22), okLine(1, 6, 11, 22), finishedLine(1)}));
    EXPECT_EQ(hosts[1].lines(),
              (QStringList{okLine(2, 1, 10, 20), okLine(2, 4, 11, 20), finishedLine(2)}));
    EXPECT_EQ(hosts[2].lines(),
              (QStringList{okLine(3, 2, 10, 21), okLine(3, 5, 11, 21), finishedLine(3)}));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(hosts[i].done(), std::vector<int>{i});

    // Servers: Thread1 3 then 2, Thread2 1 then 0, Thread3 2 then 1.
    std::vector<std::string> got = targets();
    std::sort(got.begin(), got.end());
    std::vector<std::string> expected = {
        tileUrl(3, MakeQuadkeyString(10, 22, 13)), tileUrl(2, MakeQuadkeyString(11, 22, 13)),
        tileUrl(1, MakeQuadkeyString(10, 20, 13)), tileUrl(0, MakeQuadkeyString(11, 20, 13)),
        tileUrl(2, MakeQuadkeyString(10, 21, 13)), tileUrl(1, MakeQuadkeyString(11, 21, 13))};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(got, expected);
    EXPECT_EQ(workers[0]->currentPosition().x, 11);
    EXPECT_EQ(workers[0]->currentPosition().y, 22);
}

TEST_F(WorkerTest, ThreeWorkersDownloadAThreeByFourRectangleAtZoom13)
{
    const Rect r{6742, 6744, 5087, 5090, 13};
    RecordingHost host;
    std::vector<std::unique_ptr<TDownThread>> workers;
    for (int i = 0; i < 3; ++i)
        workers.push_back(makeWorker(r, 3, config(i), &host));
    for (auto& worker : workers)
        ASSERT_TRUE(worker->join(QDeadlineTimer(15000)));

    std::vector<int> done = host.done();
    std::sort(done.begin(), done.end());
    EXPECT_EQ(done, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(host.lines().size(), 12 + 3);
    EXPECT_EQ(m_server.requestCount(), 12);
    for (int x = 6742; x <= 6744; ++x) {
        for (int y = 5087; y <= 5090; ++y) {
            EXPECT_EQ(readFile(tilePath(x, y)),
                      bytes(TileServer::tileBody(MakeQuadkeyString(x, y, 13))))
                << x << "_" << y;
        }
    }
    EXPECT_EQ(QDir(saveFolder() + "Job").entryList(QDir::Files).size(), 12);
}

TEST_F(WorkerTest, PositionsBeyond2To31AreNumberedIn64Bits)
{
    // 65536 x 65536 positions; resuming two before the end leaves the last two.
    const Rect r{0, 65535, 0, 65535, 16};
    const QStringList lines = runOne(r, config(0), 65535, 65533);
    EXPECT_EQ(lines, (QStringList{okLine(1, 4294967295LL, 65535, 65534),
                                  okLine(1, 4294967296LL, 65535, 65535), finishedLine(1)}));
    EXPECT_EQ(targets(),
              (std::vector<std::string>{tileUrl(3, MakeQuadkeyString(65535, 65534, 16)),
                                        tileUrl(0, MakeQuadkeyString(65535, 65535, 16))}));
}

// --- Resume ---------------------------------------------------------------------------------

TEST_F(WorkerTest, ResumeAtFirstPositionSkipsExactlyOne)
{
    const QStringList lines = runOne({100, 101, 200, 201, 10}, config(0), 100, 200);
    EXPECT_EQ(lines, (QStringList{okLine(1, 2, 100, 201), okLine(1, 3, 101, 200),
                                  okLine(1, 4, 101, 201), finishedLine(1)}));
    EXPECT_EQ(m_server.requests().front().target, tileUrl(2, MakeQuadkeyString(100, 201, 10)));
}

TEST_F(WorkerTest, ResumeWithAZeroCoordinateRestarts)
{
    const Rect r{0, 1, 0, 1, 10};
    EXPECT_EQ(runOne(r, config(0), 0, 1).size(), 4 + 1);
    m_server.clearRequests();
    EXPECT_EQ(runOne(r, config(0), 1, 0).size(), 4 + 1);
    EXPECT_EQ(m_server.requestCount(), 4);
}

TEST_F(WorkerTest, ResumeBeyondTheEndOnlyFinishes)
{
    TilePosition position{-1, -1};
    const QStringList lines = runOne({100, 101, 200, 201, 10}, config(0), 500, 500, &position);
    EXPECT_EQ(lines, QStringList{finishedLine(1)});
    EXPECT_EQ(m_server.requestCount(), 0);
    EXPECT_EQ(position.x, 0);
    EXPECT_EQ(position.y, 0);
}

TEST_F(WorkerTest, ResumedWorkerTakesOnlyItsOwnLaterPositions)
{
    // Worker index 1 of 2 owns the odd positions; resuming after position 3 leaves 5.
    RecordingHost host;
    const Rect r{0, 2, 1, 2, 10}; // 6 positions: (0,1) (0,2) (1,1) (1,2) (2,1) (2,2)
    auto worker = makeWorker(r, 2, config(1), &host, 1, 1);
    ASSERT_TRUE(worker->join(QDeadlineTimer(15000)));
    EXPECT_EQ(host.lines(), (QStringList{okLine(2, 5, 2, 1), finishedLine(2)}));
}

// --- Failed fetches -------------------------------------------------------------------------

TEST_F(WorkerTest, NotFoundGivesErrorLineExplanationAndPlaceholder)
{
    const std::string missing = MakeQuadkeyString(100, 200, 10);
    m_server.setOptions(missingTiles({missing}));
    TilePosition position;
    const QStringList lines = runOne({100, 100, 200, 201, 10}, config(0), 0, 0, &position);
    EXPECT_EQ(lines, (QStringList{QStringLiteral("Thread1 HTTP/1.1 404 Not Found->") +
                                      QString::fromStdString(missing),
                                  NotFound, QStringLiteral("Thread1:100-200 got a blank image!"),
                                  okLine(1, 2, 100, 201), finishedLine(1)}));
    EXPECT_EQ(readFile(tilePath(100, 200)),
              readFile(QStringLiteral(TAVO_RUNTIME_DIR "/blankimg/blank.jpg")));
    EXPECT_FALSE(readFile(tilePath(100, 200)).isEmpty());
    EXPECT_EQ(position.x, 100);
    EXPECT_EQ(position.y, 201);
}

TEST_F(WorkerTest, PlaceholderNeverReplacesAnExistingFile)
{
    m_server.setOptions(missingTiles({MakeQuadkeyString(100, 200, 10)}));
    {
        QFile old(tilePath(100, 200));
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("earlier tile");
    }
    const QStringList lines = runOne({100, 100, 200, 200, 10}, config(0));
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[2], QStringLiteral("Thread1:100-200 got a blank image!"));
    EXPECT_EQ(readFile(tilePath(100, 200)), QByteArray("earlier tile"));
    EXPECT_EQ(QDir(saveFolder() + "Job").entryList(QDir::Files), QStringList{"100_200.jpg"});
}

TEST_F(WorkerTest, TileIsReplacedAsAWholeNotRewrittenInPlace)
{
    // An existing tile is replaced. It is also reachable under another name: a
    // new file takes the tile's name, the old contents stay intact under the other.
    const QString other = saveFolder() + QStringLiteral("other.jpg");
    {
        QFile old(other);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("old tile");
    }
    ASSERT_EQ(
        ::link(QFile::encodeName(other).constData(), QFile::encodeName(tilePath(4, 5)).constData()),
        0);
    runOne({4, 4, 5, 5, 3}, config(0));
    EXPECT_EQ(readFile(tilePath(4, 5)), bytes(TileServer::tileBody("120")));
    EXPECT_EQ(readFile(other), QByteArray("old tile"));
}

TEST_F(WorkerTest, ForbiddenEndsTheWorkerWithoutRecordingThePosition)
{
    tileserver::Options options;
    options.refuseFromRequest = 1;
    m_server.setOptions(options);
    TilePosition position{-1, -1};
    const QStringList lines = runOne({100, 101, 200, 201, 10}, config(0), 0, 0, &position);
    EXPECT_EQ(lines, (QStringList{QStringLiteral("Thread1 HTTP/1.1 403 Forbidden->") +
                                      MakeQuadkey(100, 200, 10),
                                  Banned, finishedLine(1)}));
    EXPECT_EQ(m_server.requestCount(), 1);
    EXPECT_EQ(position.x, 0);
    EXPECT_EQ(position.y, 0);
    EXPECT_FALSE(QFile::exists(tilePath(100, 200)));
}

TEST_F(WorkerTest, RedirectIsARefusalAndKeepsTheLastFinishedPosition)
{
    tileserver::Options options;
    options.refuseFromRequest = 2;
    options.refuseStatus = 302;
    m_server.setOptions(options);
    TilePosition position;
    const QStringList lines = runOne({100, 101, 200, 201, 10}, config(0), 0, 0, &position);
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0], okLine(1, 1, 100, 200));
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("Thread1 HTTP/1.1 302")));
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral("->") + MakeQuadkey(100, 201, 10)));
    EXPECT_EQ(lines[2], Banned);
    EXPECT_EQ(lines[3], finishedLine(1));
    EXPECT_EQ(position.x, 100);
    EXPECT_EQ(position.y, 200);
    EXPECT_EQ(m_server.requestCount(), 2); // the redirect is not followed
}

TEST_F(WorkerTest, AServerErrorIsAFailedFetchWhateverNumbersItsStatusLineHolds)
{
    // A server that names the tile in its status line ("500 Tile 10/302/6 not
    // rendered") gives no refusal, no missing tile and no connection reset:
    // only the status and the socket error number tell those.
    const struct
    {
        const char* name;
        qint32 x, zoom;
    } cases[] = {
        {"a column like a redirect", 302, 10},
        {"a column like a refusal", 403, 10},
        {"a column like a missing tile", 404, 10},
        {"a column like a connection reset", 10054, 14},
    };
    for (const auto& c : cases) {
        tileserver::Options options;
        options.unrenderedQuadkeys = {MakeQuadkeyString(c.x, 6, c.zoom)};
        m_server.setOptions(options);
        m_server.clearRequests();
        TilePosition position;
        const QStringList lines = runOne({c.x, c.x, 5, 6, c.zoom}, config(0), 0, 0, &position);
        const QString x = QString::number(c.x);
        EXPECT_EQ(lines, (QStringList{okLine(1, 1, c.x, 5),
                                      QStringLiteral("Thread1 HTTP/1.1 500 Tile %1/%2/6 not rendered->")
                                              .arg(c.zoom)
                                              .arg(x) +
                                          MakeQuadkey(c.x, 6, c.zoom),
                                      QStringLiteral("Thread1:%1-6 got a blank image!").arg(x),
                                      finishedLine(1)}))
            << c.name;
        EXPECT_EQ(m_server.requestCount(), 2) << c.name;
        // A failed fetch: a continued job asks for the tile again.
        EXPECT_EQ(position, (TilePosition{c.x, 5})) << c.name;
    }
}

TEST_F(WorkerTest, ARefusedWorkerDoesNotStopTheOthers)
{
    // Positions (0,1) (0,2) (1,1) (1,2); Thread1 takes 2 and 4, Thread2 1 and 3.
    const Rect r{0, 1, 1, 2, 10};
    tileserver::Options options;
    options.refusedQuadkeys = {MakeQuadkeyString(0, 2, 10)};
    m_server.setOptions(options);
    RecordingHost refused, served;
    auto first = makeWorker(r, 2, config(0), &refused);
    auto second = makeWorker(r, 2, config(1), &served);
    ASSERT_TRUE(first->join(QDeadlineTimer(15000)));
    ASSERT_TRUE(second->join(QDeadlineTimer(15000)));
    EXPECT_EQ(refused.lines(), (QStringList{QStringLiteral("Thread1 HTTP/1.1 403 Forbidden->") +
                                                MakeQuadkey(0, 2, 10),
                                            Banned, finishedLine(1)}));
    EXPECT_EQ(served.lines(),
              (QStringList{okLine(2, 1, 0, 1), okLine(2, 3, 1, 1), finishedLine(2)}));
    EXPECT_EQ(refused.done(), std::vector<int>{0});
    EXPECT_EQ(served.done(), std::vector<int>{1});
    EXPECT_EQ(first->currentPosition().x, 0);
    EXPECT_EQ(m_server.requestCount(), 3);
}

TEST_F(WorkerTest, ConnectionResetIsRetriedSilently)
{
    tileserver::Options options;
    options.resetRequests = {1, 2};
    m_server.setOptions(options);
    const QStringList lines = runOne({4, 4, 5, 5, 3}, config(0));
    EXPECT_EQ(lines, (QStringList{okLine(1, 1, 4, 5), finishedLine(1)}));
    EXPECT_EQ(m_server.requestCount(), 3);
    EXPECT_EQ(readFile(tilePath(4, 5)), bytes(TileServer::tileBody("120")));
}

TEST_F(WorkerTest, EndlessResetsAreBoundedAndCostTheTile)
{
    tileserver::Options options;
    for (int i = 1; i <= 100; ++i)
        options.resetRequests.insert(i);
    m_server.setOptions(options);
    TilePosition position;
    const QStringList lines = runOne({4, 4, 5, 6, 3}, config(0), 0, 0, &position);
    ASSERT_EQ(lines.size(), 5);
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("Thread1 Socket Error # 10054"))) << lines[0];
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("->120")));
    EXPECT_EQ(lines[1], QStringLiteral("Thread1:4-5 got a blank image!"));
    EXPECT_TRUE(lines[2].startsWith(QStringLiteral("Thread1 Socket Error # 10054")));
    EXPECT_EQ(lines[3], QStringLiteral("Thread1:4-6 got a blank image!"));
    EXPECT_EQ(lines[4], finishedLine(1));
    EXPECT_EQ(m_server.requestCount(), 2 * 6); // one try and five retries per tile
    // No tile was stored: the placeholders do not count as done.
    EXPECT_EQ(position, TilePosition{});
}

TEST_F(WorkerTest, StopDuringResetRetriesLeavesTheTileUndone)
{
    tileserver::Options options;
    for (int i = 1; i <= 100; ++i)
        options.resetRequests.insert(i);
    options.delayMs = 100;
    m_server.setOptions(options);
    RecordingHost host;
    auto worker = makeWorker({4, 4, 5, 5, 3}, 1, config(0), &host);
    (void)QTest::qWaitFor([this] { return m_server.requestCount() >= 2; }, 5000);
    worker->Terminate();
    ASSERT_TRUE(worker->join(QDeadlineTimer(5000)));
    EXPECT_EQ(host.lines(), QStringList{finishedLine(1)});
    EXPECT_LT(m_server.requestCount(), 6);
    EXPECT_EQ(worker->currentPosition().x, 0);
    EXPECT_FALSE(QFile::exists(tilePath(4, 5)));
}

// --- Stop and pause -------------------------------------------------------------------------

TEST_F(WorkerTest, StopDuringAFetchFinishesThatTileThenEnds)
{
    tileserver::Options options;
    options.delayMs = 300;
    m_server.setOptions(options);
    RecordingHost host;
    auto worker = makeWorker({0, 0, 1, 10, 10}, 1, config(0), &host);
    (void)QTest::qWaitFor([this] { return m_server.requestCount() >= 1; }, 5000);
    worker->Terminate();
    ASSERT_TRUE(worker->join(QDeadlineTimer(5000)));
    EXPECT_EQ(host.lines(), (QStringList{okLine(1, 1, 0, 1), finishedLine(1)}));
    EXPECT_EQ(m_server.requestCount(), 1);
    EXPECT_TRUE(QFile::exists(tilePath(0, 1)));
    EXPECT_EQ(worker->currentPosition().y, 1);
}

TEST_F(WorkerTest, PauseFollowsStoredTilesOnly)
{
    WorkerConfig cfg = config(0);
    cfg.sleepSeconds = 1;
    QElapsedTimer elapsed;
    elapsed.start();
    runOne({4, 4, 5, 5, 3}, cfg);
    EXPECT_GE(elapsed.elapsed(), 1000);

    m_server.setOptions(missingTiles({"120"})); // the same tile is now missing: no pause
    elapsed.restart();
    const QStringList lines = runOne({4, 4, 5, 5, 3}, cfg);
    EXPECT_EQ(lines.size(), 4);
    EXPECT_LT(elapsed.elapsed(), 900);
}

TEST_F(WorkerTest, StopEndsALongPausePromptlyAndKeepsTheTile)
{
    WorkerConfig cfg = config(0);
    cfg.sleepSeconds = 60;
    RecordingHost host;
    QElapsedTimer elapsed;
    elapsed.start();
    auto worker = makeWorker({0, 0, 1, 3, 10}, 1, cfg, &host);
    TDownThread* raw = worker.get();
    host.onLine([raw](const QString& line) {
        if (line.endsWith(QStringLiteral("->ok!")))
            raw->Terminate();
    });
    ASSERT_TRUE(worker->join(QDeadlineTimer(10000)));
    EXPECT_LT(elapsed.elapsed(), 5000);
    EXPECT_EQ(host.lines(), (QStringList{okLine(1, 1, 0, 1), finishedLine(1)}));
    EXPECT_TRUE(QFile::exists(tilePath(0, 1)));
}

TEST_F(WorkerTest, DestroyingARunningWorkerStopsAndWaits)
{
    tileserver::Options options;
    options.delayMs = 100;
    m_server.setOptions(options);
    RecordingHost host;
    auto worker = makeWorker({0, 0, 1, 50, 10}, 1, config(0), &host);
    ASSERT_TRUE(QTest::qWaitFor([this] { return m_server.requestCount() >= 1; }, 5000));
    worker.reset();
    EXPECT_EQ(host.done(), std::vector<int>{0});
    EXPECT_EQ(host.lines().last(), finishedLine(1));
    EXPECT_LT(host.lines().size(), 10);
}

// --- Position published as one pair -------------------------------------------------------

TEST_F(WorkerTest, PositionIsNeverTornAcrossAColumnChange)
{
    // Sampled while the worker runs, positions must only move forward in walk
    // order; a column of one tile with the row of another would step back.
    const Rect r{1, 40, 1, 5, 10};
    RecordingHost host;
    auto worker = makeWorker(r, 1, config(0), &host, 0, 0);
    qint64 last = -1;
    int samples = 0;
    while (!worker->isFinished()) {
        const TilePosition p = worker->currentPosition();
        const qint64 order = p.x == 0 ? -1 : qint64(p.x - r.minX) * 5 + (p.y - r.minY);
        ASSERT_GE(order, last) << p.x << "," << p.y;
        ASSERT_TRUE(p.x == 0 || (p.y >= r.minY && p.y <= r.maxY));
        last = order;
        ++samples;
        QThread::yieldCurrentThread();
    }
    EXPECT_TRUE(worker->join(QDeadlineTimer(15000)));
    EXPECT_EQ(worker->currentPosition().x, 40);
    EXPECT_EQ(worker->currentPosition().y, 5);
    EXPECT_GT(samples, 0);
}

// --- Proxy and every way out --------------------------------------------------------------

TEST_F(WorkerTest, ProxyCredentialsReachTheRequest)
{
    WorkerConfig cfg = config(0);
    cfg.proxy.username = QStringLiteral("user");
    cfg.proxy.password = QStringLiteral("secret");
    cfg.proxy.port = QStringLiteral("$%1").arg(m_port, 0, 16); // hexadecimal is accepted
    runOne({4, 4, 5, 5, 3}, cfg);
    const auto requests = m_server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].proxyAuthorization, "Basic dXNlcjpzZWNyZXQ=");
    EXPECT_EQ(requests[0].host, "ecn.t1.tiles.virtualearth.net");
    EXPECT_EQ(requests[0].method, "GET");
}

TEST_F(WorkerTest, ProxyPortThatIsNoPortEndsTheWorkerWithItsReason)
{
    const struct
    {
        const char* port;
        const char* reason;
    } cases[] = {{"80a", "'80a' is not a valid integer value"},
                 {"x1F90", "'x1F90' is not a valid integer value"},
                 {"0", "'0' is not a valid proxy port (1 to 65535)"},
                 {"65536", "'65536' is not a valid proxy port (1 to 65535)"},
                 {"-8080", "'-8080' is not a valid proxy port (1 to 65535)"}};
    for (const auto& c : cases) {
        WorkerConfig cfg = config(0);
        cfg.proxy.port = QString::fromUtf8(c.port);
        const QStringList lines = runOne({4, 4, 5, 6, 3}, cfg);
        EXPECT_EQ(lines,
                  (QStringList{QStringLiteral("Thread1 proxy port: ") + c.reason, finishedLine(1)}))
            << c.port;
    }
    EXPECT_EQ(m_server.requestCount(), 0);
}

TEST_F(WorkerTest, UnwritableTileEndsTheWorkerLikeARefusal)
{
    RecordingHost host;
    auto worker =
        makeWorker({4, 4, 5, 6, 3}, 1, config(0), &host, 0, 0, QStringLiteral("NoSuchFolder"));
    ASSERT_TRUE(worker->join(QDeadlineTimer(15000)));
    const QStringList lines = host.lines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("Thread1 cannot write 4-5.jpg: "))) << lines[0];
    EXPECT_EQ(lines[1], finishedLine(1));
    EXPECT_EQ(host.done(), std::vector<int>{0});
    EXPECT_EQ(worker->currentPosition().x, 0);
    EXPECT_EQ(m_server.requestCount(), 1);
}

TEST_F(WorkerTest, FullDiskEndsTheWorkerAtItsLastStoredTileAndTheJobContinuesLater)
{
    tavo::testing::SmallFileSystem disk(512 * 1024);
    if (!disk.mounted())
        GTEST_SKIP() << "mounting a small file system is not permitted here";
    ASSERT_TRUE(QDir(disk.path()).mkdir(QStringLiteral("Job")));
    const QString folder = disk.path() + QLatin1Char('/');
    const Rect r{4, 4, 1, 3, 3};

    // The disk fills up while the first tile is being logged.
    RecordingHost host;
    host.onLine([&](const QString& line) {
        if (line == okLine(1, 1, 4, 1))
            disk.fill();
    });
    auto worker =
        std::make_unique<TDownThread>(WorkerJob{{r.minX, r.maxX, r.minY, r.maxY}, r.zoom, 1, folder,
                                                QStringLiteral("Job"), {}},
                                      config(0), &host);
    worker->start();
    ASSERT_TRUE(worker->join(QDeadlineTimer(15000)));
    const QStringList lines = host.lines();
    ASSERT_EQ(lines.size(), 3) << lines.join('|').toStdString();
    EXPECT_EQ(lines[0], okLine(1, 1, 4, 1));
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("Thread1 cannot write 4-2.jpg: "))) << lines[1];
    EXPECT_EQ(lines[2], finishedLine(1));
    EXPECT_EQ(m_server.requestCount(), 2) << "no tile is fetched after the disk is full";
    const TilePosition stopped = worker->currentPosition();
    EXPECT_EQ(stopped.x, 4);
    EXPECT_EQ(stopped.y, 1);
    EXPECT_EQ(QDir(folder + "Job").entryList(QDir::Files | QDir::Hidden), QStringList{"4_1.jpg"});

    // With room again, continuing from the recorded position fetches the rest.
    disk.removeFiller();
    RecordingHost again;
    auto resumed = std::make_unique<TDownThread>(
        WorkerJob{{r.minX, r.maxX, r.minY, r.maxY}, r.zoom, 1, folder, QStringLiteral("Job"), stopped},
        config(0), &again);
    resumed->start();
    ASSERT_TRUE(resumed->join(QDeadlineTimer(15000)));
    EXPECT_EQ(again.lines(),
              (QStringList{okLine(1, 2, 4, 2), okLine(1, 3, 4, 3), finishedLine(1)}));
    for (int y = 1; y <= 3; ++y)
        EXPECT_EQ(readFile(folder + QStringLiteral("Job/4_%1.jpg").arg(y)),
                  bytes(TileServer::tileBody(MakeQuadkeyString(4, y, 3))));
}

TEST_F(WorkerTest, UrlTailIsSentAsWrittenWithBlanksEncoded)
{
    WorkerConfig cfg = config(0);
    cfg.urlTail = QStringLiteral(".jpeg?g= 123 ");
    const QStringList lines = runOne({4, 4, 5, 5, 3}, cfg);
    EXPECT_EQ(lines, (QStringList{okLine(1, 1, 4, 5), finishedLine(1)}));
    EXPECT_EQ(targets(), (std::vector<std::string>{
                             "http://ecn.t1.tiles.virtualearth.net/tiles/a120.jpeg?g=%20123%20"}));
}

TEST_F(WorkerTest, TricklingServerTimesOutAsAFailedFetch)
{
    const struct
    {
        const char* name;
        int trickle;  // bytes a second the server sends
        long totalMs; // the worker's limit for the whole request
    } cases[] = {{"below the low-speed limit", 20, 120000}, {"over the total limit", 400, 800}};
    for (const auto& c : cases) {
        tileserver::Options options;
        options.trickleBytesPerSecond = c.trickle;
        options.tileSize = 20000;
        m_server.setOptions(options);
        WorkerConfig cfg = config(0);
        cfg.limits.lowSpeedBytesPerSecond = 100;
        cfg.limits.lowSpeedSeconds = 1;
        cfg.limits.totalMs = c.totalMs;
        QElapsedTimer timer;
        timer.start();
        TilePosition position;
        const QStringList lines = runOne({4, 4, 5, 5, 3}, cfg, 0, 0, &position);
        EXPECT_LT(timer.elapsed(), 6000) << c.name;
        ASSERT_EQ(lines.size(), 3) << c.name << ": " << lines.join('|').toStdString();
        EXPECT_EQ(lines[0],
                  QStringLiteral("Thread1 Socket Error # 10060\r\nConnection timed out.->120"))
            << c.name;
        EXPECT_EQ(lines[1], QStringLiteral("Thread1:4-5 got a blank image!")) << c.name;
        EXPECT_EQ(lines[2], finishedLine(1));
        EXPECT_EQ(position, TilePosition{}) << c.name; // a time-out is no stored tile
        QFile::remove(tilePath(4, 5));
    }
}

TEST_F(WorkerTest, StopEndsALongTransferAndLeavesTheTileUnrecorded)
{
    tileserver::Options options;
    options.trickleBytesPerSecond = 400;
    options.tileSize = 20000;
    m_server.setOptions(options);
    WorkerConfig cfg = config(0);
    cfg.limits.stopAfterMs = 0; // any transfer running when the stop comes is ended
    RecordingHost host;
    auto worker = makeWorker({4, 4, 5, 6, 3}, 1, cfg, &host);
    // The request is in flight once the server has it; the trickle takes 50 s.
    ASSERT_TRUE(QTest::qWaitFor([this] { return m_server.requestCount() >= 1; }, 5000));
    QElapsedTimer timer;
    timer.start();
    worker->Terminate();
    ASSERT_TRUE(worker->join(QDeadlineTimer(5000)));
    EXPECT_LT(timer.elapsed(), 2500);
    EXPECT_EQ(host.lines(), QStringList{finishedLine(1)});
    EXPECT_EQ(worker->currentPosition().x, 0);
    EXPECT_EQ(QDir(saveFolder() + "Job").entryList(QDir::Files | QDir::Hidden), QStringList{});
}

TEST_F(WorkerTest, LargeTileIsStoredWholeWithNoTemporaryLeft)
{
    tileserver::Options options;
    options.tileSize = 3 * 1024 * 1024;
    m_server.setOptions(options);
    runOne({4, 4, 5, 5, 3}, config(0));
    EXPECT_EQ(readFile(tilePath(4, 5)), bytes(TileServer::tileBody("120", 3 * 1024 * 1024)));
    EXPECT_EQ(QDir(saveFolder() + "Job").entryList(QDir::Files), QStringList{"4_5.jpg"});
}

// A host whose log call throws: the worker must still report its end once.
class ThrowingHost final : public WorkerHost
{
public:
    void AppendLogLine(const QString&) override
    {
        ++m_lines;
        throw std::runtime_error("log window gone");
    }
    void WorkerDone(int) override { ++m_done; }
    std::atomic<int> m_lines{0};
    std::atomic<int> m_done{0};
};

TEST_F(WorkerTest, AnExceptionInTheWalkStillRunsWorkerDoneOnce)
{
    ThrowingHost host;
    auto worker = makeWorker({4, 4, 5, 6, 3}, 1, config(0), &host);
    ASSERT_TRUE(worker->join(QDeadlineTimer(15000)));
    EXPECT_EQ(host.m_done.load(), 1);
    EXPECT_EQ(host.m_lines.load(), 3); // the ok line, the error line, " Finished."
    EXPECT_EQ(m_server.requestCount(), 1);
}

// --- Reports through the main thread -------------------------------------------------------

class MainThreadHost final : public WorkerHost
{
public:
    void AppendLogLine(const QString& line) override
    {
        onMainThread = onMainThread && QThread::currentThread() == qApp->thread();
        lines << line;
    }
    void WorkerDone(int threadIndex) override
    {
        onMainThread = onMainThread && QThread::currentThread() == qApp->thread();
        done.push_back(threadIndex);
    }
    QStringList lines;
    std::vector<int> done;
    bool onMainThread = true;
};

TEST_F(WorkerTest, BlockingHostRunsEveryReportOnTheMainThread)
{
    MainThreadHost inner;
    BlockingWorkerHost host(&inner);
    const Rect r{0, 1, 1, 2, 10};
    std::vector<std::unique_ptr<TDownThread>> workers;
    for (int i = 0; i < 2; ++i)
        workers.push_back(makeWorker(r, 2, config(i), &host));

    (void)QTest::qWaitFor([&] { return inner.done.size() >= 2; }, 15000);
    ASSERT_EQ(inner.done.size(), 2u);
    EXPECT_TRUE(inner.onMainThread);
    EXPECT_EQ(inner.lines.size(), 2 * 3);
    EXPECT_TRUE(inner.lines.contains(okLine(1, 2, 0, 2)));
    EXPECT_TRUE(inner.lines.contains(okLine(2, 3, 1, 1)));

    // Called on the context's own thread, the host runs the call directly.
    host.AppendLogLine(QStringLiteral("direct"));
    EXPECT_EQ(inner.lines.last(), QStringLiteral("direct"));
}

// Counts each thread's reports on the main thread, as the host runs them.
// A report's line is "<thread> <number>".
class CountingHost final : public WorkerHost
{
public:
    static constexpr int Threads = 8;
    void AppendLogLine(const QString& line) override
    {
        inner.AppendLogLine(line);
        ++seen[std::size_t(line.section(' ', 0, 0).toInt())];
    }
    void WorkerDone(int threadIndex) override { inner.WorkerDone(threadIndex); }
    MainThreadHost inner;
    std::array<std::atomic<int>, Threads> seen{};
};

// Eight threads report at once, as a fast job's workers do: every report runs
// on the main thread before its call returns, none is lost or run twice, and
// each thread's reports keep their order.
TEST(BlockingWorkerHostTest, ManyThreadsReportingAtOnceAreEachServedInOrder)
{
    constexpr int Threads = CountingHost::Threads;
    constexpr int Reports = 300;
    CountingHost counting;
    BlockingWorkerHost host(&counting);
    std::atomic<int> early{0}; // calls that returned before their report ran
    std::vector<TaskThread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < Reports; ++i) {
                host.AppendLogLine(QStringLiteral("%1 %2").arg(t).arg(i));
                if (counting.seen[std::size_t(t)].load() != i + 1)
                    ++early;
            }
            host.WorkerDone(t);
        });
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return counting.inner.done.size() == Threads; }, 60000));
    for (auto& thread : threads)
        ASSERT_TRUE(thread.join(QDeadlineTimer(5000)));

    EXPECT_TRUE(counting.inner.onMainThread);
    EXPECT_EQ(early.load(), 0);
    ASSERT_EQ(counting.inner.lines.size(), Threads * Reports);
    std::array<int, Threads> next{};
    for (const QString& line : counting.inner.lines) {
        const int t = line.section(' ', 0, 0).toInt();
        EXPECT_EQ(line.section(' ', 1, 1).toInt(), next[std::size_t(t)]++) << "thread " << t;
    }
}

TEST(BlockingWorkerHostTest, CarriesTheInnerExceptionBackToTheWorker)
{
    ThrowingHost inner;
    BlockingWorkerHost host(&inner);
    std::atomic<bool> caught{false};
    TaskThread thread([&] {
        try {
            host.AppendLogLine(QStringLiteral("x"));
        } catch (const std::runtime_error&) {
            caught = true;
        }
    });
    (void)QTest::qWaitFor([&] { return thread.isFinished(); }, 5000);
    ASSERT_TRUE(thread.join(QDeadlineTimer(5000)));
    EXPECT_TRUE(caught.load());
    EXPECT_EQ(inner.m_lines.load(), 1);
}

TEST(BlockingWorkerHostTest, ClosingReleasesAWaitingWorkerAndDropsEveryLaterReport)
{
    MainThreadHost inner;
    BlockingWorkerHost host(&inner);
    std::atomic<int> returned{0};
    TaskThread worker([&] {
        host.AppendLogLine(QStringLiteral("waits for the main thread"));
        ++returned;
        host.WorkerDone(0); // after close: returns at once
        ++returned;
    });
    // The main thread serves no event: the report waits until the host closes.
    QDeadlineTimer deadline(5000);
    while (host.pendingReports() == 0 && !deadline.hasExpired())
        QThread::yieldCurrentThread();
    ASSERT_EQ(host.pendingReports(), 1);
    EXPECT_EQ(returned.load(), 0);
    host.close();
    ASSERT_TRUE(worker.join(QDeadlineTimer(5000)));
    EXPECT_EQ(returned.load(), 2);
    QCoreApplication::processEvents(); // a stale queued call must not reach the receiver
    EXPECT_TRUE(inner.lines.isEmpty());
    EXPECT_TRUE(inner.done.empty());
}

} // namespace

// --- Replies that are no tile, and a server out of reach ---------------------------------

TEST_F(WorkerTest, RepliesWithoutATileAreFailedFetchesWithTheirOwnText)
{
    const std::string bad = MakeQuadkeyString(4, 5, 3); // "120", the first of two tiles
    const std::size_t whole = TileServer::tileBody(bad).size();
    const QString half = QString::number(whole / 2);
    const struct
    {
        const char* name;
        std::set<std::string> tileserver::Options::*fault;
        std::size_t tileSize;
        QString error;
        bool withLength = true; // oversized replies only
    } cases[] = {
        // 1,302 bytes: a size that holds "302" is still no refusal.
        {"html page", &tileserver::Options::htmlQuadkeys, 1302,
         QStringLiteral("Not an image (text/html, 1,302 bytes)")},
        {"empty body", &tileserver::Options::emptyQuadkeys, 0, QStringLiteral("Empty reply")},
        {"no imagery", &tileserver::Options::noTileQuadkeys, 0,
         QStringLiteral("No imagery here (X-VE-Tile-Info: no-tile)")},
        {"shorter than its Content-Length", &tileserver::Options::truncatedQuadkeys, 0,
         QStringLiteral("Reply cut short (%1 of %2 bytes)").arg(half).arg(whole)},
        {"half a JPEG announced as whole", &tileserver::Options::halfQuadkeys, 0,
         QStringLiteral("Reply cut short (%1 bytes, no JPEG end marker)").arg(half)},
        {"half a JPEG, no length, connection closed", &tileserver::Options::cutQuadkeys, 0,
         QStringLiteral("Reply cut short (%1 bytes, no JPEG end marker)").arg(half)},
        {"oversized, announced", &tileserver::Options::oversizedQuadkeys, 0,
         QStringLiteral("Reply too large (more than 4,194,304 bytes)")},
        {"oversized, no length", &tileserver::Options::oversizedQuadkeys, 0,
         QStringLiteral("Reply too large (more than 4,194,304 bytes)"), false},
    };
    const QByteArray placeholder = readFile(QStringLiteral(TAVO_RUNTIME_DIR "/blankimg/blank.jpg"));
    for (const auto& c : cases) {
        tileserver::Options options;
        (options.*c.fault).insert(bad);
        options.tileSize = c.tileSize;
        options.oversizedWithLength = c.withLength;
        m_server.setOptions(options);
        TilePosition position;
        const QStringList lines = runOne({4, 4, 5, 6, 3}, config(0), 0, 0, &position);
        EXPECT_EQ(lines,
                  (QStringList{QStringLiteral("Thread1 ") + c.error + QStringLiteral("->120"),
                               QStringLiteral("Thread1:4-5 got a blank image!"), okLine(1, 2, 4, 6),
                               finishedLine(1)}))
            << c.name;
        EXPECT_EQ(readFile(tilePath(4, 5)), placeholder) << c.name;
        EXPECT_EQ(QDir(saveFolder() + "Job").entryList(QDir::Files | QDir::Hidden),
                  (QStringList{"4_5.jpg", "4_6.jpg"}))
            << c.name << ": nothing else is left behind";
        QFile::remove(tilePath(4, 5));
    }
}

TEST_F(WorkerTest, AFolderNamedLikeATileCostsThatTileOnly)
{
    ASSERT_TRUE(QDir().mkdir(tilePath(4, 5)));
    RecordingHost host;
    auto worker = makeWorker({4, 4, 5, 7, 3}, 1, config(0), &host);
    ASSERT_TRUE(worker->join(QDeadlineTimer(15000)));
    EXPECT_EQ(host.lines(), (QStringList{QStringLiteral("Thread1 cannot write 4-5.jpg: ") +
                                             QString::fromLocal8Bit(std::strerror(EISDIR)),
                                         okLine(1, 2, 4, 6), okLine(1, 3, 4, 7), finishedLine(1)}));
    const WorkerCounts counts = worker->counts();
    EXPECT_EQ(counts.toFetch, 3);
    EXPECT_EQ(counts.stored, 2);
    EXPECT_EQ(counts.placeholders, 0); // the folder's tile stays not written
    EXPECT_TRUE(QFileInfo(tilePath(4, 5)).isDir());
    EXPECT_EQ(readFile(tilePath(4, 7)), bytes(TileServer::tileBody(MakeQuadkeyString(4, 7, 3))));
}

// --- Asked to slow down ----------------------------------------------------------------------

// Two workers share one pacing; the server answers request 2 "slow down". No
// request may reach it during the wait, except one already on its way when
// the answer went; in the end every tile is stored and none is a placeholder.
TEST_F(WorkerTest, ASlowDownHoldsEveryWorkerForTheWaitAndTheTileIsFetchedAgain)
{
    using namespace std::chrono;
    const Rect rect{4, 4, 1, 6, 3};
    const struct
    {
        const char* name;
        int status;
        std::string retryAfter;
        qint64 defaultWaitMs, longestWaitMs;
        QString waitText;  // as the log tells it
        bool httpDate;     // the wait lasts until the date named (whole seconds)
        qint64 expectedMs; // the wait after the answer (without httpDate)
        bool stop;         // Stop while the wait holds
    } cases[] = {
        {"429, Retry-After: 1", 429, "1", 30000, 600000, "1 s", false, 1000, false},
        {"429 without Retry-After", 429, "", 300, 600000, "0.3 s", false, 300, false},
        {"503 with an HTTP date", 503, "date+2", 30000, 600000, "", true, 0, false},
        {"a day, capped", 429, "86400", 30000, 500, "0.5 s", false, 500, false},
        {"Stop during a wait", 429, "60", 30000, 600000, "60 s", false, 60000, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QDir(saveFolder() + "Job").removeRecursively();
        ASSERT_TRUE(QDir(saveFolder()).mkdir("Job"));
        tileserver::Options options;
        options.slowDownRequests = {2};
        options.slowDownStatus = c.status;
        options.retryAfter = c.retryAfter;
        m_server.setOptions(options);
        m_server.clearRequests();

        const auto pacing = std::make_shared<Pacing>(c.defaultWaitMs, c.longestWaitMs);
        RecordingHost first, second;
        std::vector<std::unique_ptr<TDownThread>> workers;
        for (int i = 0; i < 2; ++i) {
            WorkerConfig cfg = config(i);
            cfg.pacing = pacing;
            workers.push_back(makeWorker(rect, 2, cfg, i == 0 ? &first : &second));
        }
        const auto slowDownLines = [&] {
            return (first.lines() + second.lines()).filter(" the server asks to slow down");
        };
        QElapsedTimer stopped;
        if (c.stop) {
            ASSERT_TRUE(QTest::qWaitFor([&] { return !slowDownLines().isEmpty(); }, 5000));
            stopped.start();
            for (auto& worker : workers)
                worker->Terminate();
        }
        for (auto& worker : workers)
            ASSERT_TRUE(worker->join(QDeadlineTimer(15000)));
        if (c.stop) {
            EXPECT_LT(stopped.elapsed(), 1000) << "Stop ends the wait at once";
        }

        const QStringList told = slowDownLines();
        ASSERT_EQ(told.size(), 1) << (first.lines() + second.lines()).join('|').toStdString();
        EXPECT_TRUE(
            QRegularExpression(QStringLiteral("^Thread[12] the server asks to slow down "
                                              "\\(HTTP %1\\): all threads wait %2$")
                                   .arg(c.status)
                                   .arg(c.httpDate ? QStringLiteral("[12](\\.\\d+)? s")
                                                   : QRegularExpression::escape(c.waitText)))
                .match(told.first())
                .hasMatch())
            << told.first().toStdString();

        const std::vector<tileserver::RecordedRequest> requests = m_server.requests();
        ASSERT_GE(requests.size(), 2u);
        const tileserver::RecordedRequest& slowed = requests[1];
        EXPECT_EQ(slowed.status, c.status);
        // The date is in whole seconds: two after the second of the answer.
        const system_clock::time_point waitEnd =
            c.httpDate
                ? system_clock::time_point(time_point_cast<seconds>(slowed.arrivedAt) + seconds(2))
                : slowed.arrivedAt + milliseconds(c.expectedMs);
        int afterTheWait = 0;
        for (const auto& request : requests) {
            EXPECT_EQ(request.userAgent.rfind("Tavo/", 0), 0u) << request.userAgent;
            if (request.arrivedAt <= slowed.arrivedAt + milliseconds(100))
                continue; // sent before the answer came
            EXPECT_GE(request.arrivedAt, waitEnd - milliseconds(100))
                << "a request came "
                << duration_cast<milliseconds>(request.arrivedAt - slowed.arrivedAt).count()
                << " ms after the slow-down";
            ++afterTheWait;
        }
        EXPECT_EQ(first.lines().filter("got a blank image").size() +
                      second.lines().filter("got a blank image").size(),
                  0);
        qint64 stored = 0;
        for (const auto& worker : workers)
            stored += worker->counts().stored;
        if (c.stop) {
            EXPECT_EQ(afterTheWait, 0);
            EXPECT_LT(stored, 6);
            continue;
        }
        EXPECT_GE(afterTheWait, 1) << "the slowed tile is asked for again";
        EXPECT_EQ(stored, 6);
        for (qint32 y = 1; y <= 6; ++y)
            EXPECT_EQ(readFile(tilePath(4, y)),
                      bytes(TileServer::tileBody(MakeQuadkeyString(4, y, 3))))
                << "tile 4," << y;
    }
}

TEST_F(WorkerTest, TenFailuresInARowEndTheWorkerAtItsLastStoredTile)
{
    // Column 4 at zoom 5, rows 10..24: the first two tiles come, then every
    // answer is a sign-in page (or nothing listens at all).
    const Rect rect{4, 4, 10, 24, 5};
    tileserver::Options pages;
    for (qint32 y = 12; y <= 24; ++y)
        pages.htmlQuadkeys.insert(MakeQuadkeyString(4, y, 5));
    const struct
    {
        const char* name;
        bool deadProxy;
        int okTiles;
        QString lastError;
    } cases[] = {
        {"sign-in pages", false, 2, QStringLiteral("Not an image (text/html, ")},
        {"nothing listens", true, 0, QStringLiteral("Socket Error # 10061 Connection refused.")},
    };
    for (const auto& c : cases) {
        m_server.setOptions(pages);
        m_server.clearRequests();
        RecordingHost host;
        WorkerConfig cfg = config(0, c.deadProxy ? tavo::testing::unusedPort() : 0);
        cfg.limits.longestFailurePauseMs = 1; // no doubling: ten failures cost ten milliseconds
        auto worker = makeWorker(rect, 1, cfg, &host);
        ASSERT_TRUE(worker->join(QDeadlineTimer(20000))) << c.name;
        const QStringList lines = host.lines();
        ASSERT_EQ(lines.size(), c.okTiles + 2 * UnreachableAfterFailures + 2)
            << c.name << ": " << lines.join('|').toStdString();
        const QString stopped = lines[lines.size() - 2];
        EXPECT_TRUE(stopped.startsWith(
            QStringLiteral("Thread1 stopped: the server could not be reached (10 failed fetches "
                           "in a row; last error: ") +
            c.lastError))
            << stopped.toStdString();
        EXPECT_EQ(lines.last(), finishedLine(1));
        // Placeholders are in place, but the position stays at the last real tile.
        const TilePosition lastStored = c.okTiles ? TilePosition{4, 9 + c.okTiles} : TilePosition{};
        EXPECT_EQ(worker->currentPosition(), lastStored) << c.name;
        const WorkerCounts counts = worker->counts();
        EXPECT_EQ(counts.toFetch, 15);
        EXPECT_EQ(counts.stored, c.okTiles);
        EXPECT_EQ(counts.placeholders, UnreachableAfterFailures);
        EXPECT_TRUE(counts.unreachable);
        EXPECT_EQ(m_server.requestCount(), c.deadProxy ? 0 : 12) << c.name;
        for (qint32 y = 10; y <= 24; ++y)
            QFile::remove(tilePath(4, y));
    }
}

TEST_F(WorkerTest, AServerThatSaysItHasNoImageryIsReachable)
{
    // Twelve tiles in a row without imagery (ocean at a deep zoom): each is a
    // placeholder, the walk goes on to its end and the position follows it.
    const Rect rect{4, 4, 10, 21, 5};
    tileserver::Options options;
    for (qint32 y = 10; y <= 21; ++y)
        options.noTileQuadkeys.insert(MakeQuadkeyString(4, y, 5));
    m_server.setOptions(options);
    TilePosition position;
    const QStringList lines = runOne(rect, config(0), 0, 0, &position);
    EXPECT_EQ(lines.size(), 2 * 12 + 1);
    EXPECT_EQ(lines.last(), finishedLine(1));
    EXPECT_EQ(position, (TilePosition{4, 21}));
}

TEST_F(WorkerTest, AListOfTilesIsDealtByPlaceAndKeepsTheirServerDigits)
{
    // 2 columns x 3 rows at zoom 3; the tiles (4,6), (5,5) and (5,7) are
    // positions 2, 4 and 6 of the walk: servers 2, 0 and 2. Given as a list
    // or as a set of one bit a tile (what a repair uses), they are dealt alike.
    const Rect rect{4, 5, 5, 7, 3};
    const std::vector<TilePosition> list{{4, 6}, {5, 5}, {5, 7}, {9, 9}};
    for (const bool asSet : {false, true}) {
        SCOPED_TRACE(asSet ? "set" : "list");
        m_server.clearRequests();
        auto set = std::make_shared<TileSet>(TileRect{rect.minX, rect.maxX, rect.minY, rect.maxY});
        for (const TilePosition t : list)
            set->insert(t.x, t.y);
        const auto tiles = std::make_shared<const std::vector<TilePosition>>(list);
        RecordingHost first, second;
        std::vector<std::unique_ptr<TDownThread>> workers;
        for (int index = 0; index < 2; ++index) {
            workers.push_back(std::make_unique<TDownThread>(
                WorkerJob{{rect.minX, rect.maxX, rect.minY, rect.maxY}, rect.zoom, 2, saveFolder(),
                          QStringLiteral("Job"), {5, 7}},
                config(index), index == 0 ? &first : &second));
            if (asSet)
                workers.back()->fetchOnly(std::shared_ptr<const TileSet>(set));
            else
                workers.back()->fetchOnly(tiles);
            workers.back()->start();
        }
        for (auto& worker : workers)
            ASSERT_TRUE(worker->join(QDeadlineTimer(15000)));
        EXPECT_EQ(first.lines(),
                  (QStringList{okLine(1, 2, 4, 6), okLine(1, 6, 5, 7), finishedLine(1)}));
        EXPECT_EQ(second.lines(), (QStringList{okLine(2, 4, 5, 5), finishedLine(2)}));
        EXPECT_EQ(workers[0]->counts().toFetch, 2);
        EXPECT_EQ(workers[1]->counts().toFetch, 1); // (9,9) lies outside the rectangle
        std::vector<std::string> sorted = targets();
        std::sort(sorted.begin(), sorted.end());
        std::vector<std::string> expected{tileUrl(0, MakeQuadkeyString(5, 5, 3)),
                                          tileUrl(2, MakeQuadkeyString(4, 6, 3)),
                                          tileUrl(2, MakeQuadkeyString(5, 7, 3))};
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(sorted, expected);
    }
}

TEST(PacingTest, RepeatedSlowDownsDoubleTheWaitUntilATileIsStored)
{
    Pacing pacing(1000, 5000);
    const qint64 beforeAnyWait = pacing.nowMs() - 1;
    const struct
    {
        const char* name;
        bool sentBeforeTheWait; // the request was on its way when the first wait began
        bool tileStored;        // a tile was stored just before
        std::optional<qint64> named;
        qint64 told; // the wait the reply starts; 0: it belongs to the one that holds
    } steps[] = {
        {"first", false, false, std::nullopt, 1000},
        {"another answer to the same burst", true, false, std::nullopt, 0},
        {"asked again, nothing stored", false, false, std::nullopt, 2000},
        {"and again, with a wait named", false, false, 1000, 4000},
        {"and again: the longest wait", false, false, std::nullopt, 5000},
        {"after a stored tile", false, true, 1000, 1000},
        {"a day named", false, true, 86400000, 5000},
    };
    for (const auto& step : steps) {
        if (step.tileStored)
            pacing.tileStored();
        const qint64 sent = step.sentBeforeTheWait ? beforeAnyWait : pacing.nowMs();
        EXPECT_EQ(pacing.slowDown(sent, step.named), step.told) << step.name;
    }
    EXPECT_GT(pacing.remainingMs(), 4000);
    EXPECT_LE(pacing.remainingMs(), 5000);
}

// After a failed fetch the worker pauses before its next request, twice as
// long after each failure in a row (a fifth either way), and a stored tile
// ends the doubling. From the server's request log.
TEST_F(WorkerTest, FailuresInARowPauseLongerAndLongerUntilATileIsStored)
{
    // Column 4 at zoom 5, rows 10..15: three sign-in pages, a tile, a page, a tile.
    const Rect rect{4, 4, 10, 15, 5};
    tileserver::Options pages;
    for (qint32 y : {10, 11, 12, 14})
        pages.htmlQuadkeys.insert(MakeQuadkeyString(4, y, 5));
    m_server.setOptions(pages);
    WorkerConfig cfg = config(0);
    const qint64 pause = 150; // the first pause; it doubles with each failure in a row
    cfg.limits.failurePauseMs = pause;
    const QStringList lines = runOne(rect, cfg);
    EXPECT_EQ(lines.filter("->ok!").size(), 2) << lines.join('|').toStdString();
    const std::vector<tileserver::RecordedRequest> requests = m_server.requests();
    ASSERT_EQ(requests.size(), 6u);
    const struct
    {
        const char* after;
        qint64 atLeastMs, below;
    } gaps[] = {
        {"the first failure", pause * 4 / 5, pause * 8 / 5},
        {"the second failure in a row", pause * 8 / 5, pause * 16 / 5},
        {"the third failure in a row", pause * 16 / 5, pause * 32 / 5},
        {"a stored tile", 0, pause * 4 / 5},
        {"a failure after a stored tile", pause * 4 / 5, pause * 8 / 5},
    };
    for (std::size_t i = 0; i < std::size(gaps); ++i) {
        const qint64 gap = std::chrono::duration_cast<std::chrono::milliseconds>(
                               requests[i + 1].arrived - requests[i].arrived)
                               .count();
        EXPECT_GE(gap, gaps[i].atLeastMs) << "after " << gaps[i].after;
        EXPECT_LT(gap, gaps[i].below) << "after " << gaps[i].after;
    }
}
