// The computing passes and the stretch (see roughness_passes.h).
#include "roughness_passes.h"

#include "pixel_arithmetic.h"
#include "row_arithmetic.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

const char *const ratio_pass_name = "ratio range";
const char *const centred_pass_name = "centred levels";

namespace {

// ---------------------------------------------------------------------------------------
// Chunks: the interior lines 1 .. nb_lig - 2 cut into runs of consecutive lines.
// ---------------------------------------------------------------------------------------
struct ChunkPlan {
    int lines = 0; // interior lines
    int per_chunk = 1;
    int count = 0;
    int first(int chunk) const { return 1 + chunk * per_chunk; }
    int end(int chunk) const { return std::min(1 + lines, first(chunk) + per_chunk); }
};

// About 2^18 pixels a chunk (a few milliseconds), 16 to 256 lines, and at least eight
// chunks a thread when there are lines enough, so that the threads finish together.
ChunkPlan plan_chunks(int nb_lig, int nb_col, int threads)
{
    ChunkPlan plan;
    plan.lines = std::max(0, nb_lig - 2);
    if (plan.lines == 0) return plan;
    const int by_size = std::clamp((1 << 18) / nb_col + 1, 16, 256);
    const int by_threads = (plan.lines + 8 * threads - 1) / (8 * threads);
    plan.per_chunk = std::max(1, std::min(by_size, by_threads));
    plan.count = (plan.lines + plan.per_chunk - 1) / plan.per_chunk;
    return plan;
}

// ---------------------------------------------------------------------------------------
// Running the chunks on the threads
// ---------------------------------------------------------------------------------------
// work(thread, chunk) computes one chunk; `thread` (0 .. threads - 1) is the same for all
// the chunks a thread takes, 0 for the calling thread. It returns false on failure.
using ChunkWork = std::function<bool(int thread, int chunk)>;

struct ChunkQueue {
    const ChunkPlan &plan;
    const ChunkWork &work;
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    std::unique_ptr<std::atomic<bool>[]> done;

    ChunkQueue(const ChunkPlan &p, const ChunkWork &w) : plan(p), work(w), done(new std::atomic<bool>[p.count])
    {
        for (int c = 0; c < p.count; c++) done[c] = false;
    }

