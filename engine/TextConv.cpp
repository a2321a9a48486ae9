#include "engine/TextConv.h"

#include "engine/AppError.h"

#include <QLocale>

#include <cmath>
#include <cstdint>

namespace tavo {

namespace {

int hexDigitValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

} // namespace

bool tryStrToInt(const QString& text, int& value)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && text[i] == u' ')
        ++i;

    bool negative = false;
    if (i < n && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }

    bool hex = false;
    if (i < n && text[i] == u'$') {
        hex = true;
        ++i;
    } else if (i + 1 < n && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) {
        hex = true;
        i += 2;
    }

    if (i == n)
        return false; // no digits at all

    // Accumulate the magnitude in 64 bits; stop as soon as it cannot fit.
    const std::uint64_t limit = hex ? 0xFFFFFFFFull : (negative ? 2147483648ull : 2147483647ull);
    std::uint64_t magnitude = 0;
    for (; i < n; ++i) {
        const int digit =
            hex ? hexDigitValue(text[i])
                : (text[i] >= u'0' && text[i] <= u'9' ? text[i].unicode() - u'0' : -1);
        if (digit < 0)
            return false;
        magnitude = magnitude * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
        if (magnitude > limit)
            return false;
    }

    // Two's complement on 32 bits: covers the hexadecimal bit patterns and
    // -2147483648 alike.
    std::uint32_t bits = static_cast<std::uint32_t>(magnitude);
    if (negative)
        bits = 0u - bits;
    value = static_cast<std::int32_t>(bits);
    return true;
}

int StrToInt(const QString& text)
{
    int value = 0;
    if (!tryStrToInt(text, value))
        throw AppError::notAnInteger(text);
    return value;
}

QString FloatToStr(double value)
{
    if (std::isnan(value))
        return QStringLiteral("NAN");
    if (std::isinf(value))
        return value < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");
    if (value == 0.0)
        return QStringLiteral("0"); // also for -0.0

    // "%.15g" drops trailing zeros and switches to an exponent when the
    // decimal exponent is below -4 or at least 15.
    QString text = QString::number(value, 'g', 15);

    const qsizetype e = text.indexOf(u'e');
    QString exponent;
    if (e >= 0) {
        // "1e+15" -> "E15", "1e-05" -> "E-5"
        const QString digits = text.mid(e + 1);
        text.truncate(e);
        const bool negative = digits.startsWith(u'-');
        QString magnitude = digits.mid(digits.startsWith(u'-') || digits.startsWith(u'+') ? 1 : 0);
        while (magnitude.size() > 1 && magnitude.startsWith(u'0'))
            magnitude.remove(0, 1);
        exponent = QStringLiteral("E") + (negative ? QStringLiteral("-") : QString()) + magnitude;
    }
    text.replace(u'.', QLocale::system().decimalPoint());
    return text + exponent;
}

QString timeFormatWithoutZone(const QString& format)
{
    // Drops every unquoted 't' (the zone field) with the blanks before it.
    QString result;
    bool quoted = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format[i];
        if (c == u'\'') {
            quoted = !quoted;
        } else if (!quoted && c == u't') {
            while (!result.isEmpty() && result.back().isSpace())
                result.chop(1);
            while (i + 1 < format.size() && format[i + 1] == u't')
                ++i;
            // A zone at the very start takes the blanks after it instead.
            while (result.isEmpty() && i + 1 < format.size() && format[i + 1].isSpace())
                ++i;
            continue;
        }
        result += c;
    }
    return result;
}

QString nowText(const QDateTime& now)
{
    const QLocale locale = QLocale::system();
    return locale.toString(now.date(), QLocale::ShortFormat) + u' ' +
           locale.toString(now.time(),
                           timeFormatWithoutZone(locale.timeFormat(QLocale::LongFormat)));
}

QString groupedNumber(qint64 value)
{
    return QLocale(QLocale::English, QLocale::UnitedStates).toString(value);
}

QString compactNumber(qint64 value)
{
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    if (value < 1000000)
        return english.toString(value);
    if (value < 1000000000)
        return english.toString(double(value) / 1e6, 'f', 1) + QStringLiteral(" M");
    return english.toString(double(value) / 1e9, 'f', 1) + QStringLiteral(" G");
}

QString durationText(qint64 seconds)
{
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    if (seconds < 3600)
        return QStringLiteral("%1 min %2 s")
            .arg(seconds / 60)
            .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    if (seconds < 86400)
        return QStringLiteral("%1 h %2 min")
            .arg(seconds / 3600)
            .arg((seconds % 3600) / 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1 d %2 h")
        .arg(groupedNumber(seconds / 86400))
        .arg((seconds % 86400) / 3600, 2, 10, QLatin1Char('0'));
}

} // namespace tavo
