#include "app/MainController.h"

#include "dialogs/CoordinateEntry.h"
#include "dialogs/Shell.h"
#include "dialogs/TfrmAbout.h"
#include "dialogs/TfrmConvert.h"
#include "dialogs/TfrmOptions.h"
#include "dialogs/TfrmSingle.h"
#include "engine/AppError.h"
#include "files/ServerParams.h"
#include "files/Settings.h"
#include "engine/TextConv.h"
#include "engine/TileMath.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>

namespace tavo {

namespace {

const QString DownloadCaption = QStringLiteral("Download");
const QString StopCaption = QStringLiteral("Stop");

} // namespace

MainController::MainController(const Windows& windows, const QString& programFolder)
    : m_windows(windows), m_programFolder(ensureTrailingSeparator(programFolder))
{
    m_workerHost = std::make_unique<BlockingWorkerHost>(this, this);
    m_log.append(QStringLiteral("[log window]"));
    (void)m_log.takeViewUpdate(); // the window starts with this line already
    m_viewTimer.setSingleShot(true);
    m_viewTimer.setInterval(100);
    connect(&m_viewTimer, &QTimer::timeout, this, [this] { refreshView(); });
    if (m_windows.Form1) {
        // The window shows only the tail of the log, so a job of millions of
        // tiles keeps it responsive and its memory flat.
        m_windows.Form1->Memo1()->setMaximumBlockCount(m_log.viewCap());
        m_windows.Form1->setHandler(this);
    }
}

MainController::~MainController()
{
    if (m_windows.Form1)
        m_windows.Form1->setHandler(nullptr);
    // Workers still running here were abandoned on close; they end with the
    // process and must not be waited for, and the host they call stays alive.
    bool abandoned = false;
    for (auto& slot : m_job.WorkerSlots) {
        if (slot && slot->isRunning()) {
            (void)slot.release();
            abandoned = true;
        }
    }
    if (abandoned)
        (void)m_workerHost.release();
}

bool MainController::jobRunning() const
{
    return m_windows.Form1 && m_windows.Form1->BitBtn1()->text() != DownloadCaption;
}

template <typename Fn> void MainController::guarded(Fn&& fn)
{
    try {
        fn();
    } catch (const std::exception& error) {
        showError(error);
    }
}

void MainController::showError(const std::exception& error)
{
    message(QString::fromUtf8(error.what()));
}

void MainController::message(const QString& text)
{
    refreshView();
    Shell::current().showMessage(m_windows.Form1, text);
}

// ---------------------------------------------------------------- start-up

void MainController::FormShow()
{
    guarded([this] { startUp(); });
}

void MainController::startUp()
{
    TForm1& form = *m_windows.Form1;
    m_storedInputs = StoredInputs{};
    m_resumeJob = false;

    m_app.ProgramFolder = m_programFolder;
    m_app.HomePageUrl = QString::fromLatin1(HomePageUrlValue);
    m_app.SettingsPath = m_app.ProgramFolder + QStringLiteral("ini/config.ini");
    m_app.ParamsPath = m_app.ProgramFolder + QStringLiteral("ini/s.txt");
    m_app.ParamsUrl = QString::fromLatin1(ParamsUrl);
#ifdef Q_OS_WIN
    m_app.HelpPath = m_app.ProgramFolder + QStringLiteral("help/help.chm");
#else
    m_app.HelpPath = m_app.ProgramFolder + QStringLiteral("help/help.html");
#endif
    m_app.ContactMailUrl = QString::fromLatin1(ContactMailUrlValue);

    form.Label14()->setText(QString());
    form.Label15()->setText(QString());

    m_app.TileVersion = ReadTileVersion(m_app.ParamsPath);

    const StartupSettings settings = readStartupSettings(m_app.SettingsPath, m_app.TileVersion);
    m_app.DefaultPath = settings.defaultPath;
    m_app.DefaultZoom = settings.defaultZoom;
    m_app.DefaultThreadCount = settings.defaultThreadCount;
    m_app.UrlTail = settings.urlTail;
    m_app.InputFormat = settings.inputFormat;
    m_app.Proxy = settings.proxy;

    form.setWindowTitle(QStringLiteral("Tavo ") + m_app.AppVersion);
    form.Edit6()->setText(m_app.DefaultPath);
    form.Edit5()->setText(QString::number(m_app.DefaultZoom));
    form.Edit10()->setText(QString::number(m_app.DefaultThreadCount));
    form.PanelDMS()->setVisible(m_app.InputFormat == 1);
}

// ---------------------------------------------------------------- the job

void MainController::BitBtn1Click()
{
    if (m_closing)
        return;
    if (m_windows.Form1->BitBtn1()->text() == DownloadCaption)
        guarded([this] { setUpJob(); });
    else
        StopJob();
}

void MainController::setUpJob()
{
    TForm1& form = *m_windows.Form1;

    // 1. Server parameters, fetched once per run.
    if (!m_app.ParamsFetched) {
        form.LabelSTXT()->setText(fetchStartText());
        appendLog(QStringLiteral("Loading server parameters...please wait..."));
        refreshView();
        const FetchOutcome outcome = FetchServerParams(m_app.ParamsUrl, m_app.ParamsPath);
        if (outcome == FetchOutcome::Fetched)
            m_app.ParamsFetched = true;
        form.LabelSTXT()->setText(fetchStatusText(outcome));
    }
    m_app.TileVersion = ReadTileVersion(m_app.ParamsPath);

    // 2.-3. Settings that every job reads again.
    m_resumeJob = false;
    const JobSettings settings = readJobSettings(m_app.SettingsPath);
    m_app.Proxy = settings.proxy;
    m_app.SleepSeconds = settings.sleepSeconds;

    // 4. Zoom.
    const qint32 zoom = StrToInt(form.Edit5()->text());

    // 5. Save folder.
    const QString folderText = form.Edit6()->text();
    if (folderText.isEmpty()) {
        message(QStringLiteral("Please select path to save images."));
        return;
    }
    if (!QFileInfo(folderText).isDir() && !QDir().mkdir(folderText)) {
        message(QStringLiteral("Create directory ") + folderText + QStringLiteral(" Failed."));
        return;
    }
    const QString saveFolder = ensureTrailingSeparator(folderText);

    // 6.-7. Coordinates and their checks.
    const QString edit1 = form.Edit1()->text();
    const QString edit3 = form.Edit3()->text();
    const QString edit2 = form.Edit2()->text();
    const QString edit4 = form.Edit4()->text();
    const AreaValues area = ParseArea(edit1, edit3, edit2, edit4);
    auto within = [](double value, double bound) { return value >= -bound && value <= bound; };
    if (!within(area.left, 180)) {
        message(QStringLiteral("Left Longitude should be between -180 and 180."));
        return;
    }
    if (!within(area.right, 180)) {
        message(QStringLiteral("Right Longitude should be between -180 and 180."));
        return;
    }
    if (!within(area.top, 85)) {
        message(QStringLiteral("Top Latitude should be between -85 and 85."));
        return;
    }
    if (!within(area.bottom, 85)) {
        message(QStringLiteral("Bottom Latitude should be between -85 and 85."));
        return;
    }
    if (!(area.left <= area.right)) {
        message(QStringLiteral("Left Longitude should less than Right Longitude!"));
        return;
    }
    if (!(area.top >= area.bottom)) {
        message(QStringLiteral("Bottom Latitude should less than Top Latitude!"));
        return;
    }

    // 8. Counters. The job has eight worker slots: a larger count (from a
    // hand-edited setting or project file) is lowered to eight.
    m_job.WorkersRunning = 0;
    m_job.WorkersStarted = 0;
    qint32 threadCount = StrToInt(form.Edit10()->text());
    if (threadCount > MaxWorkers)
        threadCount = MaxWorkers;

    // 9. Tile rectangle and the extent it covers.
    const qint32 minX = LongitudeToTileX(area.left, zoom);
    const qint32 maxX = LongitudeToTileX(area.right, zoom);
    const qint32 minY = LatitudeToTileY(area.bottom, zoom);
    const qint32 maxY = LatitudeToTileY(area.top, zoom);
    const double downloadLeft = double(TileXToLongitude(minX, zoom));
    const double downloadRight = double(TileXToLongitude(double(maxX) + 1, zoom));
    const double downloadBottom = double(TileYToLatitude(minY, zoom));
    const double downloadTop = double(TileYToLatitude(double(maxY) + 1, zoom));

    // 10. Tile count.
    const qint64 totalTiles = (qint64(maxX) - minX + 1) * (qint64(maxY) - minY + 1);
    if (threadCount > totalTiles)
        threadCount = qint32(totalTiles);

    // 11. Names.
    const QString projectName = projectNameFor(form.Edit11()->text());
    const QString projectBase = projectBaseOf(projectName);
    const QString projectPath = saveFolder + projectName;
    const QString imageFolder = saveFolder + projectBase + QLatin1Char('/');

    // 12. Continue the job recorded in an existing project file?
    if (QFileInfo::exists(projectPath)) {
        m_storedInputs = ReadResumeKeys(projectPath, m_app.DefaultZoom, m_app.DefaultThreadCount);
        if (!form.Edit6()->text().endsWith(QLatin1Char('/')))
            form.Edit6()->setText(form.Edit6()->text() + QLatin1Char('/'));
        const EnteredInputs entered{edit1,
                                    edit3,
                                    edit2,
                                    edit4,
                                    form.Edit5()->text(),
                                    form.Edit10()->text(),
                                    form.Edit6()->text(),
                                    form.Edit11()->text()};
        m_resumeJob = resumeMatches(m_storedInputs, entered);
    }

    // 13. Start positions; the project file of a new job.
    std::vector<TilePosition> resume(MaxWorkers);
    if (m_resumeJob) {
        const std::vector<TilePosition> stored = ReadPositions(projectPath, threadCount);
        for (std::size_t i = 0; i < stored.size() && i < resume.size(); ++i)
            resume[i] = stored[i];
    } else {
        WriteNewProject(projectPath, edit1, edit3, edit2, edit4, zoom, minX, minY, maxX, maxY,
                        threadCount);
    }

    // 14. Image folder.
    if (!QFileInfo(imageFolder).isDir() && !QDir().mkdir(imageFolder)) {
        message(QStringLiteral("Create directory ") + imageFolder + QStringLiteral(" Failed."));
        return;
    }

    // From here on the job runs: the job state belongs to it.
    m_job.SaveFolder = saveFolder;
    m_job.ProjectName = projectName;
    m_job.ProjectBase = projectBase;
    m_job.ProjectPath = projectPath;
    m_job.LogFileName = projectBase + QStringLiteral("_log.txt");
    m_job.MinX = minX;
    m_job.MaxX = maxX;
    m_job.MinY = minY;
    m_job.MaxY = maxY;
    m_job.ThreadCount = threadCount;

    // 15. The button now stops the job.
    form.BitBtn1()->setText(StopCaption);

    // 16. Log window.
    const QDateTime now = QDateTime::currentDateTime();
    if (m_resumeJob) {
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
        NewJobHeader header;
        header.saveFolder = saveFolder;
        header.projectName = projectName;
        header.proxy = settings.proxy;
        header.edit1 = edit1;
        header.edit3 = edit3;
        header.edit2 = edit2;
        header.edit4 = edit4;
        header.minX = minX;
        header.minY = minY;
        header.maxX = maxX;
        header.maxY = maxY;
        header.downloadLeft = downloadLeft;
        header.downloadRight = downloadRight;
        header.downloadTop = downloadTop;
        header.downloadBottom = downloadBottom;
        header.totalTiles = totalTiles;
        header.threadCount = threadCount;
        header.zoom = zoom;
        header.now = now;
        m_log.append(newJobHeaderLines(header));
    }
    refreshView();

    // 17. Labels.
    form.Label14()->setText(
        QStringLiteral("MinX=%1,MinY=%2,MaxX=%3,MaxY=%4").arg(minX).arg(minY).arg(maxX).arg(maxY));
    form.Label15()->setText(QStringLiteral("Total images: %1").arg(totalTiles));

    // 18. Workers.
    for (qint32 i = 0; i < threadCount; ++i) {
        WorkerConfig config;
        config.threadIndex = m_job.WorkersStarted;
        config.sleepSeconds = m_app.SleepSeconds;
        config.urlTail = m_app.UrlTail;
        config.proxy = m_app.Proxy;
        config.programFolder = m_app.ProgramFolder;
        m_job.WorkerSlots[std::size_t(i)] = std::make_unique<TDownThread>(
            false, minX, maxX, minY, maxY, zoom, threadCount, saveFolder, projectBase,
            resume[std::size_t(i)].x, resume[std::size_t(i)].y, config, m_workerHost.get());
        ++m_job.WorkersStarted;
        ++m_job.WorkersRunning;
    }

    // 19. The monitor takes over.
    form.Timer1()->start();
    m_monitorTicks = 0;
    m_lastTickError.clear();
}

void MainController::StopJob()
{
    for (qint32 n = 1; n <= m_job.ThreadCount; ++n) {
        if (auto& worker = m_job.WorkerSlots[std::size_t(n - 1)])
            worker->Terminate();
        appendLog(QStringLiteral("Thread%1will be terminated by user. please wait...").arg(n));
    }
}

std::vector<TilePosition> MainController::currentPositions() const
{
    std::vector<TilePosition> positions;
    for (qint32 n = 1; n <= m_job.ThreadCount && n <= MaxWorkers; ++n) {
        TilePosition position;
        if (const auto& worker = m_job.WorkerSlots[std::size_t(n - 1)]) {
            const TilePosition current = worker->currentPosition();
            position.x = current.x;
            position.y = current.y;
        }
        positions.push_back(position);
    }
    return positions;
}

void MainController::savePositionsAndLog()
{
    SavePositions(m_job.ProjectPath, currentPositions());
    m_log.save(m_job.logPath());
}

void MainController::Timer1Timer()
{
    if (m_closing)
        return;
    ++m_monitorTicks;
    if (m_monitorTicks % 4 == 0) {
        try {
            savePositionsAndLog();
            m_lastTickError.clear();
        } catch (const std::exception& error) {
            // Reported once; the monitor goes on ticking and tries again.
            const QString text = QString::fromUtf8(error.what());
            if (text != m_lastTickError) {
                m_lastTickError = text;
                message(text);
            }
            return;
        }
    }
    if (m_job.WorkersRunning == 0 && m_windows.Form1->Timer1()->isActive())
        FinishJob();
}

void MainController::FinishJob()
{
    TForm1& form = *m_windows.Form1;
    form.Timer1()->stop();

    QString failure;
    try {
        m_log.saveWithClosingReport(QDateTime::currentDateTime(), m_job.logPath());
    } catch (const std::exception& error) {
        failure = QString::fromUtf8(error.what());
    }
    try {
        SavePositions(m_job.ProjectPath, currentPositions());
    } catch (const std::exception& error) {
        if (failure.isEmpty())
            failure = QString::fromUtf8(error.what());
    }
    releaseWorkers();
    form.BitBtn1()->setText(DownloadCaption);
    refreshView();
    if (!failure.isEmpty())
        message(failure);
    message(QStringLiteral("Download finished!"));
}

void MainController::releaseWorkers()
{
    for (auto& slot : m_job.WorkerSlots)
        slot.reset();
}

void MainController::AppendLogLine(const QString& line)
{
    appendLog(line);
}

void MainController::WorkerDone(int /*threadIndex*/)
{
    --m_job.WorkersRunning;
}

// ---------------------------------------------------------------- log view

void MainController::appendLog(const QString& text)
{
    m_log.append(text);
    scheduleViewRefresh();
}

void MainController::appendLog(const QStringList& lines)
{
    m_log.append(lines);
    scheduleViewRefresh();
}

void MainController::scheduleViewRefresh()
{
    if (!m_viewTimer.isActive())
        m_viewTimer.start();
}

void MainController::refreshView()
{
    m_viewTimer.stop();
    if (!m_windows.Form1)
        return;
    QPlainTextEdit* memo = m_windows.Form1->Memo1();
    const JobLog::ViewUpdate update = m_log.takeViewUpdate();
    if (update.reset) {
        memo->setPlainText(update.lines.join(QLatin1Char('\n')));
    } else if (!update.lines.isEmpty()) {
        memo->appendPlainText(update.lines.join(QLatin1Char('\n')));
    } else {
        return;
    }
    memo->verticalScrollBar()->setValue(memo->verticalScrollBar()->maximum());
}

// ---------------------------------------------------------------- commands

void MainController::Button1Click()
{
    const QString folder =
        Shell::current().browseFolder(m_windows.Form1, QStringLiteral("Select path to save"));
    if (!folder.isEmpty())
        m_windows.Form1->Edit6()->setText(folder);
}

void MainController::Button2Click()
{
    guarded([this] { OpenProject(); });
}

void MainController::LoadParametersfromprojectfilel1Click()
{
    guarded([this] { OpenProject(); });
}

void MainController::OpenProject()
{
    const QString chosen =
        Shell::current().openFileName(m_windows.Form1, QStringLiteral("Open project file:"),
                                      m_app.DefaultPath, QStringLiteral("TAVO Projects(*.tavo)"));
    if (chosen.isEmpty())
        return;
    const OpenedProject opened =
        readProjectForOpen(chosen, m_app.DefaultZoom, m_app.DefaultThreadCount);
    TForm1& form = *m_windows.Form1;
    form.Edit1()->setText(opened.edit1);
    form.Edit3()->setText(opened.edit3);
    form.Edit2()->setText(opened.edit2);
    form.Edit4()->setText(opened.edit4);
    form.Edit5()->setText(opened.edit5);
    form.Edit10()->setText(opened.edit10);
    form.Edit6()->setText(opened.edit6);
    form.Edit11()->setText(opened.edit11);
}

void MainController::Exit1Click()
{
    m_windows.Form1->close();
}

bool MainController::FormCloseQuery()
{
    if (m_closing)
        return true;
    m_closing = true;
    if (jobRunning())
        waitForWorkersOnClose();
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                              Qt::QueuedConnection);
    return true;
}

