#pragma once

#include <QDateTime>
#include <QString>

namespace tavo {

// Reads `text` as a 32-bit integer the way the program has always read
// integers typed by users or stored in its files:
//  - optional leading blanks (spaces), then an optional '+' or '-';
//  - decimal digits, or hexadecimal digits after "$", "0x" or "0X" (nothing
//    else is a prefix: "x1F" is not an integer);
//  - nothing after the digits (no trailing blanks either).
// Decimal values must lie in the 32-bit signed range. Hexadecimal values may
// use all 32 bits and are taken as the bit pattern ("$FFFFFFFF" is -1).
// Returns false (and leaves `value` alone) for anything else.
bool tryStrToInt(const QString& text, int& value);

// As tryStrToInt, but throws AppError::notAnInteger(text) on failure.
int StrToInt(const QString& text);

// A double in the general number format: up to 15 significant digits,
// trailing zeros dropped, the system's decimal separator. Very large or very
// small magnitudes use an exponent ("1E15", "1E-5").
QString FloatToStr(double value);

// The local date and time: the system's short date format, one blank, the
// system's long time format without its time-zone name ("12:07:45", never
// "12:07:45 UTC").
QString nowText(const QDateTime& now = QDateTime::currentDateTime());

// A time format with its time-zone fields ('t' outside quotes) and the blanks
// before them removed.
QString timeFormatWithoutZone(const QString& format);

// 1234 as "1,234".
QString groupedNumber(qint64 value);
// 999,999 and below as groupedNumber; above as "1.2 M" or "1,095.9 G".
QString compactNumber(qint64 value);
// Seconds as "45 s", "3 min 20 s", "2 h 05 min", "106,018 d 09 h".
QString durationText(qint64 seconds);

} // namespace tavo
