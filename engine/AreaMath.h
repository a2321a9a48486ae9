#pragma once

#include "engine/TileTypes.h"

#include <QString>

#include <optional>

namespace tavo {

// A job's area as typed (four texts of degrees) read as numbers, checked, and
// turned into its tile rectangle. Pure functions, shared by the downloader's
// set-up and everything that reads a project file.

// Leading-number decimal conversion: leading white space is skipped, then an optional sign,
// digits with at most one '.', and an optional exponent ('e' or 'E', optional sign, digits).
// The longest leading part of that form is converted and the rest ignored; a text without such a
// part gives 0. The '.' is the only decimal mark, whatever the locale.
// A number too large for a double gives plus or minus infinity (which every range check of an
// area refuses); one too small to be told from zero gives the nearest double (zero or a
// subnormal number), with its sign.
double ParseLeadingNumber(const QString& text);

// Whether `text` is one number of the form ParseLeadingNumber reads and nothing else, blanks
// around it allowed. The empty text is no number.
bool IsWholeNumber(const QString& text);

// Whole signed 32-bit decimal integer, white space around it allowed; nullopt for anything
// else, the empty text and values beyond the 32-bit range included.
std::optional<int> ParseWholeInteger(const QString& text);

struct AreaValues
{
    double left = 0.0;
    double right = 0.0;
    double top = 0.0;
    double bottom = 0.0;
    // False when any of the four texts is not wholly a number (a typo such as "6.O5").
    bool allNumbers = true;
};

// The four area fields read as numbers: every ',' counts as a '.', then ParseLeadingNumber.
// Never fails; text that is not a number reads as its leading number (0 when there is none) and
// clears allNumbers.
AreaValues ParseArea(const QString& left, const QString& right, const QString& top,
                     const QString& bottom);
inline AreaValues ParseArea(const AreaTexts& area)
{
    return ParseArea(area.left, area.right, area.top, area.bottom);
}

// The first check the area fails, as the set-up's message; empty when it passes. Texts that are
// not wholly numbers fail before the range checks.
QString areaCheckFailure(const AreaValues& area);
// The tile rectangle of an area at `zoom`.
TileRect tileRectFor(const AreaValues& area, int zoom);

} // namespace tavo
