#include "WeaverTestSupport.h"

#include "engine/TileMath.h"

#include "weaver/CogWriter.h"

#include <QFileInfo>
#include <QProcess>

#include <tiffio.h>

#include <sys/wait.h>
#include <unistd.h>

#include <ogr_spatialref.h>
#include <sqlite3.h>

#include <cmath>
#include <memory>

namespace tavo::weaver::testing {
namespace {

// 4 columns x 3 rows at zoom 10; rows count from the south.
const TileRect Rect{500, 503, 600, 602};
const TilePosition MissingA{501, 600}, MissingB{503, 602}, Blank{502, 601}, Html{500, 602},
    EmptyFile{503, 600}, Corrupt{502, 600};

struct Closer
{
    void operator()(GDALDataset* ds) const { GDALClose(ds); }
};
using Dataset = std::unique_ptr<GDALDataset, Closer>;

Dataset openRaster(const QString& path)
{
    return Dataset(GDALDataset::Open(QFile::encodeName(path).constData(), GDAL_OF_RASTER));
}

// The pixel (band values) at column, row of an open raster.
std::vector<int> pixel(GDALDataset* ds, int column, int row, int bands)
{
    std::vector<unsigned char> values(std::size_t(bands), 0);
    for (int b = 0; b < bands; ++b)
        EXPECT_EQ(ds->GetRasterBand(b + 1)->RasterIO(GF_Read, column, row, 1, 1, &values[b], 1, 1,
                                                    GDT_Byte, 0, 0, nullptr),
                  CE_None);
    return {values.begin(), values.end()};
}

// Whether the pixel counts as present: alpha band or mask, whichever the file has.
int opacity(GDALDataset* ds, int column, int row)
{
    unsigned char value = 0;
    GDALRasterBand* band = ds->GetRasterCount() == 4 ? ds->GetRasterBand(4)
                                                     : ds->GetRasterBand(1)->GetMaskBand();
    EXPECT_EQ(band->RasterIO(GF_Read, column, row, 1, 1, &value, 1, 1, GDT_Byte, 0, 0, nullptr),
              CE_None);
    return value;
}

class WeaveTest : public ::testing::Test
{
protected:
    WeaveTest() : job(Rect)
    {
        job.writeColouredTiles();
        QFile::remove(job.tilePath(MissingA.x, MissingA.y));
        QFile::remove(job.tilePath(MissingB.x, MissingB.y));
        QFile::remove(job.tilePath(Blank.x, Blank.y));
        EXPECT_TRUE(QFile::copy(placeholderPath(), job.tilePath(Blank.x, Blank.y)));
        writeFile(job.tilePath(Html.x, Html.y), "<html><body>Not found</body></html>");
        writeFile(job.tilePath(EmptyFile.x, EmptyFile.y), QByteArray());
        // Starts and ends like a JPEG, so only decoding finds it broken.
        const QByteArray whole = readFileBytes(job.tilePath(Corrupt.x, Corrupt.y));
        writeFile(job.tilePath(Corrupt.x, Corrupt.y), whole.left(whole.size() / 2) + "\xff\xd9");
    }

    bool isLeftOut(qint32 x, qint32 y) const
    {
        for (TilePosition t : {MissingA, MissingB, Blank, Html, EmptyFile, Corrupt})
            if (t.x == x && t.y == y)
                return true;
        return false;
    }

    // Checks every tile's centre pixel of an image of the whole rectangle.
    void expectTileColours(GDALDataset* ds, int tilePixels, bool transparency)
    {
        for (qint32 x = Rect.minX; x <= Rect.maxX; ++x) {
            for (qint32 y = Rect.minY; y <= Rect.maxY; ++y) {
                const int column = (x - Rect.minX) * tilePixels + tilePixels / 2;
                const int row = (Rect.maxY - y) * tilePixels + tilePixels / 2; // north at the top
                SCOPED_TRACE(tileFileName(x, y).toStdString());
                if (isLeftOut(x, y)) {
                    if (transparency) {
                        EXPECT_EQ(opacity(ds, column, row), 0);
                    }
                    continue;
                }
                if (transparency) {
                    EXPECT_EQ(opacity(ds, column, row), 255);
                }
                const Rgb want = JobFixture::colourOf(x, y);
                const std::vector<int> got = pixel(ds, column, row, 3);
                EXPECT_NEAR(got[0], want.r, 4);
                EXPECT_NEAR(got[1], want.g, 4);
                EXPECT_NEAR(got[2], want.b, 4);
            }
        }
    }

