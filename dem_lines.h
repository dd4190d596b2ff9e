// A DEM raster read a line at a time, from any thread, and its elevations in metres.
//
// The raster is headerless: nb_lig lines of nb_col samples, the first line first, each sample
// little-endian, 16-bit unsigned (an _m2 raster) or 32-bit signed (an _m4 raster). Line i
// starts at byte i x nb_col x sample. A raster shorter than that reads as zeros past its end
// (a sample cut by the end keeps the bytes that are there); bytes beyond the last line are
// never read. Nothing here prints or keeps state between calls.
#ifndef DEM_LINES_H
#define DEM_LINES_H

#include <cstdint>
#include <vector>

struct DemRaster {
    int fd = -1;     // open for reading; read with pread only, so threads can share it
    int nb_col = 0;
    int sample = 2;  // bytes a sample: 2 or 4
    // Bytes the raster held when its range was taken (-1: not known). A read that finds
    // fewer of them than that fails with ESTALE: the raster changed under the run.
    long long held = -1;
    // Elevations in metres: raw x factor (interval_factor of the unit), or from the table
    // of the raw values table_low .. table_low + table.size() - 1 when there is one.
    int interv = 0;
    int table_low = 0;
    std::vector<double> table;
};

// Widens [lowest, highest] by the raw values of the `count` lines from line `first` (a short
// raster's missing samples count as 0). Returns the number of bytes the raster held for
// them (less than count x nb_col x sample for a short raster), or -1 with errno set on a
// read error. `scratch` holds at least count x nb_col x sample bytes.
long long widen_raw_range(const DemRaster &dem, int first, int count, unsigned char *scratch, int32_t &lowest,
                          int32_t &highest);

// Whether the raster holds any byte beyond its nb_lig lines (0 no, 1 yes, -1 read error).
int raster_goes_on(const DemRaster &dem, int nb_lig);

// Prepares the conversion to metres for the unit `interv` (0 m, 1 dm, 2 cm, 3 mm) of raw
// values that all lie from lowest to highest: a table of one extended-precision product per
// value when that range is small (always so for 16-bit samples).
void prepare_metres(DemRaster &dem, int interv, int lowest, int highest);

// Elevations in metres of line `line`: elevation_in_metres(raw, factor) of every sample,
// exactly. False with errno set on a read error.
bool metres_line(const DemRaster &dem, int line, double *out);

#endif
