#pragma once

#include <memory>
#include <string>

// Tiles of the world drawn from one equirectangular picture of the earth
// (longitude -180..180 left to right, latitude 90..-90 top to bottom),
// reprojected into each Web Mercator tile. Beyond the picture's own
// resolution a tile is its magnified piece.
//
// A quadkey names a tile the way the downloader builds it: each digit holds
// one bit of the column (digit & 1) and one bit of the row counted from the
// NORTH edge (digit >> 1), most significant level first. A row mistake
// anywhere therefore shows a wrong piece of the world.

namespace tavo::tileserver {

struct TilePlace
{
    long long column = 0;
    long long northRow = 0; // row counted from the north edge, as in the quadkey
    int zoom = 0;
    long long southRow() const { return ((1LL << zoom) - 1) - northRow; }
};

// The tile a quadkey names ("" is the whole world at zoom 0). Digits other
// than 0..3 and quadkeys longer than 30 give false.
bool decodeQuadkey(const std::string& quadkey, TilePlace& place);

class WorldTiles final
{
public:
    // Reads the picture (a JPEG file). Throws std::runtime_error when it
    // cannot be read.
    explicit WorldTiles(const std::string& imagePath);
    ~WorldTiles();
    WorldTiles(const WorldTiles&) = delete;
    WorldTiles& operator=(const WorldTiles&) = delete;

    // The 256 x 256 JPEG of that tile. With `label`, the tile's column, row
    // (counted from the south, as in the downloader's file names) and zoom are
    // written in its top-left corner ("12,7,4") and its edges are outlined.
    std::string renderTile(const TilePlace& place, bool label) const;

    int width() const;
    int height() const;

    // The one copy of the picture at `imagePath` in this process, decoded at
    // its first use and shared by every server after that.
    static std::shared_ptr<const WorldTiles> shared(const std::string& imagePath);

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace tavo::tileserver
