#include "engine/RepairPlan.h"

#include "engine/TileMath.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace tavo {

namespace {

QByteArray tilePath(const QString& folder, TilePosition t, const char* suffix = "")
{
    return QFile::encodeName(folder) +
           QByteArray::number(t.x) + '_' + QByteArray::number(t.y) + ".jpg" + suffix;
}

// 268435456 -> "268,435,456".
QString grouped(qint64 value)
{
    QString digits = QString::number(value);
    for (qsizetype i = digits.size() - 3; i > (value < 0 ? 1 : 0); i -= 3)
        digits.insert(i, u',');
    return digits;
}

QString megabytes(qint64 bytes)
{
    return grouped((bytes + (1 << 20) - 1) >> 20);
}

} // namespace

qint64 RepairPlan::availableMemory()
{
    if (std::FILE* meminfo = std::fopen("/proc/meminfo", "re")) {
        char line[128];
        long long kb = -1;
        while (std::fgets(line, sizeof line, meminfo))
            if (std::sscanf(line, "MemAvailable: %lld kB", &kb) == 1)
                break;
        std::fclose(meminfo);
        if (kb >= 0)
            return kb * 1024;
    }
    return qint64(::sysconf(_SC_AVPHYS_PAGES)) * ::sysconf(_SC_PAGESIZE);
}

bool RepairPlan::scan(const ProjectInfo& project, const ScanOptions& options, QString* error,
                      qint64 availableBytes)
{
    auto fail = [error](const QString& text) {
        if (error)
            *error = text;
        return false;
    };
    m_project = project;
    m_counts.fill(0);
    m_toFetch.reset();
    m_badFiles.clear();
    m_partFiles.clear();
    m_setAside.clear();
    m_cancelled = false;

    // One bit a tile of the project: refused when it would crowd out the rest.
    const qint64 needed = TileSet::bytesFor(project.rect);
    const qint64 available = availableBytes >= 0 ? availableBytes : availableMemory();
    const QString tooLarge =
        QStringLiteral("%1 has %2 tiles: the list of its tiles to fetch again needs %3 MB, more "
                       "than this computer can spare now (%4 MB available).")
            .arg(project.projectPath, grouped(project.rect.count()),
                 megabytes(needed), megabytes(available));
    if (needed > available / MemoryShareDivisor)
        return fail(tooLarge);
    try {
        m_toFetch = std::make_shared<TileSet>(project.rect, true);
    } catch (const std::bad_alloc&) {
        return fail(tooLarge);
    }

    visitTileFolder(project.imageFolder, project.rect, options,
                    [this](qint32 x, qint32 y, TileFileKind kind, TileState state) {
                        switch (kind) {
                        case TileFileKind::Part:
                            m_partFiles.push_back({x, y});
                            return;
                        case TileFileKind::SetAside:
                            m_setAside.push_back({x, y});
                            return;
                        case TileFileKind::Tile:
                            break;
                        }
                        ++m_counts[std::size_t(state)];
                        if (state == TileState::Good)
                            m_toFetch->erase(x, y);
                        else if (state == TileState::Empty || state == TileState::NotJpeg ||
                                 state == TileState::Truncated)
                            m_badFiles.push_back({x, y});
                    });
    m_cancelled = isCancelled(options.feedback);
    if (m_cancelled)
        return true;

    // A leftover marks its tile Partial only where no file is there.
    for (const TilePosition t : m_partFiles) {
        struct stat st;
        if (::lstat(tilePath(project.imageFolder, t).constData(), &st) != 0 && errno == ENOENT)
            ++m_counts[std::size_t(TileState::Partial)];
    }
    qint64 named = 0;
    for (const qint64 n : m_counts)
        named += n;
    m_counts[std::size_t(TileState::Missing)] += total() - named;
    return true;
}

QStringList RepairPlan::setAside()
{
    QStringList failures;
    for (const TilePosition t : m_partFiles)
        ::unlink(tilePath(m_project.imageFolder, t, ".part").constData());
    for (const TilePosition t : m_badFiles) {
        const QByteArray from = tilePath(m_project.imageFolder, t);
        const QByteArray to = tilePath(m_project.imageFolder, t, ".bad");
        if (::rename(from.constData(), to.constData()) == 0) {
            m_setAside.push_back(t);
            continue;
        }
        const int error = errno;
        // Left where it is, it would keep the placeholder of a failed fetch
        // out: the tile waits for a later repair.
        m_toFetch->erase(t.x, t.y);
        failures << QStringLiteral("Cannot move %1_%2.jpg aside: %3")
                        .arg(t.x)
                        .arg(t.y)
                        .arg(QString::fromLocal8Bit(std::strerror(error)));
    }
    return failures;
}

qint64 RepairPlan::tidy(const ScanOptions& options) const
{
    qint64 removed = 0;
    for (const TilePosition t : m_setAside) {
        const QString tile = QFile::decodeName(tilePath(m_project.imageFolder, t));
        if (classifyTileFile(tile, options) != TileState::Good)
            continue;
        if (::unlink(tilePath(m_project.imageFolder, t, ".bad").constData()) == 0)
            ++removed;
    }
    return removed;
}

} // namespace tavo
