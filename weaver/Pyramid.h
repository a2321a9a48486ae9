#pragma once

#include "engine/Feedback.h"
#include "engine/JobFolder.h"
#include "engine/TileTypes.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace tavo::weaver {

// Chroma subsampling of a YCbCr JPEG: the luma sampling factors, chroma 1 x 1
// (2 x 2 is 4:2:0, 2 x 1 is 4:2:2, 1 x 1 is 4:4:4).
struct ChromaSubsampling
{
    int h = 2;
    int v = 2;
    friend bool operator==(ChromaSubsampling a, ChromaSubsampling b)
    {
        return a.h == b.h && a.v == b.v;
    }
    friend bool operator!=(ChromaSubsampling a, ChromaSubsampling b) { return !(a == b); }
};

// What a JPEG file's headers say, read without decoding it.
struct JpegLayout
{
    bool valid = false;       // the markers up to the first scan could be read
    bool baseline = false;    // SOF0: 8-bit sequential Huffman
    bool progressive = false;
    int precision = 0;        // bits per sample
    int width = 0, height = 0;
    int components = 0;
    bool ycbcr = false;       // 3 components in YCbCr (not RGB, not CMYK)
    ChromaSubsampling subsampling; // of a 3-component image whose chroma is 1 x 1
    bool plainChroma = false;      // both chroma components sampled 1 x 1
};
JpegLayout readJpegLayout(const QByteArray& bytes);

// Which job tiles may be stored as they are.
enum class CopyRule
{
    // A 256 x 256 JPEG that decodes without a warning (tile stores that keep
    // each tile as a file of its own).
    AnyJpeg,
    // Also baseline, 8-bit, 3-component YCbCr with the job's chroma
    // subsampling: what a tiled JPEG TIFF can hold as it is.
    TiffLayout,
};

// How the levels below the job's are cut into tiles.
enum class PyramidAnchor
{
    // The zoom grid: level k is zoom (job zoom - k), tile (x, y) of that zoom
    // covers tiles 2x..2x+1, 2y..2y+1 of the zoom above; rows counted from
    // the south like the job's. A job whose edges are not on even tiles gives
    // partly covered tiles along them.
    ZoomGrid,
    // The job's north-west corner: tile (column, row) of level k covers job
    // tiles from column minX + column * 2^k and from the job's northern row
    // down 2^k rows; columns from the west, rows counted from the NORTH. This
    // is how an image's overviews are tiled.
    JobCorner,
};

enum class TileVerdict : std::uint8_t
{
    Copy,        // bytes are the file's own, fit to store unchanged
    Reencoded,   // bytes are the tile decoded and encoded again; reason says why
    Undecodable, // the file looks like a JPEG but does not decode; reason says why
    Hole,        // nothing to store; hole says what the folder holds there
};

// One tile of the job's own level.
struct JobTile
{
    qint32 x = 0, y = 0; // column and row (from the south) at the job's zoom
    TileVerdict verdict = TileVerdict::Hole;
    TileState hole = TileState::Missing; // Hole: the scan's verdict; Good otherwise
    QByteArray bytes;                    // Copy and Reencoded (when job bytes are wanted)
    QString reason;                      // Reencoded and Undecodable
};

// One row of the job's tiles, west to east: the tiles the scan found Good
// (holes are not delivered; the scan tells what they are).
struct JobRow
{
    qint32 y = 0; // row counted from the south
    std::vector<JobTile> tiles;
};

enum class Coverage : std::uint8_t
{
    None,    // nothing of the job lies in this tile
    Partial, // some pixels have alpha 0 (holes, or beyond the job's edge)
    Full,    // every pixel has alpha 255
};

constexpr int PyramidTileSide = 256;
constexpr std::size_t PyramidTileBytes = std::size_t(PyramidTileSide) * PyramidTileSide * 4;

// One tile of a level below the job's.
struct LevelTile
{
    // ZoomGrid: column and row (from the south) at zoom (job zoom - level).
    // JobCorner: column from the west and row from the north of the level.
    qint32 x = 0, y = 0;
    Coverage coverage = Coverage::None;
    // 256 x 256 RGBA, rows from the north, 1,024 bytes a row; alpha is the
    // share of the pixel covered by decoded job tiles (0..255). Null when the
    // coverage is None. Valid only during the call that delivers the row.
    const std::uint8_t* rgba = nullptr;
    // What PyramidJob::encoder made of the tile (empty for None or without encoder).
    QByteArray encoded;
};

