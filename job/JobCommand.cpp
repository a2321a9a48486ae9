#include "job/JobCommand.h"

#include "engine/AppError.h"
#include "engine/AreaSelection.h"
#include "engine/JobFolder.h"
#include "engine/ProjectFile.h"
#include "engine/RepairPlan.h"
#include "engine/SettingsLocation.h"
#include "files/JobLog.h"
#include "files/ServerParams.h"
#include "files/Settings.h"
#include "geo/AreaFromFile.h"
#include "http/HttpClient.h"
#include "job/JobPlan.h"
#include "job/JobProgress.h"
#include "job/JobSession.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace tavo {

namespace {

void say(std::FILE* err, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), err);
    std::fputc('\n', err);
    std::fflush(err);
}

// SIGINT and SIGTERM reach the event loop through a pipe.
int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
}

// Shows the session's figures on stderr, at most once a second, and keeps
// its end.
class CommandObserver final : public JobObserver
{
public:
    CommandObserver(std::FILE* err, bool quiet) : m_err(err), m_quiet(quiet) {}

    void progress(const JobTotals& totals, const JobProgress& figures) override
    {
        if (m_quiet || (m_shown.isValid() && m_shown.elapsed() < 1000))
            return;
        m_shown.start();
        QString text = figures.countText();
        if (m_session && m_session->waitingMs() > 0) {
            text += QStringLiteral(" \u00b7 ") + waitingText(m_session->waitingMs());
        } else if (totals.toFetch > 0) {
            text += QStringLiteral(" \u00b7 ") + figures.rateText().replace(
                                                     QStringLiteral(", "), QStringLiteral(" \u00b7 "));
        }
        say(m_err, text);
    }
    void saveFailed(const QString& text) override { say(m_err, text); }
    void finished(const JobTotals& totals, const QString& failure) override
    {
        if (!failure.isEmpty())
            say(m_err, failure);
        m_totals = totals;
        m_ended = true;
        QCoreApplication::exit(0);
    }

    void watch(const JobSession* session) { m_session = session; }
    bool ended() const { return m_ended; }
    const JobTotals& totals() const { return m_totals; }

private:
    std::FILE* m_err;
    bool m_quiet;
    QElapsedTimer m_shown;
    const JobSession* m_session = nullptr;
    bool m_ended = false;
    JobTotals m_totals;
};

QString takeValue(const QStringList& arguments, int& i, QString& error)
{
    if (i + 1 >= arguments.size()) {
        error = QStringLiteral("%1 needs a value").arg(arguments.at(i));
        return {};
    }
    return arguments.at(++i);
}

// The tiles of the project's folder that are missing, placeholders or
// damaged, as Tools > "Fetch missing tiles again" finds them. None when
// nothing is to be fetched.
std::shared_ptr<RepairPlan> planRetry(const QString& projectPath, const QString& programFolder,
                                      ProjectInfo& info, std::FILE* err)
{
    QString error;
    auto plan = std::make_shared<RepairPlan>();
    if (!readProjectInfo(projectPath, info, &error) ||
        !plan->scan(info, ScanOptions::withPlaceholder(placeholderPath(programFolder)), &error)) {
        say(err, error);
        return {};
    }
    return plan->toFetchCount() > 0 ? plan : nullptr;
}

int exitCodeFor(const JobTotals& totals)
{
    if (totals.stoppedByUser)
        return ExitInterrupted;
    const bool allStored = totals.placeholders == 0 && totals.notWritten() == 0 &&
                           !totals.banned && !totals.unreachable && !totals.writeFailed;
    return allStored ? ExitAllStored : ExitTilesMissing;
}

} // namespace

