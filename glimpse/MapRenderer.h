#pragma once

#include "glimpse/JobDocument.h"
#include "mapview/MapView.h"
#include "glimpse/TileImageCache.h"

#include <QPainter>

#include <vector>

namespace tavo::glimpse {

using mapview::MapView;

// Draws the job: below ImageScale pixels per tile the coverage map (one cell
// per tile, coloured by state), above it the tile images, with every tile
// that is not a good image filled with its state's colour. Optionally the
// legend and the scale bar on top.
class MapRenderer final
{
public:
    // Pixels per tile from which images are drawn.
    static constexpr double ImageScale = 16.0;

    struct Options
    {
        bool legend = true;
        bool scaleBar = true;
    };

    // `cache` may be null (no images). Returns the images the view needs and
    // the cache does not hold, the middle of the view first.
    static std::vector<TileKey> paint(QPainter& painter, const MapView& view,
                                      const JobDocument& document, TileImageCache* cache,
                                      const Options& options);

    // The room the legend takes in the bottom-left corner, margins included.
    static QSize legendSize(const JobDocument& document, const QFont& font);

private:
    static void legendLines(const JobDocument& document, QStringList& lines,
                            std::vector<QColor>& colours);
    static void paintCoverage(QPainter& painter, const MapView& view, const ScanResult& result);
    static void paintImages(QPainter& painter, const MapView& view, const ScanResult& result,
                            TileImageCache* cache, std::vector<TileKey>& wanted);
    static void paintLegend(QPainter& painter, const MapView& view, const JobDocument& document);
};

} // namespace tavo::glimpse
