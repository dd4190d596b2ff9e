// The map steps of the roughness computation on one block of lines that the caller holds:
// what a thread of the passes does with its lines, offered to callers that cut the raster
// themselves (tasks of a cluster, a caller's own threads). Merged in line order with the folds
// of value_ranges.h and the counts added, the results of the blocks give the figures and the
// bytes of the whole-raster passes (roughness_passes.h) for any cutting.
//
// A block holds lines `first` .. first + count - 1 of a raster of nb_lig x nb_col pixels:
// elevations in metres and, optionally, their validity. A step on lines from .. to - 1 needs
// the block to hold the lines from - 1 .. to as well, where the raster has them (the one-line
// halo). A pixel has a ratio when it is interior (not on the first or last line or column)
// and the nine pixels of its 3 x 3 window are valid. Single-threaded; nothing here keeps state.
#ifndef ROUGHNESS_BLOCKS_H
#define ROUGHNESS_BLOCKS_H

#include "value_ranges.h"

#include <cstdint>
#include <stdexcept>

struct LineBlock {
    int nb_lig = 0, nb_col = 0;         // the whole raster
    int first = 0, count = 0;           // the lines held
    const double *metres = nullptr;     // count x nb_col elevations, line after line
    const unsigned char *valid = nullptr; // null (every pixel valid) or count x nb_col, nonzero where valid
};

// Thrown when a block does not hold the lines a step needs, or the lines are outside the raster.
struct BlockError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// Step 1: the partial range of the ratios of lines from .. to - 1 (empty when none has one).
PartialRange block_ratio_range(const LineBlock &block, int from, int to);

// Counts of a block's centred levels: tab_hist[v] pixels of level v (a level 256 counts as
// 255), and the interior pixels without a ratio.
struct LevelTally {
    int64_t tab_hist[256] = {};
    int64_t without_ratio = 0;
    void add(const LevelTally &other);
};

// Step 2: for lines from .. to - 1, given the maximum stretch, their centred levels into
// centred ((to - from) x nb_col bytes, 255 where a pixel has no ratio) and their ratios into
// ratio ((to - from) x nb_col doubles, NaN where a pixel has no ratio); either may be null.
// The levels are counted into `tally` (added to what it holds) when centred is given. The
// centred range of the block is centred_range(block_ratio_range(...), max_estir)
// (roughness_stretch.h).
void block_levels(const LineBlock &block, int from, int to, double max_estir, unsigned char *centred, double *ratio,
                  LevelTally &tally);

// Step 3: stretched[k] = mapping[centred[k]] for count bytes (the same buffer is allowed).
void stretch_levels(const unsigned char mapping[256], const unsigned char *centred, unsigned char *stretched,
                    int64_t count);

#endif