bool parseJobCommand(const QStringList& arguments, JobCommand& command, QString& error)
{
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& a = arguments.at(i);
        QString* field = nullptr;
        if (a == QStringLiteral("--help") || a == QStringLiteral("-h"))
            command.help = true;
        else if (a == QStringLiteral("--quiet") || a == QStringLiteral("-q"))
            command.quiet = true;
        else if (a == QStringLiteral("--retry-failed"))
            command.retryFailed = true;
        else if (a == QStringLiteral("--left"))
            field = &command.left;
        else if (a == QStringLiteral("--right"))
            field = &command.right;
        else if (a == QStringLiteral("--top"))
            field = &command.top;
        else if (a == QStringLiteral("--bottom"))
            field = &command.bottom;
        else if (a == QStringLiteral("--zoom"))
            field = &command.zoom;
        else if (a == QStringLiteral("--threads"))
            field = &command.threads;
        else if (a == QStringLiteral("--folder"))
            field = &command.folder;
        else if (a == QStringLiteral("--project"))
            field = &command.project;
        else if (a == QStringLiteral("--area-from"))
            field = &command.areaFrom;
        else if (a == QStringLiteral("--buffer"))
            field = &command.buffer;
        else if (a == QStringLiteral("--settings"))
            field = &command.settingsFile;
        else if (a == QStringLiteral("--params-url"))
            field = &command.paramsUrl;
        else if (a.startsWith(QLatin1Char('-')) && a.size() > 1) {
            error = QStringLiteral("unknown option %1").arg(a);
            return false;
        } else if (command.projectFile.isEmpty()) {
            command.projectFile = a;
        } else {
            error = QStringLiteral("more than one project file: %1").arg(a);
            return false;
        }
        if (field) {
            *field = takeValue(arguments, i, error);
            if (!error.isEmpty())
                return false;
        }
    }
    if (command.help)
        return true;
    const bool anyEdge = !command.left.isEmpty() || !command.right.isEmpty() ||
                         !command.top.isEmpty() || !command.bottom.isEmpty();
    if (!command.areaFrom.isEmpty() && anyEdge) {
        error = QStringLiteral("give the area's edges or --area-from, not both");
        return false;
    }
    if (!command.buffer.isEmpty()) {
        bool number = false;
        const double metres = command.buffer.toDouble(&number);
        if (command.areaFrom.isEmpty()) {
            error = QStringLiteral("--buffer needs --area-from");
            return false;
        }
        if (!number || !(metres >= 0)) {
            error = QStringLiteral("--buffer: not a number of metres: %1").arg(command.buffer);
            return false;
        }
    }
    const bool anyField = anyEdge || !command.areaFrom.isEmpty() ||
                          !command.zoom.isEmpty() || !command.threads.isEmpty() ||
                          !command.folder.isEmpty() || !command.project.isEmpty();
    if (!command.projectFile.isEmpty() && anyField) {
        error = QStringLiteral("give a project file or the job's options, not both");
        return false;
    }
    if (command.projectFile.isEmpty() && !anyField) {
        error = QStringLiteral("no job: give a project file or the job's options");
        return false;
    }
    return true;
}

bool areaTextsFromFile(const QString& path, double bufferMetres, const QString& zoomText,
                       AreaTexts& texts, QString& error)
{
    bool number = false;
    const int zoom = zoomText.trimmed().toInt(&number);
    if (!number || zoom < MinZoom || zoom > MaxZoom) {
        error = QStringLiteral("Zoom level should be between %1 and %2.").arg(MinZoom).arg(MaxZoom);
        return false;
    }
    const std::optional<AreaValues> area = geo::readAreaFromFile(path, bufferMetres, &error);
    if (!area)
        return false;
    texts = areaTextsFor(snapToTiles(*area, zoom), zoom);
    return true;
}

QString jobCommandHelp()
{
    return QStringLiteral(
        "Usage: tavo-get JOB.tavo [options]\n"
        "       tavo-get --left L --right R --top T --bottom B --zoom Z --threads N\n"
        "                --folder DIR --project NAME [options]\n"
        "       tavo-get --area-from FILE [--buffer METRES] --zoom Z --threads N\n"
        "                --folder DIR --project NAME [options]\n"
        "\n"
        "Downloads a job's aerial tiles as Tavo's Download button does: with a project\n"
        "file it continues that job (or starts it again when its entries no longer\n"
        "match); with the options it downloads the area they give, stored as typed.\n"
        "The project file, the log and the tiles are those the window writes.\n"
        "--area-from takes the area of every feature of a GeoJSON, KML, GPX or\n"
        "Shapefile file, grown by --buffer metres, snapped to the tiles of the zoom.\n"
        "\n"
        "Options:\n"
        "  --settings FILE    the settings file (default: Tavo's own config.ini);\n"
        "                     the server parameters file s.txt is read beside it\n"
        "  --retry-failed     at the end, fetch again the tiles that failed\n"
        "  --quiet            no progress on stderr\n"
        "  --params-url URL   where the server parameters file is fetched from\n"
        "  --help             this text\n"
        "\n"
        "Progress goes to stderr once a second. SIGINT or SIGTERM stops the job: the\n"
        "tiles in hand are finished, positions and log saved; run again to continue.\n"
        "\n"
        "Exit status: 0 every tile stored; 1 tiles not stored (placeholders, not\n"
        "written, banned, unreachable); 2 refused arguments or entries, nothing\n"
        "written; 3 interrupted.\n");
}

