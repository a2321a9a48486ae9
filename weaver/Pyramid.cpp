#include "weaver/Pyramid.h"

#include "engine/TaskThread.h"

#include <QFile>

#include <turbojpeg.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavo::weaver {

namespace {

constexpr int Side = PyramidTileSide;
constexpr int Half = Side / 2;
constexpr int Pitch = Side * 4;

unsigned be16(const unsigned char* p)
{
    return unsigned(p[0]) << 8 | p[1];
}

// The decoder's subsampling code for a layout; -1 when it has none.
int tjSubsampling(ChromaSubsampling s)
{
    if (s == ChromaSubsampling{1, 1})
        return TJSAMP_444;
    if (s == ChromaSubsampling{2, 1})
        return TJSAMP_422;
    if (s == ChromaSubsampling{2, 2})
        return TJSAMP_420;
    if (s == ChromaSubsampling{1, 2})
        return TJSAMP_440;
    if (s == ChromaSubsampling{4, 1})
        return TJSAMP_411;
    return -1;
}

// What a tiled JPEG TIFF can hold unchanged, whatever its subsampling.
bool tiffShaped(const JpegLayout& layout)
{
    return layout.valid && layout.baseline && layout.precision == 8 && layout.components == 3 &&
           layout.ycbcr && layout.plainChroma && tjSubsampling(layout.subsampling) >= 0 &&
           layout.width == Side && layout.height == Side;
}

QString subsamplingName(ChromaSubsampling s)
{
    switch (tjSubsampling(s)) {
    case TJSAMP_444:
        return QStringLiteral("4:4:4");
    case TJSAMP_422:
        return QStringLiteral("4:2:2");
    case TJSAMP_420:
        return QStringLiteral("4:2:0");
    case TJSAMP_440:
        return QStringLiteral("4:4:0");
    case TJSAMP_411:
        return QStringLiteral("4:1:1");
    default:
        return QStringLiteral("%1x%2").arg(s.h).arg(s.v);
    }
}

// Why a decodable tile cannot be stored unchanged; empty when it can.
QString copyObstacle(const JpegLayout& layout, CopyRule rule, ChromaSubsampling wanted)
{
    if (layout.width != Side || layout.height != Side)
        return QStringLiteral("%1 x %2 pixels").arg(layout.width).arg(layout.height);
    if (rule == CopyRule::AnyJpeg)
        return QString();
    if (layout.progressive)
        return QStringLiteral("progressive");
    if (!layout.baseline)
        return QStringLiteral("not baseline");
    if (layout.precision != 8)
        return QStringLiteral("%1-bit").arg(layout.precision);
    if (layout.components == 1)
        return QStringLiteral("grayscale");
    if (layout.components == 4)
        return QStringLiteral("CMYK");
    if (layout.components != 3 || !layout.ycbcr)
        return QStringLiteral("RGB colour");
    if (!layout.plainChroma || layout.subsampling != wanted)
        return QStringLiteral("%1 chroma").arg(layout.plainChroma
                                                   ? subsamplingName(layout.subsampling)
                                                   : QStringLiteral("unusual"));
    return QString();
}

// One decoder and one encoder for each thread, made when first needed.
struct Codecs
{
    tjhandle decoder = nullptr;
    tjhandle encoder = nullptr;
    std::vector<unsigned char> full;    // a whole decoded tile of any size
    std::vector<unsigned char> resized; // 256 x 256 RGBA
    std::vector<unsigned char> scratch; // 128 x 128 RGBA
    std::vector<unsigned char> jpeg;
    ~Codecs()
    {
        if (decoder)
            tjDestroy(decoder);
        if (encoder)
            tjDestroy(encoder);
    }
    tjhandle dec()
    {
        if (!decoder)
            decoder = tjInitDecompress();
        return decoder;
    }
    tjhandle enc()
    {
        if (!encoder)
            encoder = tjInitCompress();
        return encoder;
    }
};

Codecs& codecs()
{
    thread_local Codecs local;
    return local;
}

QString decoderError(tjhandle handle)
{
    return QString::fromLocal8Bit(tjGetErrorStr2(handle)).trimmed();
}

// Averages a 256 x 256 RGBA tile 2 x 2 into 128 x 128 pixels at `out`
// (rows `outPitch` bytes apart), colour weighted by alpha.
void averageInto(const unsigned char* in, unsigned char* out, std::size_t outPitch)
{
    for (int j = 0; j < Half; ++j) {
        const unsigned char* a = in + std::size_t(2 * j) * Pitch;
        const unsigned char* b = a + Pitch;
        unsigned char* o = out + std::size_t(j) * outPitch;
        for (int i = 0; i < Half; ++i, a += 8, b += 8, o += 4) {
            const unsigned sa = unsigned(a[3]) + a[7] + b[3] + b[7];
            if (sa == 4 * 255) {
                for (int c = 0; c < 3; ++c)
                    o[c] = static_cast<unsigned char>((unsigned(a[c]) + a[4 + c] + b[c] + b[4 + c] + 2) >> 2);
                o[3] = 255;
            } else if (sa == 0) {
                std::memset(o, 0, 4);
            } else {
                for (int c = 0; c < 3; ++c)
                    o[c] = static_cast<unsigned char>(
                        (unsigned(a[c]) * a[3] + unsigned(a[4 + c]) * a[7] + unsigned(b[c]) * b[3] +
                         unsigned(b[4 + c]) * b[7] + sa / 2) /
                        sa);
                o[3] = static_cast<unsigned char>((sa + 2) >> 2);
            }
        }
    }
}

void clearQuadrant(unsigned char* out, std::size_t pitch)
{
    for (int j = 0; j < Half; ++j)
        std::memset(out + std::size_t(j) * pitch, 0, Half * 4);
}

Coverage coverageOf(const unsigned char* rgba)
{
    bool any = false, all = true;
    for (std::size_t i = 3; i < PyramidTileBytes; i += 4) {
        if (rgba[i])
            any = true;
        if (rgba[i] != 255)
            all = false;
        if (any && !all)
            return Coverage::Partial;
    }
    return all ? Coverage::Full : any ? Coverage::Partial : Coverage::None;
}

// Decodes a whole tile of any size and kind to 256 x 256 RGBA in c.resized.
bool decodeWhole(Codecs& c, const QByteArray& bytes, const JpegLayout& layout, QString& reason)
{
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.constData());
    const unsigned long size = static_cast<unsigned long>(bytes.size());
    const int w = layout.width, h = layout.height;
    // A tile is 256 x 256; a picture far larger is no tile and would cost
    // every thread its size in memory.
    if (w <= 0 || h <= 0 || qint64(w) * h > 16LL << 20) {
        reason = QStringLiteral("%1 x %2 pixels").arg(w).arg(h);
        return false;
    }
    const bool cmyk = layout.components == 4;
    c.full.resize(std::size_t(w) * h * 4);
    if (tjDecompress2(c.dec(), data, size, c.full.data(), w, w * 4, h, cmyk ? TJPF_CMYK : TJPF_RGBA,
                      TJFLAG_STOPONWARNING) != 0) {
        reason = decoderError(c.dec());
        return false;
    }
    if (cmyk) {
        // Stored inverted, as the common writers do.
        for (std::size_t i = 0; i < c.full.size(); i += 4) {
            const unsigned k = c.full[i + 3];
            for (int j = 0; j < 3; ++j)
                c.full[i + std::size_t(j)] =
                    static_cast<unsigned char>(unsigned(c.full[i + std::size_t(j)]) * k / 255);
            c.full[i + 3] = 255;
        }
    }
    c.resized.resize(PyramidTileBytes);
    const auto release = [&c] {
        if (c.full.capacity() > 4 * PyramidTileBytes)
            std::vector<unsigned char>().swap(c.full);
    };
    if (w == Side && h == Side) {
        std::memcpy(c.resized.data(), c.full.data(), PyramidTileBytes);
        return true;
    }
    // Another size: each output pixel takes the source pixel under its centre.
    for (int j = 0; j < Side; ++j) {
        const int sy = int((qint64(j) * 2 + 1) * h / (2 * Side));
        for (int i = 0; i < Side; ++i) {
            const int sx = int((qint64(i) * 2 + 1) * w / (2 * Side));
            std::memcpy(&c.resized[(std::size_t(j) * Side + std::size_t(i)) * 4],
                        &c.full[(std::size_t(sy) * std::size_t(w) + std::size_t(sx)) * 4], 4);
        }
    }
    release();
    return true;
}

