#include "TileServer.h"
#include "WorldTiles.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <csignal>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tavo::tileserver {

namespace {

// A 256 x 256 baseline JFIF image of one flat olive colour, 670 bytes.
const unsigned char kTileImage[] = {
    0xff, 0xd8, 0xff, 0xe0, 0x00, 0x10, 0x4a, 0x46, 0x49, 0x46, 0x00, 0x01, 0x01, 0x00, 0x00, 0x01,
    0x00, 0x01, 0x00, 0x00, 0xff, 0xdb, 0x00, 0x43, 0x00, 0x10, 0x0b, 0x0c, 0x0e, 0x0c, 0x0a, 0x10,
    0x0e, 0x0d, 0x0e, 0x12, 0x11, 0x10, 0x13, 0x18, 0x28, 0x1a, 0x18, 0x16, 0x16, 0x18, 0x31, 0x23,
    0x25, 0x1d, 0x28, 0x3a, 0x33, 0x3d, 0x3c, 0x39, 0x33, 0x38, 0x37, 0x40, 0x48, 0x5c, 0x4e, 0x40,
    0x44, 0x57, 0x45, 0x37, 0x38, 0x50, 0x6d, 0x51, 0x57, 0x5f, 0x62, 0x67, 0x68, 0x67, 0x3e, 0x4d,
    0x71, 0x79, 0x70, 0x64, 0x78, 0x5c, 0x65, 0x67, 0x63, 0xff, 0xdb, 0x00, 0x43, 0x01, 0x11, 0x12,
    0x12, 0x18, 0x15, 0x18, 0x2f, 0x1a, 0x1a, 0x2f, 0x63, 0x42, 0x38, 0x42, 0x63, 0x63, 0x63, 0x63,
    0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63,
    0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63,
    0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0xff, 0xc0,
    0x00, 0x11, 0x08, 0x01, 0x00, 0x01, 0x00, 0x03, 0x01, 0x22, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11,
    0x01, 0xff, 0xc4, 0x00, 0x15, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0xff, 0xc4, 0x00, 0x14, 0x10, 0x01, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff, 0xc4,
    0x00, 0x16, 0x01, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x03, 0x04, 0xff, 0xc4, 0x00, 0x14, 0x11, 0x01, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff, 0xda, 0x00, 0x0c,
    0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3f, 0x00, 0x90, 0x06, 0x64, 0x40, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xff, 0xd9,
};

constexpr std::size_t kMaxCommentData = 65533; // a segment length field counts itself

// Where the comment segments go: after the JFIF APP0 segment when there is one
// (keeps the file a conforming JFIF), else right after SOI.
std::size_t commentInsertOffset()
{
    if (sizeof kTileImage > 4 && kTileImage[2] == 0xFF && kTileImage[3] == 0xE0)
        return 4 + ((std::size_t(kTileImage[4]) << 8) | kTileImage[5]);
    return 2;
}

void appendCommentSegment(std::string& out, const std::string& text, std::size_t dataSize)
{
    const std::size_t length = dataSize + 2;
    out.push_back(char(0xFF));
    out.push_back(char(0xFE));
    out.push_back(char((length >> 8) & 0xFF));
    out.push_back(char(length & 0xFF));
    const std::size_t textPart = std::min(text.size(), dataSize);
    out.append(text, 0, textPart);
    out.append(dataSize - textPart, ' ');
}

bool isQuadkey(const std::string& text)
{
    for (char c : text)
        if (c < '0' || c > '3')
            return false;
    return true;
}

// What a request asks for, judged by the last segment of its path.
struct Target
{
    enum class Kind
    {
        Tile,
        Params,
        Other
    } kind = Kind::Other;
    std::string quadkey;
};

Target parseTarget(const std::string& target)
{
    std::string path = target.substr(0, target.find_first_of("?#"));
    // Absolute form, as sent to a proxy: drop "scheme://authority".
    const std::size_t scheme = path.find("://");
    if (scheme != std::string::npos && path.find('/') > scheme) {
        const std::size_t slash = path.find('/', scheme + 3);
        path = slash == std::string::npos ? std::string("/") : path.substr(slash);
    }
    const std::string last = path.substr(path.rfind('/') + 1);

    Target result;
    static const std::string kSuffix = ".jpeg";
    if (last.size() > kSuffix.size() && last[0] == 'a' &&
        last.compare(last.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0) {
        std::string quadkey = last.substr(1, last.size() - 1 - kSuffix.size());
        if (isQuadkey(quadkey)) {
            result.kind = Target::Kind::Tile;
            result.quadkey = std::move(quadkey);
        }
    } else if (last == "s.txt") {
        result.kind = Target::Kind::Params;
    }
    return result;
}

bool sameInet4Port(const sockaddr_storage& address, int port)
{
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port) == port;
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port) == port;
    return false;
}

