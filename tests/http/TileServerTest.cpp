#include "TileServer.h"
#include "NetTestSupport.h"
#include "http/HttpClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

using tavo::http::HttpClient;
using tavo::http::HttpError;
using tavo::tileserver::Options;
using tavo::tileserver::TileServer;

namespace {

// The marker structure of a JPEG file up to its scan: the comment payloads and
// the file with every comment segment left out. `valid` only when the file
// starts with SOI, every segment length stays inside the file, a scan
// follows, and the file ends with EOI.
struct JpegLayout
{
    bool valid = false;
    std::vector<std::string> comments;
    std::string withoutComments;
};

JpegLayout readLayout(const std::string& bytes)
{
    JpegLayout layout;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8)
        return layout;
    layout.withoutComments = bytes.substr(0, 2);
    std::size_t pos = 2;
    while (pos + 4 <= bytes.size()) {
        if (byte(pos) != 0xFF)
            return layout;
        const unsigned char marker = byte(pos + 1);
        const std::size_t length = (std::size_t(byte(pos + 2)) << 8) | byte(pos + 3);
        if (length < 2 || pos + 2 + length > bytes.size())
            return layout;
        if (marker == 0xFE)
            layout.comments.push_back(bytes.substr(pos + 4, length - 2));
        else
            layout.withoutComments += bytes.substr(pos, 2 + length);
        if (marker == 0xDA) { // start of scan: entropy-coded data up to EOI
            layout.withoutComments += bytes.substr(pos + 2 + length);
            layout.valid = byte(bytes.size() - 2) == 0xFF && byte(bytes.size() - 1) == 0xD9;
            return layout;
        }
        pos += 2 + length;
    }
    return layout;
}

std::string trimRight(std::string text)
{
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

class TileServerTest : public ::testing::Test
{
protected:
    void SetUp() override { m_port = m_server.start(); }
    std::string url(const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }
    // Fetches with a new client; returns the body or "error: <message>".
    std::string fetch(const std::string& path) const
    {
        HttpClient client;
        std::string body;
        try {
            client.get(url(path), body);
        } catch (const HttpError& error) {
            return std::string("error: ") + error.what();
        }
        return body;
    }

    TileServer m_server;
    int m_port = 0;
};

} // namespace

TEST(TileBody, IsAJpegThatNamesItsQuadkey)
{
    for (const std::string quadkey : {"", "0", "120", "0123012301230123012"}) {
        const std::string body = TileServer::tileBody(quadkey);
        const JpegLayout layout = readLayout(body);
        ASSERT_TRUE(layout.valid) << quadkey;
        ASSERT_EQ(layout.comments.size(), 1u);
        EXPECT_EQ(layout.comments[0], "tile " + quadkey);
        EXPECT_LT(body.size(), 1000u); // small by default
    }
    EXPECT_NE(TileServer::tileBody("120"), TileServer::tileBody("121"));
    EXPECT_NE(TileServer::tileBody("1"), TileServer::tileBody("10"));
    EXPECT_EQ(TileServer::tileBody("120"), TileServer::tileBody("120"));
}

TEST(TileBody, IsPaddedToExactlyTheRequestedSize)
{
    const std::string quadkey = "0231";
    const std::string unpadded = TileServer::tileBody(quadkey);
    const std::string image = readLayout(unpadded).withoutComments;
    const std::size_t base = unpadded.size();
    // Sizes around the point where one comment segment is full (65533 bytes
    // of data) and the next one needs its own 4-byte header.
    const std::size_t fullFirst = base + (65533 - (5 + quadkey.size()));
    for (std::size_t size : {base + 1, base + 3, base + 4, base + 5, std::size_t(15000),
                             fullFirst - 1, fullFirst, fullFirst + 1, fullFirst + 2, fullFirst + 3,
                             fullFirst + 4, fullFirst + 5, std::size_t(300000)}) {
        const std::string body = TileServer::tileBody(quadkey, size);
        ASSERT_EQ(body.size(), size);
        const JpegLayout layout = readLayout(body);
        ASSERT_TRUE(layout.valid) << size;
        EXPECT_EQ(layout.withoutComments, image) << size;
        ASSERT_FALSE(layout.comments.empty());
        EXPECT_EQ(trimRight(layout.comments[0]), "tile " + quadkey);
    }
    // A size below the image itself does not cut the image.
    EXPECT_EQ(TileServer::tileBody(quadkey, 10), unpadded);
}

