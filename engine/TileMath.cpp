#include "engine/TileMath.h"

#include <cfloat>
#include <cmath>

static_assert(LDBL_MANT_DIG == 64,
              "The tile arithmetic needs x87 extended precision: long double must have a "
              "64-bit significand (build for x86/x86-64 with the default long double).");

namespace tavo {

namespace {

using Real = long double;

// pi as the nearest double, widened exactly.
constexpr Real Pi = 3.141592653589793;
// The extended values nearest to 1/360 and 1/180 (both just below the exact fraction).
constexpr Real K360 = 1.0L / 360;
constexpr Real K180 = 1.0L / 180;

// Rounds an extended value to double precision. The volatile store makes sure
// the rounding really happens even if the compiler kept the value in a wider register.
Real roundToDouble(Real value)
{
    volatile double rounded = static_cast<double>(value);
    return rounded;
}

Real scale(int zoom)
{
    return static_cast<Real>(TileScale(zoom));
}

} // namespace

qint32 TileScale(int zoom)
{
    return static_cast<qint32>(1u << (static_cast<unsigned>(zoom) & 31u));
}

qint32 LongitudeToTileX(double longitude, int zoom)
{
    Real t = (static_cast<Real>(longitude) + 180) * K360;
    t = t * scale(zoom);
    return static_cast<qint32>(t);
}

qint32 LatitudeToTileY(double latitude, int zoom)
{
    const Real a = Pi * 0.25L;
    const Real b = ((K180 * static_cast<Real>(latitude)) * Pi) * 0.5L;
    const Real s = roundToDouble(a + b);
    const Real t = roundToDouble(tanl(s));
    const Real m = logl(t);
    const Real y = ((m / Pi + 1) * 0.5L) * scale(zoom);
    return static_cast<qint32>(y);
}

long double TileXToLongitude(double x, int zoom)
{
    return (360 * static_cast<Real>(x)) / scale(zoom) - 180;
}

long double TileYToLatitude(double y, int zoom)
{
    const Real n = roundToDouble(((2 * static_cast<Real>(y)) / scale(zoom) - 1) * Pi);
    const Real p = roundToDouble(expl(n));
    return (atanl(p) * 360) / Pi - 90;
}

std::string MakeQuadkeyString(qint32 x, qint32 y, int zoom)
{
    std::string quadkey;
    if (zoom <= 0)
        return quadkey;
    quadkey.reserve(static_cast<std::size_t>(zoom));
    const auto ux = static_cast<quint32>(x);
    const auto uy = static_cast<quint32>(y);
    for (int n = zoom; n >= 1; --n) {
        // Shift counts wrap at 32 like the processor's shift instruction.
        const unsigned shift = static_cast<unsigned>(n - 1) & 31u;
        const unsigned bx = (ux >> shift) & 1u;
        const unsigned by = (uy >> shift) & 1u;
        quadkey.push_back(static_cast<char>('0' + bx + 2 * (1 - by)));
    }
    return quadkey;
}

QString MakeQuadkey(qint32 x, qint32 y, int zoom)
{
    return QString::fromLatin1(MakeQuadkeyString(x, y, zoom));
}

} // namespace tavo
