#pragma once

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
// (missing tiles, refusals, connection resets, slow answers) are injected
// through Options.

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
    // When set, tiles are drawn from this picture of the earth (an
    // equirectangular JPEG; see WorldTiles.h) instead of the flat stand-in,
    // and tileSize no longer pads them. With label, each tile carries its
    // column, row and zoom.
    std::string worldImage;
    bool label = false;
};

struct RecordedRequest
{
    std::string method, target, host, proxyAuthorization;
    int clientPort = 0; // the client's TCP port; requests of one connection share it
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
