// Line-at-a-time forms of the per-pixel arithmetic (see row_arithmetic.h).
//
// Notation for the four-pixel path: for a double s of binade 2^E (2^E <= |s| < 2^(E+1)),
// h = 2^(E-53) is half its unit in the last place and t64 = 2^(E-64) half a unit of a 64-bit
// significand. A value X rounded to 64 bits and then to double gives the double nearest to
// X, s, except when round64(X) falls on the halfway point m between s and its neighbour
// toward X; the tie then goes to the even one of the two. So the result differs from s
// exactly when s is odd and |X - m| <= t64, that is h - |X - s| <= t64 (m is even on the
// 64-bit grid, so a tie of the first rounding also goes to m). An even s is always kept,
// which also covers the narrower spacing below a power of two.
#include "row_arithmetic.h"

#include "pixel_arithmetic.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

// ---------------------------------------------------------------------------------------
// Per-pixel path: the loops exactly as the tool wrote them.
// ---------------------------------------------------------------------------------------
namespace {

// Every pixel left to a per-pixel function by the four-pixel path goes through these, kept
// out of line so that they are compiled for the baseline processor.
__attribute__((noinline)) double midpoint_at(double a, double b)
{
    return midpoint(a, b);
}

__attribute__((noinline)) double ratio_at(int j, const double *centre, const double *const m[8],
                                          const int offset[8])
{
    double mm[8];
    for (int k = 0; k < 8; k++) mm[k] = m[k][j + offset[k]];
    return ratio_of_midpoints(centre[j], mm);
}

__attribute__((noinline)) void centred_at(int j, const double *ratio, double max_estir, double *scaled,
                                          unsigned char *level)
{
    const int val = centred_level(ratio[j], max_estir, &scaled[j]);
    level[j] = static_cast<unsigned char>(val > 255 ? 255 : val);
}

inline void widen_range(double v, double &dmin, double &dmax)
{
    if (dmin > v) dmin = v;
    if (dmax < v) dmax = v;
}

void midpoint_pixels(int first, int end, const double *a, const double *b, double *out)
{
    for (int k = first; k < end; k++) out[k] = midpoint_at(a[k], b[k]);
}

void ratio_pixels(int first, int end, const double *centre, const double *const m[8], const int offset[8],
                  double *out)
{
    for (int j = first; j < end; j++) out[j] = ratio_at(j, centre, m, offset);
}

void centred_pixels(int first, int end, const double *ratio, double max_estir, double *scaled,
                    unsigned char *level)
{
    for (int j = first; j < end; j++) centred_at(j, ratio, max_estir, scaled, level);
}

void range_pixels(int first, int end, const double *v, double &dmin, double &dmax)
{
    for (int j = first; j < end; j++) widen_range(v[j], dmin, dmax);
}

bool forced_per_pixel = false;

} // namespace

// ---------------------------------------------------------------------------------------
// Bounds on the ratios of a line, in plain double arithmetic (see row_arithmetic.h)
// ---------------------------------------------------------------------------------------
namespace {

// Largest |z| of v[first..end) folded into `top`, and the smallest nonzero one into `bottom`.
void magnitudes(int first, int end, const double *v, double &top, double &bottom)
{
    for (int j = first; j < end; j++) {
        const double a = std::fabs(v[j]);
        top = a > top || a != a ? a : top; // a NaN stays
        if (a != 0.0 && a < bottom) bottom = a;
    }
}

void bound_pixels(int first, int end, const double *up, const double *c, const double *down, double margin_unit,
                  double &lo, double &hi, bool &undefined)
{
    for (int j = first; j < end; j++) {
        const double s = up[j - 1] + up[j] + up[j + 1] + c[j + 1] + down[j + 1] + down[j] + down[j - 1] + c[j - 1];
        const double t = 5.0 * c[j] + 0.5 * s;
        const double q = 1.0 / (c[j] == 0.0 ? 1.0e-7 : c[j]);
        const double r = t * q * one_ninth;
        const double e = margin_unit * std::fabs(q);
        const double low = r - e, high = r + e;
        undefined |= std::isnan(low) || std::isnan(high);
        lo = std::min(lo, low);
        hi = std::max(hi, high);
    }
}

} // namespace

// ---------------------------------------------------------------------------------------
// Four-pixel path (x86-64 with AVX2 and FMA, chosen at run time).
// ---------------------------------------------------------------------------------------
#if defined(__x86_64__) && defined(__GNUC__)
#define ROW_ARITHMETIC_AVX2 1
#include <immintrin.h>

#define AVX2_FMA __attribute__((target("avx2,fma")))

