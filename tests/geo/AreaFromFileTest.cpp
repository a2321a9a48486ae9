#include "geo/AreaFromFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include <gtest/gtest.h>

#include <cmath>

namespace tavo::geo {
namespace {

class AreaFromFileTest : public ::testing::Test
{
protected:
    QString write(const QString& name, const QByteArray& bytes)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }

    // A point Shapefile in Web Mercator metres (with its .prj), so the reader
    // has to reproject.
    QString mercatorShapefile(const std::vector<std::pair<double, double>>& points)
    {
        GDALAllRegister();
        const QString path = m_dir.filePath(QStringLiteral("places.shp"));
        GDALDriver* driver = GetGDALDriverManager()->GetDriverByName("ESRI Shapefile");
        GDALDataset* dataset =
            driver->Create(path.toUtf8().constData(), 0, 0, 0, GDT_Unknown, nullptr);
        OGRSpatialReference mercator;
        mercator.importFromEPSG(3857);
        OGRLayer* layer = dataset->CreateLayer("places", &mercator, wkbPoint, nullptr);
        for (const auto& [x, y] : points) {
            OGRFeature feature(layer->GetLayerDefn());
            OGRPoint point(x, y);
            feature.SetGeometry(&point);
            EXPECT_EQ(layer->CreateFeature(&feature), OGRERR_NONE);
        }
        GDALClose(dataset);
        return path;
    }

    QTemporaryDir m_dir;
};

void expectArea(const std::optional<AreaValues>& area, double left, double right, double top,
                double bottom, const char* what)
{
    ASSERT_TRUE(area.has_value()) << what;
    EXPECT_NEAR(area->left, left, 1e-9) << what;
    EXPECT_NEAR(area->right, right, 1e-9) << what;
    EXPECT_NEAR(area->top, top, 1e-9) << what;
    EXPECT_NEAR(area->bottom, bottom, 1e-9) << what;
}

// Each format's features, longitude first, give the box of all of them.
TEST_F(AreaFromFileTest, BoundingBoxOfEveryFeatureInEachFormat)
{
    const QString geojson = write(
        "area.geojson",
        R"({"type":"FeatureCollection","features":[
 {"type":"Feature","properties":{},"geometry":{"type":"Point","coordinates":[6.125,45.875]}},
 {"type":"Feature","properties":{},"geometry":{"type":"LineString",
  "coordinates":[[6.0625,45.9],[6.2,46.0078125]]}}]})");
    const QString kml = write("area.kml", R"(<?xml version="1.0" encoding="UTF-8"?>
<kml xmlns="http://www.opengis.net/kml/2.2"><Document>
<Placemark><Point><coordinates>-73.98,40.75,0</coordinates></Point></Placemark>
<Placemark><Polygon><outerBoundaryIs><LinearRing><coordinates>
-74.05,40.68,0 -73.9,40.68,0 -73.9,40.88,0 -74.05,40.68,0
</coordinates></LinearRing></outerBoundaryIs></Polygon></Placemark>
</Document></kml>)");
    const QString gpx = write("track.gpx", R"(<?xml version="1.0" encoding="UTF-8"?>
<gpx version="1.1" creator="test" xmlns="http://www.topografix.com/GPX/1/1">
<wpt lat="-33.9" lon="18.4"><name>a</name></wpt>
<trk><trkseg><trkpt lat="-34.1" lon="18.45"/><trkpt lat="-33.95" lon="18.6"/></trkseg></trk>
</gpx>)");
    const double r = 6378137.0, pi = 3.14159265358979323846;
    const QString shapefile = mercatorShapefile({{1000000, 2000000}, {-500000, -250000}});
    const auto latitude = [&](double y) { return std::atan(std::sinh(y / r)) * 180 / pi; };

    expectArea(readAreaFromFile(geojson, 0), 6.0625, 6.2, 46.0078125, 45.875, "GeoJSON");
    expectArea(readAreaFromFile(kml, 0), -74.05, -73.9, 40.88, 40.68, "KML");
    expectArea(readAreaFromFile(gpx, 0), 18.4, 18.6, -33.9, -34.1, "GPX");
    expectArea(readAreaFromFile(shapefile, 0), -500000 / r * 180 / pi, 1000000 / r * 180 / pi,
               latitude(2000000), latitude(-250000), "Shapefile in Web Mercator");
}

TEST_F(AreaFromFileTest, ABufferGrowsTheBoxByAtLeastThatManyMetresOnEverySide)
{
    const QString geojson =
        write("line.geojson", R"({"type":"LineString","coordinates":[[10,60],[11,61]]})");
    const std::optional<AreaValues> area = readAreaFromFile(geojson, 1000);
    ASSERT_TRUE(area.has_value());
    const double latitudeStep = 1000 / MetresPerDegree;
    EXPECT_NEAR(area->top, 61 + latitudeStep, 1e-9);
    EXPECT_NEAR(area->bottom, 60 - latitudeStep, 1e-9);
    // At 61 degrees north a degree of longitude is about half as long.
    const double pi = 3.14159265358979323846;
    const double atTop = 1000 / (MetresPerDegree * std::cos((61 + latitudeStep) * pi / 180));
    EXPECT_NEAR(area->left, 10 - atTop, 1e-9);
    EXPECT_NEAR(area->right, 11 + atTop, 1e-9);
}

TEST_F(AreaFromFileTest, AFileWithoutFeaturesOrUnreadableGivesAReasonAndNoArea)
{
    const struct
    {
        QString path;
        const char* says;
    } cases[] = {
        {write("empty.geojson", R"({"type":"FeatureCollection","features":[]})"),
         "holds no feature"},
        {write("broken.geojson", R"({"type":"FeatureCollection","features":[{"type":)"),
         "cannot be read"},
        {write("notes.txt", "just some words\n"), "cannot be read"},
        {m_dir.filePath("absent.kml"), "does not exist"},
    };
    for (const auto& c : cases) {
        QString error;
        EXPECT_FALSE(readAreaFromFile(c.path, 0, &error).has_value()) << c.says;
        EXPECT_TRUE(error.contains(QString::fromLatin1(c.says))) << error.toStdString();
    }
}

} // namespace
} // namespace tavo::geo