    // Takes and computes one chunk; false when there is none left or the pass has failed.
    bool run_one(int thread)
    {
        if (failed.load()) return false;
        const int chunk = next.fetch_add(1);
        if (chunk >= plan.count) return false;
        bool ok = false;
        try {
            ok = work(thread, chunk);
        } catch (...) { // out of memory for the scratch lines, or thrown by the source
            ok = false;
        }
        if (!ok) {
            failed.store(true);
            return false;
        }
        done[chunk].store(true, std::memory_order_release);
        return true;
    }
};

// Tells the progress callbacks about the chunks finished in order from *reported on.
void report_finished(ChunkQueue &queue, int &reported, const char *name, const PassOptions &options,
                     const LineProgress &line_progress)
{
    const int before = reported;
    while (reported < queue.plan.count && queue.done[reported].load(std::memory_order_acquire)) {
        if (line_progress)
            for (int i = queue.plan.first(reported); i < queue.plan.end(reported); i++) line_progress(i);
        reported++;
    }
    if (options.progress && reported != before) {
        const int lines_done = queue.plan.end(reported - 1) - 1;
        options.progress(name, static_cast<double>(lines_done) / queue.plan.lines);
    }
}

// The number of threads whose scratch a pass keeps: one slot per thread index.
int thread_slots(const PassOptions &options)
{
    return std::clamp(options.threads, 1, max_pass_threads);
}

// Every chunk of the plan on up to options.threads threads, the calling thread among them,
// which reports the progress between its chunks. False when a chunk failed.
bool run_chunks(const ChunkPlan &plan, const char *name, const PassOptions &options,
                const LineProgress &line_progress, const ChunkWork &work)
{
    if (options.progress) options.progress(name, 0.0);
    ChunkQueue queue(plan, work);
    std::vector<std::thread> others;
    const int threads = std::min(thread_slots(options), std::max(plan.count, 1));
    for (int t = 1; t < threads; t++) {
        try {
            others.emplace_back([&queue, t] {
                while (queue.run_one(t)) {
                }
            });
        } catch (const std::system_error &) { // no more threads: the others do the work
            break;
        }
    }
    int reported = 0;
    try {
        while (queue.run_one(0)) report_finished(queue, reported, name, options, line_progress);
    } catch (...) { // thrown by a progress callback: the other threads stop first
        queue.failed.store(true);
        for (std::thread &t : others) t.join();
        throw;
    }
    for (std::thread &t : others) t.join();
    if (queue.failed.load()) return false;
    report_finished(queue, reported, name, options, line_progress);
    if (options.progress) options.progress(name, 1.0);
    return true;
}

// ---------------------------------------------------------------------------------------
// Ratios of consecutive lines, from two lines of elevations and the midpoint lines
// ---------------------------------------------------------------------------------------
// Midpoints of one line with its neighbours. Each midpoint between two pixels serves both
// (the sum is symmetric), so each is computed once: along the line, and between the line
// and the next one (straight down, down to the right and down to the left).
struct MidpointLines {
    std::vector<double> right, down, down_right, down_left;
    explicit MidpointLines(int nb_col) : right(nb_col), down(nb_col), down_right(nb_col), down_left(nb_col) {}
};

// Pixel j of a line takes the terms m[k][j + offset[k]] (see RatioWindow::exact_line).
const int midpoint_offset[8] = {-1, 0, 1, 0, 0, 0, 0, -1};

// ---------------------------------------------------------------------------------------
// Histogram of one thread: the line function counts in ints, moved to 64-bit totals before
// they could overflow.
// ---------------------------------------------------------------------------------------
struct LevelCounts {
    int tally[256] = {};
    int64_t total[256] = {};
    int64_t pending = 0; // pixels in tally

    void before_line(int pixels)
    {
        if (pending + pixels > INT_MAX) flush();
        pending += pixels;
    }
    void flush()
    {
        for (int v = 0; v < 256; v++) total[v] += tally[v], tally[v] = 0;
        pending = 0;
    }
};

// Exact values met so far by any thread: the smallest and largest ratio computed, from the
// start values. A value strictly beyond them cannot be an extreme of the whole DEM.
struct KnownRange {
    std::atomic<double> dmin{10000000.0}, dmax{0.0};

    void offer(const ValueRange &r)
    {
        double v = dmin.load(std::memory_order_relaxed);
        while (r.dmin < v && !dmin.compare_exchange_weak(v, r.dmin, std::memory_order_relaxed)) {
        }
        v = dmax.load(std::memory_order_relaxed);
        while (r.dmax > v && !dmax.compare_exchange_weak(v, r.dmax, std::memory_order_relaxed)) {
        }
    }
};

class RatioWindow {
public:
    explicit RatioWindow(int nb_col)
        : nb_col_(nb_col), prev_(nb_col), line_(nb_col), next_(nb_col), ratio_(nb_col), above_(nb_col),
          below_(nb_col)
    {
    }

    // The range of the ratios of lines first .. end - 1 folded into `range`, as the
    // pixel-order loop folds it, or a range that differs only where it cannot matter: a line is computed
    // exactly only when its bounds allow a ratio strictly beyond `range` and not strictly
    // beyond `known` (a chunk whose extreme lies beyond `known` is not the DEM's extreme;
    // the first pixel of any chunk that holds the DEM's extreme is still met).
    bool range(const DemLineSource &source, int first, int end, ValueRange &range, KnownRange &known)
    {
        if (!read(source, first - 1, prev_, size_prev_) || !read(source, first, line_, size_line_)) return false;
        bool above_ready = false;
        for (int i = first; i < end; i++) {
            if (!read(source, i + 1, next_, size_next_)) return false;
            if (may_widen(range, known)) {
                if (!above_ready) between(prev_, line_, above_);
                exact_line(range);
                known.offer(range);
                above_ready = true;
            } else {
                above_ready = false;
            }
            advance();
        }
        return true;
    }

