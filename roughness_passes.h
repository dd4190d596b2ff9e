// The whole-raster passes of the roughness computation: the map steps of roughness_blocks.h
// run over every line of a raster on several threads, their results folded in line order.
// Elevations come from the caller a block of lines at a time (or a line at a time from any
// thread), results go to the caller's sink a block of lines at a time, in line order; no
// pass holds more than a few blocks of lines. Nothing here prints, asks or keeps state
// between calls; every result is the same, bit for bit, for every thread count and every
// size of block, and the same as the per-pixel loops of the tool in line and column order.
//
// A run takes:
//   1. ratio_range_pass: the partial range of the ratios (ratio_figures then gives the
//      ratio range and the maximum stretch, roughness_stretch.h);
//   2. levels_pass: the counts of the centred levels (stretch_figures then gives the centred
//      range, the threshold, the cut-offs and the mapping), and, to a sink, the centred
//      levels, the ratios and, given the mapping, the stretched levels of every line.
// roughness_figures chains them; a caller that cannot keep the centred levels runs
// levels_pass once more with the mapping to receive the stretched levels.
#ifndef ROUGHNESS_PASSES_H
#define ROUGHNESS_PASSES_H

#include "roughness_blocks.h"
#include "roughness_stretch.h"
#include "value_ranges.h"

#include <cstdint>
#include <functional>
#include <stdexcept>

// Elevations in metres of the `count` lines from line `first` into metres (count x nb_col,
// line after line) and, for masked input, their validity into valid (count x nb_col, nonzero
// where valid; null for input without a mask). Returning false is a failure: the pass
// stops and returns false. An exception thrown here leaves the pass as it is.
using LineReader = std::function<bool(int first, int count, double *metres, unsigned char *valid)>;

struct RasterInput {
    int nb_lig = 0, nb_col = 0;
    LineReader read;
    bool masked = false;     // read gives the validity of the pixels
    bool any_thread = false; // read may be called from several threads at once, a line at a
                             // time; otherwise only from the calling thread, a block at a time
                             // (the block and one line above and below it, within the raster)
    int block_lines = 0;     // lines of a block (results are delivered in blocks of that many
                             // lines); 0: chosen by the pass
};

// The name of a pass and the fraction of it done (0 to 1), called on the calling thread only,
// at the start, between chunks of lines and at the end.
using PassProgress = std::function<void(const char *pass, double fraction)>;

// Called on the calling thread for every interior line i (1 .. nb_lig - 2), in increasing
// order, as the results of the lines up to i are delivered.
using LineProgress = std::function<void(int line)>;

const int max_pass_threads = 256;

struct PassOptions {
    int threads = 1;       // threads computing, the calling thread among them (at most
                           // max_pass_threads are used)
    PassProgress progress; // may be empty
    std::function<bool()> cancelled; // may be empty; asked on the calling thread between
                                     // chunks: true ends the pass with PassCancelled
};

struct PassCancelled : std::runtime_error {
    PassCancelled() : std::runtime_error("the computation was cancelled") {}
};

// The names passed to PassProgress.
extern const char *const ratio_pass_name;   // "ratio range"
extern const char *const centred_pass_name; // "centred levels"

// Pass 1: the partial range of the ratios of every pixel with a ratio, folded in pixel order.
// Nothing is read when there is no interior pixel. False when the reader fails (or scratch
// memory runs out).
bool ratio_range_pass(const RasterInput &input, const PassOptions &options, PartialRange &ratios);

// Results of lines first .. first + count - 1, each count x nb_col, line after line; a
// member is null when it was not asked for. Valid during the call only.
struct LevelLines {
    int first = 0, count = 0, nb_col = 0;
    const double *ratio = nullptr;           // NaN where a pixel has no ratio
    const unsigned char *centred = nullptr;  // 255 where a pixel has no ratio
    const unsigned char *stretched = nullptr; // mapping[centred]
};

// Called on the calling thread once per block, in line order, covering every line
// 0 .. nb_lig - 1 exactly once.
using LevelSink = std::function<void(const LevelLines &)>;

struct LevelRequest {
    bool centred = true;                    // compute and count the centred levels
    bool ratio = false;                     // deliver the ratios
    const unsigned char *mapping = nullptr; // deliver the stretched levels (needs centred)
    LevelSink sink;                         // may be empty: the counts only
    LineProgress line_progress;             // may be empty
};

// Pass 2: for every pixel, with the maximum stretch max_estir, its centred level (counted
// into tally when asked for), its ratio and its stretched level, to the sink. False when the
// reader fails (or memory runs out).
bool levels_pass(const RasterInput &input, double max_estir, const PassOptions &options, const LevelRequest &request,
                 LevelTally &tally);

// Passes 1 and 2 and the scalar steps: every figure of the raster for the coefficient of
// stretching. `request` (may be null) receives the results of pass 2 (its mapping is not
// known yet, so it cannot ask for stretched levels). False when a pass fails.
bool roughness_figures(const RasterInput &input, double coefficient, const PassOptions &options,
                       const LevelRequest *request, RoughnessFigures &figures);

// The threads a pass over nb_lig x nb_col pixels starts with PassOptions::threads =
// `threads`, the calling thread among them: no more than it has chunks of lines.
int pass_threads_used(int nb_lig, int nb_col, int threads);

// The number of threads: env_text (the text of ORVANDE_THREADS, null when unset) when it is a
// positive whole number in decimal digits, else `hardware` (hardware_concurrency), at least 1;
// either is capped at max_pass_threads. *ignored (may be null) becomes true when env_text is
// set but is not such a number, so that the caller can say it was ignored.
int choose_thread_count(const char *env_text, unsigned hardware, bool *ignored);

#endif