namespace {

typedef __m256d V;

AVX2_FMA inline V bits(uint64_t b)
{
    return _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(b)));
}
AVX2_FMA inline V all(double x) { return _mm256_set1_pd(x); }
AVX2_FMA inline V magnitude(V x) { return _mm256_and_pd(x, bits(0x7FFFFFFFFFFFFFFFULL)); }
AVX2_FMA inline V sign_of(V x) { return _mm256_and_pd(x, bits(0x8000000000000000ULL)); }
// 2^E for a normal x of binade E; 0 for zeros and subnormals, infinity for infinities and NaN.
AVX2_FMA inline V binade(V x) { return _mm256_and_pd(x, bits(0x7FF0000000000000ULL)); }
// All ones where the last bit of the significand is 1.
AVX2_FMA inline V odd(V x)
{
    const __m256i one = _mm256_set1_epi64x(1);
    return _mm256_castsi256_pd(_mm256_cmpeq_epi64(_mm256_and_si256(_mm256_castpd_si256(x), one), one));
}
AVX2_FMA inline V lacking(V mask) { return _mm256_xor_pd(mask, bits(~0ULL)); }
// Where the double rounding of X moves the double s nearest to X: s odd and its distance
// |X - s| at least h - t64 = p (2^-53 - 2^-64), p = 2^E the binade of s.
const double to_halfway_less_t64 = 0x1.ffcp-54;

// s moved one unit in its last place, p 2^-52, in the direction of the sign of `toward`,
// in the lanes set in `move`.
AVX2_FMA inline V one_step(V s, V toward, V move, V p)
{
    const V step = _mm256_or_pd(_mm256_mul_pd(p, all(0x1p-52)), sign_of(toward));
    return _mm256_blendv_pd(s, _mm256_add_pd(s, step), move);
}

// The error a + b - s of s = fl(a + b), exact: a two-sum, or a fast two-sum when |a| >= |b|.
template <bool fast> AVX2_FMA inline V sum_error(V a, V b, V s)
{
    if (fast) return _mm256_sub_pd(b, _mm256_sub_pd(s, a));
    const V bb = _mm256_sub_pd(s, a);
    return _mm256_add_pd(_mm256_sub_pd(a, _mm256_sub_pd(s, bb)), _mm256_sub_pd(b, bb));
}

// a + b rounded to 64 bits and then to double (|a| >= |b| when `fast`), for any finite
// sum; with `checked`, lanes where it is not (err is NaN then) are set in `bad`, and their
// result is meaningless. The test |err| >= p (2^-53 - 2^-64) is made as
// |err| 2^32 >= p (2^-21 - 2^-32), exact from the smallest normal s to the largest. An exact
// sum (err = 0) is kept: it is not near, or s is zero or subnormal (p = 0) and its step 0.
template <bool fast, bool checked> AVX2_FMA inline V sum_twice(V a, V b, V &bad)
{
    const V s = _mm256_add_pd(a, b);
    const V err = sum_error<fast>(a, b, s);
    const V p = binade(s);
    const V near = _mm256_cmp_pd(_mm256_mul_pd(magnitude(err), all(0x1p32)),
                                 _mm256_mul_pd(p, all(to_halfway_less_t64 * 0x1p32)), _CMP_GE_OQ);
    if (checked) bad = _mm256_or_pd(bad, _mm256_cmp_pd(err, err, _CMP_UNORD_Q));
    return one_step(s, err, _mm256_and_pd(odd(s), near), p);
}

// n / d rounded to 64 bits and then to double, for n and d whose quotient and its error
// stay well inside the normal range (the callers see to it), or n = 0 (then q = n / d and
// rem = 0 are exact and q is kept).
AVX2_FMA inline V quotient_twice(V n, V d)
{
    const V q = _mm256_div_pd(n, d);
    const V rem = _mm256_fnmadd_pd(q, d, n); // n - q d, exact: (n/d - q) d
    const V p = binade(q);
    // |n/d - q| >= p (2^-53 - 2^-64): |rem| - p (2^-53 - 2^-64) |d| >= 0, its sign exact.
    const V margin = _mm256_fnmadd_pd(_mm256_mul_pd(p, all(to_halfway_less_t64)), magnitude(d), magnitude(rem));
    const V near = _mm256_cmp_pd(margin, _mm256_setzero_pd(), _CMP_GE_OQ);
    return one_step(q, _mm256_xor_pd(rem, sign_of(d)), _mm256_and_pd(odd(q), near), p);
}

