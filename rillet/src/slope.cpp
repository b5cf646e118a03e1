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

using Kernel = void (*)(const num_t *, num_t *, int64_t, int, const Positions &);

}  // namespace

#define RILLET_KERNELS "slope_kernels.h"
#include "simd_each.h"

namespace {

Kernel kernel() {
#ifdef RILLET_SIMD_X86
    switch (simd::path()) {
        case simd::kAvx512: return avx512::run;
        case simd::kAvx2: return avx2::run;
        default: break;
    }
#endif
    return base::run;
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
