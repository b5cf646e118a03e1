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
#include "../series.h"
#include "../simd.h"
#include "../slope.h"

using namespace rillet;

namespace {

using Kernel = void (*)(const num_t *, num_t *, int64_t, int, const Positions &);

}  // namespace

#define RILLET_KERNELS "slope_kernels.h"
#include "../simd_each.h"

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

    const Positions c = positions(N);
    kernel()(Y, R, static_cast<int64_t>(size_Y) - N + 1, N, c);
    return ERR_OK;
}

}  // extern "C"
