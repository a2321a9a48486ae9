#pragma once

#include "engine/TileTypes.h"

#include <QtGlobal>

#include <cstdint>
#include <vector>

namespace tavo {

// A set of tiles of one rectangle, one bit a tile: the tiles a repair fetches
// again. Tiles are numbered as a job walks them: position 1 is the south-west
// corner, then column by column from the west, rows from the south; a
// rectangle of 2^28 tiles takes 32 MB whatever the set holds.
class TileSet final
{
public:
    TileSet() = default;
    // Empty, or (`full`) holding every tile of `rect`. Throws std::bad_alloc
    // when the bits cannot be had.
    explicit TileSet(const TileRect& rect, bool full = false);

    // The bytes a set over `rect` takes.
    static qint64 bytesFor(const TileRect& rect);

    const TileRect& rect() const { return m_rect; }
    qint64 count() const { return m_count; }

    // Tiles outside the rectangle are ignored.
    void insert(qint32 x, qint32 y);
    void erase(qint32 x, qint32 y);
    bool contains(qint32 x, qint32 y) const;

    // The first position (1-based, see above) after `position` that is in the
    // set; 0 when there is none.
    qint64 next(qint64 position) const;
    // The tile at a position.
    TilePosition at(qint64 position) const;

private:
    qint64 positionOf(qint32 x, qint32 y) const;

    TileRect m_rect;
    qint64 m_height = 0;
    qint64 m_size = 0; // positions in all
    qint64 m_count = 0;
    std::vector<std::uint64_t> m_bits;
};

} // namespace tavo