    // The centred levels of lines first .. end - 1 into tab_out (with their border cells),
    // counted into `counts`: settled from bounds where centred_levels_line can, else from
    // the exact ratios by centred_line (`scaled` is its scratch line).
    // With `scaled_range`, every line takes the exact ratios, and the centred values are
    // ranged into it.
    bool levels(const DemLineSource &source, int first, int end, double max_estir, unsigned char **tab_out,
                LevelCounts &counts, std::vector<double> &scaled, ValueRange *scaled_range)
    {
        if (!read(source, first - 1, prev_, size_prev_) || !read(source, first, line_, size_line_)) return false;
        bool above_ready = false;
        for (int i = first; i < end; i++) {
            if (!read(source, i + 1, next_, size_next_)) return false;
            unsigned char *level = tab_out[i];
            level[0] = level[nb_col_ - 1] = 255;
            counts.before_line(nb_col_ - 2);
            if (!scaled_range && centred_levels_line(nb_col_, prev_.data(), line_.data(), next_.data(),
                                                     largest_size(), max_estir, level, counts.tally)) {
                above_ready = false;
            } else {
                if (!above_ready) between(prev_, line_, above_);
                ValueRange unused_ratios, unused_scaled;
                ValueRange &range = scaled_range ? *scaled_range : unused_scaled;
                exact_line(unused_ratios);
                centred_line(nb_col_, ratio_.data(), max_estir, scaled.data(), level, counts.tally, range.dmin,
                             range.dmax);
                above_ready = true;
            }
            advance();
        }
        return true;
    }

private:
    bool read(const DemLineSource &source, int line, std::vector<double> &to, double &size) const
    {
        if (!source(line, to.data())) return false;
        size = line_magnitude(nb_col_, to.data());
        return true;
    }

    // The largest line_magnitude of the three lines, NaN when one is.
    double largest_size() const
    {
        const double sizes[3] = {size_prev_, size_line_, size_next_};
        double largest = 0.0;
        for (double s : sizes) largest = (s > largest || s != s) ? s : largest; // NaN stays
        return largest;
    }

    bool may_widen(const ValueRange &range, const KnownRange &known) const
    {
        double lo, hi;
        if (!ratio_bounds_line(nb_col_, prev_.data(), line_.data(), next_.data(), largest_size(), lo, hi)) return true;
        return (lo < range.dmin && lo <= known.dmin.load(std::memory_order_relaxed)) ||
               (hi > range.dmax && hi >= known.dmax.load(std::memory_order_relaxed));
    }

    // The ratios of line_ into ratio_, from the midpoints with prev_ in above_.
    void exact_line(ValueRange &range)
    {
        midpoint_line(nb_col_ - 1, line_.data(), line_.data() + 1, below_.right.data());
        between(line_, next_, below_);
        const double *const m[8] = {above_.down_right.data(), above_.down.data(),       above_.down_left.data(),
                                    below_.right.data(),      below_.down_right.data(), below_.down.data(),
                                    below_.down_left.data(),  below_.right.data()};
        ratio_line(nb_col_, line_.data(), m, midpoint_offset, ratio_.data(), range.dmin, range.dmax);
    }

    void advance()
    {
        std::swap(above_, below_);
        std::swap(prev_, line_);
        std::swap(line_, next_);
        size_prev_ = size_line_;
        size_line_ = size_next_;
    }

    void between(const std::vector<double> &line, const std::vector<double> &next, MidpointLines &m) const
    {
        midpoint_line(nb_col_, line.data(), next.data(), m.down.data());
        midpoint_line(nb_col_ - 1, line.data(), next.data() + 1, m.down_right.data());
        midpoint_line(nb_col_ - 1, line.data() + 1, next.data(), m.down_left.data() + 1);
    }

