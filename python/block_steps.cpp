// The block steps of the core offered to Python: a block of a raster's lines and columns with
// its one-pixel halo (Block), its partial ratio range, its centred levels and their counts, its
// ratios; the folds of partial ranges; the scalar steps from the folded figures. A caller that
// cuts the raster into blocks (the tasks of a cluster) gets the bytes of maps() and ratio().
//
// The core's blocks hold whole lines. A block of columns c0 .. c1 - 1 is handed to it as the
// lines of a narrower raster: columns c0 - 1 .. c1, less those outside the raster. Its first
// and last columns are then either columns of the halo, whose results are not taken, or the
// raster's own first and last columns, which are frame columns of both; so every pixel of
// c0 .. c1 - 1 has in the narrow raster the ratio and the level it has in the raster, and it
// counts as interior there exactly when it is interior in the raster.
#include "block_steps.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

namespace {

// The first raster line i of lines from .. to - 1 whose own ratios have `extreme` (the minimum
// when `low`) among them, as an order key i x nb_col + col; the ratios of a line are met in
// column order, so its partial range holds the first one met.
int64_t first_line_with(const LineBlock &narrow, int from, int to, bool low, double extreme, int64_t nb_col, int col)
{
    for (int i = from; i < to; i++) {
        const PartialRange line = block_ratio_range(narrow, i, i + 1);
        if (!line.empty() && (low ? line.dmin : line.dmax) == extreme) return i * nb_col + col;
    }
    return int64_t(from) * nb_col + col;
}

bool same_bits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

Block::Block(const py::object &values, long long first_line, long long first_col, long long nb_lig, long long nb_col,
             const std::string &unit, const py::object &mask)
{
    SampleType type;
    const ArrayView v = elevation_view(values, "values", type);
    std::optional<ArrayView> m;
    if (!mask.is_none()) m = mask_view(mask, "mask", v.rows, v.cols);
    nb_lig_ = raster_size(nb_lig, "nb_lig"), nb_col_ = raster_size(nb_col, "nb_col");
    first_line_ = raster_size(first_line, "first_line"), first_col_ = raster_size(first_col, "first_col");
    rows_ = static_cast<int>(v.rows), cols_ = static_cast<int>(v.cols);
    if (first_line + v.rows > nb_lig || first_col + v.cols > nb_col)
        throw py::value_error("a block of " + std::to_string(v.rows) + " x " + std::to_string(v.cols) + " at (" +
                              std::to_string(first_line) + ", " + std::to_string(first_col) +
                              ") is not inside a raster of " + std::to_string(nb_lig) + " x " + std::to_string(nb_col));
    masked_ = m.has_value() || type == SampleType::f32 || type == SampleType::f64;
    const MetresConverter conv(type, unit_interval(unit));
    metres_.resize(static_cast<size_t>(rows_) * cols_);
    if (masked_) valid_.resize(metres_.size());
    for (int i = 0; i < rows_; i++) {
        const size_t at = static_cast<size_t>(i) * cols_;
        conv.line(v, m ? &*m : nullptr, i, metres_.data() + at, masked_ ? valid_.data() + at : nullptr);
    }
}

Block::Region Block::region(const py::object &lines, const py::object &cols) const
{
    Region r;
    const auto pick = [](const py::object &given, int first, int count, int size, int &from, int &to) {
        if (given.is_none()) { // every line or column whose neighbours the block holds
            from = first + (first > 0), to = first + count - (first + count < size);
            if (to < from) to = from;
            return;
        }
        const auto pair = given.cast<std::pair<long long, long long>>();
        if (pair.first < 0 || pair.second > size || pair.first > pair.second)
            throw py::value_error("the range " + std::to_string(pair.first) + " .. " + std::to_string(pair.second) +
                                  " is not inside 0 .. " + std::to_string(size));
        from = static_cast<int>(pair.first), to = static_cast<int>(pair.second);
    };
    pick(lines, first_line_, rows_, nb_lig_, r.from, r.to);
    pick(cols, first_col_, cols_, nb_col_, r.c0, r.c1);
    if (r.c0 >= r.c1) return r;
    r.n0 = std::max(r.c0 - 1, 0);
    const int n1 = std::min(r.c1 + 1, nb_col_);
    if (r.n0 < first_col_ || n1 > first_col_ + cols_)
        throw py::value_error("the block holds columns " + std::to_string(first_col_) + " .. " +
                              std::to_string(first_col_ + cols_ - 1) + "; columns " + std::to_string(r.n0) + " .. " +
                              std::to_string(n1 - 1) + " are needed");
    r.width = n1 - r.n0;
    r.narrow.nb_lig = nb_lig_, r.narrow.nb_col = r.width;
    r.narrow.first = first_line_, r.narrow.count = rows_;
    if (r.n0 == first_col_ && r.width == cols_) { // the block's own lines
        r.narrow.metres = metres_.data(), r.narrow.valid = masked_ ? valid_.data() : nullptr;
        return r;
    }
    r.z.resize(static_cast<size_t>(rows_) * r.width);
    if (masked_) r.valid.resize(r.z.size());
    for (int i = 0; i < rows_; i++) {
        const size_t from = static_cast<size_t>(i) * cols_ + (r.n0 - first_col_), to = static_cast<size_t>(i) * r.width;
        std::copy(metres_.begin() + from, metres_.begin() + from + r.width, r.z.begin() + to);
        if (masked_) std::copy(valid_.begin() + from, valid_.begin() + from + r.width, r.valid.begin() + to);
    }
    r.narrow.metres = r.z.data(), r.narrow.valid = masked_ ? r.valid.data() : nullptr;
    return r;
}

void Block::interior_lines_of(const Region &r, int &first, int &end) const
{
    first = std::max(r.from, 1), end = std::min(r.to, nb_lig_ - 1); // as the core's blocks take them
    if (r.c0 >= r.c1 || r.width < 3 || first >= end) first = end = r.from;
}

PlacedRange Block::ratio_range(const py::object &lines, const py::object &cols) const
{
    const Region r = region(lines, cols);
    PlacedRange out;
    if (r.c0 >= r.c1) return out;
    py::gil_scoped_release released;
    try {
        out.range = block_ratio_range(r.narrow, r.from, r.to);
    } catch (const BlockError &e) {
        throw py::value_error(e.what());
    }
    if (out.range.empty()) return out;
    int first, end;
    interior_lines_of(r, first, end);
    const int64_t key = int64_t(first) * nb_col_ + r.c0;
    // Of equal extremes only 0.0 and -0.0 differ: their first line decides which is kept.
    out.min_key = out.range.dmin == 0 ? first_line_with(r.narrow, first, end, true, 0.0, nb_col_, r.c0) : key;
    out.max_key = out.range.dmax == 0 ? first_line_with(r.narrow, first, end, false, 0.0, nb_col_, r.c0) : key;
    return out;
}

py::tuple Block::levels(double max_stretch, bool centred, bool ratio, const py::object &lines, const py::object &cols) const
{
    const Region r = region(lines, cols);
    const int n = r.to - r.from, w = r.c1 - r.c0;
    std::vector<unsigned char> c(centred ? static_cast<size_t>(n) * r.width : 0);
    std::vector<double> q(ratio ? static_cast<size_t>(n) * r.width : 0);
    LevelTally tally;
    if (w > 0 && n > 0) {
        py::gil_scoped_release released;
        try {
            block_levels(r.narrow, r.from, r.to, max_stretch, centred ? c.data() : nullptr, ratio ? q.data() : nullptr,
                         tally);
        } catch (const BlockError &e) {
            throw py::value_error(e.what());
        }
    }
    const std::vector<py::ssize_t> shape{n, w};
    py::object co = py::none(), qo = py::none();
    if (centred) {
        py::array_t<uint8_t> a(shape);
        for (int i = 0; i < n && w > 0; i++)
            std::memcpy(a.mutable_data(i, 0), c.data() + static_cast<size_t>(i) * r.width + (r.c0 - r.n0), w);
        co = a;
    }
    if (ratio) {
        py::array_t<double> a(shape);
        for (int i = 0; i < n && w > 0; i++)
            std::memcpy(a.mutable_data(i, 0), q.data() + static_cast<size_t>(i) * r.width + (r.c0 - r.n0),
                        sizeof(double) * w);
        qo = a;
    }
    return py::make_tuple(co, qo, tally);
}

PlacedRange fold_ranges(const std::vector<PlacedRange> &ranges)
{
    PlacedRange total;
    for (const PlacedRange &later : ranges) {
        const PartialRange before = total.range;
        fold_range(later.range, total.range);
        if (!same_bits(before.dmin, total.range.dmin)) total.min_key = later.min_key;
        if (!same_bits(before.dmax, total.range.dmax)) total.max_key = later.max_key;
    }
    return total;
}

PlacedRange merge_ranges(std::vector<PlacedRange> ranges)
{
    // Folded in the order of their first extremes met: the first met of equal extremes wins.
    const auto by = [&ranges](int64_t PlacedRange::*key) {
        std::vector<PlacedRange> sorted = ranges;
        std::stable_sort(sorted.begin(), sorted.end(),
                         [key](const PlacedRange &a, const PlacedRange &b) { return a.*key < b.*key; });
        return fold_ranges(sorted);
    };
    const PlacedRange low = by(&PlacedRange::min_key), high = by(&PlacedRange::max_key);
    PlacedRange out;
    out.range.dmin = low.range.dmin, out.min_key = low.min_key;
    out.range.dmax = high.range.dmax, out.max_key = high.max_key;
    return out;
}

Figures block_figures(long long nb_lig, long long nb_col, const PlacedRange &ratios, const LevelTally &tally,
                      double coefficient)
{
    RoughnessFigures f;
    ratio_figures(ratios.range, f);
    stretch_figures(raster_size(nb_lig, "nb_lig"), raster_size(nb_col, "nb_col"), tally.tab_hist, tally.without_ratio,
                    coefficient, f);
    Figures out;
    set_figures(f, out);
    return out;
}

py::array_t<uint8_t> stretched_of(const py::array_t<uint8_t> &mapping, const py::array_t<uint8_t, py::array::c_style> &centred)
{
    if (mapping.ndim() != 1 || mapping.shape(0) != 256) throw py::value_error("mapping must hold 256 grey levels");
    const py::array_t<uint8_t, py::array::c_style> map = mapping;
    py::array_t<uint8_t> out(std::vector<py::ssize_t>(centred.shape(), centred.shape() + centred.ndim()));
    stretch_levels(map.data(), centred.data(), out.mutable_data(), static_cast<int64_t>(centred.size()));
    return out;
}
