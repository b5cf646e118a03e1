// Shared machinery of the series functions: the NaN value written for a
// missing bar, the window-length conversion, the size checks, the search for
// the first valid bar and the warm-up fill.  Every family builds its frame
// from these pieces so the conventions are written once.
#pragma once

#include "../rillet.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace rillet {

// The exact quiet NaN written for every missing bar.
inline constexpr uint64_t kNanBits = 0x7FF8000000000000ULL;

inline num_t nan_value() {
    num_t v;
    std::memcpy(&v, &kNanBits, sizeof v);
    return v;
}

inline bool is_nan(num_t v) { return std::isnan(v); }

// The condition rule of every layer (the streams, the package's and the exact
// module's conditions given as numbers, the formula language's IF, AND, OR
// and NOT): a value holds when its truncation toward zero is non-zero, so
// 0.5 does not, 256 and -1 do, and NaN does not.  A byte b handed over as
// the double b holds when b != 0.
inline bool truth(num_t v) { return v >= 1.0 || v <= -1.0; }

// Signed 32-bit arithmetic that wraps on overflow, independent of compiler flags.
inline int32_t wrap_add(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t wrap_sub(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

// Window length from a double: truncation toward zero; NaN and anything whose
// truncation falls outside int32 gives INT32_MIN.  The range test comes first
// so the cast below is always defined.
inline int32_t to_window(num_t v) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// True when any of the given sizes differs from the first input's size.
template <class... Sizes>
inline bool size_mismatch(int size_X, Sizes... sizes) {
    return ((sizes != size_X) || ...);
}

// Index of the first bar that is not NaN, n when there is none.
inline int first_valid(const num_t *X, int n) {
    int s = 0;
    while (s < n && is_nan(X[s])) ++s;
    return s;
}

// Writes NaN to R[from] .. R[to-1], clipped to [0, n).
inline void fill_nan(num_t *R, int64_t from, int64_t to, int n) {
    if (from < 0) from = 0;
    if (to > n) to = n;
    const num_t q = nan_value();
    for (int64_t i = from; i < to; ++i) R[i] = q;
}

// Leading-NaN skip: finds s and writes NaN to R[0] .. R[s-1].
inline int skip_leading_nan(const num_t *X, int n, num_t *R) {
    int s = first_valid(X, n);
    fill_nan(R, 0, s, n);
    return s;
}

// Index of the first bar whose window of N bars lies wholly at or after s,
// formed without overflow; at or beyond n when no bar has a full window.
inline int64_t first_full(int s, int N) { return static_cast<int64_t>(s) + N - 1; }

// Leading NaN bars and warm-up: writes NaN to R[0] .. R[s+N-2] (as far as
// they exist) and returns s.
inline int lead_and_warmup(const num_t *X, int n, int N, num_t *R) {
    int s = skip_leading_nan(X, n, R);
    fill_nan(R, s, first_full(s, N), n);
    return s;
}

}  // namespace rillet

namespace rillet {

// Warm-up of the running-window functions that accumulate their first window
// while marking it: after the leading NaN bars, each bar k of the first
// window s .. s+N-1 (as far as it exists) is handed to enter(k) and its result
// set to NaN.  Returns the last bar of that first full window, or -1 when the
// series ends before it (then every bar is NaN).
template <class Enter>
inline int64_t warm_up(const num_t *X, int n, int N, num_t *R, Enter enter) {
    const int s = skip_leading_nan(X, n, R);
    const int64_t last = first_full(s, N);
    const int64_t end = last < n ? last + 1 : n;
    const num_t q = nan_value();
    for (int64_t k = s; k < end; ++k) {
        enter(k);
        R[k] = q;
    }
    return last < n ? last : -1;
}

}  // namespace rillet

namespace rillet {

// Window length of bar i for the per-bar sums and means: 0 when the bar has
// no window (a length of 0 or less, NaN, or a window that would reach back to
// bar 0 or before it, so bar 0 never enters one).
inline int32_t reachable_window(num_t w, int i) {
    const int32_t n = to_window(w);  // NaN gives INT32_MIN
    return n > i || n <= 0 ? 0 : n;
}

// Per-bar window sums: for each bar i in order, R[i] = value(sum, n) with sum
// the sum of its window X[i-n+1] .. X[i] added oldest first from 0.0, or the
// plain NaN when the bar has no window or a NaN bar lies in it.
//
// The sum of a window is a chain of additions that starts at the window's
// first bar, so the chain of an earlier window with the same first bar is a
// prefix of it: when a bar's window starts where the kept chain starts (a
// window that grows from an event), the chain is continued over the new bars
// only, which is the very sequence of additions a fresh sum makes.  Any other
// window starts a fresh chain.  A NaN in a window is found from the index of
// the latest NaN bar, so a chain only ever runs over bars that are not NaN.
template <class Value>
inline void per_bar_sums(const num_t *X, int size_X, const num_t *N, num_t *R, Value value) {
    const num_t q = nan_value();
    int64_t last_nan = -1;       // latest NaN bar at or before i
    int64_t from = -1, to = -2;  // the kept chain covers X[from] .. X[to]
    num_t sum = 0.0;
    // The window length that continues the chain at bar i, i - from + 1 while
    // to = i-1 (a NaN stands for none): the common case of windows that grow
    // is tested first, by one comparison of each bound.
    num_t grow = q;
    for (int64_t i = 0; i < size_X; ++i) {
        const num_t x = X[i], w = N[i];
        if (is_nan(x)) {
            last_nan = i;
        } else if ((w >= grow) & (w < grow + 1.0)) {
            sum = sum + x;
            to = i;
            R[i] = value(sum, static_cast<int32_t>(i - from + 1));
            grow = grow + 1.0;
            continue;
        }
        grow = q;
        const int32_t n = reachable_window(w, static_cast<int>(i));
        const int64_t lo = i - n + 1;
        if (n == 0 || last_nan >= lo) {
            R[i] = q;
            continue;
        }
        if (lo != from) {
            from = lo;
            to = lo - 1;
            sum = 0.0;
        }
        for (int64_t j = to + 1; j <= i; ++j) sum = sum + X[j];
        to = i;
        R[i] = value(sum, n);
        grow = static_cast<num_t>(n + 1);
    }
}

}  // namespace rillet
