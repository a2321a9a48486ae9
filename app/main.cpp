#include "app/MainWindows.h"
#include "app/TavoApplication.h"
#include "dialogs/TForm1.h"
#include "http/HttpClient.h"
#include "tiles/WorkerHost.h"

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
