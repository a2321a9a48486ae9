#pragma once

#include "engine/TileTypes.h"
#include "mapview/MapView.h"

#include <QElapsedTimer>
#include <QWidget>

namespace tavo {

class MapTileSource;

// The map of the area dialog: the imagery service's tiles of the whole world
// (from a MapTileSource), the job's tile grid when its cells are 8 pixels or
// larger, and the chosen rectangle of tiles at the job's zoom.
//
// Left-drag draws the rectangle; inside it, moves it; on its edges, resizes
// it. Right-drag or the arrow keys pan, the wheel zooms about the pointer,
// + and - zoom about the middle.
class AreaMap final : public QWidget
{
    Q_OBJECT
public:
    // The map's own grid: the world at this zoom, in MapView's tile units.
    static constexpr int GridZoom = 20;

    explicit AreaMap(MapTileSource& source, QWidget* parent = nullptr);

    void setJobZoom(int zoom); // keeps the rectangle's area, snapped to the new grid
    int jobZoom() const { return m_zoom; }
    void setSelection(const TileRect& rect); // an empty rect: none
    const TileRect& selection() const { return m_selection; }

    // Shows the whole world, or `rect` (tiles at the job's zoom) with room around it.
    void showWorld();
    void showTiles(const TileRect& rect);

    const mapview::MapView& view() const { return m_view; }
    // The job tile under a widget point, inside the rows the fields can name.
    TilePosition jobTileAt(const QPointF& point) const;
    // The widget rectangle of a rectangle of job tiles.
    QRectF screenRect(const TileRect& rect) const;
    // The zoom of the service's tiles drawn now.
    int imageZoom() const;

    double maxPaintMs() const { return m_maxPaintMs; }
    void resetPaintTimes() { m_maxPaintMs = 0; }
    // Visible map tiles the last paint had no image of (fetching or failed);
    // -1 before the first paint.
    int tilesWithoutImage() const { return m_tilesWithoutImage; }

signals:
    void selectionChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    enum class Drag
    {
        None,
        New,
        Move,
        Resize,
        Pan
    };
    double jobTileUnits() const; // MapView units of one job tile
    TileRect allowedTiles() const; // the rows and columns the fields can name
    void paintImages(QPainter& painter);
    void paintGrid(QPainter& painter);

    MapTileSource& m_source;
    mapview::MapView m_view;
    int m_zoom = 12;
    TileRect m_selection;
    // What the view shows until the user pans or zooms: the world (empty) or these tiles.
    TileRect m_target;
    bool m_followTarget = true;
    void applyTarget();

    Drag m_drag = Drag::None;
    QPointF m_lastPoint;
    TilePosition m_anchor;
    TileRect m_startSelection;
    bool m_resizeLeft = false, m_resizeRight = false, m_resizeTop = false, m_resizeBottom = false;
    double m_maxPaintMs = 0;
    int m_tilesWithoutImage = -1;
};

} // namespace tavo
