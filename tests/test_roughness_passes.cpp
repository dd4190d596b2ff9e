// The computing passes against the per-pixel functions, for several thread counts, and the
// stretch on hand-made histograms (counts beyond 2^31 included).
#include "roughness_passes.h"

#include "pixel_arithmetic.h"
#include "row_arithmetic.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

uint64_t bits_of(double x)
{
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

struct Dem {
    int lines, cols;
    std::vector<double> z; // metres, line after line
    double at(int i, int j) const { return z[static_cast<size_t>(i) * cols + j]; }
    DemLineSource source() const
    {
        return [this](int line, double *out) {
            std::memcpy(out, &z[static_cast<size_t>(line) * cols], sizeof(double) * cols);
            return true;
        };
    }
};

// Rolling hills in millimetres converted to metres, with a sea at exactly 0 m and a shore a
// little below it when `coast`.
Dem terrain(int lines, int cols, bool coast)
{
    Dem d{lines, cols, std::vector<double>(static_cast<size_t>(lines) * cols)};
    uint64_t state = 0x9E3779B97F4A7C15ULL;
    for (int i = 0; i < lines; i++)
        for (int j = 0; j < cols; j++) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            const double wave = std::sin(i / 9.0) * std::cos(j / 13.0);
            long raw = std::lround(1000.0 * (coast ? 30.0 * wave - 8.0 : 650.0 + 400.0 * wave)) +
                       static_cast<long>(state >> 60);
            if (coast && raw < -20) raw = 0;
            d.z[static_cast<size_t>(i) * cols + j] = elevation_in_metres(static_cast<int>(raw), 0.001);
        }
    return d;
}

// What the tool's loops give, pixel after pixel in line and column order.
struct Outcome {
    ValueRange ratios;
    double max_estir = 0.0;
    std::vector<unsigned char> grid;
    CentredScaling centred{};
};

void widen(double v, ValueRange &r)
{
    if (r.dmin > v) r.dmin = v;
    if (r.dmax < v) r.dmax = v;
}

Outcome per_pixel(const Dem &d)
{
    Outcome o;
    std::vector<double> ratio(d.z.size());
    for (int i = 1; i < d.lines - 1; i++)
        for (int j = 1; j < d.cols - 1; j++) {
            const double n[8] = {d.at(i - 1, j - 1), d.at(i - 1, j), d.at(i - 1, j + 1), d.at(i, j + 1),
                                 d.at(i + 1, j + 1), d.at(i + 1, j), d.at(i + 1, j - 1), d.at(i, j - 1)};
            widen(ratio[static_cast<size_t>(i) * d.cols + j] = roughness_ratio(d.at(i, j), n), o.ratios);
        }
    o.max_estir = maximum_stretch(o.ratios.dmin, o.ratios.dmax, nullptr);
    o.grid.assign(d.z.size(), 255);
    for (int i = 1; i < d.lines - 1; i++)
        for (int j = 1; j < d.cols - 1; j++) {
            const size_t at = static_cast<size_t>(i) * d.cols + j;
            double scaled;
            const int val = centred_level(ratio[at], o.max_estir, &scaled);
            o.grid[at] = static_cast<unsigned char>(val > 255 ? 255 : val);
            o.centred.tab_hist[o.grid[at]]++;
            widen(scaled, o.centred.scaled);
        }
    return o;
}

// Both passes, as the tool chains them; the interior lines reported go into `lines_seen`.
Outcome passes(const Dem &d, int threads, std::vector<int> *lines_seen = nullptr)
{
    Outcome o;
    PassOptions options;
    options.threads = threads;
    o.grid.assign(d.z.size(), 0x5A);
    std::vector<unsigned char *> rows(d.lines);
    for (int i = 0; i < d.lines; i++) rows[i] = &o.grid[static_cast<size_t>(i) * d.cols];
    EXPECT_TRUE(ratio_range_pass(d.lines, d.cols, d.source(), options, o.ratios));
    o.max_estir = maximum_stretch(o.ratios.dmin, o.ratios.dmax, nullptr);
    const LineProgress log = [lines_seen](int i) {
        if (lines_seen) lines_seen->push_back(i);
    };
    EXPECT_TRUE(centred_pass(d.lines, d.cols, d.source(), o.ratios, o.max_estir, rows.data(), options, log, o.centred));
    return o;
}

