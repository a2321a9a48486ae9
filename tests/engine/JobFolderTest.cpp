#include "engine/JobFolder.h"
#include "engine/ProjectFile.h"
#include "engine/RepairPlan.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace tavo {
namespace {

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    ASSERT_EQ(f.write(bytes), bytes.size());
}

const QByteArray Jpeg = QByteArray::fromHex("ffd8ffe000104a464946") + QByteArray(200, 'j') +
                        QByteArray::fromHex("ffd9");
const QByteArray Blank = QByteArray::fromHex("ffd8ffdb") + QByteArray(100, 'b');

// One folder holding every kind of tile file, and the names that must not count.
TEST(JobFolderTest, ClassifiesEveryKindOfTileAndCountsThem)
{
    QTemporaryDir dir;
    const QString folder = dir.path() + QStringLiteral("/Job/");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString blankPath = dir.path() + QStringLiteral("/blank.jpg");
    writeFile(blankPath, Blank);

    const TileRect rect{10, 12, 20, 22}; // 3 columns, 3 rows
    writeFile(folder + "10_20.jpg", Jpeg);
    writeFile(folder + "11_20.jpg", Blank);                       // placeholder by bytes
    ASSERT_EQ(::link(QFile::encodeName(blankPath).constData(),     // placeholder by link
                     QFile::encodeName(folder + "12_20.jpg").constData()),
              0);
    writeFile(folder + "10_21.jpg", QByteArray());                // empty
    writeFile(folder + "11_21.jpg", "<html>no</html>");           // not a JPEG
    writeFile(folder + "12_21.jpg.part", Jpeg.left(50));          // interrupted, no file
    writeFile(folder + "10_20.jpg.part", Jpeg.left(5));           // leftover beside a good file
    writeFile(folder + "10_22.jpg", Jpeg.left(Blank.size()));     // tail lost, placeholder's size
    writeFile(folder + "11_22.jpg", Jpeg + QByteArray(TileTailSlack, '\0'));     // padded
    writeFile(folder + "12_22.jpg", Jpeg + QByteArray(TileTailSlack + 1, '\0')); // end not found
    writeFile(folder + "9_20.jpg", Jpeg);                         // outside the rectangle
    writeFile(folder + "x_20.jpg", Jpeg);                         // not a tile name
    writeFile(folder + "10_20.jpeg", "junk");

    ScanOptions options;
    options.placeholder = Blank;
    options.placeholderPath = blankPath;
    const JobScan scan = scanJobFolder(folder, rect, options);

    using S = TileState;
    const S expected[3][3] = {// rows 20 to 22, columns 10 to 12
                              {S::Good, S::Placeholder, S::Placeholder},
                              {S::Empty, S::NotJpeg, S::Partial},
                              {S::Truncated, S::Good, S::Truncated}};
    for (qint32 y = 20; y <= 22; ++y)
        for (qint32 x = 10; x <= 12; ++x)
            EXPECT_EQ(scan.state(x, y), expected[y - 20][x - 10]) << x << "_" << y;
    EXPECT_EQ(scan.total(), 9);
    EXPECT_EQ(scan.count(TileState::Good), 2);
    EXPECT_EQ(scan.count(TileState::Placeholder), 2);
    EXPECT_EQ(scan.count(TileState::Missing), 0);
    EXPECT_EQ(scan.count(TileState::Truncated), 2);
    EXPECT_EQ(scan.bad(), 7);
    const std::vector<TilePosition> bad = scan.badTiles();
    ASSERT_EQ(bad.size(), 7u);
    EXPECT_EQ(bad.front(), (TilePosition{10, 21})); // column by column, rows from the south
}

