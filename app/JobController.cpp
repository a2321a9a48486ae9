#include "app/JobController.h"

#include "app/LogView.h"
#include "dialogs/CoordinateEntry.h"
#include "dialogs/Shell.h"
#include "dialogs/TForm1.h"
#include "engine/AppError.h"
#include "engine/JobFolder.h"
#include "engine/ProjectFile.h"
#include "engine/TextConv.h"
#include "engine/TileMath.h"
#include "files/ServerParams.h"
#include "files/Settings.h"
#include "tiles/TDownThread.h"
#include "tiles/TileWalk.h"

#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStorageInfo>
#include <QTimer>

#include <algorithm>

namespace tavo {

namespace {

const QString DownloadCaption = QStringLiteral("Download");
const QString StopCaption = QStringLiteral("Stop");

} // namespace

JobController::JobController(TForm1& form, AppState& app, LogView& view)
    : m_form(form), m_app(app), m_view(view),
      m_workerHost(std::make_shared<BlockingWorkerHost>(this))
{
}

JobController::~JobController()
{
    // No report reaches this object any more, and no worker waits for the
    // main thread: the ended workers can be joined.
    m_workerHost->close();
    for (auto& slot : m_job.WorkerSlots) {
        if (slot && slot->isRunning())
            abandonThread(std::move(slot), m_workerHost);
    }
}

bool JobController::running() const
{
    return m_form.BitBtn1()->text() != DownloadCaption;
}

void JobController::message(const QString& text)
{
    m_view.showMessage(&m_form, text);
}

void JobController::downloadPressed()
{
    if (!running()) {
        try {
            setUp();
        } catch (const std::exception& error) {
            message(QString::fromUtf8(error.what()));
        }
    } else {
        stop();
    }
}

// ---------------------------------------------------------------- set-up

void JobController::setUp()
{
    // 1. Server parameters, fetched once per run.
    loadServerParams();

    // 2.-11. The settings and the fields, checked; nothing is written
    // unless they pass.
    const JobRequest request = requestFromFields();
    const JobSettings settings = readJobSettings(m_app.SettingsPath);
    m_app.Proxy = settings.proxy;
    m_app.SleepSeconds = settings.sleepSeconds;
    m_job.WorkersRunning = 0;
    m_job.WorkersStarted = 0;
    const PlanOutcome planned = planJob(request, settings);
    if (!planned.plan) {
        refuse(planned.refusal);
        return;
    }
    const JobPlan& plan = *planned.plan;
    // A count lowered to eight shows as eight, as the project file stores it,
    // so the next press with the same fields continues the job.
    if (plan.threadCountLowered)
        m_form.Edit10()->setText(QString::number(MaxWorkers));

    // 12. Continue the job recorded in an existing project file?
    bool resumeJob = false;
    if (QFileInfo::exists(plan.projectPath)) {
        const StoredInputs stored =
            ReadResumeKeys(plan.projectPath, m_app.DefaultZoom, m_app.DefaultThreadCount);
        if (!m_form.Edit6()->text().endsWith(QLatin1Char('/')))
            m_form.Edit6()->setText(m_form.Edit6()->text() + QLatin1Char('/'));
        const JobRequest shown = requestFromFields();
        resumeJob = resumeMatches(stored, enteredInputs(shown, plan));
        // Another job in that file is never replaced without a word.
        if (!resumeJob &&
            !Shell::current().ask(&m_form, replaceQuestion(plan, differences(stored, shown))))
            return;
    }
    if (!resumeJob) {
        const QStorageInfo disk(plan.saveFolder);
        const bool knownFree = disk.isValid() && disk.isReady();
        const QString question = costQuestion(plan, knownFree ? disk.bytesAvailable() : -1);
        if (!question.isEmpty() && !Shell::current().ask(&m_form, question))
            return;
    }

    // 13. Start positions; the project file of a new job.
    std::vector<TilePosition> resume(MaxWorkers);
    if (resumeJob) {
        const std::vector<TilePosition> stored = ReadPositions(plan.projectPath, plan.threadCount);
        for (std::size_t i = 0; i < stored.size() && i < resume.size(); ++i)
            resume[i] = stored[i];
    } else {
        WriteNewProject(plan.projectPath, plan.area, plan.zoom, plan.rect, plan.threadCount);
    }

    // 14. Image folder.
    if (!QFileInfo(plan.imageFolder).isDir() && !QDir().mkdir(plan.imageFolder)) {
        message(QStringLiteral("Create directory ") + plan.imageFolder +
                QStringLiteral(" Failed."));
        return;
    }

    // From here on the job runs: the job state belongs to it.
    m_job.SaveFolder = plan.saveFolder;
    m_job.ProjectName = plan.projectName;
    m_job.ProjectBase = plan.projectBase;
    m_job.ProjectPath = plan.projectPath;
    m_job.LogFileName = logFileNameFor(plan.projectBase);
    m_job.Rect = plan.rect;
    m_job.ThreadCount = plan.threadCount;

    // 15. The button now stops the job.
    m_form.BitBtn1()->setText(StopCaption);

    // 16.-17. Log window and labels.
    startLog(plan, resumeJob);
    m_form.Label14()->setText(QStringLiteral("MinX=%1,MinY=%2,MaxX=%3,MaxY=%4")
                                  .arg(plan.rect.minX)
                                  .arg(plan.rect.minY)
                                  .arg(plan.rect.maxX)
                                  .arg(plan.rect.maxY));
    m_form.Label15()->setText(QStringLiteral("Total images: %1").arg(plan.rect.count()));

    // 18.-19. Workers; the monitor takes over.
    m_fetchingAgain = false;
    startWorkers(plan.zoom, resume);
    m_form.Timer1()->start();
    m_monitorTicks = 0;
}

void JobController::loadServerParams()
{
    if (!m_app.ParamsFetched) {
        m_form.LabelSTXT()->setText(fetchStartText());
        m_view.append(QStringLiteral("Loading server parameters...please wait..."));
        m_view.refresh();
        const FetchOutcome outcome = FetchServerParams(m_app.ParamsUrl, m_app.ParamsPath);
        if (outcome == FetchOutcome::Fetched)
            m_app.ParamsFetched = true;
        m_form.LabelSTXT()->setText(fetchStatusText(outcome));
    }
    m_app.TileVersion = ReadTileVersion(m_app.ParamsPath);
}

void JobController::refuse(const QString& text)
{
    message(text);
}

JobRequest JobController::requestFromFields() const
{
    return {{m_form.Edit1()->text(), m_form.Edit3()->text(), m_form.Edit2()->text(),
             m_form.Edit4()->text()},
            m_form.Edit5()->text(),
            m_form.Edit10()->text(),
            m_form.Edit6()->text(),
            m_form.Edit11()->text()};
}

void JobController::startLog(const JobPlan& plan, bool resumeJob)
{
    JobLog& log = m_view.log();
    const QDateTime now = QDateTime::currentDateTime();
    if (resumeJob) {
        try {
            log.loadForResume(m_job.logPath());
        } catch (const AppError&) {
            // The earlier log is gone or unreadable: the job goes on with an
            // empty window, and the file is written afresh.
            log.clear();
        }
        log.append(resumedJobLines(now));
    } else {
        log.clear();
        log.append(
            newJobHeaderLines({plan.saveFolder, plan.projectName, plan.settings.proxy, plan.area,
                               plan.rect, plan.download, plan.threadCount, plan.zoom, now}));
    }
    m_view.refresh();
}

void JobController::startWorkers(int zoom, const std::vector<TilePosition>& resume,
                                 std::shared_ptr<const std::vector<TilePosition>> tiles)
{
    const TileRect& r = m_job.Rect;
    const qint32 threadCount = m_job.ThreadCount;
    m_reportedEnd.fill(false);
    m_stopRequested = false;
    m_saveProblem.clear();
    m_toFetch = 0;
    for (qint32 i = 0; i < threadCount; ++i)
        m_toFetch += tiles ? TileWalk(r, *tiles, threadCount, i).size()
                           : TileWalk(r, threadCount, i, resume[std::size_t(i)]).size();
    m_clock.start();
    m_progress.start(m_toFetch, 0);
    showProgress();
    for (qint32 i = 0; i < threadCount; ++i) {
        WorkerConfig config;
        config.threadIndex = m_job.WorkersStarted;
        config.sleepSeconds = m_app.SleepSeconds;
        config.urlTail = m_app.UrlTail;
        config.proxy = m_app.Proxy;
        config.programFolder = m_app.ProgramFolder;
        const TilePosition start = resume[std::size_t(i)];
        auto worker = std::make_unique<TDownThread>(
            true, r.minX, r.maxX, r.minY, r.maxY, zoom, threadCount, m_job.SaveFolder,
            m_job.ProjectBase, start.x, start.y, config, m_workerHost.get());
        if (tiles)
            worker->fetchOnly(tiles);
        worker->start();
        m_job.WorkerSlots[std::size_t(i)] = std::move(worker);
        ++m_job.WorkersStarted;
        ++m_job.WorkersRunning;
    }
}

// ---------------------------------------------------------------- fetch again

void JobController::fetchMissingPressed()
{
    if (running()) {
        message(QStringLiteral("A download is running. Fetch missing tiles again when it has "
                               "finished."));
        return;
    }
    try {
        const QString path = chooseProject();
        if (!path.isEmpty())
            fetchMissing(path);
    } catch (const std::exception& error) {
        message(QString::fromUtf8(error.what()));
    }
}

QString JobController::chooseProject()
{
    const QString folder = m_form.Edit6()->text();
    if (!folder.isEmpty()) {
        const QString inWindow =
            ensureTrailingSeparator(folder) + projectNameFor(m_form.Edit11()->text());
        if (QFileInfo(inWindow).isFile())
            return inWindow;
    }
    return Shell::current().openFileName(&m_form, QStringLiteral("Open project file:"),
                                         m_app.DefaultPath,
                                         QStringLiteral("TAVO Projects(*.tavo)"));
}

void JobController::fetchMissing(const QString& path)
{
    ProjectInfo info;
    QString error;
    if (!readProjectInfo(path, info, &error)) {
        message(error);
        return;
    }

    ScanOptions options;
    options.placeholderPath = m_app.ProgramFolder + QStringLiteral("blankimg/blank.jpg");
    QFile placeholder(options.placeholderPath);
    if (placeholder.open(QIODevice::ReadOnly))
        options.placeholder = placeholder.readAll();
    const JobScan scan = scanJobFolder(info.imageFolder, info.rect, options);
    const QString projectName = QFileInfo(path).fileName();
    if (scan.bad() == 0) {
        const QString text = QStringLiteral("All %1 tiles of %2 are there: nothing to fetch.")
                                 .arg(groupedNumber(scan.total()), projectName);
        m_form.JobStatusText()->setText(text);
        message(text);
        return;
    }

    // What is there instead of a tile goes, so that a tile that fails again
    // gets the placeholder; placeholders stay until a real tile replaces them.
    const auto tiles = std::make_shared<const std::vector<TilePosition>>(scan.badTiles());
    for (const TilePosition tile : *tiles) {
        const QString file = info.imageFolder + tileFileName(tile.x, tile.y);
        switch (scan.state(tile.x, tile.y)) {
        case TileState::Empty:
        case TileState::NotJpeg:
        case TileState::Truncated:
            QFile::remove(file);
            break;
        case TileState::Partial:
            QFile::remove(file + QStringLiteral(".part"));
            break;
        default:
            break;
        }
    }

    const JobSettings settings = readJobSettings(m_app.SettingsPath);
    m_app.Proxy = settings.proxy;
    m_app.SleepSeconds = settings.sleepSeconds;
    if (!QFileInfo(info.imageFolder).isDir() && !QDir().mkdir(info.imageFolder)) {
        message(QStringLiteral("Create directory ") + info.imageFolder +
                QStringLiteral(" Failed."));
        return;
    }

    m_job.SaveFolder = info.saveFolder;
    m_job.ProjectName = projectName;
    m_job.ProjectBase = info.projectBase;
    m_job.ProjectPath = path;
    m_job.LogFileName = logFileNameFor(info.projectBase);
    m_job.Rect = info.rect;
    m_job.ThreadCount = qint32(qBound<qint64>(
        1, qMin<qint64>(info.threadCount, qint64(tiles->size())), qint64(MaxWorkers)));
    m_job.WorkersRunning = 0;
    m_job.WorkersStarted = 0;
    m_form.BitBtn1()->setText(StopCaption);

    JobLog& log = m_view.log();
    try {
        log.loadForResume(m_job.logPath());
    } catch (const AppError&) {
        log.clear();
    }
    log.append(resumedJobLines(QDateTime::currentDateTime()));
    QStringList kinds;
    for (const TileState state : {TileState::Missing, TileState::Placeholder, TileState::Empty,
                                  TileState::NotJpeg, TileState::Truncated, TileState::Partial}) {
        if (scan.count(state) > 0)
            kinds << QStringLiteral("%1 %2").arg(tileStateName(state)).arg(scan.count(state));
    }
    log.append(QStringLiteral("Fetch missing tiles again: %1 of %2 tiles (%3)")
                   .arg(scan.bad())
                   .arg(scan.total())
                   .arg(kinds.join(QStringLiteral(", "))));
    m_view.refresh();

    m_fetchingAgain = true;
    startWorkers(info.zoom, std::vector<TilePosition>(MaxWorkers), tiles);
    m_form.Timer1()->start();
    m_monitorTicks = 0;
}

// ---------------------------------------------------------------- monitor

void JobController::stop()
{
    m_stopRequested = true;
    for (qint32 n = 1; n <= m_job.ThreadCount; ++n) {
        if (auto& worker = m_job.WorkerSlots[std::size_t(n - 1)])
            worker->Terminate();
        m_view.append(QStringLiteral("Thread%1will be terminated by user. please wait...").arg(n));
    }
}

std::vector<TilePosition> JobController::currentPositions() const
{
    std::vector<TilePosition> positions;
    for (qint32 n = 1; n <= m_job.ThreadCount && n <= MaxWorkers; ++n) {
        const auto& worker = m_job.WorkerSlots[std::size_t(n - 1)];
        positions.push_back(worker ? worker->currentPosition() : TilePosition{});
    }
    return positions;
}

void JobController::savePositionsAndLog()
{
    if (!m_fetchingAgain) // a list of tiles moves no position
        SavePositions(m_job.ProjectPath, currentPositions());
    m_view.log().save(m_job.logPath());
}

JobTotals JobController::totals() const
{
    JobTotals totals;
    totals.toFetch = m_toFetch;
    totals.stoppedByUser = m_stopRequested;
    for (const auto& worker : m_job.WorkerSlots) {
        if (!worker)
            continue;
        const WorkerCounts counts = worker->counts();
        totals.stored += counts.stored;
        totals.placeholders += counts.placeholders;
        totals.unreachable = totals.unreachable || counts.unreachable;
        totals.banned = totals.banned || counts.banned;
        totals.writeFailed = totals.writeFailed || counts.writeFailed;
    }
    return totals;
}

// The running job's figures in the status bar; costs the workers nothing
// (relaxed reads of their counters).
void JobController::showProgress()
{
    const JobTotals now = totals();
    m_progress.sample(now.done(), m_clock.elapsed());
    QProgressBar* bar = m_form.JobProgressBar();
    bar->setRange(0, 1000);
    bar->setValue(m_toFetch > 0 ? int(qMin<qint64>(1000, now.done() * 1000 / m_toFetch)) : 0);
    // The count fits the bar: large numbers are shortened, the whole text is the tool tip.
    const QString full = m_progress.countText();
    const int room = bar->width() - 6;
    QString shown = full;
    if (bar->fontMetrics().horizontalAdvance(shown) > room)
        shown = m_progress.compactCountText();
    if (bar->fontMetrics().horizontalAdvance(shown) > room)
        shown = bar->fontMetrics().elidedText(shown, Qt::ElideRight, room);
    bar->setFormat(shown);
    bar->setToolTip(shown == full ? QString() : full);
    bar->setVisible(true);
    const QString rate = m_progress.rateText();
    m_form.JobStatusText()->setText(m_saveProblem.isEmpty() ? rate : m_saveProblem + QStringLiteral(" ") + rate);
}

void JobController::fieldsChanged()
{
    if (running())
        return;
    m_form.JobStatusText()->setText(
        jobSizeEstimate({m_form.Edit1()->text(), m_form.Edit3()->text(), m_form.Edit2()->text(),
                         m_form.Edit4()->text()},
                        m_form.Edit5()->text()));
}

void JobController::post(const QString& text, std::function<void()> onYes)
{
    m_boxes.push_back({text, std::move(onYes)});
    if (!m_boxOpen)
        QTimer::singleShot(0, &m_context, [this] { showPostedBoxes(); });
}

void JobController::showPostedBoxes()
{
    if (m_boxOpen)
        return; // the box on screen shows the rest when it closes
    m_boxOpen = true;
    while (!m_boxes.empty() && !m_closing) {
        PostedBox box = std::move(m_boxes.front());
        m_boxes.pop_front();
        m_openBox = box.text;
        if (!box.onYes) {
            message(box.text);
        } else {
            m_view.refresh();
            if (Shell::current().ask(&m_form, box.text))
                box.onYes();
        }
        m_openBox.clear();
    }
    m_boxOpen = false;
}

// A failed save of the positions or the log: the log window and the status
// bar say so every time; a box says so unless one with that text is on
// screen or waiting.
void JobController::saveFailed(const QString& text)
{
    m_view.append(text);
    m_saveProblem = QStringLiteral("Not saved: ") + text;
    m_form.JobStatusText()->setText(m_saveProblem);
    const bool shown = m_openBox == text || std::any_of(m_boxes.begin(), m_boxes.end(),
                                                        [&](const PostedBox& box) { return box.text == text; });
    if (!shown)
        post(text);
}

void JobController::monitorTick()
{
    ++m_monitorTicks;
    showProgress();
    if (m_monitorTicks % 4 == 0) {
        try {
            savePositionsAndLog();
            m_saveProblem.clear();
        } catch (const std::exception& error) {
            // The monitor goes on ticking and tries again.
            saveFailed(QString::fromUtf8(error.what()));
            return;
        }
    }
    if (m_job.WorkersRunning == 0 && m_form.Timer1()->isActive())
        finish();
}

void JobController::finish()
{
    m_form.Timer1()->stop();
    const JobTotals done = totals();

    QString failure;
    try {
        m_view.log().saveWithClosingReport(QDateTime::currentDateTime(), m_job.logPath());
    } catch (const std::exception& error) {
        failure = QString::fromUtf8(error.what());
    }
    // The run's counts follow the closing report.
    m_view.append(totalsLogLine(done));
    try {
        m_view.log().save(m_job.logPath());
    } catch (const std::exception& error) {
        if (failure.isEmpty())
            failure = QString::fromUtf8(error.what());
    }
    m_form.JobProgressBar()->setVisible(false);
    m_form.JobStatusText()->setText(totalsSummary(done));
    try {
        if (!m_fetchingAgain)
            SavePositions(m_job.ProjectPath, currentPositions());
    } catch (const std::exception& error) {
        if (failure.isEmpty())
            failure = QString::fromUtf8(error.what());
    }
    for (auto& slot : m_job.WorkerSlots)
        slot.reset(); // every worker has reported its end
    m_form.BitBtn1()->setText(DownloadCaption);
    m_view.refresh();
    if (!failure.isEmpty())
        post(failure);
    const qint64 again = done.toFetchAgain();
    if (again <= 0) {
        post(closingText(done));
        return;
    }
    // Tiles that failed are behind the stored positions: continuing the job
    // would not fetch them, fetching the missing tiles again does.
    const QString project = m_job.ProjectPath;
    post(closingText(done) +
             QStringLiteral("\n\nFetch the %1 missing tiles again now?").arg(groupedNumber(again)),
         [this, project] {
             if (running())
                 return;
             try {
                 fetchMissing(project);
             } catch (const std::exception& error) {
                 message(QString::fromUtf8(error.what()));
             }
         });
}

void JobController::AppendLogLine(const QString& line)
{
    m_view.append(line);
}

void JobController::WorkerDone(int threadIndex)
{
    if (threadIndex >= 0 && threadIndex < MaxWorkers)
        m_reportedEnd[std::size_t(threadIndex)] = true;
    --m_job.WorkersRunning;
    if (m_closeLoop && m_job.WorkersRunning <= 0)
        m_closeLoop->quit();
}

// ---------------------------------------------------------------- closing

void JobController::closeDuringJob()
{
    m_closing = true;
    m_form.Timer1()->stop();
    stop();
    if (m_job.WorkersRunning > 0) {
        // Blocks without spinning: the workers' reports and their ends arrive
        // as events; keys and clicks wait, so no dialog opens in the meantime.
        QEventLoop loop;
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        limit.start(m_closeWaitMs);
        m_closeLoop = &loop;
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        m_closeLoop = nullptr;
    }
    try {
        savePositionsAndLog();
    } catch (const std::exception&) {
        // Nothing more can be done on the way out.
    }
    // Workers that are still in a request are left to end with the process;
    // from now on their reports go nowhere.
    m_abandonedWorkers = 0;
    for (std::size_t i = 0; i < m_job.WorkerSlots.size(); ++i) {
        const auto& slot = m_job.WorkerSlots[i];
        if (!slot)
            continue;
        if (m_reportedEnd[i])
            slot->wait(); // its last call is made; the thread is returning
        else if (!slot->wait(0))
            ++m_abandonedWorkers;
    }
    if (m_abandonedWorkers > 0) {
        m_workerHost->close();
        for (auto& slot : m_job.WorkerSlots) {
            if (slot && slot->isRunning())
                abandonThread(std::move(slot), m_workerHost);
        }
    }
    for (auto& slot : m_job.WorkerSlots)
        slot.reset();
}

} // namespace tavo
