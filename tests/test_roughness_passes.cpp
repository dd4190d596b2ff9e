// The computing passes against the per-pixel functions, for several thread counts, and the
// stretch on hand-made histograms (counts beyond 2^31 included).
#include "roughness_passes.h"

#include "pixel_arithmetic.h"
#include "row_arithmetic.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    std::vector<double> z;            // metres, line after line
    std::vector<unsigned char> valid; // empty: every pixel valid
    double at(int i, int j) const { return z[static_cast<size_t>(i) * cols + j]; }
    bool ok(int i, int j) const { return valid.empty() || valid[static_cast<size_t>(i) * cols + j]; }
    bool has_ratio(int i, int j) const
    {
        if (i < 1 || j < 1 || i > lines - 2 || j > cols - 2) return false;
        for (int di = -1; di <= 1; di++)
            for (int dj = -1; dj <= 1; dj++)
                if (!ok(i + di, j + dj)) return false;
        return true;
    }
    // The lines from any thread, or a block at a time from the calling thread.
    RasterInput input(bool any_thread = true, int block_lines = 0) const
    {
        RasterInput in;
        in.nb_lig = lines, in.nb_col = cols, in.masked = !valid.empty();
        in.any_thread = any_thread, in.block_lines = block_lines;
        in.read = [this](int first, int count, double *out, unsigned char *v) {
            EXPECT_TRUE(first >= 0 && count > 0 && first + count <= lines) << first << " " << count;
            const size_t at = static_cast<size_t>(first) * cols, n = static_cast<size_t>(count) * cols;
            std::memcpy(out, &z[at], sizeof(double) * n);
            if (v) std::memcpy(v, &valid[at], n);
            return true;
        };
        return in;
    }
};

