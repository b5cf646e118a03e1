// One-bar arithmetic shared by the series functions, the streams and the
// grouped kernels (lanes.cpp): the weights and the step of the seeded
// recurrences, the running window sum, the running step of the weighted
// average, the truth of a bar for the counts and the filter, and the crossing
// test.  Every caller takes the bar's operations from here, so the result of
// a stream update, of a lane and of the whole-series function cannot drift
// apart.  The steps the grouped kernels share are templates over the value
// (a double, or a vector of lanes), taken and given by reference: vectors
// pass by value only between functions of one instruction set.
#pragma once

#include "series.h"

namespace rillet {

// Weight of the new bar (w) and of the previous result (v).
struct Weights {
    num_t w, v;
};

// EMA: 2/(N+1), N+1 formed in 32 bits (it wraps at INT_MAX); the previous
// value's weight is its own quotient, not 1 - alpha, which rounds differently.
inline Weights ema_weights(int N) {
    const num_t n = static_cast<num_t>(N);
    return {2.0 / static_cast<num_t>(wrap_add(N, 1)), (n - 1.0) / (n + 1.0)};
}

// SMA: M/N and (N-M)/N, N-M formed in 32 bits.  M is not checked: weights
// outside 0..1 (and N = 0, a division by zero) are used as they come out.
inline Weights sma_weights(int N, int M) {
    const num_t n = static_cast<num_t>(N);
    return {static_cast<num_t>(M) / n, static_cast<num_t>(wrap_sub(N, M)) / n};
}

// DMA: the bar's own factor and its complement.
inline Weights dma_weights(num_t a) { return {a, 1.0 - a}; }

// Next value of a seeded recurrence: two rounded products, then their rounded
// sum.  A NaN that enters stays.
template <class V>
inline void seeded_step(const V &w, const V &v, const V &x, const V &prev, V &next) {
    const V fresh = w * x;
    const V kept = v * prev;
    next = fresh + kept;
}
inline num_t seeded_next(Weights p, num_t x, num_t prev) {
    num_t next;
    seeded_step(p.w, p.v, x, prev, next);
    return next;
}

// A running window sum moves on by one bar: the bar that leaves is taken
// out, then the bar that enters is added.
template <class V>
inline void window_sum_step(V &sum, const V &leaving, const V &entering) {
    sum = sum - leaving;
    sum = sum + entering;
}

// WMA: the sum of the weights 1 .. N, exact in 64 bits for every int N.
inline num_t wma_denominator(int N) {
    return static_cast<num_t>(static_cast<int64_t>(N) * (static_cast<int64_t>(N) + 1) / 2);
}

// WMA in the first window: the weighted and the plain sum gain bar k (weight k+1).
inline void wma_enter(num_t &sum2, num_t &sum, int64_t weight, num_t x) {
    sum2 = sum2 + static_cast<num_t>(weight) * x;
    sum = sum + x;
}

// WMA after the first window: the next weighted mean from the previous one
// (prev, as stored), the plain sum of the previous window and the new bar.
// The next weighted sum is the previous weighted sum less the previous plain
// sum plus N times the new bar.
template <class V>
inline void wma_step(const V &den, const V &prev, const V &sum, const V &n, const V &x, V &next) {
    next = ((den * prev - sum) + n * x) / den;
}
inline num_t wma_next(num_t den, num_t prev, num_t sum, num_t n, num_t x) {
    num_t next;
    wma_step(den, prev, sum, n, x, next);
    return next;
}

// COUNT's rule: a bar counts when it compares unequal to zero, so NaN does.
// Written once for a double (a bool) and for the grouped kernels' vectors (a
// lane mask); by reference, since vectors pass by value only between
// functions of one instruction set.
template <class V, class Mask>
inline void count_mask(const V &v, Mask &counts) {
    counts = v != 0.0;
}

// COUNT: 1 for a bar that counts, else 0.
inline int count_truth(num_t v) {
    bool counts;
    count_mask(v, counts);
    return counts ? 1 : 0;
}

// COUNT_A: a bar counts when it is below or above zero (zeros and NaN do not).
inline int64_t count_a_truth(num_t v) { return (v < 0.0) | (v > 0.0); }

// FILTER: a signal is any value but 0.0 (either sign) and NaN.
inline bool is_signal(num_t v) { return !(is_nan(v) || v == 0.0); }

// CROSS at a bar: the previous bar strictly below, this bar strictly above.
// Both comparisons are always evaluated, with no branch between them.
inline num_t crosses(num_t x0, num_t y0, num_t x1, num_t y1) {
    return ((x0 < y0) & (x1 > y1)) ? 1.0 : 0.0;
}

}  // namespace rillet
