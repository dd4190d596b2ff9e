// The module's inputs: 2-D numpy arrays of elevations (and of validity) read through their
// strides, whatever their contiguity, and turned into metres exactly as the tool turns them.
#ifndef ARRAY_INPUT_H
#define ARRAY_INPUT_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace py = pybind11;

enum class SampleType { u16, i32, f32, f64 };

// A 2-D array seen through its strides (in bytes, negative allowed). Keeps the array alive.
struct ArrayView {
    py::array array;
    const char *data = nullptr;
    py::ssize_t rows = 0, cols = 0, row_stride = 0, col_stride = 0;
    const char *at(py::ssize_t i, py::ssize_t j) const { return data + i * row_stride + j * col_stride; }
};

// The hypsometric interval of a unit: "m" 0, "dm" 1, "cm" 2, "mm" 3; ValueError otherwise.
int unit_interval(const std::string &unit);

// Checks that `object` is a 2-D numpy array (TypeError, ValueError) of elevations: uint16,
// int32, float32 or float64 (TypeError otherwise); `what` names it in the messages.
ArrayView elevation_view(const py::handle &object, const char *what, SampleType &type);

// Checks that `object` is a 2-D bool array of shape rows x cols (TypeError, ValueError).
ArrayView mask_view(const py::handle &object, const char *what, py::ssize_t rows, py::ssize_t cols);

// Elevations in metres of the samples of one unit: raw x factor in extended precision (a
// table of every value for 16-bit samples), and the values of float arrays as they are; a
// float value that is not finite marks an invalid pixel.
class MetresConverter {
public:
    MetresConverter(SampleType type, int interval);
    // Line i of `values` into metres[0 .. cols - 1]; its validity into valid (may be null),
    // from `mask` (may be null) and the float values.
    void line(const ArrayView &values, const ArrayView *mask, py::ssize_t i, double *metres,
              unsigned char *valid) const;

private:
    SampleType type_;
    double factor_;
    std::vector<double> table_; // 16-bit samples: metres of every raw value
};

#endif
