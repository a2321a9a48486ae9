#include "mapview/MapPainting.h"

#include <QFontMetrics>

#include <algorithm>
#include <cmath>

namespace tavo::mapview {

QString lengthText(double metres)
{
    if (metres >= 1000)
        return QStringLiteral("%1 km").arg(QString::number(metres / 1000, 'g', 6));
    if (metres >= 1)
        return QStringLiteral("%1 m").arg(QString::number(metres, 'g', 6));
    return QStringLiteral("%1 cm").arg(QString::number(metres * 100, 'g', 6));
}

double scaleBarMetres(double metresPerPixel, double maxPixels)
{
    const double limit = metresPerPixel * maxPixels;
    if (!(limit > 0) || !std::isfinite(limit))
        return 0;
    const double power = std::pow(10.0, std::floor(std::log10(limit)));
    for (double step : {5.0, 2.0, 1.0})
        if (step * power <= limit)
            return step * power;
    return power;
}

QRectF snappedTileRect(const MapView& view, qint32 x, qint32 y)
{
    const double u = double(x) - view.rect().minX, v = double(view.rect().maxY) - y;
    const QPointF a = view.worldToScreen(QPointF(u, v));
    const QPointF b = view.worldToScreen(QPointF(u + 1, v + 1));
    return QRectF(QPointF(std::round(a.x()), std::round(a.y())),
                  QPointF(std::round(b.x()), std::round(b.y())));
}


void paintScaleBar(QPainter& painter, const MapView& view)
{
    const double mpp = view.metresPerPixel();
    const double metres = scaleBarMetres(mpp, 150);
    if (metres <= 0)
        return;
    const double length = metres / mpp;
    QFont font = painter.font();
    font.setPixelSize(12);
    painter.setFont(font);
    const QString label = lengthText(metres);
    const QFontMetrics metrics(font);
    const double right = view.viewportSize().width() - 16;
    const double bottom = view.viewportSize().height() - 14;
    const QRectF back(right - std::max(length, double(metrics.horizontalAdvance(label))) - 8,
                      bottom - metrics.height() - 12,
                      std::max(length, double(metrics.horizontalAdvance(label))) + 16,
                      metrics.height() + 20);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 255, 255, 225));
    painter.drawRoundedRect(back, 4, 4);
    painter.setPen(QPen(Qt::black, 2));
    painter.drawLine(QPointF(right - length, bottom), QPointF(right, bottom));
    painter.drawLine(QPointF(right - length, bottom - 5), QPointF(right - length, bottom));
    painter.drawLine(QPointF(right, bottom - 5), QPointF(right, bottom));
    painter.drawText(
        QRectF(right - length, bottom - metrics.height() - 6, length, metrics.height()),
        Qt::AlignHCenter | Qt::AlignBottom | Qt::TextDontClip, label);
}

} // namespace tavo::mapview
