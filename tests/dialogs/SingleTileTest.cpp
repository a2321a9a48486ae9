// The single-tile download: the checks on the entries, the request that reaches the tile
// server (through its proxy face), the stored file, the one closing message per press, and the
// dialog's behaviour while a fetch runs.

#include "dialogs/Shell.h"
#include "dialogs/TfrmSingle.h"
#include "dialogs/UpDown.h"
#include "tiles/TileMath.h"

#include "TileServer.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>

namespace tavo {
namespace {

using tileserver::TileServer;

void ensureApplication()
{
    if (QApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "tavo_dialogs_tests";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv); // lives until the process ends
}

class RecordingShell final : public Shell
{
public:
    void showMessage(QWidget*, const QString& text) override { messages << text; }
    QString browseFolder(QWidget*, const QString& title) override
    {
        browseTitles << title;
        if (answers.empty())
            return QString();
        QString answer = answers.front();
        answers.pop_front();
        return answer;
    }

    QStringList messages;
    QStringList browseTitles;
    std::deque<QString> answers;
};

// Runs the event loop until `done` holds or `timeoutMs` has passed.
bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(5);
    }
    return true;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QByteArray bytes(const std::string& text)
{
    return QByteArray(text.data(), static_cast<int>(text.size()));
}

class SingleTileTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { ensureApplication(); }

    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_folder = m_dir.path() + QStringLiteral("/tiles");
        m_port = m_server.start(0);
        m_context.useProxy = true;
        m_context.proxyServer = QStringLiteral("127.0.0.1");
        m_context.proxyPort = QString::number(m_port);
        m_context.tileVersion = QStringLiteral("14913");
        m_previousShell = Shell::install(&m_shell);
        m_dialog = std::make_unique<TfrmSingle>();
        m_dialog->setContextProvider([this] { return m_context; });
        m_dialog->setFetchTimeouts(5000, 5000);
    }

    void TearDown() override
    {
        // No fetch may outlive its test; a failing test must not leave one behind either.
        if (m_dialog)
            waitUntil([this] { return !m_dialog->isDownloading(); }, 15000);
        m_dialog.reset();
        Shell::install(m_previousShell);
        m_server.stop();
    }

    QLineEdit* edit(const char* name) const
    {
        auto* found = m_dialog->findChild<QLineEdit*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QPushButton* button(const char* name) const
    {
        auto* found = m_dialog->findChild<QPushButton*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    void enter(const QString& x, const QString& y, const QString& zoom, const QString& folder)
    {
        edit("Edit1")->setText(x);
        edit("Edit2")->setText(y);
        edit("Edit3")->setText(zoom);
        edit("Edit6")->setText(folder);
    }

    // Presses Download and waits for the press to end in its message.
    void pressAndWait()
    {
        const int before = m_shell.messages.size();
        button("Button1")->click();
        ASSERT_TRUE(waitUntil(
            [&] { return !m_dialog->isDownloading() && m_shell.messages.size() > before; },
            10000))
            << "the press did not end in a message";
    }

    QTemporaryDir m_dir;
    QString m_folder;
    TileServer m_server;
    int m_port = 0;
    SingleTileContext m_context;
    RecordingShell m_shell;
    Shell* m_previousShell = nullptr;
    std::unique_ptr<TfrmSingle> m_dialog;
};

TEST_F(SingleTileTest, InitialControls)
{
    EXPECT_EQ(m_dialog->windowTitle(), QStringLiteral("Download single image"));
    EXPECT_FALSE(m_dialog->isModal());
    EXPECT_EQ(m_dialog->minimumSize(), m_dialog->maximumSize());
    EXPECT_EQ(edit("Edit1")->text(), QStringLiteral("X"));
    EXPECT_EQ(edit("Edit2")->text(), QStringLiteral("Y"));
    EXPECT_EQ(edit("Edit3")->text(), QStringLiteral("12"));
    EXPECT_TRUE(edit("Edit6")->text().isEmpty());
    auto* spin = m_dialog->findChild<UpDown*>(QStringLiteral("UpDown1"));
    ASSERT_NE(spin, nullptr);
    EXPECT_EQ(spin->minimum(), 1);
    EXPECT_EQ(spin->maximum(), 25);
    EXPECT_EQ(spin->position(), 12);
    EXPECT_EQ(button("Button1")->text(), QStringLiteral("Download"));
    EXPECT_EQ(button("Button2")->text(), QStringLiteral("..."));
    EXPECT_EQ(button("Button2")->toolTip(), QStringLiteral("Click to select path"));
}

TEST_F(SingleTileTest, EntriesThatAreNotWholeNumbersEndThePressWithoutARequest)
{
    const struct
    {
        const char* x;
        const char* y;
        const char* zoom;
        const char* message;
    } cases[] = {{"X", "Y", "12", "'X' is not a valid integer value"}, // the untouched dialog
                 {"4", "Y", "12", "'Y' is not a valid integer value"},
                 {"4", "5", "1.5", "'1.5' is not a valid integer value"},
                 {"4", "", "3", "'' is not a valid integer value"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        m_shell.messages.clear();
        enter(QString::fromLatin1(c.x), QString::fromLatin1(c.y), QString::fromLatin1(c.zoom),
              m_folder);
        pressAndWait();
        EXPECT_EQ(m_shell.messages, QStringList{QString::fromLatin1(c.message)});
    }
    EXPECT_EQ(m_server.requestCount(), 0);
    EXPECT_FALSE(QDir(m_folder).exists()) << "the folder is created only after the numbers pass";
}

TEST_F(SingleTileTest, EmptyFolderAsksForOne)
{
    enter(QStringLiteral("4"), QStringLiteral("5"), QStringLiteral("3"), QString());
    pressAndWait();
    EXPECT_EQ(m_shell.messages, QStringList{QStringLiteral("Please select path to save images.")});
    EXPECT_EQ(m_server.requestCount(), 0);
}

TEST_F(SingleTileTest, FetchesQuadkeyFromServerOneAndStoresColumnUnderscoreRow)
{
    enter(QStringLiteral("4"), QStringLiteral("5"), QStringLiteral("3"), m_folder);
    pressAndWait();

    EXPECT_EQ(m_shell.messages, QStringList{QStringLiteral("Image is saved to ") + m_folder +
                                            QStringLiteral("/")});
    const auto requests = m_server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target.rfind("http://", 0), 0u) << requests[0].target;
    EXPECT_NE(requests[0].target.find("ecn.t1."), std::string::npos) << requests[0].target;
    EXPECT_NE(requests[0].target.find("/tiles/a120.jpeg?g=14913"), std::string::npos)
        << requests[0].target;
    EXPECT_EQ(readAll(m_folder + QStringLiteral("/4_5.jpg")), bytes(TileServer::tileBody("120")));
    EXPECT_EQ(QDir(m_folder).entryList(QDir::Files), QStringList{QStringLiteral("4_5.jpg")})
        << "no temporary file is left behind";
    EXPECT_EQ(edit("Edit6")->text(), m_folder) << "the field keeps the folder as typed";
    EXPECT_TRUE(button("Button1")->isEnabled());
}

TEST_F(SingleTileTest, FolderWithOrWithoutTrailingSeparatorGivesTheSameFile)
{
    ASSERT_TRUE(QDir().mkdir(m_folder));
    enter(QStringLiteral("4"), QStringLiteral("5"), QStringLiteral("3"), m_folder + "/");
    pressAndWait();
    enter(QStringLiteral("4"), QStringLiteral("5"), QStringLiteral("3"), m_folder);
    pressAndWait();
    const QString confirmation = QStringLiteral("Image is saved to ") + m_folder + "/";
    EXPECT_EQ(m_shell.messages, QStringList({confirmation, confirmation}));
    EXPECT_EQ(QDir(m_folder).entryList(QDir::Files), QStringList{QStringLiteral("4_5.jpg")});
}

TEST_F(SingleTileTest, MissingFolderIsCreatedOneLevelOnly)
{
    const QString nested = m_dir.path() + QStringLiteral("/a/b");
    enter(QStringLiteral("4"), QStringLiteral("5"), QStringLiteral("3"), nested);
    pressAndWait();
    EXPECT_EQ(m_shell.messages,
              QStringList{QStringLiteral("Create directory ") + nested + QStringLiteral(" Failed.")});
    EXPECT_EQ(m_server.requestCount(), 0);
    EXPECT_FALSE(QDir(m_dir.path() + QStringLiteral("/a")).exists());

    // A plain file where the folder should be cannot become one either.
    const QString blocked = m_dir.path() + QStringLiteral("/plain");
    QFile plain(blocked);
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    m_shell.messages.clear();
    enter(QStringLiteral("4"), QStringLiteral("5"), QStringLiteral("3"), blocked);
    pressAndWait();
    EXPECT_EQ(m_shell.messages, QStringList{QStringLiteral("Create directory ") + blocked +
                                            QStringLiteral(" Failed.")});
    EXPECT_EQ(m_server.requestCount(), 0);
}

TEST_F(SingleTileTest, MissingTileEndsInFailureAndKeepsAnExistingFile)
{
    tileserver::Options options;
    options.notFoundQuadkeys = {"120"};
    m_server.setOptions(options);

    enter(QStringLiteral("4"), QStringLiteral("5"), QStringLiteral("3"), m_folder);
    pressAndWait();
    EXPECT_EQ(m_shell.messages, QStringList{QStringLiteral("Failed to get the image.")});
    EXPECT_EQ(m_server.requestCount(), 1);
    EXPECT_TRUE(QDir(m_folder).exists());
    EXPECT_TRUE(QDir(m_folder).entryList(QDir::Files).isEmpty()) << "no placeholder is written";

    QFile earlier(m_folder + QStringLiteral("/4_5.jpg"));
    ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
    earlier.write("earlier");
    earlier.close();
    pressAndWait();
    EXPECT_EQ(m_shell.messages.last(), QStringLiteral("Failed to get the image."));
    EXPECT_EQ(readAll(earlier.fileName()), QByteArray("earlier"));
}

TEST_F(SingleTileTest, RefusalAndResetEndInTheSameFailure)
{
    tileserver::Options options;
    options.refuseFromRequest = 1;
    options.refuseStatus = 403;
    m_server.setOptions(options);
    enter(QStringLiteral("4"), QStringLiteral("5"), QStringLiteral("3"), m_folder);
    pressAndWait();

    options = {};
    options.resetRequests = {2};
    m_server.setOptions(options);
    pressAndWait();

    EXPECT_EQ(m_shell.messages, QStringList({QStringLiteral("Failed to get the image."),
                                             QStringLiteral("Failed to get the image.")}));
    EXPECT_FALSE(QFile::exists(m_folder + QStringLiteral("/4_5.jpg")));
}

TEST_F(SingleTileTest, SuccessReplacesAnExistingFile)
{
    ASSERT_TRUE(QDir().mkdir(m_folder));
    QFile earlier(m_folder + QStringLiteral("/7_1.jpg"));
    ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
    earlier.write(QByteArray(50000, 'x')); // longer than the tile: no stale tail may remain
    earlier.close();

    enter(QStringLiteral("7"), QStringLiteral("1"), QStringLiteral("3"), m_folder);
    pressAndWait();
    ASSERT_EQ(m_shell.messages.size(), 1);
    EXPECT_TRUE(m_shell.messages[0].startsWith(QStringLiteral("Image is saved to ")));
    const auto requests = m_server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string quadkey = requests[0].target.substr(
        requests[0].target.find("/tiles/a") + 8, 3);
    EXPECT_EQ(readAll(earlier.fileName()), bytes(TileServer::tileBody(quadkey)));
}

TEST_F(SingleTileTest, ZoomTypedBeyondTheSpinRangeIsUsedAsTyped)
{
    enter(QStringLiteral("4"), QStringLiteral("5"), QStringLiteral("30"), m_folder);
    pressAndWait();
    const auto requests = m_server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const QString quadkey = MakeQuadkey(4, 5, 30);
    ASSERT_EQ(quadkey.size(), 30);
    EXPECT_NE(requests[0].target.find("/tiles/a" + quadkey.toStdString() + ".jpeg?g=14913"),
              std::string::npos)
        << requests[0].target;
    EXPECT_EQ(edit("Edit3")->text(), QStringLiteral("30"));
}

TEST_F(SingleTileTest, ProxyCredentialsReachTheProxy)
{
    m_context.proxyUsername = QStringLiteral("ann");
    m_context.proxyPassword = QStringLiteral("p:ss");
    enter(QStringLiteral("4"), QStringLiteral("5"), QStringLiteral("3"), m_folder);
    pressAndWait();
    const auto requests = m_server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].proxyAuthorization,
              "Basic " + QByteArray("ann:p:ss").toBase64().toStdString());
    EXPECT_EQ(requests[0].host.rfind("ecn.t1.", 0), 0u) << requests[0].host;
}

