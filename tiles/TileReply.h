#pragma once

#include "http/HttpClient.h"

#include <QString>

#include <optional>
#include <string>
#include <string_view>

namespace tavo {

// Fetches that fail in a row without an image before a worker takes the
// tile server as out of reach and ends.
inline constexpr int UnreachableAfterFailures = 10;

// What a 200 reply to a tile request holds.
enum class ReplyKind
{
    Tile,      // starts with the JPEG signature FF D8 FF
    Empty,     // no body at all
    NotImage,  // a body that is no JPEG (an HTML page, a cut-off answer...)
    NoImagery, // the service says it has no imagery here (X-VE-Tile-Info: no-tile)
    CutShort,  // fewer bytes than announced, or a JPEG without its end
    TooLarge,  // more bytes than any tile has
};

// Judges a 200 reply by its body and its X-VE-Tile-Info header. A body that
// starts like a JPEG is a tile only when it also ends like one, as the
// job-folder scan judges a tile file.
ReplyKind classifyReply(std::string_view body, std::string_view tileInfo);

// The error text a reply that is not a tile is logged with: "Empty reply",
// "Not an image (text/html, 1,234 bytes)", "No imagery here
// (X-VE-Tile-Info: no-tile)", "Reply cut short (341 of 682 bytes)", "Reply
// cut short (341 bytes, no JPEG end marker)", "Reply too large (more than
// 4,194,304 bytes)". `bytes` is what came (for TooLarge: the most a reply
// may hold), `expectedBytes` what was announced (-1: nothing). Empty for a tile.
QString replyErrorText(ReplyKind kind, std::string_view contentType, std::size_t bytes,
                       long long expectedBytes = -1);

// One tile request, judged by the rules every tile request of the program
// follows (the workers and "Download single image" alike).
struct TileAnswer
{
    enum class Outcome
    {
        Tile,     // `body` holds the tile
        NotTile,  // a reply that holds no tile: `reply` and `message` say why
        SlowDown, // HTTP 429 or 503: ask again after the wait
        Failed,   // an HTTP error or a transport failure: `error`, `code`, `message`
        Aborted,  // the client's abort check ended the transfer
    };
    Outcome outcome = Outcome::Tile;
    ReplyKind reply = ReplyKind::Tile;
    int status = 0;                     // SlowDown: the HTTP status
    std::optional<qint64> retryAfterMs; // SlowDown: what Retry-After named
    // Failed: the HTTP error's kind and code (its status, or its socket error
    // number); none for a failure that is no HTTP error.
    std::optional<http::HttpError::Kind> error;
    int code = 0;
    bool hasMessage = true; // Failed: false for an error without a text
    std::string message;

    // What a failed request was, told by the error's kind and code (its text
    // is only logged).
    bool isConnectionReset() const;
    bool isRefusal() const; // 302 or 403: the server turns this client away
    bool isNotFound() const; // 404
};
TileAnswer requestTile(http::HttpClient& client, const std::string& url, std::string& body);

// Whether an HTTP status asks the client to slow down rather than failing the tile.
bool isSlowDownStatus(int status);

// Whether a failed fetch counts towards UnreachableAfterFailures. The
// server's own word that it has no image for the tile (a 404, or no imagery
// here) shows that it is reachable, and does not count.
bool failureCountsAsUnreachable(const TileAnswer& answer);

} // namespace tavo