// The server's socket of the connection localPort <-> remotePort. The HTTP
// library does not hand sockets to handlers, so look through this process's
// descriptors for the one with that address pair. -1 if there is none.
int findConnectionSocket(int localPort, int remotePort)
{
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int found = -1;
    while (dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == dirfd(dir))
            continue;
        sockaddr_storage local{}, peer{};
        socklen_t localLength = sizeof local, peerLength = sizeof peer;
        if (getsockname(int(fd), reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
            !sameInet4Port(local, localPort))
            continue;
        if (getpeername(int(fd), reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 ||
            !sameInet4Port(peer, remotePort))
            continue;
        found = int(fd);
        break;
    }
    closedir(dir);
    return found;
}

// Aborts a TCP connection: disconnecting a connected socket sends RST to the
// peer, which sees "connection reset by peer". The descriptor stays open (the
// HTTP library still owns it and closes it later), so it cannot be reused
// under the library's feet.
bool resetConnection(int localPort, int remotePort)
{
    const int fd = findConnectionSocket(localPort, remotePort);
    if (fd < 0)
        return false;
    sockaddr unspecified{};
    unspecified.sa_family = AF_UNSPEC;
    return connect(fd, &unspecified, sizeof unspecified) == 0;
}

// Shuts down every connection the server still has open on `port`, so that
// threads idling in keep-alive waits notice at once.
void shutDownConnections(int port)
{
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return;
    while (dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == dirfd(dir))
            continue;
        sockaddr_storage local{}, peer{};
        socklen_t localLength = sizeof local, peerLength = sizeof peer;
        if (getsockname(int(fd), reinterpret_cast<sockaddr*>(&local), &localLength) == 0 &&
            sameInet4Port(local, port) &&
            getpeername(int(fd), reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0)
            shutdown(int(fd), SHUT_RDWR);
    }
    closedir(dir);
}

constexpr std::size_t kServingThreads = 32;

// "Sun, 06 Nov 1994 08:49:37 GMT"
std::string httpDate(std::time_t when)
{
    std::tm parts{};
    gmtime_r(&when, &parts);
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
    return text;
}

// The Retry-After value of an option: as written, or "date+N" as the date N seconds on.
std::string retryAfterValue(const std::string& option)
{
    static const std::string kDate = "date+";
    if (option.compare(0, kDate.size(), kDate) != 0)
        return option;
    return httpDate(std::time(nullptr) + std::atol(option.c_str() + kDate.size()));
}

// The library listens with a backlog of 5: a burst of connections (eight
// workers starting together) would see dropped SYNs and one-second connect
// retries. This gives access to the listening socket to widen it.
class HttpServer final : public httplib::Server
{
public:
    void widenBacklog() { ::listen(svr_sock_, SOMAXCONN); }
};

} // namespace

