// The "Download single image" dialog against the local tile server, reached as the proxy: the
// checks on the entries, the request, the stored file, the one closing message per press, and
// the dialog's behaviour while a fetch runs.

#include "dialogs/Shell.h"
#include "dialogs/TfrmSingle.h"
#include "engine/TaskThread.h"
#include "engine/TileMath.h"

#include "WindowTestSupport.h"

#include "TileServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

namespace tavo {
namespace {

using tavo::testing::ensureApplication;
using tavo::testing::readAll;
using tavo::testing::RecordingShell;
using tavo::testing::writeFile;
using tileserver::TileServer;

using tavo::testing::waitUntil;

QByteArray tileBytes(const std::string& quadkey)
{
    const std::string body = TileServer::tileBody(quadkey);
    return QByteArray(body.data(), static_cast<int>(body.size()));
}

class SingleTileTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { ensureApplication(); }

    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_folder = m_dir.path() + QStringLiteral("/tiles");
        m_context.proxy.useProxy = true;
        m_context.proxy.server = QStringLiteral("127.0.0.1");
        m_context.proxy.port = QString::number(m_server.start(0));
        m_context.tileVersion = QStringLiteral("14913");
        m_previousShell = Shell::install(&m_shell);
        m_dialog = std::make_unique<TfrmSingle>();
        m_dialog->setContextProvider([this] { return m_context; });
        m_dialog->setFetchTimeouts(5000, 5000);
    }

    void TearDown() override
    {
        // No fetch may outlive its test, a failed one included.
        if (m_dialog)
            waitUntil([this] { return !m_dialog->isDownloading(); }, 15000);
        m_dialog.reset();
        Shell::install(m_previousShell);
        m_server.stop();
    }

    QLineEdit* edit(const char* name) const
    {
        return m_dialog->findChild<QLineEdit*>(QString::fromLatin1(name));
    }
    QPushButton* downloadButton() const
    {
        return m_dialog->findChild<QPushButton*>(QStringLiteral("Button1"));
    }

    void enter(const char* x, const char* y, const char* zoom, const QString& folder)
    {
        edit("Edit1")->setText(QString::fromLatin1(x));
        edit("Edit2")->setText(QString::fromLatin1(y));
        edit("Edit3")->setText(QString::fromLatin1(zoom));
        edit("Edit6")->setText(folder);
    }

    // Presses Download and waits for the press to end in its message.
    void pressAndWait()
    {
        const int before = m_shell.messages.size();
        downloadButton()->click();
        ASSERT_TRUE(waitUntil(
            [&] { return !m_dialog->isDownloading() && m_shell.messages.size() > before; }, 10000))
            << "the press did not end in a message";
    }

    QString savedMessage() const { return QStringLiteral("Image is saved to ") + m_folder + "/"; }

    QTemporaryDir m_dir;
    QString m_folder;
    TileServer m_server;
    SingleTileContext m_context;
    RecordingShell m_shell;
    Shell* m_previousShell = nullptr;
    std::unique_ptr<TfrmSingle> m_dialog;
};

TEST_F(SingleTileTest, EntriesThatFailTheChecksEndThePressWithoutARequest)
{
    edit("Edit6")->setText(m_folder); // the rest as the dialog starts: "X", "Y", "12"
    pressAndWait();
    enter("4", "5", "1.5", m_folder);
    pressAndWait();
    enter("4", "5", "3", QString());
    pressAndWait();
    m_context.proxy.port = QStringLiteral("80a");
    enter("4", "5", "3", m_folder);
    pressAndWait();

    enter("999999", "5", "17", m_folder); // beyond the grid of the zoom
    pressAndWait();
    enter("4", "-1", "3", m_folder);
    pressAndWait();
    enter("4", "8", "3", m_folder);
    pressAndWait();

    EXPECT_EQ(m_shell.messages,
              QStringList({QStringLiteral("'X' is not a valid integer value"),
                           QStringLiteral("'1.5' is not a valid integer value"),
                           QStringLiteral("Please select path to save images."),
                           QStringLiteral("'80a' is not a valid integer value"),
                           "Column and row should be between 0 and 131071 at zoom level 17.",
                           "Column and row should be between 0 and 7 at zoom level 3.",
                           "Column and row should be between 0 and 7 at zoom level 3."}));
    EXPECT_EQ(m_server.requestCount(), 0);
}