void expect_same(const Outcome &got, const Outcome &want, const char *what)
{
    SCOPED_TRACE(what);
    EXPECT_EQ(bits_of(got.ratios.dmin), bits_of(want.ratios.dmin)) << got.ratios.dmin << " " << want.ratios.dmin;
    EXPECT_EQ(bits_of(got.ratios.dmax), bits_of(want.ratios.dmax)) << got.ratios.dmax << " " << want.ratios.dmax;
    EXPECT_EQ(bits_of(got.centred.scaled.dmin), bits_of(want.centred.scaled.dmin));
    EXPECT_EQ(bits_of(got.centred.scaled.dmax), bits_of(want.centred.scaled.dmax));
    EXPECT_TRUE(got.grid == want.grid);
    for (int v = 0; v < 256; v++) EXPECT_EQ(got.centred.tab_hist[v], want.centred.tab_hist[v]) << "level " << v;
}

std::vector<int> interior_lines(int lines)
{
    std::vector<int> v;
    for (int i = 1; i < lines - 1; i++) v.push_back(i);
    return v;
}

// Terrain of a few hundred lines (many chunks, cut differently for each thread count), on
// hills and on a coast at sea level (ratios in the millions, zeros).
// Also with the line functions forced to the per-pixel path, where no level is settled from
// bounds.
TEST(RoughnessPasses, EqualThePerPixelLoopsForEveryThreadCount)
{
    for (bool per_pixel_path : {false, true}) {
        force_per_pixel_arithmetic(per_pixel_path);
        for (const Dem &d : {terrain(203, 131, false), terrain(160, 257, true)}) {
            const Outcome want = per_pixel(d);
            ASSERT_GT(want.ratios.dmax, want.ratios.dmin);
            for (int threads : {1, 2, 7}) {
                std::vector<int> seen;
                expect_same(passes(d, threads, &seen), want, threads == 1 ? "1 thread" : threads == 2 ? "2" : "7");
                EXPECT_EQ(seen, interior_lines(d.lines));
            }
        }
    }
    force_per_pixel_arithmetic(false);
}

// Grids of 1 to 4 lines and columns, and fewer lines than threads: every cell written, the
// border white, every interior line reported once, in order.
TEST(RoughnessPasses, SmallAndNarrowGrids)
{
    for (int lines = 1; lines <= 6; lines++)
        for (int cols = 1; cols <= 5; cols++) {
            const Dem d = terrain(lines, cols, false);
            const Outcome want = per_pixel(d);
            for (int threads : {1, 2, 7}) {
                std::vector<int> seen;
                SCOPED_TRACE(testing::Message() << lines << " x " << cols << ", " << threads << " threads");
                expect_same(passes(d, threads, &seen), want, "");
                EXPECT_EQ(seen, interior_lines(lines));
            }
        }
}

// Ratios beyond the start values of the range: every ratio at least 10000000.0 (a centre at
// 0 m among neighbours at 10 m), or none above 0.0 (a centre below 0 m among higher ones).
// The range keeps its start value, and the centred range is still that of the pixels.
TEST(RoughnessPasses, RatiosBeyondTheStartValues)
{
    for (double centre : {0.0, -1.0})
        for (int cols : {3, 4, 9}) {
            Dem d{3, cols, std::vector<double>(3 * static_cast<size_t>(cols), 10.0)};
            for (int j = 0; j < cols; j++) d.z[static_cast<size_t>(j)] = 10.0 + j; // ratios differ
            for (int j = 1; j < cols - 1; j++) d.z[static_cast<size_t>(cols) + j] = centre;
            const Outcome want = per_pixel(d);
            ASSERT_TRUE(centre == 0.0 ? want.ratios.dmin == 10000000.0 : want.ratios.dmax == 0.0);
            for (int threads : {1, 2}) expect_same(passes(d, threads), want, centre == 0.0 ? "huge" : "negative");
        }
}

// A flat region of -0.0 and one of 0.0 give ratios -0 and +0 below every other ratio: the
// minimum is the zero met first, even when the two lie in different chunks.
TEST(RoughnessPasses, FirstZeroMetIsTheMinimum)
{
    for (bool negative_first : {true, false}) {
        Dem d = terrain(120, 40, false);
        for (int i = 0; i < d.lines; i++)
            for (int j = 0; j < d.cols; j++) {
                double &z = d.z[static_cast<size_t>(i) * d.cols + j];
                if (i >= 50 && i < 60) z = negative_first ? -0.0 : 0.0;
                if (i >= 90 && i < 100) z = negative_first ? 0.0 : -0.0;
            }
        const Outcome want = per_pixel(d);
        ASSERT_EQ(want.ratios.dmin, 0.0);
        ASSERT_EQ(std::signbit(want.ratios.dmin), negative_first);
        for (int threads : {1, 2, 7}) expect_same(passes(d, threads), want, negative_first ? "-0 first" : "+0 first");
    }
}

