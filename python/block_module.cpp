// The module's definitions of the block steps (see block_steps.h), with their docstrings.
#include "block_steps.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>

namespace {

const char *const block_doc = R"(Block(values, first_line, first_col, nb_lig, nb_col, unit="m", mask=None)

Lines first_line .. and columns first_col .. of a raster of nb_lig x nb_col pixels: `values`
(2-D, dtypes and units as for maps(); NaN invalid) and `mask` (bool, True where valid). The
frame is the raster's, not the block's. A step computes the pixels of `lines` (from, to) and
`cols` (from, to), raster coordinates; by default every line and column whose neighbours the
block holds (the block less its first line and column unless they are the raster's first,
and less its last unless they are the raster's last). The block must hold the pixels around
them that the raster has (ValueError otherwise).)";

const char *const ratio_range_doc = R"(ratio_range(lines=None, cols=None) -> PartialRange

Step 1: the partial range of the ratios of the pixels computed, with the order keys of their
first extremes met (see PartialRange); empty when no pixel there has a ratio.)";

const char *const levels_doc = R"(levels(max_stretch, centred=True, ratio=False, lines=None, cols=None)
    -> (centred, ratio, LevelTally)

Step 2: the centred levels (uint8, 255 without a ratio) and the ratios (float64, NaN without
a ratio) of the pixels computed, each None when not asked for, and the counts of the centred
levels (empty unless centred=True).)";

const char *const range_doc = R"(PartialRange(dmin=inf, dmax=-inf, min_key=0, max_key=0)

A partial range of ratios: dmin and dmax as met with the strict tests (of equal values, 0.0
and -0.0, the first met is kept); empty (dmin > dmax) when no pixel has a ratio, which is not
the start values 10000000 and 0 of the reported range. min_key and max_key order the first
pixels met holding the extremes: line x nb_col + the first column of their block.)";

const char *const tally_doc = R"(LevelTally(): the counts of the centred levels of blocks.

histogram: 256 counts (int64); without_ratio: the interior pixels without a ratio. add(other)
adds another block's counts; the sum of every block's gives the raster's.)";

const char *const fold_doc = R"(fold_ranges(ranges) -> PartialRange

The partial ranges of blocks of whole lines, given in line order, folded with the strict
tests, as the passes fold them.)";

const char *const merge_doc = R"(merge_ranges(ranges) -> PartialRange

The partial ranges of blocks cut in any way (rows, columns, both), given in any order: the
range folded in pixel order (line by line, column by column), by their order keys. Merging
merged ranges again gives the same (a tree reduction may merge in any grouping).)";

const char *const ratio_figures_doc = R"(ratio_figures(ratios) -> (ratio_min, ratio_max, max_stretch)

The reported range of the ratios (folded from the start values 10000000 and 0) and the
maximum stretch, from the raster's merged partial range.)";

const char *const centred_range_doc = R"(centred_range(ratios, max_stretch) -> PartialRange

The partial range of the centred values of the pixels whose ratios have the partial range
`ratios`.)";

const char *const figures_doc = R"(figures(nb_lig, nb_col, ratios, tally, coefficient) -> Figures

Every figure of an nb_lig x nb_col raster from its merged ratio range and the added counts of
its levels: those of maps() for the same raster; Figures.mapping gives the stretched levels.)";

const char *const stretch_doc = R"(stretch_levels(mapping, centred) -> numpy.ndarray

Step 3: the stretched levels mapping[centred] (uint8, the shape of centred).)";

py::tuple range_state(const PlacedRange &r)
{
    return py::make_tuple(r.range.dmin, r.range.dmax, r.min_key, r.max_key);
}

PlacedRange range_of(double dmin, double dmax, int64_t min_key, int64_t max_key)
{
    PlacedRange r;
    r.range.dmin = dmin, r.range.dmax = dmax, r.min_key = min_key, r.max_key = max_key;
    return r;
}

py::array_t<int64_t> histogram_of(const LevelTally &t)
{
    py::array_t<int64_t> h(256);
    std::copy(t.tab_hist, t.tab_hist + 256, h.mutable_data());
    return h;
}