TEST_F(SingleTileTest, FetchesQuadkeyFromServerOneAndStoresColumnUnderscoreRow)
{
    m_context.proxy.username = QStringLiteral("ann");
    m_context.proxy.password = QStringLiteral("p:ss");
    enter("4", "5", "3", m_folder);
    pressAndWait();

    EXPECT_EQ(m_shell.messages, QStringList{savedMessage()});
    const auto requests = m_server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].target.find("ecn.t1."), std::string::npos) << requests[0].target;
    EXPECT_NE(requests[0].target.find("/tiles/a120.jpeg?g=14913"), std::string::npos)
        << requests[0].target;
    EXPECT_EQ(requests[0].proxyAuthorization,
              "Basic " + QByteArray("ann:p:ss").toBase64().toStdString());
    EXPECT_EQ(readAll(m_folder + QStringLiteral("/4_5.jpg")), tileBytes("120"));
    EXPECT_EQ(QDir(m_folder).entryList(QDir::Files), QStringList{QStringLiteral("4_5.jpg")})
        << "no temporary file is left behind";
    EXPECT_EQ(edit("Edit6")->text(), m_folder) << "the field keeps the folder as typed";
    EXPECT_TRUE(downloadButton()->isEnabled());
}

TEST_F(SingleTileTest, TrailingSeparatorMakesNoDifferenceAndAnOlderFileIsReplaced)
{
    ASSERT_TRUE(QDir().mkdir(m_folder));
    writeFile(m_folder + QStringLiteral("/4_5.jpg"), QByteArray(50000, 'x'));
    enter("4", "5", "3", m_folder + "/");
    pressAndWait();
    EXPECT_EQ(readAll(m_folder + QStringLiteral("/4_5.jpg")), tileBytes("120"));
    enter("4", "5", "3", m_folder);
    pressAndWait();
    EXPECT_EQ(m_shell.messages, QStringList({savedMessage(), savedMessage()}));
    EXPECT_EQ(QDir(m_folder).entryList(QDir::Files), QStringList{QStringLiteral("4_5.jpg")});
}

TEST_F(SingleTileTest, OnlyOneFolderLevelIsCreated)
{
    const QString nested = m_dir.path() + QStringLiteral("/a/b");
    const QString plainFile = m_dir.path() + QStringLiteral("/plain");
    writeFile(plainFile, "x");
    enter("4", "5", "3", nested);
    pressAndWait();
    enter("4", "5", "3", plainFile);
    pressAndWait();
    EXPECT_EQ(m_shell.messages,
              QStringList({QStringLiteral("Create directory ") + nested + " Failed.",
                           QStringLiteral("Create directory ") + plainFile + " Failed."}));
    EXPECT_EQ(m_server.requestCount(), 0);
    EXPECT_FALSE(QDir(m_dir.path() + QStringLiteral("/a")).exists());
}

TEST_F(SingleTileTest, MissingRefusedOrResetTileEndsInOneFailureAndKeepsTheOldFile)
{
    ASSERT_TRUE(QDir().mkdir(m_folder));
    writeFile(m_folder + QStringLiteral("/4_5.jpg"), "earlier");
    enter("4", "5", "3", m_folder);

    tileserver::Options options;
    options.notFoundQuadkeys = {"120"};
    m_server.setOptions(options);
    pressAndWait();
    options = {};
    options.refuseFromRequest = 2;
    m_server.setOptions(options);
    pressAndWait();
    options = {};
    options.resetRequests = {3};
    m_server.setOptions(options);
    pressAndWait();

    const QString failed = QStringLiteral("Failed to get the image.");
    EXPECT_EQ(m_shell.messages, QStringList({failed, failed, failed}));
    EXPECT_EQ(m_server.requestCount(), 3);
    EXPECT_EQ(readAll(m_folder + QStringLiteral("/4_5.jpg")), QByteArray("earlier"));
    EXPECT_EQ(QDir(m_folder).entryList(QDir::Files).size(), 1) << "no placeholder, no leftovers";
}

