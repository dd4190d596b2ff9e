// The line functions against the per-pixel functions, bit for bit, over millions of pixels:
// terrain as the conversion to metres makes it (every unit), wild magnitudes, signed zeros,
// infinities and NaN, and values whose extended results sit on a halfway point between two
// doubles. Every test runs on the four-pixel path (where the processor has it) and on the
// per-pixel path.
#include "row_arithmetic.h"

#include "pixel_arithmetic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <vector>

namespace {

uint64_t bits_of(double x)
{
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

double from_bits(uint64_t b)
{
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

struct Rng {
    uint64_t state;
    uint64_t next()
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
    double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }
};

// Whether an extended value lies on a halfway point between two doubles: its rounding to
// double is then a tie, the case the four-pixel path must tell from its error terms.
bool on_halfway(long double y)
{
    uint64_t significand;
    std::memcpy(&significand, &y, sizeof significand);
    return (significand & 0x7FF) == 0x400;
}

bool ratio_meets_halfway(double c, const double m[8])
{
    long double sum = m[0];
    for (int k = 1; k < 8; k++) sum += m[k];
    sum += c;
    const long double product = sum * one_ninth;
    return on_halfway(product) || on_halfway(static_cast<double>(product) / static_cast<long double>(ratio_divisor(c)));
}

bool centred_meets_halfway(double r, double max_estir)
{
    if (r == 1.0) return false;
    const double dval = r > 1.0 ? difference(r, 1.0) : difference(1.0, r);
    const long double q = static_cast<long double>(dval) / max_estir * 128.0L;
    const double d = static_cast<double>(q);
    return on_halfway(q) || on_halfway(128.0L + (r > 1.0 ? d : -d));
}

// Pixels compared, and those among them whose extended steps fell on a halfway point.
struct Tally {
    long compared = 0, halfway = 0;
};
Tally midpoints, ratios, centred;

class RowArithmetic : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        force_per_pixel_arithmetic(GetParam());
        midpoints = ratios = centred = Tally();
    }
    void TearDown() override
    {
        std::printf("compared: midpoints %ld (%ld on a halfway point), ratios %ld (%ld), centred levels %ld (%ld), "
                    "%s path\n",
                    midpoints.compared, midpoints.halfway, ratios.compared, ratios.halfway, centred.compared,
                    centred.halfway, row_arithmetic_vectorised() ? "four-pixel" : "per-pixel");
        force_per_pixel_arithmetic(false);
    }
};

INSTANTIATE_TEST_SUITE_P(Paths, RowArithmetic, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &p) { return p.param ? "PerPixel" : "FourPixel"; });

// midpoint_line on a[0..n) and b[0..n), against midpoint.
void expect_midpoints(const std::vector<double> &a, const std::vector<double> &b)
{
    const int n = static_cast<int>(a.size());
    std::vector<double> out(a.size() + 1, -1.0);
    midpoint_line(n, a.data(), b.data(), out.data());
    for (int k = 0; k < n; k++) {
        ASSERT_EQ(bits_of(out[k]), bits_of(midpoint(a[k], b[k]))) << std::hexfloat << a[k] << " " << b[k];
        midpoints.halfway += on_halfway(static_cast<long double>(a[k]) + b[k]);
    }
    EXPECT_EQ(out[n], -1.0); // nothing written past the end
    midpoints.compared += n;
}

