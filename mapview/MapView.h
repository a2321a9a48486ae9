#pragma once

#include "engine/TileTypes.h"

#include <QPointF>
#include <QRectF>
#include <QSizeF>

namespace tavo::mapview {

// A point on the earth, in degrees.
struct GeoPoint
{
    double longitude = 0;
    double latitude = 0;
};

// An area in the main window's field order: left and right longitude, top and
// bottom latitude.
struct GeoArea
{
    double left = 0, right = 0, top = 0, bottom = 0;
};

// Where a rectangle of the tile grid (a job's tiles, or the whole world at a
// fine zoom) lies on the screen, and the conversions between screen pixels,
// tiles and degrees. The viewer and the downloader's area dialog share it.
//
// The map is laid out in "world" units of one tile, north up: u counts columns
// from the rectangle's west edge, v counts rows from its NORTH edge. Tile
// (x, y) (y counted from the south, as in the file names) covers
// u in [x - minX, x - minX + 1] and v in [maxY - y, maxY - y + 1].
class MapView final
{
public:
    // Smallest and largest zoom, in screen pixels per tile.
    static constexpr double MaxScale = 1024.0;

    void setGrid(const TileRect& rect, int zoom);
    const TileRect& rect() const { return m_rect; }
    int zoom() const { return m_zoom; }
    bool hasGrid() const { return !m_rect.isEmpty(); }

    void setViewportSize(const QSizeF& size);
    QSizeF viewportSize() const { return m_viewport; }

    // Screen pixels per tile.
    double scale() const { return m_scale; }
    // The world point at the middle of the viewport.
    QPointF center() const { return m_center; }
    void setCenterAndScale(const QPointF& center, double scale);

    // The whole rectangle in the viewport, centred in what the fit margins
    // leave free.
    void fit();
    // Room that fit() leaves free at the viewport's edges (for a legend).
    void setFitMargins(double left, double bottom);
    // Scale by `factor`, keeping the world point under `screenPoint` in place.
    void zoomAbout(const QPointF& screenPoint, double factor);
    // Move the map with the pointer: the content follows `screenDelta`.
    void panBy(const QPointF& screenDelta);

    QPointF screenToWorld(const QPointF& screen) const;
    QPointF worldToScreen(const QPointF& world) const;
    // Continuous grid coordinates under a screen point: column, and row
    // counted from the south (the integer parts name the tile).
    QPointF gridAt(const QPointF& screen) const;
    // The screen rectangle of one tile.
    QRectF tileScreenRect(qint32 x, qint32 y) const;
    // The screen rectangle of the whole job.
    QRectF jobScreenRect() const;

    // The tile under a screen point; false outside the job's rectangle.
    bool tileAt(const QPointF& screen, TilePosition& tile) const;
    GeoPoint geoAt(const QPointF& screen) const;
    // The job's tiles that are at least partly visible (empty when none).
    TileRect visibleTiles() const;
    // The degrees of the visible part of the grid (the viewport, cut to the
    // edges of the world's grid).
    GeoArea visibleArea() const;
    // Ground metres one screen pixel spans at the middle of the viewport.
    double metresPerPixel() const;

    double minScale() const;

private:
    void clamp();

    TileRect m_rect;
    int m_zoom = 0;
    QSizeF m_viewport{1, 1};
    QPointF m_center;
    double m_scale = 1;
    double m_fitLeft = 0;
    double m_fitBottom = 0;
};

} // namespace tavo::mapview