// Closing during a job: every worker is asked to stop; their main-thread calls
// are served while we wait a bounded time (the request time-outs bound it);
// then the positions and the log are saved once, so the job continues later
// exactly where it stopped.
void MainController::waitForWorkersOnClose()
{
    TForm1& form = *m_windows.Form1;
    form.Timer1()->stop();
    StopJob();
    QElapsedTimer waited;
    waited.start();
    while (m_job.WorkersRunning > 0 && waited.elapsed() < m_closeWaitMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    try {
        savePositionsAndLog();
    } catch (const std::exception&) {
        // Nothing more can be done on the way out.
    }
    m_abandonedWorkers = 0;
    for (auto& slot : m_job.WorkerSlots) {
        if (slot && !slot->wait(0))
            ++m_abandonedWorkers;
    }
    if (m_abandonedWorkers == 0)
        releaseWorkers();
}

void MainController::Options1Click()
{
    if (m_windows.frmOptions)
        m_windows.frmOptions->exec();
}

void MainController::Convert1Click()
{
    if (!m_windows.frmConvert)
        return;
    m_windows.frmConvert->show();
    m_windows.frmConvert->raise();
    m_windows.frmConvert->activateWindow();
}

void MainController::Viewlognow1Click()
{
    const QString path = m_job.logPath();
    if (!path.isEmpty() && QFileInfo(path).isFile())
        Shell::current().openDocument(path);
    else
        message(QStringLiteral("No logfile now.      "));
}

QString MainController::siblingProgram(const QString& name) const
{
    const QString folder = ensureTrailingSeparator(QCoreApplication::applicationDirPath());
#ifdef Q_OS_WIN
    return folder + name + QStringLiteral(".exe");
#else
    return folder + name;
#endif
}

void MainController::SatelliteImagesViewer1Click()
{
    Shell::current().startProgram(siblingProgram(QStringLiteral("glimpse")));
}

void MainController::CombineImages1Click()
{
    Shell::current().startProgram(siblingProgram(QStringLiteral("weaver")));
}

void MainController::Downloadsingleimage1Click()
{
    if (!m_windows.frmSingle)
        return;
    m_windows.frmSingle->show();
    m_windows.frmSingle->raise();
    m_windows.frmSingle->activateWindow();
}

void MainController::Usermanual1Click()
{
    Shell::current().openDocument(m_app.HelpPath);
}

void MainController::Homepage1Click()
{
    Shell::current().openDocument(m_app.HomePageUrl);
}

void MainController::About1Click()
{
    if (!m_windows.frmAbout)
        return;
    m_windows.frmAbout->prepare(m_windows.Form1->windowTitle(), m_app.HomePageUrl,
                                m_app.ContactMailUrl);
    m_windows.frmAbout->exec();
}

} // namespace tavo
