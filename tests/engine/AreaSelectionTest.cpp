#include "engine/AreaSelection.h"
#include "engine/TileMath.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

namespace tavo {
namespace {

AreaValues area(double left, double right, double top, double bottom)
{
    AreaValues values;
    values.left = left;
    values.right = right;
    values.top = top;
    values.bottom = bottom;
    return values;
}

TEST(AreaSelection, SnapsToTheTilesTheJobWouldFetch)
{
    const struct
    {
        AreaValues area;
        int zoom;
        TileRect expected;
    } cases[] = {
        {area(-180, 180, 85, -85), 1, {0, 1, 0, 1}},
        {area(-180, 180, 90, -90), 2, {0, 3, 0, 3}},    // cut to the fields' limits
        {area(10, -10, -5, 5), 2, {1, 2, 1, 2}},        // put in order
        {area(0, 0.1, 0.1, 0), 2, {1, 2, 1, 2}}, // on a grid line: both tiles, as a job takes it
        {area(6.05, 6.2, 46.0, 45.9), 12, {2116, 2118, 2637, 2638}},
        {area(179.99, 180, 1, -1), 20, {1048546, 1048575, 521375, 527200}},
    };
    for (const auto& c : cases) {
        const TileRect rect = snapToTiles(c.area, c.zoom);
        EXPECT_EQ(rect, c.expected) << c.area.left << " " << c.area.top << " zoom " << c.zoom
                                    << ": " << rect.minX << ".." << rect.maxX << ", "
                                    << rect.minY << ".." << rect.maxY;
    }
}

// The texts written into the fields name exactly the rectangle shown: read as
// the job reads them, they give it back, at every zoom, up to the world's
// edges.
TEST(AreaSelection, FieldTextsReadBackAsTheSameTiles)
{
    const QRegularExpression sixDecimals(QStringLiteral("^-?\\d{1,3}\\.\\d{6}$"));
    for (const int zoom : {1, 2, 5, 12, 17, 20}) {
        const qint32 last = TileScale(zoom) - 1;
        const TileRect world = snapToTiles(area(-180, 180, 85, -85), zoom);
        const TileRect rects[] = {
            world,
            {0, 0, world.minY, world.minY},
            {last, last, world.maxY, world.maxY},
            snapToTiles(area(-0.3, 0.3, 0.2, -0.2), zoom),
            snapToTiles(area(6.05, 6.2, 46.0, 45.9), zoom),
        };
        for (const TileRect& rect : rects) {
            const AreaTexts texts = areaTextsFor(rect, zoom);
            for (const QString& text : {texts.left, texts.right, texts.top, texts.bottom})
                EXPECT_TRUE(sixDecimals.match(text).hasMatch()) << text.toStdString();
            const AreaValues read = ParseArea(texts);
            EXPECT_EQ(areaCheckFailure(read), QString()) << "zoom " << zoom;
            EXPECT_EQ(tileRectFor(read, zoom), rect)
                << "zoom " << zoom << ": " << texts.left.toStdString() << " "
                << texts.right.toStdString() << " " << texts.top.toStdString() << " "
                << texts.bottom.toStdString();
        }
    }
}

} // namespace
} // namespace tavo
