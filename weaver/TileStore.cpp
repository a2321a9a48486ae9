#include "weaver/TileStore.h"

#include "weaver/Pyramid.h"

#include <QFile>
#include <QRegularExpression>

#include <cpl_string.h>
#include <cpl_vsi.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace tavo::weaver {

namespace {

// Half the circumference of the sphere of EPSG:3857, in metres.
constexpr double OriginShift = 20037508.342789244;
constexpr int TileSide = 256;

QString wktOf(int epsg)
{
    OGRSpatialReference srs;
    if (srs.importFromEPSG(epsg) != OGRERR_NONE)
        return QString();
    char* wkt = nullptr;
    if (srs.exportToWkt(&wkt) != OGRERR_NONE)
        return QString();
    const QString text = QString::fromUtf8(wkt);
    CPLFree(wkt);
    return text;
}

QString number(double value)
{
    return QString::number(value, 'f', 8);
}

} // namespace

struct TileStore::Impl
{
    sqlite3* db = nullptr;
    sqlite3_stmt* insert = nullptr;
    ~Impl()
    {
        sqlite3_finalize(insert);
        sqlite3_close_v2(db);
    }
};

TileStore::TileStore(const QString& path) : m_path(path), m_impl(std::make_unique<Impl>()) {}

TileStore::~TileStore() = default;

bool TileStore::fail(const QString& what)
{
    m_error = QStringLiteral("Could not write %1 (%2): %3")
                  .arg(m_path, what,
                       m_impl->db ? QString::fromUtf8(sqlite3_errmsg(m_impl->db))
                                  : QStringLiteral("cannot open"));
    return false;
}

