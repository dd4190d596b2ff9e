// The per-pixel arithmetic on its worked examples, to the last bit.
#include "pixel_arithmetic.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>

#include <cmath>
#include <cstdio>
#include <string>

namespace {

double above(double x) { return std::nextafter(x, INFINITY); }

std::string six_decimals(double x)
{
    char text[64];
    std::snprintf(text, sizeof text, "%lf", x);
    return text;
}

// Neighbourhood of a pixel whose eight neighbours are all `n`.
double ratio_of_flat_ring(double c, double n)
{
    const double ring[8] = {n, n, n, n, n, n, n, n};
    return roughness_ratio(c, ring);
}

TEST(Elevation, ExtendedProductRoundsTwiceLikeTheDocumentedExamples)
{
    // 6139 dm: the extended product rounds to the double just above the nearest to 613.9,
    // where a product rounded once to double gives the nearest.
    volatile double tenth = 0.1;
    EXPECT_EQ(6139 * tenth, 613.9);
    EXPECT_EQ(elevation_in_metres(6139, interval_factor(1)), above(613.9));
    EXPECT_EQ(elevation_in_metres(3, interval_factor(1)), above(0.3));
    EXPECT_EQ(elevation_in_metres(345, interval_factor(2)), 3.45);
    EXPECT_EQ(elevation_in_metres(-7, interval_factor(0)), -7.0);
    EXPECT_EQ(elevation_in_metres(65535, interval_factor(0)), 65535.0);
    EXPECT_EQ(interval_factor(3), 0.001);
}

TEST(Ratio, FlatGroundIsExactlyOneWhateverTheSign)
{
    for (double z : {1.0, 100.0, 613.0, 8848.0, -10.0, -431.0})
        EXPECT_EQ(ratio_of_flat_ring(z, z), 1.0) << z;
}

TEST(Ratio, WorkedExampleOfThreeLinesAndFourColumns)
{
    // All 100 m but 110 m at line 1, column 1.
    const double peak[8] = {100, 100, 100, 100, 100, 100, 100, 100};
    const double beside_peak[8] = {100, 100, 100, 100, 100, 100, 100, 110};
    const double r1 = roughness_ratio(110.0, peak), r2 = roughness_ratio(100.0, beside_peak);
    // 95/99 and 181/180 as the stepwise extended evaluation rounds them (the first is one
    // unit in the last place below the double nearest to 95/99).
    EXPECT_EQ(r1, 0x1.eb50295fad409p-1);
    EXPECT_EQ(r2, 0x1.016c16c16c16cp+0);
    EXPECT_EQ(r2, 181.0 / 180.0);
    EXPECT_EQ(six_decimals(r1), "0.959596");
    EXPECT_EQ(six_decimals(r2), "1.005556");
    EXPECT_EQ(six_decimals(difference(r2, r1)), "0.045960");
    double first = -1;
    EXPECT_EQ(six_decimals(maximum_stretch(r1, r2, &first)), "0.040404");
    EXPECT_EQ(six_decimals(first), "0.040404");
}

TEST(Ratio, ZeroCentreDividesByTenToTheMinusSeven)
{
    EXPECT_EQ(ratio_divisor(0.0), 1.0e-7);
    EXPECT_EQ(ratio_divisor(-0.0), 1.0e-7);
    EXPECT_EQ(ratio_of_flat_ring(0.0, 0.0), 0.0);
    EXPECT_EQ(ratio_of_flat_ring(-0.0, 0.0), 0.0);
    // Eight neighbours of 1 m: a mean of 4/9 m, times ten million.
    EXPECT_NEAR(ratio_of_flat_ring(0.0, 1.0), 4.0 / 9.0 * 1e7, 1e-6);
    EXPECT_EQ(ratio_of_flat_ring(-0.0, 1.0), ratio_of_flat_ring(0.0, 1.0));
}

TEST(Ratio, HollowsAboveOneCrestsBelowAndTheSignFlipsBelowSeaLevel)
{
    EXPECT_GT(ratio_of_flat_ring(100.0, 110.0), 1.0);
    EXPECT_LT(ratio_of_flat_ring(110.0, 100.0), 1.0);
    EXPECT_LT(ratio_of_flat_ring(-10.0, -5.0), 1.0); // higher neighbours, negative centre
}

TEST(Ratio, MatchesTheClosedFormOnOrdinaryTerrain)
{
    const double ring[8] = {812.0, 815.5, 809.25, 811.0, 820.0, 799.75, 805.0, 810.5};
    const double c = 811.25;
    double s = 0;
    for (double v : ring) s += v;
    EXPECT_NEAR(roughness_ratio(c, ring), (5 * c + s / 2) / (9 * c), 1e-15);
}

TEST(MaximumStretch, IsTheLargestDistanceFromOne)
{
    struct Case { double dmin, dmax; const char *first, *second; };
    const Case cases[] = {
        {0.6, 1.3, "0.400000", "0.400000"},
        {0.9, 1.5, "0.100000", "0.500000"},
        {1.2, 1.5, "0.000000", "0.500000"},
        {1.0, 1.0, "0.000000", "0.000000"},
        {10000000.0, 0.0, "0.000000", "0.000000"}, // no interior pixel
    };
    for (const Case &c : cases) {
        double first = -1;
        const double second = maximum_stretch(c.dmin, c.dmax, &first);
        EXPECT_EQ(six_decimals(first), c.first) << c.dmin << " " << c.dmax;
        EXPECT_EQ(six_decimals(second), c.second) << c.dmin << " " << c.dmax;
    }
}

TEST(CentredLevel, HalfStretchExamples)
{
    double scaled = -1;
    EXPECT_EQ(centred_level(1.0, 0.5, &scaled), 128);
    EXPECT_EQ(scaled, 128.0);
    EXPECT_EQ(centred_level(1.25, 0.5, &scaled), 192);
    EXPECT_EQ(scaled, 192.0);
    EXPECT_EQ(centred_level(0.75, 0.5, &scaled), 64);
    EXPECT_EQ(scaled, 64.0);
    // 0.9: dval just under 25.6, so the level is 128 - 25.
    EXPECT_EQ(centred_level(0.9, 0.5, &scaled), 103);
    EXPECT_EQ(scaled, 102.4);
}

TEST(CentredLevel, WorkedExampleAndTheFarEnds)
{
    // The two ratios of the worked example, as the ratio step gives them.
    const double r1 = 0x1.eb50295fad409p-1, r2 = 0x1.016c16c16c16cp+0, max_estir = difference(1.0, r1);
    double scaled = -1;
    EXPECT_EQ(centred_level(r1, max_estir, &scaled), 0); // the ratio at dmin: dval 128
    EXPECT_EQ(scaled, 0.0);
    EXPECT_EQ(centred_level(r2, max_estir, &scaled), 145);
    EXPECT_EQ(scaled, 0x1.233333333332fp+7); // about 145.6
    EXPECT_EQ(six_decimals(scaled), "145.600000");
    // The ratio at dmax when dmax - 1 is the stretch: dval 128 above 1, level 256.
    EXPECT_EQ(centred_level(1.5, 0.5, &scaled), 256);
    EXPECT_EQ(scaled, 256.0);
    // Within max_estir/128 of 1: level 128, scaled value still above 128.
    EXPECT_EQ(centred_level(1.001, 0.5, &scaled), 128);
    EXPECT_GT(scaled, 128.0);
}

TEST(Stretch, ThresholdAndItsTruncation)
{
    EXPECT_EQ(stretch_threshold(100 * 200, 2.5), 500.0);
    EXPECT_EQ(truncate_threshold(500.0), 500);
    EXPECT_EQ(truncate_threshold(12.9), 12);
    EXPECT_EQ(truncate_threshold(-0.5), 0);
    EXPECT_EQ(truncate_threshold(-3.7), -3);
    // Coefficients beyond the int range saturate instead of overflowing.
    EXPECT_EQ(truncate_threshold(stretch_threshold(int64_t(50000) * 50000, 1e6)), INT_MAX);
    EXPECT_EQ(truncate_threshold(-1e300), INT_MIN);
    // The pixel count is not limited to 32 bits.
    EXPECT_EQ(stretch_threshold(int64_t(70000) * 70000, 1.0), 49000000.0);
}

TEST(Stretch, MappingOfTheDocumentedCutOffs)
{
    EXPECT_EQ(stretched_level(99, 100, 150), 0);
    EXPECT_EQ(stretched_level(100, 100, 150), 1);
    EXPECT_EQ(stretched_level(125, 100, 150), 125);
    EXPECT_EQ(stretched_level(150, 100, 150), 249);
    EXPECT_EQ(stretched_level(151, 100, 150), 255);
    // All pixels on one level L with coefficient 0: cut-offs L-1 and L+1, L maps to 85.
    EXPECT_EQ(stretched_level(77, 76, 78), 85);
    // Crossed cut-offs: 255 above the upper one, 0 otherwise.
    EXPECT_EQ(stretched_level(200, 180, 120), 255);
    EXPECT_EQ(stretched_level(150, 180, 120), 255);
    EXPECT_EQ(stretched_level(100, 180, 120), 0);
}

TEST(Stretch, InRangeLevelsStayFromOneTo253AndWholeValuesAreExact)
{
    for (int lo = -1; lo <= 257; lo += 7)
        for (int hi = lo; hi <= 257; hi += 5)
            for (int v = lo < 0 ? 0 : lo; v <= hi && v <= 255; v++) {
                const int level = stretched_level(v, lo, hi), idif = hi - lo + 1;
                ASSERT_GE(level, 1);
                ASSERT_LE(level, 253);
                // Integer part of the exact value 1 + 253 (v - lo) / idif.
                ASSERT_EQ(level, 1 + 253 * (v - lo) / idif) << v << " " << lo << " " << hi;
            }
}

} // namespace