// ratio_line on one line whose eight midpoint terms are m[k][j + offset[k]], against
// ratio_of_midpoints and the pixel-order range, from the given start range.
// Returns the line of ratios and leaves the range in dmin and dmax.
std::vector<double> expect_ratio_line(int nb_col, const double *centre, const double *const m[8],
                                      const int offset[8], double &dmin, double &dmax)
{
    std::vector<double> out(nb_col, -7.0);
    double lo = dmin, hi = dmax, want_lo = dmin, want_hi = dmax;
    ratio_line(nb_col, centre, m, offset, out.data(), lo, hi);
    for (int j = 1; j < nb_col - 1; j++) {
        double mm[8];
        for (int k = 0; k < 8; k++) mm[k] = m[k][j + offset[k]];
        const double r = ratio_of_midpoints(centre[j], mm);
        if (bits_of(out[j]) != bits_of(r)) {
            ADD_FAILURE() << "pixel " << j << std::hexfloat << ": " << out[j] << " instead of " << r << "; c "
                          << centre[j] << " m " << mm[0] << " " << mm[1] << " " << mm[2] << " " << mm[3] << " "
                          << mm[4] << " " << mm[5] << " " << mm[6] << " " << mm[7];
            return out;
        }
        if (want_lo > r) want_lo = r;
        if (want_hi < r) want_hi = r;
        ratios.halfway += ratio_meets_halfway(centre[j], mm);
    }
    EXPECT_EQ(out[0], -7.0);
    EXPECT_EQ(out[nb_col - 1], -7.0);
    EXPECT_EQ(bits_of(lo), bits_of(want_lo));
    EXPECT_EQ(bits_of(hi), bits_of(want_hi));
    ratios.compared += nb_col - 2;
    dmin = lo;
    dmax = hi;
    return out;
}

// The same from a given start range.
void expect_ratio_line_from(double dmin, double dmax, int nb_col, const double *centre, const double *const m[8],
                            const int offset[8])
{
    expect_ratio_line(nb_col, centre, m, offset, dmin, dmax);
}

// centred_line on one line of ratios, against the per-pixel loop of the tool.
void expect_centred_line(const std::vector<double> &ratio, double max_estir)
{
    const int nb_col = static_cast<int>(ratio.size());
    std::vector<double> scaled(nb_col, 128.0), want_scaled(nb_col, 128.0);
    std::vector<unsigned char> level(nb_col, 255), want_level(nb_col, 255);
    std::vector<int> hist(256, 0), want_hist(256, 0);
    double lo = 10000000.0, hi = 0.0, want_lo = lo, want_hi = hi;
    centred_line(nb_col, ratio.data(), max_estir, scaled.data(), level.data(), hist.data(), lo, hi);
    for (int j = 1; j < nb_col - 1; j++) {
        const int val = centred_level(ratio[j], max_estir, &want_scaled[j]);
        want_level[j] = static_cast<unsigned char>(val > 255 ? 255 : val);
        want_hist[want_level[j]]++;
        if (want_lo > want_scaled[j]) want_lo = want_scaled[j];
        if (want_hi < want_scaled[j]) want_hi = want_scaled[j];
        centred.halfway += centred_meets_halfway(ratio[j], max_estir);
    }
    for (int j = 0; j < nb_col; j++) {
        ASSERT_EQ(bits_of(scaled[j]), bits_of(want_scaled[j]))
            << "pixel " << j << std::hexfloat << " ratio " << ratio[j] << " stretch " << max_estir;
        ASSERT_EQ(level[j], want_level[j]) << "pixel " << j << std::hexfloat << " ratio " << ratio[j];
    }
    ASSERT_EQ(hist, want_hist);
    ASSERT_EQ(bits_of(lo), bits_of(want_lo));
    ASSERT_EQ(bits_of(hi), bits_of(want_hi));
    centred.compared += nb_col - 2;
}

// Raw DEM values of a lines x cols grid in units of 1/scale metre: rolling hills, a coast
// (sea at exactly zero, land a little below and above it) or cliffs (steps from millimetres
// to thousands of metres).
enum class Terrain { hills, coast, cliffs };

std::vector<int> raw_terrain(Terrain kind, int lines, int cols, int scale, Rng &rng)
{
    std::vector<int> raw(static_cast<size_t>(lines) * cols);
    const double phase = rng.unit() * 6.0;
    for (int i = 0; i < lines; i++)
        for (int j = 0; j < cols; j++) {
            const double wave = std::sin(i / 37.0 + phase) * std::cos(j / 53.0 - phase);
            double metres;
            switch (kind) {
            case Terrain::hills: metres = 650.0 + 400.0 * wave + 3.0 * rng.unit(); break;
            case Terrain::coast: metres = std::max(-0.02, 25.0 * wave - 5.0 + rng.unit()); break;
            default:
                metres = ((i / 7 + j / 5) % 3 == 0) ? 2500.0 + 600.0 * wave : 0.004 * rng.below(40);
                break;
            }
            raw[static_cast<size_t>(i) * cols + j] = static_cast<int>(std::lround(metres * scale));
        }
    return raw;
}