    JobFixture job;
};

TEST_F(WeaveTest, GeoTiffIsACogInWebMercatorWithEveryTileInItsPlace)
{
    const WeaveRequest request = job.request(QStringLiteral("area.tif"), OutputFormat::Cog);
    qint64 lastDone = -1;
    Feedback feedback([&](qint64 done, qint64 total) {
        EXPECT_GE(done, lastDone);
        EXPECT_EQ(total, 12);
        lastDone = done;
    });
    const WeaveResult result = weave(request, &feedback);
    ASSERT_TRUE(result.ok) << result.error.toStdString();
    EXPECT_EQ(lastDone, 12);
    EXPECT_EQ(result.written, 6);
    EXPECT_EQ(result.undecodable, std::vector<TilePosition>{Corrupt});
    EXPECT_EQ(result.counts[int(TileState::Missing)], 2);
    EXPECT_EQ(result.counts[int(TileState::Placeholder)], 1);
    EXPECT_EQ(result.counts[int(TileState::NotJpeg)], 1);
    EXPECT_EQ(result.counts[int(TileState::Empty)], 1);
    ASSERT_EQ(result.leftOut.size(), 5u);
    EXPECT_EQ(result.leftOut[0].first, Html); // column by column from the west
    const QString summary = summaryText(request, result);
    EXPECT_TRUE(summary.contains("2 missing")) << summary.toStdString();
    EXPECT_TRUE(summary.contains("500_602.jpg (not a JPEG)")) << summary.toStdString();
    EXPECT_TRUE(summary.contains("502_600.jpg (unreadable JPEG)")) << summary.toStdString();
    EXPECT_EQ(job.otherFiles(), QStringList{"area.tif"}); // no temporary file left

    Dataset ds = openRaster(request.outPath);
    ASSERT_TRUE(ds);
    EXPECT_STREQ(ds->GetDriver()->GetDescription(), "GTiff");
    EXPECT_STREQ(ds->GetMetadataItem("LAYOUT", "IMAGE_STRUCTURE"), "COG");
    EXPECT_STREQ(ds->GetMetadataItem("COMPRESSION", "IMAGE_STRUCTURE"), "YCbCr JPEG");
    EXPECT_EQ(ds->GetRasterXSize(), 4 * 256);
    EXPECT_EQ(ds->GetRasterYSize(), 3 * 256);
    int blockX = 0, blockY = 0;
    ds->GetRasterBand(1)->GetBlockSize(&blockX, &blockY);
    EXPECT_EQ(blockX, 256);
    EXPECT_EQ(blockY, 256);
    EXPECT_GE(ds->GetRasterBand(1)->GetOverviewCount(), 1);

    const OGRSpatialReference* srs = ds->GetSpatialRef();
    ASSERT_TRUE(srs);
    EXPECT_STREQ(srs->GetAuthorityCode(nullptr), "3857");

    // Bounds: the tile grid of EPSG:3857, rows from the south, to 1e-6 m...
    double gt[6];
    ASSERT_EQ(ds->GetGeoTransform(gt), CE_None);
    const long double half = 20037508.342789244L, tile = 2 * half / 1024;
    const double west = gt[0], north = gt[3];
    const double east = gt[0] + gt[1] * ds->GetRasterXSize();
    const double south = gt[3] + gt[5] * ds->GetRasterYSize();
    EXPECT_NEAR(west, double(-half + 500 * tile), 1e-6);
    EXPECT_NEAR(east, double(-half + 504 * tile), 1e-6);
    EXPECT_NEAR(south, double(-half + 600 * tile), 1e-6);
    EXPECT_NEAR(north, double(-half + 603 * tile), 1e-6);
    // ...and the same place as the tile geometry's degrees, projected.
    const auto toX = [&](long double lon) { return double(lon * half / 180); };
    const auto toY = [&](long double lat) {
        return double(std::log(std::tan((90 + lat) * 3.14159265358979323846L / 360)) * half /
                      3.14159265358979323846L);
    };
    EXPECT_NEAR(west, toX(TileXToLongitude(500, 10)), 1e-3);
    EXPECT_NEAR(east, toX(TileXToLongitude(504, 10)), 1e-3);
    EXPECT_NEAR(south, toY(TileYToLatitude(600, 10)), 1e-3);
    EXPECT_NEAR(north, toY(TileYToLatitude(603, 10)), 1e-3);

    expectTileColours(ds.get(), 256, true);
}

TEST_F(WeaveTest, ScaledPartKeepsItsPlaceAndColours)
{
    WeaveRequest request = job.request(QStringLiteral("part.tif"), OutputFormat::Cog);
    request.scaleDivisor = 4;
    request.subRect = TileRect{501, 502, 601, 602};
    const WeaveResult result = weave(request);
    ASSERT_TRUE(result.ok) << result.error.toStdString();
    EXPECT_EQ(result.total, 4);

    Dataset ds = openRaster(request.outPath);
    ASSERT_TRUE(ds);
    EXPECT_EQ(ds->GetRasterXSize(), 128);
    EXPECT_EQ(ds->GetRasterYSize(), 128);
    double gt[6];
    ASSERT_EQ(ds->GetGeoTransform(gt), CE_None);
    const MercatorBounds whole = mercatorBounds({501, 502, 601, 602}, 10);
    EXPECT_NEAR(gt[0], whole.west, 1e-6);
    EXPECT_NEAR(gt[3], whole.north, 1e-6);
    EXPECT_NEAR(gt[1] * 128, whole.east - whole.west, 1e-6);
    // Top left: tile 501_602; bottom left: 501_601; bottom right: the blank 502_601.
    const Rgb topLeft = JobFixture::colourOf(501, 602), bottomLeft = JobFixture::colourOf(501, 601);
    EXPECT_NEAR(pixel(ds.get(), 32, 32, 3)[0], topLeft.r, 4);
    EXPECT_NEAR(pixel(ds.get(), 32, 32, 3)[1], topLeft.g, 4);
    EXPECT_NEAR(pixel(ds.get(), 32, 96, 3)[1], bottomLeft.g, 4);
    EXPECT_EQ(opacity(ds.get(), 96, 96), 0);

    request.subRect = TileRect{499, 502, 601, 602}; // reaches outside the job
    const WeaveResult outside = weave(request);
    EXPECT_FALSE(outside.ok);
    EXPECT_TRUE(outside.error.contains("not inside")) << outside.error.toStdString();
}

TEST_F(WeaveTest, SingleImagesCarryAWorldFileAndProjection)
{
    struct Case
    {
        OutputFormat format;
        const char* name;
        const char* world;
        bool transparency;
    };
    for (const Case& c : {Case{OutputFormat::Png, "area.png", "area.pgw", true},
                          Case{OutputFormat::Jpeg, "area.jpg", "area.jgw", false}}) {
        SCOPED_TRACE(c.name);
        const WeaveRequest request = job.request(c.name, c.format);
        const WeaveResult result = weave(request);
        ASSERT_TRUE(result.ok) << result.error.toStdString();

        // Pixel size, rotation, top-left pixel's centre.
        const QStringList lines =
            QString::fromLatin1(readFileBytes(job.path(c.world))).split('\n', Qt::SkipEmptyParts);
        ASSERT_EQ(lines.size(), 6);
        const MercatorBounds bounds = mercatorBounds(Rect, 10);
        const double size = (bounds.east - bounds.west) / (4 * 256);
        const double expected[6] = {size, 0, 0, -size, bounds.west + size / 2,
                                    bounds.north - size / 2};
        for (int i = 0; i < 6; ++i)
            EXPECT_NEAR(lines[i].toDouble(), expected[i], 1e-6) << i;
        EXPECT_TRUE(readFileBytes(job.path("area.prj")).contains("Web_Mercator_Auxiliary_Sphere"));

        // GDAL finds the coordinate system in the .aux.xml beside the image
        // (weaver itself reads no side files; a user's GDAL does).
        CPLSetThreadLocalConfigOption("GDAL_PAM_ENABLED", "YES");
        CPLSetThreadLocalConfigOption("GDAL_DISABLE_READDIR_ON_OPEN", "NO");
        Dataset ds = openRaster(request.outPath);
        CPLSetThreadLocalConfigOption("GDAL_PAM_ENABLED", nullptr);
        CPLSetThreadLocalConfigOption("GDAL_DISABLE_READDIR_ON_OPEN", nullptr);
        ASSERT_TRUE(ds);
        ASSERT_TRUE(ds->GetSpatialRef());
        EXPECT_STREQ(ds->GetSpatialRef()->GetAuthorityCode(nullptr), "3857");
        expectTileColours(ds.get(), 256, c.transparency);
    }

    // Above the format's limit: refused before anything is written.
    WeaveRequest tooWide = job.request(QStringLiteral("wide.jpg"), OutputFormat::Jpeg);
    tooWide.input.rect = {0, 255, 600, 602}; // 65,536 pixels across
    const WeaveResult refused = weave(tooWide);
    EXPECT_FALSE(refused.ok);
    EXPECT_TRUE(refused.error.contains("too large for one JPEG")) << refused.error.toStdString();
    EXPECT_FALSE(QFileInfo::exists(job.path("wide.jpg")));
}

TEST_F(WeaveTest, MbTilesHoldsTheTilesBytesUnchangedInTmsRows)
{
    WeaveRequest request = job.request(QStringLiteral("area.mbtiles"), OutputFormat::MbTiles);
    request.minZoom = 10;
    const WeaveResult result = weave(request);
    ASSERT_TRUE(result.ok) << result.error.toStdString();
    // Bytes are copied once decoded: the corrupt tile stays out.
    EXPECT_EQ(result.written, 6);
    EXPECT_EQ(result.undecodable, std::vector<TilePosition>{Corrupt});

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(QFile::encodeName(request.outPath).constData(), &db,
                              SQLITE_OPEN_READONLY, nullptr),
              SQLITE_OK);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> closer(db, sqlite3_close);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "SELECT zoom_level, tile_column, tile_row, tile_data FROM tiles "
                                 "ORDER BY tile_column, tile_row",
                                 -1, &st, nullptr),
              SQLITE_OK);
    int rows = 0;
    while (sqlite3_step(st) == SQLITE_ROW) {
        ++rows;
        const int x = sqlite3_column_int(st, 1), y = sqlite3_column_int(st, 2);
        EXPECT_EQ(sqlite3_column_int(st, 0), 10);
        EXPECT_FALSE(isLeftOut(x, y)) << x << "_" << y;
        // TMS rows count from the south, like the file names.
        const QByteArray data(static_cast<const char*>(sqlite3_column_blob(st, 3)),
                              sqlite3_column_bytes(st, 3));
        EXPECT_EQ(data, readFileBytes(job.tilePath(x, y))) << x << "_" << y;
    }
    sqlite3_finalize(st);
    EXPECT_EQ(rows, 6);

    std::map<std::string, std::string> meta;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT name, value FROM metadata", -1, &st, nullptr),
              SQLITE_OK);
    while (sqlite3_step(st) == SQLITE_ROW)
        meta[reinterpret_cast<const char*>(sqlite3_column_text(st, 0))] =
            reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
    sqlite3_finalize(st);
    EXPECT_EQ(meta["name"], "Job");
    EXPECT_EQ(meta["format"], "jpg");
    EXPECT_EQ(meta["type"], "baselayer");
    EXPECT_EQ(meta["minzoom"], "10");
    EXPECT_EQ(meta["maxzoom"], "10");
    const QStringList bounds = QString::fromStdString(meta["bounds"]).split(',');
    ASSERT_EQ(bounds.size(), 4);
    EXPECT_NEAR(bounds[0].toDouble(), double(TileXToLongitude(500, 10)), 1e-7);
    EXPECT_NEAR(bounds[1].toDouble(), double(TileYToLatitude(600, 10)), 1e-7);
    EXPECT_NEAR(bounds[2].toDouble(), double(TileXToLongitude(504, 10)), 1e-7);
    EXPECT_NEAR(bounds[3].toDouble(), double(TileYToLatitude(603, 10)), 1e-7);
    EXPECT_EQ(QString::fromStdString(meta["center"]).split(',').value(2), "10");
}