LevelTally tally_of(const py::array_t<int64_t, py::array::c_style | py::array::forcecast> &h, int64_t without)
{
    if (h.ndim() != 1 || h.shape(0) != 256) throw py::value_error("a histogram holds 256 counts");
    LevelTally t;
    std::copy(h.data(), h.data() + 256, t.tab_hist);
    t.without_ratio = without;
    return t;
}

} // namespace

void define_block_steps(py::module_ &m)
{
    py::class_<PlacedRange>(m, "PartialRange", range_doc)
        .def(py::init(&range_of), py::arg("dmin") = INFINITY, py::arg("dmax") = -INFINITY, py::arg("min_key") = 0,
             py::arg("max_key") = 0)
        .def_property_readonly("dmin", [](const PlacedRange &r) { return r.range.dmin; })
        .def_property_readonly("dmax", [](const PlacedRange &r) { return r.range.dmax; })
        .def_readonly("min_key", &PlacedRange::min_key)
        .def_readonly("max_key", &PlacedRange::max_key)
        .def_property_readonly("empty", [](const PlacedRange &r) { return r.range.empty(); })
        .def(py::pickle(&range_state, [](const py::tuple &s) {
            return range_of(s[0].cast<double>(), s[1].cast<double>(), s[2].cast<int64_t>(), s[3].cast<int64_t>());
        }))
        .def("__repr__", [](const PlacedRange &r) {
            return "<PartialRange " + std::string(py::repr(py::float_(r.range.dmin))) + " .. " +
                   std::string(py::repr(py::float_(r.range.dmax))) + ">";
        });
    py::class_<LevelTally>(m, "LevelTally", tally_doc)
        .def(py::init<>())
        .def_property_readonly("histogram", &histogram_of)
        .def_readonly("without_ratio", &LevelTally::without_ratio)
        .def("add", &LevelTally::add, py::arg("other"))
        .def(py::pickle([](const LevelTally &t) { return py::make_tuple(histogram_of(t), t.without_ratio); },
                        [](const py::tuple &s) {
                            return tally_of(s[0].cast<py::array_t<int64_t, py::array::c_style | py::array::forcecast>>(),
                                            s[1].cast<int64_t>());
                        }));
    py::class_<Block>(m, "Block", block_doc)
        .def(py::init<const py::object &, long long, long long, long long, long long, const std::string &,
                      const py::object &>(),
             py::arg("values"), py::arg("first_line"), py::arg("first_col"), py::arg("nb_lig"), py::arg("nb_col"),
             py::arg("unit") = "m", py::arg("mask") = py::none())
        .def_readonly("first_line", &Block::first_line_)
        .def_readonly("first_col", &Block::first_col_)
        .def_readonly("nb_lig", &Block::nb_lig_)
        .def_readonly("nb_col", &Block::nb_col_)
        .def("ratio_range", &Block::ratio_range, ratio_range_doc, py::arg("lines") = py::none(),
             py::arg("cols") = py::none())
        .def("levels", &Block::levels, levels_doc, py::arg("max_stretch"), py::arg("centred") = true,
             py::arg("ratio") = false, py::arg("lines") = py::none(), py::arg("cols") = py::none());
    m.def("fold_ranges", &fold_ranges, fold_doc, py::arg("ranges"));
    m.def("merge_ranges", &merge_ranges, merge_doc, py::arg("ranges"));
    m.def("ratio_figures", [](const PlacedRange &r) {
        RoughnessFigures f;
        ratio_figures(r.range, f);
        return py::make_tuple(f.ratios.dmin, f.ratios.dmax, f.max_estir);
    }, ratio_figures_doc, py::arg("ratios"));
    m.def("centred_range", [](const PlacedRange &r, double max_stretch) {
        PlacedRange out;
        out.range = centred_range(r.range, max_stretch);
        return out;
    }, centred_range_doc, py::arg("ratios"), py::arg("max_stretch"));
    m.def("figures", &block_figures, figures_doc, py::arg("nb_lig"), py::arg("nb_col"), py::arg("ratios"),
          py::arg("tally"), py::arg("coefficient"));
    m.def("stretch_levels", &stretched_of, stretch_doc, py::arg("mapping"), py::arg("centred"));
}
