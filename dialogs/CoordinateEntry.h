#pragma once

#include "engine/TileTypes.h"

#include <QString>

#include <optional>

namespace tavo {

// Reading the numbers the user types as degrees. Pure functions, no widgets.

// Leading-number decimal conversion: leading white space is skipped, then an optional sign,
// digits with at most one '.', and an optional exponent ('e' or 'E', optional sign, digits).
// The longest leading part of that form is converted and the rest ignored; a text without such a
// part gives 0. The '.' is the only decimal mark, whatever the locale.
// A number too large for a double gives plus or minus infinity (which every range check of an
// area refuses); one too small to be told from zero gives the nearest double (zero or a
// subnormal number), with its sign.
double ParseLeadingNumber(const QString& text);

struct AreaValues
{
    double left = 0.0;
    double right = 0.0;
    double top = 0.0;
    double bottom = 0.0;
};

// The four area fields read as numbers: every ',' counts as a '.', then ParseLeadingNumber.
// Never fails; text that is not a number reads as 0.
AreaValues ParseArea(const QString& edit1, const QString& edit3, const QString& edit2,
                     const QString& edit4);
inline AreaValues ParseArea(const AreaTexts& area)
{
    return ParseArea(area.left, area.right, area.top, area.bottom);
}

// Whole signed 32-bit decimal integer, white space around it allowed; nullopt for anything
// else, the empty text and values beyond the 32-bit range included.
std::optional<int> ParseWholeInteger(const QString& text);

// Degrees, minutes and seconds to decimal degrees in single precision:
// D + M * (1/60) + S * (1/3600) in extended precision, then rounded to float. D and M must be
// whole 32-bit integers; S is read as a leading number (no comma replacement) rounded to float.
// nullopt when D or M is not such an integer, or when the result is not a finite number (a
// seconds value beyond the range of a float).
std::optional<float> ConvertDms(const QString& degrees, const QString& minutes,
                                const QString& seconds);

// The converter's result as the user sees it: the float widened to double, general format with
// up to 15 significant digits, trailing zeros dropped. Fixed notation for magnitudes from 1e-5 up
// to 15 integer digits, otherwise "d.dddE[-]x". The first form uses the system's decimal
// separator.
QString FormatConverted(float value);
QString FormatConverted(float value, const QString& decimalSeparator);

} // namespace tavo
