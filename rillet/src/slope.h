// The least-squares slope of one window, shared by the whole-series kernel,
// which runs one window per vector lane, and the streams, which run it on one
// window (W = U = 1).  The window's bars are numbered 0 .. N-1 from oldest to
// newest; the position sums are closed forms of N.
#pragma once

#include "series.h"
#include "simd.h"

namespace rillet {

struct Positions {
    num_t n, sumX, denom;
};

// sum of 0 .. N-1 and of their squares, exact integers (the second needs
// more than 64 bits for large N), each rounded once to double; then the
// denominator N*sumXX - sumX*sumX in double.
inline Positions positions(int N) {
    const int64_t n64 = N;
    const num_t sumX = static_cast<num_t>(n64 * (n64 - 1) / 2);
    const __int128 sq = static_cast<__int128>(n64) * (n64 - 1) * (2 * n64 - 1) / 6;
    const num_t sumXX = static_cast<num_t>(sq);
    const num_t n = static_cast<num_t>(N);
    const num_t sumXs = sumX * sumX;
    const num_t nxx = n * sumXX;
    return Positions{n, sumX, nxx - sumXs};
}

// W*U consecutive windows of N values, U vectors of W lanes: y is the first
// window (lane l's starts l values later), r the first window's result.  The
// 2U independent sums keep several additions in flight.
template <int W, int U, bool Vex>
RILLET_SIMD_INLINE void slope_block(const num_t *y, num_t *r, int N, const Positions &c) {
    using V = simd::vec<W>;
    V sumY[U], sumXY[U];
#pragma GCC unroll 8
    for (int u = 0; u < U; ++u) sumY[u] = sumXY[u] = simd::splat<W>(0.0);
    V pos = simd::splat<W>(0.0);  // j as a double, exact below 2^53
    const V one = simd::splat<W>(1.0);
    for (int j = 0; j < N; ++j, ++y) {
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            const V v = simd::load<W>(y + u * W);
            sumY[u] = simd::add<W, Vex>(sumY[u], v);
            const V xy = pos * v;
            sumXY[u] = simd::add<W, Vex>(sumXY[u], xy);
        }
        pos = pos + one;
    }
    const V n = simd::splat<W>(c.n), sumX = simd::splat<W>(c.sumX);
    const V denom = simd::splat<W>(c.denom);
#pragma GCC unroll 8
    for (int u = 0; u < U; ++u) {
        const V a = n * sumXY[u];
        const V b = sumX * sumY[u];
        simd::store<W>(r + u * W, simd::sub<W, Vex>(a, b) / denom);
    }
}

}  // namespace rillet
