#pragma once

#include "engine/TileSet.h"
#include "engine/TileTypes.h"

#include <QtGlobal>

#include <vector>

namespace tavo {

// The tiles one worker of a job fetches, in order. Positions of a rectangle
// are numbered from 1, column by column from the west and row by row from
// the south; a worker takes the positions whose number modulo the worker
// count equals its index.
//
// Either the whole rectangle after a resume position, or an explicit list of
// tiles (fetching the failed tiles of a job again), dealt out round-robin by
// their place in the list. Either way each tile keeps its position number in
// the rectangle, so its server digit is the same whoever fetches it.
class TileWalk final
{
public:
    // The rectangle after (resume.x, resume.y), the last position this
    // worker finished in an earlier run (0 in either: none).
    TileWalk(const TileRect& rect, int threadCount, int threadIndex, TilePosition resume);
    // The tiles of `tiles` at the places i with i % threadCount == threadIndex;
    // tiles outside `rect` are left out.
    TileWalk(const TileRect& rect, const std::vector<TilePosition>& tiles, int threadCount,
             int threadIndex);
    // The tiles of `tiles` (over `rect`) in their order, dealt out round-robin
    // as a list is. `tiles` must outlive the walk.
    TileWalk(const TileSet& tiles, int threadCount, int threadIndex);

    // The next tile and its position number; false at the end.
    bool next(qint64& seq, qint32& x, qint32& y);
    // How many tiles the walk yields in all.
    qint64 size() const { return m_size; }

private:
    TileRect m_rect;
    qint64 m_height = 0;
    qint64 m_total = 0;
    qint64 m_threadCount = 1;
    qint64 m_threadIndex = 0;
    qint64 m_seq = 0;           // the last position yielded (rectangle walk)
    std::vector<qint64> m_list; // position numbers (list walk)
    bool m_isList = false;
    const TileSet* m_set = nullptr; // set walk: m_seq is the last position looked at
    qint64 m_rank = 0;              // how many positions of the set came before m_seq
    std::size_t m_next = 0;
    qint64 m_size = 0;
};

} // namespace tavo
