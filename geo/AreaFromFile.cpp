#include "geo/AreaFromFile.h"

#include <QFile>
#include <QFileInfo>

#include <cpl_error.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>

namespace tavo::geo {

namespace {

struct DatasetCloser
{
    void operator()(GDALDataset* dataset) const { GDALClose(dataset); }
};

// GDAL's messages go into the reason the user reads, not to the terminal.
struct QuietErrors
{
    QuietErrors() { CPLPushErrorHandler(CPLQuietErrorHandler); }
    ~QuietErrors() { CPLPopErrorHandler(); }
};

bool fail(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

} // namespace

std::optional<AreaValues> readAreaFromFile(const QString& path, double bufferMetres,
                                           QString* error)
{
    static std::once_flag registered;
    std::call_once(registered, [] { GDALAllRegister(); });

    const QString name = QFileInfo(path).fileName();
    if (!QFileInfo(path).isFile()) {
        fail(error, QStringLiteral("%1 does not exist.").arg(path));
        return std::nullopt;
    }
    const QuietErrors quiet;
    CPLErrorReset();
    std::unique_ptr<GDALDataset, DatasetCloser> dataset(GDALDataset::Open(
        QFile::encodeName(path).constData(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr,
        nullptr));
    if (!dataset) {
        const QString reason = QString::fromUtf8(CPLGetLastErrorMsg()).trimmed();
        fail(error, QStringLiteral("%1 cannot be read as GeoJSON, KML, GPX or Shapefile%2")
                        .arg(name, reason.isEmpty() ? QStringLiteral(".")
                                                    : QStringLiteral(": ") + reason));
        return std::nullopt;
    }

    OGRSpatialReference wgs84;
    wgs84.SetWellKnownGeogCS("WGS84");
    // Longitude first, whatever the system's official axis order says.
    wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);

    OGREnvelope box;
    bool any = false;
    for (OGRLayer* layer : dataset->GetLayers()) {
        std::unique_ptr<OGRCoordinateTransformation> toWgs84;
        if (const OGRSpatialReference* source = layer->GetSpatialRef()) {
            OGRSpatialReference from(*source);
            from.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
            if (!from.IsSame(&wgs84)) {
                toWgs84.reset(OGRCreateCoordinateTransformation(&from, &wgs84));
                if (!toWgs84) {
                    fail(error, QStringLiteral("%1: its coordinate system cannot be turned into "
                                               "longitude and latitude.")
                                    .arg(name));
                    return std::nullopt;
                }
            }
        }
        layer->ResetReading();
        while (OGRFeature* raw = layer->GetNextFeature()) {
            std::unique_ptr<OGRFeature> feature(raw);
            const OGRGeometry* geometry = feature->GetGeometryRef();
            if (!geometry || geometry->IsEmpty())
                continue;
            std::unique_ptr<OGRGeometry> copy(geometry->clone());
            if (toWgs84 && copy->transform(toWgs84.get()) != OGRERR_NONE) {
                fail(error, QStringLiteral("%1: a feature cannot be turned into longitude and "
                                           "latitude.")
                                .arg(name));
                return std::nullopt;
            }
            OGREnvelope envelope;
            copy->getEnvelope(&envelope);
            box.Merge(envelope);
            any = true;
        }
    }
    if (!any) {
        fail(error, QStringLiteral("%1 holds no feature with a place.").arg(name));
        return std::nullopt;
    }

    AreaValues area;
    area.left = box.MinX;
    area.right = box.MaxX;
    area.top = box.MaxY;
    area.bottom = box.MinY;
    if (bufferMetres > 0) {
        // A degree of longitude is shortest on the side farthest from the
        // equator: grown by that, the buffer is at least as wide everywhere.
        const double latitudeStep = bufferMetres / MetresPerDegree;
        const double farthest = std::min(89.0, std::max(std::abs(area.top), std::abs(area.bottom)) +
                                                   latitudeStep);
        const double longitudeStep =
            bufferMetres / (MetresPerDegree * std::cos(farthest * 3.14159265358979323846 / 180));
        area.left = std::max(-180.0, area.left - longitudeStep);
        area.right = std::min(180.0, area.right + longitudeStep);
        area.top = std::min(90.0, area.top + latitudeStep);
        area.bottom = std::max(-90.0, area.bottom - latitudeStep);
    }
    return area;
}

} // namespace tavo::geo
