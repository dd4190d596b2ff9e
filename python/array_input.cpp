// The module's inputs (see array_input.h).
#include "array_input.h"

#include "pixel_arithmetic.h"

#include <cmath>
#include <cstring>

int unit_interval(const std::string &unit)
{
    static const char *const units[4] = {"m", "dm", "cm", "mm"};
    for (int k = 0; k < 4; k++)
        if (unit == units[k]) return k;
    throw py::value_error("unit must be \"m\", \"dm\", \"cm\" or \"mm\", not \"" + unit + "\"");
}

namespace {

ArrayView view_2d(const py::handle &object, const char *what)
{
    if (!py::isinstance<py::array>(object))
        throw py::type_error(std::string(what) + " must be a numpy array, not " +
                             std::string(py::str(py::type::of(object).attr("__name__"))));
    ArrayView v;
    v.array = py::reinterpret_borrow<py::array>(object);
    if (v.array.ndim() != 2)
        throw py::value_error(std::string(what) + " must be a 2-D array; it has " + std::to_string(v.array.ndim()) +
                              " dimension(s)");
    v.data = static_cast<const char *>(v.array.data());
    v.rows = v.array.shape(0), v.cols = v.array.shape(1);
    v.row_stride = v.array.strides(0), v.col_stride = v.array.strides(1);
    return v;
}

} // namespace

ArrayView elevation_view(const py::handle &object, const char *what, SampleType &type)
{
    ArrayView v = view_2d(object, what);
    const py::dtype dt = v.array.dtype();
    if (dt.is(py::dtype::of<uint16_t>()) || (dt.kind() == 'u' && dt.itemsize() == 2))
        type = SampleType::u16;
    else if (dt.kind() == 'i' && dt.itemsize() == 4)
        type = SampleType::i32;
    else if (dt.kind() == 'f' && dt.itemsize() == 4)
        type = SampleType::f32;
    else if (dt.kind() == 'f' && dt.itemsize() == 8)
        type = SampleType::f64;
    else
        throw py::type_error(std::string(what) + " must hold uint16, int32, float32 or float64 values, not " +
                             std::string(py::str(py::object(dt))));
    if (!dt.attr("isnative").cast<bool>())
        throw py::type_error(std::string(what) + " must be in the machine's byte order; use .astype(" +
                             std::string(py::str(dt.attr("newbyteorder")("="))) + ")");
    return v;
}

ArrayView mask_view(const py::handle &object, const char *what, py::ssize_t rows, py::ssize_t cols)
{
    ArrayView v = view_2d(object, what);
    if (v.array.dtype().kind() != 'b')
        throw py::type_error(std::string(what) + " must be a bool array, not " + std::string(py::str(py::object(v.array.dtype()))));
    if (v.rows != rows || v.cols != cols)
        throw py::value_error(std::string(what) + " has shape (" + std::to_string(v.rows) + ", " +
                              std::to_string(v.cols) + "); the elevations have (" + std::to_string(rows) + ", " +
                              std::to_string(cols) + ")");
    return v;
}

MetresConverter::MetresConverter(SampleType type, int interval) : type_(type), factor_(interval_factor(interval))
{
    if (type == SampleType::u16) {
        table_.resize(65536);
        for (int raw = 0; raw < 65536; raw++) table_[raw] = elevation_in_metres(raw, factor_);
    }
}

namespace {

// The samples of line i of `values` as metres: metres[j] = f(sample j) for samples of type T,
// read straight along a contiguous line, through the strides otherwise.
template <class T, class F>
void line_in_metres(const ArrayView &values, py::ssize_t i, double *metres, F f)
{
    const char *p = values.at(i, 0);
    if (values.col_stride == static_cast<py::ssize_t>(sizeof(T))) {
        for (py::ssize_t j = 0; j < values.cols; j++) {
            T raw;
            std::memcpy(&raw, p + j * sizeof(T), sizeof raw);
            metres[j] = f(raw);
        }
        return;
    }
    for (py::ssize_t j = 0; j < values.cols; j++) {
        T raw;
        std::memcpy(&raw, p + j * values.col_stride, sizeof raw);
        metres[j] = f(raw);
    }
}

} // namespace

void MetresConverter::line(const ArrayView &values, const ArrayView *mask, py::ssize_t i, double *metres,
                           unsigned char *valid) const
{
    const py::ssize_t cols = values.cols;
    switch (type_) {
    case SampleType::u16:
        line_in_metres<uint16_t>(values, i, metres, [this](uint16_t raw) { return table_[raw]; });
        break;
    case SampleType::i32:
        if (factor_ == 1.0)
            line_in_metres<int32_t>(values, i, metres, [](int32_t raw) { return static_cast<double>(raw); });
        else
            line_in_metres<int32_t>(values, i, metres, [this](int32_t raw) { return elevation_in_metres(raw, factor_); });
        break;
    case SampleType::f32:
        line_in_metres<float>(values, i, metres, [](float raw) { return static_cast<double>(raw); });
        break;
    case SampleType::f64:
        line_in_metres<double>(values, i, metres, [](double raw) { return raw; });
        break;
    }
    if (!valid) return;
    const bool floats = type_ == SampleType::f32 || type_ == SampleType::f64;
    if (!mask) {
        for (py::ssize_t j = 0; j < cols; j++) valid[j] = !floats || std::isfinite(metres[j]);
        return;
    }
    for (py::ssize_t j = 0; j < cols; j++)
        valid[j] = *mask->at(i, j) && (!floats || std::isfinite(metres[j]));
}
