// tavo-get: a download job of Tavo without its window.

#include "engine/TaskThread.h"
#include "http/HttpClient.h"
#include "job/JobCommand.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <optional>

int main(int argc, char** argv)
{
    std::optional<tavo::http::GlobalInit> curl;
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    tavo::JobCommand command;
    QString error;
    if (!tavo::parseJobCommand(arguments, command, error)) {
        std::fprintf(stderr, "tavo-get: %s\n%s", error.toLocal8Bit().constData(),
                     tavo::jobCommandHelp().toLocal8Bit().constData());
        return tavo::ExitRefused;
    }
    if (command.help) {
        std::fputs(tavo::jobCommandHelp().toLocal8Bit().constData(), stdout);
        return 0;
    }
    int result = tavo::ExitRefused;
    try {
        curl.emplace();
        result = tavo::runJobCommand(command, QCoreApplication::applicationDirPath(), stderr);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
    if (tavo::TaskThread::abandonedCount() > 0) {
        // A worker is stuck in a request past every time-out: what it did is
        // saved already. End at once, so nothing it uses is cleaned up under it.
        std::fflush(nullptr);
        std::_Exit(result);
    }
    return result;
}
