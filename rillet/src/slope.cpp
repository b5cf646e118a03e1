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
#include "slope.h"

using namespace rillet;

namespace {

// All `windows` windows, from the one starting at bar 0.
template <int W, int U, bool Vex>
RILLET_SIMD_INLINE void slope_run(const num_t *Y, num_t *R, int64_t windows, int N,
                                  const Positions &c) {
    constexpr int64_t B = W * U;
    int64_t k = 0;
    for (; windows - k >= B; k += B) slope_block<W, U, Vex>(Y + k, R + k + N - 1, N, c);
    for (; windows - k >= W; k += W) slope_block<W, 1, Vex>(Y + k, R + k + N - 1, N, c);
    for (; k < windows; ++k) slope_block<1, 1, Vex>(Y + k, R + k + N - 1, N, c);
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

    const Positions c = positions(N);
    kernel()(Y, R, static_cast<int64_t>(size_Y) - N + 1, N, c);
    return ERR_OK;
}

}  // extern "C"
