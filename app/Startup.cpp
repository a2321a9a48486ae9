#include "app/Startup.h"

#include "app/AppState.h"
#include "dialogs/TForm1.h"
#include "engine/ProjectFile.h"
#include "engine/SettingsLocation.h"
#include "files/ServerParams.h"
#include "files/Settings.h"
#include "http/HttpClient.h"

#include <QLabel>
#include <QLineEdit>
#include <QWidget>

namespace tavo {

void startUp(TForm1& form, AppState& app, const QString& programFolder)
{
    app.ProgramFolder = ensureTrailingSeparator(programFolder);
    app.HomePageUrl = QString::fromLatin1(HomePageUrlValue);
    const QString ini = settingsFolder(app.ProgramFolder);
    app.SettingsPath = ini + QStringLiteral("config.ini");
    app.ParamsPath = ini + QStringLiteral("s.txt");
    app.ParamsUrl = QString::fromLatin1(ParamsUrl);
#ifdef Q_OS_WIN
    app.HelpPath = app.ProgramFolder + QStringLiteral("help/help.chm");
#else
    app.HelpPath = app.ProgramFolder + QStringLiteral("help/help.html");
#endif
    app.ContactMailUrl = QString::fromLatin1(ContactMailUrlValue);

    form.Label14()->setText(QString());
    form.Label15()->setText(QString());

    app.TileVersion = ReadTileVersion(app.ParamsPath);

    const StartupSettings settings = readStartupSettings(app.SettingsPath, app.TileVersion);
    app.DefaultPath = settings.defaultPath;
    app.DefaultZoom = settings.defaultZoom;
    app.DefaultThreadCount = settings.defaultThreadCount;
    app.UrlTail = settings.urlTail;
    app.InputFormat = settings.inputFormat;
    app.Proxy = settings.proxy;
    // Every request from now on introduces the program this way.
    http::setUserAgent(settings.userAgent.toStdString());

    form.setWindowTitle(QStringLiteral("Tavo ") + app.AppVersion);
    form.Edit6()->setText(app.DefaultPath);
    form.Edit5()->setText(QString::number(app.DefaultZoom));
    form.Edit10()->setText(QString::number(app.DefaultThreadCount));
    form.PanelDMS()->setVisible(app.InputFormat == 1);
}

} // namespace tavo