// Rolling hills in millimetres converted to metres, with a sea at exactly 0 m and a shore a
// little below it when `coast`.
Dem terrain(int lines, int cols, bool coast)
{
    Dem d{lines, cols, std::vector<double>(static_cast<size_t>(lines) * cols), {}};
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

// Near-flat ground, every ratio within a few ulps of 1: a plane in millimetres, on which the
// bounds leave most levels open.
Dem near_flat(int lines, int cols)
{
    Dem d{lines, cols, std::vector<double>(static_cast<size_t>(lines) * cols), {}};
    for (int i = 0; i < lines; i++)
        for (int j = 0; j < cols; j++)
            d.z[static_cast<size_t>(i) * cols + j] = elevation_in_metres(1000000 + 7 * j + 5 * i, 0.001);
    return d;
}

// What the tool's loops give, pixel after pixel in line and column order, leaving out the
// pixels without a ratio; and the stretch for a coefficient of 2.
struct Outcome {
    ValueRange ratios;
    double max_estir = 0.0;
    std::vector<unsigned char> grid, stretched;
    std::vector<double> ratio;
    ValueRange scaled;
    LevelTally tally;
    int64_t pixel_count = 0;
};

void widen(double v, ValueRange &r)
{
    if (r.dmin > v) r.dmin = v;
    if (r.dmax < v) r.dmax = v;
}

void stretch_outcome(int lines, int cols, Outcome &o)
{
    o.pixel_count = static_cast<int64_t>(lines) * cols - o.tally.without_ratio;
    const int64_t iseuil = stretch_iseuil(o.pixel_count, 2.0);
    const int min = static_cast<int>(o.scaled.dmin), max = static_cast<int>(o.scaled.dmax);
    unsigned char mapping[256];
    stretch_mapping(lower_cutoff(o.tally.tab_hist, min, max, iseuil), upper_cutoff(o.tally.tab_hist, min, max, iseuil),
                    mapping);
    o.stretched.resize(o.grid.size());
    for (size_t k = 0; k < o.grid.size(); k++) o.stretched[k] = mapping[o.grid[k]];
}

Outcome per_pixel(const Dem &d)
{
    Outcome o;
    o.ratio.assign(d.z.size(), NAN);
    for (int i = 1; i < d.lines - 1; i++)
        for (int j = 1; j < d.cols - 1; j++) {
            if (!d.has_ratio(i, j)) continue;
            const double n[8] = {d.at(i - 1, j - 1), d.at(i - 1, j), d.at(i - 1, j + 1), d.at(i, j + 1),
                                 d.at(i + 1, j + 1), d.at(i + 1, j), d.at(i + 1, j - 1), d.at(i, j - 1)};
            widen(o.ratio[static_cast<size_t>(i) * d.cols + j] = roughness_ratio(d.at(i, j), n), o.ratios);
        }
    o.max_estir = maximum_stretch(o.ratios.dmin, o.ratios.dmax, nullptr);
    o.grid.assign(d.z.size(), 255);
    for (int i = 1; i < d.lines - 1; i++)
        for (int j = 1; j < d.cols - 1; j++) {
            const size_t at = static_cast<size_t>(i) * d.cols + j;
            if (!d.has_ratio(i, j)) {
                o.tally.without_ratio++;
                continue;
            }
            double scaled;
            const int val = centred_level(o.ratio[at], o.max_estir, &scaled);
            o.grid[at] = static_cast<unsigned char>(val > 255 ? 255 : val);
            o.tally.tab_hist[o.grid[at]]++;
            widen(scaled, o.scaled);
        }
    stretch_outcome(d.lines, d.cols, o);
    return o;
}

// Both passes, as the tool chains them, the ratios asked for in a pass of their own; the
// interior lines reported go into `lines_seen`. Every block is delivered once, in order.
Outcome passes(const Dem &d, int threads, std::vector<int> *lines_seen = nullptr, bool any_thread = true,
               int block_lines = 0)
{
    Outcome o;
    PassOptions options;
    options.threads = threads;
    const RasterInput in = d.input(any_thread, block_lines);
    PartialRange met;
    EXPECT_TRUE(ratio_range_pass(in, options, met));
    o.ratios = tool_range(met);
    o.max_estir = maximum_stretch(o.ratios.dmin, o.ratios.dmax, nullptr);
    o.grid.assign(d.z.size(), 0x5A);
    o.ratio.assign(d.z.size(), 7.0);
    int next = 0;
    LevelRequest request;
    request.line_progress = [lines_seen](int i) {
        if (lines_seen) lines_seen->push_back(i);
    };
    request.sink = [&](const LevelLines &l) {
        EXPECT_EQ(l.first, next);
        EXPECT_TRUE(l.centred && !l.ratio && !l.stretched);
        next = l.first + l.count;
        std::memcpy(&o.grid[static_cast<size_t>(l.first) * d.cols], l.centred, static_cast<size_t>(l.count) * d.cols);
    };
    EXPECT_TRUE(levels_pass(in, o.max_estir, options, request, o.tally));
    EXPECT_EQ(next, d.lines);
    o.scaled = tool_range(centred_range(met, o.max_estir));
    LevelRequest ratios;
    ratios.centred = false, ratios.ratio = true;
    ratios.sink = [&](const LevelLines &l) {
        std::copy(l.ratio, l.ratio + static_cast<size_t>(l.count) * d.cols, &o.ratio[static_cast<size_t>(l.first) * d.cols]);
    };
    LevelTally none;
    EXPECT_TRUE(levels_pass(in, o.max_estir, options, ratios, none));
    EXPECT_EQ(none.without_ratio, 0);
    stretch_outcome(d.lines, d.cols, o);
    return o;
}

void expect_same(const Outcome &got, const Outcome &want, const char *what)
{
    SCOPED_TRACE(what);
    EXPECT_EQ(bits_of(got.ratios.dmin), bits_of(want.ratios.dmin)) << got.ratios.dmin << " " << want.ratios.dmin;
    EXPECT_EQ(bits_of(got.ratios.dmax), bits_of(want.ratios.dmax)) << got.ratios.dmax << " " << want.ratios.dmax;
    EXPECT_EQ(bits_of(got.scaled.dmin), bits_of(want.scaled.dmin));
    EXPECT_EQ(bits_of(got.scaled.dmax), bits_of(want.scaled.dmax));
    EXPECT_TRUE(got.grid == want.grid);
    EXPECT_TRUE(got.stretched == want.stretched);
    EXPECT_EQ(got.pixel_count, want.pixel_count);
    for (int v = 0; v < 256; v++) EXPECT_EQ(got.tally.tab_hist[v], want.tally.tab_hist[v]) << "level " << v;
    size_t ratio_differences = 0;
    for (size_t k = 0; k < want.ratio.size(); k++) ratio_differences += bits_of(got.ratio[k]) != bits_of(want.ratio[k]);
    EXPECT_EQ(ratio_differences, 0u);
}

std::vector<int> interior_lines(int lines)
{
    std::vector<int> v;
    for (int i = 1; i < lines - 1; i++) v.push_back(i);
    return v;
}

// Terrain of a few hundred lines (many chunks, cut differently for each thread count), on
// hills, on a coast at sea level (ratios in the millions, zeros) and on near-flat ground.
// Also with the line functions forced to the per-pixel path, where no level is settled from
// bounds.
TEST(RoughnessPasses, EqualThePerPixelLoopsForEveryThreadCount)
{
    for (bool per_pixel_path : {false, true}) {
        force_per_pixel_arithmetic(per_pixel_path);
        for (const Dem &d : {terrain(203, 131, false), terrain(160, 257, true), near_flat(400, 61)}) {
            const Outcome want = per_pixel(d);
            ASSERT_GT(want.ratios.dmax, want.ratios.dmin);
            if (d.lines == 400) {
                ASSERT_LT(want.max_estir, 1e-14);
            }
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
            Dem d{3, cols, std::vector<double>(3 * static_cast<size_t>(cols), 10.0), {}};
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

// Lines so wide that many threads would keep too much scratch are cut into strips of
// columns, each a chunk: the same bytes, with and without a mask, and +0 / -0 extremes met in
// pixel order across strips.
TEST(RoughnessPasses, WideLinesInStripsOnManyThreads)
{
    for (int variant = 0; variant < 3; variant++) {
        Dem d = terrain(9, 7001, variant == 1);
        if (variant == 2) {
            d.valid.assign(d.z.size(), 1);
            for (int j = 2000; j < 2600; j++) d.valid[4 * static_cast<size_t>(d.cols) + j] = 0;
            for (int i = 0; i < d.lines; i++) { // -0 in a later strip of earlier lines than +0
                double *line = &d.z[static_cast<size_t>(i) * d.cols];
                if (i < 4) std::fill(line + 3300, line + 3400, -0.0);
                if (i >= 4) std::fill(line + 100, line + 200, 0.0);
            }
        }
        const Outcome want = per_pixel(d);
        if (variant == 2) {
            ASSERT_TRUE(want.ratios.dmin == 0.0 && std::signbit(want.ratios.dmin));
        }
        for (int threads : {64, 200}) expect_same(passes(d, threads), want, variant == 2 ? "masked, zeros" : "wide");
    }
}

// A reader that fails on one line stops either pass, on any number of threads, whether it
// serves any thread or the calling thread a block at a time.
TEST(RoughnessPasses, FailingReaderFailsThePass)
{
    const Dem d = terrain(300, 64, false);
    for (bool any_thread : {true, false})
        for (int bad_line : {0, 150, 299})
            for (int threads : {1, 2, 7}) {
                std::atomic<int> calls{0};
                RasterInput in = d.input(any_thread, 16);
                const LineReader good = in.read;
                in.read = [&](int first, int count, double *out, unsigned char *v) {
                    calls++;
                    return !(first <= bad_line && bad_line < first + count) && good(first, count, out, v);
                };
                PassOptions options;
                options.threads = threads;
                PartialRange range;
                EXPECT_FALSE(ratio_range_pass(in, options, range)) << bad_line;
                LevelTally tally;
                EXPECT_FALSE(levels_pass(in, 0.5, options, LevelRequest(), tally));
                EXPECT_LT(calls.load(), 2 * 2 * d.lines); // the pass stopped: at most a few lines twice
            }
}

// The pass progress starts at 0, never goes back, and ends at 1, on the calling thread; a
// cancellation asked between chunks ends the pass with PassCancelled.
TEST(RoughnessPasses, PassProgressRisesToOneAndCancellationStops)
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
        PartialRange range;
        ASSERT_TRUE(ratio_range_pass(d.input(), options, range));
        ASSERT_GE(seen.size(), 3u);
        EXPECT_EQ(seen.front(), 0.0);
        EXPECT_EQ(seen.back(), 1.0);
        for (size_t k = 1; k < seen.size(); k++) EXPECT_LE(seen[k - 1], seen[k]);
        int asked = 0;
        const int stop_at = threads == 1 ? 3 : 1; // before the first chunk, or between two
        options.progress = PassProgress();
        options.cancelled = [&asked, stop_at] { return ++asked == stop_at; };
        EXPECT_THROW(ratio_range_pass(d.input(), options, range), PassCancelled);
        EXPECT_EQ(asked, stop_at);
    }
}

// ---------------------------------------------------------------------------------------
// Nodata, and the map steps on blocks of lines
// ---------------------------------------------------------------------------------------
// Masks drawn on a 40 x 37 terrain: a pixel has a ratio when its nine window pixels are valid.
enum class Mask { hole, collar, single_window, all_valid, none_valid, scattered };

Dem masked(Mask kind)
{
    Dem d = terrain(40, 37, false);
    d.valid.assign(d.z.size(), 1);
    uint64_t state = 12345;
    for (int i = 0; i < d.lines; i++)
        for (int j = 0; j < d.cols; j++) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            unsigned char &v = d.valid[static_cast<size_t>(i) * d.cols + j];
            switch (kind) {
            case Mask::hole: v = !(i >= 12 && i < 20 && j >= 5 && j < 9) && !(i == 30 && j == 30); break;
            case Mask::collar: v = i >= 2 && i < d.lines - 3 && j >= 1 + i % 4 && j < d.cols - 2; break;
            case Mask::single_window: v = i >= 20 && i < 23 && j >= 10 && j < 13; break;
            case Mask::all_valid: break;
            case Mask::none_valid: v = 0; break;
            case Mask::scattered: v = (state >> 58) ? 1 + (state >> 20) % 255 : 0; break; // valid: any nonzero
            }
            if (!v) d.z[static_cast<size_t>(i) * d.cols + j] = (state >> 40) % 3 ? NAN : -1e300; // never read
        }
    return d;
}

// Every mask against the per-pixel loops, for threads, readers and blocks of any size; a mask
// with every pixel valid gives what no mask gives; no valid pixel gives the start values.
TEST(Nodata, MasksAgainstThePerPixelLoops)
{
    for (Mask kind : {Mask::hole, Mask::collar, Mask::single_window, Mask::all_valid, Mask::none_valid,
                      Mask::scattered}) {
        const Dem d = masked(kind);
        const Outcome want = per_pixel(d);
        SCOPED_TRACE(testing::Message() << "mask " << static_cast<int>(kind));
        for (int threads : {1, 3})
            for (int block_lines : {0, 1, 6})
                for (bool any_thread : {true, false}) {
                    expect_same(passes(d, threads, nullptr, any_thread, block_lines), want, "");
                }
        RoughnessFigures f; // the same chained by roughness_figures
        ASSERT_TRUE(roughness_figures(d.input(false, 4), 2.0, PassOptions(), nullptr, f));
        EXPECT_EQ(bits_of(f.ratios.dmin), bits_of(want.ratios.dmin));
        EXPECT_EQ(bits_of(f.centred.dmax), bits_of(want.scaled.dmax));
        EXPECT_EQ(f.pixel_count, want.pixel_count);
        EXPECT_EQ(f.iseuil, stretch_iseuil(want.pixel_count, 2.0));
        for (size_t k = 0; k < d.z.size(); k++) ASSERT_EQ(f.mapping[want.grid[k]], want.stretched[k]) << k;
        if (kind == Mask::all_valid) {
            Dem plain = d;
            plain.valid.clear();
            expect_same(passes(plain, 2), want, "no mask");
        }
        if (kind == Mask::none_valid) {
            EXPECT_EQ(want.ratios.dmin, 10000000.0);
            EXPECT_EQ(want.ratios.dmax, 0.0);
            EXPECT_EQ(want.pixel_count, 40 * 37 - 38 * 35);
        }
        if (kind == Mask::single_window) {
            EXPECT_EQ(want.tally.tab_hist[0] + want.tally.tab_hist[255], 1); // its ratio is the whole stretch
        }
    }
}

// The map steps on blocks of every size, folded in line order, give the figures and the bytes
// of the per-pixel loops; an empty partial range folds to nothing.
TEST(Blocks, AnyCuttingFoldsToTheWholeRaster)
{
    for (Mask kind : {Mask::hole, Mask::all_valid, Mask::none_valid}) {
        Dem d = masked(kind);
        if (kind == Mask::all_valid) d.valid.clear();
        const Outcome want = per_pixel(d);
        for (int size : {1, 2, 7, d.lines}) {
            SCOPED_TRACE(testing::Message() << "mask " << static_cast<int>(kind) << ", blocks of " << size);
            const auto block = [&](int from, int to) { // lines from .. to - 1 with their halo
                const int a = std::max(0, from - 1), b = std::min(d.lines, to + 1);
                const size_t at = static_cast<size_t>(a) * d.cols;
                return LineBlock{d.lines, d.cols, a, b - a, &d.z[at], d.valid.empty() ? nullptr : &d.valid[at]};
            };
            PartialRange met;
            for (int from = 0; from < d.lines; from += size) {
                const PartialRange part = block_ratio_range(block(from, std::min(d.lines, from + size)), from,
                                                            std::min(d.lines, from + size));
                fold_range(part, met);
                fold_range(PartialRange(), met);
            }
            Outcome got;
            got.ratios = tool_range(met);
            got.max_estir = maximum_stretch(got.ratios.dmin, got.ratios.dmax, nullptr);
            got.grid.resize(d.z.size());
            got.ratio.resize(d.z.size());
            for (int from = 0; from < d.lines; from += size) {
                const int to = std::min(d.lines, from + size);
                const size_t at = static_cast<size_t>(from) * d.cols;
                LevelTally tally;
                block_levels(block(from, to), from, to, got.max_estir, &got.grid[at], &got.ratio[at], tally);
                got.tally.add(tally);
            }
            got.scaled = tool_range(centred_range(met, got.max_estir));
            stretch_outcome(d.lines, d.cols, got);
            expect_same(got, want, "");
        }
    }
}

// A block that lacks the halo of its lines, or lines outside the raster, are refused.
TEST(Blocks, MissingHaloAndLinesOutsideAreRefused)
{
    const Dem d = terrain(10, 8, false);
    const LineBlock lines_2_to_5{10, 8, 2, 4, &d.z[16], nullptr};
    LevelTally tally;
    EXPECT_NO_THROW(block_ratio_range(lines_2_to_5, 3, 5));
    EXPECT_THROW(block_ratio_range(lines_2_to_5, 2, 5), BlockError);
    EXPECT_THROW(block_levels(lines_2_to_5, 3, 6, 1.0, nullptr, nullptr, tally), BlockError);
    EXPECT_THROW(block_ratio_range(lines_2_to_5, 5, 11), BlockError);
    EXPECT_THROW(block_ratio_range(lines_2_to_5, -1, 3), BlockError);
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
