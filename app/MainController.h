#pragma once

#include "app/AppState.h"
#include "app/JobController.h"
#include "app/LogView.h"
#include "app/MenuCommands.h"
#include "dialogs/TForm1.h"

#include <QString>

namespace tavo {

// The main window's behaviour: it receives the window's events and hands
// each to the part that owns it: start-up, the download job, or the menu
// commands. Holds the application state they share.
class MainController final : public TForm1Handler
{
public:
    using Windows = tavo::Windows;

    // `programFolder` is the folder of the running executable; it holds ini/,
    // help/ and blankimg/.
    MainController(const Windows& windows, const QString& programFolder);
    ~MainController() override;
    MainController(const MainController&) = delete;
    MainController& operator=(const MainController&) = delete;

    AppState& appState() { return m_app; }
    const JobState& jobState() const { return m_job.state(); }
    const JobLog& jobLog() const { return m_view.log(); }
    bool jobRunning() const { return m_job.running(); }

    // How long closing the window waits for running workers to end.
    void setCloseWaitMs(int ms) { m_job.setCloseWaitMs(ms); }
    // Workers that did not end within the close wait; they are abandoned.
    int abandonedWorkers() const { return m_job.abandonedWorkers(); }

    // Opens a project named on the command line, after the window is shown.
    void openProjectFile(const QString& path) { m_commands.openProjectFile(path); }

    // TForm1Handler
    void FormShow() override;
    void BitBtn1Click() override;
    void Button1Click() override { m_commands.browseSaveFolder(); }
    void Button2Click() override { m_commands.openProject(); }
    void Timer1Timer() override;
    void LoadParametersfromprojectfilel1Click() override { m_commands.openProject(); }
    void Exit1Click() override { m_commands.exit(); }
    bool FormCloseQuery() override;
    void Options1Click() override { m_commands.options(); }
    void Convert1Click() override { m_commands.converter(); }
    void Viewlognow1Click() override { m_commands.viewLogNow(); }
    void SatelliteImagesViewer1Click() override { m_commands.viewer(); }
    void CombineImages1Click() override { m_commands.combiner(); }
    void Downloadsingleimage1Click() override { m_commands.singleImage(); }
    void JobFieldsChanged() override { m_job.fieldsChanged(); }
    void Fetchmissing1Click() override;
    void SelectArea1Click() override;
    void Usermanual1Click() override { m_commands.userManual(); }
    void Homepage1Click() override { m_commands.homePage(); }
    void About1Click() override { m_commands.about(); }

private:
    Windows m_windows;
    QString m_programFolder;
    AppState m_app;
    LogView m_view;
    JobController m_job;
    MenuCommands m_commands;
    bool m_closing = false;
};

} // namespace tavo
