// Runs one download job through the real main window, offscreen, as a person
// would: types the fields, clicks Download, waits for "Download finished!",
// closes the box. Prints wall time, tiles per second, peak memory and the
// largest lateness of a monitor tick as name=value lines.
//
//   tavo_bench --port P --columns C --rows R [--zoom Z] [--threads N] --work DIR
//   tavo_bench --columns C --rows R [--zoom Z] --urls FILE   (the job's tile URLs)
//   tavo_bench --hand-over N [--threads T]
//
// --hand-over measures the workers' blocking hand-over alone: T threads each
// hand N empty reports to the main thread and wait for each to run there.

#include "app/MainController.h"
#include "app/MainWindows.h"
#include "app/TavoApplication.h"
#include "dialogs/TForm1.h"
#include "engine/TaskThread.h"
#include "engine/TileMath.h"
#include "http/HttpClient.h"
#include "tiles/TDownThread.h"
#include "tiles/WorkerHost.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Arguments
{
    int port = 0;
    int columns = 100;
    int rows = 200;
    int zoom = 16;
    int threads = 8;
    QString work;
    QString urls; // write the job's tile URLs here and stop
    long handOvers = 0;
};

Arguments parse(int argc, char** argv)
{
    Arguments args;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--port")
            args.port = std::atoi(value);
        else if (name == "--columns")
            args.columns = std::atoi(value);
        else if (name == "--rows")
            args.rows = std::atoi(value);
        else if (name == "--zoom")
            args.zoom = std::atoi(value);
        else if (name == "--threads")
            args.threads = std::atoi(value);
        else if (name == "--work")
            args.work = QString::fromLocal8Bit(value);
        else if (name == "--urls")
            args.urls = QString::fromLocal8Bit(value);
        else if (name == "--hand-over")
            args.handOvers = std::atol(value);
    }
    return args;
}

// A text that lies a little inside the tile's west (or south) edge, so the
// rectangle covers exactly the wanted columns and rows.
QString insideEdge(long double edge)
{
    return QString::number(double(edge) + 1e-7, 'f', 9);
}

long peakRssKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Reports that do nothing: what remains is the hand-over itself.
class NullHost final : public tavo::WorkerHost
{
public:
    void AppendLogLine(const QString&) override { ++lines; }
    void WorkerDone(int) override { ++done; }
    long lines = 0;
    int done = 0;
};

