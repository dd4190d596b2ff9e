// The per-pixel arithmetic of the roughness tool: small pure functions, one per quantity.
//
// Every stored real value is an IEEE double. Each expression is evaluated in extended
// precision (long double: a 64-bit significand on x86-64) and rounded to double when its
// result is stored, exactly as written below; the build uses -ffp-contract=off so that no
// multiply-add is fused. Conversions of reals to integers truncate toward zero.
#ifndef PIXEL_ARITHMETIC_H
#define PIXEL_ARITHMETIC_H

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

typedef long double ext; // the extended-precision type of intermediate results

// Factor that turns a raw DEM value into metres, for the hypsometric interval
// 0 metres, 1 decimetres, 2 centimetres, 3 millimetres: the double nearest to 1, 0.1,
// 0.01 or 0.001.
inline double interval_factor(int interv)
{
    static const double factors[4] = {1.0, 0.1, 0.01, 0.001};
    return (interv >= 0 && interv <= 3) ? factors[interv] : 1.0;
}

// Elevation in metres of a raw value: raw x factor, formed in extended precision and then
// rounded to double. 6139 decimetres give the double just above the one nearest to 613.9.
inline double elevation_in_metres(int raw, double factor)
{
    return static_cast<double>(static_cast<ext>(raw) * factor);
}

// a + b rounded to a 64-bit significand and then to double, as an extended-precision sum
// stored to double. When the exact sum fits in 64 bits the first rounding changes nothing,
// and the double sum is the answer: that is checked in double arithmetic (the error of the
// double sum, exact by the two-sum algorithm, is a multiple of 2^(E-63) where 2^E is the
// order of the sum); otherwise the sum is formed in extended precision.
inline double sum_rounded_twice(double a, double b)
{
    const double s = a + b;
    const double bb = s - a;
    const double err = (a - (s - bb)) + (b - bb);
    if (err == 0.0) return s;
    uint64_t bits;
    std::memcpy(&bits, &s, sizeof bits);
    const uint64_t order = bits & 0x7FF0000000000000ULL;
    if (order > (11ULL << 52) && order != 0x7FF0000000000000ULL) {
        // quantum = 1.5 x 2^(E-11): adding and removing it rounds err to a multiple of 2^(E-63).
        const uint64_t qbits = (order - (11ULL << 52)) | 0x0008000000000000ULL;
        double quantum;
        std::memcpy(&quantum, &qbits, sizeof quantum);
        if ((err + quantum) - quantum == err) return s;
    }
    return static_cast<double>(static_cast<ext>(a) + b);
}

// Midpoint between the centre c and one neighbour n: (c + n) x 0.5, rounded to double
// (the halving is exact, so this is the rounded-twice sum halved). Symmetric in c and n.
inline double midpoint(double c, double n)
{
    return sum_rounded_twice(c, n) * 0.5;
}

// One ninth, rounded to double (0.1111111111111111): the mean is a product by it.
const double one_ninth = 1.0 / 9.0;

// Divisor of the ratio: the centre elevation, or 1.0e-7 when the centre is zero (either sign).
inline double ratio_divisor(double c)
{
    return (c == 0.0) ? 1.0e-7 : c;
}

// Roughness ratio of one pixel from the eight midpoints A..H between the centre c and its
// neighbours, clockwise from the upper left, and I = c:
// dif_3D = (A + B + C + D + E + F + G + H + I) x one_ninth, summed left to right in
// extended precision and rounded to double; ratio = dif_3D / divisor, rounded to double.
inline double ratio_of_midpoints(double c, const double m[8])
{
    ext sum = m[0];
    for (int k = 1; k < 8; k++) sum += m[k];
    sum += c;
    const double dif_3D = static_cast<double>(sum * one_ninth);
    return static_cast<double>(static_cast<ext>(dif_3D) / ratio_divisor(c));
}

// Roughness ratio of one pixel from its 3x3 neighbourhood
//     n[0] n[1] n[2]
//     n[7]  c   n[3]        (the eight neighbours clockwise from the upper left)
//     n[6] n[5] n[4]
// In closed form (5c + s/2) / (9c), s the sum of the neighbours: 1 on flat ground, above 1
// in hollows and below 1 on crests when elevations are positive.
inline double roughness_ratio(double c, const double n[8])
{
    double m[8];
    for (int k = 0; k < 8; k++) m[k] = midpoint(c, n[k]);
    return ratio_of_midpoints(c, m);
}

// Difference of two doubles, evaluated in extended precision and rounded to double.
inline double difference(double a, double b)
{
    return sum_rounded_twice(a, -b);
}

// Maximum stretch: the largest of 0, 1 - dmin and dmax - 1, the largest distance of a
// ratio from 1. first_report receives the value after the first comparison (1 - dmin or 0).
inline double maximum_stretch(double dmin, double dmax, double *first_report)
{
    const double dif_max = difference(dmax, 1.0);
    const double dif_min = difference(1.0, dmin);
    double max_estir = 0.0;
    if (max_estir < dif_min) max_estir = dif_min;
    if (first_report) *first_report = max_estir;
    if (max_estir < dif_max) max_estir = dif_max;
    return max_estir;
}

// Centred scaling of one ratio r by the maximum stretch: level 128 for r = 1, and
// 128 +/- dval otherwise, with dval = |r - 1| / max_estir x 128 (between 0 and 128).
// *scaled receives 128 +/- dval as a double (0.0 to 256.0); the grey level truncates dval,
// so it moves toward 128 on both sides. The level 256 (r at the far end above 1) is kept
// as 256 here: the caller stores it as 255 in a byte.
inline int centred_level(double r, double max_estir, double *scaled)
{
    if (r == 1.0) {
        *scaled = 128.0;
        return 128;
    }
    const bool above = r > 1.0;
    double dval = above ? difference(r, 1.0) : difference(1.0, r);
    dval = static_cast<double>(static_cast<ext>(dval) / max_estir * 128.0L);
    if (above) {
        *scaled = sum_rounded_twice(dval, 128.0);
        return 128 + static_cast<int>(dval);
    }
    *scaled = sum_rounded_twice(128.0, -dval);
    return 128 - static_cast<int>(dval);
}

// Number of pixels to pass at each end of the histogram: pixels x 0.01 x coefficient,
// multiplied in that order and held as a double.
inline double stretch_threshold(int64_t pixels, double coefficient)
{
    return static_cast<double>(static_cast<ext>(pixels) * 0.01 * coefficient);
}

// Truncation toward zero of a threshold, saturated to the int range (a coefficient large
// or small enough to leave the range behaves as the nearest representable one).
inline int truncate_threshold(double seuil)
{
    if (!(seuil > INT_MIN)) return INT_MIN; // also NaN
    if (seuil >= static_cast<double>(INT_MAX)) return INT_MAX;
    return static_cast<int>(seuil);
}

// Stretched level of a grey level val, given the cut-offs: 255 above max_seuil, else 0
// below min_seuil (a value both below the lower and above the upper cut-off of crossed
// cut-offs gives 255), else 1 + 253 x (val - min_seuil) / (max_seuil - min_seuil + 1),
// truncated (1 to 253; 254 never occurs).
inline int stretched_level(int val, int min_seuil, int max_seuil)
{
    if (val > max_seuil) return 255;
    if (val < min_seuil) return 0;
    const int idif = max_seuil - min_seuil + 1;
    double dval = static_cast<double>(static_cast<ext>(val - min_seuil) / idif);
    dval = static_cast<double>(static_cast<ext>(dval) * 253 + 1);
    return static_cast<int>(dval);
}

#endif
