// The scalar steps of the roughness computation, between and after the passes: the maximum
// stretch (pixel_arithmetic.h), the range of the centred values, the threshold of the
// contrast stretch, its cut-offs and its mapping of grey levels; and all of them chained into
// the figures of a raster. Nothing here keeps state.
#ifndef ROUGHNESS_STRETCH_H
#define ROUGHNESS_STRETCH_H

#include "value_ranges.h"

#include <cstdint>

// The partial range of the centred values 128 +/- dval of the pixels whose ratios have the
// partial range `ratios`: the centred value only grows with the ratio, so its extremes are
// those of the extreme ratios (no centred value is -0.0, so no tie order is lost).
PartialRange centred_range(const PartialRange &ratios, double max_estir);

// The number of pixels of the threshold: lines x columns less the interior pixels without a
// ratio (so that a mask with every pixel valid changes nothing).
int64_t threshold_pixel_count(int nb_lig, int nb_col, int64_t interior_without_ratio);

// Number of pixels to pass at each end of the histogram: stretch_threshold(pixels,
// coefficient) truncated toward zero and saturated to the int64_t range (NaN gives the
// lowest). Below 2^31 pixels, its comparisons with the counts are those of the int threshold.
int64_t stretch_iseuil(int64_t pixels, double coefficient);

// Lower cut-off: from level max(min, 0) upward to min(max, 2299), the running count of
// tab_hist (levels above 255 count 0) is taken; the first level at which it exceeds iseuil,
// less one; max + 1 when it never does.
int lower_cutoff(const int64_t *tab_hist, int min, int max, int64_t iseuil);

// Upper cut-off: the same from level min(max, 2299) downward to max(min, 0); the first level
// at which the count exceeds iseuil, plus one; min - 1 when it never does.
int upper_cutoff(const int64_t *tab_hist, int min, int max, int64_t iseuil);

// mapping[v] = stretched_level(v, min_seuil, max_seuil) for every grey level v: the stretched
// image is the centred one with every byte mapped.
void stretch_mapping(int min_seuil, int max_seuil, unsigned char mapping[256]);

// Every figure of a raster, as the tool reports and uses them.
struct RoughnessFigures {
    PartialRange ratios_met;   // the ratios' own extremes (empty: no pixel has a ratio)
    ValueRange ratios;         // folded from the start values, as the tool reports them
    double first_stretch = 0;  // the maximum stretch after its first comparison (1 - dmin or 0)
    double max_estir = 0;      // the maximum stretch
    ValueRange centred;        // range of the centred values, folded from the start values
    int64_t tab_hist[256] = {};
    int64_t pixel_count = 0;   // threshold_pixel_count
    double coefficient = 0;    // of stretching, a percentage
    int64_t iseuil = 0;        // pixels passed at each end
    int lower = 0, upper = 0;  // cut-offs
    unsigned char mapping[256] = {};
};

// Step between the passes: the ratio figures and the maximum stretch from the ratios met.
void ratio_figures(const PartialRange &ratios_met, RoughnessFigures &f);

// Step after the centred pass: the centred range, the threshold, the cut-offs and the mapping,
// from the counts of the levels (tab_hist, interior pixels without a ratio).
void stretch_figures(int nb_lig, int nb_col, const int64_t tab_hist[256], int64_t without_ratio, double coefficient,
                     RoughnessFigures &f);

#endif
