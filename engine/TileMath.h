#pragma once

#include <QString>
#include <QtGlobal>
#include <string>

// Conversions between degrees and the Web Mercator tile grid, and the tile
// names (quadkeys) the tile service uses.
//
// Columns count from longitude -180 eastward; rows count from the SOUTHERN
// edge of the grid northward. Only the quadkey turns a row into the service's
// north-origin row.
//
// The arithmetic runs in x87 extended precision with one rounding after every
// operation, in a fixed order: tiles that lie exactly on a boundary must land
// in the same column or row every time, on every machine.

namespace tavo {

// 2^zoom as a 32-bit signed integer: 1 shifted left by the low five bits of zoom.
qint32 TileScale(int zoom);

// Column of the tile holding `longitude` (degrees, -180..180).
qint32 LongitudeToTileX(double longitude, int zoom);
// South-origin row of the tile holding `latitude` (degrees, about -85.05..85.05).
qint32 LatitudeToTileY(double latitude, int zoom);
// Longitude of the west edge of column `x`.
long double TileXToLongitude(double x, int zoom);
// Latitude of the south edge of south-origin row `y`.
long double TileYToLatitude(double y, int zoom);

// The quadkey of tile (x, y): one digit per zoom level, most significant level
// first; only the lowest `zoom` bits of x and y take part. Empty for zoom <= 0.
QString MakeQuadkey(qint32 x, qint32 y, int zoom);
std::string MakeQuadkeyString(qint32 x, qint32 y, int zoom);

} // namespace tavo
