#include "tiles/TileReply.h"

#include <QLocale>

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
    return ReplyKind::Tile;
}

QString replyErrorText(ReplyKind kind, std::string_view contentType, std::size_t bytes)
{
    switch (kind) {
    case ReplyKind::Tile:
        return {};
    case ReplyKind::Empty:
        return QStringLiteral("Empty reply");
    case ReplyKind::NoImagery:
        return QStringLiteral("No imagery here (X-VE-Tile-Info: no-tile)");
    case ReplyKind::NotImage:
        break;
    }
    std::string_view type = trimmed(contentType.substr(0, contentType.find(';')));
    const QString typeText = type.empty()
                                 ? QStringLiteral("no type")
                                 : QString::fromLatin1(type.data(), qsizetype(type.size()));
    const QString size =
        QLocale(QLocale::English, QLocale::UnitedStates).toString(static_cast<qulonglong>(bytes));
    return QStringLiteral("Not an image (%1, %2 %3)")
        .arg(typeText, size, bytes == 1 ? QStringLiteral("byte") : QStringLiteral("bytes"));
}

bool failureCountsAsUnreachable(bool replyRejected, ReplyKind kind, std::string_view httpError)
{
    if (replyRejected)
        return kind != ReplyKind::NoImagery;
    return httpError.find("404") == std::string_view::npos;
}

} // namespace tavo
