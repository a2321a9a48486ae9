#pragma once

#include <QByteArray>
#include <QString>

namespace tavo {

// Start of every tile URL, before the server digit, and the part after it up
// to the quadkey.
extern const char* const UrlHead;
extern const char* const UrlMiddle;

// The URL of one tile: UrlHead + server digit (0 to 3) + UrlMiddle + quadkey
// + tail, where the tail is the text after the quadkey (by default ".jpeg?g="
// and the tile version). Bytes that a URL cannot hold as they are (blanks and
// other control bytes, bytes above 127, and " # < > \ ^ ` { | }) are sent
// percent-encoded, so the request carries the tail exactly as written; every
// other byte, '%' included, is kept.
QByteArray tileUrl(int serverDigit, const QString& quadkey, const QString& tail);

// The percent-encoding of tileUrl for any text.
QByteArray encodeUrlText(const QString& text);

} // namespace tavo
