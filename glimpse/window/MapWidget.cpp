#include "glimpse/window/MapWidget.h"

#include "glimpse/MapRenderer.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <cmath>

namespace tavo::glimpse {

MapWidget::MapWidget(JobDocument& document, TileImageCache& cache, QWidget* parent)
    : QWidget(parent), m_document(document), m_cache(cache)
{
    setObjectName(QStringLiteral("map"));
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(200, 150);
    connect(&document, &JobDocument::opened, this, &MapWidget::jobOpened);
    connect(&document, &JobDocument::scanProgress, this, qOverload<>(&QWidget::update));
    connect(&document, &JobDocument::scanFinished, this, qOverload<>(&QWidget::update));
    connect(&document, &JobDocument::scanFinished, this, [this] {
        if (m_fitted) { // the legend has its final lines now
            leaveLegendRoom();
            m_view.fit();
        }
    });
    connect(&cache, &TileImageCache::imageReady, this, qOverload<>(&QWidget::update));
}

void MapWidget::leaveLegendRoom()
{
    // The fit view keeps every tile out from under the legend: the room goes
    // to the left or at the bottom, whichever leaves the job larger.
    const QSize legend = MapRenderer::legendSize(m_document, font());
    const TileRect& rect = m_view.rect();
    if (rect.isEmpty()) {
        m_view.setFitMargins(0, 0);
        return;
    }
    const double w = double(rect.width()), h = double(rect.height());
    const auto scaleWith = [&](double left, double bottom) {
        return std::min((width() - left) / w, (height() - bottom) / h);
    };
    if (scaleWith(legend.width(), 0) >= scaleWith(0, legend.height()))
        m_view.setFitMargins(legend.width(), 0);
    else
        m_view.setFitMargins(0, legend.height());
}

void MapWidget::jobOpened()
{
    m_cache.setFolder(m_document.info().imageFolder);
    m_view.setViewportSize(size());
    m_view.setGrid(m_document.info().rect, m_document.info().zoom);
    leaveLegendRoom();
    m_view.fit();
    m_fitted = true;
    update();
}

void MapWidget::fitToWindow()
{
    leaveLegendRoom();
    m_view.fit();
    m_fitted = true;
    update();
}

void MapWidget::zoomStep(double factor)
{
    const QPoint cursor = mapFromGlobal(QCursor::pos());
    const QPointF anchor = rect().contains(cursor) && underMouse()
                               ? QPointF(cursor)
                               : QPointF(width() / 2.0, height() / 2.0);
    m_view.zoomAbout(anchor, factor);
    m_fitted = false;
    update();
}

QImage MapWidget::renderImage()
{
    QImage image(size(), QImage::Format_RGB32);
    QPainter painter(&image);
    MapRenderer::paint(painter, m_view, m_document, &m_cache, {});
    return image;
}

void MapWidget::paintEvent(QPaintEvent*)
{
    QElapsedTimer timer;
    timer.start();
    QPainter painter(this);
    const std::vector<TileKey> wanted =
        MapRenderer::paint(painter, m_view, m_document, &m_cache, {});
    m_cache.request(wanted);
    m_lastPaintMs = double(timer.nsecsElapsed()) / 1e6;
    m_maxPaintMs = std::max(m_maxPaintMs, m_lastPaintMs);
}

void MapWidget::resizeEvent(QResizeEvent*)
{
    // A view that shows the whole job keeps showing it.
    m_view.setViewportSize(size());
    if (m_fitted) {
        leaveLegendRoom();
        m_view.fit();
    }
}

void MapWidget::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        m_dragging = true;
        m_lastDrag = event->position();
        setCursor(Qt::ClosedHandCursor);
    }
}

void MapWidget::mouseMoveEvent(QMouseEvent* event)
{
    if (m_dragging) {
        m_view.panBy(event->position() - m_lastDrag);
        m_lastDrag = event->position();
        m_fitted = false;
        update();
    }
    emit pointerMoved(event->position(), true);
}

void MapWidget::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && m_dragging) {
        m_dragging = false;
        unsetCursor();
    }
}

void MapWidget::mouseDoubleClickEvent(QMouseEvent* event)
{
    m_view.zoomAbout(event->position(), event->button() == Qt::RightButton ? 0.5 : 2.0);
    m_fitted = false;
    update();
}

void MapWidget::wheelEvent(QWheelEvent* event)
{
    const QPoint angle = event->angleDelta();
    if (angle.y() == 0)
        return;
    // One notch (120) zooms by 2^(1/4).
    m_view.zoomAbout(event->position(), std::pow(2.0, angle.y() / 480.0));
    m_fitted = false;
    update();
    emit pointerMoved(event->position(), true);
}

void MapWidget::keyPressEvent(QKeyEvent* event)
{
    const double stepX = width() / 8.0, stepY = height() / 8.0;
    switch (event->key()) {
    case Qt::Key_Left:
        m_view.panBy(QPointF(stepX, 0));
        break;
    case Qt::Key_Right:
        m_view.panBy(QPointF(-stepX, 0));
        break;
    case Qt::Key_Up:
        m_view.panBy(QPointF(0, stepY));
        break;
    case Qt::Key_Down:
        m_view.panBy(QPointF(0, -stepY));
        break;
    case Qt::Key_Plus:
    case Qt::Key_Equal: // "+" unshifted on many keyboards
        zoomStep(2.0);
        return;
    case Qt::Key_Minus:
        zoomStep(0.5);
        return;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    m_fitted = false;
    update();
}

void MapWidget::leaveEvent(QEvent*)
{
    emit pointerMoved(QPointF(), false);
}

} // namespace tavo::glimpse