TEST(JobFolderTest, AHugeAreaWithFewTilesCostsItsTilesNotItsArea)
{
    // 2^28 places (a whole zoom-14 grid): one byte a place would be 256 MB.
    JobScan scan(TileRect{0, 16383, 0, 16383});
    EXPECT_FALSE(scan.dense());
    const struct
    {
        qint32 x, y;
        TileState state;
    } tiles[] = {{0, 0, TileState::Good}, {16383, 16383, TileState::Placeholder},
                 {7, 9000, TileState::Truncated}, {9000, 7, TileState::Good}};
    for (const auto& t : tiles)
        scan.setState(t.x, t.y, t.state);
    scan.setState(7, 9000, TileState::Missing); // set back: gone from the table
    for (const auto& t : tiles)
        EXPECT_EQ(scan.state(t.x, t.y), t.x == 7 ? TileState::Missing : t.state);
    EXPECT_EQ(scan.state(9000, 9000), TileState::Missing);
    EXPECT_EQ(scan.count(TileState::Good), 2);
    EXPECT_EQ(scan.count(TileState::Placeholder), 1);
    EXPECT_EQ(scan.count(TileState::Truncated), 0);
    EXPECT_EQ(scan.count(TileState::Missing), scan.total() - 3);

    // A large area that fills up turns into one byte a place, states kept.
    JobScan filling(TileRect{0, 4199, 0, 3999}); // 16.8 M places, above the limit
    ASSERT_FALSE(filling.dense());
    for (qint32 x = 0; x < 4200 && !filling.dense(); ++x)
        for (qint32 y = 0; y < 4000 && !filling.dense(); y += 2)
            filling.setState(x, y, TileState::Good);
    EXPECT_TRUE(filling.dense());
    const qint64 good = filling.count(TileState::Good);
    filling.setState(4199, 3999, TileState::Empty);
    EXPECT_EQ(filling.state(0, 0), TileState::Good);
    EXPECT_EQ(filling.state(0, 1), TileState::Missing);
    EXPECT_EQ(filling.state(4199, 3999), TileState::Empty);
    EXPECT_EQ(filling.count(TileState::Good), good);
    EXPECT_EQ(filling.count(TileState::Missing), filling.total() - good - 1);
}

TEST(JobFolderTest, MissingFolderLeavesEveryTileMissing)
{
    const JobScan scan = scanJobFolder(QStringLiteral("/nonexistent/folder/"), TileRect{0, 3, 0, 1});
    EXPECT_EQ(scan.count(TileState::Missing), 8);
}

TEST(JobFolderTest, ReadsAProjectWrittenByTheDownloaderAndRefusesUnusableOnes)
{
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/Area 1.tavo");
    WriteNewProject(path, {"10.5", "11", "46", "45.25"}, 13, {4334, 4356, 5253, 5270}, 4);
    ProjectInfo info;
    QString error;
    ASSERT_TRUE(readProjectInfo(path, info, &error)) << error.toStdString();
    EXPECT_EQ(info.zoom, 13);
    EXPECT_EQ(info.rect, (TileRect{4334, 4356, 5253, 5270}));
    EXPECT_EQ(info.imageFolder, dir.path() + QStringLiteral("/Area 1/"));
    EXPECT_EQ(info.area.left, QStringLiteral("10.5"));
    EXPECT_EQ(info.threadCount, 4);

    // Written by hand, without the range: the area gives it, as the set-up would.
    const QString byHand = dir.path() + QStringLiteral("/byhand.tavo");
    writeFile(byHand, "[AREA]\nLeftLongitude=10,5\nRightLongitude=11\nTopLatitude=46\n"
                      "BottomLatitude=45.25\n[Zoom]\nZoom=13\n");
    ASSERT_TRUE(readProjectInfo(byHand, info, &error)) << error.toStdString();
    EXPECT_EQ(info.rect, (TileRect{4334, 4346, 5253, 5277}));

    const struct { const char* name; QByteArray content; } bad[] = {
        {"nozoom.tavo", "[XY]\r\nMinX=1\r\nMaxX=2\r\nMinY=1\r\nMaxY=2\r\n"},
        {"norange.tavo", "[Zoom]\r\nZoom=3\r\n"},
        {"badarea.tavo", "[AREA]\r\nLeftLongitude=5\r\nRightLongitude=4\r\nTopLatitude=1\r\n"
                         "BottomLatitude=0\r\n[Zoom]\r\nZoom=3\r\n"},
        {"outside.tavo", "[Zoom]\r\nZoom=2\r\n[XY]\r\nMinX=0\r\nMaxX=4\r\nMinY=0\r\nMaxY=1\r\n"},
        {"reversed.tavo", "[Zoom]\r\nZoom=5\r\n[XY]\r\nMinX=3\r\nMaxX=2\r\nMinY=0\r\nMaxY=1\r\n"},
    };
    for (const auto& b : bad) {
        const QString p = dir.path() + u'/' + QLatin1String(b.name);
        writeFile(p, b.content);
        error.clear();
        EXPECT_FALSE(readProjectInfo(p, info, &error)) << b.name;
        EXPECT_TRUE(error.contains(p)) << error.toStdString();
    }
    EXPECT_FALSE(readProjectInfo(dir.path() + QStringLiteral("/gone.tavo"), info, &error));
    EXPECT_TRUE(error.startsWith(QStringLiteral("Cannot open file"))) << error.toStdString();
}

} // namespace
} // namespace tavo