// Runs work items on a fixed set of threads; the calling thread takes part
// and is the only one that polls for progress and cancel.
class Workers
{
public:
    explicit Workers(int threads)
    {
        m_threads.reserve(std::size_t(std::max(0, threads - 1)));
        for (int i = 1; i < threads; ++i)
            m_threads.emplace_back([this] { loop(); });
    }
    ~Workers()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_quit = true;
        }
        m_wake.notify_all();
        m_threads.clear(); // joins them
    }
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    // Runs fn(0..count-1); false when `poll` asked to stop (some items then never ran).
    bool run(std::size_t count, const std::function<void(std::size_t)>& fn,
             const std::function<bool()>& poll)
    {
        if (count == 0)
            return poll();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_fn = &fn;
            m_count = count;
            m_next = 0;
            m_busy = m_threads.size();
            ++m_generation;
        }
        m_wake.notify_all();
        bool go = true;
        for (;;) {
            const std::size_t i = m_next.fetch_add(1);
            if (i >= count)
                break;
            fn(i);
            if (!poll()) {
                go = false;
                m_next = count;
                break;
            }
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        m_idle.wait(lock, [this] { return m_busy == 0; });
        m_fn = nullptr;
        return go;
    }

private:
    void loop()
    {
        std::uint64_t seen = 0;
        for (;;) {
            const std::function<void(std::size_t)>* fn = nullptr;
            std::size_t count = 0;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_wake.wait(lock, [&] { return m_quit || m_generation != seen; });
                if (m_quit)
                    return;
                seen = m_generation;
                fn = m_fn;
                count = m_count;
            }
            for (;;) {
                const std::size_t i = m_next.fetch_add(1);
                if (i >= count)
                    break;
                (*fn)(i);
            }
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                --m_busy;
            }
            m_idle.notify_all();
        }
    }

    std::vector<TaskThread> m_threads;
    std::mutex m_mutex;
    std::condition_variable m_wake, m_idle;
    const std::function<void(std::size_t)>* m_fn = nullptr;
    std::size_t m_count = 0;
    std::atomic<std::size_t> m_next{0};
    std::size_t m_busy = 0;
    std::uint64_t m_generation = 0;
    bool m_quit = false;
};