TEST_F(SingleTileTest, ProxyPortThatIsNotANumberEndsThePressWithoutARequest)
{
    m_context.proxyPort = QStringLiteral("80a");
    enter(QStringLiteral("4"), QStringLiteral("5"), QStringLiteral("3"), m_folder);
    pressAndWait();
    EXPECT_EQ(m_shell.messages, QStringList{QStringLiteral("'80a' is not a valid integer value")});
    EXPECT_EQ(m_server.requestCount(), 0);
}

TEST_F(SingleTileTest, ProviderIsAskedAtEveryPress)
{
    enter(QStringLiteral("4"), QStringLiteral("5"), QStringLiteral("3"), m_folder);
    pressAndWait();
    m_context.tileVersion = QStringLiteral("15000");
    pressAndWait();
    const auto requests = m_server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[0].target.find("?g=14913"), std::string::npos);
    EXPECT_NE(requests[1].target.find("?g=15000"), std::string::npos);
}

TEST_F(SingleTileTest, SecondPressWhileFetchingDoesNothingAndTheWindowResponds)
{
    tileserver::Options options;
    options.delayMs = 1200;
    m_server.setOptions(options);
    enter(QStringLiteral("4"), QStringLiteral("5"), QStringLiteral("3"), m_folder);

    QElapsedTimer clock;
    clock.start();
    button("Button1")->click();
    EXPECT_LT(clock.elapsed(), 600) << "the press must not wait for the fetch";
    EXPECT_TRUE(m_dialog->isDownloading());
    EXPECT_FALSE(button("Button1")->isEnabled());

    // Events keep flowing while the tile is on its way; presses in that time do nothing.
    bool timerFired = false;
    QTimer::singleShot(50, m_dialog.get(), [&] { timerFired = true; });
    ASSERT_TRUE(waitUntil([&] { return timerFired; }, 1000));
    EXPECT_TRUE(m_dialog->isDownloading());
    button("Button1")->click();
    m_dialog->Button1Click();

    ASSERT_TRUE(waitUntil([&] { return !m_dialog->isDownloading(); }, 10000));
    waitUntil([] { return false; }, 300); // give a stray second fetch time to show itself
    EXPECT_EQ(m_shell.messages, QStringList{QStringLiteral("Image is saved to ") + m_folder +
                                            QStringLiteral("/")});
    EXPECT_EQ(m_server.requestCount(), 1);
    EXPECT_TRUE(button("Button1")->isEnabled());
}

