// The command line of the downloader: what it refuses, and the area it takes
// from a GIS file.

#include "engine/AreaSelection.h"
#include "job/JobCommand.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tavo;

TEST(CommandTest, ArgumentsThatCannotGoTogetherAreRefused)
{
    struct Case
    {
        QStringList arguments;
        QString error; // empty: accepted
    } const cases[] = {
        {{"--area-from", "a.geojson", "--zoom", "12", "--project", "A"}, ""},
        {{"--area-from", "a.geojson", "--buffer", "250", "--project", "A"}, ""},
        {{"--area-from", "a.geojson", "--left", "6", "--project", "A"},
         "give the area's edges or --area-from, not both"},
        {{"--buffer", "250", "--left", "6", "--project", "A"}, "--buffer needs --area-from"},
        {{"--area-from", "a.geojson", "--buffer", "-5"}, "--buffer: not a number of metres: -5"},
        {{"--area-from", "a.geojson", "--buffer", "x"}, "--buffer: not a number of metres: x"},
        {{"Job.tavo", "--area-from", "a.geojson"},
         "give a project file or the job's options, not both"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        JobCommand command;
        QString error;
        EXPECT_EQ(parseJobCommand(c.arguments, command, error), c.error.isEmpty());
        EXPECT_EQ(error, c.error);
    }
}

TEST(CommandTest, AreaFromAFileIsTheDialogsSnappedArea)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("walk.geojson");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(R"({"type":"FeatureCollection","features":[
      {"type":"Feature","properties":{},"geometry":{"type":"LineString",
       "coordinates":[[6.05,45.87],[6.21,45.93],[6.16,45.81]]}}]})");
    file.close();

    AreaTexts texts;
    QString error;
    ASSERT_TRUE(areaTextsFromFile(path, 0, "12", texts, error)) << error.toStdString();
    const AreaValues box{6.05, 6.21, 45.93, 45.81};
    const AreaTexts expected = areaTextsFor(snapToTiles(box, 12), 12);
    EXPECT_EQ(texts.left, expected.left);
    EXPECT_EQ(texts.right, expected.right);
    EXPECT_EQ(texts.top, expected.top);
    EXPECT_EQ(texts.bottom, expected.bottom);

    // A buffer of a tile's width or more reaches the next column on each side.
    AreaTexts wider;
    ASSERT_TRUE(areaTextsFromFile(path, 10000, "12", wider, error));
    EXPECT_LT(wider.left.toDouble(), texts.left.toDouble());
    EXPECT_GT(wider.right.toDouble(), texts.right.toDouble());

    EXPECT_FALSE(areaTextsFromFile(path, 0, "31", texts, error));
    EXPECT_EQ(error, "Zoom level should be between 1 and 30.");
    error.clear();
    EXPECT_FALSE(areaTextsFromFile(dir.filePath("none.geojson"), 0, "12", texts, error));
    EXPECT_FALSE(error.isEmpty());
}
