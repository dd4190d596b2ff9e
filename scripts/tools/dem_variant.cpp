// Cuts a DEM of another shape or storage out of a square _m2 DEM (16-bit samples in whole
// metres, as make_dem writes it), for the comparison runs:
//
//   dem_variant SRC_RAW SRC_SIZE LINES COLUMNS OUT_RAW OUT_DESCRIPTOR m2|m4mm [OFFSET_M [PIXEL]]
//
// The result is the top-left LINES x COLUMNS corner. `m2` keeps the 16-bit samples; `m4mm`
// writes 32-bit signed samples in millimetres: (value - OFFSET_M) x 1000 plus a fraction of a
// metre that varies from pixel to pixel (-500 .. 499 mm), so that an offset inside the range
// gives negative elevations and zero crossings. The descriptor holds the six numbers.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char **argv)
{
    if (argc < 8 || argc > 10) {
        std::fprintf(stderr, "usage: dem_variant SRC_RAW SRC_SIZE LINES COLUMNS OUT_RAW OUT_DESCRIPTOR m2|m4mm "
                             "[OFFSET_M [PIXEL]]\n");
        return 2;
    }
    const long size = std::atol(argv[2]), lines = std::atol(argv[3]), cols = std::atol(argv[4]);
    const bool m4 = std::strcmp(argv[7], "m4mm") == 0;
    const long offset = argc > 8 ? std::atol(argv[8]) : 0;
    const long pixel = argc > 9 ? std::atol(argv[9]) : 25;
    FILE *in = std::fopen(argv[1], "rb");
    FILE *out = std::fopen(argv[5], "wb");
    FILE *txt = std::fopen(argv[6], "w");
    if (!in || !out || !txt || lines < 1 || cols < 1 || lines > size || cols > size) {
        std::fprintf(stderr, "dem_variant: bad arguments or files\n");
        return 1;
    }
    std::vector<uint16_t> row(static_cast<size_t>(size));
    long lo = LONG_MAX, hi = LONG_MIN;
    for (long i = 0; i < lines; i++) {
        if (std::fread(row.data(), 2, row.size(), in) != row.size()) return 1;
        if (!m4) {
            std::fwrite(row.data(), 2, static_cast<size_t>(cols), out);
            for (long j = 0; j < cols; j++) lo = std::min<long>(lo, row[j]), hi = std::max<long>(hi, row[j]);
            continue;
        }
        std::vector<int32_t> mm(static_cast<size_t>(cols));
        for (long j = 0; j < cols; j++) {
            const long v = (row[j] - offset) * 1000 + (i * 131 + j * 977) % 1000 - 500;
            mm[j] = static_cast<int32_t>(v);
            lo = std::min(lo, v), hi = std::max(hi, v);
        }
        std::fwrite(mm.data(), 4, mm.size(), out);
    }
    std::fprintf(txt, "%ld\n%ld\n%d\n%ld\n%ld\n%ld\n", lines, cols, m4 ? 4 : 2, lo, hi, pixel);
    const bool ok = std::fclose(out) == 0 && std::fclose(txt) == 0;
    std::fclose(in);
    return ok ? 0 : 1;
}
