// stream(): the roughness core on a raster that the caller reads a block of lines at a time,
// its results handed back a block at a time. The caller's functions are called on the
// calling thread with the GIL held; the passes run between those calls with it released.
#include "module_support.h"

#include <array>
#include <optional>
#include <string>

namespace {

// The caller's read(first, count), its blocks turned into metres and validity. With blocks of
// `block` lines, a request that crosses the start of a block (a block and its halo lines) is
// asked for in pieces that do not, so that a caller keeping its lines in such blocks hands
// views of them instead of joining copies.
class BlockReader {
public:
    BlockReader(const py::object &read, int nb_col, int interval, int block)
        : read_(read), nb_col_(nb_col), interval_(interval), block_(block)
    {
    }

    bool operator()(int first, int count, double *metres, unsigned char *valid)
    {
        py::gil_scoped_acquire gil;
        const int end = first + count;
        while (block_ > 0 && first / block_ != (end - 1) / block_) {
            const int piece = (first / block_ + 1) * block_ - first;
            const size_t done = static_cast<size_t>(piece) * nb_col_;
            read_piece(first, piece, metres, valid);
            first += piece, metres += done;
            if (valid) valid += done;
        }
        read_piece(first, end - first, metres, valid);
        return true;
    }

private:
    void read_piece(int first, int count, double *metres, unsigned char *valid)
    {
        const py::object got = read_(first, count);
        py::object values = got, mask = py::none();
        if (py::isinstance<py::tuple>(got)) {
            const py::tuple pair = got;
            if (pair.size() != 2)
                throw py::value_error("read() must return values or a tuple (values, mask), not a tuple of " +
                                      std::to_string(pair.size()));
            values = pair[0], mask = pair[1];
        }
        SampleType type;
        const ArrayView v = elevation_view(values, "the values that read() returned", type);
        if (v.rows != count || v.cols != nb_col_)
            throw py::value_error("read(" + std::to_string(first) + ", " + std::to_string(count) +
                                  ") returned values of shape (" + std::to_string(v.rows) + ", " +
                                  std::to_string(v.cols) + "); (" + std::to_string(count) + ", " +
                                  std::to_string(nb_col_) + ") was expected");
        std::optional<ArrayView> m;
        if (!mask.is_none()) m = mask_view(mask, "the mask that read() returned", count, nb_col_);
        const MetresConverter &conv = converter(type);
        py::gil_scoped_release released; // the caller's other threads go on meanwhile
        for (int k = 0; k < count; k++) {
            const size_t at = static_cast<size_t>(k) * nb_col_;
            conv.line(v, m ? &*m : nullptr, k, metres + at, valid ? valid + at : nullptr);
        }
    }

    const MetresConverter &converter(SampleType type)
    {
        std::optional<MetresConverter> &c = converters_[static_cast<int>(type)];
        if (!c) c.emplace(type, interval_);
        return *c;
    }

    const py::object &read_;
    int nb_col_, interval_, block_;
    std::array<std::optional<MetresConverter>, 4> converters_;
};

// The caller's write(first, ratio, centred, stretched), given copies of a block's results.
LevelSink block_writer(const py::object &write)
{
    return [&write](const LevelLines &l) {
        py::gil_scoped_acquire gil;
        const std::vector<py::ssize_t> shape{l.count, l.nb_col};
        const py::object ratio = l.ratio ? py::object(py::array_t<double>(shape, l.ratio)) : py::object(py::none());
        const py::object stretched =
            l.stretched ? py::object(py::array_t<uint8_t>(shape, l.stretched)) : py::object(py::none());
        write(l.first, ratio, py::array_t<uint8_t>(shape, l.centred), stretched);
    };
}

// The caller's progress(pass, fraction); the third pass is named "stretched levels".
PassProgress progress_of(const py::object &progress, const char *rename)
{
    if (progress.is_none()) return PassProgress();
    return [&progress, rename](const char *name, double fraction) {
        py::gil_scoped_acquire gil;
        progress(rename ? rename : name, fraction);
    };
}

int block_lines_of(const py::object &block_lines)
{
    if (block_lines.is_none()) return 0;
    if (!py::isinstance<py::int_>(block_lines) || py::isinstance<py::bool_>(block_lines))
        throw py::type_error("block_lines must be None or a whole number");
    const long long n = block_lines.cast<long long>();
    if (n < 1 || n > INT_MAX) throw py::value_error("block_lines must be from 1 to 2147483647, not " + std::to_string(n));
    return static_cast<int>(n);
}

} // namespace

Figures stream(const py::object &read, long long nb_lig, long long nb_col, double coefficient, const py::object &write,
               const std::string &unit, const py::object &threads, const py::object &progress, bool ratio,
               const py::object &block_lines, bool stretched)
{
    if (!PyCallable_Check(read.ptr())) throw py::type_error("read must be callable");
    if (!write.is_none() && !PyCallable_Check(write.ptr())) throw py::type_error("write must be None or callable");
    if (!progress.is_none() && !PyCallable_Check(progress.ptr())) throw py::type_error("progress must be None or callable");
    RasterInput in;
    in.nb_lig = raster_size(nb_lig, "nb_lig");
    in.nb_col = raster_size(nb_col, "nb_col");
    in.masked = true;
    in.block_lines = block_lines_of(block_lines);
    BlockReader reader(read, in.nb_col, unit_interval(unit), in.block_lines);
    in.read = std::ref(reader);
    PassOptions options = pass_options(threads);
    options.progress = progress_of(progress, nullptr);
    RoughnessFigures f;
    bool ok = true;
    LevelRequest early; // without stretched levels, the results of the centred pass itself
    early.ratio = ratio;
    if (!stretched && !write.is_none()) early.sink = block_writer(write);
    {
        py::gil_scoped_release released;
        ok = roughness_figures(in, coefficient, options, early.sink ? &early : nullptr, f);
        if (ok && stretched && !write.is_none()) {
            LevelRequest request;
            request.ratio = ratio;
            request.mapping = f.mapping;
            request.sink = block_writer(write);
            options.progress = progress_of(progress, "stretched levels");
            LevelTally unused;
            ok = levels_pass(in, f.max_estir, options, request, unused);
        }
    }
    if (!ok) throw std::bad_alloc();
    Figures out;
    set_figures(f, out);
    return out;
}
