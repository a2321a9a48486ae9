#include "app/MenuCommands.h"

#include "app/AppState.h"
#include "job/JobState.h"
#include "app/LogView.h"
#include "dialogs/Shell.h"
#include "dialogs/TForm1.h"
#include "dialogs/TfrmAbout.h"
#include "dialogs/TfrmConvert.h"
#include "dialogs/TfrmOptions.h"
#include "dialogs/TfrmSingle.h"
#include "engine/AppError.h"
#include "engine/ProjectFile.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLineEdit>

namespace tavo {

namespace {

void bringUp(QWidget* window)
{
    if (!window)
        return;
    window->show();
    window->raise();
    window->activateWindow();
}

} // namespace

MenuCommands::MenuCommands(const Windows& windows, const AppState& app, const JobState& job,
                           LogView& view)
    : m_windows(windows), m_app(app), m_job(job), m_view(view)
{
}

void MenuCommands::message(const QString& text)
{
    m_view.showMessage(m_windows.Form1, text);
}

void MenuCommands::browseSaveFolder()
{
    const QString folder =
        Shell::current().browseFolder(m_windows.Form1, QStringLiteral("Select path to save"));
    if (!folder.isEmpty())
        m_windows.Form1->Edit6()->setText(folder);
}

void MenuCommands::openProject()
{
    try {
        openProjectOrThrow();
    } catch (const std::exception& error) {
        message(QString::fromUtf8(error.what()));
    }
}

void MenuCommands::openProjectOrThrow()
{
    const QString chosen =
        Shell::current().openFileName(m_windows.Form1, QStringLiteral("Open project file:"),
                                      m_app.DefaultPath, QStringLiteral("TAVO Projects(*.tavo)"));
    if (chosen.isEmpty())
        return;
    fillFromProject(chosen);
}

void MenuCommands::openProjectFile(const QString& path)
{
    const QFileInfo file(path);
    if (!file.isFile() || !file.isReadable()) {
        message(AppError::cannotOpenFile(path).text());
        return;
    }
    try {
        fillFromProject(path);
    } catch (const std::exception& error) {
        message(QString::fromUtf8(error.what()));
    }
}

void MenuCommands::fillFromProject(const QString& path)
{
    const OpenedProject opened =
        readProjectForOpen(path, m_app.DefaultZoom, m_app.DefaultThreadCount);
    TForm1& form = *m_windows.Form1;
    form.Edit1()->setText(opened.left);
    form.Edit3()->setText(opened.right);
    form.Edit2()->setText(opened.top);
    form.Edit4()->setText(opened.bottom);
    form.Edit5()->setText(opened.zoom);
    form.Edit10()->setText(opened.threadCount);
    form.Edit6()->setText(opened.folder);
    form.Edit11()->setText(opened.fileName);
}

void MenuCommands::exit()
{
    m_windows.Form1->close();
}

void MenuCommands::options()
{
    if (m_windows.frmOptions)
        m_windows.frmOptions->exec();
}

void MenuCommands::converter()
{
    bringUp(m_windows.frmConvert);
}

void MenuCommands::viewLogNow()
{
    const QString path = m_job.logPath();
    if (!path.isEmpty() && QFileInfo(path).isFile())
        openDocument(path);
    else
        message(QStringLiteral("No logfile now.      "));
}

void MenuCommands::openDocument(const QString& path)
{
    if (!Shell::current().openDocument(path))
        message(QStringLiteral("The desktop could not open ") + path);
}

QString MenuCommands::projectInWindow() const
{
    // The job set up in this window, else the project its fields name.
    if (!m_job.ProjectPath.isEmpty() && QFileInfo(m_job.ProjectPath).isFile())
        return m_job.ProjectPath;
    TForm1& form = *m_windows.Form1;
    const QString folder = form.Edit6()->text();
    const QString typed = form.Edit11()->text();
    if (folder.isEmpty() || typed.isEmpty())
        return QString();
    const QString path = ensureTrailingSeparator(folder) + projectNameFor(typed);
    return QFileInfo(path).isFile() ? path : QString();
}

QString MenuCommands::siblingProgram(const QString& name) const
{
    const QString folder = ensureTrailingSeparator(QCoreApplication::applicationDirPath());
#ifdef Q_OS_WIN
    return folder + name + QStringLiteral(".exe");
#else
    return folder + name;
#endif
}

void MenuCommands::viewer()
{
    const QString project = projectInWindow();
    Shell::current().startProgram(siblingProgram(QStringLiteral("glimpse")),
                                  project.isEmpty() ? QStringList() : QStringList{project});
}

void MenuCommands::combiner()
{
    // weaver's window, with its project field filled.
    const QString project = projectInWindow();
    Shell::current().startProgram(
        siblingProgram(QStringLiteral("weaver")),
        project.isEmpty() ? QStringList() : QStringList{QStringLiteral("--window"), project});
}

void MenuCommands::singleImage()
{
    bringUp(m_windows.frmSingle);
}

void MenuCommands::userManual()
{
    openDocument(m_app.HelpPath);
}

void MenuCommands::homePage()
{
    Shell::current().openDocument(m_app.HomePageUrl);
}

void MenuCommands::about()
{
    if (!m_windows.frmAbout)
        return;
    m_windows.frmAbout->prepare(m_windows.Form1->windowTitle(), m_app.HomePageUrl,
                                m_app.ContactMailUrl);
    m_windows.frmAbout->exec();
}

} // namespace tavo
