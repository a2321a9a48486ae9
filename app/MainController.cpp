#include "app/MainController.h"

#include "app/AreaPicking.h"
#include "app/Startup.h"
#include "engine/ProjectFile.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace tavo {

MainController::MainController(const Windows& windows, const QString& programFolder)
    : m_windows(windows), m_programFolder(ensureTrailingSeparator(programFolder)),
      m_view(windows.Form1->Memo1()), m_job(*windows.Form1, m_app, m_view),
      m_commands(windows, m_app, m_job.state(), m_view)
{
    m_windows.Form1->setHandler(this);
}

MainController::~MainController()
{
    m_windows.Form1->setHandler(nullptr);
}

void MainController::FormShow()
{
    try {
        startUp(*m_windows.Form1, m_app, m_programFolder);
    } catch (const std::exception& error) {
        m_view.showMessage(m_windows.Form1, QString::fromUtf8(error.what()));
    }
}

void MainController::BitBtn1Click()
{
    if (!m_closing)
        m_job.downloadPressed();
}

void MainController::Fetchmissing1Click()
{
    if (!m_closing)
        m_job.fetchMissingPressed();
}

void MainController::SelectArea1Click()
{
    if (!m_closing)
        selectAreaOnMap(*m_windows.Form1, m_app);
}

void MainController::Timer1Timer()
{
    if (!m_closing)
        m_job.monitorTick();
}

bool MainController::FormCloseQuery()
{
    if (m_closing)
        return true;
    m_closing = true;
    if (m_job.running())
        m_job.closeDuringJob();
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                              Qt::QueuedConnection);
    return true;
}

} // namespace tavo
