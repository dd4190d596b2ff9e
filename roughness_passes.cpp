// The whole-raster passes on several threads (see roughness_passes.h).
#include "roughness_passes.h"

#include "line_window.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

const char *const ratio_pass_name = "ratio range";
const char *const centred_pass_name = "centred levels";

namespace {

// ---------------------------------------------------------------------------------------
// The plan: the raster's lines cut into rounds (read and delivered together), the interior
// lines of a round cut into chunks of consecutive lines (handed to the threads).
// ---------------------------------------------------------------------------------------
struct Plan {
    int nb_lig = 0, nb_col = 0;
    int interior = 0;  // interior lines that hold interior pixels
    int per_chunk = 1; // interior lines a chunk
    int strip = 0;     // interior columns a chunk
    int strips = 1;    // chunks side by side on the same lines
    bool read_on_caller = false; // the calling thread reads each round's lines
    int round_lines = 1;
    int rounds = 0;
    int round_first(int r) const { return static_cast<int>(std::min<int64_t>(nb_lig, int64_t(r) * round_lines)); }
    int round_end(int r) const { return static_cast<int>(std::min<int64_t>(nb_lig, int64_t(round_first(r)) + round_lines)); }
    // Chunk c of the round whose interior lines are first .. end - 1.
    Span chunk(int c, int first, int end) const
    {
        const int line = first + c / strips * per_chunk, col = 1 + c % strips * strip;
        return Span{line, std::min(end, line + per_chunk), col,
                    static_cast<int>(std::min<int64_t>(nb_col - 1, int64_t(col) + strip)), nb_col};
    }
};

// What the scratch of the threads may take before lines are cut into strips: a window holds
// about 13 doubles a column.
const int64_t scratch_budget = int64_t(16) << 20;
const int window_bytes_a_column = 13 * 8;

int thread_slots(const PassOptions &options)
{
    return std::clamp(options.threads, 1, max_pass_threads);
}

// Chunks of about 2^18 pixels (a few milliseconds), at most 256 lines, and at least eight
// chunks a thread when there are lines enough, so that the threads finish together. A pass
// that delivers results keeps a few chunks a thread in a round; one reading on the calling
// thread reads about 2^20 pixels at once. Lines so wide that the threads' windows would take
// more than scratch_budget, and more than one window of the whole width, are cut into strips
// of columns, read by the calling thread about 2^20 pixels at a time, and each line of a strip
// is a chunk: the threads' windows then take no more than one window of the whole width.
Plan make_plan(const RasterInput &in, int threads, bool delivers)
{
    Plan p;
    p.nb_lig = std::max(in.nb_lig, 0), p.nb_col = std::max(in.nb_col, 0);
    const int cols = std::max(p.nb_col, 1);
    int first, end;
    interior_lines(p.nb_lig, p.nb_col, 0, p.nb_lig, &first, &end);
    p.interior = end - first;
    const int by_size = std::clamp((1 << 18) / cols + 1, 1, 256);
    const int by_threads = static_cast<int>(std::max<int64_t>(1, (int64_t(p.interior) + 8 * threads - 1) / (8 * threads)));
    p.per_chunk = std::min(by_size, by_threads);
    p.strip = std::max(p.nb_col - 2, 1);
    const int64_t budget = std::max(scratch_budget, int64_t(window_bytes_a_column) * p.nb_col);
    if (int64_t(window_bytes_a_column) * p.nb_col * threads > budget) { // very wide lines, many threads
        p.strip = static_cast<int>(std::max<int64_t>(1024, budget / (int64_t(window_bytes_a_column) * threads)));
        p.strips = static_cast<int>((int64_t(p.nb_col) - 2 + p.strip - 1) / p.strip);
        if (p.strips > 1) p.per_chunk = 1;
    }
    p.read_on_caller = !in.any_thread || p.strips > 1;
    if (in.block_lines > 0)
        p.round_lines = in.block_lines;
    else if (p.strips > 1) // a round's lines in memory: about 2^20 pixels
        p.round_lines = std::max(1, (1 << 20) / cols);
    else if (p.read_on_caller)
        p.round_lines = std::max((1 << 20) / cols, 2 * threads * p.per_chunk);
    else if (delivers)
        p.round_lines = 4 * threads * p.per_chunk;
    else
        p.round_lines = std::max(p.nb_lig, 1);
    p.rounds = static_cast<int>((int64_t(p.nb_lig) + p.round_lines - 1) / p.round_lines);
    return p;
}

// ---------------------------------------------------------------------------------------
// Running the chunks of a round on the threads
// ---------------------------------------------------------------------------------------
// work(thread, chunk) computes one chunk; `thread` (0 .. threads - 1) is the same for all
// the chunks a thread takes, 0 for the calling thread. It returns false on failure.
using ChunkWork = std::function<bool(int thread, int chunk)>;

struct ChunkQueue {
    int count;
    const ChunkWork &work;
    std::atomic<int> next{0}, done{0};
    std::atomic<bool> failed{false};

    ChunkQueue(int c, const ChunkWork &w) : count(c), work(w) {}

