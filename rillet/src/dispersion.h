// The per-window statistic of the dispersion functions (sample and
// population standard deviation, mean absolute deviation), shared by the
// whole-series kernels, which run one bar per vector lane, and the streams,
// which run it on one window (W = U = 1).
#pragma once

#include "series.h"
#include "simd.h"

namespace rillet {

enum class Stat { Sample, Population, MeanAbs };

// W*U consecutive bars, U vectors of W lanes: x is the first bar's window
// (N values, oldest first; lane l's window starts l values later) and r the
// first bar's result.  r holds each bar's window sum on entry and its
// statistic on return.  The U independent accumulators keep several
// additions in flight, since each lane's own sum is a strict chain.
template <Stat S, int W, int U, bool Vex>
RILLET_SIMD_INLINE void stat_block(const num_t *x, num_t *r, int N) {
    using V = simd::vec<W>;
    const V n = simd::splat<W>(static_cast<num_t>(N));
    V avg[U], sigema[U];
#pragma GCC unroll 8
    for (int u = 0; u < U; ++u) {
        avg[u] = simd::load<W>(r + u * W) / n;
        sigema[u] = simd::splat<W>(0.0);
    }
    for (int k = 0; k < N; ++k, ++x) {
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            const V d = simd::load<W>(x + u * W) - avg[u];
            if constexpr (S == Stat::MeanAbs) {
                sigema[u] = simd::add<W, Vex>(sigema[u], simd::abs<W>(d));
            } else {
                const V sq = d * d;
                sigema[u] = simd::add<W, Vex>(sigema[u], sq);
            }
        }
    }
#pragma GCC unroll 8
    for (int u = 0; u < U; ++u) {
        V v;
        if constexpr (S == Stat::Sample) {
            v = simd::sqrt<W, Vex>(sigema[u] / simd::splat<W>(static_cast<num_t>(N - 1)));
        } else if constexpr (S == Stat::Population) {
            v = simd::sqrt<W, Vex>(sigema[u] / n);
        } else {
            v = sigema[u] / n;
        }
        simd::store<W>(r + u * W, v);
    }
}

// The running window sum with a new bar: sum + x, the sum as the first
// operand (which NaN payload survives stays fixed).
inline num_t dispersion_add(num_t sum, num_t x) { return simd::add<1, false>(sum, x); }

}  // namespace rillet
