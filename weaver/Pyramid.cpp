#include "weaver/Pyramid.h"

#include <QFile>

#include <turbojpeg.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

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
        for (std::thread& t : m_threads)
            t.join();
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

    std::vector<std::thread> m_threads;
    std::mutex m_mutex;
    std::condition_variable m_wake, m_idle;
    const std::function<void(std::size_t)>* m_fn = nullptr;
    std::size_t m_count = 0;
    std::atomic<std::size_t> m_next{0};
    std::size_t m_busy = 0;
    std::uint64_t m_generation = 0;
    bool m_quit = false;
};

// One level below the job's: its tile range (columns from the west, rows
// from the north, relative to the anchor) and its band of one tile row.
struct Level
{
    qint64 cmin = 0, cmax = 0, nmin = 0, nmax = 0;
    std::vector<unsigned char> band;
    std::size_t width() const { return std::size_t(cmax - cmin + 1); }
    unsigned char* tile(qint64 c) { return band.data() + std::size_t(c - cmin) * PyramidTileBytes; }
};

class Builder
{
public:
    Builder(const PyramidJob& job, const ProgressCallback& progress)
        : m_job(job), m_progress(progress),
          m_workers(job.threads > 0 ? job.threads
                                    : std::max(1, int(std::thread::hardware_concurrency())))
    {
    }

    PyramidResult run();

private:
    qint64 north(qint32 y) const { return m_gridRows - 1 - y; }
    bool poll();
    void doTile(JobTile& tile, unsigned char* half, std::size_t halfPitch);
    bool finishRow(int level, qint64 n);

    const PyramidJob& m_job;
    const ProgressCallback& m_progress;
    Workers m_workers;
    PyramidResult m_result;
    qint64 m_gridRows = 0;     // rows of the grid at the job's zoom
    qint64 m_ox = 0, m_on = 0; // anchor, in job tiles (column, row from the north)
    std::vector<Level> m_levels; // [1..levels]
    std::atomic<qint64> m_done{0};
    std::chrono::steady_clock::time_point m_lastPoll;
    bool m_cancelled = false;
};

bool Builder::poll()
{
    if (m_cancelled)
        return false;
    if (!m_progress)
        return true;
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastPoll < std::chrono::milliseconds(50))
        return true;
    m_lastPoll = now;
    if (!m_progress(m_done.load(), m_job.rect.count()))
        m_cancelled = true;
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

bool Builder::finishRow(int level, qint64 n)
{
    Level& lv = m_levels[std::size_t(level)];
    LevelRow row;
    row.level = level;
    row.zoom = m_job.zoom - level;
    const qint64 rowsHere = m_gridRows >> level;
    row.y = qint32(m_job.anchor == PyramidAnchor::ZoomGrid ? rowsHere - 1 - n : n);
    row.tiles.resize(lv.width());
    const bool go = m_workers.run(
        lv.width(),
        [&](std::size_t i) {
            LevelTile& t = row.tiles[i];
            t.x = qint32(lv.cmin + qint64(i));
            t.y = row.y;
            const unsigned char* pixels = lv.band.data() + i * PyramidTileBytes;
            t.coverage = coverageOf(pixels);
            if (t.coverage == Coverage::None)
                return;
            t.rgba = pixels;
            if (m_job.encoder)
                t.encoded = m_job.encoder(t, level);
        },
        [this] { return poll(); });
    if (!go)
        return false;
    if (m_job.onLevelRow && !m_job.onLevelRow(row)) {
        m_result.stopped = true;
        return false;
    }
    const bool last = level + 1 >= int(m_levels.size());
    const bool more = m_workers.run(
        lv.width(),
        [&](std::size_t i) {
            unsigned char* pixels = lv.band.data() + i * PyramidTileBytes;
            if (row.tiles[i].coverage != Coverage::None) {
                if (!last) {
                    Level& up = m_levels[std::size_t(level) + 1];
                    const qint64 c = lv.cmin + qint64(i);
                    averageInto(pixels,
                                up.tile(c >> 1) + (std::size_t(n & 1) * Half * Pitch) +
                                    std::size_t(c & 1) * Half * 4,
                                Pitch);
                }
                std::memset(pixels, 0, PyramidTileBytes);
            }
        },
        [this] { return poll(); });
    if (!more)
        return false;
    if (!last && ((n & 1) == 1 || n == lv.nmax))
        return finishRow(level + 1, n >> 1);
    return true;
}

