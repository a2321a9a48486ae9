#include "engine/TileSet.h"

namespace tavo {

TileSet::TileSet(const TileRect& rect, bool full)
    : m_rect(rect), m_height(rect.height()), m_size(rect.count()),
      m_bits(static_cast<std::size_t>((rect.count() + 63) / 64), full ? ~std::uint64_t(0) : 0)
{
    if (!full)
        return;
    m_count = m_size;
    if (const qint64 spare = qint64(m_bits.size()) * 64 - m_size; spare > 0)
        m_bits.back() >>= spare; // no bits beyond the last position
}

qint64 TileSet::bytesFor(const TileRect& rect)
{
    return (rect.count() + 63) / 64 * 8;
}

qint64 TileSet::positionOf(qint32 x, qint32 y) const
{
    return (qint64(x) - m_rect.minX) * m_height + (qint64(y) - m_rect.minY) + 1;
}

void TileSet::insert(qint32 x, qint32 y)
{
    if (!m_rect.contains(x, y))
        return;
    const qint64 bit = positionOf(x, y) - 1;
    std::uint64_t& word = m_bits[std::size_t(bit >> 6)];
    const std::uint64_t mask = std::uint64_t(1) << (bit & 63);
    if ((word & mask) == 0) {
        word |= mask;
        ++m_count;
    }
}

void TileSet::erase(qint32 x, qint32 y)
{
    if (!m_rect.contains(x, y))
        return;
    const qint64 bit = positionOf(x, y) - 1;
    std::uint64_t& word = m_bits[std::size_t(bit >> 6)];
    const std::uint64_t mask = std::uint64_t(1) << (bit & 63);
    if ((word & mask) != 0) {
        word &= ~mask;
        --m_count;
    }
}

bool TileSet::contains(qint32 x, qint32 y) const
{
    if (!m_rect.contains(x, y))
        return false;
    const qint64 bit = positionOf(x, y) - 1;
    return (m_bits[std::size_t(bit >> 6)] >> (bit & 63)) & 1;
}

qint64 TileSet::next(qint64 position) const
{
    qint64 bit = position < 0 ? 0 : position; // the bit of position + 1
    if (bit >= m_size)
        return 0;
    std::size_t word = std::size_t(bit >> 6);
    std::uint64_t bits = m_bits[word] & (~std::uint64_t(0) << (bit & 63));
    while (bits == 0) {
        if (++word >= m_bits.size())
            return 0;
        bits = m_bits[word];
    }
    const qint64 found = qint64(word) * 64 + __builtin_ctzll(bits);
    return found < m_size ? found + 1 : 0;
}

TilePosition TileSet::at(qint64 position) const
{
    return {qint32(m_rect.minX + (position - 1) / m_height),
            qint32(m_rect.minY + (position - 1) % m_height)};
}

} // namespace tavo
