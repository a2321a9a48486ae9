#include "GlimpseTestSupport.h"

#include "engine/TileMath.h"
#include "glimpse/Coverage.h"
#include "glimpse/JobDocument.h"
#include "glimpse/MapRenderer.h"
#include "mapview/MapView.h"
#include "glimpse/QuickScan.h"
#include "glimpse/Texts.h"
#include "glimpse/TileImageCache.h"
#include "glimpse/window/GlimpseWindow.h"

#include <QClipboard>
#include <QDropEvent>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QStatusBar>

#include <cmath>

namespace tavo::glimpse {
namespace {

using glimpsetest::TestJob;
using glimpsetest::waitFor;

class GlimpseTest : public ::testing::Test
{
protected:
    void SetUp() override { glimpsetest::ensureApplication(); }

    // Opens the job and waits for its folder to be read.
    static void openAndScan(JobDocument& document, const QString& path)
    {
        QString error;
        ASSERT_TRUE(document.open(path, &error)) << error.toStdString();
        ASSERT_TRUE(waitFor([&] { return document.result() && !document.scanning(); }));
    }

    // Draws the view, lets the cache decode what it asked for, draws again.
    static QImage render(const MapView& view, const JobDocument& document, TileImageCache& cache)
    {
        QImage image(view.viewportSize().toSize(), QImage::Format_RGB32);
        for (int round = 0; round < 2; ++round) {
            QPainter painter(&image);
            const auto wanted = MapRenderer::paint(painter, view, document, &cache, {false, false});
            cache.request(wanted);
            EXPECT_TRUE(waitFor([&] { return cache.pending() == 0; }));
        }
        return image;
    }

