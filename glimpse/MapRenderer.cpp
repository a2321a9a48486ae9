#include "glimpse/MapRenderer.h"

#include "glimpse/Texts.h"

#include <QFontMetrics>

#include <algorithm>
#include <cmath>

namespace tavo::glimpse {

namespace {

const QColor Background(0x30, 0x33, 0x38);

} // namespace

std::vector<TileKey> MapRenderer::paint(QPainter& painter, const MapView& view,
                                        const JobDocument& document, TileImageCache* cache,
                                        const Options& options)
{
    std::vector<TileKey> wanted;
    const QRectF viewport(QPointF(0, 0), view.viewportSize());
    painter.fillRect(viewport, Background);
    if (!document.isOpen() || !view.hasGrid()) {
        painter.setPen(QColor(0xd0, 0xd0, 0xd0));
        painter.drawText(viewport, Qt::AlignCenter,
                         QStringLiteral("File > Open project... or drop a .tavo file here"));
        return wanted;
    }

    const QRectF job = view.jobScreenRect().intersected(viewport);
    const ScanResult* result = document.result();
    if (!result) {
        painter.fillRect(job, unknownColor());
    } else {
        painter.save();
        painter.setClipRect(job);
        if (view.scale() >= ImageScale)
            paintImages(painter, view, *result, cache, wanted);
        else
            paintCoverage(painter, view, *result);
        painter.restore();
    }
    if (options.legend)
        paintLegend(painter, view, document);
    if (options.scaleBar)
        mapview::paintScaleBar(painter, view);
    return wanted;
}

void MapRenderer::paintCoverage(QPainter& painter, const MapView& view, const ScanResult& result)
{
    const Coverage& coverage = result.coverage;
    if (coverage.isEmpty())
        return;
    const int level = coverage.levelFor(view.scale());
    const QImage& image = coverage.level(level);
    const double cellTiles = std::ldexp(1.0, coverage.shift(level));

    // The cells under the viewport, one more on each side.
    const QPointF a = view.screenToWorld(QPointF(0, 0)) / cellTiles;
    const QPointF b =
        view.screenToWorld(QPointF(view.viewportSize().width(), view.viewportSize().height())) /
        cellTiles;
    const int i0 = std::clamp(int(std::floor(a.x())), 0, image.width());
    const int i1 = std::clamp(int(std::ceil(b.x())), 0, image.width());
    const int j0 = std::clamp(int(std::floor(a.y())), 0, image.height());
    const int j1 = std::clamp(int(std::ceil(b.y())), 0, image.height());
    if (i1 <= i0 || j1 <= j0)
        return;
    QImage part = image.copy(i0, j0, i1 - i0, j1 - j0);
    if (!result.complete) // files found but not read yet: not known to be good
        part.setColor(0, unknownColor().rgb());
    part = part.convertToFormat(QImage::Format_RGB32);
    const QPointF topLeft = view.worldToScreen(QPointF(i0 * cellTiles, j0 * cellTiles));
    const QPointF bottomRight = view.worldToScreen(QPointF(i1 * cellTiles, j1 * cellTiles));
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(QRectF(topLeft, bottomRight), part);
}

void MapRenderer::paintImages(QPainter& painter, const MapView& view, const ScanResult& result,
                              TileImageCache* cache, std::vector<TileKey>& wanted)
{
    const TileRect visible = view.visibleTiles();
    if (visible.isEmpty())
        return;
    const double scale = view.scale();
    const int level = TileImageCache::levelForPixels(scale);
    const QPointF middle(view.viewportSize().width() / 2, view.viewportSize().height() / 2);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, scale < 256);

    QFont font = painter.font();
    font.setPixelSize(std::clamp(int(scale / 10), 9, 14));
    painter.setFont(font);
    const bool labels = scale >= 96;

