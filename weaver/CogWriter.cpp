#include "weaver/CogWriter.h"

#include <QFile>

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace tavo::weaver {

namespace {

constexpr int Side = PyramidTileSide;

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// An append-only file with a buffer; every write is checked, the first
// failure is kept and makes every later write fail at once.
class ScratchFile
{
public:
    ScratchFile() = default;
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    ~ScratchFile() { remove(); }

    bool open(const QString& path)
    {
        m_path = path;
        m_fd = ::open(QFile::encodeName(path).constData(),
                      O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (m_fd < 0)
            return fail(errno);
        m_buffer.reserve(Capacity);
        return true;
    }
    bool write(const void* data, std::size_t size)
    {
        if (m_error)
            return false;
        const auto* p = static_cast<const char*>(data);
        if (m_buffer.size() + size > Capacity && !flush())
            return false;
        if (size >= Capacity)
            return writeAll(p, size);
        m_buffer.insert(m_buffer.end(), p, p + size);
        return true;
    }
    bool flush()
    {
        if (m_error)
            return false;
        const bool ok = writeAll(m_buffer.data(), m_buffer.size());
        m_buffer.clear();
        return ok;
    }
    quint64 size() const { return m_written + m_buffer.size(); }
    // Reads back what was written (after flush()); false on a short read.
    bool readAt(quint64 at, void* data, std::size_t size) const
    {
        auto* p = static_cast<char*>(data);
        while (size > 0) {
            const ssize_t n = ::pread(m_fd, p, size, off_t(at));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            p += n;
            at += quint64(n);
            size -= std::size_t(n);
        }
        return true;
    }
    int fd() const { return m_fd; }
    int error() const { return m_error; }
    void remove()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        if (!m_path.isEmpty())
            ::unlink(QFile::encodeName(m_path).constData());
        m_path.clear();
    }

private:
    static constexpr std::size_t Capacity = 1 << 20;

    bool fail(int error)
    {
        m_error = error ? error : EIO;
        return false;
    }
    bool writeAll(const char* p, std::size_t size)
    {
        while (size > 0) {
            const ssize_t n = ::write(m_fd, p, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return fail(n < 0 ? errno : ENOSPC);
            p += n;
            size -= std::size_t(n);
            m_written += quint64(n);
        }
        return true;
    }

    int m_fd = -1;
    int m_error = 0;
    QString m_path;
    quint64 m_written = 0;
    std::vector<char> m_buffer;
};

// The tiles of one level of the file, as they are written.
struct LevelData
{
    int pyramidLevel = 0;
    qint64 across = 0, down = 0;  // tiles
    qint64 width = 0, height = 0; // pixels
    ScratchFile file;
    // Where the tiles written lie in the level's file, in the order of their
    // place (row by row from the north): one IndexEntry each. A place without
    // one is a sparse tile. Kept on disk: a job area of millions of places
    // holds few tiles, a big job many, and neither should cost memory.
    ScratchFile index;
    qint64 tiles = 0;
    qint64 lastPlace = -1;
};

// A written tile of a level: its place and its image and mask blocks.
struct IndexEntry
{
    quint64 place, imageOffset, imageCount, maskOffset, maskCount;
};

enum class Table
{
    ImageOffsets,
    ImageCounts,
    MaskOffsets,
    MaskCounts,
};

// Appends one block with its size before it and its last 4 bytes after it.
bool appendBlock(ScratchFile& file, const QByteArray& data, quint64& offset, quint64& count)
{
    const quint32 size = quint32(data.size());
    const unsigned char leader[4] = {static_cast<unsigned char>(size),
                                     static_cast<unsigned char>(size >> 8),
                                     static_cast<unsigned char>(size >> 16),
                                     static_cast<unsigned char>(size >> 24)};
    if (!file.write(leader, 4))
        return false;
    offset = file.size();
    count = quint64(data.size());
    return file.write(data.constData(), std::size_t(data.size())) &&
           file.write(data.constData() + data.size() - 4, 4);
}

bool appendTile(LevelData& level, qint64 column, qint64 row, const QByteArray& image,
                const QByteArray& mask)
{
    if (column < 0 || row < 0 || column >= level.across || row >= level.down || image.size() < 4)
        return false;
    const qint64 place = row * level.across + column;
    if (place <= level.lastPlace)
        return false; // the tables are written in the order of the places
    IndexEntry e{quint64(place), 0, 0, 0, 0};
    if (!appendBlock(level.file, image, e.imageOffset, e.imageCount) ||
        !appendBlock(level.file, mask, e.maskOffset, e.maskCount) ||
        !level.index.write(&e, sizeof e))
        return false;
    level.lastPlace = place;
    ++level.tiles;
    return true;
}

// Writes one table of a level (a value for every place, 0 for sparse ones;
// offsets plus `base`) to `sink` in pieces, asking `go` between them. False
// with `error` set when the level's index cannot be read back, with it
// untouched when `go` or `sink` said no.
bool emitTable(LevelData& level, Table table, quint64 base, bool big,
               const std::function<bool(const std::string&)>& sink,
               const std::function<bool()>& go, int& error)
{
    if (!level.index.flush()) {
        error = level.index.error();
        return false;
    }
    const quint64 places = quint64(level.across * level.down);
    const std::size_t width = big ? 8 : 4;
    constexpr std::size_t Batch = 4096;
    std::vector<IndexEntry> entries;
    qint64 read = 0;
    std::size_t next = 0;
    std::string piece;
    piece.reserve(1 << 20);
    for (quint64 place = 0; place < places; ++place) {
        if (next == entries.size() && read < level.tiles) {
            entries.resize(std::size_t(std::min<qint64>(Batch, level.tiles - read)));
            if (!level.index.readAt(quint64(read) * sizeof(IndexEntry), entries.data(),
                                    entries.size() * sizeof(IndexEntry))) {
                error = errno ? errno : EIO;
                return false;
            }
            read += qint64(entries.size());
            next = 0;
        }
        quint64 value = 0;
        if (next < entries.size() && entries[next].place == place) {
            const IndexEntry& e = entries[next++];
            switch (table) {
            case Table::ImageOffsets:
                value = e.imageOffset + base;
                break;
            case Table::ImageCounts:
                value = e.imageCount;
                break;
            case Table::MaskOffsets:
                value = e.maskOffset + base;
                break;
            case Table::MaskCounts:
                value = e.maskCount;
                break;
            }
        }
        const std::size_t at = piece.size();
        piece.resize(at + width);
        for (std::size_t b = 0; b < width; ++b)
            piece[at + b] = static_cast<char>((value >> (8 * b)) & 0xFF);
        if (piece.size() >= (1u << 20)) {
            if (!go() || !sink(piece))
                return false;
            piece.clear();
        }
    }
    return piece.empty() || sink(piece);
}

QByteArray deflate(const unsigned char* data, std::size_t size)
{
    uLongf capacity = compressBound(uLong(size));
    QByteArray out(qsizetype(capacity), Qt::Uninitialized);
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &capacity, data, uLong(size), 6) != Z_OK)
        return QByteArray();
    out.resize(qsizetype(capacity));
    return out;
}

// A tile of the 1-bit mask (1: data), rows of 32 bytes, compressed.
QByteArray maskTile(const std::uint8_t* rgba)
{
    unsigned char bits[Side * Side / 8];
    std::memset(bits, 0, sizeof bits);
    if (!rgba) {
        std::memset(bits, 0xFF, sizeof bits);
    } else {
        for (int j = 0; j < Side; ++j)
            for (int i = 0; i < Side; ++i)
                if (rgba[(std::size_t(j) * Side + std::size_t(i)) * 4 + 3])
                    bits[j * (Side / 8) + i / 8] |= static_cast<unsigned char>(0x80 >> (i % 8));
    }
    return deflate(bits, sizeof bits);
}

// One directory entry: its values as little-endian bytes, or one of a
// level's tables, written only when the file is.
struct Entry
{
    quint16 tag = 0;
    quint16 type = 0;
    quint64 count = 0;
    std::string bytes;
    LevelData* level = nullptr; // a table of it
    Table table = Table::ImageOffsets;
    quint64 base = 0;
    std::size_t width = 0; // bytes a value of the table
    quint64 size() const { return level ? count * width : bytes.size(); }
};

// A stretch of the file's head: bytes, or a level's table.
struct Piece
{
    std::string bytes;
    LevelData* level = nullptr;
    Table table = Table::ImageOffsets;
    quint64 base = 0;
    quint64 tableSize = 0;
    quint64 size() const { return level ? tableSize : bytes.size(); }
};

enum : quint16
{
    Ascii = 2,
    Short = 3,
    Long = 4,
    Rational = 5,
    Double = 12,
    Long8 = 16,
};

template <typename T> void putLe(std::string& out, T value)
{
    for (std::size_t i = 0; i < sizeof(T); ++i)
        out.push_back(static_cast<char>((quint64(value) >> (8 * i)) & 0xFF));
}

Entry shorts(quint16 tag, std::initializer_list<quint16> values)
{
    Entry e{tag, Short, values.size(), {}};
    for (quint16 v : values)
        putLe(e.bytes, v);
    return e;
}

Entry longValue(quint16 tag, quint32 value)
{
    Entry e{tag, Long, 1, {}};
    putLe(e.bytes, value);
    return e;
}

Entry doubles(quint16 tag, std::initializer_list<double> values)
{
    Entry e{tag, Double, values.size(), {}};
    for (double v : values) {
        quint64 bits;
        std::memcpy(&bits, &v, 8);
        putLe(e.bytes, bits);
    }
    return e;
}

Entry offsets(quint16 tag, LevelData& level, Table table, quint64 base, bool big)
{
    Entry e{tag, big ? Long8 : Long, quint64(level.across * level.down), {}};
    e.level = &level;
    e.table = table;
    e.base = base;
    e.width = big ? 8 : 4;
    return e;
}

// A directory and the values that do not fit in it, placed at `at`: the
// pieces to write, one after the other.
std::vector<Piece> directory(std::vector<Entry> entries, bool big, quint64 at, quint64 next)
{
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
    const std::size_t inlineBytes = big ? 8 : 4;
    const std::size_t head = big ? 8 + entries.size() * 20 + 8 : 2 + entries.size() * 12 + 4;
    std::string out;
    std::vector<Piece> extra;
    quint64 extraSize = 0;
    auto addBytes = [&](const std::string& bytes) {
        if (extra.empty() || extra.back().level)
            extra.emplace_back();
        extra.back().bytes += bytes;
        extraSize += bytes.size();
    };
    if (big)
        putLe(out, quint64(entries.size()));
    else
        putLe(out, quint16(entries.size()));
    for (Entry& e : entries) {
        putLe(out, e.tag);
        putLe(out, e.type);
        if (big)
            putLe(out, e.count);
        else
            putLe(out, quint32(e.count));
        if (e.level && e.size() <= inlineBytes) {
            // A level of one tile: its table fits in the entry.
            std::string value;
            int ignored = 0; // a failure shows again when the file is written
            emitTable(*e.level, e.table, e.base, big,
                      [&](const std::string& piece) { return value += piece, true; },
                      [] { return true; }, ignored);
            e.bytes = value;
            e.level = nullptr;
        }
        if (e.size() <= inlineBytes) {
            std::string value = e.bytes;
            value.resize(inlineBytes, '\0');
            out += value;
        } else {
            const quint64 where = at + head + extraSize;
            if (big)
                putLe(out, where);
            else
                putLe(out, quint32(where));
            if (e.level) {
                Piece table;
                table.level = e.level;
                table.table = e.table;
                table.base = e.base;
                table.tableSize = e.size();
                extra.push_back(table);
                extraSize += table.tableSize;
            } else {
                addBytes(e.bytes);
            }
            if (extraSize % 2)
                addBytes(std::string(1, '\0'));
        }
    }
    if (big)
        putLe(out, next);
    else
        putLe(out, quint32(next));
    std::vector<Piece> pieces(1);
    pieces[0].bytes = std::move(out);
    pieces.insert(pieces.end(), extra.begin(), extra.end());
    return pieces;
}

quint64 sizeOf(const std::vector<Piece>& pieces)
{
    quint64 size = 0;
    for (const Piece& p : pieces)
        size += p.size();
    return size;
}

// Copies a scratch file to the end of `out`, in pieces, asking `go` between them.
bool appendFile(int out, ScratchFile& from, const std::function<bool()>& go, int& error)
{
    if (!from.flush()) {
        error = from.error();
        return false;
    }
    const quint64 size = from.size();
    loff_t in = 0;
    bool kernel = true;
    std::vector<char> buffer;
    while (quint64(in) < size) {
        if (!go())
            return false;
        const std::size_t piece = std::size_t(std::min<quint64>(size - quint64(in), 16u << 20));
        ssize_t n = -1;
        if (kernel) {
            n = ::copy_file_range(from.fd(), &in, out, nullptr, piece, 0);
            if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                          errno == EOPNOTSUPP || errno == EBADF)) {
                kernel = false;
                continue;
            }
        } else {
            buffer.resize(piece);
            n = ::pread(from.fd(), buffer.data(), piece, in);
            if (n > 0) {
                const char* p = buffer.data();
                ssize_t left = n;
                while (left > 0) {
                    const ssize_t w = ::write(out, p, std::size_t(left));
                    if (w < 0 && errno == EINTR)
                        continue;
                    if (w <= 0) {
                        error = w < 0 ? errno : ENOSPC;
                        return false;
                    }
                    p += w;
                    left -= w;
                }
                in += n;
            }
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            return false;
        }
    }
    return true;
}

