#include "mapview/MapView.h"

#include "engine/TileMath.h"

#include <algorithm>
#include <cmath>

namespace tavo::mapview {

namespace {

constexpr double EarthCircumference =
    2 * 3.141592653589793 * 6378137.0; // metres, Web Mercator sphere

} // namespace

void MapView::setGrid(const TileRect& rect, int zoom)
{
    m_rect = rect;
    m_zoom = zoom;
    fit();
}

void MapView::setViewportSize(const QSizeF& size)
{
    m_viewport = QSizeF(std::max(1.0, size.width()), std::max(1.0, size.height()));
    clamp();
}

void MapView::setCenterAndScale(const QPointF& center, double scale)
{
    m_center = center;
    m_scale = scale;
    clamp();
}

double MapView::minScale() const
{
    if (!hasGrid())
        return 1e-9;
    const double fitScale = std::min(m_viewport.width() / double(m_rect.width()),
                                     m_viewport.height() / double(m_rect.height()));
    return std::min(fitScale / 4, MaxScale);
}

void MapView::fit()
{
    if (!hasGrid()) {
        m_center = QPointF();
        m_scale = 1;
        return;
    }
    const double w = double(m_rect.width()), h = double(m_rect.height());
    const double freeWidth = std::max(1.0, m_viewport.width() - m_fitLeft);
    const double freeHeight = std::max(1.0, m_viewport.height() - m_fitBottom);
    m_scale = std::min(MaxScale, 0.96 * std::min(freeWidth / w, freeHeight / h));
    // The rectangle's middle goes to the middle of the free part.
    m_center = QPointF(w / 2 - m_fitLeft / 2 / m_scale, h / 2 + m_fitBottom / 2 / m_scale);
    clamp();
}

void MapView::setFitMargins(double left, double bottom)
{
    m_fitLeft = std::max(0.0, left);
    m_fitBottom = std::max(0.0, bottom);
}

void MapView::clamp()
{
    m_scale = std::clamp(m_scale, minScale(), std::max(MaxScale, minScale()));
    if (!hasGrid())
        return;
    // Keep the middle of the viewport over the job so that it cannot get lost.
    // (A fit with margins may put it a little beside the job.)
    const double w = double(m_rect.width()), h = double(m_rect.height());
    m_center.setX(std::clamp(m_center.x(), std::min(0.0, w / 2 - m_fitLeft / 2 / m_scale), w));
    m_center.setY(std::clamp(m_center.y(), 0.0, std::max(h, h / 2 + m_fitBottom / 2 / m_scale)));
}

void MapView::zoomAbout(const QPointF& screenPoint, double factor)
{
    const QPointF anchor = screenToWorld(screenPoint);
    m_scale = std::clamp(m_scale * factor, minScale(), std::max(MaxScale, minScale()));
    const QPointF offset = screenPoint - QPointF(m_viewport.width() / 2, m_viewport.height() / 2);
    m_center = anchor - offset / m_scale;
    clamp();
}

void MapView::panBy(const QPointF& screenDelta)
{
    m_center -= screenDelta / m_scale;
    clamp();
}

QPointF MapView::screenToWorld(const QPointF& screen) const
{
    const QPointF offset = screen - QPointF(m_viewport.width() / 2, m_viewport.height() / 2);
    return m_center + offset / m_scale;
}

QPointF MapView::worldToScreen(const QPointF& world) const
{
    return (world - m_center) * m_scale + QPointF(m_viewport.width() / 2, m_viewport.height() / 2);
}

QPointF MapView::gridAt(const QPointF& screen) const
{
    const QPointF w = screenToWorld(screen);
    return QPointF(m_rect.minX + w.x(), double(m_rect.maxY) + 1 - w.y());
}

QRectF MapView::tileScreenRect(qint32 x, qint32 y) const
{
    const QPointF topLeft =
        worldToScreen(QPointF(double(x) - m_rect.minX, double(m_rect.maxY) - y));
    return QRectF(topLeft, QSizeF(m_scale, m_scale));
}

QRectF MapView::jobScreenRect() const
{
    const QPointF topLeft = worldToScreen(QPointF(0, 0));
    return QRectF(topLeft,
                  QSizeF(m_scale * double(m_rect.width()), m_scale * double(m_rect.height())));
}

bool MapView::tileAt(const QPointF& screen, TilePosition& tile) const
{
    if (!hasGrid())
        return false;
    const QPointF g = gridAt(screen);
    const double x = std::floor(g.x()), y = std::floor(g.y());
    if (x < m_rect.minX || x > m_rect.maxX || y < m_rect.minY || y > m_rect.maxY)
        return false;
    tile = {qint32(x), qint32(y)};
    return true;
}

GeoPoint MapView::geoAt(const QPointF& screen) const
{
    const QPointF g = gridAt(screen);
    return {double(TileXToLongitude(g.x(), m_zoom)), double(TileYToLatitude(g.y(), m_zoom))};
}

TileRect MapView::visibleTiles() const
{
    if (!hasGrid())
        return {};
    const QPointF a = screenToWorld(QPointF(0, 0));
    const QPointF b = screenToWorld(QPointF(m_viewport.width(), m_viewport.height()));
    const double w = double(m_rect.width()), h = double(m_rect.height());
    const double u0 = std::clamp(std::floor(a.x()), 0.0, w),
                 u1 = std::clamp(std::ceil(b.x()), 0.0, w);
    const double v0 = std::clamp(std::floor(a.y()), 0.0, h),
                 v1 = std::clamp(std::ceil(b.y()), 0.0, h);
    if (u1 <= u0 || v1 <= v0)
        return {};
    // Rows: v counts from the north edge, so the top of the screen is the last row.
    return TileRect{qint32(m_rect.minX + u0), qint32(m_rect.minX + u1 - 1),
                    qint32(m_rect.maxY + 1 - v1), qint32(m_rect.maxY - v0)};
}

GeoArea MapView::visibleArea() const
{
    const double n = double(TileScale(m_zoom));
    const QPointF a = gridAt(QPointF(0, 0));
    const QPointF b = gridAt(QPointF(m_viewport.width(), m_viewport.height()));
    const double west = std::clamp(a.x(), 0.0, n), east = std::clamp(b.x(), 0.0, n);
    const double north = std::clamp(a.y(), 0.0, n), south = std::clamp(b.y(), 0.0, n);
    return {double(TileXToLongitude(west, m_zoom)), double(TileXToLongitude(east, m_zoom)),
            double(TileYToLatitude(north, m_zoom)), double(TileYToLatitude(south, m_zoom))};
}

double MapView::metresPerPixel() const
{
    const double latitude =
        geoAt(QPointF(m_viewport.width() / 2, m_viewport.height() / 2)).latitude;
    const double tileMetres = EarthCircumference * std::cos(latitude * 3.141592653589793 / 180) /
                              double(TileScale(m_zoom));
    return tileMetres / m_scale;
}

} // namespace tavo::mapview
