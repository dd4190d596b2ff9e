// The block steps of the core for Python (see block_steps.cpp): a block of lines and columns
// of a raster with its halo, what the core computes on it, and the folds of its results.
#ifndef BLOCK_STEPS_H
#define BLOCK_STEPS_H

#include "module_support.h"

#include "roughness_blocks.h"
#include "roughness_stretch.h"

#include <cstdint>
#include <string>
#include <vector>

// A partial range of ratios with, for each extreme, an order key of the first pixel met that
// holds it (line x nb_col + the first column of its block): merged by the keys, partial ranges
// of blocks cut in any way give the range of the ratios folded in pixel order.
struct PlacedRange {
    PartialRange range;
    int64_t min_key = 0, max_key = 0;
};

// Lines first_line .. first_line + rows - 1 and columns first_col .. first_col + cols - 1 of a
// raster of nb_lig x nb_col pixels, in metres with their validity. A step computes the pixels of
// lines [from, to) and columns [c0, c1) (by default those whose neighbours the block holds)
// and needs the block to hold the pixels around them that the
// raster has.
class Block {
public:
    Block(const py::object &values, long long first_line, long long first_col, long long nb_lig, long long nb_col,
          const std::string &unit, const py::object &mask);
    PlacedRange ratio_range(const py::object &lines, const py::object &cols) const;
    // (centred uint8 or None, ratio float64 or None, LevelTally) of the region.
    py::tuple levels(double max_stretch, bool centred, bool ratio, const py::object &lines, const py::object &cols) const;

    int nb_lig_ = 0, nb_col_ = 0, first_line_ = 0, first_col_ = 0, rows_ = 0, cols_ = 0;

private:
    // The region's columns c0 - 1 .. c1 within the raster (n0 .. n0 + width - 1) as the lines
    // of a raster of their own (see the .cpp); z and valid hold them when the block holds more.
    struct Region {
        int from = 0, to = 0, c0 = 0, c1 = 0, n0 = 0, width = 0;
        std::vector<double> z;
        std::vector<unsigned char> valid;
        LineBlock narrow;
    };
    Region region(const py::object &lines, const py::object &cols) const;
    void interior_lines_of(const Region &r, int &first, int &end) const;

    bool masked_ = false;
    std::vector<double> metres_;
    std::vector<unsigned char> valid_;
};

// Partial ranges of blocks of whole lines folded in line order with the strict tests.
PlacedRange fold_ranges(const std::vector<PlacedRange> &ranges);
// Partial ranges of blocks cut in any way, in any order: the same as folded in pixel order.
PlacedRange merge_ranges(std::vector<PlacedRange> ranges);
// Every figure from the merged ratio range and the added counts of the levels.
Figures block_figures(long long nb_lig, long long nb_col, const PlacedRange &ratios, const LevelTally &tally,
                      double coefficient);
// mapping[centred] for every byte.
py::array_t<uint8_t> stretched_of(const py::array_t<uint8_t> &mapping, const py::array_t<uint8_t, py::array::c_style> &centred);

// The module's definitions of the above.
void define_block_steps(py::module_ &m);

#endif