// (hi + lo) x k rounded to 64 bits and then to double, for 2^-460 < |hi| < 2^410 and
// hi = fl(hi + lo). The product is hi k + lo k = ph + pl + e with |e| < 2^-100 |ph|; lanes
// where e could change the decision are set in `bad`.
AVX2_FMA inline V product_twice(V hi, V lo, V k, V &bad)
{
    const V p = _mm256_mul_pd(hi, k);
    const V e1 = _mm256_fmsub_pd(hi, k, p); // hi k - p, exact
    const V t = _mm256_add_pd(e1, _mm256_mul_pd(lo, k));
    const V ph = _mm256_add_pd(p, t);
    const V pl = _mm256_sub_pd(t, _mm256_sub_pd(ph, p)); // p + t - ph, exact (|t| < 2 ulp(p))
    const V pw = binade(ph);
    // |pl| - (h - t64), exact when small.
    const V gap = _mm256_sub_pd(magnitude(pl), _mm256_mul_pd(pw, all(to_halfway_less_t64)));
    bad = _mm256_or_pd(bad, _mm256_cmp_pd(magnitude(gap), _mm256_mul_pd(pw, all(0x1p-96)), _CMP_LE_OQ));
    const V near = _mm256_cmp_pd(gap, _mm256_setzero_pd(), _CMP_GT_OQ);
    return one_step(ph, pl, _mm256_and_pd(odd(ph), near), pw);
}

AVX2_FMA inline V load(const double *p) { return _mm256_loadu_pd(p); }

AVX2_FMA void midpoint_line_avx2(int count, const double *a, const double *b, double *out)
{
    int k = 0;
    for (; k + 4 <= count; k += 4) {
        V bad = _mm256_setzero_pd();
        const V s = sum_twice<false, true>(load(a + k), load(b + k), bad);
        _mm256_storeu_pd(out + k, _mm256_mul_pd(s, all(0.5)));
        for (int lanes = _mm256_movemask_pd(bad); lanes; lanes &= lanes - 1) {
            const int l = k + __builtin_ctz(static_cast<unsigned>(lanes));
            out[l] = midpoint_at(a[l], b[l]);
        }
    }
    midpoint_pixels(k, count, a, b, out);
}

AVX2_FMA inline V max9(const V v[9])
{
    const V a = _mm256_max_pd(_mm256_max_pd(v[0], v[1]), _mm256_max_pd(v[2], v[3]));
    const V b = _mm256_max_pd(_mm256_max_pd(v[4], v[5]), _mm256_max_pd(v[6], v[7]));
    return _mm256_max_pd(_mm256_max_pd(a, b), v[8]);
}
AVX2_FMA inline V min9(const V v[9])
{
    const V a = _mm256_min_pd(_mm256_min_pd(v[0], v[1]), _mm256_min_pd(v[2], v[3]));
    const V b = _mm256_min_pd(_mm256_min_pd(v[4], v[5]), _mm256_min_pd(v[6], v[7]));
    return _mm256_min_pd(_mm256_min_pd(a, b), v[8]);
}
// Sum in a tree; exact for the parts below, whatever the order.
AVX2_FMA inline V add9(const V v[9])
{
    const V a = _mm256_add_pd(_mm256_add_pd(v[0], v[1]), _mm256_add_pd(v[2], v[3]));
    const V b = _mm256_add_pd(_mm256_add_pd(v[4], v[5]), _mm256_add_pd(v[6], v[7]));
    return _mm256_add_pd(_mm256_add_pd(a, b), v[8]);
}

