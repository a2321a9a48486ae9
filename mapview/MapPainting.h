#pragma once

#include "mapview/MapView.h"

#include <QPainter>
#include <QString>

namespace tavo::mapview {

// "250 m", "2 km": a length for the scale bar.
QString lengthText(double metres);
// The longest round length (1, 2 or 5 times a power of ten metres) that
// fits in `maxPixels` at `metresPerPixel`.
double scaleBarMetres(double metresPerPixel, double maxPixels);

// The scale bar in the bottom-right corner of the view.
void paintScaleBar(QPainter& painter, const MapView& view);

// Tile (x, y) of the view's grid (y counted from the south) snapped to whole
// pixels, its edges computed from the grid lines so that neighbours share
// them: smooth scaling leaves no seam between tiles.
QRectF snappedTileRect(const MapView& view, qint32 x, qint32 y);

} // namespace tavo::mapview
