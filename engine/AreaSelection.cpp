#include "engine/AreaSelection.h"

#include "engine/TileMath.h"

#include <algorithm>
#include <cmath>

namespace tavo {

namespace {

constexpr double MaxLatitude = 85.0;

QString sixDecimals(double degrees)
{
    const QString text = QString::number(degrees, 'f', 6);
    return text == QStringLiteral("-0.000000") ? QStringLiteral("0.000000") : text;
}

double roundedToMillionths(double degrees)
{
    return std::round(degrees * 1e6) / 1e6;
}

// A text for the boundary tile `tile` of one axis: its edge moved a millionth
// inwards, or, should that not read back as the tile, its middle.
template <typename ToTile>
QString edgeText(double edge, double otherEdge, double lowLimit, double highLimit, qint32 tile,
                 ToTile toTile)
{
    const double inward = otherEdge > edge ? 1e-6 : -1e-6;
    const double candidates[] = {roundedToMillionths(edge) + inward,
                                 roundedToMillionths((edge + otherEdge) / 2)};
    for (double candidate : candidates) {
        candidate = std::clamp(candidate, lowLimit, highLimit);
        const QString text = sixDecimals(candidate);
        if (toTile(ParseLeadingNumber(text)) == tile)
            return text;
    }
    return sixDecimals(std::clamp((edge + otherEdge) / 2, lowLimit, highLimit));
}

} // namespace

TileRect snapToTiles(const AreaValues& area, int zoom)
{
    const qint32 last = TileScale(zoom) - 1;
    double west = std::clamp(std::min(area.left, area.right), -180.0, 180.0);
    double east = std::clamp(std::max(area.left, area.right), -180.0, 180.0);
    const double north = std::clamp(std::max(area.top, area.bottom), -MaxLatitude, MaxLatitude);
    const double south = std::clamp(std::min(area.top, area.bottom), -MaxLatitude, MaxLatitude);
    AreaValues ordered;
    ordered.left = west;
    ordered.right = east;
    ordered.top = north;
    ordered.bottom = south;
    TileRect rect = tileRectFor(ordered, zoom);
    rect.minX = std::clamp(rect.minX, 0, last);
    rect.maxX = std::clamp(rect.maxX, 0, last);
    rect.minY = std::clamp(rect.minY, 0, last);
    rect.maxY = std::clamp(rect.maxY, 0, last);
    return rect;
}

AreaValues tileRectEdges(const TileRect& rect, int zoom)
{
    AreaValues edges;
    edges.left = double(TileXToLongitude(rect.minX, zoom));
    edges.right = double(TileXToLongitude(double(rect.maxX) + 1, zoom));
    edges.top = double(TileYToLatitude(double(rect.maxY) + 1, zoom));
    edges.bottom = double(TileYToLatitude(rect.minY, zoom));
    return edges;
}

AreaTexts areaTextsFor(const TileRect& rect, int zoom)
{
    const AreaValues edges = tileRectEdges(rect, zoom);
    const auto column = [zoom](double longitude) { return LongitudeToTileX(longitude, zoom); };
    const auto row = [zoom](double latitude) { return LatitudeToTileY(latitude, zoom); };
    const double westOfMax = double(TileXToLongitude(rect.maxX, zoom));
    const double eastOfMin = double(TileXToLongitude(double(rect.minX) + 1, zoom));
    const double southOfMax = double(TileYToLatitude(rect.maxY, zoom));
    const double northOfMin = double(TileYToLatitude(double(rect.minY) + 1, zoom));
    AreaTexts texts;
    texts.left = edgeText(edges.left, eastOfMin, -180.0, 180.0, rect.minX, column);
    texts.right = edgeText(edges.right, westOfMax, -180.0, 180.0, rect.maxX, column);
    texts.top = edgeText(edges.top, southOfMax, -MaxLatitude, MaxLatitude, rect.maxY, row);
    texts.bottom = edgeText(edges.bottom, northOfMin, -MaxLatitude, MaxLatitude, rect.minY, row);
    return texts;
}

} // namespace tavo