// The sum x[0] + ... + x[8] of extended partial sums, as hi + lo with hi = fl(hi + lo), or
// the zero it is: -0 when every term is -0 and +0 otherwise (sums that cancel).
//
// It is exact when every nonzero term lies within 7 binades of the others, for then every
// partial sum is a multiple of the unit u of the smallest term, below 2^64 u. It is formed
// exactly by splitting each term at the unit 2^(E-46), where 2^E is the binade of the
// largest term: the high parts add up exactly (multiples of 2^(E-46) below 2^(E+5)), and
// so do the low parts (multiples of u below 2^(E-43)). Lanes with terms further apart,
// beyond 2^+-400, infinite or NaN are set in `bad`.
AVX2_FMA inline void exact_sum(const V x[9], V &hi, V &lo, V &bad)
{
    const V nought = _mm256_setzero_pd();
    V size[9];
    #pragma GCC unroll 9
    for (int i = 0; i < 9; i++) size[i] = magnitude(x[i]);
    const V top = max9(size);
    V bottom = min9(size);
    const V all_zero = _mm256_cmp_pd(top, nought, _CMP_EQ_OQ);
    if (_mm256_movemask_pd(_mm256_cmp_pd(bottom, nought, _CMP_EQ_OQ)) & ~_mm256_movemask_pd(all_zero)) {
        #pragma GCC unroll 9
        for (int i = 0; i < 9; i++) // zeros among nonzero terms: the smallest nonzero term
            size[i] = _mm256_blendv_pd(size[i], all(INFINITY), _mm256_cmp_pd(size[i], nought, _CMP_EQ_OQ));
        bottom = min9(size);
    }
    const V pivot = _mm256_mul_pd(binade(top), all(0x1.8p6)); // 1.5 x 2^(E+6): unit 2^(E-46)
    V high[9], low[9];
    #pragma GCC unroll 9
    for (int i = 0; i < 9; i++) {
        high[i] = _mm256_sub_pd(_mm256_add_pd(x[i], pivot), pivot);
        low[i] = _mm256_sub_pd(x[i], high[i]);
    }
    const V h = add9(high), l = add9(low);
    hi = _mm256_add_pd(h, l);
    const V bb = _mm256_sub_pd(hi, h);
    lo = _mm256_add_pd(_mm256_sub_pd(h, _mm256_sub_pd(hi, bb)), _mm256_sub_pd(l, bb));
    if (_mm256_movemask_pd(all_zero)) { // -0 only when every term is
        V zero = x[0];
        #pragma GCC unroll 9
        for (int i = 1; i < 9; i++) zero = _mm256_and_pd(zero, x[i]);
        hi = _mm256_blendv_pd(hi, zero, all_zero);
    }
    const V spread_ok =
        _mm256_and_pd(_mm256_and_pd(_mm256_cmp_pd(top, all(0x1p400), _CMP_LE_OQ),
                                    _mm256_cmp_pd(bottom, all(0x1p-400), _CMP_GE_OQ)),
                      _mm256_cmp_pd(top, _mm256_mul_pd(binade(bottom), all(256.0)), _CMP_LT_OQ));
    // A NaN term, which the maximum may pass over, makes the high sum NaN.
    const V ok = _mm256_and_pd(_mm256_or_pd(spread_ok, all_zero), _mm256_cmp_pd(h, h, _CMP_ORD_Q));
    bad = _mm256_or_pd(bad, lacking(ok));
}

// Ratio of four pixels from the exact sum hi + lo of their terms and their centre c; lanes
// it cannot vouch for are set in `bad`. Terms within 2^+-400 keep the product and quotient
// in range: the sum is a multiple of 2^-452, dif lies within 2^-456 .. 2^402 and the
// divisor within 2^-400 .. 2^401 (or is 1.0e-7).
AVX2_FMA inline V ratio_of_sum(V hi, V lo, V c, V &bad)
{
    const V nought = _mm256_setzero_pd();
    const V zero_sum = _mm256_cmp_pd(hi, nought, _CMP_EQ_OQ);
    V product_bad = nought;
    const V dif = _mm256_blendv_pd(product_twice(hi, lo, all(one_ninth), product_bad), hi, zero_sum); // 0 k = 0
    bad = _mm256_or_pd(bad, _mm256_andnot_pd(zero_sum, product_bad));
    const V divisor = _mm256_blendv_pd(c, all(1.0e-7), _mm256_cmp_pd(c, nought, _CMP_EQ_OQ));
    // A zero dif gives the quotient zero of the sign the extended quotient has.
    return quotient_twice(dif, divisor);
}

AVX2_FMA void ratio_line_avx2(int nb_col, const double *centre, const double *const m[8], const int offset[8],
                              double *out)
{
    const double *term[8]; // local copies: stores to `out` cannot change them
    int shift[8];
#pragma GCC unroll 8
    for (int k = 0; k < 8; k++) term[k] = m[k], shift[k] = offset[k];
    // Pieces of the line in two passes, the sums and then the ratios, so that the processor
    // overlaps the long chains of consecutive pixels.
    const int piece = 256;
    double hi[piece], lo[piece];
    int bad_lanes[piece / 4];
    int j = 1;
    while (j + 4 <= nb_col - 1) {
        const int n = std::min(piece, (nb_col - 1 - j) / 4 * 4);
        for (int b = 0; b < n; b += 4) {
            V x[9];
#pragma GCC unroll 8
            for (int k = 0; k < 8; k++) x[k] = load(term[k] + (j + b + shift[k]));
            x[8] = load(centre + j + b);
            V h, l, bad = _mm256_setzero_pd();
            exact_sum(x, h, l, bad);
            _mm256_storeu_pd(hi + b, h);
            _mm256_storeu_pd(lo + b, l);
            bad_lanes[b / 4] = _mm256_movemask_pd(bad);
        }
        for (int b = 0; b < n; b += 4) {
            V bad = _mm256_setzero_pd();
            _mm256_storeu_pd(out + j + b, ratio_of_sum(load(hi + b), load(lo + b), load(centre + j + b), bad));
            bad_lanes[b / 4] |= _mm256_movemask_pd(bad);
        }
        for (int b = 0; b < n; b += 4)
            for (int lanes = bad_lanes[b / 4]; lanes; lanes &= lanes - 1) {
                const int l = j + b + __builtin_ctz(static_cast<unsigned>(lanes));
                out[l] = ratio_at(l, centre, m, offset);
            }
        j += n;
    }
    ratio_pixels(j, nb_col - 1, centre, m, offset, out);
}