// Tile buffers of 256 x 256 RGBA, handed out transparent and kept for reuse.
class TilePool
{
public:
    using Tile = std::unique_ptr<unsigned char[]>;
    Tile take()
    {
        if (m_free.empty())
            return std::make_unique<unsigned char[]>(PyramidTileBytes); // zeroed
        Tile t = std::move(m_free.back());
        m_free.pop_back();
        return t;
    }
    void give(Tile t)
    {
        std::memset(t.get(), 0, PyramidTileBytes);
        m_free.push_back(std::move(t));
    }

private:
    std::vector<Tile> m_free;
};

// One level below the job's: the tiles of the row being filled (columns
// from the west, rows from the north, relative to the anchor). Only tiles
// with something of the job in them exist, so a job area that is mostly
// holes costs what its tiles cost, not what its area would.
struct Level
{
    qint64 row = -1; // the row being filled; -1: none
    std::map<qint64, TilePool::Tile> tiles;
};

// The job's rows that hold Good tiles, from the north, with their columns.
class RowCursor
{
public:
    RowCursor(const JobScan& scan, const TileRect& rect, qint64 gridRows, qint64 ox, qint64 on)
        : m_scan(scan), m_rect(rect), m_gridRows(gridRows), m_ox(ox), m_on(on),
          m_row(gridRows - 1 - rect.maxY - on), m_end(gridRows - 1 - rect.minY - on),
          m_left(scan.rect() == rect ? scan.count(TileState::Good) : -1)
    {
    }

