#include "app/MainWindows.h"
#include "app/TavoApplication.h"
#include "app/MainController.h"
#include "dialogs/TForm1.h"
#include "http/HttpClient.h"
#include "tiles/WorkerHost.h"

#include <QFileInfo>
#include <QStringList>

#include <cstdio>
#include <cstdlib>
#include <optional>

int main(int argc, char** argv)
{
    // libcurl is set up once, before any thread, and cleaned up after the
    // last one (see below).
    std::optional<tavo::http::GlobalInit> curl;
    tavo::TavoApplication app(argc, argv);
    int result = 0;
    try {
        curl.emplace();
        {
            tavo::MainWindows windows(QCoreApplication::applicationDirPath());
            windows.Form1().show();
            // "tavo Job.tavo" (a project opened from the desktop) opens it
            // into the fields as "Open project..." does.
            const QStringList arguments = QCoreApplication::arguments();
            if (arguments.size() > 1)
                windows.controller().openProjectFile(QFileInfo(arguments.at(1)).absoluteFilePath());
            result = app.exec();
        }
        if (tavo::abandonedThreadCount() > 0) {
            // A worker or the single-tile fetch is stuck in a request past
            // every time-out: what it did is saved already. End at once, so
            // nothing it still uses (libcurl above all) is cleaned up under it.
            std::fflush(nullptr);
            std::_Exit(result);
        }
    } catch (const std::exception& error) {
        tavo::TavoApplication::showError(QString::fromUtf8(error.what()));
    } catch (...) {
        tavo::TavoApplication::showError(QString());
    }
    return result;
}
