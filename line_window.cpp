// The sliding window of three DEM lines (see line_window.h).
#include "line_window.h"

#include "row_arithmetic.h"

#include <algorithm>
#include <climits>
#include <cstring>

void KnownRange::offer(const PartialRange &r)
{
    double v = dmin.load(std::memory_order_relaxed);
    while (r.dmin < v && !dmin.compare_exchange_weak(v, r.dmin, std::memory_order_relaxed)) {
    }
    v = dmax.load(std::memory_order_relaxed);
    while (r.dmax > v && !dmax.compare_exchange_weak(v, r.dmax, std::memory_order_relaxed)) {
    }
}

void LevelCounts::before_line(int pixels)
{
    if (pending + pixels > INT_MAX) flush();
    pending += pixels;
}

void LevelCounts::flush()
{
    for (int v = 0; v < 256; v++) total[v] += tally[v], tally[v] = 0;
    pending = 0;
}

namespace {

// Pixel j of a line takes the midpoint terms m[k][j + offset[k]] (see exact_line).
const int midpoint_offset[8] = {-1, 0, 1, 0, 0, 0, 0, -1};

// Lines whose levels are computed exactly, four pixels at a time, after a line on which the
// bounds left more than one level in 16 open (near-flat ground): a pixel computed alone costs
// about as much as 16 computed four at a time. The bounds are then tried again.
const int exact_lines_after_open_line = 128;

} // namespace

LineWindow::Midpoints::Midpoints(int nb_col) : right(nb_col), down(nb_col), down_right(nb_col), down_left(nb_col) {}

LineWindow::LineWindow(int columns, bool masked)
    : nb_col_(columns + 2), masked_(masked), ratio_(columns + 2), scaled_(columns + 2), above_(columns + 2),
      below_(columns + 2), whole_(columns + 2), has_(columns + 2)
{
    for (Line *l : {&prev_, &line_, &next_}) {
        l->z.resize(columns + 2);
        if (masked) l->valid.resize(columns + 2);
    }
}

bool LineWindow::read(const LineFetch &fetch, int line, Line &to) const
{
    if (!fetch(line, col_, nb_col_, to.z.data(), masked_ ? to.valid.data() : nullptr)) return false;
    to.all_valid = true;
    if (masked_) { // an invalid pixel's elevation is never part of a ratio: 0 (a loop without branches)
        unsigned char all = 1;
        for (int j = 0; j < nb_col_; j++) {
            const unsigned char v = to.valid[j] != 0;
            to.z[j] = v ? to.z[j] : 0.0;
            all &= v;
        }
        to.all_valid = all != 0;
    }
    to.size = line_magnitude(nb_col_, to.z.data());
    return true;
}

bool LineWindow::start(const LineFetch &fetch, const Span &span)
{
    above_ready_ = false;
    col_ = span.col - 1;
    nb_col_ = span.col_end - span.col + 2;
    return read(fetch, span.first - 1, prev_) && read(fetch, span.first, line_);
}

void LineWindow::advance()
{
    std::swap(above_, below_);
    std::swap(prev_, line_);
    std::swap(line_, next_);
}

// The runs of pixels with a ratio of the middle line, and the count of those without: a
// column is whole when its three pixels are valid, a pixel has a ratio when its column and
// the two beside it are whole (both steps in straight loops over bytes), and the runs are
// found with memchr.
void LineWindow::find_runs()
{
    runs_.clear();
    if (prev_.all_valid && line_.all_valid && next_.all_valid) {
        runs_.emplace_back(1, nb_col_ - 1);
        missing_ = 0;
        return;
    }
    missing_ = nb_col_ - 2;
    if (nb_col_ < 3) return;
    const unsigned char *p = prev_.valid.data(), *l = line_.valid.data(), *n = next_.valid.data();
    unsigned char *whole = whole_.data(), *has = has_.data();
    for (int j = 0; j < nb_col_; j++) whole[j] = (p[j] != 0) & (l[j] != 0) & (n[j] != 0);
    has[0] = has[nb_col_ - 1] = 0;
    for (int j = 1; j < nb_col_ - 1; j++) has[j] = whole[j - 1] & whole[j] & whole[j + 1];
    const unsigned char *const end = has + nb_col_;
    for (const unsigned char *at = has + 1; at < end;) {
        const void *a = std::memchr(at, 1, end - at);
        if (!a) break;
        const unsigned char *b = static_cast<const unsigned char *>(std::memchr(a, 0, end - static_cast<const unsigned char *>(a)));
        const int first = static_cast<int>(static_cast<const unsigned char *>(a) - has), last = static_cast<int>(b - has);
        runs_.emplace_back(first, last);
        missing_ -= last - first;
        at = b;
    }
}

// The largest line_magnitude of the three lines, NaN when one is.
double LineWindow::largest_size() const
{
    double largest = 0.0;
    for (double s : {prev_.size, line_.size, next_.size}) largest = (s > largest || s != s) ? s : largest;
    return largest;
}

bool LineWindow::may_widen(const PartialRange &range, const KnownRange *known) const
{
    if (runs_.empty()) return false;
    double lo = INFINITY, hi = -INFINITY;
    const double largest = largest_size();
    for (const auto &[a, b] : runs_) {
        double l, h;
        if (!ratio_bounds_line(b - a + 2, prev_.z.data() + a - 1, line_.z.data() + a - 1, next_.z.data() + a - 1,
                               largest, l, h))
            return true;
        lo = std::min(lo, l), hi = std::max(hi, h);
    }
    const double known_min = known ? known->dmin.load(std::memory_order_relaxed) : INFINITY;
    const double known_max = known ? known->dmax.load(std::memory_order_relaxed) : -INFINITY;
    return (lo < range.dmin && lo <= known_min) || (hi > range.dmax && hi >= known_max);
}