bool writeAllTo(int fd, const std::string& data, int& error)
{
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            return false;
        }
        p += n;
        left -= std::size_t(n);
    }
    return true;
}

} // namespace

bool CogWriter::write(const WeaveRequest& request, const TileRect& rect, const JobScan& scan,
                      Feedback* feedback, WeaveResult& result)
{
    int scale = 0;
    while ((1 << scale) < request.scaleDivisor)
        ++scale;
    const qint64 columns = rect.width(), rows = rect.height();
    int last = scale;
    while ((qint64(1) << last) < std::max(columns, rows))
        ++last;
    const int count = last - scale + 1;
    auto writeFailed = [&](int error) {
        result.error = QStringLiteral("Could not write %1: %2").arg(request.outPath, systemError(error));
        return false;
    };
    // A TIFF's width and height are 32-bit.
    if (((std::max(columns, rows) * Side) >> scale) > qint64(0xFFFFFFFF)) {
        result.error = QStringLiteral("The area is too large for a GeoTIFF (%1 x %2 tiles); "
                                      "choose a smaller area, a scale, or MBTiles or GeoPackage.")
                           .arg(columns)
                           .arg(rows);
        return false;
    }

    std::vector<std::unique_ptr<LevelData>> levels;
    for (int i = 0; i < count; ++i) {
        auto level = std::make_unique<LevelData>();
        const int l = scale + i;
        const qint64 step = qint64(1) << l;
        level->pyramidLevel = l;
        level->across = (columns + step - 1) >> l;
        level->down = (rows + step - 1) >> l;
        level->width = (columns * Side + step - 1) >> l;
        level->height = (rows * Side + step - 1) >> l;
        if (!level->file.open(m_scratchPrefix + QStringLiteral("level%1").arg(i)))
            return writeFailed(level->file.error());
        if (!level->index.open(m_scratchPrefix + QStringLiteral("index%1").arg(i)))
            return writeFailed(level->index.error());
        levels.push_back(std::move(level));
    }

    const ChromaSubsampling subsampling = firstTileSubsampling(request.input.imageFolder, rect, scan);
    const QByteArray fullMask = maskTile(nullptr);
    const int quality = request.jpegQuality;
    int failure = 0;

    PyramidJob job;
    job.imageFolder = request.input.imageFolder;
    job.zoom = request.input.zoom;
    job.rect = rect;
    job.scan = &scan;
    job.levels = last;
    job.anchor = PyramidAnchor::JobCorner;
    job.copyRule = CopyRule::TiffLayout;
    job.jobBytes = scale == 0;
    job.subsampling = subsampling;
    job.jpegQuality = quality;
    job.encoder = [&](const LevelTile& tile, int level) {
        return level >= scale ? encodeJpegTile(tile.rgba, quality, subsampling) : QByteArray();
    };
    if (scale == 0)
        job.onJobRow = [&](const JobRow& row) {
            LevelData& level = *levels[0];
            for (const JobTile& tile : row.tiles) {
                if (tile.verdict != TileVerdict::Copy && tile.verdict != TileVerdict::Reencoded)
                    continue;
                if (!appendTile(level, tile.x - rect.minX, rect.maxY - tile.y, tile.bytes,
                                fullMask)) {
                    failure = level.file.error() ? level.file.error() : EINVAL;
                    return false;
                }
            }
            return true;
        };
    job.onLevelRow = [&](const LevelRow& row) {
        if (row.level < scale)
            return true;
        LevelData& level = *levels[std::size_t(row.level - scale)];
        for (const LevelTile& tile : row.tiles) {
            if (tile.coverage == Coverage::None)
                continue;
            if (!appendTile(level, tile.x, tile.y, tile.encoded,
                            tile.coverage == Coverage::Full ? fullMask : maskTile(tile.rgba))) {
                failure = level.file.error() ? level.file.error() : EINVAL;
                return false;
            }
        }
        return true;
    };

    const PyramidResult built = buildPyramid(job, feedback);
    for (const auto& [tile, reason] : built.undecodable)
        result.undecodable.push_back(tile);
    result.reencoded = built.reencoded;
    result.written = built.copied + qint64(built.reencoded.size());
    if (!built.ok) {
        if (built.cancelled) {
            result.cancelled = true;
            result.error = QStringLiteral("Cancelled.");
            return false;
        }
        if (built.stopped)
            return failure == EINVAL ? (result.error = QStringLiteral("Could not encode a tile of %1")
                                                           .arg(request.outPath),
                                        false)
                                     : writeFailed(failure);
        result.error = built.error;
        return false;
    }

    // Where everything goes: the directories first, then the levels' tiles.
    const MercatorBounds bounds = mercatorBounds(rect, request.input.zoom);
    const double pixel = (bounds.east - bounds.west) / double(levels[0]->width);
    const double pixelY = (bounds.north - bounds.south) / double(levels[0]->height);
    std::string notes = "LAYOUT=IFDS_BEFORE_DATA\nBLOCK_ORDER=ROW_MAJOR\n"
                        "BLOCK_LEADER=SIZE_AS_UINT4\nBLOCK_TRAILER=LAST_4_BYTES_REPEATED\n"
                        "KNOWN_INCOMPATIBLE_EDITION=NO\nMASK_INTERLEAVED_WITH_IMAGERY=YES\n";
    char noteHead[64];
    std::snprintf(noteHead, sizeof noteHead, "GDAL_STRUCTURAL_METADATA_SIZE=%06d bytes\n",
                  int(notes.size()));
    notes = noteHead + notes;

    auto entriesOf = [&](LevelData& level, bool mask, quint64 base, bool big) {
        const bool main = &level == levels[0].get();
        std::vector<Entry> e;
        e.push_back(longValue(254, (main ? 0u : 1u) | (mask ? 4u : 0u)));
        e.push_back(longValue(256, quint32(level.width)));
        e.push_back(longValue(257, quint32(level.height)));
        e.push_back(shorts(322, {Side}));
        e.push_back(shorts(323, {Side}));
        e.push_back(shorts(284, {1}));
        if (mask) {
            e.push_back(shorts(258, {1}));
            e.push_back(shorts(259, {8})); // Deflate
            e.push_back(shorts(262, {4})); // transparency mask
            e.push_back(shorts(277, {1}));
            e.push_back(offsets(324, level, Table::MaskOffsets, base, big));
            e.push_back(offsets(325, level, Table::MaskCounts, 0, big));
        } else {
            e.push_back(shorts(258, {8, 8, 8}));
            e.push_back(shorts(259, {7})); // JPEG
            e.push_back(shorts(262, {6})); // YCbCr
            e.push_back(shorts(277, {3}));
            e.push_back(offsets(324, level, Table::ImageOffsets, base, big));
            e.push_back(offsets(325, level, Table::ImageCounts, 0, big));
            e.push_back(shorts(530, {quint16(subsampling.h), quint16(subsampling.v)}));
            Entry black{532, Rational, 6, {}};
            for (quint32 v : {0u, 255u, 128u, 255u, 128u, 255u}) {
                putLe(black.bytes, v);
                putLe(black.bytes, 1u);
            }
            e.push_back(black);
            if (main) {
                e.push_back(doubles(33550, {pixel, pixelY, 0.0}));
                e.push_back(doubles(33922, {0, 0, 0, bounds.west, bounds.north, 0}));
                // Projected, pixels are areas, EPSG:3857.
                e.push_back(shorts(34735, {1, 1, 0, 3, 1024, 0, 1, 1, 1025, 0, 1, 1, 3072, 0, 1,
                                           3857}));
            }
        }
        return e;
    };

    bool big = m_forceBigTiff;
    std::vector<Piece> head;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const quint64 headerSize = big ? 16 : 8;
        quint64 firstIfd = headerSize + notes.size();
        firstIfd += firstIfd % 2;
        // Sizes first (they do not depend on the offsets), then the real thing.
        std::vector<quint64> at;
        quint64 cursor = firstIfd;
        for (const auto& level : levels)
            for (bool mask : {false, true}) {
                at.push_back(cursor);
                cursor += sizeOf(directory(entriesOf(*level, mask, 0, big), big, 0, 0));
            }
        std::vector<quint64> base(levels.size());
        quint64 data = cursor;
        for (std::size_t i = levels.size(); i-- > 0;) {
            base[i] = data;
            data += levels[i]->file.size();
        }
        if (!big && data > 0xFFFFFFFFull) {
            big = true;
            continue;
        }
        std::string start = "II";
        if (big) {
            putLe(start, quint16(43));
            putLe(start, quint16(8));
            putLe(start, quint16(0));
            putLe(start, firstIfd);
        } else {
            putLe(start, quint16(42));
            putLe(start, quint32(firstIfd));
        }
        start += notes;
        start.resize(std::size_t(firstIfd), '\0');
        head.assign(1, Piece{});
        head[0].bytes = std::move(start);
        std::size_t k = 0;
        for (std::size_t i = 0; i < levels.size(); ++i)
            for (bool mask : {false, true}) {
                const quint64 next = k + 1 < at.size() ? at[k + 1] : 0;
                const std::vector<Piece> d =
                    directory(entriesOf(*levels[i], mask, base[i], big), big, at[k], next);
                head.insert(head.end(), d.begin(), d.end());
                ++k;
            }
        break;
    }

    const qint64 total = rect.count();
    auto go = [&] { return reportProgress(feedback, total, total); };
    const int out = ::open(QFile::encodeName(m_path).constData(),
                           O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0)
        return writeFailed(errno);
    int error = 0;
    bool ok = true;
    for (const Piece& piece : head) {
        if (!ok)
            break;
        if (!piece.level) {
            ok = writeAllTo(out, piece.bytes, error);
            continue;
        }
        ok = emitTable(
            *piece.level, piece.table, piece.base, big,
            [&](const std::string& bytes) { return writeAllTo(out, bytes, error); }, go, error);
    }
    for (const auto& level : levels)
        level->index.remove();
    for (std::size_t i = levels.size(); ok && i-- > 0;) {
        ok = appendFile(out, levels[i]->file, go, error);
        levels[i]->file.remove(); // room for the rest on a nearly full disk
    }
    if (::close(out) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (!ok && error == 0) {
        result.cancelled = true;
        result.error = QStringLiteral("Cancelled.");
        return false;
    }
    return ok || writeFailed(error);
}

} // namespace tavo::weaver