    int nb_col_;
    std::vector<double> prev_, line_, next_, ratio_;
    double size_prev_ = 0.0, size_line_ = 0.0, size_next_ = 0.0; // line_magnitude of each
    MidpointLines above_, below_;
};

// Folds a chunk's range into the range of the chunks before it, as the pixel-order loop
// would have met its values: a chunk's extreme is the first of its equal values.
void fold_range(const ValueRange &chunk, ValueRange &total)
{
    if (total.dmin > chunk.dmin) total.dmin = chunk.dmin;
    if (total.dmax < chunk.dmax) total.dmax = chunk.dmax;
}

ValueRange fold_ranges(const std::vector<ValueRange> &chunks)
{
    ValueRange total;
    for (const ValueRange &r : chunks) fold_range(r, total);
    return total;
}

// Sets the whole grid to 255 and reports every interior line: the passes when there is no
// interior pixel.
void all_border(int nb_lig, int nb_col, unsigned char **tab_out, const LineProgress &line_progress)
{
    for (int i = 0; i < nb_lig; i++) std::memset(tab_out[i], 255, static_cast<size_t>(nb_col));
    if (line_progress)
        for (int i = 1; i < nb_lig - 1; i++) line_progress(i);
}

} // namespace

// ---------------------------------------------------------------------------------------
// The passes
// ---------------------------------------------------------------------------------------
int pass_threads_used(int nb_lig, int nb_col, int threads)
{
    return std::min(std::clamp(threads, 1, max_pass_threads), std::max(plan_chunks(nb_lig, nb_col, threads).count, 1));
}

bool ratio_range_pass(int nb_lig, int nb_col, const DemLineSource &source, const PassOptions &options,
                      ValueRange &ratios)
{
    if (nb_lig < 3 || nb_col < 3) {
        ratios = ValueRange();
        return true;
    }
    const ChunkPlan plan = plan_chunks(nb_lig, nb_col, options.threads);
    std::vector<ValueRange> chunk_range(plan.count);
    std::vector<std::unique_ptr<RatioWindow>> window(thread_slots(options));
    KnownRange known;
    const ChunkWork work = [&](int thread, int chunk) {
        if (!window[thread]) window[thread] = std::make_unique<RatioWindow>(nb_col);
        return window[thread]->range(source, plan.first(chunk), plan.end(chunk), chunk_range[chunk], known);
    };
    if (!run_chunks(plan, ratio_pass_name, options, LineProgress(), work)) return false;
    ratios = fold_ranges(chunk_range);
    return true;
}

namespace {

// Scratch of one thread of the centred pass.
struct CentredScratch {
    RatioWindow window;
    std::vector<double> scaled;
    LevelCounts counts;
    explicit CentredScratch(int nb_col) : window(nb_col), scaled(nb_col) {}
};

// The range of the centred values from that of the ratios: the centred value only grows
// with the ratio, so its extremes are those of the extreme ratios (and no centred value is
// -0.0, so no tie order is lost). That holds when the range of the ratios is that of values
// met, not start values kept: when every ratio is at least 10000000.0 or none is above 0.0
// (a DEM of very few pixels), the centred values are ranged one by one.
bool centred_range_from_ratios(const ValueRange &ratios)
{
    return ratios.dmin < 10000000.0 && ratios.dmax > 0.0;
}

ValueRange centred_range(const ValueRange &ratios, double max_estir)
{
    ValueRange scaled;
    for (double r : {ratios.dmin, ratios.dmax}) {
        double v;
        centred_level(r, max_estir, &v);
        fold_range(ValueRange{v, v}, scaled);
    }
    return scaled;
}

} // namespace

