// The viewer's speed and memory on a large job, and a job generator.
//
//   glimpse_bench generate --folder DIR --columns C --rows R [--zoom Z] [--unique N] [--seed S]
//       writes DIR/<name>.tavo and its image folder: tiles of a made-up
//       landscape, some missing, blank, empty, HTML or partly written. With
//       --unique N only N distinct images are encoded and every other tile is
//       a hard link to one of them (fast for 200,000 tiles); --unique 0 draws
//       every tile (for screenshots).
//   glimpse_bench measure --project FILE [--pan-seconds S]
//       opens the project in the viewer's window (offscreen) and prints
//       glimpse_scan_ms, glimpse_open_ms, glimpse_open_max_stall_ms,
//       glimpse_max_frame_ms, glimpse_max_stall_ms, glimpse_rss_mb, ...
#include "engine/ProjectFile.h"
#include "engine/TileMath.h"
#include "glimpse/MapRenderer.h"
#include "glimpse/window/GlimpseWindow.h"

#include <QApplication>
#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <unistd.h>

namespace {

using namespace tavo;
using namespace tavo::glimpse;

std::map<std::string, std::string> parse(int argc, char** argv)
{
    std::map<std::string, std::string> args;
    for (int i = 2; i + 1 < argc; i += 2)
        args[argv[i]] = argv[i + 1];
    return args;
}

double number(const std::map<std::string, std::string>& args, const char* name, double fallback)
{
    const auto it = args.find(name);
    return it == args.end() ? fallback : std::atof(it->second.c_str());
}

// A made-up landscape, continuous across tiles: fields, woods, a river, roads.
QRgb landscape(double gx, double gy, int variant)
{
    const double x = gx / 256.0, y = gy / 256.0;
    const double hill =
        std::sin(x * 0.9 + std::sin(y * 0.5)) * std::cos(y * 0.7 + 0.5 * std::sin(x * 0.4));
    const double grain = std::sin(gx * 0.9 + variant) * std::sin(gy * 0.8) * 6;
    // Fields: patches of a skewed grid, each with its own crop.
    const double fx = std::floor(x * 1.6 + y * 0.35), fy = std::floor(y * 2.1 - x * 0.2);
    const int crop = int(std::fabs(std::sin(fx * 12.9898 + fy * 78.233) * 43758.5453)) % 5;
    static const int crops[5][3] = {
        {150, 160, 90}, {110, 140, 70}, {185, 170, 110}, {120, 120, 80}, {95, 130, 75}};
    double r = crops[crop][0], g = crops[crop][1], b = crops[crop][2];
    if (hill > 0.45) { // woods
        r = 50 + 20 * hill, g = 80 + 15 * hill, b = 45;
    }
    r += grain, g += grain, b += grain;
    const double river = std::fabs(y - 9 - 2.5 * std::sin(x * 0.35) - 0.8 * std::sin(x * 1.3));
    if (river < 0.10) {
        r = 48, g = 86, b = 112;
    } else if (river < 0.16) {
        r = 160, g = 150, b = 120;
    }
    const double road1 = std::fabs(x - 14 - 3 * std::sin(y * 0.25) + 0.3 * y);
    const double road2 = std::fabs(y - 3 - 0.15 * x - std::sin(x * 0.5));
    if (road1 < 0.025 || road2 < 0.025)
        r = g = b = 205;
    auto c = [](double v) { return int(std::clamp(v, 0.0, 255.0)); };
    return qRgb(c(r), c(g), c(b));
}

QImage landscapeTile(qint64 column, qint64 row, int variant)
{
    QImage image(256, 256, QImage::Format_RGB32);
    for (int j = 0; j < 256; ++j) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(j));
        for (int i = 0; i < 256; ++i)
            line[i] = landscape(double(column * 256 + i), double(row * 256 + j), variant);
    }
    return image;
}

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