PyramidResult Builder::run()
{
    const TileRect& rect = m_job.rect;
    if (!m_job.scan || rect.isEmpty() || m_job.zoom < 1 || m_job.zoom > 30 ||
        !m_job.scan->rect().contains(rect.minX, rect.minY) ||
        !m_job.scan->rect().contains(rect.maxX, rect.maxY) || m_job.levels < 0 ||
        m_job.levels > 30 ||
        (m_job.anchor == PyramidAnchor::ZoomGrid && m_job.levels > m_job.zoom)) {
        m_result.error = QStringLiteral("The tiles to combine are not those the folder was read for.");
        return m_result;
    }
    m_gridRows = qint64(1) << m_job.zoom;
    if (m_job.anchor == PyramidAnchor::JobCorner) {
        m_ox = rect.minX;
        m_on = north(rect.maxY);
    }
    const qint64 c0min = rect.minX - m_ox, c0max = rect.maxX - m_ox;
    const qint64 n0min = north(rect.maxY) - m_on, n0max = north(rect.minY) - m_on;
    m_levels.resize(std::size_t(m_job.levels) + 1);
    for (int l = 1; l <= m_job.levels; ++l) {
        Level& lv = m_levels[std::size_t(l)];
        lv.cmin = c0min >> l;
        lv.cmax = c0max >> l;
        lv.nmin = n0min >> l;
        lv.nmax = n0max >> l;
        lv.band.assign(lv.width() * PyramidTileBytes, 0);
    }
    const std::size_t columns = std::size_t(c0max - c0min + 1);
    const bool levels = m_job.levels > 0;

    for (qint64 first = n0min; first <= n0max;) {
        // A batch: the job rows of one row of level 1.
        const qint64 last = std::min(n0max, first | 1);
        std::vector<JobRow> rows(std::size_t(last - first + 1));
        for (std::size_t r = 0; r < rows.size(); ++r) {
            rows[r].y = qint32(m_gridRows - 1 - (first + qint64(r) + m_on));
            rows[r].tiles.resize(columns);
        }
        const bool go = m_workers.run(
            rows.size() * columns,
            [&](std::size_t item) {
                const std::size_t r = item / columns, i = item % columns;
                const qint64 n = first + qint64(r), c = c0min + qint64(i);
                JobTile& tile = rows[r].tiles[i];
                tile.x = qint32(c + m_ox);
                tile.y = rows[r].y;
                tile.hole = m_job.scan->state(tile.x, tile.y);
                if (tile.hole == TileState::Good) {
                    unsigned char* half;
                    std::size_t pitch = Pitch;
                    if (levels) {
                        half = m_levels[1].tile(c >> 1) + std::size_t(n & 1) * Half * Pitch +
                               std::size_t(c & 1) * Half * 4;
                    } else {
                        Codecs& codec = codecs();
                        codec.scratch.resize(std::size_t(Half) * Half * 4);
                        half = codec.scratch.data();
                        pitch = Half * 4;
                    }
                    doTile(tile, half, pitch);
                }
                m_done.fetch_add(1, std::memory_order_relaxed);
            },
            [this] { return poll(); });
        if (!go) {
            m_result.cancelled = m_cancelled;
            return m_result;
        }
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
        if (levels && !finishRow(1, first >> 1)) {
            m_result.cancelled = m_cancelled;
            return m_result;
        }
        first = last + 1;
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
    auto fail = [&](const QString& why) {
        if (reason)
            *reason = why;
        return false;
    };
    // Non-blocking, so that a FIFO named like a tile cannot hold the open.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return fail(QStringLiteral("cannot be read: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(QStringLiteral("not a regular file"));
    }
    if (st.st_size > limit) {
        ::close(fd);
        return fail(QStringLiteral("larger than %1 bytes").arg(limit));
    }
    bytes.resize(qsizetype(st.st_size));
    qint64 done = 0;
    while (done < st.st_size) {
        const ssize_t n = ::read(fd, bytes.data() + done, std::size_t(st.st_size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    ::close(fd);
    if (done != st.st_size)
        return fail(QStringLiteral("cannot be read whole"));
    return true;
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

PyramidResult buildPyramid(const PyramidJob& job, const ProgressCallback& progress)
{
    Builder builder(job, progress);
    return builder.run();
}

} // namespace tavo::weaver
