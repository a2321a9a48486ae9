#include "engine/TileUrl.h"

namespace tavo {

const char* const UrlHead = "http://ecn.t";
const char* const UrlMiddle = ".tiles.virtualearth.net/tiles/a";

namespace {

bool keptAsIs(unsigned char c)
{
    if (c <= 0x20 || c >= 0x7F)
        return false;
    switch (c) {
    case '"':
    case '#':
    case '<':
    case '>':
    case '\\':
    case '^':
    case '`':
    case '{':
    case '|':
    case '}':
        return false;
    default:
        return true;
    }
}

} // namespace

QByteArray encodeUrlText(const QString& text)
{
    static const char hex[] = "0123456789ABCDEF";
    const QByteArray bytes = text.toUtf8();
    QByteArray result;
    result.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (keptAsIs(c)) {
            result += ch;
        } else {
            result += '%';
            result += hex[c >> 4];
            result += hex[c & 0xF];
        }
    }
    return result;
}

QByteArray tileUrl(int serverDigit, const QString& quadkey, const QString& tail)
{
    QByteArray url(UrlHead);
    url += static_cast<char>('0' + serverDigit);
    url += UrlMiddle;
    url += encodeUrlText(quadkey);
    url += encodeUrlText(tail);
    return url;
}

} // namespace tavo
