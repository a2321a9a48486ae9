#pragma once

#include <QString>

class QWidget;

namespace tavo {

struct AppState;
struct JobState;
class LogView;
class TForm1;
class TfrmAbout;
class TfrmConvert;
class TfrmOptions;
class TfrmSingle;

// The program's windows, as the main window's logic reaches them. Any but the
// main window may be missing.
struct Windows
{
    TForm1* Form1 = nullptr;
    TfrmAbout* frmAbout = nullptr;
    TfrmConvert* frmConvert = nullptr;
    TfrmOptions* frmOptions = nullptr;
    TfrmSingle* frmSingle = nullptr;
};

// The main window's menu commands and its two buttons beside the fields:
// choosing the save folder, opening a project into the fields, the other
// windows, the log file, the sibling programs, help and the home page.
class MenuCommands final
{
public:
    MenuCommands(const Windows& windows, const AppState& app, const JobState& job, LogView& view);

    void browseSaveFolder();
    // "Open project...": a failure is shown in a message box.
    void openProject();
    // Opens the project file at `path` into the fields as "Open project..."
    // does with a chosen file (the command line's project); a file that
    // cannot be read is shown in a message box and the fields stay as they are.
    void openProjectFile(const QString& path);
    void exit();
    void options();
    void converter();
    void viewLogNow();
    void viewer();
    void combiner();
    void singleImage();
    void userManual();
    void homePage();
    void about();

private:
    void openProjectOrThrow();
    void fillFromProject(const QString& path);
    QString siblingProgram(const QString& name) const;
    // The project file of the job set up in the window, or the existing one
    // its folder and name fields give; empty when there is none.
    QString projectInWindow() const;
    // Opens `path` on the desktop; a box names it when that fails.
    void openDocument(const QString& path);
    void message(const QString& text);

    Windows m_windows;
    const AppState& m_app;
    const JobState& m_job;
    LogView& m_view;
};

} // namespace tavo
