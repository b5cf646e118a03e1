// Least-squares slope over a trailing window, the window's bars numbered
// 0 .. N-1 from oldest to newest.  The position sums are closed forms of N;
// the value sums are formed afresh for every window, so a NaN only spoils
// the windows that hold it.
//
// Every window's arithmetic is the one-window-at-a-time loop
//     for j = 0 .. N-1:  sumY = sumY + y[j];  sumXY = sumXY + j * y[j]
//     slope = (N * sumXY - sumX * sumY) / denom
// carried out for several consecutive windows at once, one per vector lane:
// the j-th element of each is a contiguous load.
#include "series.h"
#include "simd.h"

using namespace rillet;

namespace {

struct Positions {
    num_t n, sumX, denom;
};

// Windows starting at k .. k + W*U - 1 (results at k+N-1 onwards), U vectors
// of W lanes; the 2U independent sums keep several additions in flight.
template <int W, int U, bool Vex>
RILLET_SIMD_INLINE void slope_block(const num_t *Y, num_t *R, int64_t k, int N,
                                    const Positions &c) {
    using V = simd::vec<W>;
    V sumY[U], sumXY[U];
#pragma GCC unroll 8
    for (int u = 0; u < U; ++u) sumY[u] = sumXY[u] = simd::splat<W>(0.0);
    const num_t *y = Y + k;
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
        simd::store<W>(R + k + N - 1 + u * W, simd::sub<W, Vex>(a, b) / denom);
    }
}

// All `windows` windows, from the one starting at bar 0.
template <int W, int U, bool Vex>
RILLET_SIMD_INLINE void slope_run(const num_t *Y, num_t *R, int64_t windows, int N,
                                  const Positions &c) {
    constexpr int64_t B = W * U;
    int64_t k = 0;
    for (; windows - k >= B; k += B) slope_block<W, U, Vex>(Y, R, k, N, c);
    for (; windows - k >= W; k += W) slope_block<W, 1, Vex>(Y, R, k, N, c);
    for (; k < windows; ++k) slope_block<1, 1, Vex>(Y, R, k, N, c);
}

using Kernel = void (*)(const num_t *, num_t *, int64_t, int, const Positions &);

void run_base(const num_t *Y, num_t *R, int64_t windows, int N, const Positions &c) {
#ifdef RILLET_SIMD_X86
    slope_run<2, 4, false>(Y, R, windows, N, c);
#else
    slope_run<1, 4, false>(Y, R, windows, N, c);
#endif
}

#ifdef RILLET_SIMD_X86
RILLET_TARGET_AVX2 void run_avx2(const num_t *Y, num_t *R, int64_t windows, int N,
                                 const Positions &c) {
    slope_run<4, 4, true>(Y, R, windows, N, c);
}

RILLET_TARGET_AVX512 void run_avx512(const num_t *Y, num_t *R, int64_t windows, int N,
                                     const Positions &c) {
    slope_run<8, 4, true>(Y, R, windows, N, c);
}
#endif

Kernel kernel() {
#ifdef RILLET_SIMD_X86
    switch (simd::path()) {
        case simd::kAvx512: return run_avx512;
        case simd::kAvx2: return run_avx2;
        default: break;
    }
#endif
    return run_base;
}

}  // namespace

extern "C" {

int zv_slope(pcalc_ctx_t, const num_t *Y, int size_Y, int N, num_t *R, int size_R) {
    if (size_mismatch(size_Y, size_R)) return ERR_SIZE_DISMATCH;
    if (N < 0) return ERR_PARAM_WRONG;
    if (N == 0) {
        for (int i = 0; i < size_Y; ++i) R[i] = 1.0;
        return ERR_OK;
    }
    fill_nan(R, 0, N, size_Y);
    if (size_Y < N) return ERR_OK;

    // sum of 0 .. N-1 and of their squares, exact integers (the second needs
    // more than 64 bits for large N), each rounded once to double.
    const int64_t n64 = N;
    const num_t sumX = static_cast<num_t>(n64 * (n64 - 1) / 2);
    const __int128 sq = static_cast<__int128>(n64) * (n64 - 1) * (2 * n64 - 1) / 6;
    const num_t sumXX = static_cast<num_t>(sq);
    const num_t n = static_cast<num_t>(N);
    const num_t sumXs = sumX * sumX;
    const num_t nxx = n * sumXX;
    const Positions c{n, sumX, nxx - sumXs};

    kernel()(Y, R, static_cast<int64_t>(size_Y) - N + 1, N, c);
    return ERR_OK;
}

}  // extern "C"
