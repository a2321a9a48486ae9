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

#include <vector>

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

bool parseTileFileName(const char* name, qint32& x, qint32& y, TileFileKind& kind)
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
        kind = TileFileKind::Tile;
    else if (rest == 9 && std::memcmp(p, ".jpg.part", 9) == 0)
        kind = TileFileKind::Part;
    else if (rest == 8 && std::memcmp(p, ".jpg.bad", 8) == 0)
        kind = TileFileKind::SetAside;
    else
        return false;
    return true;
}

bool parseTileFileName(const char* name, qint32& x, qint32& y, bool& part)
{
    TileFileKind kind;
    if (!parseTileFileName(name, x, y, kind) || kind == TileFileKind::SetAside)
        return false;
    part = kind == TileFileKind::Part;
    return true;
}

int openRegularFile(int dirFd, const char* name, struct stat* info)
{
    struct stat st;
    // Looked at before it is opened: opening a FIFO or a device could block
    // or have effects. Links are followed.
    if (::fstatat(dirFd, name, &st, 0) != 0)
        return -1;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return -1;
    }
    // Non-blocking, and checked again, in case the name was replaced meanwhile.
    const int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return -1;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    if (info)
        *info = st;
    return fd;
}

bool readRegularFile(const QString& path, qint64 maxBytes, QByteArray& bytes, QString* reason)
{
    const auto fail = [reason](const QString& why) {
        if (reason)
            *reason = why;
        return false;
    };
    struct stat st;
    const int fd = openRegularFile(AT_FDCWD, QFile::encodeName(path).constData(), &st);
    if (fd < 0)
        return fail(errno == EINVAL ? QStringLiteral("not a regular file")
                                    : QStringLiteral("cannot be read: %1")
                                          .arg(QString::fromLocal8Bit(std::strerror(errno))));
    if (st.st_size > maxBytes) {
        ::close(fd);
        return fail(QStringLiteral("larger than %1 bytes").arg(maxBytes));
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
    if (done != st.st_size) {
        bytes.truncate(qsizetype(done));
        return fail(QStringLiteral("cannot be read whole"));
    }
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

// Where the end marker is looked for in a file of `size` bytes when its
// segments cannot be followed: its last TailSize bytes, never the signature.
qint64 tailOffset(qint64 size)
{
    return qMax(SignatureSize, size - TailSize);
}

enum class JpegEnd
{
    Found,  // the end-of-image marker after the last scan
    Cut,    // the bytes end before it
    Broken, // something that is no marker where a marker must be
};

// Follows a JPEG's segments from its signature: each marker segment is
// skipped by its length, each scan's entropy-coded data up to the next
// marker (FF 00 is a data byte, FF D0..D7 a restart, FF FF a fill byte),
// until the end-of-image marker. Bytes after it do not matter.
JpegEnd followSegments(const unsigned char* b, qint64 n)
{
    qint64 i = 2; // past FF D8
    for (;;) {
        if (i >= n)
            return JpegEnd::Cut;
        if (b[i] != 0xFF)
            return JpegEnd::Broken;
        while (i < n && b[i] == 0xFF)
            ++i;
        if (i >= n)
            return JpegEnd::Cut;
        const unsigned char marker = b[i++];
        if (marker == 0xD9)
            return JpegEnd::Found;
        if (marker == 0x00)
            return JpegEnd::Broken;
        if ((marker >= 0xD0 && marker <= 0xD8) || marker == 0x01)
            continue; // no length
        if (i + 2 > n)
            return JpegEnd::Cut;
        const qint64 length = (qint64(b[i]) << 8) | b[i + 1];
        if (length < 2)
            return JpegEnd::Broken;
        i += length;
        if (marker != 0xDA)
            continue;
        // Entropy-coded data up to the next marker.
        for (;;) {
            if (i >= n)
                return JpegEnd::Cut;
            const void* ff = std::memchr(b + i, 0xFF, std::size_t(n - i));
            if (!ff)
                return JpegEnd::Cut;
            const qint64 j = static_cast<const unsigned char*>(ff) - b;
            if (j + 1 >= n)
                return JpegEnd::Cut;
            const unsigned char next = b[j + 1];
            if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
                i = j + 2;
            } else if (next == 0xFF) {
                i = j + 1;
            } else {
                i = j;
                break;
            }
        }
    }
}

// The state of the first `size` bytes of a file of `fileSize` bytes that is
// neither empty nor the placeholder; `tail` reads the file's last bytes when
// the segments cannot tell (a file beyond the read cap, or one whose
// segments cannot be followed).
template <typename ReadTail>
TileState jpegState(const char* bytes, qint64 size, qint64 fileSize, ReadTail readTail)
{
    if (!hasJpegSignature(bytes, size))
        return TileState::NotJpeg;
    const JpegEnd end = followSegments(reinterpret_cast<const unsigned char*>(bytes), size);
    if (end == JpegEnd::Found)
        return TileState::Good;
    if (end == JpegEnd::Cut && size == fileSize)
        return TileState::Truncated;
    // The old rule: the end marker among the last bytes.
    char tail[TailSize];
    const qint64 offset = tailOffset(fileSize);
    return hasEndMarker(tail, readTail(tail, fileSize - offset, offset)) ? TileState::Good
                                                                        : TileState::Truncated;
}

TileState jpegState(const char* bytes, qint64 size)
{
    return jpegState(bytes, size, size, [bytes](char* tail, qint64 n, qint64 offset) {
        std::memcpy(tail, bytes + offset, std::size_t(n));
        return n;
    });
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
// placeholder: at most MaxTileReadBytes of it are read.
TileState jpegFileState(int fd, qint64 size, std::vector<char>& buffer)
{
    const qint64 wanted = qMin(size, MaxTileReadBytes);
    if (qint64(buffer.size()) < wanted)
        buffer.resize(std::size_t(wanted));
    const qint64 n = readAt(fd, buffer.data(), wanted, 0);
    return jpegState(buffer.data(), n, n < wanted ? n : size,
                     [fd](char* tail, qint64 count, qint64 offset) {
                         return readAt(fd, tail, count, offset);
                     });
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
    if (zoom < MinZoom || zoom > MaxZoom)
        return fail(QStringLiteral("%1 holds no usable zoom level (%2 to %3).")
                        .arg(path)
                        .arg(MinZoom)
                        .arg(MaxZoom));
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

JobScan::JobScan(const TileRect& rect) : m_rect(rect)
{
    if (!rect.isEmpty() && rect.count() <= DenseLimit)
        m_states.assign(static_cast<std::size_t>(rect.count()), TileState::Missing);
    m_counts[static_cast<int>(TileState::Missing)] = rect.isEmpty() ? 0 : rect.count();
}

void JobScan::setState(qint32 x, qint32 y, TileState state)
{
    const TileState old = this->state(x, y);
    --m_counts[static_cast<int>(old)];
    ++m_counts[static_cast<int>(state)];
    if (!m_states.empty()) {
        m_states[index(x, y)] = state;
        return;
    }
    if (state == TileState::Missing)
        m_sparse.erase(index(x, y));
    else
        m_sparse[index(x, y)] = state;
    // A table entry costs some 40 bytes: past a byte a tile, the table goes.
    constexpr qint64 EntryBytes = 40;
    if (qint64(m_sparse.size()) * EntryBytes > m_rect.count())
        makeDense();
}

void JobScan::makeDense()
{
    m_states.assign(static_cast<std::size_t>(m_rect.count()), TileState::Missing);
    for (const auto& [at, state] : m_sparse)
        m_states[at] = state;
    std::unordered_map<std::size_t, TileState>().swap(m_sparse);
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

namespace {

// The placeholder as the scan recognises it: by its bytes, or as the file
// itself (a hard link to it).
struct PlaceholderFile
{
    explicit PlaceholderFile(const ScanOptions& options) : bytes(options.placeholder)
    {
        have = !options.placeholderPath.isEmpty() &&
               ::stat(QFile::encodeName(options.placeholderPath).constData(), &info) == 0;
    }
    QByteArray bytes;
    struct stat info{};
    bool have = false;
};

// The state of the tile file `name` in the folder `dirFd` (see TileState).
TileState tileFileState(int dirFd, const char* name, const PlaceholderFile& placeholder,
                        std::vector<char>& buffer)
{
    struct stat st{};
    const int fd = openRegularFile(dirFd, name, &st);
    if (fd < 0) {
        // Gone is missing; a folder, FIFO or device named like a tile is no tile.
        return errno == ENOENT ? TileState::Missing : TileState::NotJpeg;
    }
    const qint64 placeholderSize = placeholder.bytes.size();
    TileState state;
    if (st.st_size == 0) {
        state = TileState::Empty;
    } else if (placeholder.have && st.st_dev == placeholder.info.st_dev &&
               st.st_ino == placeholder.info.st_ino) {
        state = TileState::Placeholder;
    } else if (placeholderSize > 0 && st.st_size == placeholderSize) {
        if (qint64(buffer.size()) < placeholderSize)
            buffer.resize(std::size_t(placeholderSize));
        const qint64 n = readAt(fd, buffer.data(), placeholderSize, 0);
        if (n == placeholderSize && std::memcmp(buffer.data(), placeholder.bytes.constData(),
                                                static_cast<std::size_t>(n)) == 0)
            state = TileState::Placeholder;
        else
            state = jpegState(buffer.data(), n);
    } else {
        state = jpegFileState(fd, st.st_size, buffer);
    }
    ::close(fd);
    return state;
}

} // namespace

TileState classifyTileFile(const QString& path, const ScanOptions& options)
{
    std::vector<char> buffer;
    return tileFileState(AT_FDCWD, QFile::encodeName(path).constData(), PlaceholderFile(options),
                         buffer);
}

QString placeholderPath(const QString& programFolder)
{
    return programFolder + QStringLiteral("blankimg/blank.jpg");
}

ScanOptions ScanOptions::withPlaceholder(const QString& placeholderPath)
{
    ScanOptions options;
    options.placeholderPath = placeholderPath;
    QFile placeholder(placeholderPath);
    if (!placeholderPath.isEmpty() && placeholder.open(QIODevice::ReadOnly))
        options.placeholder = placeholder.readAll();
    return options;
}

bool visitTileFolder(const QString& imageFolder, const TileRect& rect, const ScanOptions& options,
                     const TileVisitor& visit)
{
    if (rect.isEmpty())
        return true;
    const QByteArray folder = QFile::encodeName(imageFolder);
    DIR* dir = ::opendir(folder.constData());
    if (!dir)
        return false;
    const int dirFd = ::dirfd(dir);

    const PlaceholderFile placeholder(options);
    std::vector<char> buffer;

    auto cancelled = [&options] { return isCancelled(options.feedback); };

    // Pass 1: names. Tiles are opened in pass 2, after the folder has been
    // read; leftovers and tiles set aside are only named.
    std::vector<TilePosition> files;
    qint64 entries = 0;
    while (dirent* entry = ::readdir(dir)) {
        if ((++entries & 65535) == 0 && cancelled())
            break;
        qint32 x = 0, y = 0;
        TileFileKind kind;
        if (!parseTileFileName(entry->d_name, x, y, kind) || !rect.contains(x, y))
            continue;
        if (kind == TileFileKind::Tile)
            files.push_back({x, y});
        else
            visit(x, y, kind, TileState::Missing);
    }

    // Pass 2: every tile's size, and its bytes where the size does not tell.
    // Links are followed; anything but a regular file is never opened.
    const qint64 total = static_cast<qint64>(files.size());
    qint64 done = 0;
    char name[32];
    for (const TilePosition& t : files) {
        if ((++done & 1023) == 0 && !reportProgress(options.feedback, done, total))
            break;
        std::snprintf(name, sizeof name, "%d_%d.jpg", t.x, t.y);
        const TileState state = tileFileState(dirFd, name, placeholder, buffer);
        visit(t.x, t.y, TileFileKind::Tile, state);
    }
    ::closedir(dir);
    if (!cancelled())
        reportProgress(options.feedback, total, total);
    return true;
}

JobScan scanJobFolder(const QString& imageFolder, const TileRect& rect, const ScanOptions& options)
{
    JobScan scan(rect);
    // Files first mark their tile; ".part" leftovers only mark tiles that
    // have no file.
    std::vector<TilePosition> parts;
    visitTileFolder(imageFolder, rect, options,
                    [&](qint32 x, qint32 y, TileFileKind kind, TileState state) {
                        if (kind == TileFileKind::Tile)
                            scan.setState(x, y, state);
                        else if (kind == TileFileKind::Part)
                            parts.push_back({x, y});
                    });
    for (const TilePosition& t : parts)
        if (scan.state(t.x, t.y) == TileState::Missing)
            scan.setState(t.x, t.y, TileState::Partial);
    return scan;
}

} // namespace tavo
