#include "files/ServerParams.h"

#include "engine/AppError.h"
#include "engine/FileReplacer.h"
#include "engine/LineReader.h"
#include "http/HttpClient.h"

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QStringList>

#include <optional>
#include <string>

namespace tavo {

const char* const ParamsUrl = "http://www.tavosoft.net/tavo/s.txt";

namespace {

// The seventh comma-separated field of `firstLine`, none when it has fewer.
std::optional<QString> seventhField(const QByteArray& firstLine)
{
    QStringList fields = QString::fromUtf8(firstLine).split(u',');
    // One comma at the very end closes the last field instead of opening a
    // new one; an empty line has no fields at all.
    if (!fields.isEmpty() && fields.last().isEmpty())
        fields.removeLast();
    if (fields.size() < 7)
        return std::nullopt;
    return fields.at(6);
}

} // namespace

bool holdsTileVersion(const QByteArray& bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    if (!buffer.open(QIODevice::ReadOnly))
        return false;
    LineReader reader(buffer);
    QByteArray firstLine;
    if (!reader.next(firstLine))
        return false;
    // A version is a number, as in the shipped file: a page whose first line
    // happens to hold six commas gives no version.
    const std::optional<QString> version = seventhField(firstLine);
    if (!version || version->isEmpty())
        return false;
    for (const QChar c : *version)
        if (c < u'0' || c > u'9')
            return false;
    return true;
}

QString ReadTileVersion(const QString& paramsPath)
{
    QFile file(paramsPath);
    if (!file.open(QIODevice::ReadOnly))
        throw AppError::cannotOpenFile(paramsPath);

    // Only the first line matters; the rest of the file is never read.
    LineReader reader(file);
    QByteArray firstLine;
    if (!reader.next(firstLine)) {
        if (reader.failed())
            throw AppError::cannotOpenFile(paramsPath);
        throw AppError::listIndexOutOfBounds(0);
    }

    const std::optional<QString> version = seventhField(firstLine);
    if (!version)
        throw AppError::listIndexOutOfBounds(6);
    return *version;
}

FetchOutcome FetchServerParams(const QString& paramsUrl, const QString& paramsPath)
{
    std::string body;
    {
        http::HttpClient client;
        // Explicitly direct, so that no proxy from the environment applies
        // either: this request never goes through a proxy.
        client.setProxy(http::ProxyEndpoint{});
        try {
            client.get(paramsUrl.toStdString(), body);
        } catch (const http::HttpError&) {
            return FetchOutcome::Failed;
        }
    }
    const QByteArray bytes(body.data(), static_cast<qsizetype>(body.size()));
    // An answer that carries no tile version (an empty body, an error page)
    // would break every later start: the good copy stays, as on a failed fetch.
    if (!holdsTileVersion(bytes))
        return FetchOutcome::Failed;
    if (!FileReplacer::replace(paramsPath, bytes))
        throw AppError::cannotCreateFile(paramsPath);
    return FetchOutcome::Fetched;
}

QString fetchStartText()
{
    return QStringLiteral("Loading server parameters...");
}

QString fetchStatusText(FetchOutcome outcome)
{
    return fetchStartText() +
           (outcome == FetchOutcome::Fetched ? QStringLiteral("OK") : QStringLiteral("finished"));
}

} // namespace tavo
