#include "weaver/Weave.h"

#include "weaver/CogWriter.h"
#include "weaver/MosaicDataset.h"
#include "weaver/OutputFiles.h"
#include "weaver/TileStore.h"

#include "engine/TileMath.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal_priv.h>

#include <algorithm>
#include <mutex>

namespace tavo::weaver {

namespace {

// Half the circumference of the sphere of EPSG:3857, in metres.
constexpr double OriginShift = 20037508.342789244;

void setUpGdal()
{
    static std::once_flag once;
    std::call_once(once, [] {
        GDALAllRegister();
        // Tiles are opened by the thousand: never list their folder for side
        // files, never look for or write .aux.xml files.
        CPLSetConfigOption("GDAL_DISABLE_READDIR_ON_OPEN", "EMPTY_DIR");
        CPLSetConfigOption("GDAL_PAM_ENABLED", "NO");
        // A tile cut short (an interrupted download) is unreadable, not half grey.
        CPLSetConfigOption("GDAL_ERROR_ON_LIBJPEG_WARNING", "TRUE");
    });
}

// Collects the errors GDAL reports on this thread while it lives.
class GdalErrors
{
public:
    GdalErrors() { CPLPushErrorHandlerEx(&GdalErrors::handler, this); }
    ~GdalErrors() { CPLPopErrorHandler(); }
    GdalErrors(const GdalErrors&) = delete;
    GdalErrors& operator=(const GdalErrors&) = delete;

    bool failed() const { return m_failures > 0; }
    bool interrupted() const { return m_interrupted; }
    QString firstMessage() const { return m_first; }

private:
    static void CPL_STDCALL handler(CPLErr level, CPLErrorNum number, const char* message)
    {
        auto* self = static_cast<GdalErrors*>(CPLGetErrorHandlerUserData());
        if (level < CE_Failure)
            return;
        if (number == CPLE_UserInterrupt)
            self->m_interrupted = true;
        if (self->m_failures++ == 0)
            self->m_first = QString::fromUtf8(message);
    }

