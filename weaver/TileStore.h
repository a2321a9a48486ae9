#pragma once

#include "weaver/Weave.h"

#include <QString>
#include <QVariantList>

#include <memory>

namespace tavo::weaver {

// What a tile store says about itself.
struct TileStoreInfo
{
    QString name;    // the job's name
    int minZoom = 0; // the lowest level written
    int maxZoom = 0; // the job's own zoom
    TileRect rect;   // the tiles at maxZoom, rows counted from the south
};

// A SQLite file of map tiles at several zoom levels: MBTiles, GeoPackage or
// sqlitedb. Tiles are handed over in the grid of the tile file names (column
// from the west, row from the south) and stored in the numbering the format
// wants; their bytes go in unchanged. The file is written without a journal:
// it is a temporary file until it is complete.
class TileStore
{
public:
    // nullptr for a format that is no tile store.
    static std::unique_ptr<TileStore> create(OutputFormat format, const QString& path);
    virtual ~TileStore();
    TileStore(const TileStore&) = delete;
    TileStore& operator=(const TileStore&) = delete;

    // Creates the tables. False with error() set when the file cannot be written.
    bool open(const TileStoreInfo& info);
    // One tile: JPEG or PNG bytes.
    bool add(int zoom, qint32 x, qint32 ySouth, const void* bytes, qsizetype size);
    // Indexes, the levels' metadata, commit and close.
    bool finish();

    QString error() const { return m_error; }

protected:
    explicit TileStore(const QString& path);

    // The format's tables and its fixed rows.
    virtual bool createTables(const TileStoreInfo& info) = 0;
    // An INSERT taking ?1 zoom, ?2 column, ?3 row, ?4 image in the format's numbering.
    virtual const char* insertSql() const = 0;
    // The format's numbering of a tile.
    virtual void storedKey(int zoom, qint32 x, qint32 ySouth, int& z, qint64& column,
                           qint64& row) const = 0;
    // What follows the tiles: indexes, metadata that needs the levels.
    virtual bool completeTables(const TileStoreInfo& info) = 0;

    bool exec(const char* sql);
    bool exec(const QString& sql) { return exec(sql.toUtf8().constData()); }
    // Runs `sql` with ?1, ?2... bound to `values` (text, or numbers when they
    // are held as such).
    bool execWith(const char* sql, const QVariantList& values);
    bool fail(const QString& what);

private:
    QString m_path;
    QString m_error;
    TileStoreInfo m_info;
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Writes the good tiles of `scan` to a tile store of `request.format` under
// `path`: the job's level with the tiles' own bytes, and every lower level
// down to the request's lowest one. Tiles that do not decode are left out and
// recorded in `result`. `feedback` (may be null) gets the job's tiles done and
// can stop the write.
bool writeTileStore(const WeaveRequest& request, const JobScan& scan, const QString& path,
                    Feedback* feedback, WeaveResult& result);

// The highest level at which every tile of `rect` (at `zoom`) falls into one
// tile: the default lowest level of a tile store.
int singleTileZoom(const TileRect& rect, int zoom);

} // namespace tavo::weaver
