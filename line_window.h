// Three DEM lines sliding down a run of interior lines, and what the core computes on the
// middle one: the range of its ratios, its ratios, its centred levels and their counts. Only
// pixels with a ratio take part: a pixel has one when it is interior and the nine pixels of
// its window are valid. Both the block functions and every thread of the passes work through
// a window, so that they give the same bits.
//
// Each line is first bounded in plain double arithmetic with a proven margin, and computed
// exactly only where the bounds leave an extreme or a grey level open (row_arithmetic.h).
// The pixels with a ratio of a line form runs of consecutive columns; each run is handed to
// the line functions as a line of its own, with the columns on either side as its border.
#ifndef LINE_WINDOW_H
#define LINE_WINDOW_H

#include "value_ranges.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

// Elevations in metres of columns col .. col + count - 1 of DEM line `line` into
// metres[0 .. count - 1] and, for masked input, their validity into valid[0 .. count - 1]
// (nonzero: valid; valid is null for input without a mask). False on a failure.
using LineFetch = std::function<bool(int line, int col, int count, double *metres, unsigned char *valid)>;

// The smallest and largest exact ratios met so far by any thread. A line whose ratios all
// lie strictly beyond them cannot hold an extreme of the whole raster.
struct KnownRange {
    std::atomic<double> dmin{INFINITY}, dmax{-INFINITY};
    void offer(const PartialRange &r);
};

// Counts of the centred levels of one thread's lines: the line functions count in ints,
// moved to 64-bit totals before they could overflow; and the interior pixels without a ratio.
struct LevelCounts {
    int tally[256] = {};
    int64_t total[256] = {};
    int64_t pending = 0; // pixels in tally
    int64_t without_ratio = 0;

    void before_line(int pixels);
    void flush();
};

// Where the results of a run of lines go: the row of line i starts at (i - first) x nb_col.
struct LevelRows {
    int first = 0;
    int nb_col = 0;
    unsigned char *centred = nullptr; // centred levels (255 without a ratio); null: none
    double *ratio = nullptr;          // ratios (NaN without a ratio); null: none
};

// The interior lines first .. end - 1 and the interior columns col .. col_end - 1 of a raster
// of nb_col columns (a strip of the lines, or their whole width).
struct Span {
    int first, end, col, col_end, nb_col;
};

class LineWindow {
public:
    // For spans of up to `columns` interior columns.
    LineWindow(int columns, bool masked);

    // The ratios of a span folded into `range` in pixel order, or a range that differs only
    // where it cannot matter: a line is computed exactly only when its bounds allow a ratio
    // strictly beyond `range` and not strictly beyond `known` (may be null). False when the
    // fetch fails.
    bool range(const LineFetch &fetch, const Span &span, PartialRange &range, KnownRange *known);

    // The results of a span into `rows` (the first and last column of the raster, which have
    // no ratio, with the span that holds their neighbours), the centred levels counted into
    // `counts`.
    bool levels(const LineFetch &fetch, const Span &span, double max_estir, const LevelRows &rows,
                LevelCounts &counts);

private:
    struct Line {
        std::vector<double> z;
        std::vector<unsigned char> valid;
        double size = 0.0; // line_magnitude
        bool all_valid = true;
    };
    struct Midpoints {
        std::vector<double> right, down, down_right, down_left;
        explicit Midpoints(int nb_col);
    };

    bool start(const LineFetch &fetch, const Span &span);
    bool read(const LineFetch &fetch, int line, Line &to) const;
    void find_runs();
    double largest_size() const;
    bool may_widen(const PartialRange &range, const KnownRange *known) const;
    void exact_line(PartialRange &range);
    void level_line(double max_estir, unsigned char *level, double *ratio, LevelCounts &counts);
    void between(const Line &line, const Line &next, Midpoints &m) const;
    void advance();

    int nb_col_;  // the width of the lines held: the span's columns and one on either side
    int col_ = 0; // the raster's column of their first
    bool masked_;
    Line prev_, line_, next_;
    std::vector<std::pair<int, int>> runs_; // columns [a, b) of the middle line with a ratio
    int missing_ = 0;                       // interior pixels of the middle line without one
    std::vector<double> ratio_, scaled_;
    Midpoints above_, below_;
    std::vector<unsigned char> whole_, has_; // find_runs's scratch
    bool above_ready_ = false;
    int exact_lines_left_ = 0; // lines to compute exactly before the bounds are tried again
};


// Rows from .. to - 1 of `rows` as lines without any ratio: centred 255, ratio NaN.
void rows_without_ratio(const LevelRows &rows, int nb_col, int from, int to);

// The interior lines of lines from .. to - 1 of an nb_lig x nb_col raster: [*first, *end),
// empty when no pixel there is interior.
void interior_lines(int nb_lig, int nb_col, int from, int to, int *first, int *end);

#endif
