#include "dialogs/AreaMap.h"

#include "engine/AreaSelection.h"
#include "engine/TileMath.h"
#include "mapview/MapPainting.h"
#include "tiles/MapTileSource.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace tavo {

namespace {

constexpr double GridTiles = double(1 << AreaMap::GridZoom);
const QColor Background(0x30, 0x33, 0x38);
const QColor FailedTile(0x80, 0x80, 0x80);
const QColor SelectionEdge(0xff, 0xc8, 0x00);
constexpr double EdgeTolerance = 6;

TileRect ordered(TileRect rect)
{
    if (rect.minX > rect.maxX)
        std::swap(rect.minX, rect.maxX);
    if (rect.minY > rect.maxY)
        std::swap(rect.minY, rect.maxY);
    return rect;
}

} // namespace

AreaMap::AreaMap(MapTileSource& source, QWidget* parent) : QWidget(parent), m_source(source)
{
    setObjectName(QStringLiteral("areaMap"));
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(320, 240);
    m_view.setGrid(TileRect{0, qint32(GridTiles) - 1, 0, qint32(GridTiles) - 1}, GridZoom);
    connect(&source, &MapTileSource::tileReady, this, qOverload<>(&QWidget::update));
    connect(&source, &MapTileSource::tileFailed, this, qOverload<>(&QWidget::update));
}

double AreaMap::jobTileUnits() const
{
    return std::ldexp(1.0, GridZoom - m_zoom);
}

TileRect AreaMap::allowedTiles() const
{
    AreaValues world;
    world.left = -180;
    world.right = 180;
    world.top = 85;
    world.bottom = -85;
    return snapToTiles(world, m_zoom);
}

void AreaMap::setJobZoom(int zoom)
{
    zoom = std::clamp(zoom, 1, GridZoom);
    if (zoom == m_zoom)
        return;
    if (!m_selection.isEmpty()) {
        // The same ground, on the new grid: the texts the fields would get, read at the new zoom.
        m_selection = snapToTiles(ParseArea(areaTextsFor(m_selection, m_zoom)), zoom);
    }
    m_zoom = zoom;
    update();
    emit selectionChanged();
}

void AreaMap::setSelection(const TileRect& rect)
{
    m_selection = rect;
    update();
    emit selectionChanged();
}

void AreaMap::showWorld()
{
    m_target = TileRect();
    m_followTarget = true;
    applyTarget();
}

void AreaMap::showTiles(const TileRect& rect)
{
    m_target = rect;
    m_followTarget = true;
    applyTarget();
}

void AreaMap::applyTarget()
{
    m_view.setViewportSize(size());
    if (m_target.isEmpty()) {
        m_view.fit();
        update();
        return;
    }
    const TileRect& rect = m_target;
    const double units = jobTileUnits();
    const double w = double(rect.width()) * units, h = double(rect.height()) * units;
    const double scale = 0.6 * std::min(width() / w, height() / h);
    const QPointF middle(double(rect.minX) * units + w / 2,
                         GridTiles - (double(rect.maxY) + 1) * units + h / 2);
    m_view.setCenterAndScale(middle, std::min(scale, mapview::MapView::MaxScale));
    update();
}

TilePosition AreaMap::jobTileAt(const QPointF& point) const
{
    const QPointF grid = m_view.gridAt(point);
    const double units = jobTileUnits();
    const TileRect allowed = allowedTiles();
    const double x = std::clamp(std::floor(grid.x() / units), double(allowed.minX),
                                double(allowed.maxX));
    const double y = std::clamp(std::floor(grid.y() / units), double(allowed.minY),
                                double(allowed.maxY));
    return {qint32(x), qint32(y)};
}

QRectF AreaMap::screenRect(const TileRect& rect) const
{
    const double units = jobTileUnits();
    const QPointF northWest = m_view.worldToScreen(
        QPointF(double(rect.minX) * units, GridTiles - (double(rect.maxY) + 1) * units));
    const QPointF southEast = m_view.worldToScreen(
        QPointF((double(rect.maxX) + 1) * units, GridTiles - double(rect.minY) * units));
    return QRectF(northWest, southEast);
}

int AreaMap::imageZoom() const
{
    // The service's tiles about 256 pixels wide on the screen.
    const double zoom = GridZoom + std::log2(m_view.scale() / 256.0);
    return std::clamp(int(std::lround(zoom)), 1, GridZoom);
}

void AreaMap::paintEvent(QPaintEvent*)
{
    QElapsedTimer timer;
    timer.start();
    QPainter painter(this);
    painter.fillRect(rect(), Background);
    paintImages(painter);
    paintGrid(painter);
    if (!m_selection.isEmpty()) {
        const QRectF area = screenRect(m_selection);
        painter.setPen(QPen(SelectionEdge, 2));
        painter.setBrush(QColor(0xff, 0xc8, 0x00, 48));
        painter.drawRect(area);
    }
    mapview::paintScaleBar(painter, m_view);
    m_maxPaintMs = std::max(m_maxPaintMs, double(timer.nsecsElapsed()) / 1e6);
}

