#pragma once

#include "engine/Feedback.h"
#include "engine/JobFolder.h"
#include "engine/TileTypes.h"

#include <QString>
#include <QStringList>

#include <array>
#include <optional>
#include <vector>

namespace tavo::weaver {

enum class OutputFormat
{
    Cog,     // tiled, JPEG-compressed GeoTIFF with internal overviews
    Jpeg,    // one JPEG with a world file (.jgw) and a .prj
    Png,     // one PNG with a world file (.pgw) and a .prj
    MbTiles, // SQLite tile store, the tiles' bytes unchanged
    GeoPackage, // OGC GeoPackage tile pyramid (SQLite), the tiles' bytes unchanged
    SqliteDb,   // the SQLite tile file of handheld map apps (.sqlitedb)
};

// "cog", "jpeg", "png", "mbtiles", "gpkg", "sqlitedb" and back (a few other
// spellings too); nullopt for an unknown name.
std::optional<OutputFormat> formatFromName(const QString& name);
QString formatName(OutputFormat format);
// The names formatFromName takes, for messages: "cog (.tif, .tiff), jpeg ...".
QString knownFormatsText();
// The tile stores: several zoom levels of tiles, no single image.
inline bool isTileStore(OutputFormat format)
{
    return format == OutputFormat::MbTiles || format == OutputFormat::GeoPackage ||
           format == OutputFormat::SqliteDb;
}

// Where the tiles come from and how big the result is.
struct TileInput
{
    QString name;        // the job's name (project base or folder name)
    QString imageFolder; // ends in '/'
    int zoom = 0;
    TileRect rect;       // every tile the input covers
};

// Reads a project file (.tavo) into a TileInput.
bool inputFromProject(const QString& projectPath, TileInput& input, QString* error);
// A plain folder of "X_Y.jpg" tiles at `zoom`: the rectangle is the smallest
// one holding every tile name found in it.
bool inputFromFolder(const QString& folder, int zoom, TileInput& input, QString* error);

// The Web-Mercator (EPSG:3857) extent of a tile rectangle, in metres.
struct MercatorBounds
{
    double west = 0, south = 0, east = 0, north = 0;
};
MercatorBounds mercatorBounds(const TileRect& rect, int zoom);
// The same extent in degrees (west, south, east, north), from the tile geometry.
MercatorBounds degreeBounds(const TileRect& rect, int zoom);

struct WeaveRequest
{
    TileInput input;
    std::optional<TileRect> subRect; // a part of input.rect only
    QString outPath;
    OutputFormat format = OutputFormat::Cog;
    int scaleDivisor = 1; // 1, 2, 4 or 8: the output is 1/scaleDivisor of full size
    QString placeholderPath; // blankimg/blank.jpg; may be empty
    int jpegQuality = 90;
    // Tile stores: the lowest zoom level written; below 0, the level where the
    // whole rectangle fits in one tile.
    int minZoom = -1;
};

// How many left-out tiles a result names; the rest are only counted.
constexpr std::size_t NamedAtMost = 1000;

struct WeaveResult
{
    bool ok = false;        // the output exists, complete, under outPath
    bool cancelled = false;
    QString error;          // why not, for the user
    TileRect rect;          // the tiles combined
    qint64 total = 0;
    qint64 written = 0;     // tiles whose image made it into the output
    std::array<qint64, TileStateCount> counts{};
    // Tiles left out: missing, blank, empty, not a JPEG, partly written (the
    // first NamedAtMost of them; `counts` has them all)...
    std::vector<std::pair<TilePosition, TileState>> leftOut;
    // ...and files that start like a JPEG but could not be decoded (the first
    // NamedAtMost; undecodableCount counts them all).
    std::vector<TilePosition> undecodable;
    qint64 undecodableCount = 0;
    // Tiles in the output that could not be stored as they are, decoded and
    // encoded again (GeoTIFF), with the reason ("progressive"...).
    std::vector<std::pair<TilePosition, QString>> reencoded;
    int minZoom = 0, maxZoom = 0; // the levels of a tile store
    qint64 pixelWidth = 0, pixelHeight = 0;
    double seconds = 0;
};

// A plain account of a result: what was written and what was left out.
QString summaryText(const WeaveRequest& request, const WeaveResult& result, int listAtMost = 20);

// Combines the tiles. Blocking; `feedback` (may be null) gets the tiles done
// of the total on the calling thread (the time left is the caller's to
// estimate), and cancelling it from any thread stops the run. The output
// appears under request.outPath only when it was written completely; a failed
// or cancelled run leaves nothing under that name (an older file there stays
// as it was).
WeaveResult weave(const WeaveRequest& request, Feedback* feedback = nullptr);

// Output size limits of the single-image formats, in pixels a side.
constexpr qint64 JpegMaxSide = 65500;
constexpr qint64 PngMaxSide = 65535;

} // namespace tavo::weaver
