#include "AppHarness.h"

#include "../http/NetTestSupport.h"
#include "job/JobProgress.h"
#include "engine/JobFolder.h"
#include "engine/TileMath.h"

#include <QAction>
#include <QLabel>
#include <QProgressBar>
#include <QRegularExpression>

#include <functional>

using namespace tavo;
using namespace tavo::testing;

namespace {

// --- Figures ------------------------------------------------------------------------------

TEST(JobProgressTest, RateIsTakenOverTheLastSecondsAndGivesTheTimeLeft)
{
    JobProgress progress;
    progress.start(1000, 0);
    EXPECT_EQ(progress.tilesPerSecond(), 0);
    EXPECT_FALSE(progress.secondsLeft());
    EXPECT_EQ(progress.rateText(), "0.0 tiles/s");
    // 20 tiles a second for ten seconds, then nothing for six.
    for (int second = 1; second <= 10; ++second)
        progress.sample(20 * second, second * 1000);
    EXPECT_DOUBLE_EQ(progress.tilesPerSecond(), 20);
    EXPECT_EQ(progress.secondsLeft(), 40);
    EXPECT_EQ(progress.countText(), "200 of 1,000 tiles");
    EXPECT_EQ(progress.rateText(), "20 tiles/s, 40 s left");
    for (int second = 11; second <= 16; ++second)
        progress.sample(200, second * 1000);
    EXPECT_EQ(progress.tilesPerSecond(), 0) << "a stalled job shows no rate";
    EXPECT_FALSE(progress.secondsLeft());
}

TEST(JobProgressTest, TextsOfCountsDurationsAndSizes)
{
    const std::pair<qint64, const char*> durations[] = {{0, "0 s"},           {59, "59 s"},
                                                        {60, "1 min 00 s"},   {3599, "59 min 59 s"},
                                                        {3600, "1 h 00 min"}, {7500, "2 h 05 min"},
                                                        {86400, "1 d 00 h"},
                                                        {9159987900, "106,018 d 09 h"}};
    for (const auto& [seconds, text] : durations)
        EXPECT_EQ(durationText(seconds), text) << seconds;

    JobTotals totals{1234567, 1234000, 500, false};
    EXPECT_EQ(totalsLogLine(totals), "Tiles stored: 1234000, placeholders: 500, not written: 67");
    EXPECT_EQ(totalsSummary(totals), "Stored 1,234,000, placeholders 500, not written 67.");
    EXPECT_EQ(closingText(totals),
              "Download finished!\nStored 1,234,000, placeholders 500, not written 67.");
    // The reason a run ended early; what a worker met comes before the user's Stop.
    struct Ending
    {
        bool stopped, writeFailed, unreachable, banned;
        const char* outcome;
    };
    const Ending endings[] = {
        {true, false, false, false, "Stopped by the user."},
        {true, true, false, false, "Stopped: tiles could not be written."},
        {false, true, true, false, "Stopped: the server could not be reached."},
        {true, true, true, true, "Stopped: banned by the server."},
    };
    for (const Ending& e : endings) {
        JobTotals ended = totals;
        ended.stoppedByUser = e.stopped;
        ended.writeFailed = e.writeFailed;
        ended.unreachable = e.unreachable;
        ended.banned = e.banned;
        EXPECT_EQ(closingText(ended), QString("Download finished!\n") + e.outcome +
                                          "\nStored 1,234,000, placeholders 500, not written 67.");
        EXPECT_EQ(totalsSummary(ended),
                  QString(e.outcome) + " Stored 1,234,000, placeholders 500, not written 67.");
        // A stopped job is continued; only its placeholders are fetched again.
        EXPECT_EQ(ended.toFetchAgain(), e.stopped ? 500 : 567);
    }
    // The bar's count of a very large job.
    JobProgress huge;
    huge.start(201784220, 0);
    huge.sample(1234567, 1000);
    EXPECT_EQ(huge.compactCountText(), "1.2 M of 201.8 M tiles");
    EXPECT_EQ(compactNumber(999999), "999,999");
    EXPECT_EQ(compactNumber(1095910817792), "1,095.9 G");

    // The tile arithmetic of the set-up: the worked example, and the whole
    // grid at zoom 9 (512 x 512 tiles between 85 and -85 degrees).
    EXPECT_EQ(jobSizeEstimate({"116.3", "116,4", "40", "39.9"}, "13"),
              "12 tiles, about 180 KB on disk");
    EXPECT_EQ(jobSizeEstimate({"-180", "180", "85", "-85"}, "9"),
              "262,144 tiles, about 3.9 GB on disk");
    EXPECT_EQ(jobSizeEstimate({"116.4", "116.3", "40", "39.9"}, "13"), "") << "left > right";
    EXPECT_EQ(jobSizeEstimate({"116.3", "", "40", "39.9"}, "13"), "") << "a field is empty";
}

// --- Jobs ---------------------------------------------------------------------------------

class TileTruthTest : public AppHarness
{
protected:
    void SetUp() override { AppHarness::SetUp(); }

