#include "AppHarness.h"

#include <QLabel>
#include <QWidget>

using namespace tavo;
using namespace tavo::testing;

namespace {

class StartupTest : public AppHarness
{
};

TEST_F(StartupTest, FullSettingsFileFillsTheWindowAndTheState)
{
    writeFile(programFolder + "ini/config.ini",
              "[IniParas]\r\nDefaultPath=/data/tiles\r\nDefaultZoom=0x10\r\n"
              "DefaultThreadCount=30\r\nSV3=.png?v=9\r\nInputFormat=1\r\n"
              "[Proxy]\r\nUseProxy=1\r\nProxyServer=proxy.lan\r\nProxyPort=3128\r\n"
              "ProxyUsername=ann\r\nProxyPassword=s3cret\r\n");
    launch();

    EXPECT_EQ(form().windowTitle(), "Tavo 8.07");
    EXPECT_EQ(form().Edit6()->text(), "/data/tiles");
    EXPECT_EQ(form().Edit5()->text(), "16");
    EXPECT_EQ(form().Edit10()->text(), "30"); // shown as stored, beyond the arrows' limit
    EXPECT_TRUE(form().PanelDMS()->isVisibleTo(&form()));
    EXPECT_TRUE(form().Label14()->text().isEmpty());
    EXPECT_TRUE(form().Label15()->text().isEmpty());

    const AppState& app = controller().appState();
    EXPECT_EQ(app.TileVersion, "321");
    EXPECT_EQ(app.UrlTail, ".png?v=9");
    EXPECT_TRUE(app.Proxy.useProxy);
    EXPECT_EQ(app.Proxy.server, "proxy.lan");
    EXPECT_EQ(app.Proxy.port, "3128");
    EXPECT_EQ(app.Proxy.username, "ann");
    EXPECT_EQ(app.Proxy.password, "s3cret");
    EXPECT_EQ(app.SleepSeconds, 0);
    EXPECT_EQ(app.SettingsPath, programFolder + "ini/config.ini");
    EXPECT_EQ(app.ParamsPath, programFolder + "ini/s.txt");
    EXPECT_FALSE(app.ParamsFetched);
    EXPECT_TRUE(shell.messages.isEmpty()) << shell.messages.join('|').toStdString();
}

TEST_F(StartupTest, MissingOrEmptySettingsFileGivesTheStartupDefaults)
{
    for (bool createEmpty : {false, true}) {
        if (createEmpty)
            writeFile(programFolder + "ini/config.ini", "");
        launch();
        EXPECT_EQ(form().Edit6()->text(), QDir::homePath() + "/downloads");
        EXPECT_EQ(form().Edit5()->text(), "13");
        EXPECT_EQ(form().Edit10()->text(), "1");
        EXPECT_FALSE(form().PanelDMS()->isVisibleTo(&form()));
        EXPECT_EQ(controller().appState().UrlTail, ".jpeg?g=321");
        EXPECT_FALSE(controller().appState().Proxy.useProxy);
        EXPECT_TRUE(shell.messages.isEmpty());
        windows.reset();
    }
}

TEST_F(StartupTest, EmptySv3GivesAnEmptyTailAndOtherFormatsHideThePanel)
{
    writeFile(programFolder + "ini/config.ini",
              "[IniParas]\r\nSV3=\r\nInputFormat=2\r\n[Proxy]\r\nUseProxy=true\r\n");
    launch();
    EXPECT_EQ(controller().appState().UrlTail, "");
    EXPECT_FALSE(form().PanelDMS()->isVisibleTo(&form()));
    EXPECT_FALSE(controller().appState().Proxy.useProxy);
}

TEST_F(StartupTest, MissingParametersFileShowsOneErrorAndKeepsTheLayout)
{
    QFile::remove(programFolder + "ini/s.txt");
    writeFile(programFolder + "ini/config.ini", "[IniParas]\r\nDefaultZoom=5\r\nInputFormat=1\r\n");
    launch();

    ASSERT_EQ(shell.messages.size(), 1);
    EXPECT_EQ(shell.messages[0], "Cannot open file " + programFolder + "ini/s.txt");
    EXPECT_EQ(form().windowTitle(), "Tavo 5.7");
    EXPECT_EQ(form().Edit5()->text(), "13");
    EXPECT_EQ(form().Edit10()->text(), "1");
    EXPECT_EQ(form().Edit6()->text(), "");
    EXPECT_FALSE(form().PanelDMS()->isVisibleTo(&form()));
    EXPECT_EQ(controller().appState().UrlTail, "");
    EXPECT_TRUE(form().isEnabled());
}

TEST_F(StartupTest, ShortParametersFileReportsTheMissingField)
{
    writeFile(programFolder + "ini/s.txt", "1,2,3,4,5,6\r\n");
    launch();
    ASSERT_EQ(shell.messages.size(), 1);
    EXPECT_EQ(shell.messages[0], "List index out of bounds (6)");
}

} // namespace