TEST_F(SingleTileTest, StalledServerTimesOutIntoFailure)
{
    tileserver::Options options;
    options.delayMs = 8000;
    m_server.setOptions(options);
    m_dialog->setFetchTimeouts(1000, 1000);
    enter(QStringLiteral("4"), QStringLiteral("5"), QStringLiteral("3"), m_folder);

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
    enter(QStringLiteral("4"), QStringLiteral("5"), QStringLiteral("3"), m_folder);
    button("Button1")->click();
    ASSERT_TRUE(m_dialog->isDownloading());
    m_dialog.reset();

    // The fetch ends on its own thread; its outcome has nobody left to tell.
    ASSERT_TRUE(waitUntil([&] { return m_server.requestCount() == 1; }, 3000));
    waitUntil([] { return false; }, 1500);
    EXPECT_TRUE(m_shell.messages.isEmpty());
}

TEST_F(SingleTileTest, BrowseButtonSetsTheFolderOnlyWhenOneIsChosen)
{
    edit("Edit6")->setText(QStringLiteral("/kept"));
    button("Button2")->click();
    EXPECT_EQ(edit("Edit6")->text(), QStringLiteral("/kept"));
    m_shell.answers.push_back(QStringLiteral("/srv/one"));
    button("Button2")->click();
    EXPECT_EQ(edit("Edit6")->text(), QStringLiteral("/srv/one"));
    EXPECT_EQ(m_shell.browseTitles, QStringList({QStringLiteral("Select path to save"),
                                                 QStringLiteral("Select path to save")}));
}