TEST_F(WeaveTest, TemporaryFilesOfDeadRunsGoAtTheNextRunThoseOfLiveOnesStay)
{
    const pid_t dead = ::fork();
    if (dead == 0)
        ::_exit(0);
    ASSERT_GT(dead, 0);
    ASSERT_EQ(::waitpid(dead, nullptr, 0), dead);
    const QString gone = QString::number(dead), alive = QString::number(::getppid());
    const QStringList deadFiles = {"old.part-" + gone + ".tif", "old.part-" + gone + ".tif.ovr.tmp",
                                   "m.part-" + gone + ".mbtiles", "m.part-" + gone + ".mbtiles-journal",
                                   "old.part-" + gone + ".level0"};
    const QStringList kept = {"old.part-" + alive + ".tif", "notes.part-" + gone, "area.part-x.tif"};
    for (const QString& name : deadFiles + kept)
        writeFile(job.path(name), "left behind");
    ASSERT_TRUE(weave(job.request(QStringLiteral("area.mbtiles"), OutputFormat::MbTiles)).ok);
    QStringList want = kept + QStringList{"area.mbtiles"};
    QStringList got = job.otherFiles();
    want.sort();
    got.sort();
    EXPECT_EQ(got, want);
}

TEST_F(WeaveTest, CancellingTheFeedbackWhileWritingStopsEveryFormatAndKeepsTheOlderFile)
{
    for (const auto& [format, name] :
         std::vector<std::pair<OutputFormat, QString>>{{OutputFormat::Cog, "area.tif"},
                                                        {OutputFormat::Png, "area.png"},
                                                        {OutputFormat::Jpeg, "area.jpg"},
                                                        {OutputFormat::MbTiles, "area.mbtiles"},
                                                        {OutputFormat::GeoPackage, "area.gpkg"},
                                                        {OutputFormat::SqliteDb, "area.sqlitedb"}}) {
        SCOPED_TRACE(name.toStdString());
        const WeaveRequest request = job.request(name, format);
        writeFile(request.outPath, "older");
        // Cancelled at the writer's first report, as a click on Cancel would.
        int reports = 0;
        Feedback feedback([&](qint64, qint64) {
            ++reports;
            feedback.cancel();
        });
        const WeaveResult result = weave(request, &feedback);
        EXPECT_FALSE(result.ok);
        EXPECT_TRUE(result.cancelled);
        EXPECT_EQ(result.error, QStringLiteral("Cancelled."));
        EXPECT_EQ(reports, 1);
        EXPECT_EQ(readFileBytes(request.outPath), QByteArray("older"));
        EXPECT_EQ(job.otherFiles(), QStringList{name});
        QFile::remove(request.outPath);
    }
}

