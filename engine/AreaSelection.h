#pragma once

#include "engine/AreaMath.h"
#include "engine/TileTypes.h"

namespace tavo {

// An area chosen on a map or read from a file, snapped to the tile grid of a
// job's zoom, and the four field texts that name exactly those tiles.

// The tiles an area covers at `zoom`, the area first cut to what the fields
// accept (longitude -180..180, latitude -85..85) and put in order (left west
// of right, top north of bottom). Never empty.
TileRect snapToTiles(const AreaValues& area, int zoom);

// The outer edges of a rectangle of tiles, in degrees.
AreaValues tileRectEdges(const TileRect& rect, int zoom);

// Texts for Edit1 (left), Edit3 (right), Edit2 (top) and Edit4 (bottom): six
// decimals with a point, each within a millionth of a degree inside its edge
// (latitudes no further out than +-85), so that the job reads them back as
// exactly `rect`; an edge that lies exactly on a grid line would be taken as
// either of its two tiles.
AreaTexts areaTextsFor(const TileRect& rect, int zoom);

} // namespace tavo
