#include "engine/JobFolder.h"
#include "engine/SettingsLocation.h"
#include "weaver/CommandLine.h"
#include "weaver/WeaverWindow.h"

#include <QApplication>
#include <QCoreApplication>
#include <QLineEdit>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

// Cancelled by SIGINT and SIGTERM: a lock-free atomic store.
tavo::Feedback interrupted;

void onSignal(int)
{
    interrupted.cancel();
}

// A file of the program's own folder (ini/, blankimg/).
QString besideProgram(const QString& relative)
{
    return QCoreApplication::applicationDirPath() + u'/' + relative;
}

} // namespace

int main(int argc, char* argv[])
{
    // A write beyond the file-size limit must fail like a full disk (and be
    // cleaned up), not kill the program with its temporary files left behind.
    std::signal(SIGXFSZ, SIG_IGN);
    // "--window [JOB.tavo]" opens the window, its project field filled.
    const bool window = argc > 1 && std::strcmp(argv[1], "--window") == 0;
    if (argc > 1 && !window) {
        QCoreApplication app(argc, argv);
        struct sigaction action{};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
        QStringList arguments = QCoreApplication::arguments();
        arguments.removeFirst();
        return tavo::weaver::runCommandLine(
            arguments, tavo::placeholderPath(besideProgram(QString())), stdout,
            stderr, &interrupted);
    }
    QApplication app(argc, argv);
    // ini/ beside the program, or the user's own when the program is installed.
    const QString ini = tavo::settingsFolder(QCoreApplication::applicationDirPath());
    tavo::weaver::WeaverWindow weaverWindow(ini + QStringLiteral("weaver.ini"),
                                            tavo::placeholderPath(besideProgram(QString())));
    const QStringList arguments = QCoreApplication::arguments();
    if (window && arguments.size() > 2) {
        // As if the project had been typed: the output is proposed beside it.
        weaverWindow.projectEdit()->setText(arguments.at(2));
        weaverWindow.outputEdit()->clear();
        emit weaverWindow.projectEdit()->editingFinished();
    }
    weaverWindow.show();
    return app.exec();
}