// The steps without the window.

TEST(SingleTileFetchTest, PrepareBuildsUrlFileAndProxyFromTheEntries)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    SingleTileContext context;
    context.useProxy = true;
    context.proxyServer = QStringLiteral("proxy.local");
    context.proxyPort = QStringLiteral("$1F90"); // read as the program reads integers: 8080
    context.proxyUsername = QStringLiteral("u");
    context.proxyPassword = QStringLiteral("p");
    context.tileVersion = QStringLiteral("7");

    SingleTileFetch fetch;
    ASSERT_TRUE(fetch.prepare({QStringLiteral("4"), QStringLiteral(" 5"), QStringLiteral("3"),
                               dir.path()},
                              context))
        << fetch.message().toStdString();
    EXPECT_TRUE(fetch.message().isEmpty());
    EXPECT_EQ(fetch.folder(), dir.path() + "/");
    EXPECT_EQ(fetch.filePath(), dir.path() + "/4_5.jpg");
    EXPECT_NE(fetch.url().find("ecn.t1."), std::string::npos);
    const std::string tail = "/tiles/a120.jpeg?g=7";
    ASSERT_GT(fetch.url().size(), tail.size());
    EXPECT_EQ(fetch.url().substr(fetch.url().size() - tail.size()), tail) << fetch.url();
    ASSERT_TRUE(fetch.usesProxy());
    EXPECT_EQ(fetch.proxy().host, "proxy.local");
    EXPECT_EQ(fetch.proxy().port, 8080);
    EXPECT_EQ(fetch.proxy().username, "u");
    EXPECT_EQ(fetch.proxy().password, "p");

    // Without the proxy its port text is never looked at; negative entries pass as typed.
    context.useProxy = false;
    context.proxyPort = QStringLiteral("not a port");
    ASSERT_TRUE(fetch.prepare({QStringLiteral("-1"), QStringLiteral("0"), QStringLiteral("1"),
                               dir.path()},
                              context));
    EXPECT_FALSE(fetch.usesProxy());
    EXPECT_EQ(fetch.filePath(), dir.path() + "/-1_0.jpg");
}