TEST_F(TileServerTest, ServesEachQuadkeyItsOwnTile)
{
    EXPECT_EQ(fetch("/tiles/a120.jpeg?g=7"), TileServer::tileBody("120"));
    EXPECT_EQ(fetch("/tiles/a0.jpeg"), TileServer::tileBody("0"));
    EXPECT_EQ(fetch("/any/where/a3021.jpeg?g=1&x=2"), TileServer::tileBody("3021"));

    Options options;
    options.tileSize = 15000;
    m_server.setOptions(options);
    EXPECT_EQ(fetch("/tiles/a120.jpeg?g=7"), TileServer::tileBody("120", 15000));

    const std::string raw = tavo::testing::rawExchange(
        m_port, "GET /tiles/a12.jpeg?g=1 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(raw.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << raw.substr(0, 200);
    EXPECT_NE(raw.find("Content-Type: image/jpeg\r\n"), std::string::npos);
}

TEST_F(TileServerTest, AnswersUnknownTargetsAndMissingTilesWith404)
{
    Options options;
    options.notFoundQuadkeys = {"121"};
    m_server.setOptions(options);
    EXPECT_EQ(fetch("/tiles/a121.jpeg?g=1"), "error: HTTP/1.1 404 Not Found");
    EXPECT_EQ(fetch("/tiles/a120.jpeg?g=1"), TileServer::tileBody("120"));
    for (const char* path :
         {"/", "/tiles/b120.jpeg", "/tiles/a12x.jpeg", "/tiles/a120.png", "/tiles/a120.jpeg/more"})
        EXPECT_EQ(fetch(path), "error: HTTP/1.1 404 Not Found") << path;
}

TEST_F(TileServerTest, ServesTheParametersFileOnlyWhenItHasOne)
{
    EXPECT_EQ(fetch("/s.txt"), "error: HTTP/1.1 404 Not Found");
    Options options;
    options.paramsBody = std::string("1,2,3,4,5,6,123,8\r\nsecond line\r\n\0\xff", 34);
    m_server.setOptions(options);
    EXPECT_EQ(fetch("/s.txt"), options.paramsBody);
    EXPECT_EQ(fetch("/dl/s.txt"), options.paramsBody);
}

TEST_F(TileServerTest, RefusesFromTheGivenRequestOn)
{
    Options options;
    options.refuseFromRequest = 3;
    m_server.setOptions(options);
    EXPECT_EQ(fetch("/tiles/a1.jpeg"), TileServer::tileBody("1"));
    EXPECT_EQ(fetch("/tiles/a2.jpeg"), TileServer::tileBody("2"));
    EXPECT_EQ(fetch("/tiles/a3.jpeg"), "error: HTTP/1.1 403 Forbidden");
    EXPECT_EQ(fetch("/s.txt"), "error: HTTP/1.1 403 Forbidden");

    options.refuseStatus = 302;
    m_server.setOptions(options);
    const std::string raw = tavo::testing::rawExchange(
        m_port, "GET /tiles/a1.jpeg HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(raw.rfind("HTTP/1.1 302 Found\r\n", 0), 0u) << raw.substr(0, 200);
    EXPECT_NE(raw.find("\r\nLocation: http://127.0.0.1:"), std::string::npos);
}

TEST_F(TileServerTest, RecordsRequestsAndNumbersThemFromOneAfterClearing)
{
    tavo::testing::rawExchange(m_port,
                               "GET http://tile2.example.test/tiles/a3.jpeg?g=9 HTTP/1.1\r\n"
                               "Host: tile2.example.test\r\n"
                               "Proxy-Authorization: Basic eDp5\r\n"
                               "Connection: close\r\n\r\n");
    fetch("/tiles/a2.jpeg");
    const auto requests = m_server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, "http://tile2.example.test/tiles/a3.jpeg?g=9");
    EXPECT_EQ(requests[0].host, "tile2.example.test");
    EXPECT_EQ(requests[0].proxyAuthorization, "Basic eDp5");
    EXPECT_EQ(requests[1].target, "/tiles/a2.jpeg");
    EXPECT_EQ(requests[1].host, "127.0.0.1:" + std::to_string(m_port));
    EXPECT_EQ(requests[1].proxyAuthorization, "");
    EXPECT_EQ(m_server.connectionCount(), 2);

    // Numbering restarts: "the second request" means the second after clearing.
    Options options;
    options.refuseFromRequest = 2;
    m_server.setOptions(options);
    m_server.clearRequests();
    EXPECT_EQ(m_server.requestCount(), 0);
    EXPECT_EQ(fetch("/tiles/a1.jpeg"), TileServer::tileBody("1"));
    EXPECT_EQ(fetch("/tiles/a1.jpeg"), "error: HTTP/1.1 403 Forbidden");
    EXPECT_EQ(m_server.requestCount(), 2);
}

TEST_F(TileServerTest, ServesManyConnectionsInParallel)
{
    Options options;
    options.delayMs = 500;
    m_server.setOptions(options);
    constexpr int kClients = 12;
    std::atomic<int> served{0};
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back([&, i] {
            const std::string quadkey = std::to_string(i % 4) + "1";
            if (fetch("/tiles/a" + quadkey + ".jpeg") == TileServer::tileBody(quadkey))
                ++served;
        });
    for (auto& client : clients)
        client.join();
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(served.load(), kClients);
    // One after another they would need 6 s; a short listen backlog shows as
    // one-second connect retries.
    EXPECT_LT(elapsed, std::chrono::milliseconds(1400));
}

TEST_F(TileServerTest, StopsPromptlyWithIdleAndWaitingConnections)
{
    HttpClient idle;
    std::string body;
    idle.get(url("/tiles/a1.jpeg"), body); // keeps its connection open

    Options options;
    options.delayMs = 20000;
    m_server.setOptions(options);
    std::string waitingResult = "not finished";
    std::thread waiting([&] { waitingResult = fetch("/tiles/a2.jpeg"); });
    while (m_server.requestCount() < 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));

    const auto started = std::chrono::steady_clock::now();
    m_server.stop();
    waiting.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_EQ(waitingResult.rfind("error: ", 0), 0u) << waitingResult;
    EXPECT_EQ(m_server.port(), 0);
    EXPECT_LT(tavo::testing::connectLoopback(m_port), 0);
    m_server.stop(); // a second stop does nothing
}

TEST_F(TileServerTest, CannotStartTwiceOrOnABusyPort)
{
    EXPECT_THROW(m_server.start(), std::runtime_error);
    TileServer second;
    EXPECT_THROW(second.start(m_port), std::runtime_error);
    EXPECT_EQ(second.port(), 0);

    // A stopped server starts again, on the port it is given.
    m_server.stop();
    EXPECT_EQ(m_server.start(m_port), m_port);
    EXPECT_EQ(fetch("/tiles/a2.jpeg"), TileServer::tileBody("2"));
}