// The ratios of a grid of elevations, computed as the tool does (midpoint lines between
// consecutive lines and along each line), every midpoint line and every ratio line checked.
std::vector<double> check_grid(const std::vector<double> &z, int lines, int cols)
{
    const size_t n = static_cast<size_t>(lines) * cols;
    std::vector<double> right(n), down(n), down_right(n), down_left(n), ratio(n, 0.0);
    for (int i = 0; i < lines; i++) {
        const size_t at = static_cast<size_t>(i) * cols;
        const double *line = &z[at], *next = line + cols;
        midpoint_line(cols - 1, line, line + 1, &right[at]);
        if (i + 1 < lines) {
            midpoint_line(cols, line, next, &down[at]);
            midpoint_line(cols - 1, line, next + 1, &down_right[at]);
            midpoint_line(cols - 1, line + 1, next, &down_left[at + 1]);
        }
        for (int j = 0; j < cols; j++) {
            const bool same = (j + 1 == cols || bits_of(right[at + j]) == bits_of(midpoint(line[j], line[j + 1]))) &&
                              (i + 1 == lines ||
                               (bits_of(down[at + j]) == bits_of(midpoint(line[j], next[j])) &&
                                (j + 1 == cols || bits_of(down_right[at + j]) == bits_of(midpoint(line[j], next[j + 1]))) &&
                                (j == 0 || bits_of(down_left[at + j]) == bits_of(midpoint(line[j], next[j - 1])))));
            if (!same) {
                ADD_FAILURE() << "a midpoint of line " << i << " column " << j << " differs";
                return ratio;
            }
            if (i + 1 < lines) midpoints.halfway += on_halfway(static_cast<long double>(line[j]) + next[j]);
        }
        midpoints.compared += 4 * cols;
    }
    static const int offset[8] = {-1, 0, 1, 0, 0, 0, 0, -1};
    double dmin = 10000000.0, dmax = 0.0;
    for (int i = 1; i + 1 < lines; i++) {
        const size_t up = static_cast<size_t>(i - 1) * cols, at = static_cast<size_t>(i) * cols;
        const double *m[8] = {&down_right[up], &down[up], &down_left[up], &right[at],
                              &down_right[at], &down[at], &down_left[at], &right[at]};
        const std::vector<double> line = expect_ratio_line(cols, &z[at], m, offset, dmin, dmax);
        if (::testing::Test::HasFailure()) return ratio;
        std::copy(line.begin(), line.end(), ratio.begin() + static_cast<long>(at));
    }
    return ratio;
}

TEST_P(RowArithmetic, TerrainOfEveryUnitGivesTheSameMidpointsRatiosAndLevels)
{
    Rng rng{0x243F6A8885A308D3ULL};
    const int lines = 150, cols = 1203;
    for (int interv = 0; interv <= 3; interv++) {
        const int scale = interv == 0 ? 1 : interv == 1 ? 10 : interv == 2 ? 100 : 1000;
        for (Terrain kind : {Terrain::hills, Terrain::coast, Terrain::cliffs}) {
            const std::vector<int> raw = raw_terrain(kind, lines, cols, scale, rng);
            std::vector<double> z(raw.size());
            for (size_t k = 0; k < raw.size(); k++) z[k] = elevation_in_metres(raw[k], interval_factor(interv));
            const std::vector<double> ratio = check_grid(z, lines, cols);
            if (HasFailure()) return;
            // The stretch of the whole grid, and one hundred times wider (levels near 128).
            double dmin = 10000000.0, dmax = 0.0;
            for (int i = 1; i + 1 < lines; i++)
                for (int j = 1; j + 1 < cols; j++) {
                    const double r = ratio[static_cast<size_t>(i) * cols + j];
                    if (dmin > r) dmin = r;
                    if (dmax < r) dmax = r;
                }
            const double max_estir = maximum_stretch(dmin, dmax, nullptr);
            for (double stretch : {max_estir, max_estir * 100.0})
                for (int i = 1; i + 1 < lines; i++) {
                    const double *line = &ratio[static_cast<size_t>(i) * cols];
                    expect_centred_line(std::vector<double>(line, line + cols), stretch);
                    if (HasFatalFailure()) return;
                }
        }
    }
}

