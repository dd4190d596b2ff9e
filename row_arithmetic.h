// Line-at-a-time forms of the per-pixel arithmetic of pixel_arithmetic.h, giving the same
// bits for every input.
//
// On processors with AVX2 and FMA, four pixels are worked at once in double precision. Each
// extended-precision step (a sum, product or quotient rounded to a 64-bit significand and
// then to double) is formed as the correctly rounded double result plus an exact error
// term; the double rounding then changes that result only when it is odd and the exact
// value lies within half a 64-bit unit of the halfway point beside it, which the error term
// tells. A pixel outside what these checks cover is computed by the per-pixel function:
// infinities and NaN; for the ratio, nonzero terms spread over more than 7 binades or
// beyond 2^+-400, and products within 2^-44 of a unit in the last place from a decision
// point (about one in 2^43), where the error term is not exact;
// for the centred level, distances from 128 beyond 128 and stretches beyond 2^+-400.
// Elsewhere, or when forced, every pixel is.
#ifndef ROW_ARITHMETIC_H
#define ROW_ARITHMETIC_H

// out[k] = midpoint(a[k], b[k]) for 0 <= k < count.
void midpoint_line(int count, const double *a, const double *b, double *out);

// For every interior pixel j (1 <= j <= nb_col - 2) of a line:
// out[j] = ratio_of_midpoints(centre[j], {m[0][j + offset[0]], ..., m[7][j + offset[7]]}),
// and then, in pixel order, if (dmin > out[j]) dmin = out[j]; if (dmax < out[j]) dmax = out[j].
void ratio_line(int nb_col, const double *centre, const double *const m[8], const int offset[8], double *out,
                double &dmin, double &dmax);

// For every interior pixel j of a line: val = centred_level(ratio[j], max_estir, &scaled[j]);
// level[j] = val above 255 ? 255 : val (as a byte); tab_hist[level[j]]++; and the range of
// scaled[j] into dmin and dmax as in ratio_line.
void centred_line(int nb_col, const double *ratio, double max_estir, double *scaled, unsigned char *level,
                  int *tab_hist, double &dmin, double &dmax);

// The largest |z| of v[0..count), or NaN when a value is not finite, is beyond 2^500 or is
// nonzero below 2^-1000 (where the margin of ratio_bounds_line is not proven).
double line_magnitude(int count, const double *v);

// Bounds on the ratios of the interior pixels of a line (1 <= j <= nb_col - 2), from the
// line and the lines above and below it: lo <= r <= hi for the ratio r that roughness_ratio
// gives each of them, computed in plain double arithmetic with a proven margin. `largest` is
// M, the largest line_magnitude of the three lines. With d the divisor of a pixel, its ratio
// is within 4.1 u M/|d| of (5c + s/2) / (9d) (u = 2^-53: the rounded midpoints, the extended
// sum, the product by one ninth and the quotient), and the double evaluation here within
// 9 u M/|d| of the same; the margin taken is 2^-47 M/|d| = 64 u M/|d|, which also covers the
// rounding of the bounds themselves (|ratio| <= M/|d|). False, leaving lo and hi alone, when
// M is NaN or a bound is not a number, or nb_col < 3.
bool ratio_bounds_line(int nb_col, const double *above, const double *line, const double *below, double largest,
                       double &lo, double &hi);

// The centred levels of the interior pixels of a line from its three lines of elevations:
// level[j] = min(centred_level(r, max_estir, &scaled), 255) for the ratio r that
// roughness_ratio gives pixel j, and tab_hist[level[j]]++, as centred_line gives them. Each
// level is settled from the bounds of ratio_bounds_line (`largest` as there) where they
// leave no doubt, and computed by the per-pixel functions elsewhere. False, touching
// nothing, where this is not available (no four-pixel path, M NaN, a stretch outside
// 2^-400 .. 2^400): the caller then takes ratio_line and centred_line. *unsettled (may be
// null) receives the number of pixels computed one at a time: when it is a large share of the
// line (near-flat ground, where a grey level is narrower than the bounds), ratio_line and
// centred_line, four pixels at a time, are the cheaper way to the same levels.
bool centred_levels_line(int nb_col, const double *above, const double *line, const double *below, double largest,
                         double max_estir, unsigned char *level, int *tab_hist, int *unsettled = nullptr);

// Whether the four-pixel path is in use. force_per_pixel_arithmetic(true) makes every line
// function use the per-pixel functions (for tests); false restores the choice by processor.
bool row_arithmetic_vectorised();
void force_per_pixel_arithmetic(bool per_pixel);

#endif
