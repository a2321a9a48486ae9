#include "engine/JobFolder.h"

#include "engine/AreaMath.h"
#include "engine/IniFile.h"
#include "engine/ProjectFile.h"
#include "engine/TileMath.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavo {

namespace {

// The largest rectangle a scan accepts: one byte a tile must stay reasonable.
constexpr qint64 MaxScanTiles = 256LL * 1024 * 1024;

// Reads a non-negative decimal number from [p, end) up to `stop`; advances p.
bool readNumber(const char*& p, const char* end, char stop, qint32& value)
{
    const char* start = p;
    qint64 v = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        v = v * 10 + (*p - '0');
        if (v > 0x7fffffff)
            return false;
        ++p;
    }
    if (p == start || p == end || *p != stop)
        return false;
    value = static_cast<qint32>(v);
    return true;
}

} // namespace

bool parseTileFileName(const char* name, qint32& x, qint32& y, bool& part)
{
    const char* end = name + std::strlen(name);
    const char* p = name;
    if (!readNumber(p, end, '_', x))
        return false;
    ++p;
    if (!readNumber(p, end, '.', y))
        return false;
    const std::size_t rest = static_cast<std::size_t>(end - p);
    if (rest == 4 && std::memcmp(p, ".jpg", 4) == 0)
        part = false;
    else if (rest == 9 && std::memcmp(p, ".jpg.part", 9) == 0)
        part = true;
    else
        return false;
    return true;
}

