#include "tiles/TileWalk.h"

namespace tavo {

namespace {

// Positions k in 1..n with k % count == index.
qint64 ownUpTo(qint64 n, qint64 count, qint64 index)
{
    if (n <= 0)
        return 0;
    if (index == 0)
        return n / count;
    return n >= index ? (n - index) / count + 1 : 0;
}

} // namespace

TileWalk::TileWalk(const TileRect& rect, int threadCount, int threadIndex, TilePosition resume)
    : m_rect(rect), m_height(rect.height()), m_total(rect.count()),
      m_threadCount(threadCount < 1 ? 1 : threadCount), m_threadIndex(threadIndex)
{
    if (threadCount < 1 || threadIndex < 0 || threadIndex >= threadCount || m_total <= 0) {
        m_total = 0;
        return;
    }
    // The positions up to the resume position were done in an earlier run.
    if (resume.x != 0 && resume.y != 0) {
        const __int128 skip = static_cast<__int128>(qint64(resume.x) - rect.minX) * m_height +
                              (qint64(resume.y) - rect.minY) + 1;
        m_seq = skip <= 0 ? 0 : skip >= m_total ? m_total : static_cast<qint64>(skip);
    }
    m_size = ownUpTo(m_total, m_threadCount, m_threadIndex) -
             ownUpTo(m_seq, m_threadCount, m_threadIndex);
}

TileWalk::TileWalk(const TileRect& rect, const std::vector<TilePosition>& tiles, int threadCount,
                   int threadIndex)
    : m_rect(rect), m_height(rect.height()), m_total(rect.count()), m_isList(true)
{
    if (threadCount < 1 || threadIndex < 0 || threadIndex >= threadCount)
        return;
    for (std::size_t i = std::size_t(threadIndex); i < tiles.size();
         i += std::size_t(threadCount)) {
        const TilePosition tile = tiles[i];
        if (rect.contains(tile.x, tile.y))
            m_list.push_back((qint64(tile.x) - rect.minX) * m_height +
                             (qint64(tile.y) - rect.minY) + 1);
    }
    m_size = qint64(m_list.size());
}

TileWalk::TileWalk(const TileSet& tiles, int threadCount, int threadIndex)
    : m_rect(tiles.rect()), m_height(tiles.rect().height()), m_total(tiles.rect().count()),
      m_threadCount(threadCount < 1 ? 1 : threadCount), m_threadIndex(threadIndex), m_set(&tiles)
{
    if (threadCount < 1 || threadIndex < 0 || threadIndex >= threadCount) {
        m_set = nullptr;
        return;
    }
    const qint64 count = tiles.count();
    m_size = count / m_threadCount + (m_threadIndex < count % m_threadCount ? 1 : 0);
}

bool TileWalk::next(qint64& seq, qint32& x, qint32& y)
{
    if (m_set) {
        // The next position of the set whose place in it is this worker's.
        for (;;) {
            m_seq = m_set->next(m_seq);
            if (m_seq == 0) {
                m_set = nullptr;
                m_isList = true; // ended: later calls find the empty list
                return false;
            }
            if (m_rank++ % m_threadCount == m_threadIndex)
                break;
        }
        seq = m_seq;
    } else if (m_isList) {
        if (m_next >= m_list.size())
            return false;
        seq = m_list[m_next++];
    } else {
        // The next position after m_seq that is this worker's.
        const qint64 after = m_seq + 1;
        const qint64 ahead =
            ((m_threadIndex - after) % m_threadCount + m_threadCount) % m_threadCount;
        if (after > m_total - ahead)
            return false;
        m_seq = after + ahead;
        seq = m_seq;
    }
    x = static_cast<qint32>(m_rect.minX + (seq - 1) / m_height);
    y = static_cast<qint32>(m_rect.minY + (seq - 1) % m_height);
    return true;
}

} // namespace tavo