    // The next row (n) with Good tiles and their columns (c); false past the last.
    bool next(qint64& n, std::vector<qint64>& columns)
    {
        columns.clear();
        for (; m_row <= m_end && m_left != 0; ++m_row) {
            const qint32 y = qint32(m_gridRows - 1 - (m_row + m_on));
            for (qint32 x = m_rect.minX; x <= m_rect.maxX; ++x)
                if (m_scan.state(x, y) == TileState::Good)
                    columns.push_back(x - m_ox);
            if (!columns.empty()) {
                if (m_left > 0)
                    m_left -= qint64(columns.size());
                n = m_row++;
                return true;
            }
        }
        return false;
    }

private:
    const JobScan& m_scan;
    const TileRect& m_rect;
    qint64 m_gridRows, m_ox, m_on;
    qint64 m_row, m_end;
    qint64 m_left; // Good tiles not yet found when the scan is the rect's own; -1: unknown
};

class Builder
{
public:
    Builder(const PyramidJob& job, Feedback* feedback)
        : m_job(job), m_feedback(feedback),
          m_workers(job.threads > 0 ? job.threads : coreCount())
    {
    }

    PyramidResult run();

private:
    qint64 north(qint32 y) const { return m_gridRows - 1 - y; }
    bool poll();
    void doTile(JobTile& tile, unsigned char* half, std::size_t halfPitch);
    unsigned char* levelTile(int level, qint64 n, qint64 c);
    bool flushRow(int level);

    const PyramidJob& m_job;
    Feedback* m_feedback;
    Workers m_workers;
    PyramidResult m_result;
    qint64 m_gridRows = 0;     // rows of the grid at the job's zoom
    qint64 m_ox = 0, m_on = 0; // anchor, in job tiles (column, row from the north)
    std::vector<Level> m_levels; // [1..levels]
    TilePool m_pool;
    std::atomic<qint64> m_done{0};
    std::chrono::steady_clock::time_point m_lastPoll;
    bool m_cancelled = false;
};

bool Builder::poll()
{
    if (m_cancelled || !m_feedback)
        return !m_cancelled;
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastPoll < std::chrono::milliseconds(50)) {
        m_cancelled = m_feedback->isCancelled();
        return !m_cancelled;
    }
    m_lastPoll = now;
    m_cancelled = !m_feedback->setProgress(m_done.load(), m_job.rect.count());
    return !m_cancelled;
}

void Builder::doTile(JobTile& tile, unsigned char* half, std::size_t halfPitch)
{
    Codecs& c = codecs();
    auto undecodable = [&](const QString& reason) {
        tile.verdict = TileVerdict::Undecodable;
        tile.reason = reason;
        tile.bytes.clear();
        clearQuadrant(half, halfPitch);
    };
    QByteArray bytes;
    QString reason;
    if (!readTileFile(m_job.imageFolder + tileFileName(tile.x, tile.y), bytes, &reason))
        return undecodable(reason);
    const JpegLayout layout = readJpegLayout(bytes);
    if (!layout.valid)
        return undecodable(QStringLiteral("no JPEG frame header"));
    const QString obstacle = copyObstacle(layout, m_job.copyRule, m_job.subsampling);
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.constData());
    const auto size = static_cast<unsigned long>(bytes.size());
    if (obstacle.isEmpty()) {
        // The one decode: half size, straight into the level above.
        if (tjDecompress2(c.dec(), data, size, half, Half, int(halfPitch), Half, TJPF_RGBA,
                          TJFLAG_STOPONWARNING) != 0)
            return undecodable(decoderError(c.dec()));
        tile.verdict = TileVerdict::Copy;
        if (m_job.jobBytes)
            tile.bytes = std::move(bytes);
        return;
    }
    if (!decodeWhole(c, bytes, layout, reason))
        return undecodable(reason);
    averageInto(c.resized.data(), half, halfPitch);
    tile.verdict = TileVerdict::Reencoded;
    tile.reason = obstacle;
    if (m_job.jobBytes) {
        tile.bytes = encodeJpegTile(c.resized.data(), m_job.jpegQuality, m_job.subsampling);
        if (tile.bytes.isEmpty())
            return undecodable(QStringLiteral("cannot be encoded again: ") + decoderError(c.enc()));
    }
}