bool TileStore::exec(const char* sql)
{
    return sqlite3_exec(m_impl->db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool TileStore::execWith(const char* sql, const QVariantList& values)
{
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(m_impl->db, sql, -1, &statement, nullptr) != SQLITE_OK)
        return false;
    for (int i = 0; i < values.size(); ++i) {
        const QVariant& v = values[i];
        switch (v.typeId()) {
        case QMetaType::Int:
        case QMetaType::LongLong:
            sqlite3_bind_int64(statement, i + 1, v.toLongLong());
            break;
        case QMetaType::Double:
            sqlite3_bind_double(statement, i + 1, v.toDouble());
            break;
        default: {
            const QByteArray text = v.toString().toUtf8();
            sqlite3_bind_text(statement, i + 1, text.constData(), int(text.size()),
                              SQLITE_TRANSIENT);
        }
        }
    }
    const bool ok = sqlite3_step(statement) == SQLITE_DONE;
    sqlite3_finalize(statement);
    return ok;
}

bool TileStore::open(const TileStoreInfo& info)
{
    m_info = info;
    const QByteArray path = QFile::encodeName(m_path);
    if (sqlite3_open_v2(path.constData(), &m_impl->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK)
        return fail(QStringLiteral("open"));
    // The file is a temporary one until it is complete: no journal needed,
    // and it is flushed to disk once, before it is renamed into place.
    if (!exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA page_size=4096;") ||
        !exec("BEGIN") || !createTables(info))
        return fail(QStringLiteral("create tables"));
    if (sqlite3_prepare_v2(m_impl->db, insertSql(), -1, &m_impl->insert, nullptr) != SQLITE_OK)
        return fail(QStringLiteral("tiles"));
    return true;
}

bool TileStore::add(int zoom, qint32 x, qint32 ySouth, const void* bytes, qsizetype size)
{
    int z = 0;
    qint64 column = 0, row = 0;
    storedKey(zoom, x, ySouth, z, column, row);
    sqlite3_stmt* insert = m_impl->insert;
    sqlite3_bind_int(insert, 1, z);
    sqlite3_bind_int64(insert, 2, column);
    sqlite3_bind_int64(insert, 3, row);
    sqlite3_bind_blob(insert, 4, bytes, int(size), SQLITE_STATIC);
    const bool ok = sqlite3_step(insert) == SQLITE_DONE;
    sqlite3_reset(insert);
    if (!ok)
        return fail(QStringLiteral("tile %1 of level %2").arg(tileFileName(x, ySouth)).arg(zoom));
    return true;
}

bool TileStore::finish()
{
    sqlite3_finalize(m_impl->insert);
    m_impl->insert = nullptr;
    if (!completeTables(m_info) || !exec("COMMIT"))
        return fail(QStringLiteral("finish"));
    const int closed = sqlite3_close(m_impl->db);
    m_impl->db = nullptr;
    if (closed != SQLITE_OK) {
        m_error = QStringLiteral("Could not close %1").arg(m_path);
        return false;
    }
    return true;
}

namespace {

// MBTiles: rows counted from the south (the tile file names' rows), the
// metadata map programs need to place the layer.
class MbTilesStore final : public TileStore
{
public:
    explicit MbTilesStore(const QString& path) : TileStore(path) {}

private:
    bool createTables(const TileStoreInfo&) override
    {
        return exec("CREATE TABLE metadata (name TEXT, value TEXT);"
                    "CREATE TABLE tiles (zoom_level INTEGER, tile_column INTEGER, "
                    "tile_row INTEGER, tile_data BLOB);");
    }
    const char* insertSql() const override
    {
        return "INSERT INTO tiles (zoom_level, tile_column, tile_row, tile_data) "
               "VALUES (?1, ?2, ?3, ?4)";
    }
    void storedKey(int zoom, qint32 x, qint32 ySouth, int& z, qint64& column,
                   qint64& row) const override
    {
        z = zoom;
        column = x;
        row = ySouth;
    }
    bool completeTables(const TileStoreInfo& info) override
    {
        const MercatorBounds b = degreeBounds(info.rect, info.maxZoom);
        const QList<QPair<QString, QString>> entries = {
            {QStringLiteral("name"), info.name},
            {QStringLiteral("format"), QStringLiteral("jpg")},
            {QStringLiteral("type"), QStringLiteral("baselayer")},
            {QStringLiteral("version"), QStringLiteral("1.0")},
            {QStringLiteral("description"), info.name},
            {QStringLiteral("bounds"),
             QStringList{number(b.west), number(b.south), number(b.east), number(b.north)}.join(
                 u',')},
            {QStringLiteral("center"),
             QStringList{number((b.west + b.east) / 2), number((b.south + b.north) / 2),
                         QString::number(info.minZoom)}
                 .join(u',')},
            {QStringLiteral("minzoom"), QString::number(info.minZoom)},
            {QStringLiteral("maxzoom"), QString::number(info.maxZoom)},
        };
        for (const auto& [key, value] : entries)
            if (!execWith("INSERT INTO metadata (name, value) VALUES (?1, ?2)", {key, value}))
                return false;
        return exec("CREATE UNIQUE INDEX tile_index ON tiles (zoom_level, tile_column, tile_row);"
                    "CREATE UNIQUE INDEX name ON metadata (name);");
    }
};

// GeoPackage 1.2 tile pyramid in EPSG:3857 on the grid of the tiles
// themselves (256-pixel tiles, level z = 2^z tiles a side), rows counted
// from the north.
class GeoPackageStore final : public TileStore
{
public:
    explicit GeoPackageStore(const QString& path) : TileStore(path) {}

    // A table name SQL and every reader take without quoting trouble.
    static QString tableName(const QString& name)
    {
        QString table = name;
        table.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_]")), QStringLiteral("_"));
        if (table.isEmpty() || table[0].isDigit() ||
            table.startsWith(QLatin1String("gpkg"), Qt::CaseInsensitive))
            table.prepend(QStringLiteral("tiles_"));
        return table;
    }

private:
    bool createTables(const TileStoreInfo& info) override
    {
        m_table = tableName(info.name);
        const QString wgs84 = wktOf(4326), mercator = wktOf(3857);
        if (wgs84.isEmpty() || mercator.isEmpty())
            return false;
        const MercatorBounds b = mercatorBounds(info.rect, info.maxZoom);
        return exec("PRAGMA application_id = 1196444487; PRAGMA user_version = 10200;") &&
               exec("CREATE TABLE gpkg_spatial_ref_sys (srs_name TEXT NOT NULL, "
                    "srs_id INTEGER NOT NULL PRIMARY KEY, organization TEXT NOT NULL, "
                    "organization_coordsys_id INTEGER NOT NULL, definition TEXT NOT NULL, "
                    "description TEXT);"
                    "CREATE TABLE gpkg_contents (table_name TEXT NOT NULL PRIMARY KEY, "
                    "data_type TEXT NOT NULL, identifier TEXT UNIQUE, description TEXT DEFAULT '', "
                    "last_change DATETIME NOT NULL DEFAULT "
                    "(strftime('%Y-%m-%dT%H:%M:%fZ','now')), min_x DOUBLE, min_y DOUBLE, "
                    "max_x DOUBLE, max_y DOUBLE, srs_id INTEGER, CONSTRAINT fk_gc_r_srs_id "
                    "FOREIGN KEY (srs_id) REFERENCES gpkg_spatial_ref_sys(srs_id));"
                    "CREATE TABLE gpkg_tile_matrix_set (table_name TEXT NOT NULL PRIMARY KEY, "
                    "srs_id INTEGER NOT NULL, min_x DOUBLE NOT NULL, min_y DOUBLE NOT NULL, "
                    "max_x DOUBLE NOT NULL, max_y DOUBLE NOT NULL, CONSTRAINT fk_gtms_table_name "
                    "FOREIGN KEY (table_name) REFERENCES gpkg_contents(table_name), "
                    "CONSTRAINT fk_gtms_srs FOREIGN KEY (srs_id) REFERENCES "
                    "gpkg_spatial_ref_sys (srs_id));"
                    "CREATE TABLE gpkg_tile_matrix (table_name TEXT NOT NULL, "
                    "zoom_level INTEGER NOT NULL, matrix_width INTEGER NOT NULL, "
                    "matrix_height INTEGER NOT NULL, tile_width INTEGER NOT NULL, "
                    "tile_height INTEGER NOT NULL, pixel_x_size DOUBLE NOT NULL, "
                    "pixel_y_size DOUBLE NOT NULL, CONSTRAINT pk_ttm PRIMARY KEY (table_name, "
                    "zoom_level), CONSTRAINT fk_tmm_table_name FOREIGN KEY (table_name) "
                    "REFERENCES gpkg_contents(table_name));") &&
               execWith("INSERT INTO gpkg_spatial_ref_sys VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
                        {QStringLiteral("Undefined cartesian SRS"), -1, QStringLiteral("NONE"), -1,
                         QStringLiteral("undefined"),
                         QStringLiteral("undefined cartesian coordinate reference system")}) &&
               execWith("INSERT INTO gpkg_spatial_ref_sys VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
                        {QStringLiteral("Undefined geographic SRS"), 0, QStringLiteral("NONE"), 0,
                         QStringLiteral("undefined"),
                         QStringLiteral("undefined geographic coordinate reference system")}) &&
               execWith("INSERT INTO gpkg_spatial_ref_sys VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
                        {QStringLiteral("WGS 84 geodetic"), 4326, QStringLiteral("EPSG"), 4326,
                         wgs84,
                         QStringLiteral("longitude/latitude coordinates in decimal degrees on "
                                        "the WGS 84 spheroid")}) &&
               execWith("INSERT INTO gpkg_spatial_ref_sys VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
                        {QStringLiteral("WGS 84 / Pseudo-Mercator"), 3857, QStringLiteral("EPSG"),
                         3857, mercator, QStringLiteral("Web Mercator")}) &&
               exec(QStringLiteral("CREATE TABLE \"%1\" (id INTEGER PRIMARY KEY AUTOINCREMENT, "
                                   "zoom_level INTEGER NOT NULL, tile_column INTEGER NOT NULL, "
                                   "tile_row INTEGER NOT NULL, tile_data BLOB NOT NULL, "
                                   "UNIQUE (zoom_level, tile_column, tile_row))")
                        .arg(m_table)) &&
               execWith("INSERT INTO gpkg_contents (table_name, data_type, identifier, "
                        "description, min_x, min_y, max_x, max_y, srs_id) VALUES "
                        "(?1, 'tiles', ?2, ?3, ?4, ?5, ?6, ?7, 3857)",
                        {m_table, info.name, info.name, b.west, b.south, b.east, b.north}) &&
               execWith("INSERT INTO gpkg_tile_matrix_set VALUES (?1, 3857, ?2, ?3, ?4, ?5)",
                        {m_table, -OriginShift, -OriginShift, OriginShift, OriginShift});
    }
    const char* insertSql() const override
    {
        m_insert = QStringLiteral("INSERT INTO \"%1\" (zoom_level, tile_column, tile_row, "
                                  "tile_data) VALUES (?1, ?2, ?3, ?4)")
                       .arg(m_table)
                       .toUtf8();
        return m_insert.constData();
    }
    void storedKey(int zoom, qint32 x, qint32 ySouth, int& z, qint64& column,
                   qint64& row) const override
    {
        z = zoom;
        column = x;
        row = ((qint64(1) << zoom) - 1) - ySouth;
    }
    bool completeTables(const TileStoreInfo& info) override
    {
        for (int z = info.minZoom; z <= info.maxZoom; ++z) {
            const qint64 side = qint64(1) << z;
            const double pixel = 2 * OriginShift / double(side) / TileSide;
            if (!execWith("INSERT INTO gpkg_tile_matrix VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
                          {m_table, z, side, side, TileSide, TileSide, pixel, pixel}))
                return false;
        }
        return true;
    }

    QString m_table;
    mutable QByteArray m_insert;
};

// The SQLite tile file of handheld map apps: tiles(x, y, z, s, image) with
// rows counted from the north and the zoom stored as 17 - zoom; info holds
// the lowest and highest stored z and says which numbering is used.
class SqliteDbStore final : public TileStore
{
public:
    explicit SqliteDbStore(const QString& path) : TileStore(path) {}

private:
    static constexpr int ZoomBase = 17;

    bool createTables(const TileStoreInfo&) override
    {
        return exec("CREATE TABLE tiles (x INTEGER, y INTEGER, z INTEGER, s INTEGER, "
                    "image BLOB, PRIMARY KEY (x, y, z, s));"
                    "CREATE TABLE info (minzoom INTEGER, maxzoom INTEGER, tilenumbering TEXT, "
                    "ellipsoid INTEGER, inverted_y INTEGER, tilesize INTEGER);"
                    "CREATE TABLE android_metadata (locale TEXT);"
                    "INSERT INTO android_metadata VALUES ('en_US');");
    }
    const char* insertSql() const override
    {
        return "INSERT INTO tiles (z, x, y, image, s) VALUES (?1, ?2, ?3, ?4, 0)";
    }
    void storedKey(int zoom, qint32 x, qint32 ySouth, int& z, qint64& column,
                   qint64& row) const override
    {
        z = ZoomBase - zoom;
        column = x;
        row = ((qint64(1) << zoom) - 1) - ySouth;
    }
    bool completeTables(const TileStoreInfo& info) override
    {
        return execWith("INSERT INTO info VALUES (?1, ?2, 'BigPlanet', 0, 0, 256)",
                        {ZoomBase - info.maxZoom, ZoomBase - info.minZoom});
    }
};

} // namespace

std::unique_ptr<TileStore> TileStore::create(OutputFormat format, const QString& path)
{
    switch (format) {
    case OutputFormat::MbTiles:
        return std::make_unique<MbTilesStore>(path);
    case OutputFormat::GeoPackage:
        return std::make_unique<GeoPackageStore>(path);
    case OutputFormat::SqliteDb:
        return std::make_unique<SqliteDbStore>(path);
    default:
        return nullptr;
    }
}

namespace {

// A PNG with transparency of a tile's 256 x 256 RGBA pixels; empty on failure.
// Safe on several threads at once: each call has its own datasets.
QByteArray encodePngTile(const std::uint8_t* rgba)
{
    GDALDriver* mem = GetGDALDriverManager()->GetDriverByName("MEM");
    GDALDriver* png = GetGDALDriverManager()->GetDriverByName("PNG");
    if (!mem || !png)
        return QByteArray();
    GDALDataset* pixels = mem->Create("", PyramidTileSide, PyramidTileSide, 4, GDT_Byte, nullptr);
    if (!pixels)
        return QByteArray();
    QByteArray bytes;
    if (pixels->RasterIO(GF_Write, 0, 0, PyramidTileSide, PyramidTileSide,
                         const_cast<std::uint8_t*>(rgba), PyramidTileSide, PyramidTileSide,
                         GDT_Byte, 4, nullptr, 4, PyramidTileSide * 4, 1, nullptr) == CE_None) {
        static std::atomic<quint64> serial{0};
        const CPLString name =
            CPLSPrintf("/vsimem/weaver-level-%llu.png", static_cast<unsigned long long>(++serial));
        CPLStringList options;
        options.SetNameValue("ZLEVEL", "6");
        if (GDALDataset* written =
                png->CreateCopy(name, pixels, FALSE, options.List(), nullptr, nullptr)) {
            GDALClose(written);
            vsi_l_offset size = 0;
            if (GByte* data = VSIGetMemFileBuffer(name, &size, FALSE))
                bytes = QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
        }
        VSIUnlink(name);
    }
    GDALClose(pixels);
    return bytes;
}

} // namespace

bool writeTileStore(const WeaveRequest& request, const JobScan& scan, const QString& path,
                    Feedback* feedback, WeaveResult& result)
{
    const TileRect& rect = scan.rect();
    const int zoom = request.input.zoom;
    TileStoreInfo info;
    info.name = request.input.name;
    info.maxZoom = zoom;
    info.minZoom = request.minZoom >= 0 ? request.minZoom : singleTileZoom(rect, zoom);
    info.rect = rect;
    result.minZoom = info.minZoom;
    result.maxZoom = info.maxZoom;

    std::unique_ptr<TileStore> store = TileStore::create(request.format, path);
    if (!store || !store->open(info)) {
        result.error = store ? store->error() : QStringLiteral("Not a tile store format.");
        return false;
    }

    // The job's level keeps each tile's own bytes; a tile goes in only once
    // the pyramid has decoded it. Lower levels: fully covered tiles as JPEG,
    // partly covered ones as PNG with transparency, empty ones left out.
    PyramidJob job;
    job.imageFolder = request.input.imageFolder;
    job.zoom = zoom;
    job.rect = rect;
    job.scan = &scan;
    job.levels = zoom - info.minZoom;
    job.anchor = PyramidAnchor::ZoomGrid;
    job.copyRule = CopyRule::AnyJpeg;
    job.jpegQuality = request.jpegQuality;
    const int quality = request.jpegQuality;
    job.encoder = [quality](const LevelTile& tile, int) {
        return tile.coverage == Coverage::Full ? encodeJpegTile(tile.rgba, quality, {})
                                               : encodePngTile(tile.rgba);
    };
    job.onJobRow = [&](const JobRow& row) {
        for (const JobTile& tile : row.tiles) {
            if (tile.verdict != TileVerdict::Copy && tile.verdict != TileVerdict::Reencoded)
                continue;
            if (!store->add(zoom, tile.x, tile.y, tile.bytes.constData(), tile.bytes.size()))
                return false;
        }
        return true;
    };
    bool encodingFailed = false;
    job.onLevelRow = [&](const LevelRow& row) {
        for (const LevelTile& tile : row.tiles) {
            if (tile.coverage == Coverage::None)
                continue;
            if (tile.encoded.isEmpty()) {
                encodingFailed = true;
                return false;
            }
            if (!store->add(row.zoom, tile.x, row.y, tile.encoded.constData(), tile.encoded.size()))
                return false;
        }
        return true;
    };
    const PyramidResult built = buildPyramid(job, feedback);
    for (const auto& [tile, reason] : built.undecodable) {
        if (result.undecodable.size() < NamedAtMost)
            result.undecodable.push_back(tile);
        ++result.undecodableCount;
    }
    if (built.cancelled) {
        result.cancelled = true;
        result.error = QStringLiteral("Cancelled.");
        return false;
    }
    if (!built.ok) {
        result.error = encodingFailed           ? QStringLiteral("Could not encode a tile of a "
                                                                           "lower level.")
                       : !built.error.isEmpty() ? built.error
                                                : store->error();
        return false;
    }
    if (!store->finish()) {
        result.error = store->error();
        return false;
    }
    return true;
}

int singleTileZoom(const TileRect& rect, int zoom)
{
    int z = zoom;
    for (int shift = 0; z > 0 && ((rect.minX >> shift) != (rect.maxX >> shift) ||
                                  (rect.minY >> shift) != (rect.maxY >> shift));
         ++shift)
        --z;
    return z;
}

} // namespace tavo::weaver
