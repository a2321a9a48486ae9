#include "app/MainWindows.h"
#include "app/TavoApplication.h"
#include "app/MainController.h"
#include "dialogs/TForm1.h"
#include "engine/SettingsLocation.h"
#include "engine/TaskThread.h"
#include "http/HttpClient.h"

#include <QFile>
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
            // "--settings DIR" keeps this run's settings (and those of the
            // viewer and combiner it starts) in DIR instead of the usual folder.
            QStringList arguments = QCoreApplication::arguments().mid(1);
            const qsizetype settingsOption = arguments.indexOf(QStringLiteral("--settings"));
            if (settingsOption >= 0 && settingsOption + 1 < arguments.size()) {
                qputenv(tavo::SettingsFolderVariable,
                        QFile::encodeName(QFileInfo(arguments.at(settingsOption + 1)).absoluteFilePath()));
                arguments.remove(settingsOption, 2);
            }
            tavo::MainWindows windows(QCoreApplication::applicationDirPath());
            windows.Form1().show();
            // "tavo Job.tavo" (a project opened from the desktop) opens it
            // into the fields as "Open project..." does.
            if (!arguments.isEmpty())
                windows.controller().openProjectFile(QFileInfo(arguments.at(0)).absoluteFilePath());
            result = app.exec();
        }
        if (tavo::TaskThread::abandonedCount() > 0) {
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