// Flat ground (every ratio 1) with one pit and one peak a millimetre deep or high, in the
// first and the last interior lines and columns, or in the middle: the range pass, which
// computes exactly only the lines that may hold an extreme, still finds them.
TEST(RoughnessPasses, LoneExtremesOnFlatGround)
{
    const int at[][4] = {{1, 1, 298, 48}, {298, 48, 1, 1}, {150, 25, 151, 25}, {7, 2, 7, 3}};
    for (const auto &p : at) {
        Dem d = terrain(300, 50, false);
        std::fill(d.z.begin(), d.z.end(), 1000.0);
        d.z[static_cast<size_t>(p[0]) * d.cols + p[1]] = 999.999;
        d.z[static_cast<size_t>(p[2]) * d.cols + p[3]] = 1000.001;
        const Outcome want = per_pixel(d);
        ASSERT_LT(want.ratios.dmin, 1.0);
        ASSERT_GT(want.ratios.dmax, 1.0);
        for (int threads : {1, 2, 7}) expect_same(passes(d, threads), want, "flat");
    }
}

// A source that fails on one line stops either pass, on any number of threads.
TEST(RoughnessPasses, FailingSourceFailsThePass)
{
    const Dem d = terrain(300, 64, false);
    for (int bad_line : {0, 150, 299})
        for (int threads : {1, 2, 7}) {
            std::atomic<int> calls{0};
            const DemLineSource source = [&](int line, double *out) {
                calls++;
                return line != bad_line && d.source()(line, out);
            };
            PassOptions options;
            options.threads = threads;
            ValueRange range;
            EXPECT_FALSE(ratio_range_pass(d.lines, d.cols, source, options, range)) << bad_line;
            std::vector<unsigned char> grid(d.z.size());
            std::vector<unsigned char *> rows(d.lines);
            for (int i = 0; i < d.lines; i++) rows[i] = &grid[static_cast<size_t>(i) * d.cols];
            CentredScaling out;
            EXPECT_FALSE(centred_pass(d.lines, d.cols, source, range, 0.5, rows.data(), options, LineProgress(), out));
            EXPECT_LT(calls.load(), 2 * 2 * d.lines); // the pass stopped: at most a few lines twice
        }
}

// The pass progress starts at 0, never goes back, and ends at 1, on the calling thread.
TEST(RoughnessPasses, PassProgressRisesToOne)
{
    const Dem d = terrain(500, 30, false);
    for (int threads : {1, 2}) {
        std::vector<double> seen;
        PassOptions options;
        options.threads = threads;
        options.progress = [&](const char *name, double fraction) {
            EXPECT_STREQ(name, ratio_pass_name);
            seen.push_back(fraction);
        };
        ValueRange range;
        ASSERT_TRUE(ratio_range_pass(d.lines, d.cols, d.source(), options, range));
        ASSERT_GE(seen.size(), 3u);
        EXPECT_EQ(seen.front(), 0.0);
        EXPECT_EQ(seen.back(), 1.0);
        for (size_t k = 1; k < seen.size(); k++) EXPECT_LE(seen[k - 1], seen[k]);
    }
}

// ---------------------------------------------------------------------------------------
// Stretch
// ---------------------------------------------------------------------------------------
struct Histogram {
    int64_t h[256] = {};
};

TEST(Stretch, CutOffsOnSmallHistograms)
{
    Histogram a; // 10 pixels at levels 100 .. 109, one each
    for (int v = 100; v < 110; v++) a.h[v] = 1;
    EXPECT_EQ(lower_cutoff(a.h, 100, 109, 2), 101); // the third pixel is at 102
    EXPECT_EQ(upper_cutoff(a.h, 100, 109, 2), 108);
    EXPECT_EQ(lower_cutoff(a.h, 100, 109, 0), 99);
    EXPECT_EQ(upper_cutoff(a.h, 100, 109, 0), 110);
    EXPECT_EQ(lower_cutoff(a.h, 100, 109, 10), 110); // never passed: max + 1
    EXPECT_EQ(upper_cutoff(a.h, 100, 109, 10), 99);  // min - 1
    // The search runs from the truncated minimum and maximum, not over the whole histogram.
    EXPECT_EQ(lower_cutoff(a.h, 105, 107, 1), 105);
    EXPECT_EQ(upper_cutoff(a.h, 105, 107, 1), 107);
    // min = max = 256 (a deepest hollow alone): level 256 is visited and counts nothing.
    EXPECT_EQ(lower_cutoff(a.h, 256, 256, 0), 257);
    EXPECT_EQ(upper_cutoff(a.h, 256, 256, 0), 255);
    EXPECT_EQ(lower_cutoff(a.h, 256, 256, -1), 255);
    EXPECT_EQ(upper_cutoff(a.h, 256, 256, -1), 257);
    // No interior pixel: min 10000000, max 0: nothing is visited.
    EXPECT_EQ(lower_cutoff(a.h, 10000000, 0, 0), 1);
    EXPECT_EQ(upper_cutoff(a.h, 10000000, 0, 0), 9999999);
}

