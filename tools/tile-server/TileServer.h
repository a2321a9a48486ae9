#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <set>
#include <string>
#include <vector>

// A local stand-in for the tile service, for tests and manual runs.
//
// It listens on 127.0.0.1 and answers every request whose path ends in
// "a<quadkey>.jpeg" with a small valid JPEG that differs per quadkey (or, with
// Options::worldImage, that piece of the world), and
// "s.txt" with the server-parameters text. It accepts both origin-form
// ("/tiles/a120.jpeg?g=1") and absolute-form ("http://host/tiles/a120.jpeg")
// targets, so it also serves as an HTTP proxy in front of itself. Faults
// (missing tiles, refusals, connection resets, slow answers, "slow down"
// answers, replies cut short or too large) are injected through Options.

namespace tavo::tileserver {

struct Options
{
    std::set<std::string> notFoundQuadkeys; // answer 404 for these quadkeys
    std::set<std::string> refusedQuadkeys;  // answer refuseStatus for these quadkeys
    // 200 answers that carry no tile, for these quadkeys:
    std::set<std::string> htmlQuadkeys;      // an HTML page (text/html), tileSize bytes if set
    std::set<std::string> emptyQuadkeys;     // no body at all
    std::set<std::string> noTileQuadkeys;    // the tile with "X-VE-Tile-Info: no-tile"
    std::set<std::string> truncatedQuadkeys; // half the tile, then the connection closes
    // 500 with a reason phrase that names the tile, as some servers word
    // theirs: "HTTP/1.1 500 Tile <zoom>/<column>/<row from the south> not rendered".
    std::set<std::string> unrenderedQuadkeys;
    int refuseFromRequest =
        0;                  // from this 1-based request number on, answer refuseStatus (0 = never)
    int refuseStatus = 403; // 403 or 302 (302 with a Location header)
    std::set<int>
        resetRequests; // 1-based request numbers that get a connection reset (TCP RST, no response)
    int delayMs = 0;   // wait this long before answering each request
    std::size_t tileSize = 0;      // body size of a tile; 0 = small (a few hundred bytes)
    std::string paramsBody;        // body served for GET .../s.txt; empty = 404
    bool paramsEmptyIs200 = false; // an empty paramsBody is served as 200 with no body
    // When > 0, tiles are sent this many bytes a second (in two pieces a
    // second), as a server that trickles its answer.
    int trickleBytesPerSecond = 0;

    // Replies cut short or too large, for these quadkeys:
    std::set<std::string> halfQuadkeys;      // half the tile, announced as all there is
    std::set<std::string> cutQuadkeys;       // half the tile, no length, then the connection closes
    std::set<std::string> oversizedQuadkeys; // a valid JPEG of oversizedBytes
    std::size_t oversizedBytes = 5 * 1024 * 1024;
    bool oversizedWithLength = true; // false: sent without a length, closed at its end

    // "Slow down" answers (slowDownStatus, 429 or 503) to the 1-based request
    // numbers in slowDownRequests, and to every request that arrives within
    // slowDownForMs of request slowDownFromRequest (0: never; a window of 0:
    // that request and every later one). They carry "Retry-After:
    // <retryAfter>" unless it is empty; "date+N" sends the HTTP date N
    // seconds after the answer.
    std::set<int> slowDownRequests;
    int slowDownFromRequest = 0;
    long slowDownForMs = 0;
    int slowDownStatus = 429;
    std::string retryAfter;

    // When set, tiles are drawn from this picture of the earth (an
    // equirectangular JPEG; see WorldTiles.h) instead of the flat stand-in,
    // and tileSize no longer pads them. With label, each tile carries its
    // column, row and zoom.
    std::string worldImage;
    bool label = false;
};

struct RecordedRequest
{
    std::string method, target, host, proxyAuthorization, userAgent;
    int clientPort = 0; // the client's TCP port; requests of one connection share it
    std::chrono::steady_clock::time_point arrived;   // when its headers had come
    std::chrono::system_clock::time_point arrivedAt; // the same on the wall clock
    int status = 0; // the status answered (0 for a reset connection or while it is served)
};

class TileServer final
{
public:
    explicit TileServer(Options options = {});
    ~TileServer(); // stops
    TileServer(const TileServer&) = delete;
    TileServer& operator=(const TileServer&) = delete;

    // Listens on 127.0.0.1 (0 = any free port), serves on its own threads and
    // returns the port. Throws std::runtime_error when it cannot listen or is
    // already running.
    int start(int port = 0);
    // Closes the listening socket and every open connection, cuts short any
    // pending delay and waits for the serving threads. Safe to call twice.
    void stop();
    int port() const; // 0 when not running

    void setOptions(Options options); // takes effect for the next request
    Options options() const;

    std::vector<RecordedRequest> requests() const; // every request so far, in arrival order
    int requestCount() const;
    // Number of distinct client connections the recorded requests came on.
    int connectionCount() const;
    void clearRequests(); // also restarts request numbering at 1
    // One line a request: milliseconds since the first, status, target, User-Agent.
    std::string requestLog() const;

    // Exactly the bytes served for that quadkey: a baseline JPEG carrying the
    // quadkey in a comment, padded with comments to `size` bytes when `size`
    // is larger than the unpadded image.
    static std::string tileBody(const std::string& quadkey, std::size_t size = 0);
    // The page served for an htmlQuadkeys tile: at least `size` bytes.
    static std::string htmlBody(std::size_t size = 0);

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace tavo::tileserver