namespace {

constexpr qint64 SignatureSize = 3;
// The bytes at a tile's end that must hold its end marker.
constexpr qint64 TailSize = TileTailSlack + 2;

bool hasJpegSignature(const char* bytes, qint64 size)
{
    return size >= SignatureSize && static_cast<unsigned char>(bytes[0]) == 0xFF &&
           static_cast<unsigned char>(bytes[1]) == 0xD8 &&
           static_cast<unsigned char>(bytes[2]) == 0xFF;
}

// True when the end-of-image marker FF D9 lies in [tail, tail + size).
bool hasEndMarker(const char* tail, qint64 size)
{
    for (qint64 i = size - 2; i >= 0; --i)
        if (static_cast<unsigned char>(tail[i]) == 0xFF &&
            static_cast<unsigned char>(tail[i + 1]) == 0xD9)
            return true;
    return false;
}

// Where the end marker is looked for in a file of `size` bytes: its last
// TailSize bytes, never the signature.
qint64 tailOffset(qint64 size)
{
    return qMax(SignatureSize, size - TailSize);
}

// The state of a whole file's bytes that are neither empty nor the placeholder.
TileState jpegState(const char* bytes, qint64 size)
{
    if (!hasJpegSignature(bytes, size))
        return TileState::NotJpeg;
    const qint64 offset = tailOffset(size);
    return hasEndMarker(bytes + offset, size - offset) ? TileState::Good : TileState::Truncated;
}

// Reads up to `size` bytes at `offset` of an open file.
qint64 readAt(int fd, char* buffer, qint64 size, qint64 offset)
{
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, buffer + done, static_cast<std::size_t>(size - done),
                                  static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

// The state of an open regular file of `size` (> 0) bytes that is not the
// placeholder: its first bytes, then, for a JPEG, its last ones.
TileState jpegFileState(int fd, qint64 size)
{
    char head[SignatureSize];
    if (!hasJpegSignature(head, readAt(fd, head, SignatureSize, 0)))
        return TileState::NotJpeg;
    char tail[TailSize];
    const qint64 offset = tailOffset(size);
    return hasEndMarker(tail, readAt(fd, tail, size - offset, offset)) ? TileState::Good
                                                                       : TileState::Truncated;
}

} // namespace

bool readProjectInfo(const QString& path, ProjectInfo& info, QString* error)
{
    auto fail = [error](const QString& message) {
        if (error)
            *error = message;
        return false;
    };
    const QFileInfo file(path);
    if (!file.isFile() || !file.isReadable())
        return fail(QStringLiteral("Cannot open file %1").arg(path));

    const IniFile ini(path);
    const QString xy = QStringLiteral("XY");
    const int zoom = ini.readInteger(QStringLiteral("Zoom"), QStringLiteral("Zoom"), 0);
    if (zoom < 1 || zoom > 30)
        return fail(QStringLiteral("%1 holds no usable zoom level (1 to 30).").arg(path));
    const QString area = QStringLiteral("AREA");
    const AreaTexts areaTexts{ini.readString(area, QStringLiteral("LeftLongitude"), QString()),
                              ini.readString(area, QStringLiteral("RightLongitude"), QString()),
                              ini.readString(area, QStringLiteral("TopLatitude"), QString()),
                              ini.readString(area, QStringLiteral("BottomLatitude"), QString())};
    const QString keys[] = {QStringLiteral("MinX"), QStringLiteral("MaxX"), QStringLiteral("MinY"),
                            QStringLiteral("MaxY")};
    bool hasRange = true;
    for (const QString& key : keys)
        hasRange = hasRange && ini.hasKey(xy, key);
    TileRect rect;
    if (hasRange) {
        rect = {ini.readInteger(xy, keys[0], -1), ini.readInteger(xy, keys[1], -1),
                ini.readInteger(xy, keys[2], -1), ini.readInteger(xy, keys[3], -1)};
    } else {
        // A project written by hand (or continued from one) may lack the
        // range: the downloader then works from the area, and so does this.
        const AreaValues values = ParseArea(areaTexts);
        if (areaTexts.left.isEmpty() || areaTexts.right.isEmpty() || areaTexts.top.isEmpty() ||
            areaTexts.bottom.isEmpty() || !areaCheckFailure(values).isEmpty())
            return fail(QStringLiteral("%1 holds no tile range.").arg(path));
        rect = tileRectFor(values, zoom);
    }
    const qint64 last = (qint64(1) << zoom) - 1;
    if (rect.isEmpty() || rect.minX < 0 || rect.minY < 0 || rect.maxX > last || rect.maxY > last)
        return fail(QStringLiteral("%1 holds a tile range outside the grid of zoom %2.")
                        .arg(path)
                        .arg(zoom));
    if (rect.count() > MaxScanTiles)
        return fail(QStringLiteral("%1 names %2 tiles, more than this program can show.")
                        .arg(path)
                        .arg(rect.count()));

    info.projectPath = path;
    info.saveFolder = folderPartOf(path);
    info.projectBase = projectBaseOf(fileNamePartOf(path));
    info.imageFolder = info.saveFolder + info.projectBase + u'/';
    info.area = areaTexts;
    info.zoom = zoom;
    info.rect = rect;
    info.threadCount = ini.readInteger(QStringLiteral("THREADS"), QStringLiteral("ThreadCount"), 1);
    return true;
}

QString tileStateName(TileState state)
{
    switch (state) {
    case TileState::Good:
        return QStringLiteral("good");
    case TileState::Missing:
        return QStringLiteral("missing");
    case TileState::Placeholder:
        return QStringLiteral("blank");
    case TileState::Empty:
        return QStringLiteral("empty");
    case TileState::NotJpeg:
        return QStringLiteral("not a JPEG");
    case TileState::Partial:
        return QStringLiteral("partly written");
    case TileState::Truncated:
        return QStringLiteral("truncated");
    }
    return QString();
}

JobScan::JobScan(const TileRect& rect)
    : m_rect(rect), m_states(static_cast<std::size_t>(rect.count()), TileState::Missing)
{
    m_counts[static_cast<int>(TileState::Missing)] = rect.count();
}

void JobScan::setState(qint32 x, qint32 y, TileState state)
{
    TileState& slot = m_states[index(x, y)];
    --m_counts[static_cast<int>(slot)];
    ++m_counts[static_cast<int>(state)];
    slot = state;
}

std::vector<TilePosition> JobScan::badTiles() const
{
    std::vector<TilePosition> tiles;
    for (qint32 x = m_rect.minX; !m_rect.isEmpty() && x <= m_rect.maxX; ++x)
        for (qint32 y = m_rect.minY; y <= m_rect.maxY; ++y)
            if (state(x, y) != TileState::Good)
                tiles.push_back({x, y});
    return tiles;
}

TileState classifyTileBytes(const QByteArray& bytes, const QByteArray& placeholder)
{
    if (bytes.isEmpty())
        return TileState::Empty;
    if (!placeholder.isEmpty() && bytes == placeholder)
        return TileState::Placeholder;
    return jpegState(bytes.constData(), bytes.size());
}

JobScan scanJobFolder(const QString& imageFolder, const TileRect& rect, const ScanOptions& options)
{
    JobScan scan(rect);
    if (rect.isEmpty())
        return scan;
    const QByteArray folder = QFile::encodeName(imageFolder);
    DIR* dir = ::opendir(folder.constData());
    if (!dir)
        return scan;
    const int dirFd = ::dirfd(dir);

    struct stat placeholderStat{};
    const bool havePlaceholderFile =
        !options.placeholderPath.isEmpty() &&
        ::stat(QFile::encodeName(options.placeholderPath).constData(), &placeholderStat) == 0;
    const qint64 placeholderSize = options.placeholder.size();
    QByteArray buffer(placeholderSize, Qt::Uninitialized);

    auto cancelled = [&options] {
        return options.cancel && options.cancel->load(std::memory_order_relaxed);
    };

    // Pass 1: names. Files first mark their tile; ".part" leftovers only mark
    // tiles that have no file.
    std::vector<TilePosition> parts;
    std::vector<TilePosition> files;
    while (dirent* entry = ::readdir(dir)) {
        qint32 x = 0, y = 0;
        bool part = false;
        if (!parseTileFileName(entry->d_name, x, y, part) || !rect.contains(x, y))
            continue;
        (part ? parts : files).push_back({x, y});
    }

    // Pass 2: every file's size, and its head where the size does not tell.
    const qint64 total = static_cast<qint64>(files.size());
    qint64 done = 0;
    char name[32];
    for (const TilePosition& t : files) {
        if ((++done & 4095) == 0) {
            if (cancelled())
                break;
            if (options.progress)
                options.progress(done, total);
        }
        std::snprintf(name, sizeof name, "%d_%d.jpg", t.x, t.y);
        const int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        struct stat st{};
        if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            if (fd >= 0)
                ::close(fd);
            scan.setState(t.x, t.y, TileState::NotJpeg);
            continue;
        }
        TileState state;
        if (st.st_size == 0) {
            state = TileState::Empty;
        } else if (havePlaceholderFile && st.st_dev == placeholderStat.st_dev &&
                   st.st_ino == placeholderStat.st_ino) {
            state = TileState::Placeholder;
        } else if (placeholderSize > 0 && st.st_size == placeholderSize) {
            const qint64 n = readAt(fd, buffer.data(), placeholderSize, 0);
            if (n == placeholderSize &&
                std::memcmp(buffer.constData(), options.placeholder.constData(),
                            static_cast<std::size_t>(n)) == 0)
                state = TileState::Placeholder;
            else
                state = jpegState(buffer.constData(), n);
        } else {
            state = jpegFileState(fd, st.st_size);
        }
        ::close(fd);
        scan.setState(t.x, t.y, state);
    }
    ::closedir(dir);

    for (const TilePosition& t : parts)
        if (scan.state(t.x, t.y) == TileState::Missing)
            scan.setState(t.x, t.y, TileState::Partial);
    if (options.progress)
        options.progress(total, total);
    return scan;
}

} // namespace tavo