    QStringList logLines()
    {
        QStringList lines = QString::fromUtf8(readAll(savePath("Job_log.txt"))).split("\r\n");
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }
    QString statusText() { return form().JobStatusText()->text(); }
    JobScan scan()
    {
        ScanOptions options;
        options.placeholder = readAll(programFolder + "blankimg/blank.jpg");
        return scanJobFolder(savePath("Job/"), {6742, 6744, 5087, 5090}, options);
    }
    static std::string quadkey(int x, int y) { return MakeQuadkey(x, y, 13).toStdString(); }
};

TEST_F(TileTruthTest, FailedTilesAreCountedShownAndFetchedAgain)
{
    // The worked example's 12 tiles from one worker, slowly enough to watch;
    // five answers carry no tile.
    tileserver::Options faults;
    faults.delayMs = 150;
    faults.htmlQuadkeys = {quadkey(6742, 5087)};
    faults.emptyQuadkeys = {quadkey(6743, 5088)};
    faults.noTileQuadkeys = {quadkey(6744, 5089)};
    faults.truncatedQuadkeys = {quadkey(6744, 5090)};
    faults.notFoundQuadkeys = {quadkey(6742, 5090)};
    startServer(faults);
    writeProxySettings();
    launch();
    enterJob("116.3", "116,4", "40", "39.9", 13, 1, "Job.tavo");
    EXPECT_EQ(statusText(), "12 tiles, about 180 KB on disk");
    pressDownload();

    // While it runs: the bar, "N of 12 tiles", the rate and the time left.
    QProgressBar* bar = form().JobProgressBar();
    ASSERT_TRUE(waitUntil([&] { return bar->isVisible() && bar->value() > 0; }, 10000));
    EXPECT_TRUE(QRegularExpression("^([1-9]|1[01]) of 12 tiles$").match(bar->format()).hasMatch())
        << bar->format().toStdString();
    EXPECT_TRUE(
        QRegularExpression("^\\d+\\.\\d tiles/s, \\d+ s left$").match(statusText()).hasMatch())
        << statusText().toStdString();
    // Seen: the rest of the run needs no watching.
    faults.delayMs = 0;
    server->setOptions(faults);

    // At the end: the summary stays, the log's last line counts the tiles.
    ASSERT_TRUE(waitForFinish());
    EXPECT_FALSE(bar->isVisible());
    EXPECT_EQ(statusText(), "Stored 7, placeholders 5, not written 0.");
    EXPECT_EQ(shell.questions, QStringList{"Download finished!\nStored 7, placeholders 5, not "
                                           "written 0.\n\nFetch the 5 missing tiles again now?"});
    QStringList lines = logLines();
    EXPECT_EQ(lines.last(), "Tiles stored: 7, placeholders: 5, not written: 0");
    EXPECT_EQ(lines[lines.size() - 2], "Log file has been saved to " + savePath("Job_log.txt"));
    for (const char* error :
         {"Thread1 Not an image (text/html, ", "Thread1 Empty reply->",
          "Thread1 No imagery here (X-VE-Tile-Info: no-tile)->", "Thread1 Reply cut short ("})
        EXPECT_EQ(lines.filter(error).size(), 1) << error;
    EXPECT_EQ(lines.filter(" got a blank image!").size(), 5);
    EXPECT_EQ(lines.filter("->ok!").size(), 7);
    EXPECT_EQ(scan().count(TileState::Placeholder), 5);

    // More damage by hand: an empty tile, a page saved as a tile, a write
    // cut short, a tile whose tail was lost and a tile deleted.
    writeFile(savePath("Job/6742_5088.jpg"), QByteArray());
    writeFile(savePath("Job/6744_5088.jpg"), readAll(savePath("Job/6744_5088.jpg")).chopped(2));
    writeFile(savePath("Job/6742_5089.jpg"), "<html></html>");
    QFile::rename(savePath("Job/6743_5087.jpg"), savePath("Job/6743_5087.jpg.part"));
    QFile::remove(savePath("Job/6743_5089.jpg"));
    const QByteArray logBefore = readAll(savePath("Job_log.txt"));
    const QByteArray projectBefore = readAll(savePath("Job.tavo"));

    // The server is healthy again: exactly the ten bad tiles are fetched.
    server->setOptions({});
    server->clearRequests();
    clearBoxes();
    form().Fetchmissing1()->trigger();
    EXPECT_EQ(form().BitBtn1()->text(), "Stop");
    ASSERT_TRUE(waitForFinish());
    EXPECT_EQ(shell.messages,
              QStringList{"Download finished!\nStored 10, placeholders 0, not written 0."});
    const JobScan after = scan();
    EXPECT_EQ(after.count(TileState::Good), 12);
    std::set<std::string> requested;
    for (const auto& request : server->requests())
        requested.insert(request.target.substr(request.target.find("/tiles/a") + 8));
    EXPECT_EQ(server->requestCount(), 10);
    std::set<std::string> expected;
    for (const auto& [x, y] : std::vector<std::pair<int, int>>{{6742, 5087},
                                                               {6743, 5088},
                                                               {6744, 5089},
                                                               {6744, 5090},
                                                               {6742, 5090},
                                                               {6742, 5088},
                                                               {6742, 5089},
                                                               {6743, 5087},
                                                               {6743, 5089},
                                                               {6744, 5088}})
        expected.insert(quadkey(x, y) + ".jpeg?g=321");
    EXPECT_EQ(requested, expected);
    EXPECT_FALSE(QFileInfo::exists(savePath("Job/6743_5087.jpg.part")));
    // The log goes on after the earlier run's lines; the positions stay.
    const QByteArray log = readAll(savePath("Job_log.txt"));
    EXPECT_TRUE(log.startsWith(logBefore));
    lines = logLines();
    EXPECT_TRUE(lines.contains("Fetch missing tiles again: 10 of 12 tiles (missing 1, blank 5, "
                               "empty 1, not a JPEG 1, truncated 1, partly written 1)"))
        << log.toStdString();
    EXPECT_EQ(lines.last(), "Tiles stored: 10, placeholders: 0, not written: 0");
    EXPECT_EQ(statusText(), "Stored 10, placeholders 0, not written 0.");
    EXPECT_EQ(readAll(savePath("Job.tavo")), projectBefore);

    // Nothing left: nothing is fetched, and the user is told so. A project
    // the window does not name is chosen in the file dialog.
    clearBoxes();
    server->clearRequests();
    typeInto(form().Edit11(), "Other");
    shell.answers.push_back(savePath("Job.tavo"));
    form().Fetchmissing1()->trigger();
    EXPECT_EQ(shell.openRequests.size(), 1);
    EXPECT_EQ(shell.messages, QStringList{"All 12 tiles of Job.tavo are there: nothing to fetch."});
    EXPECT_EQ(form().BitBtn1()->text(), "Download");
    EXPECT_EQ(server->requestCount(), 0);
}

TEST_F(TileTruthTest, ADeadNetworkStopsTheJobInsteadOfBurningItIntoPlaceholders)
{
    startServer();
    port = unusedPort(); // the proxy the settings name is not there
    writeProxySettings();
    launch();
    enterJob("116.3", "116,4", "40", "39.9", 13, 1, "Job.tavo");
    pressDownload();
    ASSERT_TRUE(waitForFinish());
    EXPECT_EQ(statusText(), "Stopped: the server could not be reached. "
                            "Stored 0, placeholders 10, not written 2.");
    // The window's layout follows its contents once its posted layout requests are handled.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QCoreApplication::processEvents();
    EXPECT_EQ(form().width(), TForm1::kClientWidth) << "a long summary never widens the window";
    const QStringList lines = logLines();
    EXPECT_EQ(lines
                  .filter("Thread1 stopped: the server could not be reached (10 failed fetches "
                          "in a row; last error: Socket Error # 10061 Connection refused.)")
                  .size(),
              1);
    EXPECT_EQ(lines.last(), "Tiles stored: 0, placeholders: 10, not written: 2");
    // No tile was stored: continuing the job starts from its first tile.
    EXPECT_TRUE(readAll(savePath("Job.tavo")).contains("T1X=\r\nT1Y=\r\n"));
}

// What "fetch missing tiles again" finds in place of a tile is moved aside,
// never lost: a tile that fails again ends as the placeholder beside its old
// bytes; once a good tile is stored the old bytes go. A tile with bytes after
// its end marker and a link to a good tile are left alone.
TEST_F(TileTruthTest, BadFilesAreSetAsideUntilTheirReplacementIsStored)
{
    startServer();
    writeProxySettings();
    launch();
    enterJob("116.3", "116,4", "40", "39.9", 13, 1, "Job.tavo");
    pressDownload();
    ASSERT_TRUE(waitForFinish());
    const QByteArray placeholder = readAll(programFolder + "blankimg/blank.jpg");

    const struct
    {
        int x, y;
        const char* what;
        std::function<QByteArray(const QByteArray&)> damage; // empty: left alone
    } cases[] = {
        {6742, 5088, "empty", [](const QByteArray&) { return QByteArray(); }},
        {6742, 5089, "a page", [](const QByteArray&) { return QByteArray("<html></html>"); }},
        {6744, 5088, "truncated", [](const QByteArray& t) { return t.left(t.size() / 2); }},
        {6743, 5090, "bytes after the end", [](const QByteArray& t) { return t + QByteArray(105, 'x'); }},
    };
    const auto tile = [&](int x, int y) { return savePath(QStringLiteral("Job/%1_%2.jpg").arg(x).arg(y)); };
    std::vector<QByteArray> written;
    for (const auto& c : cases) {
        written.push_back(c.damage(readAll(tile(c.x, c.y))));
        writeFile(tile(c.x, c.y), written.back());
    }
    // A tile that is a link to a good copy.
    ASSERT_TRUE(QFile::rename(tile(6743, 5088), savePath("copy.jpg")));
    ASSERT_TRUE(QFile::link(savePath("copy.jpg"), tile(6743, 5088)));

    // The server fails each of them: the placeholder takes the tile's name.
    tileserver::Options failing;
    for (const auto& c : cases)
        failing.htmlQuadkeys.insert(quadkey(c.x, c.y));
    server->setOptions(failing);
    server->clearRequests();
    clearBoxes();
    form().Fetchmissing1()->trigger();
    ASSERT_TRUE(waitForFinish());
    EXPECT_EQ(server->requestCount(), 3);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        const bool bad = i < 3;
        EXPECT_EQ(readAll(tile(c.x, c.y)), bad ? placeholder : written[i]) << c.what;
        EXPECT_EQ(QFileInfo::exists(tile(c.x, c.y) + ".bad"), bad) << c.what;
        if (bad) {
            EXPECT_EQ(readAll(tile(c.x, c.y) + ".bad"), written[i]) << c.what;
        }
    }
    EXPECT_TRUE(QFileInfo(tile(6743, 5088)).isSymLink());

    // The server is healthy again: the tiles are stored and what was set aside goes.
    server->setOptions({});
    clearBoxes();
    form().Fetchmissing1()->trigger();
    ASSERT_TRUE(waitForFinish());
    for (const auto& c : cases) {
        EXPECT_EQ(scan().state(c.x, c.y), TileState::Good) << c.what;
        EXPECT_FALSE(QFileInfo::exists(tile(c.x, c.y) + ".bad")) << c.what;
    }
    EXPECT_EQ(scan().count(TileState::Good), 12);
}

} // namespace