    // Takes and computes one chunk; false when there is none left or the round has failed.
    bool run_one(int thread)
    {
        if (failed.load()) return false;
        const int chunk = next.fetch_add(1);
        if (chunk >= count) return false;
        bool ok = false;
        try {
            ok = work(thread, chunk);
        } catch (...) { // out of memory for the scratch lines, or thrown by the reader
            ok = false;
        }
        if (!ok) {
            failed.store(true);
            return false;
        }
        done.fetch_add(1);
        return true;
    }
};

// Every chunk on up to options.threads threads, the calling thread among them, which calls
// between(chunks done) after each of its chunks. False when a chunk failed.
bool run_chunks(int chunks, const PassOptions &options, const ChunkWork &work,
                const std::function<void(int)> &between)
{
    ChunkQueue queue(chunks, work);
    std::vector<std::thread> others;
    const int threads = std::min(thread_slots(options), std::max(chunks, 1));
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
    try {
        while (queue.run_one(0)) between(queue.done.load());
    } catch (...) { // thrown by the progress or the cancellation: the other threads stop first
        queue.failed.store(true);
        for (std::thread &t : others) t.join();
        throw;
    }
    for (std::thread &t : others) t.join();
    return !queue.failed.load();
}

// ---------------------------------------------------------------------------------------
// Rounds: their lines read (on the calling thread, unless the reader serves any thread),
// their chunks computed, their results delivered
// ---------------------------------------------------------------------------------------
struct RoundLines {
    const RasterInput &in;
    const bool on_caller;
    int first = 0;

    RoundLines(const RasterInput &input, bool read_on_caller) : in(input), on_caller(read_on_caller) {}
    std::vector<double> z;
    std::vector<unsigned char> valid;

    bool load(int from, int to)
    {
        const size_t cells = static_cast<size_t>(to - from) * in.nb_col;
        z.resize(cells);
        if (in.masked) valid.resize(cells);
        first = from;
        return in.read(from, to - from, z.data(), in.masked ? valid.data() : nullptr);
    }

    // Lines whole from the reader (from any thread), or parts of lines from the round's.
    LineFetch fetch()
    {
        if (!on_caller)
            return [this](int line, int, int, double *metres, unsigned char *v) { return in.read(line, 1, metres, v); };
        return [this](int line, int col, int count, double *metres, unsigned char *v) {
            const size_t at = static_cast<size_t>(line - first) * in.nb_col + col;
            std::copy(z.begin() + at, z.begin() + at + count, metres);
            if (v) std::copy(valid.begin() + at, valid.begin() + at + count, v);
            return true;
        };
    }
};

// work(thread, chunk of the round, its span, fetch); deliver(round, chunks).
using LinesWork = std::function<bool(int thread, int chunk, const Span &span, const LineFetch &fetch)>;
using RoundDelivery = std::function<void(int round, int chunks)>;

void check_cancelled(const PassOptions &options)
{
    if (options.cancelled && options.cancelled()) throw PassCancelled();
}

bool run_pass(const RasterInput &in, const Plan &plan, const char *name, const PassOptions &options,
              const LinesWork &work, const RoundDelivery &deliver)
{
    if (options.progress) options.progress(name, 0.0);
    RoundLines lines(in, plan.read_on_caller);
    const LineFetch fetch = lines.fetch();
    int lines_done = 0;
    for (int r = 0; r < plan.rounds; r++) {
        check_cancelled(options);
        int first, end;
        interior_lines(plan.nb_lig, plan.nb_col, plan.round_first(r), plan.round_end(r), &first, &end);
        if (first < end && plan.read_on_caller && !lines.load(first - 1, end + 1)) return false;
        const int chunks = static_cast<int>((int64_t(end) - first + plan.per_chunk - 1) / plan.per_chunk * plan.strips);
        const ChunkWork chunk_work = [&](int thread, int c) { return work(thread, c, plan.chunk(c, first, end), fetch); };
        const auto between = [&](int done) {
            check_cancelled(options);
            const int lines = std::min(end - first, done / plan.strips * plan.per_chunk);
            if (options.progress && plan.interior > 0) options.progress(name, double(lines_done + lines) / plan.interior);
        };
        if (!run_chunks(chunks, options, chunk_work, between)) return false;
        lines_done += end - first;
        if (options.progress && first < end) options.progress(name, double(lines_done) / plan.interior);
        if (deliver) deliver(r, chunks);
    }
    if (options.progress) options.progress(name, 1.0);
    return true;
}

} // namespace

int pass_threads_used(int nb_lig, int nb_col, int threads)
{
    RasterInput in;
    in.nb_lig = nb_lig, in.nb_col = nb_col, in.any_thread = true;
    const int slots = std::clamp(threads, 1, max_pass_threads);
    const Plan plan = make_plan(in, slots, false);
    int first, end;
    interior_lines(plan.nb_lig, plan.nb_col, 0, std::min(plan.nb_lig, plan.round_lines), &first, &end);
    const int64_t chunks = (int64_t(end) - first + plan.per_chunk - 1) / plan.per_chunk * plan.strips;
    return static_cast<int>(std::min<int64_t>(slots, std::max<int64_t>(chunks, 1)));
}