AVX2_FMA void centred_line_avx2(int nb_col, const double *ratio, double max_estir, double *scaled,
                                unsigned char *level)
{
    const V zero = _mm256_setzero_pd(), one = all(1.0), mid = all(128.0), estir = all(max_estir);
    const V sign = bits(0x8000000000000000ULL);
    int j = 1;
    for (; j + 4 <= nb_col - 1; j += 4) {
        const V r = load(ratio + j);
        V bad = zero;
        // |r - 1| rounded twice is r - 1 or 1 - r rounded twice, whichever is positive: at
        // least 2^-53 for r != 1.
        const V dval = magnitude(sum_twice<false, true>(r, all(-1.0), bad));
        // dval / max_estir x 128 (the product by 128 is exact). Where it is at most 128,
        // dval is below 2^401 and the stretch within 2^-400 .. 2^400, so the quotient lies
        // within 2^-453 .. 1, in the range quotient_twice needs; lanes beyond are flagged.
        const V dval128 = _mm256_mul_pd(quotient_twice(dval, estir), mid);
        bad = _mm256_or_pd(bad, _mm256_cmp_pd(dval128, mid, _CMP_NLE_UQ)); // beyond 128, or NaN
        // dval with the sign of r - 1, kept in `scaled` for the next pass. For r = 1 it is
        // -0, which gives the level 128 and the sum 128 as well.
        const V below = _mm256_cmp_pd(r, one, _CMP_NGT_UQ);
        const V signed_dval = _mm256_xor_pd(dval128, _mm256_and_pd(below, sign));
        _mm256_storeu_pd(scaled + j, _mm256_or_pd(signed_dval, _mm256_and_pd(bad, bits(~0ULL))));
    }
    // 128 + dval above 1, 128 - dval below (a sum from 0 to 256); the level truncates toward
    // 128. A flagged lane holds NaN and is redone by the per-pixel function.
    for (int k = 1; k < j; k += 4) {
        const V signed_dval = load(scaled + k);
        V bad = _mm256_cmp_pd(signed_dval, signed_dval, _CMP_UNORD_Q);
        _mm256_storeu_pd(scaled + k, sum_twice<true, false>(mid, signed_dval, bad));
        // 0 to 256, packed with unsigned saturation: 256 is kept as 255.
        __m128i val = _mm_add_epi32(_mm_set1_epi32(128), _mm256_cvttpd_epi32(signed_dval));
        val = _mm_packus_epi16(_mm_packus_epi32(val, val), val);
        const uint32_t four = static_cast<uint32_t>(_mm_cvtsi128_si32(val));
        std::memcpy(level + k, &four, sizeof four); // x86-64: the lowest byte first
        for (int lanes = _mm256_movemask_pd(bad); lanes; lanes &= lanes - 1)
            centred_at(k + __builtin_ctz(static_cast<unsigned>(lanes)), ratio, max_estir, scaled, level);
    }
    centred_pixels(j, nb_col - 1, ratio, max_estir, scaled, level);
}

// The range of v[first..end) folded into dmin and dmax as the pixel-order loop does. The
// minimum and maximum of the same values do not depend on the order, but for the sign of a
// zero: when the result is a zero, the line is folded again in order.
AVX2_FMA void range_avx2(int first, int end, const double *v, double &dmin, double &dmax)
{
    V lo = all(dmin), hi = all(dmax);
    int j = first;
    for (; j + 4 <= end; j += 4) {
        const V x = load(v + j);
        lo = _mm256_blendv_pd(lo, x, _mm256_cmp_pd(x, lo, _CMP_LT_OQ));
        hi = _mm256_blendv_pd(hi, x, _mm256_cmp_pd(x, hi, _CMP_GT_OQ));
    }
    double lows[4], highs[4];
    _mm256_storeu_pd(lows, lo);
    _mm256_storeu_pd(highs, hi);
    double a = dmin, b = dmax;
    for (int l = 0; l < 4; l++) {
        if (a > lows[l]) a = lows[l];
        if (b < highs[l]) b = highs[l];
    }
    range_pixels(j, end, v, a, b);
    if (a == 0.0 || b == 0.0) {
        range_pixels(first, end, v, dmin, dmax);
        return;
    }
    dmin = a;
    dmax = b;
}

