#pragma once

#include "engine/JobFolder.h"
#include "engine/TileSet.h"

#include <QString>
#include <QStringList>

#include <array>
#include <memory>
#include <vector>

namespace tavo {

// "Fetch missing tiles again" without its window: which tiles of a project
// are to be fetched, what is to be moved out of their way, and the tidying
// once their replacements are stored. A tile the scan doubts is never
// deleted: it is renamed "X_Y.jpg.bad" and stays until a good tile is stored
// under its name.
class RepairPlan final
{
public:
    // The largest share of the available memory the list of tiles may take.
    static constexpr int MemoryShareDivisor = 4;

    // Scans `project`'s image folder (see scanJobFolder; `options` carries
    // the placeholder, progress and cancel). False with a message for the
    // user in `error` when the list of the project's tiles would need more
    // memory than the computer has available, or cannot be had; a cancelled
    // scan returns true with cancelled() set. `availableBytes` < 0: asks
    // the system.
    bool scan(const ProjectInfo& project, const ScanOptions& options, QString* error,
              qint64 availableBytes = -1);

    bool cancelled() const { return m_cancelled; }
    qint64 total() const { return m_project.rect.count(); }
    qint64 count(TileState state) const { return m_counts[std::size_t(state)]; }
    // The tiles to fetch: every one that is not Good.
    qint64 toFetchCount() const { return m_toFetch ? m_toFetch->count() : 0; }
    std::shared_ptr<const TileSet> toFetch() const { return m_toFetch; }

    // Moves the empty, non-JPEG and truncated files aside ("X_Y.jpg.bad",
    // replacing an older one) and removes ".part" leftovers, so that a tile
    // that fails again gets the placeholder. A file that cannot be moved
    // stays, and its tile is not fetched: the returned lines say which.
    QStringList setAside();

    // After the fetch: removes "X_Y.jpg.bad" where a good tile has been
    // stored since; the others stay. Returns how many were removed.
    qint64 tidy(const ScanOptions& options) const;

    // The memory the available bytes of this system allow, /proc/meminfo's
    // MemAvailable (or the free pages when it is not there).
    static qint64 availableMemory();

private:
    ProjectInfo m_project;
    std::array<qint64, TileStateCount> m_counts{};
    std::shared_ptr<TileSet> m_toFetch;
    std::vector<TilePosition> m_badFiles;   // to be set aside
    std::vector<TilePosition> m_partFiles;  // ".part" leftovers
    std::vector<TilePosition> m_setAside;   // ".bad" files there (before and after setAside)
    bool m_cancelled = false;
};

} // namespace tavo