// ---------------------------------------------------------------------------------------
// The passes
// ---------------------------------------------------------------------------------------
bool ratio_range_pass(const RasterInput &in, const PassOptions &options, PartialRange &ratios)
{
    ratios = PartialRange();
    try {
        const Plan plan = make_plan(in, thread_slots(options), false);
        std::vector<PartialRange> chunk_range(static_cast<size_t>(plan.round_lines / plan.per_chunk + 2) * plan.strips);
        std::vector<std::unique_ptr<LineWindow>> window(thread_slots(options));
        KnownRange known;
        const LinesWork work = [&](int thread, int chunk, const Span &span, const LineFetch &fetch) {
            if (!window[thread]) window[thread] = std::make_unique<LineWindow>(plan.strip, in.masked);
            chunk_range[chunk] = PartialRange();
            return window[thread]->range(fetch, span, chunk_range[chunk], &known);
        };
        const RoundDelivery fold = [&](int, int chunks) {
            for (int c = 0; c < chunks; c++) fold_range(chunk_range[c], ratios);
        };
        return run_pass(in, plan, ratio_pass_name, options, work, fold);
    } catch (const std::bad_alloc &) {
        return false;
    }
}

namespace {

// The results of one round, delivered to the sink.
struct RoundResults {
    int nb_col;
    std::vector<unsigned char> centred, stretched;
    std::vector<double> ratio;

    RoundResults(const Plan &plan, const LevelRequest &request) : nb_col(plan.nb_col)
    {
        const size_t cells = static_cast<size_t>(std::min(plan.round_lines, plan.nb_lig)) * plan.nb_col;
        if (request.centred) centred.resize(cells);
        if (request.sink && request.centred && request.mapping) stretched.resize(cells);
        if (request.sink && request.ratio) ratio.resize(cells);
    }
    LevelRows rows(int first)
    {
        return LevelRows{first, nb_col, centred.empty() ? nullptr : centred.data(), ratio.empty() ? nullptr : ratio.data()};
    }
};

// The frame lines of a round, the stretched levels, then the sink and the line progress.
void deliver_round(const Plan &plan, int r, const LevelRequest &request, RoundResults &results)
{
    const int from = plan.round_first(r), to = plan.round_end(r);
    int first, end;
    interior_lines(plan.nb_lig, plan.nb_col, from, to, &first, &end);
    rows_without_ratio(results.rows(from), plan.nb_col, from, first);
    rows_without_ratio(results.rows(from), plan.nb_col, end, to);
    const int64_t cells = static_cast<int64_t>(to - from) * plan.nb_col;
    if (!results.stretched.empty()) stretch_levels(request.mapping, results.centred.data(), results.stretched.data(), cells);
    if (request.sink) {
        LevelLines lines;
        lines.first = from, lines.count = to - from, lines.nb_col = plan.nb_col;
        lines.ratio = results.ratio.empty() ? nullptr : results.ratio.data();
        lines.centred = results.centred.empty() ? nullptr : results.centred.data();
        lines.stretched = results.stretched.empty() ? nullptr : results.stretched.data();
        request.sink(lines);
    }
    if (request.line_progress)
        for (int i = std::max(from, 1); i < std::min(to, plan.nb_lig - 1); i++) request.line_progress(i);
}

} // namespace

bool levels_pass(const RasterInput &in, double max_estir, const PassOptions &options, const LevelRequest &request,
                 LevelTally &tally)
{
    try {
        const Plan plan = make_plan(in, thread_slots(options), true);
        RoundResults results(plan, request);
        std::vector<std::unique_ptr<LineWindow>> window(thread_slots(options));
        std::vector<LevelCounts> counts(thread_slots(options));
        const LinesWork work = [&](int thread, int, const Span &span, const LineFetch &fetch) {
            if (!window[thread]) window[thread] = std::make_unique<LineWindow>(plan.strip, in.masked);
            const int row0 = span.first / plan.round_lines * plan.round_lines;
            return window[thread]->levels(fetch, span, max_estir, results.rows(row0), counts[thread]);
        };
        const RoundDelivery deliver = [&](int r, int) { deliver_round(plan, r, request, results); };
        if (!run_pass(in, plan, centred_pass_name, options, work, deliver)) return false;
        if (!request.centred) return true;
        for (LevelCounts &c : counts) {
            c.flush();
            for (int v = 0; v < 256; v++) tally.tab_hist[v] += c.total[v];
            tally.without_ratio += c.without_ratio;
        }
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

bool roughness_figures(const RasterInput &input, double coefficient, const PassOptions &options,
                       const LevelRequest *request, RoughnessFigures &figures)
{
    PartialRange ratios;
    if (!ratio_range_pass(input, options, ratios)) return false;
    ratio_figures(ratios, figures);
    LevelRequest levels = request ? *request : LevelRequest();
    levels.centred = true;
    levels.mapping = nullptr;
    LevelTally tally;
    if (!levels_pass(input, figures.max_estir, options, levels, tally)) return false;
    stretch_figures(input.nb_lig, input.nb_col, tally.tab_hist, tally.without_ratio, coefficient, figures);
    return true;
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