AVX2_FMA void magnitudes_avx2(int count, const double *v, double &top, double &bottom)
{
    V high = all(top), low = all(bottom), nan = _mm256_setzero_pd();
    const V zero = _mm256_setzero_pd();
    int j = 0;
    for (; j + 4 <= count; j += 4) {
        const V a = magnitude(load(v + j));
        nan = _mm256_or_pd(nan, _mm256_cmp_pd(a, a, _CMP_UNORD_Q));
        high = _mm256_max_pd(high, a);
        low = _mm256_min_pd(low, _mm256_blendv_pd(a, all(INFINITY), _mm256_cmp_pd(a, zero, _CMP_EQ_OQ)));
    }
    double highs[4], lows[4];
    _mm256_storeu_pd(highs, high);
    _mm256_storeu_pd(lows, low);
    for (int l = 0; l < 4; l++) top = std::max(top, highs[l]), bottom = std::min(bottom, lows[l]);
    if (_mm256_movemask_pd(nan)) top = NAN;
    magnitudes(j, count, v, top, bottom);
}

// The ratios of pixels j .. j + 3 in plain double arithmetic, r = (5c + s/2) / d / 9, and
// their margins e = eps / |d| (see ratio_bounds_line).
AVX2_FMA inline void estimate_ratios(int j, const double *up, const double *c, const double *down, V eps, V &r, V &e)
{
    const V a = _mm256_add_pd(_mm256_add_pd(load(up + j - 1), load(up + j)),
                              _mm256_add_pd(load(up + j + 1), load(c + j + 1)));
    const V b = _mm256_add_pd(_mm256_add_pd(load(down + j + 1), load(down + j)),
                              _mm256_add_pd(load(down + j - 1), load(c + j - 1)));
    const V centre = load(c + j);
    const V t = _mm256_add_pd(_mm256_mul_pd(all(5.0), centre), _mm256_mul_pd(all(0.5), _mm256_add_pd(a, b)));
    const V d = _mm256_blendv_pd(centre, all(1.0e-7), _mm256_cmp_pd(centre, _mm256_setzero_pd(), _CMP_EQ_OQ));
    const V q = _mm256_div_pd(all(1.0), d);
    r = _mm256_mul_pd(_mm256_mul_pd(t, q), all(one_ninth));
    e = _mm256_mul_pd(eps, magnitude(q));
}

// Bounds of the ratios of pixels first .. end - 1 (see bound_pixels), four at a time.
AVX2_FMA void bound_avx2(int first, int end, const double *up, const double *c, const double *down,
                         double margin_unit, double &lo, double &hi, bool &undefined)
{
    V low_acc = all(lo), high_acc = all(hi), nan_acc = _mm256_setzero_pd();
    const V eps = all(margin_unit);
    int j = first;
    for (; j + 4 <= end; j += 4) {
        V r, e;
        estimate_ratios(j, up, c, down, eps, r, e);
        const V low = _mm256_sub_pd(r, e), high = _mm256_add_pd(r, e);
        nan_acc = _mm256_or_pd(nan_acc, _mm256_cmp_pd(low, high, _CMP_UNORD_Q));
        low_acc = _mm256_min_pd(low_acc, low);
        high_acc = _mm256_max_pd(high_acc, high);
    }
    double lows[4], highs[4];
    _mm256_storeu_pd(lows, low_acc);
    _mm256_storeu_pd(highs, high_acc);
    for (int l = 0; l < 4; l++) lo = std::min(lo, lows[l]), hi = std::max(hi, highs[l]);
    undefined |= _mm256_movemask_pd(nan_acc) != 0;
    bound_pixels(j, end, up, c, down, margin_unit, lo, hi, undefined);
}

// The level of one pixel from its 3x3 neighbourhood by the per-pixel functions.
__attribute__((noinline)) void exact_level_at(int j, const double *up, const double *c, const double *down,
                                              double max_estir, unsigned char *level)
{
    const double n[8] = {up[j - 1], up[j], up[j + 1], c[j + 1], down[j + 1], down[j], down[j - 1], c[j - 1]};
    double scaled;
    const int val = centred_level(roughness_ratio(c[j], n), max_estir, &scaled);
    level[j] = static_cast<unsigned char>(val > 255 ? 255 : val);
}

