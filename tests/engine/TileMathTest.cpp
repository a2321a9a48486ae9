#include "engine/TileMath.h"
#include "QtPrinters.h"

#include <gtest/gtest.h>

using namespace tavo;

namespace {

// Tolerance for printed extents (the worked example gives six decimals).
constexpr long double SixDecimals = 5e-7L;

} // namespace

// --- The worked point (10.5, 45.25) -------------------------------------------------------

TEST(TileMathWorkedPoint, Zoom3TileAndQuadkey)
{
    EXPECT_EQ(LongitudeToTileX(10.5, 3), 4);
    EXPECT_EQ(LatitudeToTileY(45.25, 3), 5);
    EXPECT_EQ(MakeQuadkey(4, 5, 3), QStringLiteral("120"));
}

TEST(TileMathWorkedPoint, Zoom3Extent)
{
    EXPECT_EQ(TileXToLongitude(4, 3), 0.0L);
    EXPECT_EQ(TileXToLongitude(5, 3), 45.0L);
    EXPECT_NEAR(static_cast<double>(TileYToLatitude(5, 3)), 40.979898, SixDecimals);
    EXPECT_NEAR(static_cast<double>(TileYToLatitude(6, 3)), 66.513260, SixDecimals);
}

TEST(TileMathWorkedPoint, Zoom13TileAndQuadkey)
{
    EXPECT_EQ(LongitudeToTileX(10.5, 13), 4334);
    EXPECT_EQ(LatitudeToTileY(45.25, 13), 5253);
    EXPECT_EQ(MakeQuadkey(4334, 5253, 13), QStringLiteral("1202213323130"));
    EXPECT_EQ(MakeQuadkeyString(4334, 5253, 13), "1202213323130");
}

TEST(TileMathWorkedPoint, BeijingRectangleAtZoom13)
{
    EXPECT_EQ(LongitudeToTileX(116.3, 13), 6742);
    EXPECT_EQ(LongitudeToTileX(116.4, 13), 6744);
    EXPECT_EQ(LatitudeToTileY(39.9, 13), 5087);
    EXPECT_EQ(LatitudeToTileY(40, 13), 5090);
    EXPECT_EQ(TileXToLongitude(6742, 13), 116.279296875L);
    EXPECT_EQ(TileXToLongitude(6745, 13), 116.4111328125L);
}

// --- Grid edges: a boundary longitude falls into the column to its west, the equator into
// the row to its south --------------------------------------------------------------------

class GridEdges : public ::testing::TestWithParam<int>
{
};

TEST_P(GridEdges, Antimeridian180IsLastColumnNotN)
{
    const int zoom = GetParam();
    EXPECT_EQ(LongitudeToTileX(180, zoom), TileScale(zoom) - 1);
}

TEST_P(GridEdges, Minus180IsColumnZero)
{
    EXPECT_EQ(LongitudeToTileX(-180, GetParam()), 0);
}

TEST_P(GridEdges, GreenwichIsWestOfCentre)
{
    const int zoom = GetParam();
    EXPECT_EQ(LongitudeToTileX(0, zoom), TileScale(zoom) / 2 - 1);
}

TEST_P(GridEdges, Minus90IsWestOfQuarter)
{
    const int zoom = GetParam();
    EXPECT_EQ(LongitudeToTileX(-90, zoom), TileScale(zoom) / 4 - 1);
}

TEST_P(GridEdges, Plus90IsExactlyThreeQuarters)
{
    const int zoom = GetParam();
    EXPECT_EQ(LongitudeToTileX(90, zoom), 3 * TileScale(zoom) / 4);
}

TEST_P(GridEdges, EquatorIsSouthOfCentre)
{
    const int zoom = GetParam();
    EXPECT_EQ(LatitudeToTileY(0, zoom), TileScale(zoom) / 2 - 1);
}

INSTANTIATE_TEST_SUITE_P(Zooms, GridEdges, ::testing::Values(2, 3, 8, 13, 17, 20));

TEST(TileMathZoom1, GreenwichAndEquatorAreTileZero)
{
    EXPECT_EQ(LongitudeToTileX(0, 1), 0);
    EXPECT_EQ(LatitudeToTileY(0, 1), 0);
    EXPECT_EQ(LongitudeToTileX(180, 1), 1);
    EXPECT_EQ(LongitudeToTileX(90, 1), 1);
}

// --- Row edges near the poles ---------------------------------------------------------------

TEST(LatitudeEdges, Plus85AndMinus85AtZoom13)
{
    EXPECT_EQ(LatitudeToTileY(85, 13), 8178);
    EXPECT_EQ(LatitudeToTileY(-85, 13), 13);
}

TEST(LatitudeEdges, Plus85AndMinus85AtZoom20)
{
    EXPECT_EQ(LatitudeToTileY(85, 20), 1046858);
    EXPECT_EQ(LatitudeToTileY(-85, 20), 1717);
}