    static bool near(QColor a, QColor b, int tolerance)
    {
        return std::abs(a.red() - b.red()) <= tolerance &&
               std::abs(a.green() - b.green()) <= tolerance &&
               std::abs(a.blue() - b.blue()) <= tolerance;
    }
};

TEST_F(GlimpseTest, CountsEveryStateOfTheTestJob)
{
    TestJob job;
    JobDocument document(glimpsetest::placeholderPath());
    openAndScan(document, job.projectPath);
    const JobScan& scan = document.result()->scan;
    EXPECT_EQ(scan.total(), 300);
    EXPECT_EQ(scan.count(TileState::Missing), 5);
    EXPECT_EQ(scan.count(TileState::Placeholder), 1);
    EXPECT_EQ(scan.count(TileState::Empty), 1);
    EXPECT_EQ(scan.count(TileState::NotJpeg), 1);
    EXPECT_EQ(scan.count(TileState::Partial), 1);
    EXPECT_EQ(scan.count(TileState::Good), 291);
    EXPECT_EQ(countsText(scan, QLocale(QLocale::English)),
              "291 of 300 tiles; 5 missing; 1 blank; 1 empty; 1 not a JPEG; 1 partly written");

    // The first look, at the names alone, already has the final holes.
    const JobScan names = listTileFiles(job.imageFolder, scan.rect());
    for (qint32 x = TestJob::MinX; x <= TestJob::MaxX; ++x)
        for (qint32 y = TestJob::MinY; y <= TestJob::MaxY; ++y) {
            const TileState state = scan.state(x, y);
            const bool hole = state == TileState::Missing || state == TileState::Partial;
            EXPECT_EQ(names.state(x, y), hole ? state : TileState::Good) << x << "_" << y;
        }

    // The figures of a large job, grouped as the locale groups digits.
    JobScan large(TileRect{0, 249, 0, 199}); // 50,000 tiles, all missing
    for (qint32 i = 0; i < 48211; ++i)
        large.setState(i % 250, i / 250, TileState::Good);
    for (qint32 i = 48211; i < 48211 + 149; ++i)
        large.setState(i % 250, i / 250, TileState::Placeholder);
    EXPECT_EQ(countsText(large, QLocale(QLocale::English)),
              "48,211 of 50,000 tiles; 1,640 missing; 149 blank");
    EXPECT_EQ(countsText(large, QLocale(QLocale::German)),
              "48.211 of 50.000 tiles; 1.640 missing; 149 blank");
}

// The pixel in the middle of a tile's place shows that tile: its image when
// zoomed in, its state's colour in the coverage map, and the mark of its state
// when it is not a good image.
TEST_F(GlimpseTest, RenderedViewShowsEachTileAtItsPlace)
{
    TestJob job;
    JobDocument document(glimpsetest::placeholderPath());
    openAndScan(document, job.projectPath);
    TileImageCache cache;
    cache.setFolder(document.info().imageFolder);

    MapView view;
    view.setViewportSize(QSizeF(640, 480));
    view.setGrid(document.info().rect, document.info().zoom);

    struct Case
    {
        double scale;
        const char* what;
        bool images;
    };
    for (const Case& c :
         {Case{40, "images", true}, Case{200, "large images", true}, Case{6, "coverage", false}}) {
        SCOPED_TRACE(c.what);
        // Centred on tile (4340, 5258): south of the middle row, east of the middle column.
        view.setCenterAndScale(QPointF(4340.5 - TestJob::MinX, TestJob::MaxY - 5258 + 0.5),
                               c.scale);
        const QImage image = render(view, document, cache);
        int checked = 0;
        for (qint32 x = TestJob::MinX; x <= TestJob::MaxX; ++x) {
            for (qint32 y = TestJob::MinY; y <= TestJob::MaxY; ++y) {
                const QPoint centre = view.tileScreenRect(x, y).center().toPoint();
                if (!image.rect().contains(centre))
                    continue;
                const TileState state = document.result()->scan.state(x, y);
                const QColor expected = state == TileState::Good && c.images
                                            ? TestJob::colourOf(x, y)
                                            : stateColor(state);
                const QColor seen = image.pixelColor(centre);
                EXPECT_TRUE(near(seen, expected, 6))
                    << x << "_" << y << " shows " << seen.name().toStdString() << ", expected "
                    << expected.name().toStdString();
                ++checked;
            }
        }
        EXPECT_GT(checked, c.scale > 100 ? 5 : 100);
    }
    EXPECT_EQ(view.tileScreenRect(4340, 5258).center(), QPointF(320, 240));
}

// Far out, a coarse coverage cell shows the most serious state it covers.
TEST_F(GlimpseTest, CoarseCoverageKeepsASingleHoleVisible)
{
    JobScan scan(TileRect{0, 999, 0, 999}); // all missing
    for (qint32 x = 0; x <= 999; ++x)
        for (qint32 y = 0; y <= 999; ++y)
            if (!(x == 517 && y == 3))
                scan.setState(x, y, TileState::Good);
    const Coverage coverage = Coverage::build(scan);
    ASSERT_EQ(coverage.level(0).size(), QSize(1000, 1000));
    const int level = coverage.levelFor(1.0 / 16); // 16 tiles a pixel
    EXPECT_EQ(coverage.shift(level), 4);
    // Tile (517, 3) is in column 517 and image row 999 - 3 = 996 of level 0.
    EXPECT_EQ(coverage.cellState(level, 517 >> 4, 996 >> 4), TileState::Missing);
    EXPECT_EQ(coverage.cellState(level, 0, 0), TileState::Good);
    EXPECT_EQ(coverage.cellState(coverage.levelCount() - 1, 0, 0), TileState::Missing);
}

// The point under the pointer converts back through the tile geometry: the
// tile it names holds it, and the view's edges are the tiles' edges.
TEST_F(GlimpseTest, CoordinatesUnderAPointMatchTheTileGeometry)
{
    MapView view;
    const TileRect rect{TestJob::MinX, TestJob::MaxX, TestJob::MinY, TestJob::MaxY};
    view.setViewportSize(QSizeF(20 * 30, 15 * 30));
    view.setGrid(rect, TestJob::Zoom);
    view.setCenterAndScale(QPointF(10, 7.5), 30); // the job fills the viewport exactly

    const struct
    {
        QPointF screen;
        qint32 x, y;
    } cases[] = {
        {{1, 1}, TestJob::MinX, TestJob::MaxY},         // top left: west column, north row
        {{599, 449}, TestJob::MaxX, TestJob::MinY},     // bottom right: east column, south row
        {{45, 435}, TestJob::MinX + 1, TestJob::MinY},  // second column, south row
        {{315, 15}, TestJob::MinX + 10, TestJob::MaxY}, // middle column, north row
    };
    for (const auto& c : cases) {
        TilePosition tile;
        ASSERT_TRUE(view.tileAt(c.screen, tile));
        EXPECT_EQ(tile, (TilePosition{c.x, c.y})) << c.screen.x() << "," << c.screen.y();
        const GeoPoint geo = view.geoAt(c.screen);
        EXPECT_EQ(LongitudeToTileX(geo.longitude, TestJob::Zoom), c.x);
        EXPECT_EQ(LatitudeToTileY(geo.latitude, TestJob::Zoom), c.y);
        EXPECT_GT(geo.longitude, double(TileXToLongitude(c.x, TestJob::Zoom)));
        EXPECT_LT(geo.longitude, double(TileXToLongitude(c.x + 1, TestJob::Zoom)));
        EXPECT_GT(geo.latitude, double(TileYToLatitude(c.y, TestJob::Zoom)));
        EXPECT_LT(geo.latitude, double(TileYToLatitude(c.y + 1, TestJob::Zoom)));
        const QString text = pointText(view, c.screen, nullptr);
        EXPECT_TRUE(text.contains(MakeQuadkey(c.x, c.y, TestJob::Zoom))) << text.toStdString();
        EXPECT_TRUE(text.contains(tileFileName(c.x, c.y))) << text.toStdString();
    }
    TilePosition outside;
    view.setCenterAndScale(QPointF(0, 0), 30);
    EXPECT_FALSE(view.tileAt(QPointF(10, 10), outside));

    // The whole job in view: the area is the job's extent, in the main
    // window's order left, right, top, bottom.
    view.setCenterAndScale(QPointF(10, 7.5), 30);
    const GeoArea area = view.visibleArea();
    EXPECT_DOUBLE_EQ(area.left, double(TileXToLongitude(TestJob::MinX, TestJob::Zoom)));
    EXPECT_DOUBLE_EQ(area.right, double(TileXToLongitude(TestJob::MaxX + 1, TestJob::Zoom)));
    EXPECT_DOUBLE_EQ(area.top, double(TileYToLatitude(TestJob::MaxY + 1, TestJob::Zoom)));
    EXPECT_DOUBLE_EQ(area.bottom, double(TileYToLatitude(TestJob::MinY, TestJob::Zoom)));
    const QStringList fields = areaText(area).split(u'\t');
    ASSERT_EQ(fields.size(), 4);
    EXPECT_NEAR(fields[0].toDouble(), area.left, 1e-7);
    EXPECT_NEAR(fields[2].toDouble(), area.top, 1e-7);
}

// Zooming keeps the point under the pointer in place; panning moves the map
// with the pointer.
TEST_F(GlimpseTest, ZoomKeepsThePointUnderThePointer)
{
    MapView view;
    view.setViewportSize(QSizeF(800, 600));
    view.setGrid(TileRect{0, 399, 0, 499}, 18);
    const QPointF pointer(613, 127);
    const QPointF before = view.gridAt(pointer);
    view.zoomAbout(pointer, 16);
    const QPointF after = view.gridAt(pointer);
    EXPECT_NEAR(after.x(), before.x(), 1e-9);
    EXPECT_NEAR(after.y(), before.y(), 1e-9);
    const QPointF grabbed = view.gridAt(QPointF(400, 300));
    view.panBy(QPointF(-50, 20));
    const QPointF moved = view.gridAt(QPointF(350, 320));
    EXPECT_NEAR(moved.x(), grabbed.x(), 1e-9);
    EXPECT_NEAR(moved.y(), grabbed.y(), 1e-9);
}

TEST_F(GlimpseTest, ImageCacheStaysWithinItsBudget)
{
    TestJob job;
    TileImageCache cache(40 * 1024); // 40 KiB: 40 tiles of 16 x 16 at full size
    cache.setFolder(job.imageFolder);
    std::vector<TileKey> keys;
    for (qint32 x = TestJob::MinX; x <= TestJob::MaxX; ++x)
        for (qint32 y = TestJob::MinY + 2; y <= TestJob::MaxY; ++y)
            keys.push_back({x, y, 0});
    cache.request(keys);
    ASSERT_TRUE(waitFor([&] { return cache.pending() == 0; }));
    EXPECT_LE(cache.usedBytes(), cache.budgetBytes());
    EXPECT_GE(cache.imageCount(), 30);
    EXPECT_LE(cache.imageCount(), 40);
    // Whatever is held is the right tile, decoded with its colour.
    int held = 0;
    for (const TileKey& key : keys)
        if (const QImage* image = cache.find(key)) {
            ++held;
            EXPECT_TRUE(near(image->pixelColor(8, 8), TestJob::colourOf(key.x, key.y), 6))
                << key.x << "_" << key.y;
        }
    EXPECT_EQ(held, cache.imageCount());
}

// The window: a project that cannot be read gives a message and leaves the
// window usable; a job whose folder is gone is shown all missing; the last
// project is remembered and opened at the next start.
TEST_F(GlimpseTest, WindowOpensProjectsAndReportsWhatItCannotOpen)
{
    TestJob withFolder;
    TestJob withoutFolder(false);
    QTemporaryDir iniDir;
    const GlimpseFiles files{iniDir.filePath(QStringLiteral("glimpse.ini")),
                             glimpsetest::placeholderPath(), QString()};
    QStringList messages;
    {
        GlimpseWindow window(files);
        window.setMessageSink([&messages](const QString& text) { messages << text; });
        window.resize(640, 520);
        window.show();

        EXPECT_FALSE(
            window.openProject(withFolder.dir.filePath(QStringLiteral("no such job.tavo"))));
        ASSERT_EQ(messages.size(), 1);
        EXPECT_TRUE(messages[0].contains(QStringLiteral("no such job.tavo")))
            << messages[0].toStdString();
        EXPECT_FALSE(window.document().isOpen());

        messages.clear();
        ASSERT_TRUE(window.openProject(withoutFolder.projectPath));
        ASSERT_TRUE(waitFor([&] { return window.document().result() != nullptr; }));
        EXPECT_EQ(window.countsLabelText(), QStringLiteral("0 of 300 tiles; 300 missing"));
        ASSERT_EQ(messages.size(), 1);
        EXPECT_TRUE(messages[0].contains(QStringLiteral("does not exist")))
            << messages[0].toStdString();
        const QImage shown = window.map().renderImage();
        EXPECT_EQ(shown.pixelColor(shown.width() / 2, shown.height() / 2),
                  stateColor(TileState::Missing));

        // Still usable: the next project opens (dropped on the window), and a
        // broken one keeps it shown.
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(withFolder.projectPath)});
        QDragEnterEvent enter(QPoint(100, 100), Qt::CopyAction, &mime, Qt::LeftButton,
                              Qt::NoModifier);
        QCoreApplication::sendEvent(&window, &enter);
        EXPECT_TRUE(enter.isAccepted());
        QDropEvent drop(QPointF(100, 100), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&window, &drop);
        EXPECT_EQ(window.document().info().projectPath, withFolder.projectPath);
        ASSERT_TRUE(
            waitFor([&] { return window.document().result() && !window.document().scanning(); }));
        EXPECT_EQ(
            window.countsLabelText(),
            QStringLiteral(
                "291 of 300 tiles; 5 missing; 1 blank; 1 empty; 1 not a JPEG; 1 partly written"));
        QFile broken(withFolder.dir.filePath(QStringLiteral("broken.tavo")));
        ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
        broken.write("[Zoom]\r\nZoom=13\r\n");
        broken.close();
        EXPECT_FALSE(window.openProject(broken.fileName()));
        EXPECT_EQ(window.document().info().projectPath, withFolder.projectPath);