void LineWindow::between(const Line &line, const Line &next, Midpoints &m) const
{
    midpoint_line(nb_col_, line.z.data(), next.z.data(), m.down.data());
    midpoint_line(nb_col_ - 1, line.z.data(), next.z.data() + 1, m.down_right.data());
    midpoint_line(nb_col_ - 1, line.z.data() + 1, next.z.data(), m.down_left.data() + 1);
}

// The ratios of the runs of the middle line into ratio_, folded into `range` in pixel order.
void LineWindow::exact_line(PartialRange &range)
{
    if (!above_ready_) between(prev_, line_, above_);
    midpoint_line(nb_col_ - 1, line_.z.data(), line_.z.data() + 1, below_.right.data());
    between(line_, next_, below_);
    const double *const m[8] = {above_.down_right.data(), above_.down.data(),       above_.down_left.data(),
                                below_.right.data(),      below_.down_right.data(), below_.down.data(),
                                below_.down_left.data(),  below_.right.data()};
    for (const auto &[a, b] : runs_) {
        const double *const run_m[8] = {m[0] + a - 1, m[1] + a - 1, m[2] + a - 1, m[3] + a - 1,
                                        m[4] + a - 1, m[5] + a - 1, m[6] + a - 1, m[7] + a - 1};
        ratio_line(b - a + 2, line_.z.data() + a - 1, run_m, midpoint_offset, ratio_.data() + a - 1, range.dmin,
                   range.dmax);
    }
}

bool LineWindow::range(const LineFetch &fetch, const Span &span, PartialRange &range, KnownRange *known)
{
    if (!start(fetch, span)) return false;
    for (int i = span.first; i < span.end; i++) {
        if (!read(fetch, i + 1, next_)) return false;
        find_runs();
        const bool exact = may_widen(range, known);
        if (exact) {
            exact_line(range);
            if (known) known->offer(range);
        }
        advance();
        above_ready_ = exact;
    }
    return true;
}

// The results of the middle line: levels settled from bounds where centred_levels_line can
// (not when the ratios are asked for), else from the exact ratios.
void LineWindow::level_line(double max_estir, unsigned char *level, double *ratio, LevelCounts &counts)
{
    bool exact = false;
    PartialRange unused;
    if (level) {
        std::memset(level + 1, 255, static_cast<size_t>(nb_col_ - 2));
        counts.before_line(nb_col_ - 2);
        counts.without_ratio += missing_;
        const double largest = largest_size();
        const bool bounds = !ratio && exact_lines_left_ == 0;
        if (exact_lines_left_ > 0) exact_lines_left_--;
        for (const auto &[a, b] : runs_) {
            const int n = b - a + 2;
            int open = 0;
            if (bounds && centred_levels_line(n, prev_.z.data() + a - 1, line_.z.data() + a - 1,
                                              next_.z.data() + a - 1, largest, max_estir, level + a - 1, counts.tally,
                                              &open)) {
                if (open > n / 16) exact_lines_left_ = exact_lines_after_open_line;
                continue;
            }
            if (!exact) exact_line(unused), exact = true;
            double d0 = 0.0, d1 = 0.0;
            centred_line(n, ratio_.data() + a - 1, max_estir, scaled_.data() + a - 1, level + a - 1, counts.tally,
                         d0, d1);
        }
    }
    if (ratio) {
        if (!exact && !runs_.empty()) exact_line(unused), exact = true;
        std::fill(ratio + 1, ratio + nb_col_ - 1, NAN);
        for (const auto &[a, b] : runs_) std::copy(ratio_.begin() + a, ratio_.begin() + b, ratio + a);
    }
    above_ready_ = exact; // below_ then holds the midpoints that the next line takes as above_
}

bool LineWindow::levels(const LineFetch &fetch, const Span &span, double max_estir, const LevelRows &rows,
                        LevelCounts &counts)
{
    if (!start(fetch, span)) return false;
    for (int i = span.first; i < span.end; i++) {
        if (!read(fetch, i + 1, next_)) return false;
        find_runs();
        const size_t row = static_cast<size_t>(i - rows.first) * rows.nb_col;
        unsigned char *level = rows.centred ? rows.centred + row : nullptr;
        double *ratio = rows.ratio ? rows.ratio + row : nullptr;
        for (int frame : {0, span.nb_col - 1}) // the first and last column, from the span beside them
            if (frame == col_ || frame == col_ + nb_col_ - 1) {
                if (level) level[frame] = 255;
                if (ratio) ratio[frame] = NAN;
            }
        level_line(max_estir, level ? level + col_ : nullptr, ratio ? ratio + col_ : nullptr, counts);
        const bool ready = above_ready_;
        advance();
        above_ready_ = ready;
    }
    return true;
}

void rows_without_ratio(const LevelRows &rows, int nb_col, int from, int to)
{
    if (from >= to) return;
    const size_t begin = static_cast<size_t>(from - rows.first) * nb_col, end = static_cast<size_t>(to - rows.first) * nb_col;
    if (rows.centred) std::memset(rows.centred + begin, 255, end - begin);
    if (rows.ratio) std::fill(rows.ratio + begin, rows.ratio + end, NAN);
}

void interior_lines(int nb_lig, int nb_col, int from, int to, int *first, int *end)
{
    *first = std::max(from, 1);
    *end = std::min(to, nb_lig - 1);
    if (nb_col < 3 || *first >= *end) *first = *end = from;
}
