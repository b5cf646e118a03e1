// The comparison of the lowest- and highest-value functions, the scan of one
// window and the fold of a new bar into an extreme: shared by llv_hhv.cpp
// and the streams.  Among equal values (0.0 and -0.0) the most recent bar's
// value is the result.
#pragma once

#include "series.h"

#include <limits>

namespace rillet {

struct Lower {
    static bool beats(num_t a, num_t b) { return a < b; }
    static constexpr num_t worst = std::numeric_limits<num_t>::infinity();
};
struct Higher {
    static bool beats(num_t a, num_t b) { return a > b; }
    static constexpr num_t worst = -std::numeric_limits<num_t>::infinity();
};

// The kept one of two values from different bars: the older one only when
// it is strictly better, so the newer one wins ties.
template <class Cmp>
inline num_t keep(num_t older, num_t newer) {
    return Cmp::beats(older, newer) ? older : newer;
}

// Extreme of the non-NaN bars among X[i], X[i-1], ... X[lo], scanned from the
// newest bar; only a strictly better value replaces the kept one, so among
// equals (0.0 and -0.0) the most recent stays.  NaN when every bar is NaN.
template <class Cmp>
num_t rescan(const num_t *X, int64_t lo, int64_t i) {
    num_t r = nan_value();
    bool have = false;
    for (int64_t j = i; j >= lo; --j) {
        const num_t v = X[j];
        if (is_nan(v)) continue;
        if (!have || Cmp::beats(v, r)) {
            r = v;
            have = true;
        }
    }
    return r;
}

// The older extreme folded with a newer bar: a NaN bar changes nothing, and
// the newer value wins unless the older one is strictly better (a NaN older
// extreme, no value yet, never is).
template <class Cmp>
inline num_t fold(num_t older, num_t v) {
    return is_nan(v) ? older : keep<Cmp>(older, v);
}

}  // namespace rillet
