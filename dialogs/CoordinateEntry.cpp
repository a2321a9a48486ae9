#include "dialogs/CoordinateEntry.h"

#include <QLocale>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace tavo {

std::optional<float> ConvertDms(const QString& degrees, const QString& minutes,
                                const QString& seconds)
{
    const std::optional<int> d = ParseWholeInteger(degrees);
    const std::optional<int> m = ParseWholeInteger(minutes);
    if (!d || !m)
        return std::nullopt;
    const float s = static_cast<float>(ParseLeadingNumber(seconds));

    // The sign of the degrees holds for the minutes and seconds: -6 3 0 is
    // 6.05 degrees west. With zero degrees a negative minutes or seconds
    // value makes the whole negative; the parts are added as magnitudes.
    const bool negative = degrees.trimmed().startsWith(u'-') || *d < 0 ||
                          (*d == 0 && (*m < 0 || s < 0));
    // Every operation below is one extended-precision operation with one rounding.
    static constexpr long double oneSixtieth = 1.0L / 60;
    static constexpr long double oneThirtySixHundredth = 1.0L / 3600;
    const long double minutePart = std::fabs(static_cast<long double>(*m)) * oneSixtieth;
    const long double secondPart = std::fabs(static_cast<long double>(s)) * oneThirtySixHundredth;
    long double sum = std::fabs(static_cast<long double>(*d)) + minutePart;
    sum = sum + secondPart;
    if (negative)
        sum = -sum;
    const float result = static_cast<float>(sum);
    if (!std::isfinite(result))
        return std::nullopt;
    return result;
}

QString FormatConverted(float value)
{
    return FormatConverted(value, QLocale::system().decimalPoint());
}

QString FormatConverted(float value, const QString& decimalSeparator)
{
    const double number = value;
    if (std::isnan(number))
        return QStringLiteral("NAN");
    if (std::isinf(number))
        return number < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");
    if (number == 0.0)
        return QStringLiteral("0");

    // 15 significant digits, rounded once, as d.dddddddddddddde±x.
    char buffer[64];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(number),
                                            std::chars_format::scientific, 14);
    if (error != std::errc())
        return QString();
    const std::string scientific(buffer, end);
    const auto ePosition = scientific.find('e');
    std::string digits = scientific.substr(0, 1) + scientific.substr(2, ePosition - 2);
    const int exponent = std::stoi(scientific.substr(ePosition + 1));
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();

    QString text = number < 0 ? QStringLiteral("-") : QString();
    const QString allDigits = QString::fromLatin1(digits);
    if (exponent >= -5 && exponent < 15) {
        if (exponent >= 0) {
            const qsizetype integerCount = exponent + 1;
            text += allDigits.left(integerCount);
            if (allDigits.size() < integerCount)
                text += QString(integerCount - allDigits.size(), u'0');
            if (allDigits.size() > integerCount)
                text += decimalSeparator + allDigits.mid(integerCount);
        } else {
            text += u'0' + decimalSeparator + QString(-exponent - 1, u'0') + allDigits;
        }
    } else {
        text += allDigits.left(1);
        if (allDigits.size() > 1)
            text += decimalSeparator + allDigits.mid(1);
        text += QStringLiteral("E") + QString::number(exponent);
    }
    return text;
}

} // namespace tavo
