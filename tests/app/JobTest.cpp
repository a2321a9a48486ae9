#include "AppHarness.h"

#include "engine/TileMath.h"

#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QRegularExpression>

#include <algorithm>
#include <ctime>

using namespace tavo;
using namespace tavo::testing;

namespace {

class JobTest : public AppHarness
{
protected:
    void SetUp() override
    {
        AppHarness::SetUp();
        startServer();
        writeProxySettings();
    }

    QStringList logLines(const QString& project = "Job")
    {
        const QString text = QString::fromUtf8(readAll(savePath(project + "_log.txt")));
        QStringList lines = text.split("\r\n");
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }

    QString tilePath(const QString& project, int x, int y)
    {
        return savePath(QStringLiteral("%1/%2_%3.jpg").arg(project).arg(x).arg(y));
    }

    // Starts a one-worker job whose first tile request the server holds for
    // `delayMs` (or until it stops), and returns once that request is in
    // flight. The parameters file counts as fetched earlier in this run, so
    // that only the tile waits.
    void startJobWithAStuckWorker(int delayMs, int closeWaitMs)
    {
        tileserver::Options stuck;
        stuck.delayMs = delayMs;
        stuck.paramsBody = "8.07,1,4,256,256,20,321,0\r\n";
        server->setOptions(stuck);
        launch();
        controller().appState().ParamsFetched = true;
        controller().setCloseWaitMs(closeWaitMs);
        enterJob("116.3", "116,4", "40", "39.9", 13, 1, "Job.tavo");
        pressDownload();
        ASSERT_TRUE(waitUntil([this] { return server->requestCount() >= 1; }));
    }

