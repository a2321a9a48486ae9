#include "WeaverTestSupport.h"

#include <QProcess>

#include <sqlite3.h>

#include <array>
#include <cstdlib>
#include <map>
#include <memory>
#include <tuple>

namespace tavo::weaver::testing {
namespace {

// 4 x 4 tiles at zoom 10 on even columns and rows, so zoom 9 is 2 x 2 tiles
// and zoom 8 one tile. Rows count from the south.
const TileRect Rect{500, 503, 600, 603};
const TilePosition Missing{503, 603}, Corrupt{500, 600};

using Key = std::tuple<int, qint32, qint32>; // zoom, column, row from the south
using Tiles = std::map<Key, QByteArray>;

int pictureOf(qint32 x, qint32 y)
{
    return (x - Rect.minX) * 4 + (y - Rect.minY) + 1;
}

// Every tile of a tile store, whatever its numbering, in the grid of the file names.
Tiles readTiles(const QString& path, const char* sql)
{
    Tiles tiles;
    sqlite3* db = nullptr;
    EXPECT_EQ(
        sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr),
        SQLITE_OK);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> closer(db, sqlite3_close);
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    while (st && sqlite3_step(st) == SQLITE_ROW)
        tiles[{sqlite3_column_int(st, 0), sqlite3_column_int(st, 1), sqlite3_column_int(st, 2)}] =
            QByteArray(static_cast<const char*>(sqlite3_column_blob(st, 3)),
                       sqlite3_column_bytes(st, 3));
    sqlite3_finalize(st);
    return tiles;
}

std::map<std::string, std::string> readPairs(const QString& path, const char* sql)
{
    std::map<std::string, std::string> pairs;
    sqlite3* db = nullptr;
    sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    while (st && sqlite3_step(st) == SQLITE_ROW)
        pairs[reinterpret_cast<const char*>(sqlite3_column_text(st, 0))] =
            reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return pairs;
}

// A tile's 256 x 256 RGBA pixels (opaque for a JPEG); empty when it does not decode.
std::vector<int> decodeRgba(const QByteArray& bytes)
{
    const CPLString name = CPLSPrintf("/vsimem/stored_%p", static_cast<const void*>(&bytes));
    VSIFCloseL(VSIFileFromMemBuffer(name, reinterpret_cast<GByte*>(const_cast<char*>(bytes.data())),
                                    vsi_l_offset(bytes.size()), FALSE));
    std::vector<int> rgba;
    if (GDALDataset* ds = GDALDataset::Open(name, GDAL_OF_RASTER)) {
        EXPECT_EQ(ds->GetRasterXSize(), 256);
        std::vector<unsigned char> band(256 * 256);
        rgba.assign(256 * 256 * 4, 255);
        for (int b = 0; b < std::min(4, ds->GetRasterCount()); ++b) {
            EXPECT_EQ(ds->GetRasterBand(b + 1)->RasterIO(GF_Read, 0, 0, 256, 256, band.data(), 256,
                                                         256, GDT_Byte, 0, 0, nullptr),
                      CE_None);
            for (std::size_t i = 0; i < band.size(); ++i)
                rgba[i * 4 + std::size_t(b)] = band[i];
        }
        GDALClose(ds);
    }
    VSIUnlink(name);
    return rgba;
}

// Compares a tile with the 2 x 2 average of its four children (north-west,
// north-east, south-west, south-east; empty: nothing there). Colours where
// the tile is opaque, within JPEG error; transparency exactly where no child is.
void expectAverageOfChildren(const std::vector<int>& parent,
                             const std::array<std::vector<int>, 4>& children)
{
    ASSERT_EQ(parent.size(), 256u * 256 * 4);
    double error = 0;
    int compared = 0, worst = 0;
    for (int row = 0; row < 256; ++row) {
        for (int column = 0; column < 256; ++column) {
            const std::vector<int>& child = children[std::size_t((row / 128) * 2 + column / 128)];
            const int* p = &parent[std::size_t(row * 256 + column) * 4];
            if (child.empty()) {
                ASSERT_EQ(p[3], 0) << column << "," << row;
                continue;
            }
            int sum[4] = {0, 0, 0, 0}, weight = 0;
            for (int dy = 0; dy < 2; ++dy)
                for (int dx = 0; dx < 2; ++dx) {
                    const int* c =
                        &child[std::size_t(((row % 128) * 2 + dy) * 256 + (column % 128) * 2 + dx) *
                               4];
                    for (int k = 0; k < 3; ++k)
                        sum[k] += c[k] * c[3];
                    sum[3] += c[3];
                    weight += c[3];
                }
            ASSERT_NEAR(p[3], sum[3] / 4, 1) << column << "," << row;
            if (weight < 255 * 4)
                continue;
            for (int k = 0; k < 3; ++k) {
                const int d = std::abs(p[k] - sum[k] / weight);
                error += d;
                // Chroma subsampling blurs colours across the seams between
                // pictures: the largest difference is taken away from them.
                const auto nearSeam = [](int v) { return (v + 2) % 64 < 4; };
                if (!nearSeam(column) && !nearSeam(row))
                    worst = std::max(worst, d);
                ++compared;
            }
        }
    }
    ASSERT_GT(compared, 0);
    EXPECT_LT(error / compared, 2.5);
    EXPECT_LE(worst, 16);
}

TEST(TileStoreTest, EveryLevelHoldsTheAveragesOfTheLevelAboveAndTheJobTilesUnchanged)
{
    JobFixture job(Rect);
    for (qint32 x = Rect.minX; x <= Rect.maxX; ++x)
        for (qint32 y = Rect.minY; y <= Rect.maxY; ++y)
            if (TilePosition{x, y} != Missing)
                writeFile(job.tilePath(x, y), pictureJpeg(pictureOf(x, y)));
    // Starts and ends like a JPEG: only decoding finds it broken.
    const QByteArray whole = readFileBytes(job.tilePath(Corrupt.x, Corrupt.y));
    writeFile(job.tilePath(Corrupt.x, Corrupt.y), whole.left(whole.size() / 2) + "\xff\xd9");

    // What each level must hold: the job's decodable tiles, then every tile
    // below with something of them in it.
    std::map<Key, bool> expected; // full coverage?
    for (qint32 x = Rect.minX; x <= Rect.maxX; ++x)
        for (qint32 y = Rect.minY; y <= Rect.maxY; ++y)
            if (TilePosition{x, y} != Missing && TilePosition{x, y} != Corrupt)
                expected[{10, x, y}] = true;
    expected[{9, 250, 300}] = false; // holds the corrupt tile
    expected[{9, 251, 300}] = true;
    expected[{9, 250, 301}] = true;
    expected[{9, 251, 301}] = false; // holds the missing one
    expected[{8, 125, 150}] = false;

    struct Case
    {
        OutputFormat format;
        const char* name;
        const char* tiles; // zoom, column, row from the south, image
    };
    const Case cases[] = {
        {OutputFormat::MbTiles, "area.mbtiles",
         "SELECT zoom_level, tile_column, tile_row, tile_data FROM tiles"},
        {OutputFormat::GeoPackage, "area.gpkg",
         "SELECT zoom_level, tile_column, (1 << zoom_level) - 1 - tile_row, tile_data FROM Job"},
        {OutputFormat::SqliteDb, "area.sqlitedb",
         "SELECT 17 - z, x, (1 << (17 - z)) - 1 - y, image FROM tiles WHERE s = 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WeaveRequest request = job.request(c.name, c.format);
        request.minZoom = 8;
        const WeaveResult result = weave(request);
        ASSERT_TRUE(result.ok) << result.error.toStdString();
        EXPECT_EQ(result.written, 14);
        EXPECT_EQ(result.undecodable, std::vector<TilePosition>{Corrupt});
        EXPECT_TRUE(summaryText(request, result).contains("500_600.jpg (unreadable JPEG)"));

        const Tiles tiles = readTiles(request.outPath, c.tiles);
        std::map<Key, bool> stored;
        for (const auto& [key, bytes] : tiles)
            stored[key] = bytes.startsWith("\xff\xd8\xff"); // JPEG where full, PNG where partial
        EXPECT_EQ(stored, expected);

        for (const auto& [key, bytes] : tiles) {
            const auto [zoom, x, y] = key;
            SCOPED_TRACE(::testing::Message() << zoom << "/" << x << "/" << y);
            if (zoom == 10) {
                EXPECT_EQ(bytes, readFileBytes(job.tilePath(x, y)));
                continue;
            }
            std::array<std::vector<int>, 4> children;
            const Key quarters[4] = {{zoom + 1, 2 * x, 2 * y + 1},
                                     {zoom + 1, 2 * x + 1, 2 * y + 1},
                                     {zoom + 1, 2 * x, 2 * y},
                                     {zoom + 1, 2 * x + 1, 2 * y}};
            for (int q = 0; q < 4; ++q)
                if (auto it = tiles.find(quarters[q]); it != tiles.end())
                    children[std::size_t(q)] = decodeRgba(it->second);
            expectAverageOfChildren(decodeRgba(bytes), children);
        }
    }

    // The levels' metadata in each format's own terms.
    const auto mb = readPairs(job.path("area.mbtiles"), "SELECT name, value FROM metadata");
    EXPECT_EQ(mb.at("minzoom"), "8");
    EXPECT_EQ(mb.at("maxzoom"), "10");
    const auto info = readPairs(job.path("area.sqlitedb"), "SELECT minzoom, maxzoom FROM info");
    EXPECT_EQ(info, (std::map<std::string, std::string>{{"7", "9"}}));
    const auto matrices =
        readPairs(job.path("area.gpkg"), "SELECT zoom_level, matrix_width FROM gpkg_tile_matrix");
    EXPECT_EQ(matrices,
              (std::map<std::string, std::string>{{"8", "256"}, {"9", "512"}, {"10", "1024"}}));

    // GDAL's own GeoPackage validator accepts the file.
    QProcess validator;
    validator.setProcessChannelMode(QProcess::MergedChannels);
    validator.start(QStringLiteral("/usr/bin/python3"),
                    {QStringLiteral("-m"), QStringLiteral("osgeo_utils.samples.validate_gpkg"),
                     job.path("area.gpkg")});
    ASSERT_TRUE(validator.waitForFinished(60000));
    EXPECT_EQ(validator.exitCode(), 0) << validator.readAll().toStdString();

    // GDAL places both at the job's bounds, with the two lower levels as overviews.
    const MercatorBounds bounds = mercatorBounds(Rect, 10);
    for (const char* name : {"area.mbtiles", "area.gpkg"}) {
        SCOPED_TRACE(name);
        GDALDataset* ds =
            GDALDataset::Open(QFile::encodeName(job.path(name)).constData(), GDAL_OF_RASTER);
        ASSERT_TRUE(ds);
        double gt[6];
        ASSERT_EQ(ds->GetGeoTransform(gt), CE_None);
        EXPECT_NEAR(gt[0], bounds.west, 0.01);
        EXPECT_NEAR(gt[3], bounds.north, 0.01);
        EXPECT_NEAR(gt[0] + gt[1] * ds->GetRasterXSize(), bounds.east, 0.01);
        EXPECT_NEAR(gt[3] + gt[5] * ds->GetRasterYSize(), bounds.south, 0.01);
        EXPECT_EQ(ds->GetRasterBand(1)->GetOverviewCount(), 2);
        GDALClose(ds);
    }
}

} // namespace
} // namespace tavo::weaver::testing

namespace tavo::weaver::testing {
namespace {

TEST(TileStoreTest, AStoppedJobsHugeAreaIsCountedNotListed)
{
    const TileRect area{0, 1023, 0, 1023}; // the whole grid of zoom 10, two tiles fetched
    JobFixture job(area);
    writeFile(job.tilePath(500, 600), pictureJpeg(1));
    writeFile(job.tilePath(501, 600), pictureJpeg(2));
    const WeaveRequest request = job.request("stopped.mbtiles", OutputFormat::MbTiles);
    const WeaveResult result = weave(request);
    ASSERT_TRUE(result.ok) << result.error.toStdString();
    EXPECT_EQ(result.written, 2);
    EXPECT_EQ(result.counts[int(TileState::Missing)], 1048576 - 2);
    EXPECT_EQ(result.leftOut.size(), NamedAtMost);
    const QString summary = summaryText(request, result, int(NamedAtMost));
    EXPECT_TRUE(summary.endsWith(QStringLiteral("and %1 more.").arg(1048576 - 2 - 1000)))
        << summary.right(200).toStdString();
}

} // namespace
} // namespace tavo::weaver::testing