// The tile of `level` at row n, column c, made when first needed; the row
// being filled must be n or none.
unsigned char* Builder::levelTile(int level, qint64 n, qint64 c)
{
    Level& lv = m_levels[std::size_t(level)];
    Q_ASSERT(lv.row < 0 || lv.row == n); // rows are delivered before the next one starts
    lv.row = n;
    TilePool::Tile& t = lv.tiles[c];
    if (!t)
        t = m_pool.take();
    return t.get();
}

// Delivers the row being filled of `level` and averages it into the level below.
bool Builder::flushRow(int level)
{
    Level& lv = m_levels[std::size_t(level)];
    const qint64 n = lv.row;
    LevelRow row;
    row.level = level;
    row.zoom = m_job.zoom - level;
    const qint64 rowsHere = m_gridRows >> level;
    row.y = qint32(m_job.anchor == PyramidAnchor::ZoomGrid ? rowsHere - 1 - n : n);
    std::vector<std::pair<qint64, unsigned char*>> tiles;
    tiles.reserve(lv.tiles.size());
    for (const auto& [c, t] : lv.tiles)
        tiles.push_back({c, t.get()});
    std::vector<LevelTile> made(tiles.size());
    const bool go = m_workers.run(
        tiles.size(),
        [&](std::size_t i) {
            LevelTile& t = made[i];
            t.x = qint32(tiles[i].first);
            t.y = row.y;
            t.coverage = coverageOf(tiles[i].second);
            if (t.coverage == Coverage::None)
                return;
            t.rgba = tiles[i].second;
            if (m_job.encoder)
                t.encoded = m_job.encoder(t, level);
        },
        [this] { return poll(); });
    if (!go)
        return false;
    const bool last = level + 1 >= int(m_levels.size());
    std::vector<std::pair<std::size_t, unsigned char*>> up; // (tile, its parent)
    for (std::size_t i = 0; i < made.size(); ++i) {
        if (made[i].coverage == Coverage::None)
            continue;
        if (!last)
            up.push_back({i, levelTile(level + 1, n >> 1, tiles[i].first >> 1)});
        row.tiles.push_back(std::move(made[i]));
    }
    if (!row.tiles.empty() && m_job.onLevelRow && !m_job.onLevelRow(row)) {
        m_result.stopped = true;
        return false;
    }
    const bool more = m_workers.run(
        up.size(),
        [&](std::size_t i) {
            const qint64 c = tiles[up[i].first].first;
            averageInto(tiles[up[i].first].second,
                        up[i].second + std::size_t(n & 1) * Half * Pitch +
                            std::size_t(c & 1) * Half * 4,
                        Pitch);
        },
        [this] { return poll(); });
    if (!more)
        return false;
    for (auto& [c, t] : lv.tiles)
        m_pool.give(std::move(t));
    lv.tiles.clear();
    lv.row = -1;
    return true;
}

