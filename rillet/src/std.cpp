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

using namespace rillet;

namespace {

// Bars first .. end-1, all with full windows; `sum` is the running sum after
// the warm-up.  The sums are parked one block ahead of the statistics, so the
// latency-bound sequential chain of the next block overlaps the independent
// vector work of the current one.
template <Stat S, int W, int U, bool Vex>
RILLET_SIMD_INLINE void dispersion_run(const num_t *X, num_t *R, int64_t first, int64_t end, int N,
                                       num_t sum) {
    constexpr int64_t B = W * U;
    int64_t p = first;  // next bar whose window sum is parked
    int64_t i = first;  // next bar whose statistic is written
    while (i < end) {
        const int64_t ahead = end - i > 2 * B ? i + 2 * B : end;
        for (; p < ahead; ++p) {
            sum = simd::add<1, Vex>(sum, X[p]);
            R[p] = sum;
            sum = sum - X[p - N + 1];
        }
        if (end - i >= B) {
            stat_block<S, W, U, Vex>(X + (i - N + 1), R + i, N);
            i += B;
        } else if (end - i >= W) {
            stat_block<S, W, 1, Vex>(X + (i - N + 1), R + i, N);
            i += W;
        } else {
            stat_block<S, 1, 1, Vex>(X + (i - N + 1), R + i, N);
            i += 1;
        }
    }
}

// Block size by window length, as measured on AVX2 and AVX-512: for windows
// of 17 to 128 bars the sequential running sum weighs most, and blocks of two
// vectors interleave with it more finely; shorter and longer windows run
// faster with four vectors, which keep more additions in flight.
template <Stat S, int W, bool Vex>
RILLET_SIMD_INLINE void dispersion_any(const num_t *X, num_t *R, int64_t first, int64_t end, int N,
                                       num_t sum) {
    if (N > 16 && N <= 128) {
        dispersion_run<S, W, 2, Vex>(X, R, first, end, N, sum);
    } else {
        dispersion_run<S, W, 4, Vex>(X, R, first, end, N, sum);
    }
}

using Kernel = void (*)(const num_t *, num_t *, int64_t, int64_t, int, num_t);

template <Stat S>
void run_base(const num_t *X, num_t *R, int64_t first, int64_t end, int N, num_t sum) {
#ifdef RILLET_SIMD_X86
    dispersion_any<S, 2, false>(X, R, first, end, N, sum);
#else
    dispersion_run<S, 1, 4, false>(X, R, first, end, N, sum);
#endif
}

#ifdef RILLET_SIMD_X86
template <Stat S>
RILLET_TARGET_AVX2 void run_avx2(const num_t *X, num_t *R, int64_t first, int64_t end, int N,
                                 num_t sum) {
    dispersion_any<S, 4, true>(X, R, first, end, N, sum);
}

template <Stat S>
RILLET_TARGET_AVX512 void run_avx512(const num_t *X, num_t *R, int64_t first, int64_t end, int N,
                                     num_t sum) {
    dispersion_any<S, 8, true>(X, R, first, end, N, sum);
}
#endif

template <Stat S>
Kernel kernel() {
#ifdef RILLET_SIMD_X86
    switch (simd::path()) {
        case simd::kAvx512: return run_avx512<S>;
        case simd::kAvx2: return run_avx2<S>;
        default: break;
    }
#endif
    return run_base<S>;
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
        sum = dispersion_add(sum, X[j]);
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

#ifdef RILLET_FORCE_PATH
// A build that pins the instruction set reports the pin, so its tests can
// confirm which kernels they exercised.
extern "C" __attribute__((visibility("default"))) int rillet_forced_path() { return simd::path(); }
#endif

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
