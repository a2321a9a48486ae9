#include "WeaverTestSupport.h"

#include "weaver/Pyramid.h"

#include <cmath>
#include <map>

namespace tavo::weaver::testing {
namespace {

// 4 columns x 3 rows at zoom 10, starting on an odd column.
const TileRect Rect{501, 504, 600, 602};
constexpr qint64 GridRows = 1024;

struct Special
{
    TilePosition tile;
    const char* what;
    TileVerdict verdict;
    const char* reason;
};
const Special Specials[] = {
    {{502, 602}, "progressive", TileVerdict::Reencoded, "progressive"},
    {{503, 601}, "4:4:4", TileVerdict::Reencoded, "4:4:4 chroma"},
    {{504, 600}, "grayscale", TileVerdict::Reencoded, "grayscale"},
    {{501, 601}, "corrupt", TileVerdict::Undecodable, ""},
    {{503, 600}, "missing", TileVerdict::Hole, ""},
};

int pictureNumber(qint32 x, qint32 y)
{
    return (x - Rect.minX) * 3 + (y - Rect.minY) + 1;
}

const Special* specialAt(qint32 x, qint32 y)
{
    for (const Special& s : Specials)
        if (s.tile.x == x && s.tile.y == y)
            return &s;
    return nullptr;
}

class PyramidTest : public ::testing::Test
{
protected:
    PyramidTest() : job(Rect)
    {
        for (qint32 x = Rect.minX; x <= Rect.maxX; ++x)
            for (qint32 y = Rect.minY; y <= Rect.maxY; ++y) {
                const Special* s = specialAt(x, y);
                const QString what = s ? s->what : "";
                JpegKind kind = JpegKind::Baseline420;
                if (what == "progressive")
                    kind = JpegKind::Progressive;
                else if (what == "4:4:4")
                    kind = JpegKind::Baseline444;
                else if (what == "grayscale")
                    kind = JpegKind::Gray;
                if (what == "missing")
                    continue;
                QByteArray bytes = pictureJpeg(pictureNumber(x, y), kind);
                if (what == "corrupt") // the scan sees a whole JPEG; only decoding can tell
                    bytes = bytes.left(bytes.size() / 2) + "\xff\xd9";
                writeFile(job.tilePath(x, y), bytes);
            }
        scan = scanJobFolder(job.imageFolder(), Rect);
    }

    PyramidJob pyramidJob(PyramidAnchor anchor) const
    {
        PyramidJob p;
        p.imageFolder = job.imageFolder();
        p.zoom = JobFixture::Zoom;
        p.rect = Rect;
        p.scan = &scan;
        p.levels = 2;
        p.anchor = anchor;
        p.copyRule = CopyRule::TiffLayout;
        p.threads = 3;
        return p;
    }