        // The pointer over a tile names it in the status bar.
        const QRectF tile = window.map().view().tileScreenRect(4341, 5260);
        QMouseEvent move(QEvent::MouseMove, tile.center(), window.map().mapToGlobal(tile.center()),
                         Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&window.map(), &move);
        EXPECT_TRUE(window.pointerLabelText().contains(QStringLiteral("4341_5260.jpg (blank)")))
            << window.pointerLabelText().toStdString();

        ASSERT_TRUE(window.copyAreaToClipboard());
        EXPECT_EQ(QApplication::clipboard()->text(), areaText(window.map().view().visibleArea()));

        // Export: the view as drawn; a path that cannot be written is reported.
        const QString png = withFolder.dir.filePath(QStringLiteral("view.png"));
        ASSERT_TRUE(window.exportView(png));
        const QImage exported(png);
        EXPECT_EQ(exported.size(), window.map().size());
        EXPECT_EQ(exported.pixelColor(tile.center().toPoint()), stateColor(TileState::Placeholder));
        messages.clear();
        EXPECT_FALSE(
            window.exportView(withFolder.dir.filePath(QStringLiteral("no folder/view.png"))));
        EXPECT_EQ(messages.size(), 1);

        // The readout and the counts each have a section of the status bar
        // that holds the whole text at the usual window width, and the readout
        // is shortened, its state kept, where the window is narrow. The fit
        // view puts no tile under the legend.
        const auto* pointer = window.findChild<QLabel*>(QStringLiteral("pointer"));
        const auto* counts = window.findChild<QLabel*>(QStringLiteral("counts"));
        ASSERT_TRUE(pointer && counts);
        window.statusBar()->clearMessage(); // "Saved ..." hides the readout while it shows
        EXPECT_TRUE(waitFor([&] {
            return pointer->isVisible() &&
                   pointer->fontMetrics().horizontalAdvance(pointer->text()) <=
                       pointer->contentsRect().width();
        })) << pointer->text().toStdString();
        EXPECT_TRUE(pointer->text().endsWith(QStringLiteral("(blank)")))
            << pointer->text().toStdString();
        window.map().fitToWindow();
        const QSize legend = MapRenderer::legendSize(window.document(), window.map().font());
        const QRectF legendArea(0, window.map().height() - legend.height(), legend.width(),
                                legend.height());
        EXPECT_FALSE(window.map().view().jobScreenRect().intersects(legendArea));
        window.resize(1280, 520);
        EXPECT_TRUE(waitFor([&] {
            return pointer->text() == window.pointerLabelText() &&
                   pointer->contentsRect().width() >=
                       pointer->fontMetrics().horizontalAdvance(pointer->text()) &&
                   counts->contentsRect().width() >=
                       counts->fontMetrics().horizontalAdvance(counts->text()) &&
                   pointer->geometry().right() < counts->geometry().left();
        })) << pointer->width() << " " << counts->width() << " of " << window.width();
    }
    GlimpseWindow again(files);
    again.setMessageSink([&messages](const QString& text) { messages << text; });
    again.openAtStart({});
    EXPECT_EQ(again.document().info().projectPath,
              QFileInfo(withFolder.projectPath).absoluteFilePath());
}

} // namespace
} // namespace tavo::glimpse
