#include "files/Settings.h"

#include "engine/IniFile.h"
#include "engine/TextConv.h"

#include <QDir>

namespace tavo {

namespace {

const QString IniParas = QStringLiteral("IniParas");
const QString Proxy = QStringLiteral("Proxy");

ProxySettings readProxy(const IniFile& ini)
{
    ProxySettings proxy;
    proxy.useProxy = ini.readInteger(Proxy, QStringLiteral("UseProxy"), 0) == 1;
    proxy.server = ini.readString(Proxy, QStringLiteral("ProxyServer"), QString());
    proxy.port = ini.readString(Proxy, QStringLiteral("ProxyPort"), QString());
    proxy.username = ini.readString(Proxy, QStringLiteral("ProxyUsername"), QString());
    proxy.password = ini.readString(Proxy, QStringLiteral("ProxyPassword"), QString());
    return proxy;
}

} // namespace

StartupSettings readStartupSettings(const QString& settingsPath, const QString& tileVersion)
{
    const IniFile ini(settingsPath);
    StartupSettings settings;
    settings.defaultPath =
        ini.readString(IniParas, QStringLiteral("DefaultPath"), startupDefaultPath());
    settings.defaultZoom = ini.readInteger(IniParas, QStringLiteral("DefaultZoom"), 13);
    settings.defaultThreadCount =
        ini.readInteger(IniParas, QStringLiteral("DefaultThreadCount"), 1);
    settings.urlTail =
        ini.readString(IniParas, QStringLiteral("SV3"), QStringLiteral(".jpeg?g=") + tileVersion);
    settings.inputFormat = ini.readInteger(IniParas, QStringLiteral("InputFormat"), 0);
    settings.proxy = readProxy(ini);
    settings.userAgent = ini.readString(IniParas, QStringLiteral("UserAgent"), QString()).trimmed();
    return settings;
}

JobSettings readJobSettings(const QString& settingsPath)
{
    const IniFile ini(settingsPath);
    JobSettings settings;
    settings.proxy = readProxy(ini);
    settings.sleepSeconds = ini.readInteger(IniParas, QStringLiteral("SleepSeconds"), 0);
    settings.confirmTiles = ini.readInteger(IniParas, QStringLiteral("ConfirmTiles"), 100000);
    return settings;
}

OptionsValues readOptionsValues(const QString& settingsPath)
{
    const IniFile ini(settingsPath);
    OptionsValues values;
    values.defaultPath =
        ini.readString(IniParas, QStringLiteral("DefaultPath"), optionsDefaultPath());
    values.defaultZoom = ini.readInteger(IniParas, QStringLiteral("DefaultZoom"), 13);
    values.defaultThreadCount = ini.readInteger(IniParas, QStringLiteral("DefaultThreadCount"), 3);
    values.sleepSeconds = ini.readInteger(IniParas, QStringLiteral("SleepSeconds"), 0);
    values.inputFormat = ini.readInteger(IniParas, QStringLiteral("InputFormat"), 0);
    values.proxy = readProxy(ini);
    return values;
}

void writeOptions(const QString& settingsPath, const OptionsTexts& texts)
{
    IniFile ini(settingsPath);
    ini.writeString(IniParas, QStringLiteral("DefaultPath"), texts.defaultPath);
    ini.writeInteger(IniParas, QStringLiteral("DefaultZoom"), StrToInt(texts.defaultZoom));
    ini.writeInteger(IniParas, QStringLiteral("DefaultThreadCount"),
                     StrToInt(texts.defaultThreadCount));
    ini.writeInteger(IniParas, QStringLiteral("SleepSeconds"), StrToInt(texts.sleepSeconds));
    ini.writeInteger(IniParas, QStringLiteral("InputFormat"), texts.inputFormat);
    ini.writeInteger(Proxy, QStringLiteral("UseProxy"), texts.useProxy ? 1 : 0);
    ini.writeString(Proxy, QStringLiteral("ProxyServer"), texts.proxyServer);
    ini.writeString(Proxy, QStringLiteral("ProxyPort"), texts.proxyPort);
    ini.writeString(Proxy, QStringLiteral("ProxyUsername"), texts.proxyUsername);
    ini.writeString(Proxy, QStringLiteral("ProxyPassword"), texts.proxyPassword);
}

QString startupDefaultPath()
{
    return QDir::homePath() + QStringLiteral("/downloads");
}

QString optionsDefaultPath()
{
    return QDir::homePath() + QStringLiteral("/kelp");
}

} // namespace tavo
