#include "files/Settings.h"
#include "engine/AppError.h"

#include "FileTestSupport.h"

#include <QDir>

using namespace tavo;
using namespace tavo::testing;

TEST(Settings, MissingFileGivesTheTwoSetsOfDefaults)
{
    TempFolder folder;
    const QString path = folder.path("config.ini");

    const StartupSettings startup = readStartupSettings(path, "123");
    EXPECT_EQ(startup.defaultPath, QDir::homePath() + "/downloads");
    EXPECT_EQ(startup.defaultZoom, 13);
    EXPECT_EQ(startup.defaultThreadCount, 1);
    EXPECT_EQ(startup.urlTail, QStringLiteral(".jpeg?g=123"));
    EXPECT_EQ(startup.inputFormat, 0);
    EXPECT_FALSE(startup.proxy.useProxy);
    EXPECT_TRUE(startup.proxy.server.isEmpty() && startup.proxy.port.isEmpty());

    const OptionsValues options = readOptionsValues(path);
    EXPECT_EQ(options.defaultPath, QDir::homePath() + "/kelp");
    EXPECT_EQ(options.defaultZoom, 13);
    EXPECT_EQ(options.defaultThreadCount, 3);
    EXPECT_EQ(options.sleepSeconds, 0);
    EXPECT_FALSE(options.proxy.useProxy);

    const JobSettings job = readJobSettings(path);
    EXPECT_EQ(job.sleepSeconds, 0);
    EXPECT_FALSE(job.proxy.useProxy);
    EXPECT_FALSE(QFile::exists(path)); // reading never creates it
}

TEST(Settings, UrlTailFromSv3WhenPresentEvenEmpty)
{
    TempFolder folder;
    const QString path = folder.path("config.ini");
    writeBytes(path, "[IniParas]\r\nSV3=\r\n");
    EXPECT_EQ(readStartupSettings(path, "123").urlTail, QString());
    writeBytes(path, "[iniparas]\r\nsv3=.png?v=9\r\n");
    EXPECT_EQ(readStartupSettings(path, "123").urlTail, QStringLiteral(".png?v=9"));
}

TEST(Settings, ProxyOnlyWhenUseProxyIsExactlyOne)
{
    TempFolder folder;
    const QString path = folder.path("config.ini");
    const struct
    {
        const char* stored;
        bool used;
    } cases[] = {{"1", true}, {"$1", true}, {"2", false}, {"true", false}, {"0", false}};
    for (const auto& c : cases) {
        writeBytes(path, QByteArray("[Proxy]\r\nUseProxy=") + c.stored +
                             "\r\nProxyServer=10.0.0.1\r\nProxyPort=8080\r\n"
                             "ProxyUsername=me\r\nProxyPassword=secret\r\n"
                             "[IniParas]\r\nSleepSeconds=0x2\r\nDefaultZoom=$10\r\n");
        EXPECT_EQ(readJobSettings(path).proxy.useProxy, c.used) << c.stored;
        EXPECT_EQ(readStartupSettings(path, "1").proxy.useProxy, c.used) << c.stored;
    }
    const JobSettings job = readJobSettings(path);
    EXPECT_EQ(job.proxy.server + job.proxy.port + job.proxy.username + job.proxy.password,
              QStringLiteral("10.0.0.18080mesecret"));
    EXPECT_EQ(job.sleepSeconds, 2);
    EXPECT_EQ(readOptionsValues(path).defaultZoom, 16);
}

TEST(Settings, WriteOptionsCreatesTheTenKeysInOrder)
{
    TempFolder folder;
    const QString path = folder.path("config.ini");
    OptionsTexts texts;
    texts.defaultPath = "/data/tiles";
    texts.defaultZoom = "15";
    texts.defaultThreadCount = "0x8";
    texts.sleepSeconds = "900";
    texts.inputFormat = 1;
    texts.useProxy = true;
    texts.proxyServer = "proxy.lan";
    texts.proxyPort = "3128";
    texts.proxyUsername = "user";
    texts.proxyPassword = "pw";
    writeOptions(path, texts);
    EXPECT_EQ(readBytes(path), QByteArray("[IniParas]\r\n"
                                          "DefaultPath=/data/tiles\r\n"
                                          "DefaultZoom=15\r\n"
                                          "DefaultThreadCount=8\r\n"
                                          "SleepSeconds=900\r\n"
                                          "InputFormat=1\r\n"
                                          "[Proxy]\r\n"
                                          "UseProxy=1\r\n"
                                          "ProxyServer=proxy.lan\r\n"
                                          "ProxyPort=3128\r\n"
                                          "ProxyUsername=user\r\n"
                                          "ProxyPassword=pw\r\n"));
    const OptionsValues back = readOptionsValues(path);
    EXPECT_EQ(back.sleepSeconds, 900);
    EXPECT_EQ(back.defaultThreadCount, 8);
    EXPECT_TRUE(back.proxy.useProxy);
}

TEST(Settings, WriteOptionsStopsAtTheFirstTextThatIsNoInteger)
{
    TempFolder folder;
    const QString path = folder.path("config.ini");
    OptionsTexts texts;
    texts.defaultPath = "/p";
    texts.defaultZoom = "12";
    texts.defaultThreadCount = "4";
    texts.sleepSeconds = "x";
    texts.useProxy = true;
    texts.proxyServer = "never.written";
    EXPECT_EQ(appErrorText([&] { writeOptions(path, texts); }),
              QStringLiteral("'x' is not a valid integer value"));
    EXPECT_EQ(readBytes(path), QByteArray("[IniParas]\r\n"
                                          "DefaultPath=/p\r\n"
                                          "DefaultZoom=12\r\n"
                                          "DefaultThreadCount=4\r\n"));

    const QString unwritable = folder.path("ini/config.ini");
    texts.sleepSeconds = "1";
    EXPECT_EQ(appErrorText([&] { writeOptions(unwritable, texts); }),
              QStringLiteral("Unable to write to ") + unwritable);
}
