// The computing passes of the roughness tool, streaming over the DEM a few lines at a time
// on several threads, and the contrast stretch. Nothing here prints, asks or keeps state
// between calls; every result is the same, bit for bit, for every thread count, and the same
// as the per-pixel loops of the tool in line and column order give it.
//
// A run takes two passes over the DEM lines:
//   1. ratio_range_pass: the range of the roughness ratios of the interior pixels, from
//      which the caller derives the maximum stretch;
//   2. centred_pass: the centred grey levels of the ratios into the caller's byte grid,
//      the histogram of those levels and the range of the centred values;
// then the stretch: stretch_iseuil, lower_cutoff, upper_cutoff and stretch_mapping.
//
// Both passes first bound the ratios of a line in plain double arithmetic with a proven
// margin (row_arithmetic.h), and compute exactly only what the bounds leave open: the lines
// that may hold an extreme ratio, the pixels whose grey level the bounds do not settle.
// Each thread keeps three lines of elevations and a few scratch lines (13 doubles a
// column); lines are handed out in chunks of consecutive lines, and the ranges of the chunks
// are folded in line order with the same strict tests as the pixel-order loop.
#ifndef ROUGHNESS_PASSES_H
#define ROUGHNESS_PASSES_H

#include <cstdint>
#include <functional>

// Elevations in metres of DEM line `line` (0 .. nb_lig - 1) into out[0 .. nb_col - 1]. Called
// from several threads at once, possibly more than once for a line (the lines around each
// chunk). Returning false is a failure: the pass stops on every thread and returns false.
using DemLineSource = std::function<bool(int line, double *out)>;

// The name of a pass and the fraction of it done (0 to 1), called on the calling thread only,
// at the start, after every chunk finished in order and at the end: often enough for a
// display that the caller throttles.
using PassProgress = std::function<void(const char *pass, double fraction)>;

// Called on the calling thread for every interior line i (1 .. nb_lig - 2), in increasing
// order, as the lines up to i are finished (so while the work goes on), also when
// nb_col < 3 and there is nothing to compute on a line.
using LineProgress = std::function<void(int line)>;

const int max_pass_threads = 256;

struct PassOptions {
    int threads = 1;       // threads computing, the calling thread among them (1: no other;
                           // at most max_pass_threads are used)
    PassProgress progress; // may be empty
};

// A range folded from the start values 10000000.0 and 0.0 with strict tests, value after
// value in line and column order: if (dmin > v) dmin = v; if (dmax < v) dmax = v. Of equal
// values (0.0 and -0.0) the first one met is kept; a range with no value keeps the starts.
struct ValueRange {
    double dmin = 10000000.0, dmax = 0.0;
};

// The names passed to PassProgress.
extern const char *const ratio_pass_name;   // "ratio range"
extern const char *const centred_pass_name; // "centred levels"

// Pass 1: the range of the ratios ratio_of_midpoints(c, midpoints) of every interior pixel
// (1 <= i <= nb_lig - 2, 1 <= j <= nb_col - 2). Nothing is read when there is no interior
// pixel. False when the source fails (or scratch memory runs out); `ratios` is then unset.
bool ratio_range_pass(int nb_lig, int nb_col, const DemLineSource &source, const PassOptions &options,
                      ValueRange &ratios);

// Result of pass 2: the range of the centred values 128 +/- dval of the interior pixels, and
// tab_hist[v], the number of interior pixels of grey level v (a level 256 counts as 255).
struct CentredScaling {
    ValueRange scaled;
    int64_t tab_hist[256];
};

// Pass 2: for every interior pixel, its ratio r and val = centred_level(r, max_estir,
// &scaled); tab_out[i][j] = min(val, 255); the levels counted into out.tab_hist; out.scaled,
// the range of the scaled values in pixel order. `ratios` must be the range that
// ratio_range_pass gave: the centred values grow with the ratio, so their range is that of
// the centred values of ratios.dmin and ratios.dmax (when those are ratios met and not the
// start values). Every border cell of tab_out (first and last line and
// column) becomes 255, so every cell of the nb_lig x nb_col grid is written. line_progress
// (may be empty) sees every interior line. False when the source fails; tab_out is then
// partly set.
bool centred_pass(int nb_lig, int nb_col, const DemLineSource &source, const ValueRange &ratios, double max_estir,
                  unsigned char **tab_out, const PassOptions &options, const LineProgress &line_progress,
                  CentredScaling &out);

// Number of pixels to pass at each end of the histogram: stretch_threshold(pixels,
// coefficient) truncated toward zero and saturated to the int64_t range (NaN gives the
// lowest). Below 2^31 pixels, its comparisons with the counts are those of the int threshold.
int64_t stretch_iseuil(int64_t pixels, double coefficient);

// Lower cut-off: from level max(min, 0) upward to min(max, 2299), the running count of
// tab_hist (levels above 255 count 0) is taken; the first level at which it exceeds iseuil,
// less one; max + 1 when it never does.
int lower_cutoff(const int64_t *tab_hist, int min, int max, int64_t iseuil);

// Upper cut-off: the same from level min(max, 2299) downward to max(min, 0); the first level
// at which the count exceeds iseuil, plus one; min - 1 when it never does.
int upper_cutoff(const int64_t *tab_hist, int min, int max, int64_t iseuil);

// mapping[v] = stretched_level(v, min_seuil, max_seuil) for every grey level v: the stretched
// image is the centred one with every byte mapped.
void stretch_mapping(int min_seuil, int max_seuil, unsigned char mapping[256]);

// The threads a pass over nb_lig x nb_col pixels starts with PassOptions::threads =
// `threads`, the calling thread among them: no more than it has chunks of lines.
int pass_threads_used(int nb_lig, int nb_col, int threads);

// The number of threads: env_text (the text of ORVANDE_THREADS, null when unset) when it is a
// positive whole number in decimal digits, else `hardware` (hardware_concurrency), at least 1;
// either is capped at max_pass_threads. *ignored (may be null) becomes true when env_text is
// set but is not such a number, so that the caller can say it was ignored.
int choose_thread_count(const char *env_text, unsigned hardware, bool *ignored);

#endif