    int okLines(const QStringList& lines)
    {
        return int(
            lines.filter(QRegularExpression("^Thread\\d:seq=\\d+, file=\\d+-\\d+\\.jpg  ->ok!$"))
                .size());
    }
};

TEST_F(JobTest, WorkedExampleDownloadsTwelveTilesWithItsFilesAndLabels)
{
    launch();
    enterJob("116.3", "116,4", "40", "39.9", 13, 8, "Job.tavo");
    pressDownload();

    EXPECT_EQ(form().BitBtn1()->text(), "Stop");
    EXPECT_EQ(form().Label14()->text(), "MinX=6742,MinY=5087,MaxX=6744,MaxY=5090");
    EXPECT_EQ(form().Label15()->text(), "Total images: 12");
    ASSERT_TRUE(waitForFinish());
    EXPECT_EQ(form().BitBtn1()->text(), "Download");
    EXPECT_EQ(shell.messages,
              QStringList{"Download finished!\nStored 12, placeholders 0, not written 0."});

    // Every tile stored unchanged under its column and south-origin row.
    for (int x = 6742; x <= 6744; ++x) {
        for (int y = 5087; y <= 5090; ++y) {
            const std::string quadkey = MakeQuadkey(x, y, 13).toStdString();
            EXPECT_EQ(readAll(tilePath("Job", x, y)).toStdString(),
                      tileserver::TileServer::tileBody(quadkey))
                << x << "_" << y;
        }
    }
    EXPECT_EQ(server->requestCount(), 13); // the parameters file and twelve tiles

    // The project file: the area as typed, the range, and each worker's last tile.
    const QByteArray project = readAll(savePath("Job.tavo"));
    EXPECT_TRUE(project.startsWith("[AREA]\r\nLeftLongitude=116.3\r\nRightLongitude=116,4\r\n"
                                   "TopLatitude=40\r\nBottomLatitude=39.9\r\n\r\n[Zoom]\r\n"
                                   "Zoom=13\r\n\r\n[XY]\r\nMinX=6742\r\nMinY=5087\r\n"
                                   "MaxX=6744\r\nMaxY=5090\r\n\r\n[THREADS]\r\nThreadCount=8\r\n"))
        << project.toStdString();
    // Worker 1 owns position 8 (6743, 5090); worker 2 positions 1 and 9, the last (6744, 5087).
    EXPECT_TRUE(project.contains("T1X=6743\r\nT1Y=5090\r\n"));
    EXPECT_TRUE(project.contains("T2X=6744\r\nT2Y=5087\r\n"));
    EXPECT_TRUE(project.contains("T8X=6743\r\nT8Y=5089\r\n"));

    const QStringList lines = logLines();
    ASSERT_GT(lines.size(), 30);
    EXPECT_EQ(lines[0], "Project: " + saveFolder + "/Job.tavo");
    EXPECT_EQ(lines[1], "Log begin...");
    EXPECT_TRUE(lines.contains("Left Longitude  input= 116.3"));
    EXPECT_TRUE(lines.contains("Right Longitude input= 116,4"));
    EXPECT_TRUE(lines.contains("Left Longitude  download=116.279296875"));
    EXPECT_TRUE(lines.contains("Right Longitude download=116.4111328125"));
    EXPECT_TRUE(lines.contains("Total count of images would be downloaded: 12"));
    EXPECT_TRUE(lines.contains("Download threads count: 8"));
    EXPECT_TRUE(lines.contains("path: " + saveFolder + "/"));
    EXPECT_EQ(okLines(lines), 12);
    EXPECT_EQ(lines.filter(QRegularExpression("^Thread\\d Finished\\.$")).size(), 8);
    EXPECT_TRUE(lines.contains("Download Finished."));
    // The closing report's lines, then the run's counts.
    EXPECT_EQ(lines[lines.size() - 2], "Log file has been saved to " + saveFolder + "/Job_log.txt");
    EXPECT_EQ(lines.last(), "Tiles stored: 12, placeholders: 0, not written: 0");
}

TEST_F(JobTest, WorkerCountIsLoweredToTheTileCountAndDoesNotResumeWithTheOldCount)
{
    launch();
    // One column, three rows at zoom 13.
    const double left = double(TileXToLongitude(6742.5, 13));
    const double bottom = double(TileYToLatitude(5087.5, 13));
    const double top = double(TileYToLatitude(5089.5, 13));
    enterJob(QString::number(left, 'f', 6), QString::number(left, 'f', 6),
             QString::number(top, 'f', 6), QString::number(bottom, 'f', 6), 13, 8, "Small.tavo");
    pressDownload();
    ASSERT_TRUE(waitForFinish());
    EXPECT_EQ(form().Label15()->text(), "Total images: 3");
    EXPECT_TRUE(readAll(savePath("Small.tavo")).contains("ThreadCount=3\r\n"));
    EXPECT_EQ(logLines("Small").filter(QRegularExpression("^Thread\\d Finished\\.$")).size(), 3);

    // Edit10 still says 8: another job than the file's. It replaces the
    // project only when the user says so; No writes nothing.
    const QByteArray project = readAll(savePath("Small.tavo"));
    const QByteArray log = readAll(savePath("Small_log.txt"));
    clearBoxes();
    pressDownload();
    ASSERT_EQ(shell.questions.size(), 1);
    EXPECT_TRUE(shell.questions[0].startsWith("The project Small.tavo in " + saveFolder +
                                              "/ holds another job: worker count 3 (now 8).\n"))
        << shell.questions[0].toStdString();
    EXPECT_TRUE(shell.questions[0].contains("replaces Small.tavo and its log Small_log.txt"));
    EXPECT_EQ(form().BitBtn1()->text(), "Download");
    EXPECT_EQ(readAll(savePath("Small.tavo")), project);
    EXPECT_EQ(readAll(savePath("Small_log.txt")), log);
    EXPECT_EQ(server->requestCount(), 4);

    // Yes: a new job, the log starts again.
    clearBoxes();
    shell.replies.push_back(true);
    pressDownload();
    ASSERT_TRUE(waitForFinish());
    EXPECT_EQ(server->requestCount(), 7); // the parameters file once, three tiles twice
    EXPECT_FALSE(logLines("Small").contains("Log continue..."));
}

TEST_F(JobTest, EveryCheckShowsItsMessageAndStartsNothing)
{
    launch();
    struct Case
    {
        QString left, right, top, bottom;
        int zoom;
        QString project, message;
    };
    // Every rule is in the planning's table; here the window shows them.
    const Case cases[] = {
        {"-180.1", "10", "10", "0", 13, "Bad.tavo",
         "Left Longitude should be between -180 and 180."},
        {"0", "10", "0", "10", 13, "Bad.tavo", "Bottom Latitude should less than Top Latitude!"},
        {"0", "6.O5", "10", "0", 13, "Bad.tavo", "Longitude or latitude input error!"},
        {"-200", "10", "10", "", 13, "Bad.tavo", "Longitude or latitude input error!"},
        // Zoom outside the tile arithmetic, and a project name with a path.
        {"116.3", "116,4", "40", "39.9", 31, "Bad", "Zoom level should be between 1 and 30."},
        {"116.3", "116,4", "40", "39.9", 13, "../x",
         "Project name should not contain a path (\"/\", \"\\\" or \"..\")."},
    };
    for (const Case& c : cases) {
        clearBoxes();
        enterJob(c.left, c.right, c.top, c.bottom, c.zoom, 2, c.project);
        pressDownload();
        EXPECT_EQ(shell.messages, QStringList{c.message}) << c.message.toStdString();
        EXPECT_EQ(form().BitBtn1()->text(), "Download");
        EXPECT_FALSE(QFileInfo::exists(savePath("Bad.tavo")));
    }

    clearBoxes();
    form().Edit6()->clear();
    pressDownload();
    EXPECT_EQ(shell.messages, QStringList{"Please select path to save images."});

    clearBoxes();
    enterJob("0", "1", "1", "0", 13, 2, "Bad.tavo");
    const QString unreachable = saveFolder + "/missing/parent";
    typeInto(form().Edit6(), unreachable);
    pressDownload();
    EXPECT_EQ(shell.messages, QStringList{"Create directory " + unreachable + " Failed."});
    EXPECT_EQ(server->requestCount(), 1); // only the parameters file, fetched once
    EXPECT_EQ(form().LabelSTXT()->text(), "Loading server parameters...OK");
    // Nothing was written, in the save folder or beside it.
    const QDir root = QFileInfo(saveFolder).dir();
    EXPECT_EQ(root.entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              (QStringList{"maps", "program"}));
    EXPECT_TRUE(QDir(saveFolder).isEmpty());

    // The largest zoom the arithmetic holds is taken.
    clearBoxes();
    enterJob("116.3", "116.3", "40", "40", 30, 1, "Deep");
    pressDownload();
    ASSERT_TRUE(waitForFinish());
    EXPECT_TRUE(readAll(savePath("Deep.tavo")).contains("Zoom=30\r\n"));
}

TEST_F(JobTest, ImageFolderThatCannotBeCreatedKeepsTheNewProjectFile)
{
    launch();
    QDir().mkpath(saveFolder);
    writeFile(savePath("Blocked"), "a file where the image folder should be");
    enterJob("116.3", "116.4", "40", "39.9", 13, 2, "Blocked.tavo");
    pressDownload();
    EXPECT_EQ(shell.messages, QStringList{"Create directory " + saveFolder + "/Blocked/ Failed."});
    EXPECT_TRUE(QFileInfo::exists(savePath("Blocked.tavo")));
    EXPECT_EQ(form().BitBtn1()->text(), "Download");
}

TEST_F(JobTest, StoppedJobContinuesWithOnlyTheMissingTiles)
{
    server->setOptions([] {
        tileserver::Options slow;
        slow.delayMs = 150;
        slow.paramsBody = "8.07,1,4,256,256,20,321,0\r\n";
        return slow;
    }());
    launch();
    enterJob("116.3", "116,4", "40", "39.9", 13, 2, "Job.tavo");
    pressDownload();
    ASSERT_TRUE(
        waitUntil([this] { return okLines(form().Memo1()->toPlainText().split('\n')) >= 3; }));
    pressDownload(); // Stop
    EXPECT_EQ(form().BitBtn1()->text(), "Stop");
    ASSERT_TRUE(waitForFinish());
    EXPECT_TRUE(closingBox().startsWith("Download finished!\nStopped by the user.\nStored "))
        << closingBox().toStdString();
    const QStringList first = logLines();
    EXPECT_TRUE(first.contains("Thread1will be terminated by user. please wait..."));
    EXPECT_TRUE(first.contains("Thread2will be terminated by user. please wait..."));
    const int fetchedBefore = okLines(first);
    ASSERT_LT(fetchedBefore, 12);

    server->setOptions([] {
        tileserver::Options fast;
        fast.paramsBody = "8.07,1,4,256,256,20,321,0\r\n";
        return fast;
    }());
    clearBoxes();
    pressDownload(); // unchanged entries: continue
    ASSERT_TRUE(waitForFinish());
    const QStringList all = logLines();
    EXPECT_TRUE(all.contains("Log continue..."));
    EXPECT_EQ(okLines(all), 12); // no tile fetched twice
    for (int x = 6742; x <= 6744; ++x)
        for (int y = 5087; y <= 5090; ++y)
            EXPECT_TRUE(QFileInfo::exists(tilePath("Job", x, y))) << x << "_" << y;

    // A finished job pressed again ends at once without a request.
    const int requests = server->requestCount();
    clearBoxes();
    pressDownload();
    ASSERT_TRUE(waitForFinish(5000));
    EXPECT_EQ(server->requestCount(), requests);
    EXPECT_EQ(logLines().filter("Log continue...").size(), 2);
}

TEST_F(JobTest, ContinuedJobFetchesOnlyTheTilesAfterTheTilePositions)
{
    // Columns 10..11, rows 20..22 at zoom 13; worker 1 stopped after tile 4,
    // worker 2 after tile 3: only tiles 6 and 5 are left.
    launch();
    // The middle of a tile, as text.
    auto lon = [](int x) { return QString::number(double(TileXToLongitude(x + 0.5, 13)), 'f', 7); };
    auto lat = [](int y) { return QString::number(double(TileYToLatitude(y + 0.5, 13)), 'f', 7); };
    enterJob(lon(10), lon(11), lat(22), lat(20), 13, 2, "Edge.tavo");
    QDir().mkpath(saveFolder + "/Edge");
    QByteArray project =
        "[AREA]\r\nLeftLongitude=" + lon(10).toUtf8() + "\r\nRightLongitude=" + lon(11).toUtf8() +
        "\r\nTopLatitude=" + lat(22).toUtf8() + "\r\nBottomLatitude=" + lat(20).toUtf8() +
        "\r\n\r\n[Zoom]\r\nZoom=13\r\n\r\n[XY]\r\nMinX=10\r\nMinY=20\r\nMaxX=11\r\n"
        "MaxY=22\r\n\r\n[THREADS]\r\nThreadCount=2\r\nT1X=11\r\nT1Y=20\r\n"
        "T2X=10\r\nT2Y=22\r\n";
    writeFile(savePath("Edge.tavo"), project);
    writeFile(savePath("Edge_log.txt"), "earlier line\r\n");
    pressDownload();
    ASSERT_TRUE(waitForFinish());
    EXPECT_EQ(form().Edit6()->text(), saveFolder + "/");
    ASSERT_EQ(server->requestCount(), 3); // the parameters file and two tiles
    QStringList targets;
    for (const auto& request : server->requests())
        targets << QString::fromStdString(request.target);
    EXPECT_TRUE(targets.filter(MakeQuadkey(11, 22, 13)).size() == 1);
    EXPECT_TRUE(targets.filter(MakeQuadkey(11, 21, 13)).size() == 1);
    const QStringList lines = logLines("Edge");
    EXPECT_EQ(lines.value(0), "earlier line");
    EXPECT_EQ(lines.value(1), QString(44, '-'));
    EXPECT_EQ(lines.value(2), "Log continue...");
}

TEST_F(JobTest, RefusedWorkerEndsWhileTheOthersCarryOn)
{
    tileserver::Options options;
    options.refusedQuadkeys = {
        MakeQuadkey(6742, 5088, 13).toStdString()}; // position 2: worker 3 of 3
    options.paramsBody = "8.07,1,4,256,256,20,321,0\r\n";
    server->setOptions(options);
    launch();
    enterJob("116.3", "116,4", "40", "39.9", 13, 3, "Job.tavo");
    pressDownload();
    ASSERT_TRUE(waitForFinish());
    const QStringList lines = logLines();
    // Lines of other workers may come between the refused worker's own lines.
    const int refused = int(lines.indexOf(
        QRegularExpression("Thread3 HTTP/1.1 403 Forbidden->" + MakeQuadkey(6742, 5088, 13))));
    const int banned = int(lines.indexOf("Error: may be your IP is banned now."));
    const int finished = int(lines.indexOf("Thread3 Finished."));
    ASSERT_GE(refused, 0) << lines.join("\n").toStdString();
    EXPECT_GT(banned, refused);
    EXPECT_EQ(lines.value(banned + 1), "Please try again later.");
    EXPECT_GT(finished, banned);
    EXPECT_EQ(lines.filter(QRegularExpression("^Thread3:seq=")).size(), 0);
    // Workers 1 and 2 fetched all of their eight tiles.
    EXPECT_EQ(lines.filter(QRegularExpression("^Thread[12]:seq=")).size(), 8);
    const QByteArray project = readAll(savePath("Job.tavo"));
    EXPECT_TRUE(project.contains("T3X=\r\nT3Y=\r\n")); // the refused tile is not recorded
    // The box tells why and offers the tiles not written; No leaves them.
    EXPECT_EQ(shell.questions,
              QStringList{"Download finished!\nStopped: banned by the server.\n"
                          "Stored 8, placeholders 0, not written 4.\n\n"
                          "Fetch the 4 missing tiles again now?"});
    EXPECT_TRUE(shell.messages.isEmpty());

    // Yes runs Fetch missing tiles again on this project.
    clearBoxes();
    shell.replies.push_back(true);
    pressDownload(); // continues: worker 3 is refused again
    ASSERT_TRUE(waitForFinish());
    ASSERT_EQ(shell.questions.size(), 1);
    shell.questions.clear();
    ASSERT_TRUE(waitForFinish());
    EXPECT_TRUE(logLines().contains("Fetch missing tiles again: 4 of 12 tiles (missing 4)"))
        << logLines().join("\n").toStdString();
}

TEST_F(JobTest, ClosingDuringAJobSavesPositionsAndLogAndTheProjectResumes)
{
    tileserver::Options slow;
    slow.delayMs = 200;
    slow.paramsBody = "8.07,1,4,256,256,20,321,0\r\n";
    server->setOptions(slow);
    launch();
    enterJob("116.3", "116,4", "40", "39.9", 13, 2, "Job.tavo");
    pressDownload();
    ASSERT_TRUE(
        waitUntil([this] { return okLines(form().Memo1()->toPlainText().split('\n')) >= 2; }));
    form().close();
    const QStringList saved = logLines();
    const int before = okLines(saved);
    EXPECT_GE(before, 2);
    EXPECT_TRUE(saved.contains("Thread1 Finished."));
    EXPECT_TRUE(saved.contains("Thread2 Finished."));
    const QByteArray project = readAll(savePath("Job.tavo"));
    EXPECT_TRUE(
        QRegularExpression("T1X=\\d+\r\nT1Y=\\d+").match(QString::fromUtf8(project)).hasMatch());
    EXPECT_EQ(controller().abandonedWorkers(), 0);
    windows.reset();

    // Start again, open the project, press Download: only the rest is fetched.
    server->setOptions([] {
        tileserver::Options fast;
        fast.paramsBody = "8.07,1,4,256,256,20,321,0\r\n";
        return fast;
    }());
    launch();
    shell.answers.push_back(savePath("Job.tavo"));
    QTest::keyClick(&form(), Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(form().Edit11()->text(), "Job.tavo");
    EXPECT_EQ(form().Edit6()->text(), saveFolder + "/");
    EXPECT_EQ(form().Edit1()->text(), "116.3");
    EXPECT_EQ(form().Edit3()->text(), "116,4");
    pressDownload();
    ASSERT_TRUE(waitForFinish());
    EXPECT_EQ(okLines(logLines()), 12);
}

} // namespace

namespace {

class JobFailureTest : public JobTest
{
};

TEST_F(JobFailureTest, FailingLogSaveBoxLetsTheMonitorTickAndTheJobStillEndsCleanly)
{
    tileserver::Options slow;
    slow.delayMs = 2 * kTickMs; // one worker, twelve tiles: the job sees the ticks 4 and 8
    slow.paramsBody = "8.07,1,4,256,256,20,321,0\r\n";
    server->setOptions(slow);
    launch();
    QDir().mkpath(savePath("Job_log.txt")); // a folder where the log file should be
    enterJob("116.3", "116,4", "40", "39.9", 13, 1, "Job.tavo");
    // The first box stays open, as a modal box does, until a later tick has
    // failed again and the job has ended behind it.
    bool endedBehindTheBox = false;
    QString statusWhileOpen;
    shell.whileMessageShows = [&](const QString&) {
        if (shell.messages.size() > 1)
            return;
        statusWhileOpen = form().JobStatusText()->text();
        endedBehindTheBox = waitUntil(
            [&] {
                return form().Memo1()->toPlainText().count(savePath("Job_log.txt")) >= 2 &&
                       form().BitBtn1()->text() == "Download";
            },
            30000);
    };
    pressDownload();
    ASSERT_TRUE(waitForFinish(30000));
    EXPECT_TRUE(endedBehindTheBox) << "the monitor stopped while the box was open";
    EXPECT_TRUE(statusWhileOpen.startsWith("Not saved: ")) << statusWhileOpen.toStdString();
    // One box at a time: the failure of the end, then the closing box.
    ASSERT_EQ(shell.messages.size(), 3) << shell.messages.join('|').toStdString();
    EXPECT_TRUE(shell.messages[0].contains(savePath("Job_log.txt")));
    EXPECT_EQ(shell.messages[1], shell.messages[0]);
    EXPECT_EQ(shell.messages[2], "Download finished!\nStored 12, placeholders 0, not written 0.");
    EXPECT_FALSE(form().Timer1()->isActive());
    // The positions were still stored.
    EXPECT_TRUE(readAll(savePath("Job.tavo")).contains("T1X=6744\r\nT1Y=5090\r\n"));

    // The window is usable again: the next press continues the job.
    shell.whileMessageShows = nullptr;
    QDir(savePath("Job_log.txt")).removeRecursively();
    clearBoxes();
    pressDownload();
    ASSERT_TRUE(waitForFinish());
    EXPECT_EQ(shell.messages,
              QStringList{"Download finished!\nStored 0, placeholders 0, not written 0."});
}

} // namespace

namespace {

TEST_F(JobFailureTest, ClosingWhileAWorkerIsStuckInARequestEndsWithoutWaitingForIt)
{
    startJobWithAStuckWorker(4000, 300); // a tile is in flight
    if (HasFatalFailure())
        return;

    QElapsedTimer closing;
    closing.start();
    form().close();
    EXPECT_LT(closing.elapsed(), 2000);
    EXPECT_EQ(controller().abandonedWorkers(), 1);
    // What there was to save is saved: the stop request is in the log.
    EXPECT_TRUE(logLines().contains("Thread1will be terminated by user. please wait..."));
    EXPECT_TRUE(readAll(savePath("Job.tavo")).contains("ThreadCount=1\r\n"));
    windows.reset(); // must neither hang nor crash with the worker still in its request
    server->stop();
}

} // namespace

namespace {

class JobSetUpTest : public JobTest
{
};

// More than eight workers are lowered to eight, and the window shows it. The
// project typed without ".tavo" ("Job") is the file Job.tavo: it continues too.
TEST_F(JobSetUpTest, LoweredWorkerCountIsShownSoTheNextPressContinues)
{
    writeProxySettings("DefaultThreadCount=30\r\n");
    launch();
    EXPECT_EQ(form().Edit10()->text(), "30");
    enterJob("116.3", "116,4", "40", "39.9", 13, 30, "Job");
    pressDownload();
    EXPECT_EQ(form().Edit10()->text(), "8");
    ASSERT_TRUE(waitForFinish());
    EXPECT_TRUE(readAll(savePath("Job.tavo")).contains("ThreadCount=8\r\n"));
    EXPECT_EQ(logLines().filter(QRegularExpression("^Thread\\d Finished\\.$")).size(), 8);
    clearBoxes();
    pressDownload();
    ASSERT_TRUE(waitForFinish());
    EXPECT_TRUE(shell.questions.isEmpty());
    EXPECT_TRUE(logLines().contains("Log continue..."));
    EXPECT_EQ(server->requestCount(), 13); // nothing fetched again
}

TEST_F(JobSetUpTest, CostlyNewJobIsConfirmedFirstAndAnOversizedOneRefused)
{
    writeProxySettings("ConfirmTiles=11\r\n");
    launch();
    enterJob("116.3", "116,4", "40", "39.9", 13, 2, "Job");
    pressDownload();
    ASSERT_EQ(shell.questions.size(), 1);
    EXPECT_TRUE(shell.questions[0].startsWith("This job has 12 tiles, about 180 KB on disk.\n"
                                              "The disk of " + saveFolder + "/ has "))
        << shell.questions[0].toStdString();
    EXPECT_TRUE(QDir(saveFolder).isEmpty()) << "No writes nothing";
    EXPECT_EQ(server->requestCount(), 1) << "only the parameters file";
    EXPECT_EQ(form().BitBtn1()->text(), "Download");

    shell.replies.push_back(true);
    pressDownload();
    ASSERT_TRUE(waitForFinish());
    EXPECT_EQ(server->requestCount(), 13);
    // A continue is never asked about.
    clearBoxes();
    pressDownload();
    ASSERT_TRUE(waitForFinish());
    EXPECT_TRUE(shell.questions.isEmpty());

    // The whole grid at zoom 20 is beyond what positions can count.
    clearBoxes();
    enterJob("-180", "180", "85", "-85", 20, 2, "World");
    pressDownload();
    ASSERT_EQ(shell.messages.size(), 1);
    EXPECT_TRUE(QRegularExpression("^This job has [0-9,]+ tiles; a job can have at most "
                                   "2,147,483,647 tiles\\.$")
                    .match(shell.messages[0])
                    .hasMatch())
        << shell.messages[0].toStdString();
    EXPECT_TRUE(shell.questions.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(savePath("World.tavo")));
}

// Thread CPU time of the calling thread, in milliseconds.
double threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1000.0 + double(now.tv_nsec) / 1e6;
}

TEST_F(JobSetUpTest, ClosingWithAStuckWorkerWaitsWithoutSpinningTheMainThread)
{
    startJobWithAStuckWorker(5000, 1000); // a tile is in flight
    if (HasFatalFailure())
        return;

    QElapsedTimer wall;
    wall.start();
    const double cpuBefore = threadCpuMs();
    form().close();
    const double cpu = threadCpuMs() - cpuBefore;
    EXPECT_GE(wall.elapsed(), 900); // it did wait for the worker
    EXPECT_LT(cpu, 300.0) << "a spinning wait burns about the whole 1000 ms";
    EXPECT_EQ(controller().abandonedWorkers(), 1);
    windows.reset();
    server->stop();
}

// The worked example's files, byte for byte: the project file whole, the log
// with its time stamps and folder put aside. The workers' own lines come in
// the order the workers ran, so they are compared as a set.
TEST_F(JobSetUpTest, WorkedExampleWritesExactlyTheseBytes)
{
    launch();
    enterJob("116.3", "116,4", "40", "39.9", 13, 8, "Job.tavo");
    pressDownload();
    ASSERT_TRUE(waitForFinish());

    EXPECT_EQ(readAll(savePath("Job.tavo")).toStdString(),
              std::string("[AREA]\r\nLeftLongitude=116.3\r\nRightLongitude=116,4\r\n"
                          "TopLatitude=40\r\nBottomLatitude=39.9\r\n\r\n"
                          "[Zoom]\r\nZoom=13\r\n\r\n"
                          "[XY]\r\nMinX=6742\r\nMinY=5087\r\nMaxX=6744\r\nMaxY=5090\r\n\r\n"
                          "[THREADS]\r\nThreadCount=8\r\n"
                          "T1X=6743\r\nT1Y=5090\r\nT2X=6744\r\nT2Y=5087\r\n"
                          "T3X=6744\r\nT3Y=5088\r\nT4X=6744\r\nT4Y=5089\r\n"
                          "T5X=6744\r\nT5Y=5090\r\nT6X=6743\r\nT6Y=5087\r\n"
                          "T7X=6743\r\nT7Y=5088\r\nT8X=6743\r\nT8Y=5089\r\n\r\n"));

    QByteArray log = readAll(savePath("Job_log.txt"));
    log.replace(saveFolder.toUtf8(), "<save>");
    log = QString::fromUtf8(log)
              .replace(QRegularExpression("Now time is:[^\r]*"), "Now time is:<now>")
              .toUtf8();
    const QByteArray header =
        "Project: <save>/Job.tavo\r\nLog begin...\r\nNow time is:<now>\r\n\r\n"
        "Using Proxy:\r\nProxy Server:127.0.0.1\r\nProxy Port:" +
        QByteArray::number(port) +
        "\r\nProxyUsername:\r\nProxyPassword:\r\n\r\n"
        "Left Longitude  input= 116.3\r\nRight Longitude input= 116,4\r\n"
        "Top Latitude    input= 40\r\nBottom Latitude input= 39.9\r\n\r\n"
        "MinX = 6742\r\nMinY = 5087\r\nMaxX = 6744\r\nMaxY = 5090\r\n\r\n"
        "Left Longitude  download=116.279296875\r\nRight Longitude download=116.4111328125\r\n"
        "Top Latitude    download=40.0107871404655\r\n"
        "Bottom Latitude download=39.8760194196212\r\n\r\n"
        "Total count of images would be downloaded: 12\r\n\r\n"
        "Download threads count: 8\r\n\r\nZoom level: 13\r\n\r\npath: <save>/\r\n\r\n"
        "Start downloading...\r\n--------------------------------\r\n";
    const QByteArray footer = "\r\n--------------------------------\r\nDownload Finished.\r\n\r\n"
                              "Now time is:<now>\r\n\r\n"
                              "Log file has been saved to <save>/Job_log.txt\r\n"
                              "Tiles stored: 12, placeholders: 0, not written: 0\r\n";
    ASSERT_TRUE(log.startsWith(header)) << log.toStdString();
    ASSERT_TRUE(log.endsWith(footer)) << log.toStdString();
    QByteArray middle = log.mid(header.size(), log.size() - header.size() - footer.size());
    ASSERT_TRUE(middle.endsWith('\n'));
    middle.chop(1);
    QList<QByteArray> workerLines = middle.split('\n');
    std::sort(workerLines.begin(), workerLines.end());
    QList<QByteArray> expected;
    int seq = 0;
    for (int x = 6742; x <= 6744; ++x) {
        for (int y = 5087; y <= 5090; ++y) {
            ++seq;
            const int thread = seq % 8 + 1;
            expected << QStringLiteral("Thread%1:seq=%2, file=%3-%4.jpg  ->ok!\r")
                            .arg(thread)
                            .arg(seq)
                            .arg(x)
                            .arg(y)
                            .toUtf8();
        }
    }
    for (int thread = 1; thread <= 8; ++thread)
        expected << QStringLiteral("Thread%1 Finished.\r").arg(thread).toUtf8();
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(workerLines, expected);
}

} // namespace
