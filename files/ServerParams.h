#pragma once

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

// Downloads `paramsUrl` with a fresh HTTP client (never through a proxy, no
// time-outs of our own) and, on success, replaces the file at `paramsPath`
// with the response body byte for byte (through a temporary file, so the
// old copy stays whole if anything goes wrong). A failed request leaves the
// file as it was and returns Failed. Throws AppError::cannotCreateFile(path)
// when the body cannot be stored.
FetchOutcome FetchServerParams(const QString& paramsUrl, const QString& paramsPath);

// The status texts shown while and after fetching.
QString fetchStartText();
QString fetchStatusText(FetchOutcome outcome);

} // namespace tavo