// Levels of pixels j .. j + 3 where the bounds settle them, as doubles; NaN where not.
// With |r - r_est| <= e, r - 1 lies within [a, b] (the margin widened by 2^-49 (|r_est| + 1)
// covers the roundings of a and b). The tool's dval is |r - 1| x 128 / max_estir within
// 2.01 u, and k = 128 / max_estir here within u: dval lies within [lo, hi] below, widened by
// 2^-48 = 32 u. The level is 128 + trunc(dval) above 1 and 128 - trunc(dval) below: settled
// when r - 1 has a known sign and floor(lo) = floor(hi) <= 128, or when dval < 1 on either
// side (the level is then 128).
AVX2_FMA inline V settled_levels(V r, V e, V k)
{
    const V margin = _mm256_add_pd(e, _mm256_mul_pd(all(0x1p-49), _mm256_add_pd(magnitude(r), all(1.0))));
    const V a = _mm256_sub_pd(_mm256_sub_pd(r, margin), all(1.0));
    const V b = _mm256_sub_pd(_mm256_add_pd(r, margin), all(1.0));
    const V above = _mm256_cmp_pd(a, _mm256_setzero_pd(), _CMP_GT_OQ);
    const V below = _mm256_cmp_pd(b, _mm256_setzero_pd(), _CMP_LT_OQ);
    const V near_lo = _mm256_blendv_pd(_mm256_sub_pd(_mm256_setzero_pd(), b), a, above);
    const V near_hi = _mm256_blendv_pd(_mm256_sub_pd(_mm256_setzero_pd(), a), b, above);
    const V lo = _mm256_mul_pd(_mm256_mul_pd(near_lo, k), all(1.0 - 0x1p-48));
    const V hi = _mm256_mul_pd(_mm256_mul_pd(near_hi, k), all(1.0 + 0x1p-48));
    const V whole = _mm256_floor_pd(lo);
    const V sided = _mm256_and_pd(_mm256_or_pd(above, below),
                                  _mm256_and_pd(_mm256_cmp_pd(whole, _mm256_floor_pd(hi), _CMP_EQ_OQ),
                                                _mm256_cmp_pd(hi, all(129.0), _CMP_LT_OQ)));
    const V spread = _mm256_mul_pd(_mm256_mul_pd(_mm256_max_pd(_mm256_sub_pd(_mm256_setzero_pd(), a), b), k),
                                   all(1.0 + 0x1p-48));
    const V flat = _mm256_andnot_pd(_mm256_or_pd(above, below), _mm256_cmp_pd(spread, all(1.0), _CMP_LT_OQ));
    const V signed_whole = _mm256_blendv_pd(_mm256_sub_pd(_mm256_setzero_pd(), whole), whole, above);
    const V level = _mm256_blendv_pd(_mm256_add_pd(all(128.0), signed_whole), all(128.0), flat);
    return _mm256_blendv_pd(all(NAN), level, _mm256_or_pd(sided, flat));
}

// Returns the number of pixels whose level the bounds did not settle.
AVX2_FMA int centred_levels_avx2(int nb_col, const double *up, const double *c, const double *down,
                                 double margin_unit, double max_estir, unsigned char *level)
{
    int open = 0;
    const V eps = all(margin_unit), k = all(128.0 / max_estir);
    int j = 1;
    for (; j + 4 <= nb_col - 1; j += 4) {
        V r, e;
        estimate_ratios(j, up, c, down, eps, r, e);
        const V lev = settled_levels(r, e, k);
        // 0 to 256, packed with unsigned saturation: 256 is kept as 255.
        __m128i val = _mm256_cvttpd_epi32(lev);
        val = _mm_packus_epi16(_mm_packus_epi32(val, val), val);
        const uint32_t four = static_cast<uint32_t>(_mm_cvtsi128_si32(val));
        std::memcpy(level + j, &four, sizeof four); // x86-64: the lowest byte first
        for (int lanes = _mm256_movemask_pd(_mm256_cmp_pd(lev, lev, _CMP_UNORD_Q)); lanes; lanes &= lanes - 1, open++)
            exact_level_at(j + __builtin_ctz(static_cast<unsigned>(lanes)), up, c, down, max_estir, level);
    }
    for (; j < nb_col - 1; j++, open++) exact_level_at(j, up, c, down, max_estir, level);
    return open;
}