    JobFixture job;
    JobScan scan;
};

using Pixels = std::vector<unsigned char>;

TEST_F(PyramidTest, LevelsAreAveragesOfTheLevelAboveInTheirPlaceOnTheZoomGrid)
{
    PyramidJob p = pyramidJob(PyramidAnchor::ZoomGrid);
    std::vector<qint32> jobRows;
    std::map<TilePosition, JobTile, bool (*)(TilePosition, TilePosition)> jobTiles(
        [](TilePosition a, TilePosition b) { return a.x != b.x ? a.x < b.x : a.y < b.y; });
    std::map<std::tuple<int, qint32, qint32>, std::pair<Coverage, Pixels>> levelTiles;
    std::vector<std::pair<int, qint32>> levelRows;
    p.onJobRow = [&](const JobRow& row) {
        jobRows.push_back(row.y);
        for (const JobTile& t : row.tiles)
            jobTiles[{t.x, t.y}] = t;
        return true;
    };
    p.encoder = [](const LevelTile& t, int) { return encodeJpegTile(t.rgba, 80, {2, 2}); };
    p.onLevelRow = [&](const LevelRow& row) {
        levelRows.push_back({row.level, row.y});
        EXPECT_EQ(row.zoom, JobFixture::Zoom - row.level);
        for (const LevelTile& t : row.tiles) {
            EXPECT_EQ(t.encoded.isEmpty(), t.coverage == Coverage::None);
            levelTiles[{row.level, t.x, t.y}] = {
                t.coverage, t.rgba ? Pixels(t.rgba, t.rgba + PyramidTileBytes) : Pixels()};
        }
        return true;
    };
    const PyramidResult result = buildPyramid(p);
    ASSERT_TRUE(result.ok) << result.error.toStdString();

    // The job's rows from the north; each level's rows as soon as complete.
    EXPECT_EQ(jobRows, (std::vector<qint32>{602, 601, 600}));
    // Zoom 9 rows 301 (job rows 602) and 300 (601, 600); zoom 8 row 150.
    EXPECT_EQ(levelRows, (std::vector<std::pair<int, qint32>>{{1, 301}, {1, 300}, {2, 150}}));

    // Verdicts: copies are the files' bytes, the rest is named.
    EXPECT_EQ(result.copied, 12 - 5);
    ASSERT_EQ(result.undecodable.size(), 1u);
    EXPECT_EQ(result.undecodable[0].first, (TilePosition{501, 601}));
    EXPECT_EQ(result.reencoded.size(), 3u);
    for (const auto& [pos, tile] : jobTiles) {
        const Special* s = specialAt(pos.x, pos.y);
        SCOPED_TRACE(tileFileName(pos.x, pos.y).toStdString());
        EXPECT_EQ(tile.verdict, s ? s->verdict : TileVerdict::Copy);
        if (s && *s->reason) {
            EXPECT_EQ(tile.reason, s->reason);
        }
        if (tile.verdict == TileVerdict::Copy) {
            EXPECT_EQ(tile.bytes, readFileBytes(job.tilePath(pos.x, pos.y)));
        }
        if (tile.verdict == TileVerdict::Reencoded) {
            int w = 0, h = 0;
            const std::vector<unsigned char> rgb = decodeRgb(tile.bytes, w, h);
            ASSERT_EQ(rgb.size(), 256u * 256 * 3);
            const JpegLayout layout = readJpegLayout(tile.bytes);
            EXPECT_TRUE(layout.baseline && layout.components == 3 &&
                        layout.subsampling == (ChromaSubsampling{2, 2}));
            // Gray keeps only the luma of the picture: compare the colour tiles.
            if (std::string(s->what) != "grayscale") {
                const Rgb want = pictureAt(pictureNumber(pos.x, pos.y), 100, 60);
                const unsigned char* got = &rgb[(60 * 256 + 100) * 3];
                EXPECT_NEAR(got[0], want.r, 6);
                EXPECT_NEAR(got[1], want.g, 6);
                EXPECT_NEAR(got[2], want.b, 6);
            }
        }
    }

    // Level 1: each job tile is a quadrant, the 2 x 2 average of its picture;
    // holes and the column west of the job (500) are transparent.
    for (qint32 x = 500; x <= Rect.maxX; ++x) {
        for (qint32 y = Rect.minY; y <= 603; ++y) {
            SCOPED_TRACE(tileFileName(x, y).toStdString());
            const qint64 n = GridRows - 1 - y;
            const auto& [coverage, rgba] = levelTiles[{1, x >> 1, y >> 1}];
            ASSERT_EQ(rgba.size(), PyramidTileBytes);
            const int qx = (x & 1) * 128, qy = int(n & 1) * 128;
            const Special* s = specialAt(x, y);
            const bool present = Rect.contains(x, y) &&
                                 (!s || s->verdict == TileVerdict::Copy ||
                                  (s->verdict == TileVerdict::Reencoded && std::string(s->what) != "grayscale"));
            const bool hole = !Rect.contains(x, y) || (s && s->verdict != TileVerdict::Reencoded);
            EXPECT_NE(coverage, Coverage::Full);
            double sum = 0;
            int worst = 0;
            for (int j = 0; j < 128; ++j)
                for (int i = 0; i < 128; ++i) {
                    const unsigned char* px = &rgba[(std::size_t(qy + j) * 256 + std::size_t(qx + i)) * 4];
                    if (hole) {
                        ASSERT_EQ(px[3], 0);
                        continue;
                    }
                    ASSERT_EQ(px[3], 255);
                    if (!present)
                        continue;
                    const int k = pictureNumber(x, y);
                    const Rgb a = pictureAt(k, 2 * i, 2 * j), b = pictureAt(k, 2 * i + 1, 2 * j + 1);
                    const int want[3] = {(a.r + b.r) / 2, (a.g + b.g) / 2, (a.b + b.b) / 2};
                    for (int c = 0; c < 3; ++c) {
                        const int d = std::abs(int(px[c]) - want[c]);
                        sum += d;
                        worst = std::max(worst, d);
                    }
                }
            if (present) {
                EXPECT_LT(sum / (128 * 128 * 3), 2.0);
                EXPECT_LE(worst, 16);
            }
        }
    }

    // Level 2: exactly the alpha-weighted 2 x 2 average of level 1.
    const auto& [coverage2, top] = levelTiles[{2, 125, 150}];
    EXPECT_EQ(coverage2, Coverage::Partial);
    ASSERT_EQ(top.size(), PyramidTileBytes);
    for (qint32 x1 = 250; x1 <= 251; ++x1)
        for (qint32 y1 = 300; y1 <= 301; ++y1) {
            const Pixels& child = levelTiles[{1, x1, y1}].second;
            ASSERT_EQ(child.size(), PyramidTileBytes);
            const int qx = (x1 & 1) * 128, qy = int((511 - y1) & 1) * 128;
            for (int j = 0; j < 128; j += 7)
                for (int i = 0; i < 128; i += 5) {
                    int sa = 0, sc[3] = {0, 0, 0};
                    for (int d = 0; d < 4; ++d) {
                        const unsigned char* c =
                            &child[(std::size_t(2 * j + d / 2) * 256 + std::size_t(2 * i + d % 2)) * 4];
                        sa += c[3];
                        for (int k = 0; k < 3; ++k)
                            sc[k] += c[k] * c[3];
                    }
                    const unsigned char* got =
                        &top[(std::size_t(qy + j) * 256 + std::size_t(qx + i)) * 4];
                    ASSERT_EQ(got[3], (sa + 2) / 4) << i << "," << j;
                    for (int k = 0; k < 3 && sa > 0; ++k)
                        ASSERT_NEAR(got[k], double(sc[k]) / sa, 0.51) << i << "," << j;
                }
        }
}

TEST_F(PyramidTest, JobCornerLevelsStartAtTheNorthWestTileAndCancelStops)
{
    PyramidJob p = pyramidJob(PyramidAnchor::JobCorner);
    p.jobBytes = false;
    std::vector<std::tuple<int, qint32, qint32, Coverage>> tiles;
    p.onJobRow = [&](const JobRow& row) {
        for (const JobTile& t : row.tiles)
            EXPECT_TRUE(t.bytes.isEmpty());
        return true;
    };
    Pixels northWest;
    p.onLevelRow = [&](const LevelRow& row) {
        for (const LevelTile& t : row.tiles) {
            tiles.push_back({row.level, t.x, t.y, t.coverage});
            if (row.level == 1 && t.x == 0 && t.y == 0)
                northWest.assign(t.rgba, t.rgba + PyramidTileBytes);
        }
        return true;
    };
    const PyramidResult result = buildPyramid(p);
    ASSERT_TRUE(result.ok);
    // Level 1: 2 x 2 tiles from the corner, rows from the north; level 2: one.
    using T = std::tuple<int, qint32, qint32, Coverage>;
    EXPECT_EQ(tiles, (std::vector<T>{{1, 0, 0, Coverage::Partial}, // the corrupt 501_601
                                     {1, 1, 0, Coverage::Full},
                                     {1, 0, 1, Coverage::Partial},
                                     {1, 1, 1, Coverage::Partial},
                                     {2, 0, 0, Coverage::Partial}}));
    // Its north-west quadrant is the job's north-west tile.
    ASSERT_EQ(northWest.size(), PyramidTileBytes);
    const Rgb want = pictureAt(pictureNumber(501, 602), 2 * 40, 2 * 30);
    const unsigned char* got = &northWest[(30 * 256 + 40) * 4];
    EXPECT_NEAR(got[0], want.r, 4);
    EXPECT_NEAR(got[1], want.g, 4);
    EXPECT_NEAR(got[2], want.b, 4);

    // A cancelled feedback ends the run early, cancelled.
    int levelRows = 0;
    p.onLevelRow = [&](const LevelRow&) { return ++levelRows, true; };
    Feedback stop;
    stop.cancel();
    const PyramidResult cancelled = buildPyramid(p, &stop);
    EXPECT_FALSE(cancelled.ok);
    EXPECT_TRUE(cancelled.cancelled);
    EXPECT_EQ(levelRows, 0);
}

} // namespace
} // namespace tavo::weaver::testing