// Distinct pictures, some of which a tiled JPEG TIFF cannot hold as they are.
TEST(CogTest, CopiesTheTilesBytesEncodesTheRestAgainAndMasksTheHoles)
{
    const TileRect rect{700, 704, 300, 303}; // 5 x 4 tiles at zoom 10
    JobFixture job(rect);
    struct Special
    {
        TilePosition tile;
        const char* what;
    };
    const Special specials[] = {{{701, 303}, "progressive"}, {{702, 302}, "4:4:4 chroma"},
                                {{703, 301}, "grayscale"},   {{704, 303}, "corrupt"},
                                {{700, 300}, "missing"},     {{700, 302}, "512 x 512 pixels"}};
    auto specialAt = [&](qint32 x, qint32 y) -> QString {
        for (const Special& s : specials)
            if (s.tile.x == x && s.tile.y == y)
                return s.what;
        return QString();
    };
    auto number = [&](qint32 x, qint32 y) { return (x - rect.minX) * 4 + (y - rect.minY) + 3; };
    for (qint32 x = rect.minX; x <= rect.maxX; ++x)
        for (qint32 y = rect.minY; y <= rect.maxY; ++y) {
            const QString what = specialAt(x, y);
            if (what == "missing")
                continue;
            const JpegKind kind = what == "progressive"    ? JpegKind::Progressive
                                  : what == "4:4:4 chroma" ? JpegKind::Baseline444
                                  : what == "grayscale"    ? JpegKind::Gray
                                                           : JpegKind::Baseline420;
            QByteArray bytes = pictureJpeg(number(x, y), kind);
            if (what == "512 x 512 pixels") { // the same picture, twice the size
                const std::vector<unsigned char> small = picturePixels(number(x, y));
                std::vector<unsigned char> large(512 * 512 * 3);
                for (std::size_t p = 0; p < large.size(); ++p)
                    large[p] = small[((p / 3 / 512 / 2) * 256 + (p / 3 % 512) / 2) * 3 + p % 3];
                tjhandle handle = tjInitCompress();
                unsigned char* out = nullptr;
                unsigned long size = 0;
                ASSERT_EQ(tjCompress2(handle, large.data(), 512, 0, 512, TJPF_RGB, &out, &size,
                                      TJSAMP_420, 92, 0),
                          0);
                bytes = QByteArray(reinterpret_cast<const char*>(out), qsizetype(size));
                tjFree(out);
                tjDestroy(handle);
            }
            if (what == "corrupt") // starts and ends like a JPEG
                bytes = bytes.left(bytes.size() / 2) + "\xff\xd9";
            writeFile(job.tilePath(x, y), bytes);
        }
    const JobScan scan = scanJobFolder(job.imageFolder(), rect);

    for (const bool big : {false, true}) {
        SCOPED_TRACE(big ? "BigTIFF" : "TIFF");
        const QString path = job.path(big ? "big.tif" : "area.tif");
        WeaveResult result;
        if (big) {
            // The same writer, as it writes a file beyond 4 GB.
            const WeaveRequest request = job.request("big.tif", OutputFormat::Cog);
            CogWriter writer(path, job.path("big.part."));
            writer.setForceBigTiff(true);
            ASSERT_TRUE(writer.write(request, rect, scan, nullptr, result)) << result.error.toStdString();
        } else {
            result = weave(job.request("area.tif", OutputFormat::Cog));
            ASSERT_TRUE(result.ok) << result.error.toStdString();
        }
        EXPECT_EQ(job.otherFiles(), QStringList{QFileInfo(path).fileName()});
        EXPECT_EQ(result.undecodable, (std::vector<TilePosition>{{704, 303}}));
        ASSERT_EQ(result.reencoded.size(), 4u);
        for (const auto& [tile, reason] : result.reencoded) {
            EXPECT_EQ(reason, specialAt(tile.x, tile.y));
        }
        EXPECT_EQ(result.written, 18);

        QProcess validator;
        validator.start("/usr/bin/python3",
                        {"-m", "osgeo_utils.samples.validate_cloud_optimized_geotiff",
                         "--full-check=yes", path});
        ASSERT_TRUE(validator.waitForFinished(60000));
        const QString said = validator.readAll();
        EXPECT_EQ(validator.exitCode(), 0) << said.toStdString();
        EXPECT_TRUE(said.contains("is a valid cloud optimized GeoTIFF")) << said.toStdString();

        // Level 0 read with libtiff: the tiles' own bytes, or a new JPEG of
        // the same picture, or nothing for the holes.
        TIFFSetWarningHandler(nullptr); // the GeoTIFF tags are unknown to plain libtiff
        TIFF* tiff = TIFFOpen(QFile::encodeName(path).constData(), "r");
        ASSERT_TRUE(tiff);
        EXPECT_EQ(TIFFIsBigTIFF(tiff) != 0, big);
        uint64_t* offsets = nullptr;
        uint64_t* counts = nullptr;
        ASSERT_TRUE(TIFFGetField(tiff, TIFFTAG_TILEOFFSETS, &offsets));
        ASSERT_TRUE(TIFFGetField(tiff, TIFFTAG_TILEBYTECOUNTS, &counts));
        ASSERT_EQ(TIFFNumberOfTiles(tiff), 20u);
        const QByteArray file = readFileBytes(path);
        for (qint32 x = rect.minX; x <= rect.maxX; ++x)
            for (qint32 y = rect.minY; y <= rect.maxY; ++y) {
                SCOPED_TRACE(tileFileName(x, y).toStdString());
                const std::size_t i = std::size_t((rect.maxY - y) * 5 + (x - rect.minX));
                const QByteArray stored = file.mid(qsizetype(offsets[i]), qsizetype(counts[i]));
                const QString what = specialAt(x, y);
                if (what == "missing" || what == "corrupt") {
                    EXPECT_EQ(counts[i], 0u);
                } else if (what.isEmpty()) {
                    EXPECT_EQ(stored, readFileBytes(job.tilePath(x, y)));
                } else {
                    int w = 0, h = 0;
                    const std::vector<unsigned char> rgb = decodeRgb(stored, w, h);
                    ASSERT_EQ(rgb.size(), 256u * 256 * 3);
                    const std::vector<unsigned char> want = picturePixels(number(x, y));
                    double error = 0;
                    for (std::size_t p = 0; p < rgb.size(); ++p)
                        if (what != "grayscale" || p % 3 == 1) // gray: green is close to luma
                            error += std::abs(int(rgb[p]) - int(want[p]));
                    EXPECT_LT(error / (what == "grayscale" ? rgb.size() / 3 : rgb.size()),
                              what == "grayscale" ? 40.0 : 2.5);
                }
            }
        TIFFClose(tiff);

        // Holes are masked; the first overview is the 2 x 2 average of the image.
        Dataset ds = openRaster(path);
        ASSERT_TRUE(ds);
        GDALRasterBand* band = ds->GetRasterBand(1);
        ASSERT_GE(band->GetOverviewCount(), 1);
        std::vector<unsigned char> full(1280 * 1024), mask(1280 * 1024), half(640 * 512),
            halfMask(640 * 512);
        for (int b = 1; b <= 3; ++b) {
            GDALRasterBand* rgb = ds->GetRasterBand(b);
            ASSERT_EQ(rgb->RasterIO(GF_Read, 0, 0, 1280, 1024, full.data(), 1280, 1024, GDT_Byte,
                                    0, 0, nullptr),
                      CE_None);
            ASSERT_EQ(rgb->GetOverview(0)->RasterIO(GF_Read, 0, 0, 640, 512, half.data(), 640,
                                                    512, GDT_Byte, 0, 0, nullptr),
                      CE_None);
            if (b == 1) {
                ASSERT_EQ(rgb->GetMaskBand()->RasterIO(GF_Read, 0, 0, 1280, 1024, mask.data(),
                                                       1280, 1024, GDT_Byte, 0, 0, nullptr),
                          CE_None);
                ASSERT_EQ(rgb->GetOverview(0)->GetMaskBand()->RasterIO(
                              GF_Read, 0, 0, 640, 512, halfMask.data(), 640, 512, GDT_Byte, 0, 0,
                              nullptr),
                          CE_None);
                for (qint32 x = rect.minX; x <= rect.maxX; ++x)
                    for (qint32 y = rect.minY; y <= rect.maxY; ++y) {
                        const QString what = specialAt(x, y);
                        const int column = (x - rect.minX) * 256 + 128, row = (rect.maxY - y) * 256 + 128;
                        EXPECT_EQ(mask[std::size_t(row) * 1280 + std::size_t(column)],
                                  what == "missing" || what == "corrupt" ? 0 : 255)
                            << tileFileName(x, y).toStdString();
                    }
            }
            double error = 0;
            int compared = 0;
            for (int j = 0; j < 512; ++j)
                for (int i = 0; i < 640; ++i) {
                    const std::size_t a = std::size_t(2 * j) * 1280 + std::size_t(2 * i);
                    const std::size_t o = std::size_t(j) * 640 + std::size_t(i);
                    EXPECT_EQ(halfMask[o] != 0, mask[a] != 0) << i << "," << j;
                    if (!mask[a])
                        continue;
                    const double average =
                        (full[a] + full[a + 1] + full[a + 1280] + full[a + 1281]) / 4.0;
                    error += std::abs(half[o] - average);
                    ++compared;
                }
            EXPECT_GT(compared, 640 * 512 / 2);
            EXPECT_LT(error / compared, 2.0) << "band " << b;
        }
        ds.reset();
        QFile::remove(path);
    }
}

} // namespace
} // namespace tavo::weaver::testing
