#pragma once

#include <QByteArray>
#include <QString>

namespace tavo {

// The server parameters file: a small text file published on our web server
// whose first line is a comma-separated list; its seventh field (index 6) is
// the tile version that every tile URL carries. A local copy lives in the
// program's ini folder.

// Where the parameters file is published.
extern const char* const ParamsUrl;

// The seventh field of the first line of the file at `paramsPath`, exactly as
// it stands between its commas (nothing trimmed or unquoted). A comma at the
// very end of the line does not start a field of its own; two commas there
// end with an empty field. Lines end at CR LF, LF or CR.
// Throws AppError::cannotOpenFile(path) when the file cannot be read,
// AppError::listIndexOutOfBounds(0) when it is empty and
// AppError::listIndexOutOfBounds(6) when its first line has fewer than seven
// fields.
QString ReadTileVersion(const QString& paramsPath);

enum class FetchOutcome
{
    Fetched,
    Failed
};

// True when the first line of `bytes` has a seventh field of decimal digits
// only, so that ReadTileVersion would read a plausible tile version from a
// file holding them.
bool holdsTileVersion(const QByteArray& bytes);

// Downloads `paramsUrl` with a fresh HTTP client (never through a proxy) and,
// when the answer holds a tile version (holdsTileVersion), replaces the file at
// `paramsPath` with the response body byte for byte (through a temporary file,
// synced before it is renamed, so the old copy stays whole if anything goes
// wrong). A failed request, or an answer without a tile version (an empty body,
// an HTML page), leaves the file as it was and returns Failed. Throws
// AppError::cannotCreateFile(path) when the body cannot be stored.
//
// The request keeps the HTTP client's time-outs (10 s to connect, 30 s without
// data): the fetch blocks the window, and a window frozen without limit by an
// unanswering server is worse than a refresh tried again at the next Download.
FetchOutcome FetchServerParams(const QString& paramsUrl, const QString& paramsPath);

// The status texts shown while and after fetching.
QString fetchStartText();
QString fetchStatusText(FetchOutcome outcome);

} // namespace tavo
