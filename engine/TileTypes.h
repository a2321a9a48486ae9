#pragma once

#include <QString>
#include <QtGlobal>

namespace tavo {

// The zooms the tile arithmetic can hold: beyond 30 a column or row no longer
// fits 32 bits, below 1 there is no quadkey.
inline constexpr int MinZoom = 1;
inline constexpr int MaxZoom = 30;

// One tile of the grid: column x counted from longitude -180 eastward, row y
// counted from the SOUTHERN edge northward (the rows of the tile file names).
// As a worker's position, 0 in either coordinate means "no position".
struct TilePosition
{
    qint32 x = 0;
    qint32 y = 0;

    // True when the pair names a tile a worker finished (both > 0).
    bool isSet() const { return x > 0 && y > 0; }
    friend bool operator==(TilePosition a, TilePosition b) { return a.x == b.x && a.y == b.y; }
    friend bool operator!=(TilePosition a, TilePosition b) { return !(a == b); }
};

// An inclusive rectangle of tiles: columns minX..maxX, rows minY..maxY.
struct TileRect
{
    qint32 minX = 0;
    qint32 maxX = -1;
    qint32 minY = 0;
    qint32 maxY = -1;

    bool isEmpty() const { return maxX < minX || maxY < minY; }
    qint64 width() const { return isEmpty() ? 0 : qint64(maxX) - minX + 1; }
    qint64 height() const { return isEmpty() ? 0 : qint64(maxY) - minY + 1; }
    // Number of tiles, 64-bit: a rectangle at zoom 30 holds more than 2^31.
    qint64 count() const { return width() * height(); }
    bool contains(qint32 x, qint32 y) const
    {
        return x >= minX && x <= maxX && y >= minY && y <= maxY;
    }
    friend bool operator==(const TileRect& a, const TileRect& b)
    {
        return a.minX == b.minX && a.maxX == b.maxX && a.minY == b.minY && a.maxY == b.maxY;
    }
};

// The four area texts of a job, exactly as typed (never trimmed).
struct AreaTexts
{
    QString left, right, top, bottom;
    friend bool operator==(const AreaTexts& a, const AreaTexts& b)
    {
        return a.left == b.left && a.right == b.right && a.top == b.top && a.bottom == b.bottom;
    }
};

// The file name of a tile: column, "_", south-origin row, ".jpg".
inline QString tileFileName(qint32 x, qint32 y)
{
    return QString::number(x) + u'_' + QString::number(y) + QStringLiteral(".jpg");
}

} // namespace tavo