void AreaMap::paintImages(QPainter& painter)
{
    const int zoom = imageZoom();
    const qint32 count = qint32(1) << zoom;
    const double units = std::ldexp(1.0, GridZoom - zoom);
    const QPointF a = m_view.screenToWorld(QPointF(0, 0));
    const QPointF b = m_view.screenToWorld(QPointF(width(), height()));
    const qint32 x0 = qint32(std::clamp(std::floor(a.x() / units), 0.0, double(count - 1)));
    const qint32 x1 = qint32(std::clamp(std::floor(b.x() / units), 0.0, double(count - 1)));
    const qint32 y0 = qint32(std::clamp(std::floor(a.y() / units), 0.0, double(count - 1)));
    const qint32 y1 = qint32(std::clamp(std::floor(b.y() / units), 0.0, double(count - 1)));
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);

    struct Wanted
    {
        QString quadkey;
        double distance;
    };
    std::vector<Wanted> wanted;
    m_tilesWithoutImage = 0;
    const QPointF middle(width() / 2.0, height() / 2.0);
    for (qint32 northRow = y0; northRow <= y1; ++northRow) {
        for (qint32 x = x0; x <= x1; ++x) {
            const QPointF p = m_view.worldToScreen(QPointF(x * units, northRow * units));
            const QPointF q = m_view.worldToScreen(QPointF((x + 1) * units, (northRow + 1) * units));
            const QRectF place(QPointF(std::round(p.x()), std::round(p.y())),
                               QPointF(std::round(q.x()), std::round(q.y())));
            const QString quadkey = MakeQuadkey(x, count - 1 - northRow, zoom);
            if (const QImage* image = m_source.image(quadkey)) {
                painter.drawImage(place, *image);
                continue;
            }
            ++m_tilesWithoutImage;
            if (!m_source.failure(quadkey).isEmpty()) {
                painter.fillRect(place, FailedTile);
                continue;
            }
            const QPointF d = place.center() - middle;
            wanted.push_back({quadkey, QPointF::dotProduct(d, d)});
            // Meanwhile the nearest coarser tile in memory, magnified.
            for (int up = 1; up <= std::min(zoom - 1, 8); ++up) {
                const QImage* parent = m_source.image(quadkey.left(zoom - up));
                if (!parent)
                    continue;
                const double part = double(parent->width()) / double(1 << up);
                const qint32 mask = (qint32(1) << up) - 1;
                painter.drawImage(place, *parent,
                                  QRectF((x & mask) * part, (northRow & mask) * part, part, part));
                break;
            }
        }
    }
    std::sort(wanted.begin(), wanted.end(),
              [](const Wanted& p, const Wanted& q) { return p.distance < q.distance; });
    QStringList quadkeys;
    for (const Wanted& w : wanted)
        quadkeys << w.quadkey;
    m_source.request(quadkeys);
}

void AreaMap::paintGrid(QPainter& painter)
{
    const double units = jobTileUnits();
    if (m_view.scale() * units < 8)
        return;
    const double count = std::ldexp(1.0, m_zoom);
    const QPointF a = m_view.screenToWorld(QPointF(0, 0));
    const QPointF b = m_view.screenToWorld(QPointF(width(), height()));
    const double i0 = std::clamp(std::floor(a.x() / units), 0.0, count);
    const double i1 = std::clamp(std::ceil(b.x() / units), 0.0, count);
    const double j0 = std::clamp(std::floor(a.y() / units), 0.0, count);
    const double j1 = std::clamp(std::ceil(b.y() / units), 0.0, count);
    const double top = m_view.worldToScreen(QPointF(0, j0 * units)).y();
    const double bottom = m_view.worldToScreen(QPointF(0, j1 * units)).y();
    const double left = m_view.worldToScreen(QPointF(i0 * units, 0)).x();
    const double right = m_view.worldToScreen(QPointF(i1 * units, 0)).x();
    painter.setPen(QPen(QColor(255, 255, 255, 70), 0));
    for (double i = i0; i <= i1; ++i) {
        const double x = m_view.worldToScreen(QPointF(i * units, 0)).x();
        painter.drawLine(QPointF(x, top), QPointF(x, bottom));
    }
    for (double j = j0; j <= j1; ++j) {
        const double y = m_view.worldToScreen(QPointF(0, j * units)).y();
        painter.drawLine(QPointF(left, y), QPointF(right, y));
    }
}

