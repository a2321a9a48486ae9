#pragma once

#include <QString>

#include <memory>

namespace tavo {

class MainController;
class TForm1;
class TfrmAbout;
class TfrmConvert;
class TfrmOptions;
class TfrmSingle;

// The program's windows, created at start in their fixed order (the main
// window first) and living until the end, with the controller that gives the
// main window its behaviour.
class MainWindows final
{
public:
    explicit MainWindows(const QString& programFolder);
    ~MainWindows();
    MainWindows(const MainWindows&) = delete;
    MainWindows& operator=(const MainWindows&) = delete;

    TForm1& Form1() { return *m_form1; }
    TfrmAbout& frmAbout() { return *m_frmAbout; }
    TfrmConvert& frmConvert() { return *m_frmConvert; }
    TfrmOptions& frmOptions() { return *m_frmOptions; }
    TfrmSingle& frmSingle() { return *m_frmSingle; }
    MainController& controller() { return *m_controller; }

private:
    std::unique_ptr<TForm1> m_form1;
    TfrmAbout* m_frmAbout = nullptr;     // owned by the main window
    TfrmOptions* m_frmOptions = nullptr; // owned by the main window
    std::unique_ptr<TfrmConvert> m_frmConvert;
    std::unique_ptr<TfrmSingle> m_frmSingle;
    std::unique_ptr<MainController> m_controller;
};

} // namespace tavo
