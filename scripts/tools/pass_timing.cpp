// Times the two computing passes of the roughness tool on an _m2 DEM (16-bit samples in
// whole metres), without the dialogue and the result files:
//
//   pass_timing RAW_PATH LINES COLUMNS [THREADS...] [--grid PATH]     default threads: 1 2
//
// The DEM lines are read from the raster (warm it in the page cache first) and turned into
// metres by the tool's own line source (dem_lines). For each thread count, five runs of
// the ratio range pass and of the centred pass are timed (wall clock); the line prints the
// median of each and of their sum in seconds and Mpixel/s, and the ranges and a checksum of
// the levels, which must be the same for every thread count. --grid writes the centred
// grey levels of the last run to PATH, as the tool's raw raster of the centred image.
#include "dem_lines.h"
#include "roughness_passes.h"

#include "pixel_arithmetic.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The DEM lines in metres, read as the tool reads them, from any thread.
RasterInput raster_input(const DemRaster &dem, int nb_lig)
{
    RasterInput in;
    in.nb_lig = nb_lig;
    in.nb_col = dem.nb_col;
    in.any_thread = true;
    in.read = [&dem](int first, int count, double *out, unsigned char *) {
        for (int k = 0; k < count; k++)
            if (!metres_line(dem, first + k, out + static_cast<size_t>(k) * dem.nb_col)) return false;
        return true;
    };
    return in;
}

uint64_t checksum(const std::vector<unsigned char> &grid)
{
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char b : grid) h = (h ^ b) * 1099511628211ULL;
    return h;
}

int time_passes(const DemRaster &dem, int nb_lig, int threads, const char *grid_path)
{
    const int nb_col = dem.nb_col;
    const RasterInput input = raster_input(dem, nb_lig);
    PassOptions options;
    options.threads = threads;
    std::vector<unsigned char> grid(static_cast<size_t>(nb_lig) * nb_col);
    LevelRequest request;
    request.sink = [&grid](const LevelLines &l) {
        std::memcpy(&grid[static_cast<size_t>(l.first) * l.nb_col], l.centred, static_cast<size_t>(l.count) * l.nb_col);
    };
    std::vector<double> t1, t2, both;
    ValueRange ratios, scaled;
    for (int run = 0; run < 5; run++) {
        const auto start = std::chrono::steady_clock::now();
        PartialRange met;
        if (!ratio_range_pass(input, options, met)) return 1;
        t1.push_back(seconds_since(start));
        ratios = tool_range(met);
        const double max_estir = maximum_stretch(ratios.dmin, ratios.dmax, nullptr);
        const auto second = std::chrono::steady_clock::now();
        LevelTally tally;
        if (!levels_pass(input, max_estir, options, request, tally)) return 1;
        scaled = tool_range(centred_range(met, max_estir));
        t2.push_back(seconds_since(second));
        both.push_back(seconds_since(start));
    }
    const double mpx = static_cast<double>(nb_lig) * nb_col / 1e6;
    std::printf("threads %d: ratio pass %.3f s, centred pass %.3f s, both %.3f s (%.1f Mpixel/s); "
                "ratios %.6f .. %.6f, centred %.6f .. %.6f, levels %016" PRIx64 "\n",
                threads, median(t1), median(t2), median(both), mpx / median(both), ratios.dmin, ratios.dmax,
                scaled.dmin, scaled.dmax, checksum(grid));
    if (grid_path == nullptr) return 0;
    FILE *f = std::fopen(grid_path, "wb");
    const bool written = f != nullptr && std::fwrite(grid.data(), 1, grid.size(), f) == grid.size();
    return (f != nullptr && std::fclose(f) == 0 && written) ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: pass_timing RAW_PATH LINES COLUMNS [THREADS...]\n");
        return 2;
    }
    const int nb_lig = std::atoi(argv[2]), nb_col = std::atoi(argv[3]);
    const int fd = open(argv[1], O_RDONLY);
    if (fd < 0 || nb_lig < 1 || nb_col < 1) {
        std::fprintf(stderr, "pass_timing: cannot read %s as %s x %s\n", argv[1], argv[2], argv[3]);
        return 1;
    }
    DemRaster dem; // 16-bit samples in whole metres
    dem.fd = fd;
    dem.nb_col = nb_col;
    std::vector<int> counts;
    const char *grid_path = nullptr;
    for (int k = 4; k < argc; k++) {
        if (std::strcmp(argv[k], "--grid") == 0 && k + 1 < argc)
            grid_path = argv[++k];
        else
            counts.push_back(std::atoi(argv[k]));
    }
    if (counts.empty()) counts = {1, 2};
    for (int threads : counts)
        if (threads < 1 || time_passes(dem, nb_lig, threads, grid_path) != 0) {
            std::fprintf(stderr, "pass_timing: the passes failed with %d threads\n", threads);
            return 1;
        }
    close(fd);
    return 0;
}
