#include "app/MainWindows.h"

#include "app/MainController.h"
#include "dialogs/TForm1.h"
#include "dialogs/TfrmAbout.h"
#include "dialogs/TfrmConvert.h"
#include "dialogs/TfrmOptions.h"
#include "dialogs/TfrmSingle.h"
#include "engine/ProjectFile.h"
#include "engine/SettingsLocation.h"

namespace tavo {

MainWindows::MainWindows(const QString& programFolder)
{
    m_form1 = std::make_unique<TForm1>();
    m_frmAbout = new TfrmAbout(m_form1.get());
    m_frmConvert = std::make_unique<TfrmConvert>();
    m_frmOptions = new TfrmOptions(m_form1.get());
    m_frmOptions->setSettingsPath(settingsFolder(programFolder) + QStringLiteral("config.ini"));
    m_frmSingle = std::make_unique<TfrmSingle>();

    Windows windows;
    windows.Form1 = m_form1.get();
    windows.frmAbout = m_frmAbout;
    windows.frmConvert = m_frmConvert.get();
    windows.frmOptions = m_frmOptions;
    windows.frmSingle = m_frmSingle.get();
    m_controller = std::make_unique<MainController>(windows, programFolder);

    MainController* controller = m_controller.get();
    m_frmSingle->setContextProvider([controller] {
        const AppState& app = controller->appState();
        SingleTileContext context;
        context.proxy = app.Proxy;
        context.tileVersion = app.TileVersion;
        return context;
    });
}

MainWindows::~MainWindows()
{
    m_frmSingle.reset();
    m_frmConvert.reset();
    m_controller.reset();
    m_form1.reset();
}

} // namespace tavo
