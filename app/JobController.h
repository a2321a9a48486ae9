#pragma once

#include "app/AppState.h"
#include "files/JobLog.h"
#include "job/JobPlan.h"
#include "job/JobProgress.h"
#include "job/JobSession.h"
#include "job/JobState.h"

#include <QObject>
#include <QString>

#include <deque>
#include <functional>

namespace tavo {

class LogView;
class RepairPlan;
struct ProjectInfo;
struct ScanOptions;
class TForm1;

// The download job of the main window: reads the window's fields into a
// request, asks what needs asking, runs the job in a session and shows what
// the session reports (the log window, the status bar, the boxes).
class JobController final : public JobObserver
{
public:
    JobController(TForm1& form, AppState& app, LogView& view);
    ~JobController() override;
    JobController(const JobController&) = delete;
    JobController& operator=(const JobController&) = delete;

    const JobState& state() const { return m_session.state(); }
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
    // folder is scanned on a thread of its own behind a box with Cancel; the
    // tiles to fetch are kept as one bit a tile of the project, and a project
    // whose bits the memory cannot spare is refused. Bad files are moved
    // aside ("X_Y.jpg.bad") and removed once a good tile is stored in their
    // place. The log is continued; the project's positions are left as they are.
    void fetchMissingPressed();

    // The job fields changed: the status bar shows the size of the job they
    // describe, while no job runs.
    void fieldsChanged();

    // What the workers of the current (or last) run have done so far.
    JobTotals totals() const;

    // Closing the window during a job (see JobSession::closeDuringJob).
    void closeDuringJob();
    void setCloseWaitMs(int ms) { m_closeWaitMs = ms; }
    int abandonedWorkers() const { return m_session.abandonedWorkers(); }

    // JobObserver
    void logAppended() override;
    void progress(const JobTotals& totals, const JobProgress& figures) override;
    void saved() override;
    void saveFailed(const QString& text) override;
    void finished(const JobTotals& totals, const QString& failure) override;

private:
    void setUp();
    void loadServerParams();
    JobRequest requestFromFields() const;
    WorkerConfig workerConfig() const;
    void fetchMissing(const QString& path);
    ScanOptions repairScanOptions() const;
    bool scanForRepair(const ProjectInfo& info, RepairPlan& plan, QString* error);
    QString chooseProject();
    void message(const QString& text);
    // Boxes of a running job or its end: shown after the current call
    // returns, one at a time, so the monitor goes on ticking while one is
    // open. `onYes` makes the box a question whose Yes runs it.
    void post(const QString& text, std::function<void()> onYes = {});
    void showPostedBoxes();

    TForm1& m_form;
    AppState& m_app;
    LogView& m_view;
    JobSession m_session;
    QString m_saveFailing; // the last save failed with this; empty once one succeeds
    struct PostedBox
    {
        QString text;
        std::function<void()> onYes;
    };
    std::deque<PostedBox> m_boxes;
    QString m_openBox; // the text of the box on screen
    bool m_boxOpen = false;
    bool m_closing = false; // no box opens while the window closes
    int m_closeWaitMs = 40000;
    QObject m_context; // posted calls end with this object
};

} // namespace tavo
