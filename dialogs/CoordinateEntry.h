#pragma once

#include "engine/AreaMath.h"
#include "engine/TileTypes.h"

#include <QString>

#include <optional>

namespace tavo {

// Reading the numbers the user types as degrees. Pure functions, no widgets.

// Degrees, minutes and seconds to decimal degrees in single precision:
// |D| + |M| * (1/60) + |S| * (1/3600) in extended precision, then rounded to float, negative
// when D is (or, with D zero, when M or S is): the sign of the degrees holds for all three. D and M must be
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
