// What the module's functions share: the figures as Python sees them, the pass options from
// the `threads` argument (with Ctrl-C noticed between chunks), and the size checks.
#ifndef MODULE_SUPPORT_H
#define MODULE_SUPPORT_H

#include "array_input.h"

#include "roughness_passes.h"

#include <cstdint>

struct Figures {
    double ratio_min = 0, ratio_max = 0, max_stretch = 0, centred_min = 0, centred_max = 0, coefficient = 0;
    py::object histogram, mapping;
    int64_t threshold = 0, pixel_count = 0;
    int lower_cutoff = 0, upper_cutoff = 0;
};

struct Maps : Figures {
    py::object centred, stretched;
};

// The figures of the core into `out` (with the GIL held).
void set_figures(const RoughnessFigures &f, Figures &out);

// threads: None (one a core) or a whole number >= 1; TypeError or ValueError otherwise.
PassOptions pass_options(const py::object &threads);

// A number of lines or columns as an int (ValueError beyond 0 .. 2147483647).
int raster_size(long long n, const char *what);

py::array_t<double> ratio(const py::object &dem, const std::string &unit, const py::object &mask,
                          const py::object &threads);
Maps maps(const py::object &dem, double coefficient, const std::string &unit, const py::object &mask,
          const py::object &threads);
Figures stream(const py::object &read, long long nb_lig, long long nb_col, double coefficient, const py::object &write,
               const std::string &unit, const py::object &threads, const py::object &progress, bool ratio,
               const py::object &block_lines, bool stretched);

#endif