// One row of tiles of a level below the job's, west to east: only the
// tiles with something of the job in them (coverage Partial or Full).
struct LevelRow
{
    int level = 1;   // 1: half the job's resolution, 2: a quarter...
    int zoom = 0;    // job zoom - level
    qint32 y = 0;    // as LevelTile::y
    std::vector<LevelTile> tiles;
};

struct PyramidJob
{
    QString imageFolder; // ends in '/'
    int zoom = 0;
    TileRect rect;               // the job's tiles to use
    const JobScan* scan = nullptr; // the folder's verdicts for (at least) rect
    int levels = 0;              // levels below the job's to build (0: none; on the zoom grid at most zoom)
    PyramidAnchor anchor = PyramidAnchor::ZoomGrid;
    CopyRule copyRule = CopyRule::AnyJpeg;
    // Deliver the job level's bytes (and re-encode the tiles that cannot be
    // copied). Without them the job level is only decoded, for the levels
    // and the verdicts.
    bool jobBytes = true;
    ChromaSubsampling subsampling; // of re-encoded tiles, and of TiffLayout copies
    int jpegQuality = 90;          // of re-encoded tiles
    int threads = 0;               // 0: one per core
    // Encodes a tile of a level (coverage Partial or Full). Called on worker
    // threads, several at once; its result is LevelTile::encoded.
    std::function<QByteArray(const LevelTile& tile, int level)> encoder;
    // Receive the rows. Called on the calling thread, in order: the job's
    // rows from the north, each level's rows from the north, a level's row as
    // soon as the rows above it are complete (so every level is delivered
    // interleaved with the others). Rows without a tile are not delivered. Returning false stops the run (the
    // consumer keeps its own error); `ok` is then false and `stopped` true.
    std::function<bool(const JobRow&)> onJobRow;
    std::function<bool(const LevelRow&)> onLevelRow;
};

struct PyramidResult
{
    bool ok = false;
    bool cancelled = false; // the feedback was cancelled
    bool stopped = false;   // a row consumer asked to stop
    QString error;          // set by the pyramid itself (bad job)
    qint64 copied = 0;
    std::vector<std::pair<TilePosition, QString>> reencoded;   // column by column from the west
    std::vector<std::pair<TilePosition, QString>> undecodable; // column by column from the west
};

// Turns a job into levels. Every Good tile (as the scan says) is read once
// and decoded once, at half size (the decoder's own DCT scaling), which also
// proves that it decodes: a tile with a decoder warning or error becomes
// Undecodable and a hole in the levels. Level 1 is those half-size tiles;
// each level below it is the 2 x 2 average of the one above, colour weighted
// by alpha. Tiles are decoded, averaged and encoded on `threads` threads; the
// levels are built in bands of one row a level, and only the band tiles that
// hold something exist, so memory stays flat whatever the job's size (at
// most about 2 x job width x 256 KB in all) and time follows the tiles
// present: the rows and columns of holes cost one look at the scan. Blocking;
// `feedback` (may be null) gets the job tiles done of the rect's count now
// and then, always on the calling thread, and stops the run when cancelled.
PyramidResult buildPyramid(const PyramidJob& job, Feedback* feedback = nullptr);

// The chroma subsampling of the first Good tile (from the north-west, row
// by row) that a tiled JPEG TIFF could hold; 4:2:0 when there is none.
ChromaSubsampling firstTileSubsampling(const QString& imageFolder, const TileRect& rect,
                                       const JobScan& scan);

// A baseline JPEG of a tile's 256 x 256 RGBA pixels (alpha ignored); empty on failure.
QByteArray encodeJpegTile(const std::uint8_t* rgba, int quality, ChromaSubsampling subsampling);

// Reads a tile file: a regular file only (never a FIFO or a device, which
// could block), at most `limit` bytes. False with a reason otherwise.
bool readTileFile(const QString& path, QByteArray& bytes, QString* reason,
                  qint64 limit = 64LL << 20);

} // namespace tavo::weaver
