// A DEM raster read a line at a time (see dem_lines.h).
#include "dem_lines.h"

#include "pixel_arithmetic.h"

#include <cerrno>
#include <cstring>

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

long long read_raw_line(const DemRaster &dem, int line, int32_t *out, unsigned char *scratch)
{
    const size_t bytes = static_cast<size_t>(dem.nb_col) * static_cast<size_t>(dem.sample);
    const long long got = read_at(dem.fd, scratch, bytes, static_cast<long long>(line) * static_cast<long long>(bytes));
    if (got < 0) return -1;
    std::memset(scratch + got, 0, bytes - static_cast<size_t>(got));
    if (dem.sample == 2) {
        for (int j = 0; j < dem.nb_col; j++) {
            uint16_t v;
            std::memcpy(&v, scratch + 2 * static_cast<size_t>(j), 2);
            out[j] = v;
        }
    } else {
        std::memcpy(out, scratch, bytes);
    }
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

bool metres_line(const DemRaster &dem, int line, double *out)
{
    const size_t n = static_cast<size_t>(dem.nb_col);
    std::vector<int32_t> raw(n);
    std::vector<unsigned char> scratch(n * static_cast<size_t>(dem.sample));
    if (read_raw_line(dem, line, raw.data(), scratch.data()) < 0) return false;
    if (dem.interv == 0) { // metres: the product by 1 is the integer itself
        for (size_t j = 0; j < n; j++) out[j] = raw[j];
        return true;
    }
    const double factor = interval_factor(dem.interv);
    const long long low = dem.table_low, size = static_cast<long long>(dem.table.size());
    for (size_t j = 0; j < n; j++) {
        const long long k = static_cast<long long>(raw[j]) - low;
        // A value outside the table (the raster changed since its range was taken) is
        // converted directly, to the same bits.
        out[j] = (k >= 0 && k < size) ? dem.table[static_cast<size_t>(k)] : elevation_in_metres(raw[j], factor);
    }
    return true;
}
