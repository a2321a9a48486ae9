#include "NetTestSupport.h"
#include "TileServer.h"
#include "http/HttpClient.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using tavo::http::HttpClient;
using tavo::http::HttpError;
using tavo::tileserver::TileServer;

namespace {

const char kTinyproxy[] = "/usr/bin/tinyproxy";

// A tinyproxy in the foreground that forwards every request to an upstream
// proxy on 127.0.0.1, with Basic authentication. Stopped when destroyed.
class Tinyproxy final
{
public:
    Tinyproxy(int upstreamPort, const std::string& user, const std::string& password)
    {
        char folder[] = "/tmp/tavo-tinyproxy-XXXXXX";
        if (!mkdtemp(folder))
            return;
        m_folder = folder;
        chmod(folder, 0755);
        m_port = tavo::testing::unusedPort();
        const std::string config = m_folder + "/tinyproxy.conf";
        {
            std::ofstream out(config);
            if (geteuid() == 0) // it refuses to run as root
                out << "User nobody\nGroup nogroup\n";
            out << "Port " << m_port << "\n"
                << "Listen 127.0.0.1\n"
                << "Timeout 20\n"
                << "MaxClients 16\n"
                << "LogLevel Info\n"
                << "BasicAuth " << user << " " << password << "\n"
                << "Upstream http 127.0.0.1:" << upstreamPort << "\n";
        }
        chmod(config.c_str(), 0644);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string log = m_folder + "/tinyproxy.log";
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::string program = kTinyproxy;
        std::string foreground = "-d", configFlag = "-c";
        char* argv[] = {program.data(), foreground.data(), configFlag.data(),
                        const_cast<char*>(config.c_str()), nullptr};
        if (posix_spawn(&m_pid, kTinyproxy, &actions, nullptr, argv, environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        if (m_pid > 0)
            m_ready = tavo::testing::waitForListener(m_port, std::chrono::seconds(5));
    }
    ~Tinyproxy()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status = 0;
            waitpid(m_pid, &status, 0);
        }
        if (!m_folder.empty()) {
            std::remove((m_folder + "/tinyproxy.conf").c_str());
            std::remove((m_folder + "/tinyproxy.log").c_str());
            rmdir(m_folder.c_str());
        }
    }
    Tinyproxy(const Tinyproxy&) = delete;
    Tinyproxy& operator=(const Tinyproxy&) = delete;

    bool ready() const { return m_ready; }
    int port() const { return m_port; }
    std::string log() const
    {
        std::ifstream in(m_folder + "/tinyproxy.log");
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::string m_folder;
    int m_port = 0;
    pid_t m_pid = -1;
    bool m_ready = false;
};

} // namespace

TEST(Tinyproxy, FetchesThroughARealProxyOnlyWithItsCredentials)
{
    if (access(kTinyproxy, X_OK) != 0)
        GTEST_SKIP() << "tinyproxy is not installed";
    TileServer server;
    const int serverPort = server.start();
    Tinyproxy proxy(serverPort, "tavo", "secret");
    ASSERT_TRUE(proxy.ready()) << proxy.log();

    const std::string tileUrl = "http://tile1.example.test/tiles/a0321.jpeg?g=9";
    std::string body;
    HttpClient client;
    client.setProxy({"127.0.0.1", proxy.port(), "tavo", "secret"});
    client.get(tileUrl, body);
    EXPECT_EQ(body, TileServer::tileBody("0321"));
    client.get("http://tile2.example.test/tiles/a0322.jpeg?g=9", body);
    EXPECT_EQ(body, TileServer::tileBody("0322"));

    HttpClient anonymous;
    anonymous.setProxy({"127.0.0.1", proxy.port(), "", ""});
    try {
        anonymous.get(tileUrl, body);
        ADD_FAILURE() << "the proxy let an unauthenticated request through";
    } catch (const HttpError& error) {
        EXPECT_EQ(error.kind(), HttpError::Kind::Status);
        EXPECT_EQ(error.code(), 407);
        EXPECT_EQ(std::string(error.what()).rfind("HTTP/1.", 0), 0u) << error.what();
        EXPECT_NE(std::string(error.what()).find(" 407 "), std::string::npos) << error.what();
    }
    EXPECT_TRUE(body.empty());

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u) << proxy.log();
    // tinyproxy forwards the absolute target, spelling out the default port.
    const std::string target = requests[0].target;
    EXPECT_EQ(target.rfind("http://tile1.example.test", 0), 0u) << target;
    EXPECT_NE(target.find("/tiles/a0321.jpeg?g=9"), std::string::npos) << target;
    EXPECT_EQ(requests[0].host, "tile1.example.test");
}