std::string TileServer::tileBody(const std::string& quadkey, std::size_t size)
{
    const std::string text = "tile " + quadkey;
    const std::size_t offset = commentInsertOffset();
    const std::size_t unpadded = sizeof kTileImage + 4 + text.size();

    // Data sizes of the comment segments; the first one carries the text.
    std::vector<std::size_t> segments{text.size()};
    if (size > unpadded) {
        std::size_t missing = size - unpadded;
        while (missing > 0) {
            std::size_t& last = segments.back();
            const std::size_t room = kMaxCommentData - last;
            if (missing <= room) {
                last += missing;
                break;
            }
            // Fill this segment, but leave at least a segment header's worth
            // for the next one.
            std::size_t take = room;
            if (missing - take < 4)
                take = missing - 4;
            last += take;
            missing -= take + 4;
            segments.push_back(0);
        }
    }

    std::string body;
    body.reserve(std::max(size, unpadded));
    body.append(reinterpret_cast<const char*>(kTileImage), offset);
    for (std::size_t i = 0; i < segments.size(); ++i)
        appendCommentSegment(body, i == 0 ? text : std::string(), segments[i]);
    body.append(reinterpret_cast<const char*>(kTileImage) + offset, sizeof kTileImage - offset);
    return body;
}

std::string TileServer::htmlBody(std::size_t size)
{
    std::string body = "<!DOCTYPE html>\n<html><head><title>Sign in</title></head>"
                       "<body><p>Please sign in to use this network.</p></body></html>\n";
    if (body.size() < size)
        body.insert(body.size() - 8, size - body.size(), ' ');
    return body;
}

class TileServer::Impl
{
public:
    explicit Impl(Options options) : m_options(std::move(options)) {}

    int start(int port);
    void stop();
    // Returns the request's index in m_requests.
    std::size_t handle(const httplib::Request& request, httplib::Response& response);

    mutable std::mutex m_mutex;
    Options m_options;
    std::vector<RecordedRequest> m_requests;
    std::chrono::steady_clock::time_point m_slowDownWindowStart{};
    bool m_slowDownWindowOpen = false;
    std::set<int> m_clientPorts;
    bool m_stopping = false;
    std::condition_variable m_stopSignal;

    std::unique_ptr<HttpServer> m_server;
    std::thread m_listener;
    int m_port = 0;
};

int TileServer::Impl::start(int port)
{
    if (m_server)
        throw std::runtime_error("tile server already running on port " + std::to_string(m_port));

    // A client that goes away while an answer is written must not kill the
    // process.
    std::signal(SIGPIPE, SIG_IGN);

    auto server = std::make_unique<HttpServer>();
    server->new_task_queue = [] { return new httplib::ThreadPool(kServingThreads); };
    server->set_tcp_nodelay(true);
    // Address reuse only: the library's default also shares the port with
    // any other listener, which would let a second server start on a busy
    // port and take half of its connections.
    server->set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server->set_keep_alive_max_count(1000000);
    const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        const std::size_t index = handle(request, response);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (index < m_requests.size())
            m_requests[index].status = response.status;
    };
    server->Get(".*", handler);
    server->Post(".*", handler);
    server->Put(".*", handler);
    server->Delete(".*", handler);
    server->Options(".*", handler);
    server->Patch(".*", handler);

    int bound = -1;
    if (port == 0)
        bound = server->bind_to_any_port("127.0.0.1");
    else if (server->bind_to_port("127.0.0.1", port))
        bound = port;
    if (bound <= 0)
        throw std::runtime_error("tile server cannot listen on 127.0.0.1:" + std::to_string(port));
    server->widenBacklog();

    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = false;
    }
    m_server = std::move(server);
    m_port = bound;
    m_listener = std::thread([server = m_server.get()] { server->listen_after_bind(); });
    // stop() is only heard once the accept loop runs; wait for it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!m_server->is_running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!m_server->is_running()) {
        stop();
        throw std::runtime_error("tile server did not start on port " + std::to_string(bound));
    }
    return bound;
}

void TileServer::Impl::stop()
{
    if (!m_server)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_stopSignal.notify_all();
    m_server->stop();
    shutDownConnections(m_port);
    if (m_listener.joinable())
        m_listener.join();
    m_server.reset();
    m_port = 0;
}

