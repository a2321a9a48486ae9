#include "glimpse/Coverage.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace tavo::glimpse {

namespace {

// The states from the least to the most serious; a cell's pixel value is its
// rank here, so the most serious state of a block is the largest value.
constexpr std::array<TileState, TileStateCount> RankedStates = {
    TileState::Good,      TileState::Placeholder, TileState::Empty,   TileState::NotJpeg,
    TileState::Truncated, TileState::Partial,     TileState::Missing,
};

std::array<uchar, TileStateCount> rankTable()
{
    std::array<uchar, TileStateCount> ranks{};
    for (std::size_t i = 0; i < RankedStates.size(); ++i)
        ranks[std::size_t(RankedStates[i])] = uchar(i);
    return ranks;
}

QList<QRgb> colourTable()
{
    QList<QRgb> table;
    for (TileState state : RankedStates)
        table.append(stateColor(state).rgb());
    return table;
}

QImage makeLevel(qint64 width, qint64 height)
{
    QImage image(int(width), int(height), QImage::Format_Indexed8);
    image.setColorTable(colourTable());
    image.fill(0);
    return image;
}

} // namespace

QColor stateColor(TileState state)
{
    switch (state) {
    case TileState::Good:
        return QColor(0x5f, 0x8f, 0x62);
    case TileState::Missing:
        return QColor(0xe0, 0x30, 0x2a);
    case TileState::Placeholder:
        return QColor(0xf3, 0x9c, 0x12);
    case TileState::Empty:
        return QColor(0x8e, 0x44, 0xad);
    case TileState::NotJpeg:
        return QColor(0x17, 0xbe, 0xcf);
    case TileState::Partial:
        return QColor(0x2f, 0x5f, 0xdf);
    case TileState::Truncated:
        return QColor(0x8c, 0x56, 0x4b);
    }
    return Qt::black;
}

QColor unknownColor()
{
    return QColor(0xb8, 0xb8, 0xb8);
}

const std::vector<TileState>& legendStates()
{
    static const std::vector<TileState> states = {
        TileState::Good,    TileState::Missing,   TileState::Placeholder, TileState::Empty,
        TileState::NotJpeg, TileState::Truncated, TileState::Partial};
    return states;
}

Coverage Coverage::build(const JobScan& scan, const Feedback* feedback)
{
    Coverage coverage;
    const TileRect& rect = scan.rect();
    if (rect.isEmpty())
        return coverage;
    int shift = 0;
    auto cells = [&rect](int s) {
        const qint64 side = qint64(1) << s;
        return std::pair<qint64, qint64>((rect.width() + side - 1) / side,
                                         (rect.height() + side - 1) / side);
    };
    while (cells(shift).first * cells(shift).second > MaxBaseCells)
        ++shift;
    coverage.m_baseShift = shift;

    const auto ranks = rankTable();
    const auto [baseWidth, baseHeight] = cells(shift);
    QImage base = makeLevel(baseWidth, baseHeight);
    for (qint32 y = rect.maxY; y >= rect.minY; --y) {
        if (isCancelled(feedback))
            return {};
        uchar* line = base.scanLine(int((qint64(rect.maxY) - y) >> shift));
        for (qint32 x = rect.minX; x <= rect.maxX; ++x) {
            uchar& cell = line[(qint64(x) - rect.minX) >> shift];
            cell = std::max(cell, ranks[std::size_t(scan.state(x, y))]);
        }
    }
    coverage.m_levels.push_back(base);

    while (coverage.m_levels.back().width() > 1 || coverage.m_levels.back().height() > 1) {
        const QImage& fine = coverage.m_levels.back();
        QImage coarse = makeLevel((fine.width() + 1) / 2, (fine.height() + 1) / 2);
        for (int j = 0; j < fine.height(); ++j) {
            const uchar* in = fine.constScanLine(j);
            uchar* out = coarse.scanLine(j / 2);
            for (int i = 0; i < fine.width(); ++i)
                out[i / 2] = std::max(out[i / 2], in[i]);
        }
        coverage.m_levels.push_back(std::move(coarse));
    }
    return coverage;
}

int Coverage::levelFor(double pixelsPerTile) const
{
    if (m_levels.empty())
        return 0;
    // Cells of level L span 2^(baseShift + L) tiles.
    const double needed = pixelsPerTile >= 1 ? 0 : std::ceil(std::log2(1 / pixelsPerTile));
    const int level = int(needed) - m_baseShift;
    return std::clamp(level, 0, levelCount() - 1);
}

TileState Coverage::cellState(int level, int column, int row) const
{
    const QImage& image = m_levels[std::size_t(level)];
    return RankedStates[image.constScanLine(row)[column]];
}

} // namespace tavo::glimpse