PyramidResult Builder::run()
{
    const TileRect& rect = m_job.rect;
    if (!m_job.scan || rect.isEmpty() || m_job.zoom < MinZoom || m_job.zoom > MaxZoom ||
        !m_job.scan->rect().contains(rect.minX, rect.minY) ||
        !m_job.scan->rect().contains(rect.maxX, rect.maxY) || m_job.levels < 0 ||
        m_job.levels > MaxZoom ||
        (m_job.anchor == PyramidAnchor::ZoomGrid && m_job.levels > m_job.zoom)) {
        m_result.error = QStringLiteral("The tiles to combine are not those the folder was read for.");
        return m_result;
    }
    m_gridRows = qint64(1) << m_job.zoom;
    if (m_job.anchor == PyramidAnchor::JobCorner) {
        m_ox = rect.minX;
        m_on = north(rect.maxY);
    }
    const qint64 n0min = north(rect.maxY) - m_on;
    m_levels.resize(std::size_t(m_job.levels) + 1);
    const bool levels = m_job.levels > 0;

    // Only the rows that hold tiles are visited, in batches of the job rows
    // of one row of level 1; a level's row is delivered as soon as no later
    // job row can add to it.
    RowCursor cursor(*m_job.scan, rect, m_gridRows, m_ox, m_on);
    qint64 nextRow = 0;
    std::vector<qint64> nextColumns;
    bool more = cursor.next(nextRow, nextColumns);
    while (more) {
        const qint64 band = nextRow >> 1;
        std::vector<JobRow> rows;
        std::vector<std::pair<std::size_t, std::size_t>> items; // (row, tile)
        std::vector<unsigned char*> halves;
        while (more && (nextRow >> 1) == band) {
            JobRow& row = rows.emplace_back();
            row.y = qint32(m_gridRows - 1 - (nextRow + m_on));
            row.tiles.resize(nextColumns.size());
            for (std::size_t i = 0; i < nextColumns.size(); ++i) {
                JobTile& tile = row.tiles[i];
                tile.x = qint32(nextColumns[i] + m_ox);
                tile.y = row.y;
                tile.hole = TileState::Good;
                items.push_back({rows.size() - 1, i});
                const qint64 c = nextColumns[i];
                halves.push_back(levels ? levelTile(1, band, c >> 1) +
                                              std::size_t(nextRow & 1) * Half * Pitch +
                                              std::size_t(c & 1) * Half * 4
                                        : nullptr);
            }
            more = cursor.next(nextRow, nextColumns);
        }
        const qint64 passed = (north(rows.back().y) - m_on - n0min + 1) * rect.width();
        const bool go = m_workers.run(
            items.size(),
            [&](std::size_t item) {
                JobTile& tile = rows[items[item].first].tiles[items[item].second];
                unsigned char* half = halves[item];
                std::size_t pitch = Pitch;
                if (!half) {
                    Codecs& codec = codecs();
                    codec.scratch.resize(std::size_t(Half) * Half * 4);
                    half = codec.scratch.data();
                    pitch = Half * 4;
                }
                doTile(tile, half, pitch);
                m_done.fetch_add(1, std::memory_order_relaxed);
            },
            [this] { return poll(); });
        if (!go) {
            m_result.cancelled = m_cancelled;
            return m_result;
        }
        m_done = passed;
        for (const JobRow& row : rows) {
            for (const JobTile& tile : row.tiles) {
                if (tile.verdict == TileVerdict::Copy)
                    ++m_result.copied;
                else if (tile.verdict == TileVerdict::Reencoded)
                    m_result.reencoded.push_back({{tile.x, tile.y}, tile.reason});
                else if (tile.verdict == TileVerdict::Undecodable)
                    m_result.undecodable.push_back({{tile.x, tile.y}, tile.reason});
            }
            if (m_job.onJobRow && !m_job.onJobRow(row)) {
                m_result.stopped = true;
                return m_result;
            }
        }
        for (int l = 1; l <= m_job.levels; ++l) {
            const Level& lv = m_levels[std::size_t(l)];
            if (lv.row >= 0 && (!more || (nextRow >> l) > lv.row) && !flushRow(l)) {
                m_result.cancelled = m_cancelled;
                return m_result;
            }
        }
    }
    const auto westFirst = [](const std::pair<TilePosition, QString>& a,
                              const std::pair<TilePosition, QString>& b) {
        return a.first.x != b.first.x ? a.first.x < b.first.x : a.first.y < b.first.y;
    };
    std::sort(m_result.reencoded.begin(), m_result.reencoded.end(), westFirst);
    std::sort(m_result.undecodable.begin(), m_result.undecodable.end(), westFirst);
    m_result.ok = true;
    return m_result;
}

} // namespace

