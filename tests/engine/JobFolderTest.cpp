#include "engine/JobFolder.h"
#include "engine/ProjectFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
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
