#pragma once

#include "engine/Feedback.h"
#include "engine/TileTypes.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

struct stat;

namespace tavo {

// What a job's project file says about its tiles, as the viewer, the combiner
// and "fetch missing tiles again" need it.
struct ProjectInfo
{
    QString projectPath; // as given
    QString saveFolder;  // folder part of projectPath, ending in '/'
    QString projectBase; // file name without its extension
    QString imageFolder; // saveFolder + projectBase + '/'
    AreaTexts area;
    int zoom = 0;
    TileRect rect;
    int threadCount = 0;
};

// Reads the project file at `path`. Returns false with a message for the user
// in `error` when the file cannot be read, or when its zoom (MinZoom..MaxZoom) or tile
// range (inside the grid of that zoom, not empty) is missing or unusable. A
// project without the [XY] range gets the one its area gives at its zoom, as
// the downloader computes it.
bool readProjectInfo(const QString& path, ProjectInfo& info, QString* error);

// What a tile's file in the image folder holds.
enum class TileState : std::uint8_t
{
    Good,        // a regular file (or a link to one) that starts with the JPEG signature
                 // FF D8 FF and holds the end-of-image marker FF D9 after its last scan
                 // (bytes after the marker do not matter)
    Missing,     // no file
    Placeholder, // the same bytes as the placeholder image (or a hard link to it)
    Empty,       // a file of 0 bytes
    NotJpeg,     // anything else (an HTML page, a file of one or two bytes, a folder or
                 // FIFO named like a tile...)
    Partial,     // no file, but a "<name>.part" left by an interrupted write
    Truncated,   // starts like a JPEG but ends before its end-of-image marker
};
constexpr int TileStateCount = 7;

// How a tile is judged: its JPEG segments are followed from the signature
// (marker segments by their lengths, each scan's data up to the next marker)
// until the end-of-image marker; reaching the file's end first makes it
// Truncated. At most MaxTileReadBytes of a file are read. When the segments
// cannot be followed (bytes that are no marker where one must be) or the file
// is longer than that, the end marker must lie within its last
// TileTailSlack + 2 bytes instead.
constexpr qint64 MaxTileReadBytes = 4 * 1024 * 1024;
constexpr int TileTailSlack = 30;

// Short English name of a state, for legends and summaries ("missing"...).
QString tileStateName(TileState state);

// The state of every tile of a rectangle, with a count per state. Its memory
// follows the tiles that are there, not the rectangle: a rectangle of more
// tiles than DenseLimit starts with a table of the tiles that are not missing
// and turns into one byte a tile only when that table would be larger, so a
// stopped job whose area holds millions of places costs what its tiles cost.
class JobScan final
{
public:
    static constexpr qint64 DenseLimit = qint64(1) << 24;

    JobScan() = default;
    explicit JobScan(const TileRect& rect);

    const TileRect& rect() const { return m_rect; }
    TileState state(qint32 x, qint32 y) const
    {
        if (!m_states.empty())
            return m_states[index(x, y)];
        const auto found = m_sparse.find(index(x, y));
        return found == m_sparse.end() ? TileState::Missing : found->second;
    }
    void setState(qint32 x, qint32 y, TileState state);
    qint64 count(TileState state) const { return m_counts[static_cast<int>(state)]; }
    qint64 total() const { return m_rect.count(); }
    // Tiles that are not Good.
    qint64 bad() const { return total() - count(TileState::Good); }
    // Every tile that is not Good, column by column from the west, rows from the south.
    std::vector<TilePosition> badTiles() const;
    // Whether the states are kept one byte a tile (else as a table of the
    // tiles that are not missing).
    bool dense() const { return !m_states.empty() || m_rect.isEmpty(); }

private:
    std::size_t index(qint32 x, qint32 y) const
    {
        return std::size_t(qint64(y) - m_rect.minY) * std::size_t(m_rect.width()) +
               std::size_t(qint64(x) - m_rect.minX);
    }
    void makeDense();

    TileRect m_rect;
    std::vector<TileState> m_states;
    std::unordered_map<std::size_t, TileState> m_sparse;
    std::array<qint64, TileStateCount> m_counts{};
};

// The image a tile that could not be fetched gets, beside the program:
// programFolder (ending in '/') + "blankimg/blank.jpg".
QString placeholderPath(const QString& programFolder);

// Options of a folder scan.
struct ScanOptions
{
    // Options that recognise the placeholder at `placeholderPath` (its bytes
    // read now; a file that cannot be read recognises none by content).
    static ScanOptions withPlaceholder(const QString& placeholderPath);

    // The placeholder's bytes (blankimg/blank.jpg); empty: no tile is a placeholder.
    QByteArray placeholder;
    // Path of the placeholder file, to recognise hard links to it; may be empty.
    QString placeholderPath;
    // Told now and then from the scanning thread (tiles done, total);
    // cancelled from any thread, it ends the scan early, which then leaves
    // the result incomplete. May be null.
    Feedback* feedback = nullptr;
};

// Classifies every tile of `rect` in `imageFolder` (a missing folder gives all
// tiles Missing). Reads the folder once, then looks at each tile file: links
// are followed, anything but a regular file is NotJpeg and never opened, and
// of the others at most MaxTileReadBytes are read (none when the size tells).
// Thread-safe: no Qt object is touched.
JobScan scanJobFolder(const QString& imageFolder, const TileRect& rect,
                      const ScanOptions& options = {});

// The kinds of names a tile folder holds.
enum class TileFileKind
{
    Tile,     // "X_Y.jpg"
    Part,     // "X_Y.jpg.part": an interrupted write
    SetAside, // "X_Y.jpg.bad": a bad tile kept until its replacement is stored
};

// What the scan of a folder reports: each tile file with its state, each
// leftover and set-aside file (state Missing: they are not opened).
using TileVisitor = std::function<void(qint32 x, qint32 y, TileFileKind kind, TileState state)>;

// The scan behind scanJobFolder, for callers that keep their own record.
// False when the folder cannot be read.
bool visitTileFolder(const QString& imageFolder, const TileRect& rect, const ScanOptions& options,
                     const TileVisitor& visit);

// Reads a tile file's name: "X_Y.jpg" (part false) or "X_Y.jpg.part" (part
// true), X and Y decimal without sign, each below 2^31. False for any other name.
bool parseTileFileName(const char* name, qint32& x, qint32& y, bool& part);
// The same for every kind of name a tile folder holds.
bool parseTileFileName(const char* name, qint32& x, qint32& y, TileFileKind& kind);

// Opens `name` (relative to the folder `dirFd`, or AT_FDCWD) for reading only
// when it is a regular file, after following links: a folder, FIFO, device
// or socket is refused before it is opened (errno EISDIR or EINVAL), and the
// open never blocks. Returns the descriptor (`info` gets its status), or -1
// with errno set. What the programs read as tiles goes through here.
int openRegularFile(int dirFd, const char* name, struct stat* info = nullptr);
// Reads the whole regular file at `path` (see openRegularFile) when it holds
// at most `maxBytes`; false otherwise, with why in `reason` when given (not a
// regular file, too large, an error of the system, or a file that shrank
// while it was read).
bool readRegularFile(const QString& path, qint64 maxBytes, QByteArray& bytes,
                     QString* reason = nullptr);

// The state of one tile file as the scan judges it.
TileState classifyTileFile(const QString& path, const ScanOptions& options);

// Classifies the bytes of one tile file as the scan does (Good, Placeholder,
// Empty, NotJpeg or Truncated).
TileState classifyTileBytes(const QByteArray& bytes, const QByteArray& placeholder);

} // namespace tavo
