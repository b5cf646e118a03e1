// Dispersion over a trailing window: sample and population standard
// deviation and mean absolute deviation.  The four functions share one frame:
// the window mean comes from a running sum that is never rebuilt, and the
// deviations from that mean are summed afresh over the window at every bar
// (two-pass form, not the sum-of-squares shortcut).
//
// Every bar's arithmetic is the one-bar-at-a-time loop
//     sum = sum + X[i];  avg = sum / N;
//     sigema = 0;  for k = i-N+1 .. i:  d = X[k] - avg;  sigema = sigema + d*d  (or |d|)
//     sum = sum - X[i-N+1];
// carried out for several bars at once, one bar per vector lane: for a run
// of consecutive bars the k-th window element of each is a contiguous load.
// The running sum stays sequential; each bar's sum is parked in R[i] a block
// ahead of the vector pass, which divides it into the mean and overwrites it
// with the statistic, so nothing is allocated.
#include "dispersion.h"
#include "series.h"
#include "simd.h"

using namespace rillet;

namespace {

using Kernel = void (*)(const num_t *, num_t *, int64_t, int64_t, int, num_t);

}  // namespace

#define RILLET_KERNELS "std_kernels.h"
#include "simd_each.h"

namespace {

template <Stat S>
Kernel kernel() {
#ifdef RILLET_SIMD_X86
    switch (simd::path()) {
        case simd::kAvx512: return avx512::run<S>;
        case simd::kAvx2: return avx2::run<S>;
        default: break;
    }
#endif
    return base::run<S>;
}

template <Stat S>
int dispersion(const num_t *X, int size_X, int N, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    if (N < 1) return ERR_PARAM_WRONG;
    const int s = skip_leading_nan(X, size_X, R);

    // Warm-up: the first N-1 bars from s feed the running sum and get NaN.
    const int64_t first = first_full(s, N);
    const int64_t warm_end = first < size_X ? first : size_X;
    const num_t q = nan_value();
    num_t sum = 0.0;
    for (int64_t j = s; j < warm_end; ++j) {
        sum = sum + X[j];
        R[j] = q;
    }
    if (first >= size_X) return ERR_OK;

    if (S == Stat::Sample && N == 1) {
        // One bar has no spread: 0.0 whatever the data, NaN bars included.
        for (int64_t i = first; i < size_X; ++i) R[i] = 0.0;
        return ERR_OK;
    }
    kernel<S>()(X, R, first, size_X, N, sum);
    return ERR_OK;
}

}  // namespace

extern "C" {

int zv_std(pcalc_ctx_t, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    return dispersion<Stat::Sample>(X, size_X, N, R, size_R);
}

int zv_stddev(pcalc_ctx_t, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    return dispersion<Stat::Population>(X, size_X, N, R, size_R);
}

int zv_stdp(pcalc_ctx_t ctx, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    return zv_stddev(ctx, X, size_X, N, R, size_R);
}

int zv_avedev(pcalc_ctx_t, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    return dispersion<Stat::MeanAbs>(X, size_X, N, R, size_R);
}

}  // extern "C"
