// The map steps on a block of lines (see roughness_blocks.h).
#include "roughness_blocks.h"

#include "line_window.h"

#include <algorithm>
#include <cstring>
#include <string>

void LevelTally::add(const LevelTally &other)
{
    for (int v = 0; v < 256; v++) tab_hist[v] += other.tab_hist[v];
    without_ratio += other.without_ratio;
}

namespace {

// Checks that lines from .. to - 1 are in the raster and that the block holds them with
// their halo; the interior lines among them into [first, end).
void check_block(const LineBlock &b, int from, int to, int &first, int &end)
{
    if (b.nb_lig < 0 || b.nb_col < 0 || (b.count > 0 && !b.metres))
        throw BlockError("a block needs a raster size of at least 0 x 0 and its elevations");
    if (from < 0 || to > b.nb_lig || from > to)
        throw BlockError("lines " + std::to_string(from) + " .. " + std::to_string(to - 1) + " are not lines of a raster of " +
                         std::to_string(b.nb_lig) + " lines");
    interior_lines(b.nb_lig, b.nb_col, from, to, &first, &end);
    if (first < end && (b.first > first - 1 || b.first + b.count < end + 1))
        throw BlockError("the block holds lines " + std::to_string(b.first) + " .. " +
                         std::to_string(b.first + b.count - 1) + "; lines " + std::to_string(first - 1) + " .. " +
                         std::to_string(end) + " are needed");
}

LineFetch block_fetch(const LineBlock &b)
{
    return [&b](int line, int col, int count, double *metres, unsigned char *valid) {
        const size_t at = static_cast<size_t>(line - b.first) * b.nb_col + col;
        std::memcpy(metres, b.metres + at, sizeof(double) * count);
        if (valid) std::memcpy(valid, b.valid + at, static_cast<size_t>(count));
        return true;
    };
}

} // namespace

PartialRange block_ratio_range(const LineBlock &block, int from, int to)
{
    int first, end;
    check_block(block, from, to, first, end);
    PartialRange range;
    if (first < end)
        LineWindow(block.nb_col - 2, block.valid != nullptr)
            .range(block_fetch(block), Span{first, end, 1, block.nb_col - 1, block.nb_col}, range, nullptr);
    return range;
}

void block_levels(const LineBlock &block, int from, int to, double max_estir, unsigned char *centred, double *ratio,
                  LevelTally &tally)
{
    int first, end;
    check_block(block, from, to, first, end);
    const LevelRows rows{from, block.nb_col, centred, ratio};
    rows_without_ratio(rows, block.nb_col, from, first);
    rows_without_ratio(rows, block.nb_col, end, to);
    if (first == end || (!centred && !ratio)) return;
    LevelCounts counts;
    LineWindow(block.nb_col - 2, block.valid != nullptr)
        .levels(block_fetch(block), Span{first, end, 1, block.nb_col - 1, block.nb_col}, max_estir, rows, counts);
    counts.flush();
    if (!centred) return;
    for (int v = 0; v < 256; v++) tally.tab_hist[v] += counts.total[v];
    tally.without_ratio += counts.without_ratio;
}

void stretch_levels(const unsigned char mapping[256], const unsigned char *centred, unsigned char *stretched,
                    int64_t count)
{
    for (int64_t k = 0; k < count; k++) stretched[k] = mapping[centred[k]];
}
