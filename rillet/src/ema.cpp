// Smoothing averages: the seeded recurrences EMA, SMA and DMA, which start
// from the first valid bar without warm-up, and the linearly weighted WMA,
// a window function with warm-up bars.
#include "series.h"
#include "step.h"

using namespace rillet;

namespace {

// R[s] = X[s], then R[t] = w*X[t] + v*R[t-1] with (w, v) = weights(t): two
// rounded products, then their rounded sum.  A NaN that enters stays.
template <class WeightsOf>
int seeded(const num_t *X, int size_X, num_t *R, WeightsOf weights) {
    const int s = skip_leading_nan(X, size_X, R);
    if (s >= size_X) return ERR_OK;
    num_t prev = X[s];
    R[s] = prev;
    for (int t = s + 1; t < size_X; ++t) {
        prev = seeded_next(weights(t), X[t], prev);
        R[t] = prev;
    }
    return ERR_OK;
}

}  // namespace

extern "C" {

int zv_ema(pcalc_ctx_t, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    if (N < 0) return ERR_PARAM_WRONG;
    const Weights p = ema_weights(N);
    return seeded(X, size_X, R, [p](int) { return p; });
}

int zv_sma(pcalc_ctx_t, const num_t *X, int size_X, int N, int M, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    if (N < 0) return ERR_PARAM_WRONG;
    const Weights p = sma_weights(N, M);
    return seeded(X, size_X, R, [p](int) { return p; });
}

int zv_dma(pcalc_ctx_t, const num_t *X, int size_X, const num_t *A, int size_A, num_t *R,
           int size_R) {
    if (size_mismatch(size_X, size_R, size_A)) return ERR_SIZE_DISMATCH;
    return seeded(X, size_X, R, [A](int t) { return dma_weights(A[t]); });
}

int zv_wma(pcalc_ctx_t, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    if (N < 1) return ERR_PARAM_WRONG;
    // First window, weights 1 .. N from the oldest bar; its bars are warm-up.
    num_t sum = 0.0, sum2 = 0.0;
    int64_t weight = 0;
    const int64_t last = warm_up(X, size_X, N, R, [&](int64_t k) {
        wma_enter(sum2, sum, ++weight, X[k]);
    });
    if (last < 0) return ERR_OK;

    const num_t den = wma_denominator(N);
    const num_t n = static_cast<num_t>(N);
    R[last] = sum2 / den;
    // The previous weighted sum is taken back from the stored result.
    for (int64_t t = last + 1; t < size_X; ++t) {
        R[t] = wma_next(den, R[t - 1], sum, n, X[t]);
        sum = sum - X[t - N];
        sum = sum + X[t];
    }
    return ERR_OK;
}

}  // extern "C"