int measureHandOver(int argc, char** argv, const Arguments& args)
{
    QCoreApplication app(argc, argv);
    NullHost inner;
    tavo::BlockingWorkerHost host(&inner);
    const int threads = std::max(1, args.threads);
    const QString line = QStringLiteral("Thread1:seq=123456, file=53768-33768.jpg  ->ok!");
    std::vector<tavo::TaskThread> workers;
    QElapsedTimer clock;
    clock.start();
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&host, &line, &args, t] {
            for (long i = 0; i < args.handOvers; ++i)
                host.AppendLogLine(line);
            host.WorkerDone(t);
        });
    }
    while (inner.done < threads)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double seconds = clock.nsecsElapsed() / 1e9;
    for (auto& worker : workers)
        worker.join();
    std::printf("hand_overs=%ld\n", inner.lines);
    std::printf("threads=%d\n", threads);
    std::printf("hand_overs_per_s=%.0f\n", inner.lines / seconds);
    std::printf("hand_over_us=%.2f\n", seconds * 1e6 / double(inner.lines));
    return inner.lines == long(threads) * args.handOvers ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const Arguments args = parse(argc, argv);
    if (args.handOvers > 0)
        return measureHandOver(argc, argv, args);
    const int firstX = (1 << args.zoom) / 2 + 1000;
    const int firstY = (1 << args.zoom) / 2 + 1000;
    if (!args.urls.isEmpty()) {
        // The same tiles in the same walk order and on the same servers as the
        // job, for a download tool to fetch.
        QFile out(args.urls);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 1;
        long long seq = 0;
        for (int x = firstX; x < firstX + args.columns; ++x) {
            for (int y = firstY; y < firstY + args.rows; ++y) {
                ++seq;
                out.write(QByteArray(tavo::UrlHead) + QByteArray::number(seq % 4) +
                          tavo::UrlMiddle + tavo::MakeQuadkey(x, y, args.zoom).toLatin1() +
                          ".jpeg?g=1\n");
            }
        }
        return 0;
    }
    if (args.port <= 0 || args.work.isEmpty()) {
        std::fprintf(stderr, "usage: tavo_bench --port P --columns C --rows R [--zoom Z] "
                             "[--threads N] --work DIR\n");
        return 2;
    }

    tavo::http::GlobalInit curl;
    tavo::TavoApplication app(argc, argv);

    // A program folder of its own: settings that send tiles to the local server.
    const QString program = args.work + QStringLiteral("/program/");
    QDir().mkpath(program + QStringLiteral("ini"));
    QDir().mkpath(program + QStringLiteral("blankimg"));
    QFile::copy(QCoreApplication::applicationDirPath() + QStringLiteral("/blankimg/blank.jpg"),
                program + QStringLiteral("blankimg/blank.jpg"));
    QFile::copy(QCoreApplication::applicationDirPath() + QStringLiteral("/ini/s.txt"),
                program + QStringLiteral("ini/s.txt"));
    {
        QFile ini(program + QStringLiteral("ini/config.ini"));
        if (!ini.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 1;
        ini.write(
            "[IniParas]\r\nSleepSeconds=0\r\n[Proxy]\r\nUseProxy=1\r\nProxyServer=127.0.0.1\r\n"
            "ProxyPort=" +
            QByteArray::number(args.port) + "\r\n");
    }

    tavo::MainWindows windows(program);
    tavo::TForm1& form = windows.Form1();
    form.show();
    QCoreApplication::processEvents();
    // The parameters file comes from the local server too.
    windows.controller().appState().ParamsUrl =
        QStringLiteral("http://127.0.0.1:%1/s.txt").arg(args.port);

    // A rectangle of exactly columns x rows tiles.
    auto type = [](QLineEdit* edit, const QString& text) {
        edit->clear();
        QTest::keyClicks(edit, text);
    };
    type(form.Edit1(), insideEdge(tavo::TileXToLongitude(firstX, args.zoom)));
    type(form.Edit3(), insideEdge(tavo::TileXToLongitude(firstX + args.columns - 1, args.zoom)));
    type(form.Edit4(), insideEdge(tavo::TileYToLatitude(firstY, args.zoom)));
    type(form.Edit2(), insideEdge(tavo::TileYToLatitude(firstY + args.rows - 1, args.zoom)));
    form.Edit5()->setText(QString::number(args.zoom));
    form.Edit10()->setText(QString::number(args.threads));
    type(form.Edit6(), args.work + QStringLiteral("/maps"));
    type(form.Edit11(), QStringLiteral("Bench.tavo"));

    // Lateness of the monitor's ticks: the gap between two ticks beyond 1 s.
    QElapsedTimer tickClock;
    qint64 lastTick = -1;
    qint64 maxLateMs = 0;
    QObject::connect(form.Timer1(), &QTimer::timeout, [&] {
        const qint64 now = tickClock.elapsed();
        if (lastTick >= 0)
            maxLateMs = std::max(maxLateMs, now - lastTick - 1000);
        lastTick = now;
    });

    // Close "Download finished!" as soon as it shows, and end the wait. On the
    // way, note when the last worker ended: the job itself ends on the next
    // monitor tick, up to a second later.
    const tavo::JobState& job = windows.controller().jobState();
    bool clicked = false;
    qint64 workersEndedMs = -1;
    bool finished = false;
    QEventLoop waiting;
    QElapsedTimer wall;
    QTimer closer;
    closer.setInterval(10);
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (clicked && workersEndedMs < 0 && job.WorkersRunning == 0)
            workersEndedMs = wall.elapsed();
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            if (box->text() == QStringLiteral("Download finished!")) {
                finished = true;
                waiting.quit();
            } else {
                std::fprintf(stderr, "message: %s\n", qPrintable(box->text()));
            }
            box->accept();
        }
    });
    closer.start();

    wall.start();
    tickClock.start();
    QTest::mouseClick(form.BitBtn1(), Qt::LeftButton);
    clicked = true;
    // The set-up runs inside the click: it has started the workers and the
    // monitor by now.
    const double setupSeconds = wall.elapsed() / 1000.0;
    // A real event loop, as the program's own: it sleeps until an event comes.
    // (processEvents with a time limit never waits, and would spin a core.)
    QTimer::singleShot(30 * 60 * 1000, &waiting, &QEventLoop::quit);
    if (!finished)
        waiting.exec();
    const double seconds = wall.elapsed() / 1000.0;

    const long long tiles = static_cast<long long>(args.columns) * args.rows;
    std::printf("finished=%d\n", finished ? 1 : 0);
    std::printf("tiles=%lld\n", tiles);
    std::printf("wall_s=%.3f\n", seconds);
    std::printf("tiles_per_s=%.1f\n", seconds > 0 ? tiles / seconds : 0.0);
    // From the click to the last worker's end.
    const double fetchSeconds = (workersEndedMs >= 0 ? workersEndedMs : wall.elapsed()) / 1000.0;
    std::printf("setup_s=%.3f\n", setupSeconds);
    std::printf("fetch_s=%.3f\n", fetchSeconds);
    // The monitor ends the job on its first one-second tick after the last
    // worker: this is the wait for it.
    std::printf("end_wait_s=%.3f\n", seconds - fetchSeconds);
    std::printf("fetch_tiles_per_s=%.1f\n", fetchSeconds > 0 ? tiles / fetchSeconds : 0.0);
    std::printf("rss_mb=%.1f\n", peakRssKb() / 1024.0);
    std::printf("max_tick_late_ms=%lld\n", static_cast<long long>(maxLateMs));
    std::fflush(stdout);
    return finished ? 0 : 1;
}
