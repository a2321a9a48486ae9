#pragma once

#include "engine/RepairPlan.h"
#include "engine/TileTypes.h"
#include "files/JobLog.h"
#include "job/JobPlan.h"
#include "job/JobProgress.h"
#include "job/JobState.h"
#include "tiles/Pacing.h"
#include "tiles/TDownThread.h"
#include "tiles/WorkerHost.h"

#include <QElapsedTimer>
#include <QString>

#include <array>
#include <memory>
#include <vector>

class QEventLoop;

namespace tavo {

// What a running job tells the program that shows it. Every call is made on
// the thread that owns the session.
class JobObserver
{
public:
    virtual ~JobObserver() = default;
    // Lines were appended to the job's log.
    virtual void logAppended() {}
    // A monitor tick: the figures of the running job.
    virtual void progress(const JobTotals& totals, const JobProgress& figures) = 0;
    // The positions and the log were saved on a tick.
    virtual void saved() {}
    // Saving the positions or the log failed on a tick; the session tries
    // again on the next saving tick. The text is in the log already.
    virtual void saveFailed(const QString& text) = 0;
    // The last worker has ended and everything is saved once more; `failure`
    // holds the first error of those saves, empty when none.
    virtual void finished(const JobTotals& totals, const QString& failure) = 0;
};

// One run of a download job: its workers and the host they report to, the
// monitor's cadence (positions and log saved every fourth tick, the
// completion), Stop, the project file and the log. The caller ticks it once a
// second while it runs.
class JobSession final : public WorkerHost
{
public:
    JobSession(JobLog& log, JobObserver& observer);
    // Workers still running here are left to end with the process (see
    // TDownThread::abandon); the ended ones are joined.
    ~JobSession() override;
    JobSession(const JobSession&) = delete;
    JobSession& operator=(const JobSession&) = delete;

    // Sets the planned job up: continues the project's job when `resume`
    // (its stored positions) or writes the new project file, makes the image
    // folder, starts or continues the log and starts the workers. Returns the
    // message when the image folder cannot be made (nothing runs then); throws
    // AppError when the project file cannot be written.
    QString start(const JobPlan& plan, bool resume, const WorkerConfig& config);

    // Fetches again the tiles of the project `info` describes that `repair`
    // found wanting: makes the image folder when it is gone, moves aside
    // what stands in those tiles' place (`notMoved` gets a line for each
    // file that could not be moved; its tile is not fetched), continues the
    // log, and starts the project's worker count, never more than there are
    // tiles. The project's positions are left as they are. Returns the
    // message when the image folder cannot be made (nothing is changed
    // then); when no tile is left to fetch nothing runs. Once the workers
    // have ended, the set-aside files whose tiles are now stored go.
    QString startRepair(const ProjectInfo& info, std::shared_ptr<RepairPlan> repair,
                        const WorkerConfig& config, QStringList& notMoved);

    bool running() const { return m_running; }
    const JobState& state() const { return m_job; }
    JobState& state() { return m_job; }
    // What the workers of the current (or last) run have done so far.
    JobTotals totals() const;
    // What is left of a wait the server asked for (0 when none holds).
    qint64 waitingMs() const;

    // One tick of the monitor.
    void tick();
    // Asks every worker to stop; the log says so for each.
    void stop();

    // The bounded wait when the program ends during a job: every worker is
    // asked to stop, their reports are served while a local event loop that
    // takes no user input waits for their ends, at most `waitMs`; then the
    // positions and the log are saved once. Workers still running then are
    // abandoned.
    void closeDuringJob(int waitMs);
    int abandonedWorkers() const { return m_abandonedWorkers; }

    // WorkerHost: run on the session's thread while the worker waits.
    void AppendLogLine(const QString& line) override;
    void WorkerDone(int threadIndex) override;

private:
    void startWorkers(int zoom, const std::vector<TilePosition>& resume,
                      std::shared_ptr<const TileSet> tiles, const WorkerConfig& config);
    std::vector<TilePosition> currentPositions() const;
    void savePositionsAndLog();
    void finish();

    JobLog& m_log;
    JobObserver& m_observer;
    // Declared before the job: the workers that hold it go first.
    std::shared_ptr<BlockingWorkerHost> m_workerHost;
    JobState m_job;
    std::array<bool, MaxWorkers> m_reportedEnd{}; // worker i has made its last call
    bool m_running = false;
    bool m_fetchingList = false; // the run fetches a list of tiles
    std::shared_ptr<RepairPlan> m_repair; // the run repairs a project's folder
    ScanOptions m_repairScan;             // its placeholder, for the tidying
    bool m_stopRequested = false;
    qint32 m_monitorTicks = 0;
    qint64 m_toFetch = 0; // the tiles of this run, over all its workers
    JobProgress m_progress;
    std::shared_ptr<Pacing> m_pacing; // the running job's pace of requests
    QElapsedTimer m_clock;
    QEventLoop* m_closeLoop = nullptr; // the close wait, while it runs
    int m_abandonedWorkers = 0;
};

// The log of a "fetch missing tiles again" run: the job's log continued
// (started afresh when it cannot be read), the resume lines, a line naming
// how many tiles of which kinds are fetched (`bad` of the plan's total), and
// the tiles that could not be set aside.
void startRepairLog(JobLog& log, const QString& logPath, const RepairPlan& plan, qint64 bad,
                    const QStringList& notMoved);

} // namespace tavo