int generate(const std::map<std::string, std::string>& args)
{
    const QString folder = QString::fromStdString(args.at("--folder"));
    const qint32 columns = qint32(number(args, "--columns", 400));
    const qint32 rows = qint32(number(args, "--rows", 500));
    const int zoom = int(number(args, "--zoom", 17));
    const int unique = int(number(args, "--unique", 64));
    QRandomGenerator random(quint32(number(args, "--seed", 7)));

    // Somewhere in the Alps' latitudes, whatever the zoom.
    const qint32 minX = LongitudeToTileX(10.2, zoom), minY = LatitudeToTileY(46.1, zoom);
    const qint32 maxX = minX + columns - 1, maxY = minY + rows - 1;
    const QString name = QStringLiteral("Generated job");
    QDir().mkpath(folder);
    const QString project = QDir(folder).filePath(name + QStringLiteral(".tavo"));
    const AreaTexts area{QString::number(double(TileXToLongitude(minX, zoom)), 'f', 6),
                         QString::number(double(TileXToLongitude(maxX + 1, zoom)), 'f', 6),
                         QString::number(double(TileYToLatitude(maxY + 1, zoom)), 'f', 6),
                         QString::number(double(TileYToLatitude(minY, zoom)), 'f', 6)};
    WriteNewProject(project, area, zoom, {minX, maxX, minY, maxY}, 8);
    const QString images = QDir(folder).filePath(name) + u'/';
    QDir().mkpath(images);

    const QByteArray blank = [] {
        QFile file(QCoreApplication::applicationDirPath() + QStringLiteral("/blankimg/blank.jpg"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();
    std::vector<QByteArray> pool;
    std::vector<QString> poolFiles;
    for (int i = 0; i < unique; ++i) {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        landscapeTile(i * 3, i * 5, i).save(&buffer, "JPEG", 80);
        pool.push_back(bytes);
        poolFiles.push_back(QDir(folder).filePath(QStringLiteral(".pool-%1.jpg").arg(i)));
        writeBytes(poolFiles.back(), bytes);
    }

    // Holes: the last tenth of the walk (column by column from the west, rows
    // from the south) never happened, as when a job is stopped; refused tiles
    // (blank) here and there; a few broken files.
    const qint64 total = qint64(columns) * rows;
    const qint64 stoppedAt = total - total / 10;
    qint64 n = 0, counts[6] = {};
    for (qint32 x = minX; x <= maxX; ++x) {
        for (qint32 y = minY; y <= maxY; ++y, ++n) {
            const QString path = images + tileFileName(x, y);
            const quint32 dice = random.bounded(1000u);
            if (n > stoppedAt) {
                ++counts[1];
                continue;
            }
            if (n == stoppedAt) { // the tile in hand when the job was stopped
                writeBytes(path + QStringLiteral(".part"),
                           pool.empty() ? QByteArray("\xff\xd8") : pool[0].left(100));
                ++counts[5];
                continue;
            }
            if (dice < 4 && !blank.isEmpty()) {
                writeBytes(path, blank);
                ++counts[2];
            } else if (dice == 4) {
                writeBytes(path, QByteArray());
                ++counts[3];
            } else if (dice == 5) {
                writeBytes(path, "<html><body><h1>503 Service Unavailable</h1></body></html>");
                ++counts[4];
            } else if (unique > 0) {
                const QByteArray source =
                    QFile::encodeName(poolFiles[std::size_t(random.bounded(unique))]);
                if (::link(source.constData(), QFile::encodeName(path).constData()) != 0) {
                    std::perror("link");
                    return 1;
                }
                ++counts[0];
            } else {
                landscapeTile(x - minX, maxY - y, 0).save(path, "JPEG", 80);
                ++counts[0];
            }
        }
    }
    for (const QString& file : poolFiles)
        QFile::remove(file);
    std::printf("project=%s\ntiles=%lld\ngood=%lld\nmissing=%lld\nblank=%lld\nempty=%lld\nhtml=%"
                "lld\npart=%lld\n",
                qPrintable(project), total, counts[0], counts[1], counts[2], counts[3], counts[4],
                counts[5]);
    return 0;
}

// Processor time of the calling thread.
double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

double peakRssMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return -1;
}

// The longest time the window's thread went without serving its event loop,
// seen by a 5 ms timer.
class StallWatch
{
public:
    StallWatch()
    {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const double now = double(m_clock.nsecsElapsed()) / 1e6;
            m_max = std::max(m_max, now - m_last - 5);
            m_last = now;
        });
    }
    void start()
    {
        m_clock.start();
        m_last = 0;
        m_max = 0;
        m_timer.start();
    }
    double max() const { return m_max; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    double m_last = 0, m_max = 0;
};

int measure(const std::map<std::string, std::string>& args)
{
    const QString project = QString::fromStdString(args.at("--project"));
    const double panSeconds = number(args, "--pan-seconds", 20);
    QTemporaryDir iniDir;
    GlimpseWindow window(
        {iniDir.filePath(QStringLiteral("glimpse.ini")),
         QCoreApplication::applicationDirPath() + QStringLiteral("/blankimg/blank.jpg"),
         QString()});
    window.setMessageSink(
        [](const QString& text) { std::fprintf(stderr, "message: %s\n", qPrintable(text)); });
    window.resize(1280, 800);
    window.show();
    QCoreApplication::processEvents();
    MapWidget& map = window.map();

    // 1. Open: until the whole job is drawn as coverage (from the names in
    //    the folder), then until every file's state is known and drawn.
    StallWatch stalls;
    stalls.start();
    QElapsedTimer clock;
    clock.start();
    if (!window.openProject(project))
        return 1;
    const double openCallMs = double(clock.nsecsElapsed()) / 1e6;
    double openMs = -1, fullMs = -1;
    {
        QEventLoop loop;
        auto drawnYet = [&] {
            if (openMs < 0 && window.document().result()) {
                map.repaint();
                openMs = double(clock.nsecsElapsed()) / 1e6;
            }
        };
        QObject::connect(&window.document(), &JobDocument::scanProgress, &loop, drawnYet);
        QObject::connect(&window.document(), &JobDocument::scanFinished, &loop, [&] {
            drawnYet();
            map.repaint();
            fullMs = double(clock.nsecsElapsed()) / 1e6;
            loop.quit();
        });
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    const double openStall = stalls.max();
    if (fullMs < 0)
        return 1;
    const ScanResult* result = window.document().result();

    // 2. Pan zoomed in, at full image size, in rows across the job, 60
    //    frames a second; every frame is a pan step and a paint.
    map.resetPaintTimes();
    MapView& view = map.view();
    const TileRect rect = window.document().info().rect;
    view.setCenterAndScale(QPointF(2, 2), 256);
    stalls.start();
    QElapsedTimer frameClock;
    double maxFrame = 0, sumFrame = 0, maxFrameCpu = 0;
    int frames = 0;
    double direction = 1;
    clock.restart();
    QElapsedTimer frameStart;
    while (clock.elapsed() < qint64(panSeconds * 1000)) {
        frameStart.start();
        frameClock.start();
        const double cpuBefore = threadCpuMs();
        // 24 px a frame: 1,440 px (5.6 tiles) a second.
        view.panBy(QPointF(-24 * direction, 0));
        const QPointF c = view.center();
        if (c.x() >= double(rect.width()) - 2 || c.x() <= 2) {
            direction = -direction;
            view.setCenterAndScale(QPointF(c.x(), c.y() + 3), view.scale());
        }
        map.repaint();
        const double frame = double(frameClock.nsecsElapsed()) / 1e6;
        maxFrame = std::max(maxFrame, frame);
        maxFrameCpu = std::max(maxFrameCpu, threadCpuMs() - cpuBefore);
        if (frame > 20)
            std::fprintf(stderr,
                         "slow frame %d: %.1f ms (paint %.1f ms, on the processor %.1f ms)\n",
                         frames, frame, map.lastPaintMs(), threadCpuMs() - cpuBefore);
        sumFrame += frame;
        ++frames;
        // The rest of the 16.7 ms goes to the event loop (decoded images arrive).
        const qint64 left = 16 - frameStart.elapsed();
        if (left > 0) {
            QEventLoop loop;
            QTimer::singleShot(int(left), &loop, &QEventLoop::quit);
            loop.exec();
        }
    }
    const double panStall = stalls.max();

    // 3. Zoom out and in through every level, about the middle; at each step
    //    one frame at once and one more once every image in view is decoded
    //    (the most a frame ever draws at that zoom).
    double maxZoomFrame = 0;
    for (int round = 0; round < 2; ++round)
        for (double factor :
             {0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 2.0, 2.0, 2.0, 2.0, 2.0, 2.0, 2.0, 2.0}) {
            frameClock.start();
            view.zoomAbout(QPointF(640, 380), factor);
            map.repaint();
            maxZoomFrame = std::max(maxZoomFrame, double(frameClock.nsecsElapsed()) / 1e6);
            QElapsedTimer settle;
            settle.start();
            while (window.cache().pending() > 0 && settle.elapsed() < 5000) {
                QEventLoop loop;
                QTimer::singleShot(20, &loop, &QEventLoop::quit);
                loop.exec();
            }
            frameClock.start();
            map.repaint();
            maxZoomFrame = std::max(maxZoomFrame, double(frameClock.nsecsElapsed()) / 1e6);
        }

    std::printf("glimpse_tiles=%lld\n", result->scan.total());
    std::printf("glimpse_scan_ms=%lld\n", result->elapsedMs);
    std::printf("glimpse_open_ms=%.0f\n", openMs);
    std::printf("glimpse_all_states_ms=%.0f\n", fullMs);
    std::printf("glimpse_open_max_stall_ms=%.1f\n", openStall);
    std::printf("glimpse_open_call_ms=%.1f\n", openCallMs);
    std::printf("glimpse_frames=%d\n", frames);
    std::printf("glimpse_mean_frame_ms=%.2f\n", frames ? sumFrame / frames : 0.0);
    std::printf("glimpse_max_frame_ms=%.1f\n", std::max(maxFrame, maxZoomFrame));
    std::printf("glimpse_max_pan_frame_ms=%.1f\n", maxFrame);
    // The window thread's own processor time in its longest frame: what is
    // left of a long frame once waiting for other processes is taken out.
    std::printf("glimpse_max_frame_cpu_ms=%.1f\n", maxFrameCpu);
    std::printf("glimpse_max_zoom_frame_ms=%.1f\n", maxZoomFrame);
    std::printf("glimpse_max_stall_ms=%.1f\n", panStall);
    std::printf("glimpse_cache_mb=%.1f\n", double(window.cache().usedBytes()) / 1048576.0);
    std::printf("glimpse_cache_budget_mb=%.0f\n", double(window.cache().budgetBytes()) / 1048576.0);
    std::printf("glimpse_rss_mb=%.1f\n", peakRssMb());
    std::printf("counts=%s\n", qPrintable(window.countsLabelText()));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const std::string command = argc > 1 ? argv[1] : "";
    const auto args = parse(argc, argv);
    if (command == "generate" && args.count("--folder"))
        return generate(args);
    if (command == "measure" && args.count("--project"))
        return measure(args);
    std::fprintf(
        stderr,
        "usage: glimpse_bench generate --folder DIR [--columns C --rows R --zoom Z --unique N]\n"
        "       glimpse_bench measure --project FILE [--pan-seconds S]\n");
    return 2;
}
