#include "tiles/TileReply.h"

#include "engine/JobFolder.h"
#include "engine/TextConv.h"

#include <QByteArray>

#include <algorithm>
#include <ctime>
#include <exception>

namespace tavo {

namespace {

std::string_view trimmed(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

} // namespace

ReplyKind classifyReply(std::string_view body, std::string_view tileInfo)
{
    if (equalsIgnoringCase(trimmed(tileInfo), "no-tile"))
        return ReplyKind::NoImagery;
    if (body.empty())
        return ReplyKind::Empty;
    if (body.size() < 3 || static_cast<unsigned char>(body[0]) != 0xFF ||
        static_cast<unsigned char>(body[1]) != 0xD8 || static_cast<unsigned char>(body[2]) != 0xFF)
        return ReplyKind::NotImage;
    const QByteArray bytes = QByteArray::fromRawData(body.data(), qsizetype(body.size()));
    if (classifyTileBytes(bytes, QByteArray()) == TileState::Truncated)
        return ReplyKind::CutShort;
    return ReplyKind::Tile;
}

QString replyErrorText(ReplyKind kind, std::string_view contentType, std::size_t bytes,
                       long long expectedBytes)
{
    const auto number = [](unsigned long long value) { return groupedNumber(qint64(value)); };
    switch (kind) {
    case ReplyKind::Tile:
        return {};
    case ReplyKind::Empty:
        return QStringLiteral("Empty reply");
    case ReplyKind::NoImagery:
        return QStringLiteral("No imagery here (X-VE-Tile-Info: no-tile)");
    case ReplyKind::CutShort:
        if (expectedBytes >= 0 && static_cast<unsigned long long>(expectedBytes) != bytes)
            return QStringLiteral("Reply cut short (%1 of %2 bytes)")
                .arg(number(bytes), number(static_cast<unsigned long long>(expectedBytes)));
        return QStringLiteral("Reply cut short (%1 bytes, no JPEG end marker)").arg(number(bytes));
    case ReplyKind::TooLarge:
        return QStringLiteral("Reply too large (more than %1 bytes)").arg(number(bytes));
    case ReplyKind::NotImage:
        break;
    }
    std::string_view type = trimmed(contentType.substr(0, contentType.find(';')));
    const QString typeText = type.empty()
                                 ? QStringLiteral("no type")
                                 : QString::fromLatin1(type.data(), qsizetype(type.size()));
    const QString size = number(bytes);
    return QStringLiteral("Not an image (%1, %2 %3)")
        .arg(typeText, size, bytes == 1 ? QStringLiteral("byte") : QStringLiteral("bytes"));
}

bool isSlowDownStatus(int status)
{
    return status == 429 || status == 503;
}

TileAnswer requestTile(http::HttpClient& client, const std::string& url, std::string& body)
{
    TileAnswer answer;
    const auto notTile = [&](ReplyKind kind, std::size_t bytes) {
        answer.outcome = TileAnswer::Outcome::NotTile;
        answer.reply = kind;
        answer.message = replyErrorText(kind, client.responseHeader("Content-Type"), bytes,
                                        client.expectedBytes())
                             .toStdString();
        body.clear();
        return answer;
    };
    body.clear();
    try {
        client.get(url, body);
        answer.reply = classifyReply(body, client.responseHeader("X-VE-Tile-Info"));
        if (answer.reply == ReplyKind::Tile)
            return answer;
        return notTile(answer.reply, body.size());
    } catch (const http::HttpError& error) {
        body.clear();
        switch (error.kind()) {
        case http::HttpError::Kind::Aborted:
            answer.outcome = TileAnswer::Outcome::Aborted;
            return answer;
        case http::HttpError::Kind::CutShort:
            return notTile(ReplyKind::CutShort, client.receivedBytes());
        case http::HttpError::Kind::TooLarge:
            return notTile(ReplyKind::TooLarge, client.maxBodyBytes());
        case http::HttpError::Kind::Status:
            if (isSlowDownStatus(error.code())) {
                answer.outcome = TileAnswer::Outcome::SlowDown;
                answer.status = error.code();
                const std::optional<long long> seconds = http::retryAfterSeconds(
                    client.responseHeader("Retry-After"), std::time(nullptr));
                if (seconds)
                    answer.retryAfterMs = std::min<long long>(*seconds, 1000000000LL) * 1000;
                return answer;
            }
            break;
        case http::HttpError::Kind::Transport:
            break;
        }
        answer.outcome = TileAnswer::Outcome::Failed;
        answer.error = error.kind();
        answer.code = error.code();
        answer.message = error.what();
    } catch (const std::exception& error) {
        body.clear();
        answer.outcome = TileAnswer::Outcome::Failed;
        answer.message = error.what();
    } catch (...) {
        body.clear();
        answer.outcome = TileAnswer::Outcome::Failed;
        answer.hasMessage = false;
    }
    return answer;
}

bool TileAnswer::isConnectionReset() const
{
    return error == http::HttpError::Kind::Transport && code == 10054;
}

bool TileAnswer::isRefusal() const
{
    return error == http::HttpError::Kind::Status && (code == 302 || code == 403);
}

bool TileAnswer::isNotFound() const
{
    return error == http::HttpError::Kind::Status && code == 404;
}

bool failureCountsAsUnreachable(const TileAnswer& answer)
{
    if (answer.outcome == TileAnswer::Outcome::NotTile)
        return answer.reply != ReplyKind::NoImagery;
    return !answer.isNotFound();
}

} // namespace tavo
