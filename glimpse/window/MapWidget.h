#pragma once

#include "glimpse/JobDocument.h"
#include "mapview/MapView.h"
#include "glimpse/TileImageCache.h"

#include <QElapsedTimer>
#include <QWidget>

namespace tavo::glimpse {

using mapview::MapView;

// The map: draws the open job through MapRenderer and turns the mouse and
// keys into pans and zooms of its MapView.
class MapWidget final : public QWidget
{
    Q_OBJECT
public:
    MapWidget(JobDocument& document, TileImageCache& cache, QWidget* parent = nullptr);

    MapView& view() { return m_view; }
    const MapView& view() const { return m_view; }

    void fitToWindow();
    // Zooms about the pointer when it is over the map, else about the middle.
    void zoomStep(double factor);
    // The view as an image of the widget's size, with legend and scale bar.
    QImage renderImage();

    // Time the last and the longest paint took on this thread.
    double lastPaintMs() const { return m_lastPaintMs; }
    double maxPaintMs() const { return m_maxPaintMs; }
    void resetPaintTimes() { m_lastPaintMs = m_maxPaintMs = 0; }

signals:
    // The pointer moved to `point` (widget coordinates), or left (null point).
    void pointerMoved(const QPointF& point, bool inside);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void jobOpened();
    void leaveLegendRoom();

    JobDocument& m_document;
    TileImageCache& m_cache;
    MapView m_view;
    bool m_fitted = true; // the whole job in view, as after "fit to window"
    bool m_dragging = false;
    QPointF m_lastDrag;
    double m_lastPaintMs = 0;
    double m_maxPaintMs = 0;
};

} // namespace tavo::glimpse
