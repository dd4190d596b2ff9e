// A DEM raster read a line at a time (see dem_lines.h).
#include "dem_lines.h"

#include "pixel_arithmetic.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include <unistd.h>

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "DEM rasters are little-endian and their samples are copied as they are"
#endif

// Reads up to `bytes` bytes at `offset`, as many as the file holds; -1 on a read error.
static long long read_at(int fd, unsigned char *to, size_t bytes, long long offset)
{
    size_t got = 0;
    while (got < bytes) {
        const ssize_t n = pread(fd, to + got, bytes - got, static_cast<off_t>(offset + static_cast<long long>(got)));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<long long>(got);
}

// Reads `bytes` bytes at `offset` into scratch, zeros past the end of a short raster; -1
// with errno set on a read error, or ESTALE when the raster now holds fewer bytes there than
// it held when its range was taken.
static long long read_raster_bytes(const DemRaster &dem, unsigned char *scratch, size_t bytes, long long offset)
{
    const long long got = read_at(dem.fd, scratch, bytes, offset);
    if (got < 0) return -1;
    if (dem.held >= 0 && got < static_cast<long long>(bytes) && offset + got < dem.held) {
        errno = ESTALE;
        return -1;
    }
    std::memset(scratch + got, 0, bytes - static_cast<size_t>(got));
    return got;
}

// Reads the bytes of line `line` into scratch, zeros past the end of a short raster.
static long long read_line_bytes(const DemRaster &dem, int line, unsigned char *scratch)
{
    const size_t bytes = static_cast<size_t>(dem.nb_col) * static_cast<size_t>(dem.sample);
    return read_raster_bytes(dem, scratch, bytes, static_cast<long long>(line) * static_cast<long long>(bytes));
}

// Sample j of a line's bytes.
template <typename Sample> static inline Sample sample_at(const unsigned char *bytes, size_t j)
{
    Sample v;
    std::memcpy(&v, bytes + j * sizeof(Sample), sizeof(Sample));
    return v;
}

template <typename Sample>
static void widen(const unsigned char *bytes, size_t n, int32_t &lowest, int32_t &highest)
{
    int32_t lo = lowest, hi = highest;
    for (size_t j = 0; j < n; j++) {
        const int32_t v = sample_at<Sample>(bytes, j);
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
    }
    lowest = lo;
    highest = hi;
}

long long widen_raw_range(const DemRaster &dem, int first, int count, unsigned char *scratch, int32_t &lowest,
                          int32_t &highest)
{
    const size_t line_bytes = static_cast<size_t>(dem.nb_col) * static_cast<size_t>(dem.sample);
    const size_t bytes = line_bytes * static_cast<size_t>(count);
    const long long got = read_raster_bytes(dem, scratch, bytes, static_cast<long long>(first) * static_cast<long long>(line_bytes));
    if (got < 0) return -1;
    const size_t n = static_cast<size_t>(dem.nb_col) * static_cast<size_t>(count);
    if (dem.sample == 2)
        widen<uint16_t>(scratch, n, lowest, highest);
    else
        widen<int32_t>(scratch, n, lowest, highest);
    return got;
}

int raster_goes_on(const DemRaster &dem, int nb_lig)
{
    unsigned char byte;
    const long long end = static_cast<long long>(nb_lig) * dem.nb_col * dem.sample;
    const long long got = read_at(dem.fd, &byte, 1, end);
    return got < 0 ? -1 : (got > 0 ? 1 : 0);
}

void prepare_metres(DemRaster &dem, int interv, int lowest, int highest)
{
    dem.interv = interv;
    dem.table.clear();
    const long long span = static_cast<long long>(highest) - lowest + 1;
    if (interv == 0 || span <= 0 || span > (1 << 20)) return;
    const double factor = interval_factor(interv);
    dem.table_low = lowest;
    dem.table.resize(static_cast<size_t>(span));
    for (long long k = 0; k < span; k++) dem.table[static_cast<size_t>(k)] = elevation_in_metres(static_cast<int>(lowest + k), factor);
}

// Metres of n samples: the integers themselves (metres), a table of the raw values, or one
// extended-precision product each (a value outside the table, which only a raster changed
// since its range was taken can hold, gives the same bits that way).
template <typename Sample> static void to_metres(const DemRaster &dem, const unsigned char *bytes, size_t n, double *out)
{
    if (dem.interv == 0) {
        for (size_t j = 0; j < n; j++) out[j] = sample_at<Sample>(bytes, j);
        return;
    }
    const double factor = interval_factor(dem.interv);
    const long long low = dem.table_low, size = static_cast<long long>(dem.table.size());
    const double *table = dem.table.data();
    for (size_t j = 0; j < n; j++) {
        const int32_t raw = sample_at<Sample>(bytes, j);
        const long long k = static_cast<long long>(raw) - low;
        out[j] = (k >= 0 && k < size) ? table[k] : elevation_in_metres(raw, factor);
    }
}

bool metres_line(const DemRaster &dem, int line, double *out)
{
    const size_t n = static_cast<size_t>(dem.nb_col);
    std::unique_ptr<unsigned char[]> scratch(new (std::nothrow) unsigned char[n * static_cast<size_t>(dem.sample)]);
    if (!scratch) {
        errno = ENOMEM;
        return false;
    }
    if (read_line_bytes(dem, line, scratch.get()) < 0) return false;
    if (dem.sample == 2)
        to_metres<uint16_t>(dem, scratch.get(), n, out);
    else
        to_metres<int32_t>(dem, scratch.get(), n, out);
    return true;
}
