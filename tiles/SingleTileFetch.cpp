#include "tiles/SingleTileFetch.h"

#include "engine/AppError.h"
#include "engine/FileReplacer.h"
#include "engine/TextConv.h"
#include "engine/TileMath.h"
#include "engine/TileUrl.h"
#include "tiles/TDownThread.h"
#include "tiles/TileReply.h"

#include <QDir>
#include <QFileInfo>

#include <exception>
#include <optional>

namespace tavo {

QString SingleTileFetch::zoomOutOfRangeText()
{
    return QStringLiteral("Zoom level should be between %1 and %2.").arg(MinZoom).arg(MaxZoom);
}

QString SingleTileFetch::tileOutOfRangeText(int zoom)
{
    return QStringLiteral("Column and row should be between 0 and %1 at zoom level %2.")
        .arg((qint64(1) << zoom) - 1)
        .arg(zoom);
}

QString SingleTileFetch::noFolderText()
{
    return QStringLiteral("Please select path to save images.");
}

QString SingleTileFetch::createFolderFailedText(const QString& folder)
{
    return QStringLiteral("Create directory ") + folder + QStringLiteral(" Failed.");
}

QString SingleTileFetch::savedText(const QString& folderWithSeparator)
{
    return QStringLiteral("Image is saved to ") + folderWithSeparator;
}

QString SingleTileFetch::failedText()
{
    return QStringLiteral("Failed to get the image.");
}

void SingleTileFetch::setTimeouts(long connectTimeoutMs, long stallTimeoutMs)
{
    m_connectTimeoutMs = connectTimeoutMs;
    m_stallTimeoutMs = stallTimeoutMs;
}

bool SingleTileFetch::prepare(const Entries& entries, const SingleTileContext& context)
{
    m_message.clear();
    m_url.clear();
    m_folder.clear();
    m_filePath.clear();
    m_useProxy = false;
    m_proxy = {};

    int column = 0;
    int row = 0;
    int zoom = 0;
    try {
        column = StrToInt(entries.column);
        row = StrToInt(entries.row);
        zoom = StrToInt(entries.zoom);
    } catch (const AppError& error) {
        m_message = error.text();
        return false;
    }
    if (zoom < MinZoom || zoom > MaxZoom) {
        m_message = zoomOutOfRangeText();
        return false;
    }
    // The grid of a zoom has 2^zoom columns and rows; nothing else is a tile.
    const qint64 last = (qint64(1) << zoom) - 1;
    if (column < 0 || row < 0 || column > last || row > last) {
        m_message = tileOutOfRangeText(zoom);
        return false;
    }

    if (entries.folder.isEmpty()) {
        m_message = noFolderText();
        return false;
    }
    if (!QFileInfo(entries.folder).isDir() && !QDir().mkdir(entries.folder)) {
        m_message = createFolderFailedText(entries.folder);
        return false;
    }
    m_folder = entries.folder;
    if (!m_folder.endsWith(QLatin1Char('/')))
        m_folder += QLatin1Char('/');

    const QString quadkey = MakeQuadkey(column, row, zoom);

    if (context.proxy.useProxy) {
        // The port is read exactly as the workers read it.
        const std::optional<http::ProxyEndpoint> proxy = clientProxyFor(context.proxy, &m_message);
        if (!proxy) {
            m_folder.clear();
            return false;
        }
        m_useProxy = true;
        m_proxy = *proxy;
    }

    // Always tile server 1, and always the plain version tail: the URL tail override of the
    // settings file is for the download workers only.
    m_url = tileUrl(1, quadkey, QStringLiteral(".jpeg?g=") + context.tileVersion).toStdString();
    m_filePath = m_folder + tileFileName(column, row);
    return true;
}

QString SingleTileFetch::fetchAndSave() const
{
    if (m_url.empty())
        return failedText();
    try {
        http::HttpClient client;
        client.setTimeouts(m_connectTimeoutMs, m_stallTimeoutMs);
        if (m_useProxy)
            client.setProxy(m_proxy);
        std::string body;
        // The same judgement as a job's tiles: an empty body, an HTML page, a reply cut short or
        // the service's "no imagery here" is a failed fetch like a 404, and any file of that
        // name stays as it was. A request to slow down is one too: the dialog does not wait.
        if (requestTile(client, m_url, body).outcome != TileAnswer::Outcome::Tile)
            return failedText();

        FileReplacer file(m_filePath);
        if (!file.open() || !file.write(body.data(), static_cast<qint64>(body.size())) ||
            !file.commit())
            return failedText();
        return savedText(m_folder);
    } catch (const std::exception&) {
        return failedText();
    } catch (...) {
        return failedText();
    }
}

} // namespace tavo
