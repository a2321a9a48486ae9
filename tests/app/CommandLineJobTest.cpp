// tavo-get, run as a program against the local tile server: the files of the
// window's job, Stop by signal and the continue, and refused entries.

#include "AppHarness.h"

#include "engine/TileMath.h"

#include <QProcess>
#include <QRegularExpression>

#include <algorithm>
#include <csignal>
#include <map>

using namespace tavo;
using namespace tavo::testing;

namespace {

class CommandLineJobTest : public AppHarness
{
protected:
    void SetUp() override
    {
        AppHarness::SetUp();
        startServer();
        writeProxySettings();
    }

    QStringList common() const
    {
        return {"--settings", settingsFile.isEmpty() ? programFolder + "ini/config.ini" : settingsFile,
                "--params-url",
                QStringLiteral("http://127.0.0.1:%1/s.txt").arg(port), "--quiet"};
    }

    // Starts tavo-get; the test's event loop keeps serving the tile server.
    void start(QProcess& process, const QStringList& arguments)
    {
        process.setProgram(QStringLiteral(TAVO_RUNTIME_DIR "/tavo-get"));
        process.setArguments(common() + arguments);
        process.start();
        ASSERT_TRUE(process.waitForStarted());
    }

    int run(const QStringList& arguments, QString* err = nullptr)
    {
        QProcess process;
        start(process, arguments);
        EXPECT_TRUE(waitUntil([&] { return process.state() == QProcess::NotRunning; }, 60000));
        if (err)
            *err = QString::fromLocal8Bit(process.readAllStandardError());
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    QString settingsFile; // empty: the program folder's

    QStringList workedExample(const QString& folder) const
    {
        return {"--left", "116.3", "--right", "116,4", "--top",    "40",   "--bottom", "39.9",
                "--zoom", "13",    "--threads", "8",   "--folder", folder, "--project", "Job"};
    }

    // The log with its time stamps and save folder put aside, the workers'
    // lines (in the order the workers ran) sorted.
    static QStringList normalisedLog(const QString& path, const QString& folder)
    {
        QString text = QString::fromUtf8(readAll(path));
        text.replace(folder, "<save>");
        text.replace(QRegularExpression("Now time is:[^\r]*"), "Now time is:<now>");
        QStringList lines = text.split("\r\n");
        std::sort(lines.begin(), lines.end());
        return lines;
    }
};

TEST_F(CommandLineJobTest, WritesTheFilesTheWindowWritesForTheSameEntries)
{
    launch();
    enterJob("116.3", "116,4", "40", "39.9", 13, 8, "Job");
    pressDownload();
    ASSERT_TRUE(waitForFinish());

    const QString other = saveFolder + "-cli";
    ASSERT_EQ(run(workedExample(other)), 0);
    EXPECT_EQ(readAll(other + "/Job.tavo"), readAll(savePath("Job.tavo")));
    EXPECT_EQ(normalisedLog(other + "/Job_log.txt", other),
              normalisedLog(savePath("Job_log.txt"), saveFolder));
    for (int x = 6742; x <= 6744; ++x)
        for (int y = 5087; y <= 5090; ++y) {
            const QString tile = QStringLiteral("/Job/%1_%2.jpg").arg(x).arg(y);
            EXPECT_EQ(readAll(other + tile), readAll(saveFolder + tile)) << x << "_" << y;
        }
}

TEST_F(CommandLineJobTest, ASettingsFolderWithoutServerParametersGetsThemFromTheFetch)
{
    const QString folder = saveFolder + "-settings";
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(QFile::copy(programFolder + "ini/config.ini", folder + "/config.ini"));
    settingsFile = folder + "/config.ini";
    QString err;
    EXPECT_EQ(run(workedExample(saveFolder), &err), 0) << err.toStdString();
    EXPECT_TRUE(QFileInfo(folder + "/s.txt").isFile());
    EXPECT_TRUE(QFileInfo(savePath("Job/6742_5087.jpg")).isFile());
}

TEST_F(CommandLineJobTest, SigintStopsAndTheProjectContinuesWithoutATileTwice)
{
    tileserver::Options slow;
    slow.delayMs = 150;
    slow.paramsBody = "8.07,1,4,256,256,20,321,0\r\n";
    server->setOptions(slow);
    QProcess first;
    start(first, workedExample(saveFolder).replaceInStrings(QRegularExpression("^8$"), "2"));
    ASSERT_TRUE(waitUntil([&] { return server->requestCount() >= 4; }));
    ::kill(pid_t(first.processId()), SIGINT);
    ASSERT_TRUE(waitUntil([&] { return first.state() == QProcess::NotRunning; }, 30000));
    EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.exitCode(), 3);
    const qsizetype before = server->requestCount();
    ASSERT_LT(before, 13) << "stopped before the end";

