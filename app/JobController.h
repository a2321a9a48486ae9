#pragma once

#include "app/AppState.h"
#include "job/JobProgress.h"
#include "app/JobState.h"
#include "engine/ProjectFile.h"
#include "job/JobPlan.h"
#include "files/JobLog.h"
#include "tiles/WorkerHost.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QEventLoop;

namespace tavo {

class LogView;
class TForm1;

// The download job of the main window: its set-up from the window's fields,
// the workers, the monitor that saves their positions and the log, Stop, the
// completion, and the bounded wait when the window closes during a job.
// Workers report here through a blocking call run on the main thread.
class JobController final : public WorkerHost
{
public:
    JobController(TForm1& form, AppState& app, LogView& view);
    // Workers still running here are left to end with the process (see
    // abandonThread); the ended ones are joined.
    ~JobController() override;
    JobController(const JobController&) = delete;
    JobController& operator=(const JobController&) = delete;

    const JobState& state() const { return m_job; }
    // True from a set-up until the job has finished (the button says "Stop").
    bool running() const;

    // The Download/Stop button.
    void downloadPressed();
    // One tick of the monitor (Timer1).
    void monitorTick();
    // Tools > Fetch missing tiles again: for the project in the window (or
    // one the user chooses), fetches the tiles its image folder lacks or
    // holds only as a placeholder, an empty file, a file that is no JPEG or a
    // partly written one, with the job's worker count, proxy and pause. The
    // log is continued; the project's positions are left as they are.
    void fetchMissingPressed();

    // The job fields changed: the status bar shows the size of the job they
    // describe, while no job runs.
    void fieldsChanged();

    // What the workers of the current (or last) run have done so far.
    JobTotals totals() const;

    // Closing the window during a job: every worker is asked to stop; their
    // reports are served while a local event loop that takes no user input
    // waits for their ends, at most the close wait; then the positions and
    // the log are saved once, so the job continues later exactly where it
    // stopped. Workers still running then are abandoned.
    void closeDuringJob();
    void setCloseWaitMs(int ms) { m_closeWaitMs = ms; }
    int abandonedWorkers() const { return m_abandonedWorkers; }

    // WorkerHost: run on the main thread while the worker waits.
    void AppendLogLine(const QString& line) override;
    void WorkerDone(int threadIndex) override;

private:
    void setUp();
    void loadServerParams();
    JobRequest requestFromFields() const;
    void refuse(const QString& text);
    void startLog(const JobPlan& plan, bool resumeJob);
    void startWorkers(int zoom, const std::vector<TilePosition>& resume,
                      std::shared_ptr<const std::vector<TilePosition>> tiles = {});
    void fetchMissing(const QString& path);
    QString chooseProject();
    void stop();
    void finish();
    std::vector<TilePosition> currentPositions() const;
    void savePositionsAndLog();
    void showProgress();
    void message(const QString& text);
    // Boxes of a running job or its end: shown after the current call
    // returns, one at a time, so the monitor goes on ticking while one is
    // open. `onYes` makes the box a question whose Yes runs it.
    void post(const QString& text, std::function<void()> onYes = {});
    void showPostedBoxes();
    void saveFailed(const QString& text);

    TForm1& m_form;
    AppState& m_app;
    LogView& m_view;
    // Declared before the job: the workers that hold it go first.
    std::shared_ptr<BlockingWorkerHost> m_workerHost;
    JobState m_job;
    std::array<bool, MaxWorkers> m_reportedEnd{}; // worker i has made its last call
    qint32 m_monitorTicks = 0;
    bool m_fetchingAgain = false; // the run fetches a list of failed tiles
    qint64 m_toFetch = 0;         // the tiles of this run, over all its workers
    JobProgress m_progress;
    QElapsedTimer m_clock;
    bool m_stopRequested = false; // Stop was pressed during this run
    QString m_saveProblem;        // the last save failed with this; empty once one succeeds
    struct PostedBox
    {
        QString text;
        std::function<void()> onYes;
    };
    std::deque<PostedBox> m_boxes;
    QString m_openBox;      // the text of the box on screen
    bool m_boxOpen = false;
    bool m_closing = false; // no box opens while the window closes
    QObject m_context;      // posted calls end with this object
    QEventLoop* m_closeLoop = nullptr; // the close wait, while it runs
    int m_closeWaitMs = 40000;
    int m_abandonedWorkers = 0;
};

} // namespace tavo
