#include "glimpse/QuickScan.h"

#include <QFile>

#include <dirent.h>
#include <vector>

namespace tavo::glimpse {

JobScan listTileFiles(const QString& imageFolder, const TileRect& rect,
                      const Feedback* feedback)
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
        if ((++seen & 8191) == 0 && isCancelled(feedback))
            break;
        qint32 x = 0, y = 0;
        bool part = false;
        if (!parseTileFileName(entry->d_name, x, y, part) || !rect.contains(x, y))
            continue;
        if (part)
            parts.push_back({x, y});
        else
            scan.setState(x, y, TileState::Good);
    }
    ::closedir(dir);
    for (const TilePosition& t : parts)
        if (scan.state(t.x, t.y) == TileState::Missing)
            scan.setState(t.x, t.y, TileState::Partial);
    return scan;
}

} // namespace tavo::glimpse
