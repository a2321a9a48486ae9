#pragma once

#include "engine/AreaMath.h"

#include <QString>

#include <optional>

namespace tavo::geo {

// The area of every feature in a GeoJSON, KML, GPX or Shapefile file (any
// vector file GDAL reads): the bounding box of all their geometries in WGS 84
// degrees (reprojected when the file names another system), grown by
// `bufferMetres` on every side. Nothing when the file cannot be read or holds
// no feature with a geometry; `error` then says so in a sentence for the user.
std::optional<AreaValues> readAreaFromFile(const QString& path, double bufferMetres,
                                           QString* error = nullptr);

// Metres of one degree of latitude (and of longitude on the equator) on the
// sphere the tile grid is drawn on.
inline constexpr double MetresPerDegree = 6378137.0 * 3.14159265358979323846 / 180.0;

} // namespace tavo::geo
