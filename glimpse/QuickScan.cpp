#include "glimpse/QuickScan.h"

#include <QFile>

#include <cstring>
#include <dirent.h>
#include <vector>

namespace tavo::glimpse {

namespace {

// A decimal number of at most 10 digits that fits in 31 bits, ended by `stop`.
bool readNumber(const char*& p, char stop, qint32& value)
{
    qint64 v = 0;
    const char* start = p;
    while (*p >= '0' && *p <= '9') {
        v = v * 10 + (*p - '0');
        if (v > 0x7fffffff)
            return false;
        ++p;
    }
    if (p == start || *p != stop)
        return false;
    value = qint32(v);
    return true;
}

} // namespace

JobScan listTileFiles(const QString& imageFolder, const TileRect& rect,
                      const std::atomic<bool>* cancel)
{
    JobScan scan(rect);
    if (rect.isEmpty())
        return scan;
    DIR* dir = ::opendir(QFile::encodeName(imageFolder).constData());
    if (!dir)
        return scan;
    std::vector<TilePosition> parts;
    qint64 seen = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if ((++seen & 8191) == 0 && cancel && cancel->load(std::memory_order_relaxed))
            break;
        const char* p = entry->d_name;
        qint32 x = 0, y = 0;
        if (!readNumber(p, '_', x))
            continue;
        ++p;
        if (!readNumber(p, '.', y) || !rect.contains(x, y))
            continue;
        if (std::strcmp(p, ".jpg") == 0)
            scan.setState(x, y, TileState::Good);
        else if (std::strcmp(p, ".jpg.part") == 0)
            parts.push_back({x, y});
    }
    ::closedir(dir);
    for (const TilePosition& t : parts)
        if (scan.state(t.x, t.y) == TileState::Missing)
            scan.setState(t.x, t.y, TileState::Partial);
    return scan;
}

} // namespace tavo::glimpse
