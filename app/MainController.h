#pragma once

#include "app/AppState.h"
#include "app/JobState.h"
#include "dialogs/TForm1.h"
#include "files/JobLog.h"
#include "engine/ProjectFile.h"
#include "tiles/TDownThread.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

namespace tavo {

class TfrmAbout;
class TfrmConvert;
class TfrmOptions;
class TfrmSingle;

// The main window's logic: start-up, the download job (set-up, monitor, stop,
// completion), "Open project..." and the menu commands. The window forwards
// its events here; the workers report here through a blocking call on the
// main thread.
class MainController final : public QObject, public TForm1Handler, public WorkerHost
{
    Q_OBJECT

public:
    struct Windows
    {
        TForm1* Form1 = nullptr;
        TfrmAbout* frmAbout = nullptr;
        TfrmConvert* frmConvert = nullptr;
        TfrmOptions* frmOptions = nullptr;
        TfrmSingle* frmSingle = nullptr;
    };

    // `programFolder` is the folder of the running executable; it holds ini/,
    // help/ and blankimg/.
    MainController(const Windows& windows, const QString& programFolder);
    ~MainController() override;
    MainController(const MainController&) = delete;
    MainController& operator=(const MainController&) = delete;

    AppState& appState() { return m_app; }
    const JobState& jobState() const { return m_job; }
    const JobLog& jobLog() const { return m_log; }
    bool jobRunning() const;

    // How long closing the window waits for running workers to end.
    void setCloseWaitMs(int ms) { m_closeWaitMs = ms; }
    // Workers that did not end within the close wait; the process must then
    // end without destroying them.
    int abandonedWorkers() const { return m_abandonedWorkers; }

    // TForm1Handler
    void FormShow() override;
    void BitBtn1Click() override;
    void Button1Click() override;
    void Button2Click() override;
    void Timer1Timer() override;
    void LoadParametersfromprojectfilel1Click() override;
    void Exit1Click() override;
    bool FormCloseQuery() override;
    void Options1Click() override;
    void Convert1Click() override;
    void Viewlognow1Click() override;
    void SatelliteImagesViewer1Click() override;
    void CombineImages1Click() override;
    void Downloadsingleimage1Click() override;
    void Usermanual1Click() override;
    void Homepage1Click() override;
    void About1Click() override;

    // WorkerHost: run on the main thread while the worker waits.
    void AppendLogLine(const QString& line) override;
    void WorkerDone(int threadIndex) override;

private:
    void startUp();
    void setUpJob();
    void StopJob();
    void FinishJob();
    void OpenProject();
    void savePositionsAndLog();
    std::vector<TilePosition> currentPositions() const;
    void appendLog(const QString& text);
    void appendLog(const QStringList& lines);
    void refreshView();
    void scheduleViewRefresh();
    void message(const QString& text);
    void showError(const std::exception& error);
    template <typename Fn> void guarded(Fn&& fn);
    void waitForWorkersOnClose();
    void releaseWorkers();
    QString siblingProgram(const QString& name) const;

    Windows m_windows;
    QString m_programFolder;
    AppState m_app;
    JobState m_job;
    JobLog m_log;
    QTimer m_viewTimer;
    std::unique_ptr<BlockingWorkerHost> m_workerHost;

    StoredInputs m_storedInputs;
    bool m_resumeJob = false;
    qint32 m_monitorTicks = 0;
    QString m_lastTickError; // a failing save is reported once, not on every tick
    bool m_closing = false;
    int m_closeWaitMs = 40000;
    int m_abandonedWorkers = 0;
};

} // namespace tavo
