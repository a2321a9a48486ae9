// The area dialog's map: how soon it shows the world from the disk cache, the
// longest frame while panning and zooming, and the longest frame (and event
// loop stall) while every map tile request hangs. Prints name=value lines.

#include "dialogs/AreaMap.h"
#include "dialogs/SelectAreaDialog.h"
#include "http/HttpClient.h"

#include "TileServer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include <cstdio>

using namespace tavo;

namespace {

SelectAreaDialog::Setup setupFor(int port, const QString& cache)
{
    SelectAreaDialog::Setup setup;
    setup.zoomText = QStringLiteral("12");
    setup.source.proxy.useProxy = true;
    setup.source.proxy.server = QStringLiteral("127.0.0.1");
    setup.source.proxy.port = QString::number(port);
    setup.source.urlTail = QStringLiteral(".jpeg?g=1");
    setup.source.cacheFolder = cache;
    return setup;
}

// Pans and zooms for `ms`; returns the longest gap between two turns of the event loop.
double move(AreaMap& map, int ms)
{
    QElapsedTimer total, turn;
    total.start();
    turn.start();
    double longest = 0;
    int step = 0;
    while (total.elapsed() < ms) {
        const int key = (step / 8) % 2 ? Qt::Key_Left : Qt::Key_Right;
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QCoreApplication::sendEvent(&map, &press);
        if (step % 16 == 0) {
            const QPointF at(map.width() / 2.0, map.height() / 2.0);
            QWheelEvent wheel(at, map.mapToGlobal(at), QPoint(), QPoint(0, step % 32 ? 120 : -120),
                              Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
            QCoreApplication::sendEvent(&map, &wheel);
        }
        map.repaint();
        ++step;
        longest = std::max(longest, double(turn.nsecsElapsed()) / 1e6);
        QCoreApplication::processEvents();
        turn.restart();
    }
    return longest;
}

} // namespace

int main(int argc, char** argv)
{
    http::GlobalInit curl;
    QApplication app(argc, argv);
    QTemporaryDir cache;
    const QString cacheFolder = cache.path() + QStringLiteral("/tiles/");

    tileserver::Options world;
    world.worldImage = "/usr/share/xplanet/images/earth.jpg";
    tileserver::TileServer server(world);
    const int port = server.start();
    {
        // Fill the disk cache with the world's first levels.
        SelectAreaDialog dialog(setupFor(port, cacheFolder));
        dialog.resize(900, 700);
        dialog.show();
        if (!QTest::qWaitFor([&] { return dialog.map()->tilesWithoutImage() == 0; }, 20000))
            std::printf("area_fill_incomplete=1\n");
    }
    {
        QElapsedTimer timer;
        timer.start();
        SelectAreaDialog dialog(setupFor(port, cacheFolder));
        dialog.resize(900, 700);
        dialog.show();
        if (!QTest::qWaitFor([&] { return dialog.map()->tilesWithoutImage() == 0; }, 20000))
            std::printf("area_open_incomplete=1\n");
        std::printf("area_open_cached_ms=%.1f\n", double(timer.nsecsElapsed()) / 1e6);
        dialog.map()->resetPaintTimes();
        move(*dialog.map(), 3000);
        std::printf("area_pan_frame_max_ms=%.1f\n", dialog.map()->maxPaintMs());
    }

    // Every request hangs: the map goes on drawing.
    tileserver::Options stalled;
    stalled.delayMs = 600000;
    tileserver::TileServer dead(stalled);
    const int deadPort = dead.start();
    {
        SelectAreaDialog dialog(setupFor(deadPort, QString()));
        dialog.resize(900, 700);
        dialog.show();
        dialog.map()->resetPaintTimes();
        const double stall = move(*dialog.map(), 5000);
        std::printf("area_stalled_requests=%d\n", dead.requestCount());
        std::printf("area_stalled_frame_max_ms=%.1f\n", dialog.map()->maxPaintMs());
        std::printf("area_stalled_loop_max_ms=%.1f\n", stall);
    }
    return 0;
}