bool centred_pass(int nb_lig, int nb_col, const DemLineSource &source, const ValueRange &ratios, double max_estir,
                  unsigned char **tab_out, const PassOptions &options, const LineProgress &line_progress,
                  CentredScaling &out)
{
    out.scaled = ValueRange();
    std::fill(out.tab_hist, out.tab_hist + 256, 0);
    if (nb_lig < 3 || nb_col < 3) {
        all_border(nb_lig, nb_col, tab_out, line_progress);
        return true;
    }
    std::memset(tab_out[0], 255, static_cast<size_t>(nb_col));
    std::memset(tab_out[nb_lig - 1], 255, static_cast<size_t>(nb_col));
    const ChunkPlan plan = plan_chunks(nb_lig, nb_col, options.threads);
    std::vector<std::unique_ptr<CentredScratch>> scratch(thread_slots(options));
    const bool from_ratios = centred_range_from_ratios(ratios);
    std::vector<ValueRange> chunk_range(from_ratios ? 0 : plan.count);
    const ChunkWork work = [&](int thread, int chunk) {
        if (!scratch[thread]) scratch[thread] = std::make_unique<CentredScratch>(nb_col);
        CentredScratch &s = *scratch[thread];
        return s.window.levels(source, plan.first(chunk), plan.end(chunk), max_estir, tab_out, s.counts, s.scaled,
                               from_ratios ? nullptr : &chunk_range[chunk]);
    };
    if (!run_chunks(plan, centred_pass_name, options, line_progress, work)) return false;
    out.scaled = from_ratios ? centred_range(ratios, max_estir) : fold_ranges(chunk_range);
    for (const std::unique_ptr<CentredScratch> &s : scratch) {
        if (!s) continue;
        s->counts.flush();
        for (int v = 0; v < 256; v++) out.tab_hist[v] += s->counts.total[v];
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// The stretch
// ---------------------------------------------------------------------------------------
namespace {

// Levels the cut-off searches may visit: the histogram of the tool had this many entries,
// of which only 0 .. 255 ever count pixels.
const int hist_levels = 2300;

int64_t count_at(const int64_t *tab_hist, int level)
{
    return level < 256 ? tab_hist[level] : 0;
}

} // namespace

int64_t stretch_iseuil(int64_t pixels, double coefficient)
{
    const double seuil = stretch_threshold(pixels, coefficient);
    if (!(seuil > -0x1p63)) return INT64_MIN; // also NaN
    if (seuil >= 0x1p63) return INT64_MAX;
    return static_cast<int64_t>(seuil);
}

int lower_cutoff(const int64_t *tab_hist, int min, int max, int64_t iseuil)
{
    int64_t itot = 0;
    for (int level = (min < 0 ? 0 : min); level <= max && level < hist_levels; level++) {
        itot += count_at(tab_hist, level);
        if (itot > iseuil) return level - 1;
    }
    return max + 1;
}

int upper_cutoff(const int64_t *tab_hist, int min, int max, int64_t iseuil)
{
    int64_t itot = 0;
    for (int level = (max >= hist_levels ? hist_levels - 1 : max); level >= min && level >= 0; level--) {
        itot += count_at(tab_hist, level);
        if (itot > iseuil) return level + 1;
    }
    return min - 1;
}

void stretch_mapping(int min_seuil, int max_seuil, unsigned char mapping[256])
{
    for (int v = 0; v < 256; v++) mapping[v] = static_cast<unsigned char>(stretched_level(v, min_seuil, max_seuil));
}

// ---------------------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------------------
int choose_thread_count(const char *env_text, unsigned hardware, bool *ignored)
{
    if (ignored) *ignored = false;
    if (env_text != nullptr) {
        long long value = 0;
        const char *p = env_text;
        for (; *p >= '0' && *p <= '9'; p++) value = std::min<long long>(value * 10 + (*p - '0'), INT_MAX);
        if (p != env_text && *p == '\0' && value > 0) return static_cast<int>(std::min<long long>(value, max_pass_threads));
        if (ignored) *ignored = true;
    }
    return static_cast<int>(std::clamp<unsigned>(hardware, 1, max_pass_threads));
}
