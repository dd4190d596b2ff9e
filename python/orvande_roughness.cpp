// The module's definition: its functions, the Figures and Maps classes, and their docstrings.
#include "block_steps.h"

namespace {

const char *const module_doc = R"(3x3 roughness ratio of digital elevation models, on numpy arrays.

The ratio of a pixel is the mean of its centre and of the eight points half-way to its
neighbours, over the centre: (5c + s/2) / (9c), s the sum of the neighbours. A pixel has a
ratio when it is interior (not on the first or last line or column) and the nine pixels of
its 3 x 3 window are valid. The centred image puts the ratio 1 on grey 128 and the largest
distance from 1 (the maximum stretch) at the end of the scale; the stretched image cuts off
`coefficient` percent of the pixels at each end of the centred image's histogram and spreads
the rest over grey 1 to 253. Both are exactly the images of the orvande_3d_roughness tool.

Elevations: uint16 or int32 samples in `unit` ("m", "dm", "cm", "mm"), turned into metres as
the tool turns them, or float32/float64 values in metres (NaN marks an invalid pixel). A
`mask` (bool, True where valid) marks invalid pixels too.

Functions: ratio(), maps() on a whole array; stream() on a raster read a block of lines at a
time. They release the GIL while the core's threads compute. maps_dataset() runs them on an
xarray DataArray, chunked with Dask or not; Block and the folds below are its steps, for
callers that cut a raster into blocks themselves (orvande_roughness.cluster writes GeoTIFFs
from a Dask cluster).

Example:

    import numpy as np, orvande_roughness as orr
    dem = np.random.default_rng(1).integers(200, 2500, (400, 300)).astype(np.int32)
    m = orr.maps(dem, 2.0)                  # m.centred, m.stretched: uint8 images
    r = orr.ratio(dem)                      # float64 ratios, NaN on the frame
)";

const char *const ratio_doc = R"(ratio(dem, unit="m", mask=None, threads=None) -> numpy.ndarray

The roughness ratio of every pixel of `dem` (a 2-D uint16, int32, float32 or float64 array),
as a float64 array of the same shape; NaN where a pixel has no ratio (the frame, and every
pixel whose 3 x 3 window holds an invalid pixel). `mask`: None or a bool array of dem's shape,
True where valid. `threads`: None (one a core) or the number of threads.)";

const char *const maps_doc = R"(maps(dem, coefficient, unit="m", mask=None, threads=None) -> Maps

The centred and stretched images of `dem` (arguments as for ratio()) for the coefficient of
stretching `coefficient` (a percentage), with every figure of the computation. Without a mask
(and without NaN), the images are byte for byte the tool's raw results for the same DEM.
Pixels without a ratio are 255 in `centred` and take the stretched level of 255; they are
left out of the ranges, the histogram and the threshold's pixel count.)";

const char *const stream_doc = R"(stream(read, nb_lig, nb_col, coefficient, write=None, unit="m", threads=None,
       progress=None, ratio=True, block_lines=None, stretched=True) -> Figures

The computation of maps() on a raster of nb_lig x nb_col pixels that the caller reads a block
of lines at a time, so that memory does not grow with the raster.

read(first, count) returns the lines first .. first + count - 1 as values of shape
(count, nb_col) (dtypes as for maps(), any contiguity), or a tuple (values, mask). It is
called on the calling thread, several times for the same lines (once a pass, and for the
one-line halo around each block): it must be able to read any range again. With block_lines
given, a range never crosses the first line of a block (line k x block_lines), so that a caller
keeping its lines in such blocks can return views of them. The arrays it returns are read
with the GIL released, before the next call: no other thread may change them meanwhile.

write(first, ratio, centred, stretched) receives the results once per block, in line order,
covering every line exactly once, after the figures are known: ratio float64 (None when
ratio=False), centred and stretched uint8, each (count, nb_col), valid during the call only.
Without write, only the figures are computed. With stretched=False, write receives the
results during the second pass, before the figures are known, with None for stretched: the
raster is then read twice instead of three times, and the caller maps each centred level c
to figures.mapping[c] itself (stretch_levels()).

