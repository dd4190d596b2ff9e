// What the module's functions share (see module_support.h).
#include "module_support.h"

#include <algorithm>
#include <string>
#include <thread>

void set_figures(const RoughnessFigures &f, Figures &out)
{
    out.ratio_min = f.ratios.dmin, out.ratio_max = f.ratios.dmax, out.max_stretch = f.max_estir;
    out.centred_min = f.centred.dmin, out.centred_max = f.centred.dmax, out.coefficient = f.coefficient;
    py::array_t<int64_t> hist(256);
    std::copy(f.tab_hist, f.tab_hist + 256, hist.mutable_data());
    out.histogram = hist;
    py::array_t<uint8_t> mapping(256);
    std::copy(f.mapping, f.mapping + 256, mapping.mutable_data());
    out.mapping = mapping;
    out.threshold = f.iseuil, out.pixel_count = f.pixel_count;
    out.lower_cutoff = f.lower, out.upper_cutoff = f.upper;
}

namespace {

int thread_count(const py::object &threads)
{
    if (threads.is_none()) return choose_thread_count(nullptr, std::thread::hardware_concurrency(), nullptr);
    if (!py::isinstance<py::int_>(threads) || py::isinstance<py::bool_>(threads))
        throw py::type_error("threads must be None or a whole number, not " +
                             std::string(py::str(py::type::of(threads).attr("__name__"))));
    const int sign = PyObject_RichCompareBool(threads.ptr(), py::int_(1).ptr(), Py_GE);
    if (sign < 0) throw py::error_already_set();
    if (sign == 0) throw py::value_error("threads must be at least 1, not " + std::string(py::str(threads)));
    const int many = PyObject_RichCompareBool(threads.ptr(), py::int_(max_pass_threads).ptr(), Py_GT);
    return many ? max_pass_threads : threads.cast<int>();
}

} // namespace

PassOptions pass_options(const py::object &threads)
{
    PassOptions options;
    options.threads = thread_count(threads);
    options.cancelled = [] {
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        return false;
    };
    return options;
}

int raster_size(long long n, const char *what)
{
    if (n < 0 || n > INT_MAX) throw py::value_error(std::string(what) + " must be from 0 to 2147483647, not " + std::to_string(n));
    return static_cast<int>(n);
}
