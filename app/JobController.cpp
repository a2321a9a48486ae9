#include "app/JobController.h"

#include "app/LogView.h"
#include "dialogs/CoordinateEntry.h"
#include "dialogs/Shell.h"
#include "dialogs/TForm1.h"
#include "engine/AppError.h"
#include "engine/JobFolder.h"
#include "engine/ProjectFile.h"
#include "engine/RepairPlan.h"
#include "engine/TextConv.h"
#include "engine/TaskThread.h"
#include "engine/TileMath.h"
#include "files/ServerParams.h"
#include "files/Settings.h"

#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <limits>

namespace tavo {

namespace {

const QString DownloadCaption = QStringLiteral("Download");
const QString StopCaption = QStringLiteral("Stop");

} // namespace

JobController::JobController(TForm1& form, AppState& app, LogView& view)
    : m_form(form), m_app(app), m_view(view), m_session(view.log(), *this)
{
}

JobController::~JobController() = default;

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
        m_session.stop();
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
    const PlanOutcome planned = planJob(request, settings);
    if (!planned.plan) {
        message(planned.refusal);
        return;
    }
    const JobPlan& plan = *planned.plan;
    // A count lowered to eight shows as eight, as the project file stores it,
    // so the next press with the same fields continues the job.
    if (plan.threadCountLowered)
        m_form.Edit10()->setText(QString::number(MaxWorkers));

    // 12. Continue the job recorded in an existing project file? The save
    // folder field then shows its separator.
    if (QFileInfo::exists(plan.projectPath) && !m_form.Edit6()->text().endsWith(QLatin1Char('/')))
        m_form.Edit6()->setText(m_form.Edit6()->text() + QLatin1Char('/'));
    const JobStart start = decideStart(plan, requestFromFields(), m_app.DefaultZoom,
                                       m_app.DefaultThreadCount, freeBytesOf(plan.saveFolder));
    // Another job in that file is never replaced without a word.
    if (start.replaces &&
        !Shell::current().ask(&m_form, replaceQuestion(plan, start.differences)))
        return;
    if (!start.costQuestion.isEmpty() && !Shell::current().ask(&m_form, start.costQuestion))
        return;

    // 13.-18. Project file, image folder, log and workers.
    const QString failure = m_session.start(plan, start.resume, workerConfig());
    if (!failure.isEmpty()) {
        message(failure);
        return;
    }
    m_form.BitBtn1()->setText(StopCaption);
    m_view.refresh();
    m_form.Label14()->setText(QStringLiteral("MinX=%1,MinY=%2,MaxX=%3,MaxY=%4")
                                  .arg(plan.rect.minX)
                                  .arg(plan.rect.minY)
                                  .arg(plan.rect.maxX)
                                  .arg(plan.rect.maxY));
    m_form.Label15()->setText(QStringLiteral("Total images: %1").arg(plan.rect.count()));

    // 19. The monitor takes over.
    m_form.Timer1()->start();
}

WorkerConfig JobController::workerConfig() const
{
    WorkerConfig config;
    config.sleepSeconds = m_app.SleepSeconds;
    config.urlTail = m_app.UrlTail;
    config.proxy = m_app.Proxy;
    config.programFolder = m_app.ProgramFolder;
    config.limits = m_app.Limits;
    return config;
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

JobRequest JobController::requestFromFields() const
{
    return {{m_form.Edit1()->text(), m_form.Edit3()->text(), m_form.Edit2()->text(),
             m_form.Edit4()->text()},
            m_form.Edit5()->text(),
            m_form.Edit10()->text(),
            m_form.Edit6()->text(),
            m_form.Edit11()->text()};
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

ScanOptions JobController::repairScanOptions() const
{
    return ScanOptions::withPlaceholder(placeholderPath(m_app.ProgramFolder));
}

bool JobController::scanForRepair(const ProjectInfo& info, RepairPlan& plan, QString* error)
{
    // The folder of a large project takes a while: it is read on a thread of
    // its own, with a box that shows how far it got and can cancel it.
    Feedback feedback;
    ScanOptions options = repairScanOptions();
    options.feedback = &feedback;
    bool scanned = false;
    QEventLoop loop;
    TaskThread thread([&] {
        scanned = plan.scan(info, options, error);
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    }, &feedback);

    QProgressDialog box(QStringLiteral("Looking at the tiles of %1...")
                            .arg(QFileInfo(info.projectPath).fileName()),
                        QStringLiteral("Cancel"), 0, 0, &m_form);
    box.setWindowTitle(QStringLiteral("Fetch missing tiles again"));
    box.setWindowModality(Qt::WindowModal);
    box.setMinimumDuration(400);
    box.setAutoReset(false);
    box.setAutoClose(false);
    QObject::connect(&box, &QProgressDialog::canceled, [&feedback] { feedback.cancel(); });
    QTimer poll;
    poll.setInterval(100);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const qint64 t = feedback.total();
        const qint64 d = feedback.done();
        if (t > 0 && t <= std::numeric_limits<int>::max()) {
            box.setMaximum(int(t));
            box.setValue(int(qMin(d, t)));
        } else {
            box.setValue(0); // busy, and shown once the minimum duration has passed
        }
    });
    poll.start();
    if (!thread.isFinished())
        loop.exec();
    thread.join();
    return scanned;
}

