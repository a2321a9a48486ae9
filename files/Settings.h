#pragma once

#include "engine/ProxySettings.h"

#include <QString>

namespace tavo {

// The program's settings file (sections "IniParas" and "Proxy"). Every
// reader opens the file, reads its keys and lets it go; a missing file,
// section or key, or a value that is not an integer where one is read, gives
// the reader's default.

// What the main window takes when it is first shown.
struct StartupSettings
{
    QString defaultPath;
    int defaultZoom = 13;
    int defaultThreadCount = 1;
    QString urlTail; // appended after the quadkey of every tile URL
    int inputFormat = 0;
    ProxySettings proxy;
    QString userAgent; // "UserAgent": replaces the program's User-Agent; empty: the default
};

// `tileVersion` builds the default URL tail ".jpeg?g=<version>"; a stored
// "SV3" key replaces it, even when its value is empty.
StartupSettings readStartupSettings(const QString& settingsPath, const QString& tileVersion);

// What every Download press reads again.
struct JobSettings
{
    ProxySettings proxy;
    int sleepSeconds = 0;
    // A new job of more tiles than this is confirmed by the user first.
    qint64 confirmTiles = 100000;
};
JobSettings readJobSettings(const QString& settingsPath);

// What the Options dialog shows; its defaults differ from the start-up ones.
struct OptionsValues
{
    QString defaultPath;
    int defaultZoom = 13;
    int defaultThreadCount = 3;
    int sleepSeconds = 0;
    int inputFormat = 0;
    ProxySettings proxy;
};
OptionsValues readOptionsValues(const QString& settingsPath);

// What the Options dialog writes, as its fields hold it.
struct OptionsTexts
{
    QString defaultPath, defaultZoom, defaultThreadCount, sleepSeconds;
    int inputFormat = 0;
    bool useProxy = false;
    QString proxyServer, proxyPort, proxyUsername, proxyPassword;
};

// Writes the ten keys one after the other, each at once: DefaultPath,
// DefaultZoom, DefaultThreadCount, SleepSeconds, InputFormat in "IniParas",
// then UseProxy (1 or 0), ProxyServer, ProxyPort, ProxyUsername,
// ProxyPassword in "Proxy". The three integer texts are converted with
// StrToInt when their turn comes, so a text that is not an integer throws
// AppError::notAnInteger after the keys before it have been written. A write
// that fails throws AppError::unableToWrite.
void writeOptions(const QString& settingsPath, const OptionsTexts& texts);

// Default save folder proposed on the main window: "downloads" in the home
// folder.
QString startupDefaultPath();
// Default save folder shown by the Options dialog: "kelp" in the home folder.
QString optionsDefaultPath();

} // namespace tavo
