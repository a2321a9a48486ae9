#include "TileServer.h"
#include "engine/TileMath.h"
#include "http/HttpClient.h"

#include <QFileInfo>
#include <QImage>

#include <gtest/gtest.h>

#include <cmath>

using tavo::tileserver::Options;
using tavo::tileserver::TileServer;

namespace {

const char kWorld[] = "/usr/share/xplanet/images/earth.jpg";

} // namespace

// The tile the downloader names for a place (its column, its row counted from
// the south, its quadkey) shows that place: a desert where there is one, the
// ocean where there is the ocean. Each desert's mirror across the equator is
// ocean, so a row counted from the wrong edge fails.
TEST(WorldTiles, TheDownloadersTileOfAPlaceShowsThatPlace)
{
    ASSERT_TRUE(QFileInfo::exists(kWorld)) << "scripts/install-deps installs xplanet-images";
    Options options;
    options.worldImage = kWorld;
    TileServer server(options);
    const int port = server.start();

    enum Ground
    {
        Desert,
        Ocean
    };
    const struct
    {
        double longitude, latitude;
        Ground ground;
        const char* place;
    } cases[] = {
        {10, 25, Desert, "Sahara"},         {10, -25, Ocean, "South Atlantic"},
        {135, -25, Desert, "Australia"},    {135, 25, Ocean, "Philippine Sea"},
        {-140, 20, Ocean, "North Pacific"},
    };
    for (const int zoom : {3, 7, 12}) {
        const double tiles = std::ldexp(1.0, zoom);
        for (const auto& c : cases) {
            const qint32 x = tavo::LongitudeToTileX(c.longitude, zoom);
            const qint32 y = tavo::LatitudeToTileY(c.latitude, zoom);
            const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/tiles/a" +
                                    tavo::MakeQuadkeyString(x, y, zoom) + ".jpeg?g=1";
            std::string body;
            tavo::http::HttpClient().get(url, body);
            const QImage tile = QImage::fromData(
                reinterpret_cast<const uchar*>(body.data()), int(body.size()), "JPEG");
            ASSERT_EQ(tile.size(), QSize(256, 256)) << c.place;

            // The place's pixel in the tile.
            const double column = (c.longitude + 180) / 360 * tiles - x;
            const double latitude = c.latitude * M_PI / 180;
            const double northRow =
                (1 - std::asinh(std::tan(latitude)) / M_PI) / 2 * tiles - (tiles - 1 - y);
            const QColor colour = tile.pixelColor(int(column * 256), int(northRow * 256));
            if (c.ground == Desert)
                EXPECT_GT(colour.red(), colour.blue() + 50) << c.place << " at zoom " << zoom;
            else
                EXPECT_GT(colour.blue(), colour.red() + 30) << c.place << " at zoom " << zoom;
        }
    }
}