namespace tavo {
namespace {

// A marker segment: FF, the marker, the length (counting itself), the payload.
QByteArray segment(unsigned char marker, const QByteArray& payload)
{
    const int length = int(payload.size()) + 2;
    return QByteArray("\xFF") + char(marker) + char(length >> 8) + char(length & 0xFF) + payload;
}

// A JPEG whose segments can be followed: an Exif segment holding a thumbnail
// (which ends FF D9 itself), tables, a scan whose data holds a stuffed FF 00
// and a restart marker, and the end marker.
const QByteArray Head = QByteArray("\xFF\xD8", 2) +
                        segment(0xE1, QByteArray("Exif\0\0\xFF\xD8", 8) + QByteArray(40, 't') +
                                          QByteArray("\xFF\xD9", 2)) +
                        segment(0xDB, QByteArray(65, 'q')) + segment(0xC0, QByteArray(15, 's')) +
                        segment(0xC4, QByteArray(30, 'h'));
const QByteArray Scan = segment(0xDA, QByteArray(10, 'c')) + QByteArray(100, 'd') +
                        QByteArray("\xFF\x00", 2) + QByteArray(50, 'e') +
                        QByteArray("\xFF\xD0", 2) + QByteArray(50, 'f');
const QByteArray Whole = Head + Scan + QByteArray("\xFF\xD9", 2);

// The verdicts that decide whether "fetch missing tiles again" sets a tile
// aside, and whether glimpse and weaver use it. What is not a regular file is
// never opened: a FIFO named like a tile must not block the scan.
TEST(JobFolderTest, TheVerdictFollowsTheJpegsSegmentsAndLinks)
{
    QTemporaryDir dir;
    const QString folder = dir.path() + QStringLiteral("/Job/");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString elsewhere = dir.path() + QStringLiteral("/good.jpg");
    writeFile(elsewhere, Whole);

    struct Case
    {
        const char* what;
        std::function<void(const QString& path)> make;
        TileState state;
    };
    const Case cases[] = {
        {"whole", [](const QString& p) { writeFile(p, Whole); }, TileState::Good},
        {"105 bytes after the end marker",
         [](const QString& p) { writeFile(p, Whole + QByteArray(105, '\0')); }, TileState::Good},
        {"cut in the scan data", [](const QString& p) { writeFile(p, Whole.left(Head.size() + 80)); },
         TileState::Truncated},
        {"cut after the thumbnail's end marker",
         [](const QString& p) { writeFile(p, Whole.left(Head.indexOf("\xFF\xDB", 2))); },
         TileState::Truncated},
        {"cut after a restart marker",
         [](const QString& p) { writeFile(p, Whole.left(Whole.indexOf("\xFF\xD0", 0) + 2)); },
         TileState::Truncated},
        {"a link to a whole tile",
         [&](const QString& p) { ASSERT_TRUE(QFile::link(elsewhere, p)); }, TileState::Good},
        {"a link to nothing",
         [&](const QString& p) { ASSERT_TRUE(QFile::link(dir.path() + "/none.jpg", p)); },
         TileState::Missing},
        {"a folder", [](const QString& p) { ASSERT_TRUE(QDir().mkdir(p)); }, TileState::NotJpeg},
        {"a FIFO",
         [](const QString& p) { ASSERT_EQ(::mkfifo(QFile::encodeName(p).constData(), 0644), 0); },
         TileState::NotJpeg},
    };
    const qint32 count = qint32(std::size(cases));
    for (qint32 i = 0; i < count; ++i)
        cases[i].make(folder + QStringLiteral("%1_0.jpg").arg(i));
    writeFile(folder + "0_0.jpg.bad", "set aside earlier"); // not a tile

    const JobScan scan = scanJobFolder(folder, TileRect{0, count - 1, 0, 0});
    for (qint32 i = 0; i < count; ++i) {
        EXPECT_EQ(scan.state(i, 0), cases[i].state) << cases[i].what;
        if (cases[i].state != TileState::Missing && cases[i].what != std::string("a FIFO") &&
            cases[i].what != std::string("a folder"))
            EXPECT_EQ(classifyTileFile(folder + QStringLiteral("%1_0.jpg").arg(i), {}),
                      cases[i].state)
                << cases[i].what;
    }
}

// The list of tiles to fetch again is one bit a tile of the project: the
// largest project the reader accepts needs 32 MB, and is refused when the
// memory cannot spare that.
TEST(JobFolderTest, RepairOfAHugeProjectKeepsOneBitATileOrIsRefused)
{
    QTemporaryDir dir;
    ProjectInfo project;
    project.projectPath = dir.path() + QStringLiteral("/Huge.tavo");
    project.imageFolder = dir.path() + QStringLiteral("/Huge/");
    project.rect = TileRect{0, (1 << 14) - 1, 0, (1 << 14) - 1}; // 2^28 tiles
    ASSERT_TRUE(QDir().mkpath(project.imageFolder));
    writeFile(project.imageFolder + "5_7.jpg", Whole);
    writeFile(project.imageFolder + "5_8.jpg", "<html>");

    RepairPlan refused;
    QString error;
    EXPECT_FALSE(refused.scan(project, {}, &error, 64LL << 20));
    EXPECT_EQ(error, project.projectPath +
                         " has 268,435,456 tiles: the list of its tiles to fetch again needs 32 MB, "
                         "more than this computer can spare now (64 MB available).");

    RepairPlan plan;
    ASSERT_TRUE(plan.scan(project, {}, &error, 1LL << 30)) << error.toStdString();
    EXPECT_EQ(plan.toFetchCount(), (qint64(1) << 28) - 1);
    EXPECT_EQ(plan.count(TileState::Missing), (qint64(1) << 28) - 2);
    EXPECT_EQ(plan.count(TileState::NotJpeg), 1);
    EXPECT_FALSE(plan.toFetch()->contains(5, 7));
    EXPECT_TRUE(plan.toFetch()->contains(5, 8));
    EXPECT_EQ(plan.toFetch()->next(0), 1);
    EXPECT_EQ(plan.toFetch()->next(5 * (1 << 14) + 7), 5 * (1 << 14) + 9) << "5_7 is skipped";

    // The bad file is moved aside, not deleted.
    EXPECT_TRUE(plan.setAside().isEmpty());
    EXPECT_FALSE(QFile::exists(project.imageFolder + "5_8.jpg"));
    QFile aside(project.imageFolder + "5_8.jpg.bad");
    ASSERT_TRUE(aside.open(QIODevice::ReadOnly));
    EXPECT_EQ(aside.readAll(), QByteArray("<html>"));
}

} // namespace
} // namespace tavo