std::size_t TileServer::Impl::handle(const httplib::Request& request, httplib::Response& response)
{
    const Target target = parseTarget(request.target);

    int delayMs = 0;
    bool reset = false;
    int refuseStatus = 0;
    bool notFound = false;
    enum class Fault
    {
        None,
        Html,
        Empty,
        NoTile,
        Truncated,
        Half,
        Cut,
        Oversized,
        Unrendered
    } fault = Fault::None;
    std::size_t index = 0;
    bool slowDown = false;
    int slowDownStatus = 429;
    std::string retryAfter;
    std::size_t oversizedBytes = 0;
    bool oversizedWithLength = true;
    std::size_t tileSize = 0;
    std::string paramsBody;
    bool paramsEmptyIs200 = false;
    int trickle = 0;
    std::string worldImage;
    bool label = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        RecordedRequest recorded;
        recorded.method = request.method;
        recorded.target = request.target;
        recorded.host = request.get_header_value("Host");
        recorded.proxyAuthorization = request.get_header_value("Proxy-Authorization");
        recorded.userAgent = request.get_header_value("User-Agent");
        recorded.clientPort = request.remote_port;
        recorded.arrived = std::chrono::steady_clock::now();
        recorded.arrivedAt = std::chrono::system_clock::now();
        m_requests.push_back(recorded);
        m_clientPorts.insert(request.remote_port);
        index = m_requests.size() - 1;
        const int number = int(m_requests.size());
        if (m_options.slowDownRequests.count(number) > 0)
            slowDown = true;
        if (m_options.slowDownFromRequest > 0 && number >= m_options.slowDownFromRequest) {
            if (!m_slowDownWindowOpen) {
                m_slowDownWindowOpen = true;
                m_slowDownWindowStart = recorded.arrived;
            }
            slowDown = slowDown || m_options.slowDownForMs <= 0 ||
                       recorded.arrived - m_slowDownWindowStart <
                           std::chrono::milliseconds(m_options.slowDownForMs);
        }
        slowDownStatus = m_options.slowDownStatus;
        retryAfter = m_options.retryAfter;
        oversizedBytes = m_options.oversizedBytes;
        oversizedWithLength = m_options.oversizedWithLength;
        delayMs = m_options.delayMs;
        reset = m_options.resetRequests.count(number) > 0;
        if (m_options.refuseFromRequest > 0 && number >= m_options.refuseFromRequest)
            refuseStatus = m_options.refuseStatus;
        tileSize = m_options.tileSize;
        paramsEmptyIs200 = m_options.paramsEmptyIs200;
        trickle = m_options.trickleBytesPerSecond;
        worldImage = m_options.worldImage;
        label = m_options.label;
        if (target.kind == Target::Kind::Tile) {
            notFound = m_options.notFoundQuadkeys.count(target.quadkey) > 0;
            const std::string& quadkey = target.quadkey;
            if (m_options.htmlQuadkeys.count(quadkey) > 0)
                fault = Fault::Html;
            else if (m_options.emptyQuadkeys.count(quadkey) > 0)
                fault = Fault::Empty;
            else if (m_options.noTileQuadkeys.count(quadkey) > 0)
                fault = Fault::NoTile;
            else if (m_options.truncatedQuadkeys.count(quadkey) > 0)
                fault = Fault::Truncated;
            else if (m_options.halfQuadkeys.count(quadkey) > 0)
                fault = Fault::Half;
            else if (m_options.cutQuadkeys.count(quadkey) > 0)
                fault = Fault::Cut;
            else if (m_options.unrenderedQuadkeys.count(quadkey) > 0)
                fault = Fault::Unrendered;
            else if (m_options.oversizedQuadkeys.count(quadkey) > 0)
                fault = Fault::Oversized;
            if (m_options.refusedQuadkeys.count(target.quadkey) > 0)
                refuseStatus = m_options.refuseStatus;
        } else if (target.kind == Target::Kind::Params)
            paramsBody = m_options.paramsBody;
    }

    if (delayMs > 0) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_stopSignal.wait_for(lock, std::chrono::milliseconds(delayMs),
                                  [this] { return m_stopping; })) {
            response.status = 503;
            response.set_header("Connection", "close");
            return index;
        }
    }

    if (reset && resetConnection(request.local_port, request.remote_port)) {
        // Nothing reaches the client any more; let the library give up on
        // the connection.
        response.set_header("Connection", "close");
        return index;
    }

    if (slowDown) {
        response.status = slowDownStatus;
        if (!retryAfter.empty())
            response.set_header("Retry-After", retryAfterValue(retryAfter));
        response.set_content("slow down\n", "text/plain");
        return index;
    }

    if (refuseStatus != 0) {
        response.status = refuseStatus;
        if (refuseStatus == 302)
            response.set_header("Location",
                                "http://127.0.0.1:" + std::to_string(m_port) + "/refused.html");
        response.set_content("refused\n", "text/plain");
        return index;
    }

    if (request.method != "GET" && request.method != "HEAD") {
        response.status = 405;
        return index;
    }

    // The tile's bytes: the flat stand-in, or that piece of the world.
    const auto tile = [&]() -> std::string {
        if (worldImage.empty())
            return tileBody(target.quadkey, tileSize);
        TilePlace place;
        decodeQuadkey(target.quadkey, place);
        return WorldTiles::shared(worldImage)->renderTile(place, label);
    };
    if (target.kind == Target::Kind::Tile && !worldImage.empty()) {
        try {
            WorldTiles::shared(worldImage);
        } catch (const std::exception& error) {
            response.status = 500;
            response.set_content(std::string(error.what()) + "\n", "text/plain");
            return index;
        }
    }

    switch (target.kind) {
    case Target::Kind::Tile:
        if (notFound) {
            response.status = 404;
            response.set_content("no such tile\n", "text/plain");
        } else if (fault == Fault::Unrendered) {
            // The HTTP library words every status line itself, so this one
            // is written on the connection directly, which then ends.
            TilePlace place;
            decodeQuadkey(target.quadkey, place);
            const std::string answer = "HTTP/1.1 500 Tile " + std::to_string(place.zoom) + "/" +
                                       std::to_string(place.column) + "/" +
                                       std::to_string(place.southRow()) +
                                       " not rendered\r\nContent-Length: 0\r\n"
                                       "Connection: close\r\n\r\n";
            const int fd = findConnectionSocket(request.local_port, request.remote_port);
            if (fd >= 0 && ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) ==
                               static_cast<ssize_t>(answer.size()))
                ::shutdown(fd, SHUT_WR);
            response.status = 500;
            response.set_header("Connection", "close");
        } else if (fault == Fault::Html) {
            response.status = 200;
            response.set_content(htmlBody(tileSize), "text/html");
        } else if (fault == Fault::Empty) {
            response.status = 200;
            response.set_content(std::string(), "image/jpeg");
        } else if (fault == Fault::NoTile) {
            response.status = 200;
            response.set_header("X-VE-Tile-Info", "no-tile");
            response.set_content(tile(), "image/jpeg");
        } else if (fault == Fault::Truncated) {
            // The length of the whole tile is announced, half of it is sent.
            response.status = 200;
            auto body = std::make_shared<std::string>(tile());
            response.set_content_provider(
                body->size(), "image/jpeg",
                [body](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                    if (offset > 0)
                        return false;
                    return sink.write(body->data(), body->size() / 2);
                });
        } else if (fault == Fault::Half) {
            // Half the tile, announced as the whole reply: it lacks its end.
            response.status = 200;
            const std::string body = tileBody(target.quadkey, tileSize);
            response.set_content(body.substr(0, body.size() / 2), "image/jpeg");
        } else if (fault == Fault::Cut || (fault == Fault::Oversized && !oversizedWithLength)) {
            // No length: the reply ends where the connection closes.
            response.status = 200;
            auto body = std::make_shared<std::string>(
                fault == Fault::Cut ? tileBody(target.quadkey, tileSize)
                                    : tileBody(target.quadkey, oversizedBytes));
            const std::size_t size = fault == Fault::Cut ? body->size() / 2 : body->size();
            response.set_header("Connection", "close");
            const int localPort = request.local_port, remotePort = request.remote_port;
            response.set_content_provider(
                "image/jpeg",
                [body, size, localPort, remotePort](std::size_t offset, httplib::DataSink& sink) {
                    if (offset >= size) {
                        // The library would hold the connection for its
                        // keep-alive time: the end of the reply is the end
                        // of the connection, so end it now.
                        const int fd = findConnectionSocket(localPort, remotePort);
                        if (fd >= 0)
                            ::shutdown(fd, SHUT_WR);
                        sink.done();
                        return true;
                    }
                    return sink.write(body->data() + offset,
                                      std::min<std::size_t>(size - offset, 65536));
                });
        } else if (fault == Fault::Oversized) {
            response.status = 200;
            response.set_content(tileBody(target.quadkey, oversizedBytes), "image/jpeg");
        } else if (trickle > 0) {
            response.status = 200;
            auto body = std::make_shared<std::string>(tile());
            const std::size_t piece = std::max(1, trickle / 2);
            response.set_content_provider(
                body->size(), "image/jpeg",
                [this, body, piece](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                    {
                        std::unique_lock<std::mutex> lock(m_mutex);
                        if (m_stopSignal.wait_for(lock, std::chrono::milliseconds(500),
                                                  [this] { return m_stopping; }))
                            return false;
                    }
                    const std::size_t size = std::min(piece, body->size() - offset);
                    return sink.write(body->data() + offset, size);
                });
        } else {
            response.status = 200;
            response.set_content(tile(), "image/jpeg");
        }
        return index;
    case Target::Kind::Params:
        if (paramsBody.empty() && !paramsEmptyIs200) {
            response.status = 404;
            response.set_content("no parameters\n", "text/plain");
        } else {
            response.status = 200;
            response.set_content(paramsBody, "text/plain");
        }
        return index;
    case Target::Kind::Other:
        break;
    }
    response.status = 404;
    response.set_content("not found\n", "text/plain");
    return index;
}

