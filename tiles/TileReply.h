#pragma once

#include <QString>

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
};

// Judges a 200 reply by its body and its X-VE-Tile-Info header.
ReplyKind classifyReply(std::string_view body, std::string_view tileInfo);

// The error text a reply that is not a tile is logged with: "Empty reply",
// "Not an image (text/html, 1,234 bytes)", "No imagery here
// (X-VE-Tile-Info: no-tile)". Empty for a tile.
QString replyErrorText(ReplyKind kind, std::string_view contentType, std::size_t bytes);

// Whether a failed fetch counts towards UnreachableAfterFailures. The
// server's own word that it has no image for the tile (a 404, or no imagery
// here) shows that it is reachable, and does not count.
bool failureCountsAsUnreachable(bool replyRejected, ReplyKind kind, std::string_view httpError);

} // namespace tavo
