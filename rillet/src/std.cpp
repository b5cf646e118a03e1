// Dispersion over a trailing window: sample and population standard
// deviation and mean absolute deviation.  The four functions share one frame:
// the window mean comes from a running sum that is never rebuilt, and the
// deviations from that mean are summed afresh over the window at every bar
// (two-pass form, not the sum-of-squares shortcut).
#include "series.h"

using namespace rillet;

namespace {

enum class Stat { Sample, Population, MeanAbs };

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

    const num_t n = static_cast<num_t>(N);
    for (int64_t i = first; i < size_X; ++i) {
        sum = sum + X[i];
        const num_t avg = sum / n;
        const int64_t lo = i - N + 1;
        num_t sigema = 0.0;
        for (int64_t k = lo; k <= i; ++k) {
            const num_t d = X[k] - avg;
            if constexpr (S == Stat::MeanAbs) {
                sigema = sigema + std::fabs(d);
            } else {
                const num_t sq = d * d;
                sigema = sigema + sq;
            }
        }
        if constexpr (S == Stat::Sample) {
            // One bar has no spread: 0.0 whatever the data, NaN bars included.
            R[i] = N == 1 ? 0.0 : std::sqrt(sigema / static_cast<num_t>(N - 1));
        } else if constexpr (S == Stat::Population) {
            R[i] = std::sqrt(sigema / n);
        } else {
            R[i] = sigema / n;
        }
        sum = sum - X[lo];
    }
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