TEST_F(SingleTileTest, ZoomTypedBeyondTheSpinRangeIsUsedAsTyped)
{
    enter("4", "5", "30", m_folder);
    pressAndWait();
    const auto requests = m_server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string quadkey = MakeQuadkeyString(4, 5, 30);
    ASSERT_EQ(quadkey.size(), 30u);
    EXPECT_NE(requests[0].target.find("/tiles/a" + quadkey + ".jpeg"), std::string::npos)
        << requests[0].target;
}

TEST_F(SingleTileTest, ZoomBeyondTheTileArithmeticIsRefusedBeforeAnythingHappens)
{
    for (const char* zoom : {"31", "0", "-3", "500000000", "2147483647"}) {
        m_shell.messages.clear();
        enter("4", "5", zoom, m_folder);
        QElapsedTimer clock;
        clock.start();
        pressAndWait();
        EXPECT_LT(clock.elapsed(), 1000) << zoom;
        EXPECT_EQ(m_shell.messages, QStringList{"Zoom level should be between 1 and 30."}) << zoom;
    }
    EXPECT_EQ(m_server.requestCount(), 0);
    EXPECT_FALSE(QDir(m_folder).exists()) << "the folder is not created for a refused press";
}

TEST_F(SingleTileTest, SecondPressWhileFetchingDoesNothingAndTheWindowResponds)
{
    tileserver::Options options;
    options.delayMs = 1200;
    m_server.setOptions(options);
    enter("4", "5", "3", m_folder);

    QElapsedTimer clock;
    clock.start();
    downloadButton()->click();
    EXPECT_LT(clock.elapsed(), 600) << "the press must not wait for the fetch";
    EXPECT_FALSE(downloadButton()->isEnabled());

    bool timerFired = false;
    QTimer::singleShot(50, m_dialog.get(), [&] { timerFired = true; });
    ASSERT_TRUE(waitUntil([&] { return timerFired; }, 1000)) << "events must keep flowing";
    ASSERT_TRUE(m_dialog->isDownloading());
    m_dialog->Button1Click();
    EXPECT_EQ(m_dialog->fetchesStarted(), 1) << "the second press started a fetch";

    ASSERT_TRUE(waitUntil([&] { return !m_dialog->isDownloading(); }, 10000));
    EXPECT_EQ(m_dialog->fetchesStarted(), 1);
    EXPECT_EQ(m_shell.messages, QStringList{savedMessage()});
    EXPECT_EQ(m_server.requestCount(), 1);
    EXPECT_TRUE(downloadButton()->isEnabled());
}

TEST_F(SingleTileTest, StalledServerTimesOutIntoFailure)
{
    tileserver::Options options;
    options.delayMs = 8000;
    m_server.setOptions(options);
    m_dialog->setFetchTimeouts(1000, 1000);
    enter("4", "5", "3", m_folder);

    QElapsedTimer clock;
    clock.start();
    pressAndWait();
    EXPECT_LT(clock.elapsed(), 6000);
    EXPECT_EQ(m_shell.messages, QStringList{QStringLiteral("Failed to get the image.")});
    EXPECT_FALSE(QFile::exists(m_folder + QStringLiteral("/4_5.jpg")));
}

TEST_F(SingleTileTest, DestroyingTheDialogDuringAFetchIsSafe)
{
    tileserver::Options options;
    options.delayMs = 800;
    m_server.setOptions(options);
    enter("4", "5", "3", m_folder);
    downloadButton()->click();
    ASSERT_TRUE(m_dialog->isDownloading());
    const int abandonedBefore = TaskThread::abandonedCount();
    m_dialog.reset();
    ASSERT_EQ(TaskThread::abandonedCount(), abandonedBefore + 1) << "the running fetch is left to end";

    // The fetch ends on its own thread; its outcome has nobody left to tell.
    ASSERT_TRUE(waitUntil([&] { return TaskThread::abandonedRunning() == 0; }, 5000));
    EXPECT_EQ(m_server.requestCount(), 1);
    EXPECT_TRUE(QFile::exists(m_folder + QStringLiteral("/4_5.jpg")));
    QCoreApplication::sendPostedEvents();
    EXPECT_TRUE(m_shell.messages.isEmpty());
}

} // namespace
} // namespace tavo