TileServer::TileServer(Options options) : m_impl(std::make_unique<Impl>(std::move(options))) {}

TileServer::~TileServer()
{
    m_impl->stop();
}

int TileServer::start(int port)
{
    return m_impl->start(port);
}

void TileServer::stop()
{
    m_impl->stop();
}

int TileServer::port() const
{
    return m_impl->m_port;
}

void TileServer::setOptions(Options options)
{
    std::lock_guard<std::mutex> lock(m_impl->m_mutex);
    m_impl->m_options = std::move(options);
}

Options TileServer::options() const
{
    std::lock_guard<std::mutex> lock(m_impl->m_mutex);
    return m_impl->m_options;
}

std::vector<RecordedRequest> TileServer::requests() const
{
    std::lock_guard<std::mutex> lock(m_impl->m_mutex);
    return m_impl->m_requests;
}

int TileServer::requestCount() const
{
    std::lock_guard<std::mutex> lock(m_impl->m_mutex);
    return int(m_impl->m_requests.size());
}

int TileServer::connectionCount() const
{
    std::lock_guard<std::mutex> lock(m_impl->m_mutex);
    return int(m_impl->m_clientPorts.size());
}

void TileServer::clearRequests()
{
    std::lock_guard<std::mutex> lock(m_impl->m_mutex);
    m_impl->m_requests.clear();
    m_impl->m_clientPorts.clear();
    m_impl->m_slowDownWindowOpen = false;
}

std::string TileServer::requestLog() const
{
    const std::vector<RecordedRequest> all = requests();
    std::ostringstream log;
    for (const RecordedRequest& request : all) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(request.arrived -
                                                                              all.front().arrived)
                            .count();
        log << ms << ' ' << request.status << ' ' << request.target << ' ' << request.userAgent
            << '\n';
    }
    return log.str();
}

} // namespace tavo::tileserver
