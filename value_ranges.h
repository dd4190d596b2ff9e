// Ranges of values folded in line and column order, as the roughness tool folds them, and the
// partial ranges of blocks of lines that fold into them.
//
// The tool folds a range from the start values 10000000.0 and 0.0 with strict tests, value
// after value: if (dmin > v) dmin = v; if (dmax < v) dmax = v. Of equal values (0.0 and
// -0.0) the first one met is kept; a range with no value keeps the start values.
//
// A block's partial range is folded the same way from +infinity and -infinity, so that it
// holds the block's own extremes (the first met of equal ones) and says "no value" when
// dmin > dmax. Folding partial ranges in line order, from the start values, gives the tool's
// range; folding an empty one changes nothing.
#ifndef VALUE_RANGES_H
#define VALUE_RANGES_H

#include <cmath>

struct ValueRange {
    double dmin = 10000000.0, dmax = 0.0;
};

struct PartialRange {
    double dmin = INFINITY, dmax = -INFINITY;
    bool empty() const { return !(dmin <= dmax); }
};

// One value into a range, with the strict tests.
inline void widen_by(double v, double &dmin, double &dmax)
{
    if (dmin > v) dmin = v;
    if (dmax < v) dmax = v;
}

// The partial range of a later block folded into a range of the blocks before it.
inline void fold_range(const PartialRange &later, ValueRange &total)
{
    if (later.empty()) return;
    if (total.dmin > later.dmin) total.dmin = later.dmin;
    if (total.dmax < later.dmax) total.dmax = later.dmax;
}

inline void fold_range(const PartialRange &later, PartialRange &total)
{
    if (later.empty()) return;
    if (total.dmin > later.dmin) total.dmin = later.dmin;
    if (total.dmax < later.dmax) total.dmax = later.dmax;
}

// The range the tool reports for values whose partial range is `met`.
inline ValueRange tool_range(const PartialRange &met)
{
    ValueRange r;
    fold_range(met, r);
    return r;
}

#endif