TEST(SingleTileFetchTest, FailureToSaveIsReportedAsAFailedFetch)
{
    ensureApplication();
    TileServer server;
    SingleTileContext context;
    context.useProxy = true;
    context.proxyServer = QStringLiteral("127.0.0.1");
    context.proxyPort = QString::number(server.start(0));
    context.tileVersion = QStringLiteral("1");

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString folder = dir.path() + QStringLiteral("/gone");
    SingleTileFetch fetch;
    ASSERT_TRUE(fetch.prepare({QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("2"),
                               folder},
                              context));
    ASSERT_TRUE(QDir(folder).exists());
    ASSERT_TRUE(QDir(folder).removeRecursively());

    EXPECT_EQ(fetch.fetchAndSave(), QStringLiteral("Failed to get the image."));
    EXPECT_EQ(server.requestCount(), 1) << "the tile was fetched; only the save failed";
    EXPECT_FALSE(QDir(folder).exists());
}

TEST(SingleTileFetchTest, UnpreparedFetchFailsWithoutARequest)
{
    SingleTileFetch fetch;
    EXPECT_EQ(fetch.fetchAndSave(), QStringLiteral("Failed to get the image."));
    EXPECT_FALSE(fetch.prepare({QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("1"),
                                QString()},
                               SingleTileContext{}));
    EXPECT_EQ(fetch.message(), QStringLiteral("Please select path to save images."));
    EXPECT_EQ(fetch.fetchAndSave(), QStringLiteral("Failed to get the image."));
}

} // namespace
} // namespace tavo
