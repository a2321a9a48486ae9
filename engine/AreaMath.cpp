#include "engine/AreaMath.h"

#include "engine/TileMath.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace tavo {

namespace {

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f';
}

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

} // namespace

namespace {

// The conversion itself; `consumed` receives where the number read ends (0 when there is none).
double readLeadingNumber(const QString& text, qsizetype& consumed)
{
    consumed = 0;
    const qsizetype length = text.size();
    qsizetype i = 0;
    while (i < length && isBlank(text[i]))
        ++i;

    bool negative = false;
    if (i < length && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }

    std::string integerDigits;
    std::string fractionDigits;
    while (i < length && isDigit(text[i]))
        integerDigits += char(text[i++].unicode());
    if (i < length && text[i] == u'.') {
        ++i;
        while (i < length && isDigit(text[i]))
            fractionDigits += char(text[i++].unicode());
    }
    if (integerDigits.empty() && fractionDigits.empty())
        return 0.0;
    consumed = i;

    // The exponent counts only when at least one digit follows the 'e' and its sign.
    std::string exponent;
    if (i < length && (text[i] == u'e' || text[i] == u'E')) {
        qsizetype j = i + 1;
        std::string sign;
        if (j < length && (text[j] == u'+' || text[j] == u'-')) {
            if (text[j] == u'-')
                sign = "-";
            ++j;
        }
        std::string digits;
        while (j < length && isDigit(text[j]))
            digits += char(text[j++].unicode());
        if (!digits.empty()) {
            exponent = sign + digits;
            consumed = j;
        }
    }

    std::string number = integerDigits.empty() ? std::string("0") : integerDigits;
    if (!fractionDigits.empty())
        number += "." + fractionDigits;
    if (!exponent.empty())
        number += "e" + exponent;

    double magnitude = 0.0;
    const auto [end, error] =
        std::from_chars(number.data(), number.data() + number.size(), magnitude);
    (void)end;
    if (error == std::errc::result_out_of_range) {
        // Too large or too small for a double. Tell the two apart by where the first
        // significant digit stands.
        long long decimalPosition = 0;
        const auto firstSignificant = integerDigits.find_first_not_of('0');
        if (firstSignificant != std::string::npos) {
            decimalPosition = static_cast<long long>(integerDigits.size() - firstSignificant);
        } else {
            const auto firstInFraction = fractionDigits.find_first_not_of('0');
            if (firstInFraction == std::string::npos)
                return negative ? -0.0 : 0.0;
            decimalPosition = -static_cast<long long>(firstInFraction);
        }
        // The exponent text may itself be huge; its sign and length settle the question then.
        long long exponentValue = 0;
        const bool exponentNegative = !exponent.empty() && exponent[0] == '-';
        const std::string exponentDigits = exponentNegative ? exponent.substr(1) : exponent;
        if (exponentDigits.size() > 15)
            exponentValue = exponentNegative ? -1000000000000000LL : 1000000000000000LL;
        else if (!exponentDigits.empty())
            exponentValue = std::stoll(exponentDigits) * (exponentNegative ? -1 : 1);
        magnitude =
            decimalPosition + exponentValue > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return negative ? -magnitude : magnitude;
}

} // namespace

double ParseLeadingNumber(const QString& text)
{
    qsizetype consumed = 0;
    return readLeadingNumber(text, consumed);
}

bool IsWholeNumber(const QString& text)
{
    qsizetype consumed = 0;
    readLeadingNumber(text, consumed);
    if (consumed == 0)
        return false;
    for (qsizetype i = consumed; i < text.size(); ++i) {
        if (!isBlank(text[i]))
            return false;
    }
    return true;
}

std::optional<int> ParseWholeInteger(const QString& text)
{
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && isBlank(text[first]))
        ++first;
    while (last > first && isBlank(text[last - 1]))
        --last;

    qsizetype i = first;
    bool negative = false;
    if (i < last && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    if (i == last)
        return std::nullopt;

    long long value = 0;
    for (; i < last; ++i) {
        if (!isDigit(text[i]))
            return std::nullopt;
        value = value * 10 + (text[i].unicode() - u'0');
        if (value > 2147483648LL)
            return std::nullopt;
    }
    if (negative)
        value = -value;
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
        return std::nullopt;
    return int(value);
}

AreaValues ParseArea(const QString& left, const QString& right, const QString& top,
                     const QString& bottom)
{
    AreaValues values;
    const auto read = [&values](QString text) {
        text.replace(u',', u'.');
        values.allNumbers = values.allNumbers && IsWholeNumber(text);
        return ParseLeadingNumber(text);
    };
    values.left = read(left);
    values.right = read(right);
    values.top = read(top);
    values.bottom = read(bottom);
    return values;
}

QString areaCheckFailure(const AreaValues& area)
{
    if (!area.allNumbers)
        return QStringLiteral("Longitude or latitude input error!");
    auto within = [](double value, double bound) { return value >= -bound && value <= bound; };
    const struct
    {
        bool holds;
        const char* text;
    } checks[] = {
        {within(area.left, 180), "Left Longitude should be between -180 and 180."},
        {within(area.right, 180), "Right Longitude should be between -180 and 180."},
        {within(area.top, 85), "Top Latitude should be between -85 and 85."},
        {within(area.bottom, 85), "Bottom Latitude should be between -85 and 85."},
        {area.left <= area.right, "Left Longitude should less than Right Longitude!"},
        {area.top >= area.bottom, "Bottom Latitude should less than Top Latitude!"},
    };
    for (const auto& check : checks) {
        if (!check.holds)
            return QString::fromLatin1(check.text);
    }
    return {};
}

TileRect tileRectFor(const AreaValues& area, int zoom)
{
    TileRect rect;
    rect.minX = LongitudeToTileX(area.left, zoom);
    rect.maxX = LongitudeToTileX(area.right, zoom);
    rect.minY = LatitudeToTileY(area.bottom, zoom);
    rect.maxY = LatitudeToTileY(area.top, zoom);
    return rect;
}

} // namespace tavo