progress(pass_name, fraction) is called between blocks. Exceptions raised by read, write or
progress propagate unchanged; Ctrl-C is noticed between blocks. block_lines: the lines of a
block (None: about a million pixels). For any blocks, the bytes are those of maps() and
ratio() on the whole array.)";

const char *const figures_doc = R"(The figures of a roughness computation, as the tool folds them.

ratio_min, ratio_max: the range of the ratios, folded from the start values 10000000 and 0
(kept when no pixel has a ratio); max_stretch: the largest distance of a ratio from 1;
centred_min, centred_max: the range of the centred values (128 +/- the scaled distance) as
doubles; histogram: the 256 counts of the centred levels (int64); pixel_count: lines x
columns less the interior pixels without a ratio; threshold: the whole number of pixels the
stretch passes at each end (pixel_count x 0.01 x coefficient); lower_cutoff, upper_cutoff:
the grey levels of the cut-offs; coefficient: the coefficient of stretching; mapping: the
stretched grey level of every centred level (uint8, 256).)";

const char *const maps_class_doc = R"(The figures of a roughness computation (see Figures), with its images:
centred and stretched, uint8 arrays of the DEM's shape (row 0 = the DEM's first line).)";

} // namespace

PYBIND11_MODULE(_core, m)
{
    m.doc() = module_doc;
    py::class_<Figures>(m, "Figures", figures_doc)
        .def_readonly("ratio_min", &Figures::ratio_min, "Smallest ratio (10000000 when no pixel has a ratio).")
        .def_readonly("ratio_max", &Figures::ratio_max, "Largest ratio (0 when no pixel has a ratio).")
        .def_readonly("max_stretch", &Figures::max_stretch, "Largest distance of a ratio from 1.")
        .def_readonly("centred_min", &Figures::centred_min, "Smallest centred value, as a double.")
        .def_readonly("centred_max", &Figures::centred_max, "Largest centred value, as a double.")
        .def_readonly("histogram", &Figures::histogram, "The 256 counts of the centred levels (int64).")
        .def_readonly("threshold", &Figures::threshold, "Pixels passed at each end by the stretch.")
        .def_readonly("lower_cutoff", &Figures::lower_cutoff, "Lower cut-off grey level.")
        .def_readonly("upper_cutoff", &Figures::upper_cutoff, "Upper cut-off grey level.")
        .def_readonly("pixel_count", &Figures::pixel_count,
                      "Lines x columns less the interior pixels without a ratio.")
        .def_readonly("coefficient", &Figures::coefficient, "The coefficient of stretching (a percentage).")
        .def_readonly("mapping", &Figures::mapping, "The stretched level of every centred level (uint8, 256).")
        .def("__repr__", [](const Figures &f) {
            return "<Figures ratio " + std::to_string(f.ratio_min) + " .. " + std::to_string(f.ratio_max) +
                   ", max_stretch " + std::to_string(f.max_stretch) + ", cut-offs " + std::to_string(f.lower_cutoff) +
                   " .. " + std::to_string(f.upper_cutoff) + ">";
        });
    py::class_<Maps, Figures>(m, "Maps", maps_class_doc)
        .def_readonly("centred", &Maps::centred, "The centred image (uint8).")
        .def_readonly("stretched", &Maps::stretched, "The stretched image (uint8).");
    m.def("ratio", &ratio, ratio_doc, py::arg("dem"), py::arg("unit") = "m", py::arg("mask") = py::none(),
          py::arg("threads") = py::none());
    m.def("maps", &maps, maps_doc, py::arg("dem"), py::arg("coefficient"), py::arg("unit") = "m",
          py::arg("mask") = py::none(), py::arg("threads") = py::none());
    m.def("stream", &stream, stream_doc, py::arg("read"), py::arg("nb_lig"), py::arg("nb_col"), py::arg("coefficient"),
          py::arg("write") = py::none(), py::arg("unit") = "m", py::arg("threads") = py::none(),
          py::arg("progress") = py::none(), py::arg("ratio") = true, py::arg("block_lines") = py::none(),
          py::arg("stretched") = true);
    define_block_steps(m);
}