    server->setOptions([] {
        tileserver::Options fast;
        fast.paramsBody = "8.07,1,4,256,256,20,321,0\r\n";
        return fast;
    }());
    EXPECT_EQ(run({savePath("Job.tavo")}), 0);
    std::map<std::string, int> asked;
    for (const auto& request : server->requests())
        if (request.target.find("/tiles/") != std::string::npos)
            ++asked[request.target];
    EXPECT_EQ(asked.size(), 12u);
    for (const auto& [target, times] : asked)
        EXPECT_EQ(times, 1) << target;
    const QString log = QString::fromUtf8(readAll(savePath("Job_log.txt")));
    EXPECT_EQ(log.count("->ok!"), 12);
    EXPECT_TRUE(log.contains("Log continue..."));
}

TEST_F(CommandLineJobTest, RetryFailedFetchesTheFailedTileAgainAndEndsWithEveryTileStored)
{
    const std::string missing = MakeQuadkeyString(6743, 5088, 13);
    tileserver::Options failing;
    failing.paramsBody = "8.07,1,4,256,256,20,321,0\r\n";
    failing.notFoundQuadkeys = {missing};
    server->setOptions(failing);
    QProcess process;
    start(process, workedExample(saveFolder) << "--retry-failed");
    // The first run's twelve requests; the retry starts after its closing tick.
    ASSERT_TRUE(waitUntil([&] { return server->requestCount() >= 13; }));
    server->setOptions([] {
        tileserver::Options fast;
        fast.paramsBody = "8.07,1,4,256,256,20,321,0\r\n";
        return fast;
    }());
    ASSERT_TRUE(waitUntil([&] { return process.state() == QProcess::NotRunning; }, 60000));
    EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();

    int askedForMissing = 0;
    for (const auto& request : server->requests())
        askedForMissing += request.target.find("/a" + missing + ".") != std::string::npos;
    EXPECT_EQ(askedForMissing, 2);
    const QByteArray tile = readAll(savePath("Job/6743_5088.jpg"));
    EXPECT_TRUE(tile.startsWith("\xFF\xD8\xFF"));
    EXPECT_NE(tile, readAll(programFolder + "blankimg/blank.jpg"));
    const QString log = QString::fromUtf8(readAll(savePath("Job_log.txt")));
    EXPECT_TRUE(log.contains("Fetch missing tiles again: 1 of 12 tiles (blank 1)")) << log.toStdString();
}

TEST_F(CommandLineJobTest, RefusedEntriesWriteNothingAndExitWithTwo)
{
    struct Case
    {
        QStringList arguments;
        QByteArray settings; // empty: the harness's
        QString message;
    };
    const QString folder = saveFolder;
    QStringList zoom31 = workedExample(folder);
    zoom31[zoom31.indexOf("13")] = "31";
    const Case cases[] = {
        {zoom31, {}, "Zoom level should be between 1 and 30."},
        {workedExample(folder), "[Proxy]\r\nUseProxy=1\r\nProxyServer=127.0.0.1\r\nProxyPort=abc\r\n",
         "The proxy port \"abc\" cannot be used: 'abc' is not a valid integer value.\n"
         "Correct it in Options > Options..."},
        {{"--zoom"}, {}, "tavo-get: --zoom needs a value"},
        {{savePath("Gone.tavo")}, {}, "Cannot open file " + savePath("Gone.tavo")},
    };
    for (const Case& c : cases) {
        if (!c.settings.isEmpty())
            writeFile(programFolder + "ini/config.ini", c.settings);
        QString err;
        EXPECT_EQ(run(c.arguments, &err), 2) << c.message.toStdString();
        EXPECT_TRUE(err.startsWith(c.message)) << err.toStdString();
        EXPECT_FALSE(QFileInfo::exists(folder)) << c.message.toStdString();
        writeProxySettings();
    }
    // The parameters file may be fetched, as the window's press does first; no tile is.
    for (const auto& request : server->requests())
        EXPECT_EQ(request.target.find("/tiles/"), std::string::npos) << request.target;
}

} // namespace
