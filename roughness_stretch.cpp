// The scalar steps: centred range, threshold, cut-offs, mapping (see roughness_stretch.h).
#include "roughness_stretch.h"

#include "pixel_arithmetic.h"

#include <algorithm>

PartialRange centred_range(const PartialRange &ratios, double max_estir)
{
    PartialRange scaled;
    if (ratios.empty()) return scaled;
    for (double r : {ratios.dmin, ratios.dmax}) {
        double v;
        centred_level(r, max_estir, &v);
        widen_by(v, scaled.dmin, scaled.dmax);
    }
    return scaled;
}

int64_t threshold_pixel_count(int nb_lig, int nb_col, int64_t interior_without_ratio)
{
    return static_cast<int64_t>(nb_lig) * nb_col - interior_without_ratio;
}

namespace {

// Levels the cut-off searches may visit: the histogram of the tool had this many entries,
// of which only 0 .. 255 ever count pixels.
const int hist_levels = 2300;

int64_t count_at(const int64_t *tab_hist, int level)
{
    return level < 256 ? tab_hist[level] : 0;
}

} // namespace

int64_t stretch_iseuil(int64_t pixels, double coefficient)
{
    const double seuil = stretch_threshold(pixels, coefficient);
    if (!(seuil > -0x1p63)) return INT64_MIN; // also NaN
    if (seuil >= 0x1p63) return INT64_MAX;
    return static_cast<int64_t>(seuil);
}

int lower_cutoff(const int64_t *tab_hist, int min, int max, int64_t iseuil)
{
    int64_t itot = 0;
    for (int level = (min < 0 ? 0 : min); level <= max && level < hist_levels; level++) {
        itot += count_at(tab_hist, level);
        if (itot > iseuil) return level - 1;
    }
    return max + 1;
}

int upper_cutoff(const int64_t *tab_hist, int min, int max, int64_t iseuil)
{
    int64_t itot = 0;
    for (int level = (max >= hist_levels ? hist_levels - 1 : max); level >= min && level >= 0; level--) {
        itot += count_at(tab_hist, level);
        if (itot > iseuil) return level + 1;
    }
    return min - 1;
}

void stretch_mapping(int min_seuil, int max_seuil, unsigned char mapping[256])
{
    for (int v = 0; v < 256; v++) mapping[v] = static_cast<unsigned char>(stretched_level(v, min_seuil, max_seuil));
}

void ratio_figures(const PartialRange &ratios_met, RoughnessFigures &f)
{
    f.ratios_met = ratios_met;
    f.ratios = tool_range(ratios_met);
    f.max_estir = maximum_stretch(f.ratios.dmin, f.ratios.dmax, &f.first_stretch);
}

void stretch_figures(int nb_lig, int nb_col, const int64_t tab_hist[256], int64_t without_ratio, double coefficient,
                     RoughnessFigures &f)
{
    f.centred = tool_range(centred_range(f.ratios_met, f.max_estir));
    std::copy(tab_hist, tab_hist + 256, f.tab_hist);
    f.pixel_count = threshold_pixel_count(nb_lig, nb_col, without_ratio);
    f.coefficient = coefficient;
    f.iseuil = stretch_iseuil(f.pixel_count, coefficient);
    const int min = static_cast<int>(f.centred.dmin), max = static_cast<int>(f.centred.dmax);
    f.lower = lower_cutoff(tab_hist, min, max, f.iseuil);
    f.upper = upper_cutoff(tab_hist, min, max, f.iseuil);
    stretch_mapping(f.lower, f.upper, f.mapping);
}