    int m_failures = 0;
    bool m_interrupted = false;
    QString m_first;
};

struct ProgressContext
{
    Feedback* feedback;
    qint64 total;
};

int CPL_STDCALL gdalProgress(double fraction, const char*, void* data)
{
    auto* context = static_cast<ProgressContext*>(data);
    if (isCancelled(context->feedback))
        return FALSE;
    const qint64 done = std::clamp<qint64>(qint64(fraction * double(context->total)), 0,
                                           context->total);
    return reportProgress(context->feedback, done, context->total) ? TRUE : FALSE;
}

QString describeTile(TilePosition tile)
{
    return tileFileName(tile.x, tile.y);
}

// The error text of a failed GDAL run, for the user.
QString gdalFailure(const GdalErrors& errors, const QString& outPath)
{
    QString text = QStringLiteral("Could not write %1").arg(outPath);
    if (!errors.firstMessage().isEmpty())
        text += QStringLiteral(": ") + errors.firstMessage();
    return text;
}

bool writeWithGdal(const WeaveRequest& request, const JobScan& scan, const OutputFiles& files,
                   Feedback* feedback, WeaveResult& result)
{
    const bool alpha = request.format != OutputFormat::Jpeg;
    MosaicDataset mosaic(request.input.imageFolder, request.input.zoom, scan,
                         request.scaleDivisor, alpha ? 4 : 3);
    const QByteArray quality = QByteArray::number(request.jpegQuality);

    const char* driverName = "JPEG";
    CPLStringList options;
    switch (request.format) {
    case OutputFormat::Jpeg:
        driverName = "JPEG";
        options.SetNameValue("QUALITY", quality.constData());
        break;
    case OutputFormat::Png:
        driverName = "PNG";
        options.SetNameValue("ZLEVEL", "6");
        break;
    case OutputFormat::Cog: // CogWriter
    case OutputFormat::MbTiles:
    case OutputFormat::GeoPackage:
    case OutputFormat::SqliteDb:
        return false;
    }
    GDALDriver* driver = GetGDALDriverManager()->GetDriverByName(driverName);
    if (!driver) {
        result.error = QStringLiteral("This GDAL has no %1 driver.").arg(driverName);
        return false;
    }

    // A single image is written line by line: the block cache must hold one
    // row of tiles, or every line would decode its tiles again.
    if (!CPLGetConfigOption("GDAL_CACHEMAX", nullptr)) {
        const GIntBig row = GIntBig(mosaic.GetRasterXSize()) * mosaic.tilePixels() *
                            mosaic.GetRasterCount();
        GDALSetCacheMax64(std::max<GIntBig>(64LL << 20, row + row / 4 + (16LL << 20)));
    }

    ProgressContext context{feedback, scan.total()};
    GdalErrors errors;
    const QByteArray target = QFile::encodeName(files.temporaryMain());
    GDALDataset* written = driver->CreateCopy(target.constData(), &mosaic, FALSE, options.List(),
                                              gdalProgress, &context);
    if (written)
        GDALClose(GDALDataset::ToHandle(written)); // flushes: its errors count too

    auto undecodable = mosaic.undecodable();
    std::sort(undecodable.begin(), undecodable.end(), [](TilePosition a, TilePosition b) {
        return a.x != b.x ? a.x < b.x : a.y < b.y;
    });
    undecodable.erase(std::unique(undecodable.begin(), undecodable.end()), undecodable.end());
    result.undecodableCount = qint64(undecodable.size());
    if (undecodable.size() > NamedAtMost)
        undecodable.resize(NamedAtMost);
    result.undecodable = undecodable;

    if (isCancelled(feedback) || errors.interrupted()) {
        result.cancelled = true;
        result.error = QStringLiteral("Cancelled.");
        return false;
    }
    if (!written || errors.failed()) {
        result.error = gdalFailure(errors, request.outPath);
        return false;
    }
    {
        double transform[6];
        mosaic.GetGeoTransform(transform);
        if (!files.writeWorldFile(transform) || !files.writeProjection() ||
            !files.writeAuxiliary()) {
            result.error = QStringLiteral("Could not write the world file or the .prj beside %1")
                               .arg(request.outPath);
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<OutputFormat> formatFromName(const QString& name)
{
    const QString n = name.trimmed().toLower();
    if (n == QLatin1String("cog") || n == QLatin1String("tif") || n == QLatin1String("tiff") ||
        n == QLatin1String("geotiff"))
        return OutputFormat::Cog;
    if (n == QLatin1String("jpeg") || n == QLatin1String("jpg"))
        return OutputFormat::Jpeg;
    if (n == QLatin1String("png"))
        return OutputFormat::Png;
    if (n == QLatin1String("mbtiles"))
        return OutputFormat::MbTiles;
    if (n == QLatin1String("gpkg") || n == QLatin1String("geopackage"))
        return OutputFormat::GeoPackage;
    if (n == QLatin1String("sqlitedb"))
        return OutputFormat::SqliteDb;
    return std::nullopt;
}

QString knownFormatsText()
{
    return QStringLiteral("cog (.tif, .tiff), jpeg (.jpg), png, mbtiles, gpkg, sqlitedb");
}

QString formatName(OutputFormat format)
{
    switch (format) {
    case OutputFormat::Cog:
        return QStringLiteral("cog");
    case OutputFormat::Jpeg:
        return QStringLiteral("jpeg");
    case OutputFormat::Png:
        return QStringLiteral("png");
    case OutputFormat::MbTiles:
        return QStringLiteral("mbtiles");
    case OutputFormat::GeoPackage:
        return QStringLiteral("gpkg");
    case OutputFormat::SqliteDb:
        return QStringLiteral("sqlitedb");
    }
    return QString();
}

bool inputFromProject(const QString& projectPath, TileInput& input, QString* error)
{
    ProjectInfo info;
    if (!readProjectInfo(projectPath, info, error))
        return false;
    input.name = info.projectBase;
    input.imageFolder = info.imageFolder;
    input.zoom = info.zoom;
    input.rect = info.rect;
    return true;
}

bool inputFromFolder(const QString& folder, int zoom, TileInput& input, QString* error)
{
    auto fail = [error](const QString& message) {
        if (error)
            *error = message;
        return false;
    };
    if (zoom < MinZoom || zoom > MaxZoom)
        return fail(QStringLiteral("The zoom level must be %1 to %2.").arg(MinZoom).arg(MaxZoom));
    const QFileInfo info(folder);
    if (!info.isDir())
        return fail(QStringLiteral("%1 is not a folder.").arg(folder));
    if (!info.isReadable() || !info.isExecutable())
        return fail(QStringLiteral("Cannot read the folder %1").arg(folder));

    const qint64 last = (qint64(1) << zoom) - 1;
    TileRect rect;
    bool any = false;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System);
    while (it.hasNext()) {
        it.next();
        const QString name = it.fileName();
        qint32 x = 0, y = 0;
        TileFileKind kind;
        if (!parseTileFileName(QFile::encodeName(name).constData(), x, y, kind) ||
            kind != TileFileKind::Tile || x > last || y > last || tileFileName(x, y) != name)
            continue;
        if (!any) {
            rect = {x, x, y, y};
            any = true;
        } else {
            rect.minX = std::min(rect.minX, x);
            rect.maxX = std::max(rect.maxX, x);
            rect.minY = std::min(rect.minY, y);
            rect.maxY = std::max(rect.maxY, y);
        }
    }
    if (!any)
        return fail(QStringLiteral("%1 holds no tile of zoom %2 (files named X_Y.jpg).")
                        .arg(folder)
                        .arg(zoom));
    input.name = QDir(folder).dirName();
    input.imageFolder = QDir(folder).absolutePath() + u'/';
    input.zoom = zoom;
    input.rect = rect;
    return true;
}

MercatorBounds mercatorBounds(const TileRect& rect, int zoom)
{
    // One tile is the circumference over 2^zoom: a power of two, so exact.
    const double tile = 2 * OriginShift / double(TileScale(zoom));
    return {-OriginShift + double(rect.minX) * tile, -OriginShift + double(rect.minY) * tile,
            -OriginShift + double(qint64(rect.maxX) + 1) * tile,
            -OriginShift + double(qint64(rect.maxY) + 1) * tile};
}

MercatorBounds degreeBounds(const TileRect& rect, int zoom)
{
    return {double(TileXToLongitude(rect.minX, zoom)), double(TileYToLatitude(rect.minY, zoom)),
            double(TileXToLongitude(double(qint64(rect.maxX) + 1), zoom)),
            double(TileYToLatitude(double(qint64(rect.maxY) + 1), zoom))};
}

QString summaryText(const WeaveRequest& request, const WeaveResult& result, int listAtMost)
{
    QStringList lines;
    if (result.ok && isTileStore(request.format) && result.minZoom < result.maxZoom)
        lines << QStringLiteral("Wrote %1: %2 of %3 tiles, zoom levels %4 to %5.")
                     .arg(request.outPath)
                     .arg(result.written)
                     .arg(result.total)
                     .arg(result.minZoom)
                     .arg(result.maxZoom);
    else if (result.ok && isTileStore(request.format))
        lines << QStringLiteral("Wrote %1: %2 of %3 tiles.")
                     .arg(request.outPath)
                     .arg(result.written)
                     .arg(result.total);
    else if (result.ok)
        lines << QStringLiteral("Wrote %1 (%2 x %3 pixels): %4 of %5 tiles.")
                     .arg(request.outPath)
                     .arg(result.pixelWidth)
                     .arg(result.pixelHeight)
                     .arg(result.written)
                     .arg(result.total);
    else if (result.cancelled)
        lines << QStringLiteral("Cancelled: nothing was written to %1.").arg(request.outPath);
    else
        lines << QStringLiteral("Failed: %1").arg(result.error)
              << QStringLiteral("Nothing was written to %1.").arg(request.outPath);
    if (result.total == 0)
        return lines.join(u'\n');
    if (result.ok && !result.reencoded.empty()) {
        QStringList names;
        for (const auto& [tile, reason] : result.reencoded) {
            if (names.size() >= listAtMost)
                break;
            names << QStringLiteral("%1 (%2)").arg(describeTile(tile), reason);
        }
        const qint64 all = qint64(result.reencoded.size());
        lines << QStringLiteral("%1 tiles could not be copied as they are and were encoded again: %2")
                         .arg(all)
                         .arg(names.join(QStringLiteral(", "))) +
                     (all > names.size() ? QStringLiteral(" and %1 more.").arg(all - names.size())
                                         : QStringLiteral("."));
    }

    QStringList counts;
    for (int s = 1; s < TileStateCount; ++s)
        if (result.counts[std::size_t(s)] > 0)
            counts << QStringLiteral("%1 %2")
                          .arg(result.counts[std::size_t(s)])
                          .arg(tileStateName(TileState(s)));
    if (result.undecodableCount > 0)
        counts << QStringLiteral("%1 unreadable JPEG").arg(result.undecodableCount);
    if (counts.isEmpty()) {
        if (result.ok)
            lines << QStringLiteral("Every tile was included.");
        return lines.join(u'\n');
    }
    const bool transparent = request.format == OutputFormat::Cog ||
                             request.format == OutputFormat::Png;
    const QString how = isTileStore(request.format)
                            ? QStringLiteral("left out")
                        : transparent ? QStringLiteral("left transparent")
                                      : QStringLiteral("left black");
    lines << QStringLiteral("Tiles %1: %2.").arg(how, counts.join(QStringLiteral(", ")));
    QStringList names;
    for (const auto& [tile, state] : result.leftOut) {
        if (names.size() >= listAtMost)
            break;
        names << QStringLiteral("%1 (%2)").arg(describeTile(tile), tileStateName(state));
    }
    for (const TilePosition tile : result.undecodable) {
        if (names.size() >= listAtMost)
            break;
        names << QStringLiteral("%1 (unreadable JPEG)").arg(describeTile(tile));
    }
    const qint64 all = result.total - result.counts[std::size_t(TileState::Good)] +
                       result.undecodableCount;
    if (!names.isEmpty())
        lines << names.join(QStringLiteral(", ")) +
                     (all > names.size() ? QStringLiteral(" and %1 more.").arg(all - names.size())
                                         : QStringLiteral("."));
    return lines.join(u'\n');
}

WeaveResult weave(const WeaveRequest& request, Feedback* feedback)
{
    setUpGdal();
    QElapsedTimer clock;
    clock.start();
    WeaveResult result;
    auto finish = [&](bool ok) {
        result.ok = ok;
        result.seconds = double(clock.elapsed()) / 1000.0;
        return result;
    };

    const TileInput& input = request.input;
    TileRect rect = input.rect;
    if (request.subRect) {
        const TileRect& s = *request.subRect;
        if (s.isEmpty() || !input.rect.contains(s.minX, s.minY) ||
            !input.rect.contains(s.maxX, s.maxY)) {
            result.error = QStringLiteral("The part %1..%2, %3..%4 is not inside the job's tiles "
                                          "%5..%6, %7..%8.")
                               .arg(s.minX).arg(s.maxX).arg(s.minY).arg(s.maxY)
                               .arg(input.rect.minX).arg(input.rect.maxX)
                               .arg(input.rect.minY).arg(input.rect.maxY);
            return finish(false);
        }
        rect = s;
    }
    result.rect = rect;
    result.total = rect.count();
    const int divisor = request.scaleDivisor;
    if (divisor != 1 && divisor != 2 && divisor != 4 && divisor != 8) {
        result.error = QStringLiteral("The scale must be 1, 1/2, 1/4 or 1/8.");
        return finish(false);
    }
    if (isTileStore(request.format) && divisor != 1) {
        result.error = QStringLiteral("A tile store keeps the tiles as they are: it takes no "
                                      "scale.");
        return finish(false);
    }
    if (isTileStore(request.format) && request.minZoom > input.zoom) {
        result.error = QStringLiteral("The lowest zoom level %1 is above the job's zoom %2.")
                           .arg(request.minZoom)
                           .arg(input.zoom);
        return finish(false);
    }
    const qint64 side = 256 / divisor;
    result.pixelWidth = rect.width() * side;
    result.pixelHeight = rect.height() * side;
    if (!isTileStore(request.format) &&
        (result.pixelWidth > 0x7fffffff || result.pixelHeight > 0x7fffffff)) {
        result.error = QStringLiteral("%1 x %2 pixels is too large for one image; choose a "
                                      "smaller part or scale.")
                           .arg(result.pixelWidth)
                           .arg(result.pixelHeight);
        return finish(false);
    }
    const qint64 limit = request.format == OutputFormat::Jpeg  ? JpegMaxSide
                         : request.format == OutputFormat::Png ? PngMaxSide
                                                               : 0;
    if (limit && (result.pixelWidth > limit || result.pixelHeight > limit)) {
        result.error =
            QStringLiteral("%1 x %2 pixels is too large for one %3 (at most %4 pixels a side). "
                           "Choose GeoTIFF, a smaller scale or a part of the job.")
                .arg(result.pixelWidth)
                .arg(result.pixelHeight)
                .arg(request.format == OutputFormat::Jpeg ? QStringLiteral("JPEG")
                                                          : QStringLiteral("PNG"))
                .arg(limit);
        return finish(false);
    }
    const QFileInfo folder(QDir::cleanPath(input.imageFolder));
    if (!folder.exists()) {
        result.error = QStringLiteral("The tile folder %1 does not exist.").arg(input.imageFolder);
        return finish(false);
    }
    if (!folder.isDir() || !folder.isReadable() || !folder.isExecutable()) {
        result.error = QStringLiteral("Cannot read the tile folder %1").arg(input.imageFolder);
        return finish(false);
    }

    OutputFiles files(request.outPath, request.format);
    QString prepareError;
    if (!files.prepare(&prepareError)) {
        result.error = prepareError;
        return finish(false);
    }

    // Which tiles are there, and which are fit to use.
    ScanOptions scanOptions;
    if (!request.placeholderPath.isEmpty()) {
        QFile placeholder(request.placeholderPath);
        if (placeholder.open(QIODevice::ReadOnly))
            scanOptions.placeholder = placeholder.readAll();
        scanOptions.placeholderPath = request.placeholderPath;
    }
    // The scan stops with the whole; its own progress (files looked at) is
    // not the tiles written, so the watcher does not see it.
    Feedback scanFeedback({}, feedback);
    scanOptions.feedback = &scanFeedback;
    const JobScan scan = scanJobFolder(input.imageFolder, rect, scanOptions);
    if (isCancelled(feedback)) {
        result.cancelled = true;
        result.error = QStringLiteral("Cancelled.");
        return finish(false);
    }
    for (int s = 0; s < TileStateCount; ++s)
        result.counts[std::size_t(s)] = scan.count(TileState(s));
    // Name the first few left-out tiles only: a stopped job's rectangle may
    // hold hundreds of millions of tiles, nearly all of them missing.
    for (qint32 x = rect.minX; x <= rect.maxX && result.leftOut.size() < NamedAtMost; ++x)
        for (qint32 y = rect.minY; y <= rect.maxY && result.leftOut.size() < NamedAtMost; ++y)
            if (const TileState state = scan.state(x, y); state != TileState::Good)
                result.leftOut.push_back({{x, y}, state});
    if (scan.count(TileState::Good) == 0) {
        result.error = QStringLiteral("The tile folder %1 holds none of these tiles.")
                           .arg(input.imageFolder);
        return finish(false);
    }

    bool ok = false;
    if (isTileStore(request.format)) {
        ok = writeTileStore(request, scan, files.temporaryMain(), feedback, result);
    } else if (request.format == OutputFormat::Cog) {
        CogWriter writer(files.temporaryMain(), files.scratchPrefix());
        ok = writer.write(request, rect, scan, feedback, result);
    } else {
        ok = writeWithGdal(request, scan, files, feedback, result);
    }
    // Writers that list every undecodable tile: count them, name the first few.
    if (result.undecodableCount < qint64(result.undecodable.size()))
        result.undecodableCount = qint64(result.undecodable.size());
    if (result.undecodable.size() > NamedAtMost)
        result.undecodable.resize(NamedAtMost);
    if (ok) {
        if (request.format != OutputFormat::Cog)
            result.written = scan.count(TileState::Good) - result.undecodableCount;
        QString commitError;
        if (!files.commit(&commitError)) {
            result.error = commitError;
            ok = false;
        }
    }
    if (!ok)
        files.discard();
    else
        reportProgress(feedback, result.total, result.total);
    return finish(ok);
}

} // namespace tavo::weaver