    for (qint32 y = visible.maxY; y >= visible.minY; --y) {
        for (qint32 x = visible.minX; x <= visible.maxX; ++x) {
            const QRectF rect = mapview::snappedTileRect(view, x, y);
            const TileState state = result.scan.state(x, y);
            if (state != TileState::Good) {
                painter.fillRect(rect, stateColor(state));
                if (labels) {
                    painter.setPen(Qt::white);
                    painter.drawText(rect, Qt::AlignCenter, tileStateName(state));
                }
                continue;
            }
            const TileKey key{x, y, level};
            const QImage* image = cache ? cache->find(key) : nullptr;
            if (!image && cache) {
                if (!cache->failed(key))
                    wanted.push_back(key);
                image = cache->findAny(key);
            }
            if (image)
                painter.drawImage(rect, *image);
            else
                painter.fillRect(rect, cache && cache->failed(key) ? stateColor(TileState::NotJpeg)
                                                                   : unknownColor());
        }
    }
    // Thin lines between tiles once they are large enough to tell apart.
    if (scale >= 64) {
        painter.setPen(QPen(QColor(255, 255, 255, 40), 0));
        for (qint32 x = visible.minX; x <= visible.maxX + 1; ++x) {
            const double sx = view.worldToScreen(QPointF(double(x) - view.rect().minX, 0)).x();
            painter.drawLine(QPointF(sx, 0), QPointF(sx, view.viewportSize().height()));
        }
        for (qint32 y = visible.minY; y <= visible.maxY + 1; ++y) {
            const double sy = view.worldToScreen(QPointF(0, double(view.rect().maxY) + 1 - y)).y();
            painter.drawLine(QPointF(0, sy), QPointF(view.viewportSize().width(), sy));
        }
    }
    // Decode the middle of the view first.
    std::sort(wanted.begin(), wanted.end(), [&view, &middle](const TileKey& p, const TileKey& q) {
        const QPointF dp = view.tileScreenRect(p.x, p.y).center() - middle;
        const QPointF dq = view.tileScreenRect(q.x, q.y).center() - middle;
        return QPointF::dotProduct(dp, dp) < QPointF::dotProduct(dq, dq);
    });
}

QSize MapRenderer::legendSize(const JobDocument& document, const QFont& baseFont)
{
    QFont font = baseFont;
    font.setPixelSize(12);
    const QFontMetrics metrics(font);
    QStringList lines;
    std::vector<QColor> colours;
    legendLines(document, lines, colours);
    const int line = metrics.height() + 4;
    int width = 0;
    for (const QString& text : lines)
        width = std::max(width, metrics.horizontalAdvance(text));
    // Drawn 8 pixels from the left and bottom edges.
    return QSize(8 + width + (metrics.height() - 2) + 24, 8 + line * int(lines.size()) + 8);
}

void MapRenderer::legendLines(const JobDocument& document, QStringList& lines,
                              std::vector<QColor>& colours)
{
    const ScanResult* result = document.result();
    const QLocale locale = countLocale();
    if (result && result->complete) {
        for (TileState state : legendStates()) {
            lines << QStringLiteral("%1  %2").arg(tileStateName(state),
                                                  locale.toString(result->scan.count(state)));
            colours.push_back(stateColor(state));
        }
    } else {
        // Known from the names alone: what has no file.
        for (TileState state : {TileState::Missing, TileState::Partial}) {
            if (!result)
                break;
            lines << QStringLiteral("%1  %2").arg(tileStateName(state),
                                                  locale.toString(result->scan.count(state)));
            colours.push_back(stateColor(state));
        }
        const int percent =
            document.scanTotal() > 0 ? int(100 * document.scanDone() / document.scanTotal()) : 0;
        lines << QStringLiteral("reading the files... %1 %").arg(percent);
        colours.push_back(unknownColor());
    }
}

void MapRenderer::paintLegend(QPainter& painter, const MapView& view, const JobDocument& document)
{
    QFont font = painter.font();
    font.setPixelSize(12);
    painter.setFont(font);
    const QFontMetrics metrics(font);
    QStringList lines;
    std::vector<QColor> colours;
    legendLines(document, lines, colours);
    const int line = metrics.height() + 4;
    int width = 0;
    for (const QString& text : lines)
        width = std::max(width, metrics.horizontalAdvance(text));
    const int box = metrics.height() - 2;
    const QRect frame(8, int(view.viewportSize().height()) - 8 - line * int(lines.size()) - 8,
                      width + box + 24, line * int(lines.size()) + 8);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 255, 255, 225));
    painter.drawRoundedRect(frame, 4, 4);
    for (int i = 0; i < lines.size(); ++i) {
        const int top = frame.top() + 4 + i * line;
        painter.fillRect(QRect(frame.left() + 8, top + 3, box, box), colours[std::size_t(i)]);
        painter.setPen(Qt::black);
        painter.drawText(QRect(frame.left() + 8 + box + 8, top, width + 4, line),
                         Qt::AlignLeft | Qt::AlignVCenter, lines[i]);
    }
}

} // namespace tavo::glimpse