// A term as varied as a line function may meet: converted 32-bit values, signed zeros,
// arbitrary finite bit patterns over many binades, close values of either sign (sums that
// cancel), the far ends of the double range, infinities and NaN.
double wild_value(Rng &rng, double near)
{
    const uint64_t r = rng.next();
    switch (r % 16) {
    case 0: case 1: case 2:
        return elevation_in_metres(static_cast<int>(static_cast<uint32_t>(r >> 16)), interval_factor(3));
    case 3: return (r >> 8) & 1 ? -0.0 : 0.0;
    case 4: case 5: case 6:
        return from_bits((r & 0x800FFFFFFFFFFFFFULL) | (uint64_t(1023 - 30 + (r >> 52) % 60) << 52));
    case 7: case 8: case 9: case 10: return ((r >> 7) & 1 ? -1.0 : 1.0) * near * (1.0 + rng.unit());
    case 11: case 12: return near;
    case 13: return (r >> 9) & 1 ? -near : near * 0.5;
    default: {
        static const double far[] = {1e300, -1e-300, 0x1p-1074, 0x1p400, 0x1p-400, 0x1.fffffffffffffp400,
                                     0x1p401,  INFINITY, -INFINITY, NAN, 1e-7, 5e-324};
        return far[(r >> 5) % (sizeof far / sizeof far[0])];
    }
    }
}

