// The job session without a window: how a start continues a project or
// refuses, against the local tile server.

#include "TileServer.h"
#include "engine/TileMath.h"
#include "job/JobPlan.h"
#include "job/JobSession.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using namespace tavo;

namespace {

class Recorder final : public JobObserver
{
public:
    void progress(const JobTotals&, const JobProgress&) override {}
    void saveFailed(const QString& text) override { failures << text; }
    void finished(const JobTotals&, const QString& failure) override
    {
        done = true;
        if (!failure.isEmpty())
            failures << failure;
    }
    bool done = false;
    QStringList failures;
};

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

// The middle of a tile at zoom 13, as text.
QString lon(int x)
{
    return QString::number(double(TileXToLongitude(x + 0.5, 13)), 'f', 7);
}
QString lat(int y)
{
    return QString::number(double(TileYToLatitude(y + 0.5, 13)), 'f', 7);
}

TEST(SessionTest, StartContinuesAfterTheStoredPositionsOrRefusesWithoutAnImageFolder)
{
    static int argc = 1;
    static char name[] = "tavo_job_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);

    // Columns 10..11, rows 20..22; worker 1 stopped after tile 4, worker 2
    // after tile 3: only tiles 6 and 5 are left.
    const std::vector<TilePosition> positions = {{11, 20}, {10, 22}};
    const QString earlierLog = "earlier line\r\n";
    const QString dashes(44, '-');
    struct Case
    {
        const char* what;
        bool resume;
        bool logThere;      // the earlier log is still there
        bool folderBlocked; // a file has the image folder's name
        QString refusal;    // empty: the job runs
        QStringList logStart;
        std::set<std::string> fetched; // quadkeys
    };
    const std::set<std::string> lastTwo = {MakeQuadkey(11, 22, 13).toStdString(),
                                           MakeQuadkey(11, 21, 13).toStdString()};
    const Case cases[] = {
        {"continue", true, true, false, {}, {"earlier line", dashes, "Log continue..."}, lastTwo},
        {"continue, the log gone", true, false, false, {}, {dashes, "Log continue..."}, lastTwo},
        {"new job, the image folder blocked",
         false,
         false,
         true,
         "Create directory <save>/Edge/ Failed.",
         {},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString save = dir.path() + "/";
        tileserver::TileServer server;
        const int port = server.start(0);

        JobSettings settings;
        settings.proxy.useProxy = true;
        settings.proxy.server = "127.0.0.1";
        settings.proxy.port = QString::number(port);
        const JobRequest request{{lon(10), lon(11), lat(22), lat(20)}, "13", "2", save, "Edge"};
        const PlanOutcome outcome = planJob(request, settings);
        ASSERT_TRUE(outcome.plan) << outcome.refusal.toStdString();
        const JobPlan& plan = *outcome.plan;
        if (c.resume) {
            ASSERT_TRUE(QDir().mkpath(plan.imageFolder));
            WriteNewProject(plan.projectPath, plan.area, plan.zoom, plan.rect, plan.threadCount);
            SavePositions(plan.projectPath, positions);
        }
        if (c.logThere) {
            ASSERT_TRUE(writeAll(save + "Edge_log.txt", earlierLog.toUtf8()));
        }
        if (c.folderBlocked) {
            ASSERT_TRUE(writeAll(save + "Edge", "a file"));
        }

        WorkerConfig config;
        config.urlTail = ".jpeg?g=321";
        config.proxy = settings.proxy;
        config.programFolder = QStringLiteral(TAVO_RUNTIME_DIR "/");
        JobLog log;
        Recorder observer;
        JobSession session(log, observer);
        const QString refusal = session.start(plan, c.resume, config);
        EXPECT_EQ(refusal, QString(c.refusal).replace("<save>/", save));
        EXPECT_EQ(session.running(), c.refusal.isEmpty());
        if (!c.refusal.isEmpty()) {
            EXPECT_TRUE(readAll(plan.projectPath).startsWith("[AREA]\r\n"))
                << "the project is kept";
            EXPECT_EQ(server.requestCount(), 0);
            continue;
        }
        QTimer monitor;
        QObject::connect(&monitor, &QTimer::timeout, [&] { session.tick(); });
        monitor.start(10);
        ASSERT_TRUE(QTest::qWaitFor([&] { return observer.done; }, 15000));
        EXPECT_TRUE(observer.failures.isEmpty()) << observer.failures.join('|').toStdString();

        std::set<std::string> fetched;
        for (const auto& r : server.requests())
            fetched.insert(r.target.substr(r.target.find("/tiles/a") + 8,
                                           r.target.find(".jpeg") - r.target.find("/tiles/a") - 8));
        EXPECT_EQ(fetched, c.fetched);
        EXPECT_EQ(server.requestCount(), int(c.fetched.size()));
        const QStringList lines = QString::fromUtf8(readAll(save + "Edge_log.txt")).split("\r\n");
        EXPECT_EQ(lines.mid(0, int(c.logStart.size())), c.logStart);
    }
}

} // namespace