// tab_hist[level[j]]++ for every interior pixel, in four interleaved tallies so that runs
// of one level do not wait on one counter.
void count_levels(int nb_col, const unsigned char *level, int *tab_hist)
{
    int tally[4][256] = {};
    int j = 1;
    for (; j + 4 <= nb_col - 1; j += 4) {
        tally[0][level[j]]++;
        tally[1][level[j + 1]]++;
        tally[2][level[j + 2]]++;
        tally[3][level[j + 3]]++;
    }
    for (; j < nb_col - 1; j++) tally[0][level[j]]++;
    for (int v = 0; v < 256; v++) tab_hist[v] += tally[0][v] + tally[1][v] + tally[2][v] + tally[3][v];
}

bool processor_has_avx2_fma()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

const bool has_avx2_fma = processor_has_avx2_fma();

} // namespace
#endif

bool row_arithmetic_vectorised()
{
#ifdef ROW_ARITHMETIC_AVX2
    return has_avx2_fma && !forced_per_pixel;
#else
    return false;
#endif
}

void force_per_pixel_arithmetic(bool per_pixel)
{
    forced_per_pixel = per_pixel;
}

void midpoint_line(int count, const double *a, const double *b, double *out)
{
#ifdef ROW_ARITHMETIC_AVX2
    if (row_arithmetic_vectorised()) return midpoint_line_avx2(count, a, b, out);
#endif
    midpoint_pixels(0, count, a, b, out);
}

void ratio_line(int nb_col, const double *centre, const double *const m[8], const int offset[8], double *out,
                double &dmin, double &dmax)
{
#ifdef ROW_ARITHMETIC_AVX2
    if (row_arithmetic_vectorised()) {
        ratio_line_avx2(nb_col, centre, m, offset, out);
        range_avx2(1, nb_col - 1, out, dmin, dmax);
        return;
    }
#endif
    for (int j = 1; j < nb_col - 1; j++) widen_range(out[j] = ratio_at(j, centre, m, offset), dmin, dmax);
}

void centred_line(int nb_col, const double *ratio, double max_estir, double *scaled, unsigned char *level,
                  int *tab_hist, double &dmin, double &dmax)
{
#ifdef ROW_ARITHMETIC_AVX2
    // A stretch outside 2^-400 .. 2^400 (or not a number) is left to the per-pixel function.
    if (row_arithmetic_vectorised() && max_estir >= 0x1p-400 && max_estir <= 0x1p400) {
        centred_line_avx2(nb_col, ratio, max_estir, scaled, level);
        count_levels(nb_col, level, tab_hist);
        range_avx2(1, nb_col - 1, scaled, dmin, dmax);
        return;
    }
#endif
    for (int j = 1; j < nb_col - 1; j++) {
        centred_at(j, ratio, max_estir, scaled, level);
        tab_hist[level[j]]++;
        widen_range(scaled[j], dmin, dmax);
    }
}

double line_magnitude(int count, const double *v)
{
    double top = 0.0, bottom = INFINITY;
#ifdef ROW_ARITHMETIC_AVX2
    if (row_arithmetic_vectorised())
        magnitudes_avx2(count, v, top, bottom);
    else
#endif
        magnitudes(0, count, v, top, bottom);
    return (top <= 0x1p500 && bottom >= 0x1p-1000) ? top : NAN;
}

bool ratio_bounds_line(int nb_col, const double *above, const double *line, const double *below, double largest,
                       double &lo, double &hi)
{
    if (nb_col < 3 || !(largest <= 0x1p500)) return false;
    const double margin_unit = 0x1p-47 * largest;
    double low = INFINITY, high = -INFINITY;
    bool undefined = false;
#ifdef ROW_ARITHMETIC_AVX2
    if (row_arithmetic_vectorised())
        bound_avx2(1, nb_col - 1, above, line, below, margin_unit, low, high, undefined);
    else
#endif
        bound_pixels(1, nb_col - 1, above, line, below, margin_unit, low, high, undefined);
    if (undefined) return false;
    lo = low;
    hi = high;
    return true;
}

bool centred_levels_line(int nb_col, const double *above, const double *line, const double *below, double largest,
                         double max_estir, unsigned char *level, int *tab_hist, int *unsettled)
{
#ifdef ROW_ARITHMETIC_AVX2
    if (row_arithmetic_vectorised() && nb_col >= 3 && largest <= 0x1p500 && max_estir >= 0x1p-400 &&
        max_estir <= 0x1p400) {
        const int open = centred_levels_avx2(nb_col, above, line, below, 0x1p-47 * largest, max_estir, level);
        if (unsettled) *unsettled = open;
        count_levels(nb_col, level, tab_hist);
        return true;
    }
#else
    (void)nb_col, (void)above, (void)line, (void)below, (void)largest, (void)max_estir, (void)level, (void)tab_hist,
        (void)unsettled;
#endif
    return false;
}
