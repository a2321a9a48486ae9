#pragma once

#include "files/Settings.h"
#include "tiles/TDownThread.h"

#include <QString>

namespace tavo {

// The main window's record for the life of the process. Every text is empty
// and every number 0 until the window is first shown.
struct AppState
{
    QString ProgramFolder; // ends with '/'
    QString SettingsPath;
    QString ParamsPath;
    QString ParamsUrl;
    QString HelpPath;
    QString HomePageUrl;
    QString ContactMailUrl;
    QString AppVersion = QStringLiteral("8.07");
    QString TileVersion;
    QString DefaultPath;
    int DefaultZoom = 0;
    int DefaultThreadCount = 0;
    QString UrlTail;
    int InputFormat = 0;
    ProxySettings Proxy; // UseProxy, ProxyServer, ProxyPort, ProxyUsername, ProxyPassword
    int SleepSeconds = 0;
    bool ParamsFetched = false;
    RequestLimits Limits; // of every tile request and the pauses between them
};

// Fixed places of the program's maker.
inline constexpr const char* HomePageUrlValue = "http://www.tavosoft.net";
inline constexpr const char* ContactMailUrlValue = "mailto:support@tavosoft.net";

} // namespace tavo
