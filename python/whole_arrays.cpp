// ratio() and maps(): the roughness core on a whole numpy array, read from the threads of the
// passes with the GIL released.
#include "module_support.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <optional>

namespace {

[[noreturn]] void pass_failed()
{
    throw std::bad_alloc(); // a pass over an array fails only when memory runs out
}

// ---------------------------------------------------------------------------------------
// A whole array in memory
// ---------------------------------------------------------------------------------------
struct WholeArray {
    SampleType type;
    ArrayView values;
    std::optional<ArrayView> mask;
    std::optional<MetresConverter> metres;

    WholeArray(const py::object &dem, const std::string &unit, const py::object &mask_object)
    {
        const int interval = unit_interval(unit);
        values = elevation_view(dem, "dem", type);
        if (!mask_object.is_none()) mask = mask_view(mask_object, "mask", values.rows, values.cols);
        metres.emplace(type, interval);
    }

    // Read from the threads of the passes: raw memory only, no Python object touched.
    RasterInput input() const
    {
        RasterInput in;
        in.nb_lig = raster_size(values.rows, "the number of lines");
        in.nb_col = raster_size(values.cols, "the number of columns");
        in.masked = mask.has_value() || type == SampleType::f32 || type == SampleType::f64;
        in.any_thread = true;
        in.read = [this](int first, int count, double *m, unsigned char *v) {
            for (int k = 0; k < count; k++) {
                const size_t at = static_cast<size_t>(k) * values.cols;
                metres->line(values, mask ? &*mask : nullptr, first + k, m + at, v ? v + at : nullptr);
            }
            return true;
        };
        return in;
    }
};

} // namespace

py::array_t<double> ratio(const py::object &dem, const std::string &unit, const py::object &mask,
                          const py::object &threads)
{
    const WholeArray whole(dem, unit, mask);
    const RasterInput in = whole.input();
    const PassOptions options = pass_options(threads);
    py::array_t<double> out({whole.values.rows, whole.values.cols});
    double *o = out.mutable_data();
    LevelRequest request;
    request.centred = false;
    request.ratio = true;
    request.sink = [o](const LevelLines &l) {
        std::copy(l.ratio, l.ratio + static_cast<size_t>(l.count) * l.nb_col, o + static_cast<size_t>(l.first) * l.nb_col);
    };
    bool ok;
    {
        py::gil_scoped_release released;
        LevelTally unused;
        ok = levels_pass(in, 1.0, options, request, unused);
    }
    if (!ok) pass_failed();
    return out;
}

Maps maps(const py::object &dem, double coefficient, const std::string &unit, const py::object &mask,
          const py::object &threads)
{
    const WholeArray whole(dem, unit, mask);
    const RasterInput in = whole.input();
    const PassOptions options = pass_options(threads);
    py::array_t<uint8_t> centred({whole.values.rows, whole.values.cols}), stretched({whole.values.rows, whole.values.cols});
    uint8_t *c = centred.mutable_data(), *s = stretched.mutable_data();
    LevelRequest request;
    request.sink = [c](const LevelLines &l) {
        std::memcpy(c + static_cast<size_t>(l.first) * l.nb_col, l.centred, static_cast<size_t>(l.count) * l.nb_col);
    };
    RoughnessFigures f;
    bool ok;
    {
        py::gil_scoped_release released;
        ok = roughness_figures(in, coefficient, options, &request, f);
        if (ok) stretch_levels(f.mapping, c, s, static_cast<int64_t>(in.nb_lig) * in.nb_col);
    }
    if (!ok) pass_failed();
    Maps m;
    set_figures(f, m);
    m.centred = centred, m.stretched = stretched;
    return m;
}

