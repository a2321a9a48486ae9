#include "weaver/MbTilesWriter.h"

#include <QFile>

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tavo::weaver {

namespace {

struct CloseDatabase
{
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct FinalizeStatement
{
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Database = std::unique_ptr<sqlite3, CloseDatabase>;
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

// Reads a whole file into `bytes`; false when it cannot be read.
bool readFile(const std::string& path, std::vector<unsigned char>& bytes)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st{};
    bool ok = ::fstat(fd, &st) == 0;
    if (ok) {
        bytes.resize(std::size_t(st.st_size));
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += std::size_t(n);
        }
        ok = done == bytes.size();
    }
    ::close(fd);
    return ok;
}

// A complete JPEG ends with its end-of-image marker (FF D9), perhaps
// followed by a little padding; a download cut short does not.
bool hasEndOfImage(const std::vector<unsigned char>& bytes)
{
    const std::size_t size = bytes.size();
    const std::size_t from = size > 64 ? size - 64 : 0;
    for (std::size_t i = size; i-- > from + 1;)
        if (bytes[i - 1] == 0xFF && bytes[i] == 0xD9)
            return true;
    return false;
}

} // namespace

bool MbTilesWriter::write(const QString& imageFolder, const JobScan& scan,
                          const MbTilesMetadata& metadata, const ProgressFunction& progress,
                          const std::atomic<bool>* cancel, WeaveResult& result)
{
    sqlite3* raw = nullptr;
    const QByteArray path = QFile::encodeName(m_path);
    const int opened = sqlite3_open_v2(path.constData(), &raw,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    Database db(raw);
    auto failed = [&](const QString& what) {
        result.error = QStringLiteral("Could not write %1 (%2): %3")
                           .arg(m_path, what,
                                db ? QString::fromUtf8(sqlite3_errmsg(db.get()))
                                   : QStringLiteral("cannot open"));
        return false;
    };
    if (opened != SQLITE_OK)
        return failed(QStringLiteral("open"));
    auto exec = [&](const char* sql) {
        return sqlite3_exec(db.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    };
    // The file is a temporary one until it is complete: no journal needed,
    // and it is flushed to disk once, before it is renamed into place.
    if (!exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA page_size=4096;") ||
        !exec("CREATE TABLE metadata (name TEXT, value TEXT);"
              "CREATE TABLE tiles (zoom_level INTEGER, tile_column INTEGER, tile_row INTEGER, "
              "tile_data BLOB);") ||
        !exec("BEGIN"))
        return failed(QStringLiteral("create tables"));

    sqlite3_stmt* rawStatement = nullptr;
    if (sqlite3_prepare_v2(db.get(), "INSERT INTO metadata (name, value) VALUES (?1, ?2)", -1,
                           &rawStatement, nullptr) != SQLITE_OK)
        return failed(QStringLiteral("metadata"));
    Statement meta(rawStatement);
    const MercatorBounds& b = metadata.bounds;
    const auto number = [](double v) { return QString::number(v, 'f', 8); };
    const QList<QPair<QString, QString>> entries = {
        {QStringLiteral("name"), metadata.name},
        {QStringLiteral("format"), QStringLiteral("jpg")},
        {QStringLiteral("type"), QStringLiteral("baselayer")},
        {QStringLiteral("version"), QStringLiteral("1.0")},
        {QStringLiteral("description"), metadata.name},
        {QStringLiteral("bounds"),
         QStringList{number(b.west), number(b.south), number(b.east), number(b.north)}.join(u',')},
        {QStringLiteral("center"), QStringList{number((b.west + b.east) / 2),
                                               number((b.south + b.north) / 2),
                                               QString::number(metadata.zoom)}
                                       .join(u',')},
        {QStringLiteral("minzoom"), QString::number(metadata.zoom)},
        {QStringLiteral("maxzoom"), QString::number(metadata.zoom)},
    };
    for (const auto& [key, value] : entries) {
        const QByteArray k = key.toUtf8(), v = value.toUtf8();
        sqlite3_bind_text(meta.get(), 1, k.constData(), int(k.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(meta.get(), 2, v.constData(), int(v.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(meta.get()) != SQLITE_DONE)
            return failed(QStringLiteral("metadata"));
        sqlite3_reset(meta.get());
    }

    if (sqlite3_prepare_v2(db.get(),
                           "INSERT INTO tiles (zoom_level, tile_column, tile_row, tile_data) "
                           "VALUES (?1, ?2, ?3, ?4)",
                           -1, &rawStatement, nullptr) != SQLITE_OK)
        return failed(QStringLiteral("tiles"));
    Statement insert(rawStatement);

    const std::string folder = imageFolder.toStdString();
    const TileRect& rect = scan.rect();
    const qint64 total = scan.total();
    qint64 done = 0;
    std::vector<unsigned char> bytes;
    for (qint32 x = rect.minX; x <= rect.maxX; ++x) {
        for (qint32 y = rect.minY; y <= rect.maxY; ++y, ++done) {
            if ((done & 255) == 0) {
                if (cancel && cancel->load()) {
                    result.cancelled = true;
                    result.error = QStringLiteral("Cancelled.");
                    return false;
                }
                if (progress)
                    progress(done, total);
            }
            if (scan.state(x, y) != TileState::Good)
                continue;
            const std::string file = folder + std::to_string(x) + '_' + std::to_string(y) + ".jpg";
            if (!readFile(file, bytes)) {
                result.error = QStringLiteral("Cannot read the tile %1: %2")
                                   .arg(QString::fromStdString(file),
                                        QString::fromLocal8Bit(std::strerror(errno)));
                return false;
            }
            if (!hasEndOfImage(bytes)) {
                result.undecodable.push_back({x, y});
                continue;
            }
            // MBTiles rows count from the south, as the tile file names do.
            sqlite3_bind_int(insert.get(), 1, metadata.zoom);
            sqlite3_bind_int(insert.get(), 2, x);
            sqlite3_bind_int(insert.get(), 3, y);
            sqlite3_bind_blob(insert.get(), 4, bytes.data(), int(bytes.size()), SQLITE_STATIC);
            if (sqlite3_step(insert.get()) != SQLITE_DONE)
                return failed(QStringLiteral("tile %1").arg(tileFileName(x, y)));
            sqlite3_reset(insert.get());
        }
    }
    if (!exec("CREATE UNIQUE INDEX tile_index ON tiles (zoom_level, tile_column, tile_row);"
              "CREATE UNIQUE INDEX name ON metadata (name);") ||
        !exec("COMMIT"))
        return failed(QStringLiteral("finish"));
    insert.reset();
    meta.reset();
    if (sqlite3_close(db.release()) != SQLITE_OK) {
        result.error = QStringLiteral("Could not close %1").arg(m_path);
        return false;
    }
    return true;
}

} // namespace tavo::weaver