TEST_P(RowArithmetic, WildTermsGiveTheSameMidpointsAndRatios)
{
    Rng rng{0x13198A2E03707344ULL};
    const int cols = 1001;
    std::vector<double> line[9];
    for (auto &l : line) l.resize(cols);
    static const int offset[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (int round = 0; round < 1000; round++) {
        const double near = from_bits(uint64_t(1023 - 20 + rng.below(40)) << 52) * (1.0 + rng.unit());
        for (auto &l : line)
            for (double &v : l) v = wild_value(rng, near);
        expect_midpoints(line[0], line[1]);
        const double *m[8] = {line[0].data(), line[1].data(), line[2].data(), line[3].data(),
                              line[4].data(), line[5].data(), line[6].data(), line[7].data()};
        // Start ranges: the tool's, and ones the ratios cross in both directions.
        const double start[3][2] = {{10000000.0, 0.0}, {-1.0, 1.0}, {0.0, -0.0}};
        expect_ratio_line_from(start[round % 3][0], start[round % 3][1], cols, line[8].data(), m, offset);
        if (HasFailure()) return;
    }
}

// ratio_bounds_line on three lines: every ratio (roughness_ratio of each interior pixel) lies
// within the bounds when they are given. Returns whether they were.
bool expect_bounds_hold(int cols, const double *up, const double *line, const double *down)
{
    const double sizes[3] = {line_magnitude(cols, up), line_magnitude(cols, line), line_magnitude(cols, down)};
    const bool defined = !std::isnan(sizes[0]) && !std::isnan(sizes[1]) && !std::isnan(sizes[2]);
    const double largest = defined ? std::max({sizes[0], sizes[1], sizes[2]}) : NAN;
    double lo = 0.25, hi = 0.75;
    const bool given = ratio_bounds_line(cols, up, line, down, largest, lo, hi);
    if (!given) {
        EXPECT_EQ(lo, 0.25); // left alone
        EXPECT_EQ(hi, 0.75);
        return false;
    }
    for (int j = 1; j < cols - 1; j++) {
        const double n[8] = {up[j - 1], up[j], up[j + 1], line[j + 1], down[j + 1], down[j], down[j - 1], line[j - 1]};
        const double r = roughness_ratio(line[j], n);
        if (!(lo <= r && r <= hi)) {
            ADD_FAILURE() << "pixel " << j << std::hexfloat << ": " << r << " outside " << lo << " .. " << hi;
            return true;
        }
    }
    return true;
}

// Terrain of `kind` in the raw unit `interv` (0 m .. 3 mm), converted to metres.
std::vector<double> terrain_in_metres(Terrain kind, int lines, int cols, int interv, Rng &rng)
{
    const int scale = interv == 0 ? 1 : interv == 1 ? 10 : interv == 2 ? 100 : 1000;
    const std::vector<int> raw = raw_terrain(kind, lines, cols, scale, rng);
    std::vector<double> z(raw.size());
    for (size_t k = 0; k < raw.size(); k++) z[k] = elevation_in_metres(raw[k], interval_factor(interv));
    return z;
}

TEST_P(RowArithmetic, RatioBoundsHoldEveryRatio)
{
    Rng rng{0x452821E638D01377ULL};
    const int lines = 60, cols = 523;
    for (int interv = 0; interv <= 3; interv++)
        for (Terrain kind : {Terrain::hills, Terrain::coast, Terrain::cliffs}) {
            const std::vector<double> z = terrain_in_metres(kind, lines, cols, interv, rng);
            for (int i = 1; i + 1 < lines; i++) {
                const double *line = &z[static_cast<size_t>(i) * cols];
                EXPECT_TRUE(expect_bounds_hold(cols, line - cols, line, line + cols)) << "terrain line " << i;
                if (HasFailure()) return;
            }
        }
    // Wild terms: bounds where they are given, none for NaN, infinities and tiny values.
    int given = 0;
    std::vector<double> l[3];
    for (int round = 0; round < 3000; round++) {
        const double near = from_bits(uint64_t(1023 - 20 + rng.below(40)) << 52) * (1.0 + rng.unit());
        const int n = 3 + rng.below(20);
        const bool tame = round % 2 == 0; // only values of one binade around `near`, and zeros
        for (auto &v : l) {
            v.resize(n);
            for (double &x : v) x = tame ? (rng.below(8) ? near * (1.0 + rng.unit()) * (rng.below(3) ? 1 : -1) : 0.0)
                                         : wild_value(rng, near);
        }
        given += expect_bounds_hold(n, l[0].data(), l[1].data(), l[2].data());
        if (HasFailure()) return;
    }
    EXPECT_GT(given, 1500);
    const double bad[] = {NAN, INFINITY, 0x1p-1030, 0x1p501};
    for (double b : bad) EXPECT_TRUE(std::isnan(line_magnitude(3, std::vector<double>{1.0, b, 2.0}.data())));
    EXPECT_EQ(line_magnitude(4, std::vector<double>{1.0, -0x1p500, 0.0, -0.0}.data()), 0x1p500);
}

// centred_levels_line on three lines against centred_level of the per-pixel ratio, with the
// levels and their counts; false (nothing written) on the per-pixel path.
void expect_levels_line(int cols, const double *up, const double *line, const double *down, double max_estir)
{
    const double largest = std::max({line_magnitude(cols, up), line_magnitude(cols, line), line_magnitude(cols, down)});
    std::vector<unsigned char> level(cols, 7), want(cols, 7);
    std::vector<int> hist(256, 0), want_hist(256, 0);
    const bool done = centred_levels_line(cols, up, line, down, largest, max_estir, level.data(), hist.data());
    ASSERT_EQ(done, row_arithmetic_vectorised()) << std::hexfloat << max_estir << " " << largest;
    if (!done) {
        EXPECT_EQ(level, want);
        return;
    }
    for (int j = 1; j < cols - 1; j++) {
        const double n[8] = {up[j - 1], up[j], up[j + 1], line[j + 1], down[j + 1], down[j], down[j - 1], line[j - 1]};
        double scaled;
        const int val = centred_level(roughness_ratio(line[j], n), max_estir, &scaled);
        want[j] = static_cast<unsigned char>(val > 255 ? 255 : val);
        want_hist[want[j]]++;
    }
    ASSERT_EQ(level, want) << std::hexfloat << "stretch " << max_estir;
    ASSERT_EQ(hist, want_hist);
    centred.compared += cols - 2;
}

// Terrain of every unit, with its own stretch and with stretches that put one pixel of the
// line exactly on a whole distance from 128 (1, 2, 37, 127 or 128 levels), or just off it.
TEST_P(RowArithmetic, LevelsSettledFromBoundsEqualThePerPixelLevels)
{
    Rng rng{0x082EFA98EC4E6C89ULL};
    const int lines = 40, cols = 403;
    for (int interv = 0; interv <= 3; interv++)
        for (Terrain kind : {Terrain::hills, Terrain::coast, Terrain::cliffs}) {
            const std::vector<double> z = terrain_in_metres(kind, lines, cols, interv, rng);
            for (int i = 1; i + 1 < lines; i++) {
                const double *line = &z[static_cast<size_t>(i) * cols], *up = line - cols, *down = line + cols;
                double lo = 10000000.0, hi = 0.0;
                std::vector<double> r(cols, 1.0);
                for (int j = 1; j < cols - 1; j++) {
                    const double n[8] = {up[j - 1], up[j], up[j + 1], line[j + 1], down[j + 1], down[j], down[j - 1], line[j - 1]};
                    r[j] = roughness_ratio(line[j], n);
                    lo = std::min(lo, r[j]), hi = std::max(hi, r[j]);
                }
                std::vector<double> stretches = {maximum_stretch(lo, hi, nullptr)};
                const double d = difference(r[1 + rng.below(cols - 2)], 1.0);
                for (double k : {1.0, 2.0, 37.0, 127.0, 128.0})
                    for (int step : {-1, 0, 1})
                        if (d != 0.0)
                            stretches.push_back(from_bits(bits_of(std::fabs(d) / k * 128.0) + step));
                for (double s : stretches)
                    if (s > 0.0) expect_levels_line(cols, up, line, down, s);
                if (HasFatalFailure()) return;
            }
        }
}

TEST_P(RowArithmetic, SumsNextToAHalfwayPointRoundLikeTheExtendedSum)
{
    // a of odd or even last bit, b half a unit of a away, give or take 2^-64 of a's binade
    // (the tie of the first rounding) and 2^-76 of it; one in four from the far ends of the
    // exponent range.
    Rng rng{0xA4093822299F31D0ULL};
    std::vector<double> a, b;
    for (int k = 0; k < 200000; k++) {
        const int e = k % 4 ? rng.below(80) - 40 : rng.below(2046) - 1022;
        const double x = std::ldexp(1.0 + static_cast<double>(rng.next() >> 12) * 0x1p-52, e);
        const double off = std::ldexp(1.0, e - 53) + (rng.below(5) - 2) * std::ldexp(1.0, e - 64) +
                           (rng.below(3) - 1) * std::ldexp(1.0, e - 76);
        const double sign = rng.below(2) ? -1.0 : 1.0;
        a.push_back(rng.below(2) ? x : -x);
        b.push_back(sign * off);
    }
    expect_midpoints(a, b);
    // The centred sum 128 + dval: ratios just off 1 against a wide stretch.
    std::vector<double> ratio(1003);
    for (int round = 0; round < 200; round++) {
        for (double &r : ratio) r = 1.0 + (rng.below(2) ? -1.0 : 1.0) * rng.unit() * std::ldexp(1.0, -rng.below(40));
        ratio[7] = 1.0;
        expect_centred_line(ratio, std::ldexp(1.0 + rng.unit(), rng.below(12) - 3));
        if (HasFatalFailure()) return;
    }
}

TEST_P(RowArithmetic, ProductsAndQuotientsOnAHalfwayPointRoundLikeTheExtendedOnes)
{
    // Terrain pixels kept only when the extended product or quotient of their ratio falls on
    // a halfway point between two doubles, gathered into lines.
    Rng rng{0x082EFA98EC4E6C89ULL};
    std::vector<double> centre, terms[8];
    static const int offset[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    while (centre.size() < 4000) {
        const double factor = interval_factor(rng.below(4));
        const int base = rng.below(2000000) - 600000; // a third below sea level
        const double c = elevation_in_metres(base, factor);
        double m[8];
        for (double &v : m) v = midpoint(c, elevation_in_metres(base + rng.below(2001) - 1000, factor));
        if (!ratio_meets_halfway(c, m)) continue;
        centre.push_back(c);
        for (int k = 0; k < 8; k++) terms[k].push_back(m[k]);
    }
    for (size_t at = 0; at + 1000 <= centre.size(); at += 1000) {
        const double *m[8];
        for (int k = 0; k < 8; k++) m[k] = &terms[k][at];
        expect_ratio_line_from(10000000.0, 0.0, 1000, &centre[at], m, offset);
    }
    // Ratios whose scaled distance from 1 falls on a halfway point.
    std::vector<double> ratio;
    const double max_estir = 0.37;
    while (ratio.size() < 6000) {
        const double r = 1.0 + (rng.unit() - 0.5) * 0.74;
        if (centred_meets_halfway(r, max_estir)) ratio.push_back(r);
    }
    for (size_t at = 0; at < ratio.size(); at += 1000)
        expect_centred_line(std::vector<double>(ratio.begin() + at, ratio.begin() + at + 1000), max_estir);
}

TEST_P(RowArithmetic, TermsSpreadOverSevenToTenBinadesNearTheLimitOfTheExtendedSum)
{
    // Eight terms just under 2^(e+k) and a last one of binade e with odd last bits: for k = 9
    // the sum needs 65 bits and the extended sum rounds; for k = 8 it does not.
    Rng rng{0x452821E638D01377ULL};
    const int cols = 1002;
    std::vector<double> line[9];
    static const int offset[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (int round = 0; round < 400; round++) {
        const int e = rng.below(40) - 20, k = 8 + round % 3;
        for (int t = 0; t < 9; t++) {
            line[t].resize(cols);
            for (double &v : line[t]) {
                const double sign = round % 4 == 3 && rng.below(8) == 0 ? -1.0 : 1.0;
                v = t < 8 ? sign * std::ldexp(2.0 - rng.below(64) * 0x1p-52, e + k - 1)
                          : std::ldexp(1.0 + static_cast<double>(rng.next() >> 12 | 1) * 0x1p-52, e);
            }
        }
        const double *m[8] = {line[0].data(), line[1].data(), line[2].data(), line[3].data(),
                              line[4].data(), line[5].data(), line[6].data(), line[7].data()};
        expect_ratio_line_from(10000000.0, 0.0, cols, line[8].data(), m, offset);
        if (HasFailure()) return;
    }
}

TEST_P(RowArithmetic, ShortLinesAndTheSignOfAZeroRange)
{
    // Lines of 3 to 12 columns: the four-pixel blocks and the pixels left over.
    Rng rng{0xBE5466CF34E90C6CULL};
    for (int cols = 3; cols <= 12; cols++) {
        std::vector<double> a(cols), b(cols);
        for (int k = 0; k < cols; k++) a[k] = 100.0 + rng.unit(), b[k] = 99.0 + rng.unit();
        expect_midpoints(a, b);
        const double *m[8] = {a.data(), b.data(), a.data(), b.data(), a.data(), b.data(), a.data(), b.data()};
        static const int offset[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        expect_ratio_line_from(10000000.0, 0.0, cols, b.data(), m, offset);
        std::vector<double> r(a);
        r[cols / 2] = 1.0;
        expect_centred_line(r, 0.75);
    }
    expect_midpoints({}, {});
    // A centre of -0 among -0 midpoints has the ratio -0; of +0, +0. The lowest ratio is
    // the first zero met, whichever lanes the two fall in.
    for (int first = 1; first < 10; first++)
        for (int second = 1; second < 10; second++) {
            if (first == second) continue;
            std::vector<double> centre(11, 5.0);
            centre[first] = -0.0;
            centre[second] = 0.0;
            const double *m[8] = {centre.data(), centre.data(), centre.data(), centre.data(),
                                  centre.data(), centre.data(), centre.data(), centre.data()};
            static const int offset[8] = {0, 0, 0, 0, 0, 0, 0, 0};
            expect_ratio_line_from(10000000.0, 0.0, 11, centre.data(), m, offset);
            expect_ratio_line_from(10000000.0, -1.0, 11, centre.data(), m, offset);
        }
}

} // namespace
