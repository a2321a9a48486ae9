#include "files/ServerParams.h"
#include "engine/AppError.h"

#include "FileTestSupport.h"
#include "TileServer.h"

#include <QDir>

#include <string>

using namespace tavo;
using namespace tavo::testing;

namespace {

const char ParamsBody[] = "8.07,1,4,256,256,20,15001,0\r\n\x00\xff tail\n";

QString versionOf(const TempFolder& folder, const QByteArray& content)
{
    const QString path = folder.path("s.txt");
    writeBytes(path, content);
    return ReadTileVersion(path);
}

} // namespace

TEST(ServerParams, TileVersionIsTheSeventhFieldOfTheFirstLine)
{
    TempFolder folder;
    EXPECT_EQ(versionOf(folder, "a,b,c,d,e,f,123"), QStringLiteral("123"));
    EXPECT_EQ(versionOf(folder, "a,b,c,d,e,f, 123 ,h\r\n"), QStringLiteral(" 123 "));
    EXPECT_EQ(versionOf(folder, "1,2,3,4,5,6,77,8\r\n9,9,9,9,9,9,99\r\n"), QStringLiteral("77"));
    EXPECT_EQ(versionOf(folder, "1,2,3,4,5,6,\"7\"\n"), QStringLiteral("\"7\""));
    EXPECT_EQ(versionOf(folder, ",,,,,,x\r"), QStringLiteral("x"));
    EXPECT_EQ(versionOf(folder, "1,2,3,4,5,6,,"), QString()); // two trailing commas
    EXPECT_EQ(versionOf(folder, "1,2,3,4,5,6,7,"), QStringLiteral("7"));
    // The copy shipped in ini/ holds a version number.
    const QString shipped = ReadTileVersion(QStringLiteral(TAVO_SOURCE_DIR "/ini/s.txt"));
    EXPECT_GT(shipped.toInt(), 0) << shipped.toStdString();
}

TEST(ServerParams, TileVersionErrors)
{
    TempFolder folder;
    const QString path = folder.path("s.txt");
    auto errorFor = [&](const QByteArray& content) {
        writeBytes(path, content);
        return appErrorText([&] { ReadTileVersion(path); });
    };
    EXPECT_EQ(errorFor(""), QStringLiteral("List index out of bounds (0)"));
    EXPECT_EQ(errorFor("1,2,3,4,5,6"), QStringLiteral("List index out of bounds (6)"));
    EXPECT_EQ(errorFor("1,2,3,4,5,6,"), QStringLiteral("List index out of bounds (6)"));
    EXPECT_EQ(errorFor("\r\n1,2,3,4,5,6,7\r\n"), QStringLiteral("List index out of bounds (6)"));
    const QString missing = folder.path("missing.txt");
    EXPECT_EQ(appErrorText([&] { ReadTileVersion(missing); }),
              QStringLiteral("Cannot open file ") + missing);
}

class FetchServerParamsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // An environment proxy that leads nowhere must not be used.
        for (const char* name : {"http_proxy", "HTTP_PROXY", "ALL_PROXY", "all_proxy"}) {
            m_savedEnv.emplace_back(name, qgetenv(name));
            qputenv(name, "http://127.0.0.1:9");
        }
        m_server.setOptions(options(m_body));
        m_port = m_server.start();
        writeBytes(m_path, "old,copy\r\n");
    }
    void TearDown() override
    {
        m_server.stop();
        for (const auto& [name, value] : m_savedEnv) {
            if (value.isNull())
                qunsetenv(name);
            else
                qputenv(name, value);
        }
    }
    static tileserver::Options options(const std::string& body)
    {
        tileserver::Options o;
        o.paramsBody = body;
        return o;
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/tavo/s.txt").arg(m_port); }

    const std::string m_body = std::string(ParamsBody, sizeof ParamsBody - 1);
    TempFolder m_folder;
    const QString m_path = m_folder.path("s.txt");
    tileserver::TileServer m_server;
    int m_port = 0;
    std::vector<std::pair<const char*, QByteArray>> m_savedEnv;
};

TEST_F(FetchServerParamsTest, StoresTheBodyByteForByte)
{
    EXPECT_EQ(FetchServerParams(url(), m_path), FetchOutcome::Fetched);
    EXPECT_EQ(readBytes(m_path), QByteArray(m_body.data(), qsizetype(m_body.size())));
    EXPECT_EQ(ReadTileVersion(m_path), QStringLiteral("15001"));
    ASSERT_EQ(m_server.requestCount(), 1);
    EXPECT_EQ(m_server.requests().front().target, "/tavo/s.txt"); // asked directly
}

TEST_F(FetchServerParamsTest, FailuresLeaveTheCopyAlone)
{
    m_server.setOptions(options("")); // 404
    EXPECT_EQ(FetchServerParams(url(), m_path), FetchOutcome::Failed);
    EXPECT_EQ(readBytes(m_path), QByteArray("old,copy\r\n"));

    m_server.stop(); // nothing listens on the port any more
    EXPECT_EQ(FetchServerParams(url(), m_path), FetchOutcome::Failed);
    EXPECT_EQ(readBytes(m_path), QByteArray("old,copy\r\n"));
}

TEST_F(FetchServerParamsTest, AnAnswerWithoutATileVersionKeepsTheGoodCopy)
{
    const char* bad[] = {
        "", "<html><body>Service unavailable</body></html>\r\n", "1,2,3,4,5,6\r\n7,8,9\r\n",
        "1,2,3,4,5,6,\r\n", "\r\n1,2,3,4,5,6,7\r\n",
        // A one-line page whose first line happens to hold six commas.
        "<meta content=\"width=device-width, initial-scale=1\"><script>var "
        "t=[1,2,3,4,5,6];</script>\r\n",
        "1,2,3,4,5,6,,\r\n", "1,2,3,4,5,6,15001a\r\n", "1,2,3,4,5,6, 15001\r\n"};
    for (const char* body : bad) {
        tileserver::Options o = options(body);
        o.paramsEmptyIs200 = true;
        m_server.setOptions(o);
        EXPECT_EQ(FetchServerParams(url(), m_path), FetchOutcome::Failed) << body;
        EXPECT_EQ(readBytes(m_path), QByteArray("old,copy\r\n")) << body;
    }
    m_server.setOptions(options("1,2,3,4,5,6,7\r\n"));
    EXPECT_EQ(FetchServerParams(url(), m_path), FetchOutcome::Fetched);
    EXPECT_EQ(ReadTileVersion(m_path), QStringLiteral("7"));
}

TEST_F(FetchServerParamsTest, UnwritableCopyIsCannotCreateFile)
{
    const QString target = m_folder.path("ini/s.txt"); // folder missing
    EXPECT_EQ(appErrorText([&] { FetchServerParams(url(), target); }),
              QStringLiteral("Cannot create file ") + target);
    EXPECT_FALSE(QDir(m_folder.path("ini")).exists());
}