namespace {

double reference_sum(double a, double b) { return static_cast<double>(static_cast<long double>(a) + b); }

double from_bits(uint64_t bits)
{
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

TEST(SumRoundedTwice, AgreesWithTheExtendedSumOnDemValuesAndRandomBits)
{
    uint64_t state = 0x9E3779B97F4A7C15ULL;
    auto next = [&state]() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    for (int k = 0; k < 2000000; k++) {
        const uint64_t r = next();
        double a, b;
        switch (k % 4) {
        case 0: // values in decimetres, centimetres or millimetres, as the conversion makes them
            a = elevation_in_metres(static_cast<int>(r % 200000) - 1000, interval_factor(1 + k % 3));
            b = elevation_in_metres(static_cast<int>((r >> 20) % 200000) - 1000, interval_factor(1 + k % 3));
            break;
        case 1: // wildly different orders of magnitude
            a = elevation_in_metres(static_cast<int>(r & 0x7FFFFFFF), 0.001);
            b = elevation_in_metres(static_cast<int>((r >> 32) % 1000), 0.001);
            break;
        case 2: // arbitrary finite bit patterns of moderate exponent
            a = from_bits((r & 0x800FFFFFFFFFFFFFULL) | (uint64_t(1023 + (r >> 52) % 40) << 52));
            b = from_bits((next() & 0x800FFFFFFFFFFFFFULL) | (uint64_t(1000 + (r >> 45) % 40) << 52));
            break;
        default: // sums whose exact value sits next to a halfway point of the double grid
            a = 1.0 + static_cast<double>(r % 1024) * 0x1p-52;
            b = 0x1p-53 + (static_cast<double>((r >> 10) % 5) - 2.0) * 0x1p-64 * ((r >> 20) % 3);
            break;
        }
        ASSERT_EQ(sum_rounded_twice(a, b), reference_sum(a, b)) << std::hexfloat << a << " " << b;
        ASSERT_EQ(sum_rounded_twice(b, a), sum_rounded_twice(a, b));
    }
}

TEST(SumRoundedTwice, DoubleRoundingCasesTakeTheExtendedValue)
{
    // 1 + 2^-53 + 2^-64: the extended sum rounds to the halfway point 1 + 2^-53, which then
    // rounds to even (1.0); a single rounding would give 1 + 2^-52.
    const double a = 1.0, b = 0x1p-53 + 0x1p-64;
    EXPECT_EQ(a + b, 1.0 + 0x1p-52);
    EXPECT_EQ(sum_rounded_twice(a, b), 1.0);
    EXPECT_EQ(sum_rounded_twice(a, b), reference_sum(a, b));
    EXPECT_EQ(midpoint(a, b), 0.5);
    EXPECT_EQ(difference(1.0, -b), 1.0);
}

} // namespace