JpegLayout readJpegLayout(const QByteArray& bytes)
{
    JpegLayout layout;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const std::size_t size = std::size_t(bytes.size());
    if (size < 4 || p[0] != 0xFF || p[1] != 0xD8)
        return layout;
    bool jfif = false, adobe = false, frame = false;
    int transform = -1;
    unsigned char ids[3] = {0, 0, 0};
    std::size_t pos = 2;
    while (pos + 4 <= size) {
        if (p[pos] != 0xFF)
            return layout;
        while (pos < size && p[pos] == 0xFF)
            ++pos;
        if (pos + 3 > size)
            return layout;
        const unsigned marker = p[pos++];
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8))
            continue;
        if (marker == 0xD9)
            return layout;
        const std::size_t length = be16(p + pos);
        if (length < 2 || pos + length > size)
            return layout;
        const unsigned char* s = p + pos + 2;
        const std::size_t n = length - 2;
        if (marker == 0xDA) {
            if (!frame)
                return layout;
            break;
        }
        if (marker == 0xE0 && n >= 5 && std::memcmp(s, "JFIF", 5) == 0)
            jfif = true;
        if (marker == 0xEE && n >= 12 && std::memcmp(s, "Adobe", 5) == 0) {
            adobe = true;
            transform = s[11];
        }
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
            marker != 0xCC) {
            if (n < 6 || frame)
                return layout;
            frame = true;
            layout.baseline = marker == 0xC0;
            layout.progressive = marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
            layout.precision = s[0];
            layout.height = int(be16(s + 1));
            layout.width = int(be16(s + 3));
            layout.components = s[5];
            if (n < 6 + std::size_t(layout.components) * 3)
                return layout;
            if (layout.components == 3) {
                for (int i = 0; i < 3; ++i)
                    ids[i] = s[6 + i * 3];
                layout.subsampling = {s[7] >> 4, s[7] & 15};
                layout.plainChroma = s[10] == 0x11 && s[13] == 0x11;
            }
        }
        pos += length;
    }
    if (!frame)
        return layout;
    if (layout.components == 3) {
        // The colour space as the decoder guesses it.
        if (jfif)
            layout.ycbcr = true;
        else if (adobe)
            layout.ycbcr = transform != 0;
        else
            layout.ycbcr = !(ids[0] == 'R' && ids[1] == 'G' && ids[2] == 'B');
    }
    layout.valid = true;
    return layout;
}

bool readTileFile(const QString& path, QByteArray& bytes, QString* reason, qint64 limit)
{
    return readRegularFile(path, limit, bytes, reason);
}

ChromaSubsampling firstTileSubsampling(const QString& imageFolder, const TileRect& rect,
                                       const JobScan& scan)
{
    int tried = 0;
    for (qint32 y = rect.maxY; y >= rect.minY && tried < 64; --y)
        for (qint32 x = rect.minX; x <= rect.maxX && tried < 64; ++x) {
            if (scan.state(x, y) != TileState::Good)
                continue;
            ++tried;
            QByteArray bytes;
            if (!readTileFile(imageFolder + tileFileName(x, y), bytes, nullptr))
                continue;
            const JpegLayout layout = readJpegLayout(bytes);
            if (tiffShaped(layout))
                return layout.subsampling;
        }
    return {};
}

QByteArray encodeJpegTile(const std::uint8_t* rgba, int quality, ChromaSubsampling subsampling)
{
    Codecs& c = codecs();
    int samp = tjSubsampling(subsampling);
    if (samp < 0)
        samp = TJSAMP_420;
    c.jpeg.resize(tjBufSize(Side, Side, samp));
    unsigned char* out = c.jpeg.data();
    unsigned long size = static_cast<unsigned long>(c.jpeg.size());
    if (tjCompress2(c.enc(), rgba, Side, Pitch, Side, TJPF_RGBA, &out, &size, samp,
                    std::clamp(quality, 1, 100), TJFLAG_NOREALLOC) != 0)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char*>(out), qsizetype(size));
}

PyramidResult buildPyramid(const PyramidJob& job, Feedback* feedback)
{
    Builder builder(job, feedback);
    return builder.run();
}

} // namespace tavo::weaver
