#pragma once

#include "engine/JobFolder.h"

#include <QColor>
#include <QImage>

#include "engine/Feedback.h"
#include <vector>

namespace tavo::glimpse {

// The colour a tile state is drawn with, in the coverage map and as the mark
// over a tile that is not a good image.
QColor stateColor(TileState state);
// The colour of tiles whose state is not known yet (the folder is being read).
QColor unknownColor();
// The states in the order the legend lists them.
const std::vector<TileState>& legendStates();

// The job's states as images of one pixel per cell, north up: level 0 has a
// cell per tile (or per block of tiles for very large jobs), and every further
// level halves the previous one. A cell of a coarser level shows the most
// serious state of the tiles it covers, so a single hole never disappears when
// zoomed out.
class Coverage final
{
public:
    // The base level never holds more cells than this.
    static constexpr qint64 MaxBaseCells = 16LL * 1024 * 1024;

    Coverage() = default;
    // Returns an empty coverage when `cancel` is set during the build.
    static Coverage build(const JobScan& scan, const Feedback* feedback = nullptr);

    bool isEmpty() const { return m_levels.empty(); }
    int levelCount() const { return int(m_levels.size()); }
    // Tiles per cell side of `level` as a power of two.
    int shift(int level) const { return m_baseShift + level; }
    // Indexed8 image; its colour table gives each cell's colour (index 0:
    // good, the least serious state).
    const QImage& level(int index) const { return m_levels[std::size_t(index)]; }
    // The finest level whose cells are at least one screen pixel wide at
    // `pixelsPerTile`.
    int levelFor(double pixelsPerTile) const;
    // The state a cell of a level stands for.
    TileState cellState(int level, int column, int row) const;

private:
    int m_baseShift = 0;
    std::vector<QImage> m_levels;
};

} // namespace tavo::glimpse