TEST(LatitudeEdges, RowsCountFromTheSouth)
{
    EXPECT_LT(LatitudeToTileY(-45, 10), LatitudeToTileY(45, 10));
    EXPECT_NEAR(static_cast<double>(TileYToLatitude(0, 5)), -85.0511287798, 1e-9);
    EXPECT_NEAR(static_cast<double>(TileYToLatitude(32, 5)), 85.0511287798, 1e-9);
}

// --- Each point lies inside the extent of the tile it is mapped to --------------------------

TEST(TileExtents, EveryPointLiesInItsTile)
{
    for (int zoom : {1, 4, 9, 13, 18}) {
        for (double lon = -179.75; lon < 180; lon += 7.3) {
            const qint32 x = LongitudeToTileX(lon, zoom);
            EXPECT_LE(TileXToLongitude(x, zoom), lon) << lon << " z" << zoom;
            EXPECT_GT(TileXToLongitude(x + 1, zoom), lon) << lon << " z" << zoom;
        }
        for (double lat = -84.9; lat < 85; lat += 3.7) {
            const qint32 y = LatitudeToTileY(lat, zoom);
            EXPECT_LE(TileYToLatitude(y, zoom), lat + 1e-9) << lat << " z" << zoom;
            EXPECT_GT(TileYToLatitude(y + 1, zoom), lat - 1e-9) << lat << " z" << zoom;
        }
    }
}

TEST(TileExtents, ColumnEdgesAreExactMultiples)
{
    EXPECT_EQ(TileXToLongitude(0, 13), -180.0L);
    EXPECT_EQ(TileXToLongitude(8192, 13), 180.0L);
    EXPECT_EQ(TileXToLongitude(4096, 13), 0.0L);
}

// --- Quadkeys -------------------------------------------------------------------------------

TEST(Quadkey, DigitTableAtZoom1)
{
    // Row 1 is the northern half at zoom 1, so it maps to the service's top row.
    EXPECT_EQ(MakeQuadkey(0, 1, 1), QStringLiteral("0"));
    EXPECT_EQ(MakeQuadkey(1, 1, 1), QStringLiteral("1"));
    EXPECT_EQ(MakeQuadkey(0, 0, 1), QStringLiteral("2"));
    EXPECT_EQ(MakeQuadkey(1, 0, 1), QStringLiteral("3"));
}

TEST(Quadkey, MostSignificantLevelFirst)
{
    // x = 10b, y = 11b: level 2 has bx 1, by 1 ("1"); level 1 has bx 0, by 1 ("0").
    EXPECT_EQ(MakeQuadkey(2, 3, 2), QStringLiteral("10"));
    EXPECT_EQ(MakeQuadkey(1, 0, 2), QStringLiteral("23"));
}

TEST(Quadkey, ZoomZeroAndNegativeAreEmpty)
{
    EXPECT_TRUE(MakeQuadkey(0, 0, 0).isEmpty());
    EXPECT_TRUE(MakeQuadkey(5, 5, -3).isEmpty());
    EXPECT_EQ(TileScale(0), 1);
}

TEST(Quadkey, LengthIsZoom)
{
    for (int zoom : {1, 7, 20, 25})
        EXPECT_EQ(MakeQuadkey(123, 456, zoom).size(), zoom);
}

TEST(Quadkey, OnlyTheLowestZoomBitsCount)
{
    const int zoom = 13;
    const qint32 n = TileScale(zoom);
    EXPECT_EQ(MakeQuadkey(n, 77, zoom), MakeQuadkey(0, 77, zoom));
    EXPECT_EQ(MakeQuadkey(5, n + 9, zoom), MakeQuadkey(5, 9, zoom));
    EXPECT_EQ(MakeQuadkey(3 * n + 4, 2 * n + 1, zoom), MakeQuadkey(4, 1, zoom));
}

TEST(Quadkey, SouthOriginRowIsFlipped)
{
    // The south-west tile is the service's bottom-left: all "2"; the north-east all "1".
    EXPECT_EQ(MakeQuadkey(0, 0, 4), QStringLiteral("2222"));
    EXPECT_EQ(MakeQuadkey(15, 15, 4), QStringLiteral("1111"));
    EXPECT_EQ(MakeQuadkey(0, 15, 4), QStringLiteral("0000"));
    EXPECT_EQ(MakeQuadkey(15, 0, 4), QStringLiteral("3333"));
}

TEST(Quadkey, Zoom25UsesAllLevels)
{
    const qint32 topBit = 1 << 24;
    EXPECT_EQ(MakeQuadkey(topBit, topBit, 25), QStringLiteral("1") + QString(24, QLatin1Char('2')));
}

// --- Scale ----------------------------------------------------------------------------------

TEST(TileScaleTest, ShiftCountWrapsAt32)
{
    EXPECT_EQ(TileScale(20), 1 << 20);
    EXPECT_EQ(TileScale(32), 1);
    EXPECT_EQ(TileScale(33), 2);
    EXPECT_EQ(TileScale(31), std::numeric_limits<qint32>::min());
}
