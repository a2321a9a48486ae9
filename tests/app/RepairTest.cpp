#include "AppHarness.h"
#include "FullDisk.h"

#include "engine/TileMath.h"

#include <QFileInfo>
#include <QPlainTextEdit>

using namespace tavo;
using namespace tavo::testing;

namespace {

class RepairTest : public AppHarness
{
protected:
    void SetUp() override
    {
        AppHarness::SetUp();
        startServer(slow());
        writeProxySettings();
    }

    // Each answer held long enough for Stop to be pressed while its tile is in hand.
    static tileserver::Options slow()
    {
        tileserver::Options options;
        options.delayMs = 200;
        options.paramsBody = "8.07,1,4,256,256,20,321,0\r\n";
        return options;
    }

    void serveQuickly()
    {
        tileserver::Options quick;
        quick.paramsBody = "8.07,1,4,256,256,20,321,0\r\n";
        server->setOptions(quick);
    }

    int tileRequests() const
    {
        int count = 0;
        for (const auto& request : server->requests())
            count += request.target.find("/tiles/a") != std::string::npos ? 1 : 0;
        return count;
    }

    // Presses Stop as soon as the server holds the request for tile number `n`.
    void stopWhileTileIsInHand(int n)
    {
        ASSERT_TRUE(waitUntil([&] { return tileRequests() >= n; }));
        pressDownload();
        ASSERT_TRUE(waitForFinish());
        clearBoxes();
    }

    QByteArray positions(const QString& project) const
    {
        const QByteArray bytes = readAll(savePath(project));
        return bytes.mid(bytes.indexOf("T1X="), bytes.indexOf("T2X=") - bytes.indexOf("T1X="));
    }
};

// Columns 1..2, rows 0..3 at zoom 2, one worker. The worker stops with the
// first tile of the second column, (2, 0), as its last tile after (1, 3) had
// been stored: the row 0 must not pair with the stored column.
TEST_F(RepairTest, ContinuedJobNeverSkipsATileAfterARowZeroPosition)
{
    launch();
    enterJob("-80", "10", "85", "-85", 2, 1, "J.tavo");
    pressDownload();
    stopWhileTileIsInHand(4); // (1, 3) in hand
    EXPECT_EQ(positions("J.tavo"), "T1X=1\r\nT1Y=3\r\n");

    pressDownload(); // continues with (2, 0)
    stopWhileTileIsInHand(5);
    EXPECT_TRUE(QFileInfo::exists(savePath("J/2_0.jpg")));
    EXPECT_EQ(positions("J.tavo"), "T1X=1\r\nT1Y=3\r\n");

    serveQuickly();
    pressDownload(); // continues after (1, 3) again
    ASSERT_TRUE(waitForFinish());
    for (int x = 1; x <= 2; ++x)
        for (int y = 0; y <= 3; ++y)
            EXPECT_TRUE(
                readAll(savePath(QStringLiteral("J/%1_%2.jpg").arg(x).arg(y))).toStdString() ==
                tileserver::TileServer::tileBody(MakeQuadkey(x, y, 2).toStdString()))
                << x << "_" << y;
    EXPECT_EQ(positions("J.tavo"), "T1X=2\r\nT1Y=3\r\n");
}

// Columns 0..1 at zoom 2: a worker stopped in column 0 has no position, and
// the file keeps both of its keys empty rather than half a pair.
TEST_F(RepairTest, ColumnZeroPositionIsNotStoredAsHalfAPair)
{
    launch();
    enterJob("-180", "-80", "85", "-85", 2, 1, "C.tavo");
    pressDownload();
    stopWhileTileIsInHand(3); // (0, 2) in hand
    EXPECT_EQ(positions("C.tavo"), "T1X=\r\nT1Y=\r\n");
}

// The save folder fills up during the job: the project file keeps its
// content, the log window does not claim a save, and with room again the job
// continues and completes.
TEST_F(RepairTest, FullDiskKeepsTheProjectFileAndNeverReportsAnUnsavedLog)
{
    SmallFileSystem disk(1024 * 1024);
    if (!disk.mounted())
        GTEST_SKIP() << "mounting a small file system is not permitted here";
    saveFolder = disk.path() + "/maps";
    ASSERT_TRUE(QDir().mkpath(saveFolder));
    launch();
    // The monitor's own second: the disk is full before the first saving tick
    // (the fourth) would write the log.
    form().Timer1()->setInterval(1000);
    enterJob("116.3", "116,4", "40", "39.9", 13, 1, "J.tavo");
    pressDownload();
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(savePath("J/6742_5088.jpg")); }));
    const QByteArray project = readAll(savePath("J.tavo"));
    ASSERT_TRUE(project.startsWith("[AREA]\r\n"));
    disk.fill();
    ASSERT_TRUE(waitForFinish(30000));

    EXPECT_TRUE(closingBox().startsWith("Download finished!\nStopped: tiles could not be written.\n"))
        << closingBox().toStdString();
    EXPECT_GE(shell.messages.size(), 1) << "the failed saves are reported";
    EXPECT_TRUE(readAll(savePath("J.tavo")).startsWith(project.left(project.indexOf("T1X="))));
    const QString window = form().Memo1()->toPlainText();
    EXPECT_FALSE(window.contains("Log file has been saved")) << window.toStdString();
    EXPECT_TRUE(window.contains("Log file could not be saved to " + savePath("J_log.txt")));
    EXPECT_TRUE(window.contains(QRegularExpression("Thread1 cannot write \\d+-\\d+\\.jpg: ")));

    disk.removeFiller();
    clearBoxes();
    form().Timer1()->setInterval(kTickMs);
    serveQuickly();
    pressDownload(); // the same job continues
    ASSERT_TRUE(waitForFinish(30000));
    EXPECT_EQ(shell.messages.size(), 1);
    EXPECT_TRUE(closingBox().startsWith("Download finished!\nStored "));
    for (int x = 6742; x <= 6744; ++x)
        for (int y = 5087; y <= 5090; ++y)
            EXPECT_TRUE(
                readAll(savePath(QStringLiteral("J/%1_%2.jpg").arg(x).arg(y))).toStdString() ==
                tileserver::TileServer::tileBody(MakeQuadkey(x, y, 13).toStdString()))
                << x << "_" << y;
    EXPECT_TRUE(form().Memo1()->toPlainText().contains("Log continue..."));
    EXPECT_TRUE(form().Memo1()->toPlainText().contains("Log file has been saved to " +
                                                       savePath("J_log.txt") + "\nTiles stored: "));
}

} // namespace