void JobController::fetchMissing(const QString& path)
{
    ProjectInfo info;
    QString error;
    if (!readProjectInfo(path, info, &error)) {
        message(error);
        return;
    }

    auto plan = std::make_shared<RepairPlan>();
    if (!scanForRepair(info, *plan, &error)) {
        message(error);
        return;
    }
    const QString projectName = QFileInfo(path).fileName();
    if (plan->cancelled()) {
        m_form.JobStatusText()->setText(
            QStringLiteral("Fetch missing tiles again: cancelled; nothing was changed."));
        return;
    }
    if (plan->toFetchCount() == 0) {
        plan->tidy(repairScanOptions()); // what was set aside earlier and is now stored
        const QString text = QStringLiteral("All %1 tiles of %2 are there: nothing to fetch.")
                                 .arg(groupedNumber(plan->total()), projectName);
        m_form.JobStatusText()->setText(text);
        message(text);
        return;
    }

    const JobSettings settings = readJobSettings(m_app.SettingsPath);
    m_app.Proxy = settings.proxy;
    m_app.SleepSeconds = settings.sleepSeconds;
    QStringList notMoved;
    const QString failure = m_session.startRepair(info, plan, workerConfig(), notMoved);
    m_view.refresh();
    if (!failure.isEmpty()) {
        message(failure);
        return;
    }
    if (!m_session.running()) {
        message(notMoved.join(u'\n'));
        return;
    }
    m_form.BitBtn1()->setText(StopCaption);
    m_form.Timer1()->start();
}

// ---------------------------------------------------------------- monitor

JobTotals JobController::totals() const
{
    return m_session.totals();
}

void JobController::monitorTick()
{
    m_session.tick();
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

// JobObserver: the running job's figures in the status bar.
void JobController::progress(const JobTotals& now, const JobProgress& figures)
{
    QProgressBar* bar = m_form.JobProgressBar();
    bar->setRange(0, 1000);
    bar->setValue(now.toFetch > 0 ? int(qMin<qint64>(1000, now.done() * 1000 / now.toFetch)) : 0);
    // The count fits the bar: large numbers are shortened, the whole text is the tool tip.
    const QString full = figures.countText();
    const int room = bar->width() - 6;
    QString shown = full;
    if (bar->fontMetrics().horizontalAdvance(shown) > room)
        shown = figures.compactCountText();
    if (bar->fontMetrics().horizontalAdvance(shown) > room)
        shown = bar->fontMetrics().elidedText(shown, Qt::ElideRight, room);
    bar->setFormat(shown);
    bar->setToolTip(shown == full ? QString() : full);
    bar->setVisible(true);
    const qint64 waitMs = m_session.waitingMs();
    const QString rate = waitMs > 0 ? waitingText(waitMs) : figures.rateText();
    // A failed save stays said until a save succeeds.
    m_form.JobStatusText()->setText(m_saveFailing.isEmpty() ? rate
                                                            : m_saveFailing + QLatin1Char(' ') + rate);
}

void JobController::saved()
{
    m_saveFailing.clear();
}

void JobController::logAppended()
{
    m_view.refreshSoon();
}

// A failed save of the positions or the log: the log window (by the session)
// and the status bar say so every time; a box says so unless one with that
// text is on screen or waiting.
void JobController::saveFailed(const QString& text)
{
    m_saveFailing = QStringLiteral("Not saved: ") + text;
    m_form.JobStatusText()->setText(m_saveFailing);
    const bool shown = m_openBox == text ||
                       std::any_of(m_boxes.begin(), m_boxes.end(),
                                   [&](const PostedBox& box) { return box.text == text; });
    if (!shown)
        post(text);
}

void JobController::finished(const JobTotals& done, const QString& failure)
{
    m_form.Timer1()->stop();
    m_form.JobProgressBar()->setVisible(false);
    m_form.JobStatusText()->setText(totalsSummary(done));
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
    const QString project = m_session.state().ProjectPath;
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

// ---------------------------------------------------------------- closing

void JobController::closeDuringJob()
{
    m_closing = true;
    m_form.Timer1()->stop();
    m_session.closeDuringJob(m_closeWaitMs);
}

} // namespace tavo