TEST(Stretch, ThresholdAsTheIntOneBelowTwoToThe31AndBeyond)
{
    EXPECT_EQ(stretch_iseuil(344 * 403, 2.0), truncate_threshold(stretch_threshold(344 * 403, 2.0)));
    EXPECT_EQ(stretch_iseuil(4000 * 4000, 2.5), 400000);
    EXPECT_EQ(stretch_iseuil(4000 * 4000, -1.0), -160000);
    const int64_t big = int64_t{46400} * 46401; // 2153006400 pixels
    EXPECT_EQ(stretch_iseuil(big, 2.0), 43060128);
    EXPECT_EQ(stretch_iseuil(big, 150.0), 3229509600); // beyond the int range
    EXPECT_EQ(stretch_iseuil(big, 1e300), INT64_MAX);
    EXPECT_EQ(stretch_iseuil(big, -1e300), INT64_MIN);
    EXPECT_EQ(stretch_iseuil(big, NAN), INT64_MIN);
}

// A flat DEM of 2^32 interior pixels: every pixel at grey 128. Counting in int made every
// pixel white; the stretch must give the middle of the cut-offs.
TEST(Stretch, CountsBeyondTwoToThe31)
{
    Histogram flat;
    flat.h[128] = int64_t{1} << 32;
    const int64_t iseuil = stretch_iseuil(flat.h[128], 2.0);
    const int lo = lower_cutoff(flat.h, 128, 128, iseuil), hi = upper_cutoff(flat.h, 128, 128, iseuil);
    EXPECT_EQ(lo, 127);
    EXPECT_EQ(hi, 129);
    unsigned char mapping[256];
    stretch_mapping(lo, hi, mapping);
    EXPECT_EQ(mapping[128], 85); // 1 + 253 x 1/3

    Histogram spread; // 3e9 at 0 and 255, 5e9 at 128: 11e9 pixels
    spread.h[0] = spread.h[255] = 3000000000;
    spread.h[128] = 5000000000;
    const int64_t cut = stretch_iseuil(11000000000, 30.0); // 3.3e9: passed only with level 128
    EXPECT_EQ(cut, 3300000000);
    EXPECT_EQ(lower_cutoff(spread.h, 0, 255, cut), 127);
    EXPECT_EQ(upper_cutoff(spread.h, 0, 255, cut), 129);
    EXPECT_EQ(lower_cutoff(spread.h, 0, 255, 2999999999), -1);
    EXPECT_EQ(upper_cutoff(spread.h, 0, 255, 3000000000), 129);
    EXPECT_EQ(lower_cutoff(spread.h, 0, 255, 11000000000), 256); // never passed
}

TEST(Stretch, MappingOfEveryLevel)
{
    unsigned char m[256];
    stretch_mapping(10, 20, m);
    EXPECT_EQ(m[0], 0);
    EXPECT_EQ(m[9], 0);
    EXPECT_EQ(m[10], 1);
    EXPECT_EQ(m[20], 231); // 1 + 253 x 10/11
    EXPECT_EQ(m[21], 255);
    EXPECT_EQ(m[255], 255);
    stretch_mapping(200, 100, m); // crossed: above the upper cut-off wins
    EXPECT_EQ(m[50], 0);
    EXPECT_EQ(m[150], 255);
    EXPECT_EQ(m[250], 255);
    for (int v = 0; v < 256; v++) EXPECT_EQ(m[v], stretched_level(v, 200, 100));
}

TEST(ThreadCount, EnvironmentTextOrHardware)
{
    struct Case {
        const char *text;
        unsigned hardware;
        int threads;
        bool ignored;
    } cases[] = {
        {nullptr, 2, 2, false}, {nullptr, 0, 1, false},   {nullptr, 1000, 256, false}, {"1", 8, 1, false},
        {"3", 2, 3, false},     {"007", 2, 7, false},     {"4000", 2, 256, false},     {"99999999999999", 2, 256, false},
        {"0", 2, 2, true},      {"", 2, 2, true},         {"-2", 2, 2, true},          {"2x", 4, 4, true},
        {" 2", 4, 4, true},     {"2.5", 0, 1, true},      {"abc", 3, 3, true},
    };
    for (const Case &c : cases) {
        bool ignored = !c.ignored;
        EXPECT_EQ(choose_thread_count(c.text, c.hardware, &ignored), c.threads) << (c.text ? c.text : "(unset)");
        EXPECT_EQ(ignored, c.ignored) << (c.text ? c.text : "(unset)");
    }
    EXPECT_EQ(choose_thread_count("x", 2, nullptr), 2);
}

} // namespace
