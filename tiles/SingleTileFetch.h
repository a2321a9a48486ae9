#pragma once

#include "engine/ProxySettings.h"
#include "engine/TileTypes.h"
#include "http/HttpClient.h"

#include <QString>

#include <string>

namespace tavo {

// The main window's values that a single-tile download uses, as they were last loaded (at
// start-up or at the last Download press).
struct SingleTileContext
{
    ProxySettings proxy; // the port is converted only when the proxy is used
    QString tileVersion;
};

// One press of "Download single image" without the window: the entries are checked and the
// request is built on the calling thread (prepare), then the tile is fetched and stored
// (fetchAndSave), which may run on any thread. A value type: a prepared fetch is copied to the
// thread that runs it.
class SingleTileFetch final
{
public:
    struct Entries
    {
        QString column;
        QString row;
        QString zoom;
        QString folder;
    };

    // Reads column, row and zoom as integers, checks the folder and creates it (one level),
    // forms the quadkey, the URL and the file name, and converts the proxy port. Returns false
    // when the press ends here; message() then holds the one text to show.
    bool prepare(const Entries& entries, const SingleTileContext& context);

    // Fetches the prepared URL and stores the body, replacing any file of that name (written to
    // a temporary file and renamed, so a failure never leaves a partial tile). A reply that is
    // no image (see classifyReply) is a failure and writes nothing. Returns the closing
    // message: the confirmation or "Failed to get the image.", without the reason. Never throws.
    QString fetchAndSave() const;

    // Connect time-out and stalled-transfer time-out of the fetch.
    void setTimeouts(long connectTimeoutMs, long stallTimeoutMs);

    const QString& message() const { return m_message; }
    const std::string& url() const { return m_url; }
    // The folder with its trailing separator, as the confirmation names it.
    const QString& folder() const { return m_folder; }
    const QString& filePath() const { return m_filePath; }
    bool usesProxy() const { return m_useProxy; }
    const http::ProxyEndpoint& proxy() const { return m_proxy; }

    // The zooms the tile arithmetic can represent (engine/TileTypes.h).
    static constexpr int MinZoom = tavo::MinZoom;
    static constexpr int MaxZoom = tavo::MaxZoom;

    static QString zoomOutOfRangeText();
    // A column or row outside 0 .. 2^zoom - 1.
    static QString tileOutOfRangeText(int zoom);
    static QString noFolderText();
    static QString createFolderFailedText(const QString& folder);
    static QString savedText(const QString& folderWithSeparator);
    static QString failedText();

private:
    QString m_message;
    std::string m_url;
    QString m_folder;
    QString m_filePath;
    bool m_useProxy = false;
    http::ProxyEndpoint m_proxy;
    long m_connectTimeoutMs = 10000;
    long m_stallTimeoutMs = 20000;
};

} // namespace tavo