void AreaMap::resizeEvent(QResizeEvent*)
{
    const QPointF center = m_view.center();
    const double scale = m_view.scale();
    if (m_followTarget) {
        applyTarget();
        return;
    }
    m_view.setViewportSize(size());
    m_view.setCenterAndScale(center, scale);
}

void AreaMap::mousePressEvent(QMouseEvent* event)
{
    const QPointF point = event->position();
    m_lastPoint = point;
    if (event->button() == Qt::RightButton) {
        m_drag = Drag::Pan;
        setCursor(Qt::ClosedHandCursor);
        return;
    }
    if (event->button() != Qt::LeftButton)
        return;
    m_startSelection = m_selection;
    m_anchor = jobTileAt(point);
    m_resizeLeft = m_resizeRight = m_resizeTop = m_resizeBottom = false;
    if (!m_selection.isEmpty()) {
        const QRectF area = screenRect(m_selection);
        const bool acrossX = point.x() > area.left() - EdgeTolerance &&
                             point.x() < area.right() + EdgeTolerance;
        const bool acrossY = point.y() > area.top() - EdgeTolerance &&
                             point.y() < area.bottom() + EdgeTolerance;
        m_resizeLeft = acrossY && std::abs(point.x() - area.left()) <= EdgeTolerance;
        m_resizeRight = acrossY && !m_resizeLeft && std::abs(point.x() - area.right()) <= EdgeTolerance;
        m_resizeTop = acrossX && std::abs(point.y() - area.top()) <= EdgeTolerance;
        m_resizeBottom = acrossX && !m_resizeTop && std::abs(point.y() - area.bottom()) <= EdgeTolerance;
        if (m_resizeLeft || m_resizeRight || m_resizeTop || m_resizeBottom) {
            m_drag = Drag::Resize;
            return;
        }
        if (area.contains(point)) {
            m_drag = Drag::Move;
            return;
        }
    }
    m_drag = Drag::New;
    setSelection({m_anchor.x, m_anchor.x, m_anchor.y, m_anchor.y});
}

void AreaMap::mouseMoveEvent(QMouseEvent* event)
{
    const QPointF point = event->position();
    const TilePosition tile = jobTileAt(point);
    switch (m_drag) {
    case Drag::Pan:
        m_view.panBy(point - m_lastPoint);
        m_followTarget = false;
        update();
        break;
    case Drag::New:
        setSelection(ordered({m_anchor.x, tile.x, m_anchor.y, tile.y}));
        break;
    case Drag::Move: {
        const TileRect allowed = allowedTiles();
        const qint64 dx = std::clamp<qint64>(qint64(tile.x) - m_anchor.x,
                                             qint64(allowed.minX) - m_startSelection.minX,
                                             qint64(allowed.maxX) - m_startSelection.maxX);
        const qint64 dy = std::clamp<qint64>(qint64(tile.y) - m_anchor.y,
                                             qint64(allowed.minY) - m_startSelection.minY,
                                             qint64(allowed.maxY) - m_startSelection.maxY);
        setSelection({qint32(m_startSelection.minX + dx), qint32(m_startSelection.maxX + dx),
                      qint32(m_startSelection.minY + dy), qint32(m_startSelection.maxY + dy)});
        break;
    }
    case Drag::Resize: {
        TileRect rect = m_startSelection;
        if (m_resizeLeft)
            rect.minX = tile.x;
        if (m_resizeRight)
            rect.maxX = tile.x;
        if (m_resizeTop)
            rect.maxY = tile.y;
        if (m_resizeBottom)
            rect.minY = tile.y;
        setSelection(ordered(rect));
        break;
    }
    case Drag::None:
        break;
    }
    m_lastPoint = point;
}

void AreaMap::mouseReleaseEvent(QMouseEvent* event)
{
    if ((event->button() == Qt::RightButton && m_drag == Drag::Pan) ||
        (event->button() == Qt::LeftButton && m_drag != Drag::Pan)) {
        m_drag = Drag::None;
        unsetCursor();
    }
}

void AreaMap::wheelEvent(QWheelEvent* event)
{
    const int angle = event->angleDelta().y();
    if (angle == 0)
        return;
    // One notch (120) zooms by 2^(1/2).
    m_view.zoomAbout(event->position(), std::pow(2.0, angle / 240.0));
    m_followTarget = false;
    update();
}

void AreaMap::keyPressEvent(QKeyEvent* event)
{
    const double stepX = width() / 8.0, stepY = height() / 8.0;
    const QPointF middle(width() / 2.0, height() / 2.0);
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
    case Qt::Key_Equal:
        m_view.zoomAbout(middle, 2.0);
        break;
    case Qt::Key_Minus:
        m_view.zoomAbout(middle, 0.5);
        break;
    default:
        QWidget::keyPressEvent(event); // Return and Escape go to the dialog
        return;
    }
    m_followTarget = false;
    update();
}

} // namespace tavo
