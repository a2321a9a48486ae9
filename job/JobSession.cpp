#include "job/JobSession.h"

#include "engine/AppError.h"
#include "engine/ProjectFile.h"
#include "tiles/TileWalk.h"

#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

namespace tavo {

JobSession::JobSession(JobLog& log, JobObserver& observer)
    : m_log(log), m_observer(observer), m_workerHost(std::make_shared<BlockingWorkerHost>(this))
{
}

JobSession::~JobSession()
{
    // No report reaches this object any more, and no worker waits for this
    // thread: the ended workers can be joined.
    m_workerHost->close();
    for (auto& slot : m_job.WorkerSlots) {
        if (slot && slot->isRunning())
            slot->abandon(m_workerHost);
    }
}

QString JobSession::start(const JobPlan& plan, bool resume, const WorkerConfig& config)
{
    // Start positions; the project file of a new job.
    std::vector<TilePosition> positions(MaxWorkers);
    if (resume) {
        const std::vector<TilePosition> stored = ReadPositions(plan.projectPath, plan.threadCount);
        for (std::size_t i = 0; i < stored.size() && i < positions.size(); ++i)
            positions[i] = stored[i];
    } else {
        WriteNewProject(plan.projectPath, plan.area, plan.zoom, plan.rect, plan.threadCount);
    }

    // Image folder.
    if (!QFileInfo(plan.imageFolder).isDir() && !QDir().mkdir(plan.imageFolder))
        return QStringLiteral("Create directory ") + plan.imageFolder + QStringLiteral(" Failed.");

    // From here on the job runs: the job state belongs to it.
    m_job.SaveFolder = plan.saveFolder;
    m_job.ProjectName = plan.projectName;
    m_job.ProjectBase = plan.projectBase;
    m_job.ProjectPath = plan.projectPath;
    m_job.LogFileName = logFileNameFor(plan.projectBase);
    m_job.Rect = plan.rect;
    m_job.ThreadCount = plan.threadCount;

    // The log: continued, or a new one with the job's header.
    const QDateTime now = QDateTime::currentDateTime();
    if (resume) {
        try {
            m_log.loadForResume(m_job.logPath());
        } catch (const AppError&) {
            // The earlier log is gone or unreadable: the job goes on with an
            // empty window, and the file is written afresh.
            m_log.clear();
        }
        m_log.append(resumedJobLines(now));
    } else {
        m_log.clear();
        m_log.append(
            newJobHeaderLines({plan.saveFolder, plan.projectName, plan.settings.proxy, plan.area,
                               plan.rect, plan.download, plan.threadCount, plan.zoom, now}));
    }
    m_observer.logAppended();

    m_fetchingList = false;
    startWorkers(plan.zoom, positions, {}, config);
    return {};
}

QString JobSession::startRepair(const ProjectInfo& info, std::shared_ptr<RepairPlan> repair,
                               const WorkerConfig& config, QStringList& notMoved)
{
    if (!QFileInfo(info.imageFolder).isDir() && !QDir().mkdir(info.imageFolder))
        return QStringLiteral("Create directory ") + info.imageFolder + QStringLiteral(" Failed.");
    const qint64 wanted = repair->toFetchCount();
    // What is there instead of a tile is moved aside ("X_Y.jpg.bad"), so
    // that a tile that fails again gets the placeholder; placeholders stay
    // until a real tile replaces them.
    notMoved = repair->setAside();

    m_job.SaveFolder = info.saveFolder;
    m_job.ProjectName = fileNamePartOf(info.projectPath);
    m_job.ProjectBase = info.projectBase;
    m_job.ProjectPath = info.projectPath;
    m_job.LogFileName = logFileNameFor(info.projectBase);
    m_job.Rect = info.rect;
    startRepairLog(m_log, m_job.logPath(), *repair, wanted, notMoved);
    m_observer.logAppended();
    if (repair->toFetchCount() == 0)
        return {};

    m_job.ThreadCount = qint32(qBound<qint64>(
        1, qMin<qint64>(info.threadCount, repair->toFetchCount()), qint64(MaxWorkers)));
    m_fetchingList = true;
    m_repair = repair;
    m_repairScan = ScanOptions::withPlaceholder(placeholderPath(config.programFolder));
    startWorkers(info.zoom, std::vector<TilePosition>(MaxWorkers), repair->toFetch(), config);
    return {};
}

void JobSession::startWorkers(int zoom, const std::vector<TilePosition>& resume,
                              std::shared_ptr<const TileSet> tiles,
                              const WorkerConfig& config)
{
    const TileRect& r = m_job.Rect;
    const qint32 threadCount = m_job.ThreadCount;
    m_job.WorkersRunning = 0;
    m_job.WorkersStarted = 0;
    m_reportedEnd.fill(false);
    m_stopRequested = false;
    m_monitorTicks = 0;
    m_toFetch = 0;
    for (qint32 i = 0; i < threadCount; ++i)
        m_toFetch += tiles ? TileWalk(*tiles, threadCount, i).size()
                           : TileWalk(r, threadCount, i, resume[std::size_t(i)]).size();
    m_clock.start();
    m_progress.start(m_toFetch, 0);
    // One pace for all the job's workers: a "slow down" holds them all.
    m_pacing = std::make_shared<Pacing>(config.limits.slowDownWaitMs,
                                        config.limits.longestSlowDownWaitMs);
    m_running = true;
    m_observer.progress(totals(), m_progress);
    for (qint32 i = 0; i < threadCount; ++i) {
        WorkerConfig own = config;
        own.threadIndex = m_job.WorkersStarted;
        own.pacing = m_pacing;
        const TilePosition start = resume[std::size_t(i)];
        auto worker = std::make_unique<TDownThread>(
            WorkerJob{r, zoom, threadCount, m_job.SaveFolder, m_job.ProjectBase, start}, own,
            m_workerHost.get());
        if (tiles)
            worker->fetchOnly(tiles);
        worker->start();
        m_job.WorkerSlots[std::size_t(i)] = std::move(worker);
        ++m_job.WorkersStarted;
        ++m_job.WorkersRunning;
    }
}

void JobSession::stop()
{
    m_stopRequested = true;
    for (qint32 n = 1; n <= m_job.ThreadCount; ++n) {
        if (auto& worker = m_job.WorkerSlots[std::size_t(n - 1)])
            worker->Terminate();
        m_log.append(QStringLiteral("Thread%1will be terminated by user. please wait...").arg(n));
    }
    m_observer.logAppended();
}

std::vector<TilePosition> JobSession::currentPositions() const
{
    std::vector<TilePosition> positions;
    for (qint32 n = 1; n <= m_job.ThreadCount && n <= MaxWorkers; ++n) {
        const auto& worker = m_job.WorkerSlots[std::size_t(n - 1)];
        positions.push_back(worker ? worker->currentPosition() : TilePosition{});
    }
    return positions;
}

void JobSession::savePositionsAndLog()
{
    if (!m_fetchingList) // a list of tiles moves no position
        SavePositions(m_job.ProjectPath, currentPositions());
    m_log.save(m_job.logPath());
}

qint64 JobSession::waitingMs() const
{
    return m_pacing ? m_pacing->remainingMs() : 0;
}

JobTotals JobSession::totals() const
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

void JobSession::tick()
{
    if (!m_running)
        return;
    ++m_monitorTicks;
    // The figures cost the workers nothing (relaxed reads of their counters).
    const JobTotals now = totals();
    m_progress.sample(now.done(), m_clock.elapsed());
    m_observer.progress(now, m_progress);
    if (m_monitorTicks % 4 == 0) {
        try {
            savePositionsAndLog();
            m_observer.saved();
        } catch (const std::exception& error) {
            // Said in the log and to the observer; the next saving tick tries again.
            const QString text = QString::fromUtf8(error.what());
            m_log.append(text);
            m_observer.logAppended();
            m_observer.saveFailed(text);
            return;
        }
    }
    if (m_job.WorkersRunning == 0)
        finish();
}

void JobSession::finish()
{
    m_running = false;
    const JobTotals done = totals();
    QString failure;
    try {
        m_log.saveWithClosingReport(QDateTime::currentDateTime(), m_job.logPath());
    } catch (const std::exception& error) {
        failure = QString::fromUtf8(error.what());
    }
    // The run's counts follow the closing report.
    m_log.append(totalsLogLine(done));
    try {
        m_log.save(m_job.logPath());
    } catch (const std::exception& error) {
        if (failure.isEmpty())
            failure = QString::fromUtf8(error.what());
    }
    try {
        if (!m_fetchingList)
            SavePositions(m_job.ProjectPath, currentPositions());
    } catch (const std::exception& error) {
        if (failure.isEmpty())
            failure = QString::fromUtf8(error.what());
    }
    for (auto& slot : m_job.WorkerSlots)
        slot.reset(); // every worker has reported its end
    if (m_repair) {
        m_repair->tidy(m_repairScan);
        m_repair.reset();
    }
    m_observer.logAppended();
    m_observer.finished(done, failure);
}

void JobSession::AppendLogLine(const QString& line)
{
    m_log.append(line);
    m_observer.logAppended();
}

void JobSession::WorkerDone(int threadIndex)
{
    if (threadIndex >= 0 && threadIndex < MaxWorkers)
        m_reportedEnd[std::size_t(threadIndex)] = true;
    --m_job.WorkersRunning;
    if (m_closeLoop && m_job.WorkersRunning <= 0)
        m_closeLoop->quit();
}

void JobSession::closeDuringJob(int waitMs)
{
    stop();
    if (m_job.WorkersRunning > 0) {
        // Blocks without spinning: the workers' reports and their ends arrive
        // as events; keys and clicks wait, so no dialog opens in the meantime.
        QEventLoop loop;
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        limit.start(waitMs);
        m_closeLoop = &loop;
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        m_closeLoop = nullptr;
    }
    try {
        savePositionsAndLog();
    } catch (const std::exception&) {
        // Nothing more can be done on the way out.
    }
    m_running = false;
    // Workers that are still in a request are left to end with the process;
    // from now on their reports go nowhere.
    m_abandonedWorkers = 0;
    for (std::size_t i = 0; i < m_job.WorkerSlots.size(); ++i) {
        const auto& slot = m_job.WorkerSlots[i];
        if (!slot)
            continue;
        if (m_reportedEnd[i])
            slot->join(); // its last call is made; the thread is returning
        else if (!slot->join(QDeadlineTimer(0)))
            ++m_abandonedWorkers;
    }
    if (m_abandonedWorkers > 0) {
        m_workerHost->close();
        for (auto& slot : m_job.WorkerSlots) {
            if (slot && slot->isRunning())
                slot->abandon(m_workerHost);
        }
    }
    for (auto& slot : m_job.WorkerSlots)
        slot.reset();
}

void startRepairLog(JobLog& log, const QString& logPath, const RepairPlan& plan, qint64 bad,
                    const QStringList& notMoved)
{
    try {
        log.loadForResume(logPath);
    } catch (const AppError&) {
        log.clear();
    }
    log.append(resumedJobLines(QDateTime::currentDateTime()));
    QStringList kinds;
    for (const TileState state : {TileState::Missing, TileState::Placeholder, TileState::Empty,
                                  TileState::NotJpeg, TileState::Truncated, TileState::Partial}) {
        if (plan.count(state) > 0)
            kinds << QStringLiteral("%1 %2").arg(tileStateName(state)).arg(plan.count(state));
    }
    log.append(QStringLiteral("Fetch missing tiles again: %1 of %2 tiles (%3)")
                   .arg(bad)
                   .arg(plan.total())
                   .arg(kinds.join(QStringLiteral(", "))));
    log.append(notMoved);
}

} // namespace tavo