int runJobCommand(const JobCommand& command, const QString& programFolderText, std::FILE* err)
{
    const QString programFolder = ensureTrailingSeparator(programFolderText);
    const QString settingsPath = command.settingsFile.isEmpty()
                                     ? settingsFolder(programFolder) + QStringLiteral("config.ini")
                                     : QFileInfo(command.settingsFile).absoluteFilePath();
    const QString paramsPath = folderPartOf(settingsPath) + QStringLiteral("s.txt");

    try {
        // As the window at its start and at the press: the settings, the
        // server parameters once, the fields. A settings folder without the
        // parameters file yet gets it from the fetch below.
        const StartupSettings startup = readStartupSettings(
            settingsPath, QFileInfo::exists(paramsPath) ? ReadTileVersion(paramsPath) : QString());
        JobRequest request;
        if (!command.projectFile.isEmpty()) {
            const QString path = QFileInfo(command.projectFile).absoluteFilePath();
            if (!QFileInfo(path).isFile()) {
                say(err, QStringLiteral("Cannot open file ") + path);
                return ExitRefused;
            }
            const OpenedProject opened =
                readProjectForOpen(path, startup.defaultZoom, startup.defaultThreadCount);
            request = {{opened.left, opened.right, opened.top, opened.bottom},
                       opened.zoom, opened.threadCount, opened.folder, opened.fileName};
        } else {
            AreaTexts area{command.left, command.right, command.top, command.bottom};
            if (!command.areaFrom.isEmpty()) {
                QString error;
                const QString zoom =
                    command.zoom.isEmpty() ? QString::number(startup.defaultZoom) : command.zoom;
                if (!areaTextsFromFile(command.areaFrom, command.buffer.toDouble(), zoom, area,
                                       error)) {
                    say(err, error);
                    return ExitRefused;
                }
            }
            request = {area,
                       command.zoom.isEmpty() ? QString::number(startup.defaultZoom) : command.zoom,
                       command.threads.isEmpty() ? QString::number(startup.defaultThreadCount)
                                                 : command.threads,
                       command.folder.isEmpty() ? startup.defaultPath : command.folder,
                       command.project};
        }

        const QString paramsUrl =
            command.paramsUrl.isEmpty() ? QString::fromLatin1(ParamsUrl) : command.paramsUrl;
        FetchServerParams(paramsUrl, paramsPath);
        const QString tileVersion = ReadTileVersion(paramsPath);
        const StartupSettings withVersion = readStartupSettings(settingsPath, tileVersion);
        // Every request introduces the program as the window's do.
        http::setUserAgent(withVersion.userAgent.toStdString());

        const JobSettings settings = readJobSettings(settingsPath);
        const PlanOutcome planned = planJob(request, settings);
        if (!planned.plan) {
            say(err, planned.refusal);
            return ExitRefused;
        }
        const JobPlan& plan = *planned.plan;

        const JobStart start = decideStart(plan, request, startup.defaultZoom,
                                           startup.defaultThreadCount, freeBytesOf(plan.saveFolder));
        const bool resume = start.resume;
        if (start.replaces && !command.quiet)
            say(err, QStringLiteral("%1 holds another job (%2): a new job replaces it.")
                         .arg(plan.projectPath, start.differences.join(QStringLiteral(", "))));
        if (!start.costQuestion.isEmpty() && !command.quiet)
            say(err, start.costQuestion.left(start.costQuestion.indexOf(QStringLiteral("\n\n"))));

        WorkerConfig config;
        config.sleepSeconds = settings.sleepSeconds;
        config.urlTail = withVersion.urlTail;
        config.proxy = settings.proxy;
        config.programFolder = programFolder;

        JobLog log;
        CommandObserver observer(err, command.quiet);
        JobSession session(log, observer);
        observer.watch(&session);

        // Stop on SIGINT and SIGTERM.
        if (g_signalPipe[0] < 0 && ::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
            throw std::runtime_error("cannot create a pipe");
        QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&] {
            char bytes[16];
            while (::read(g_signalPipe[0], bytes, sizeof bytes) > 0) {
            }
            if (session.running())
                session.stop();
        });
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, nullptr);
        ::sigaction(SIGTERM, &action, nullptr);

        const QString failure = session.start(plan, resume, config);
        if (!failure.isEmpty()) {
            say(err, failure);
            return ExitRefused;
        }
        QTimer monitor;
        monitor.setTimerType(Qt::PreciseTimer);
        monitor.setInterval(1000);
        QObject::connect(&monitor, &QTimer::timeout, [&] { session.tick(); });
        monitor.start();
        QCoreApplication::exec();

        JobTotals totals = observer.totals();
        if (!command.quiet)
            say(err, closingText(totals).replace(QLatin1Char('\n'), QLatin1Char(' ')));
        if (command.retryFailed && !totals.stoppedByUser && totals.toFetchAgain() > 0) {
            ProjectInfo info;
            const std::shared_ptr<RepairPlan> repair =
                planRetry(session.state().ProjectPath, programFolder, info, err);
            CommandObserver again(err, command.quiet);
            JobSession retry(log, again);
            again.watch(&retry);
            QStringList notMoved;
            const QString failure =
                repair ? retry.startRepair(info, repair, config, notMoved) : QString();
            if (!failure.isEmpty())
                say(err, failure);
            if (retry.running()) {
                QObject::disconnect(&monitor, nullptr, nullptr, nullptr);
                QObject::connect(&monitor, &QTimer::timeout, [&] { retry.tick(); });
                QObject::disconnect(&signalNotifier, nullptr, nullptr, nullptr);
                QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&] {
                    char bytes[16];
                    while (::read(g_signalPipe[0], bytes, sizeof bytes) > 0) {
                    }
                    if (retry.running())
                        retry.stop();
                });
                QCoreApplication::exec();
                totals = again.totals();
                if (!command.quiet)
                    say(err, closingText(totals).replace(QLatin1Char('\n'), QLatin1Char(' ')));
            }
        }
        monitor.stop();
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        return exitCodeFor(totals);
    } catch (const std::exception& error) {
        say(err, QString::fromUtf8(error.what()));
        return ExitRefused;
    }
}

} // namespace tavo
