// Window sums: one window for all bars (a running sum; N = 0 is the
// cumulative sum that ignores NaN bars) and one window per bar (each window
// summed oldest first).
#include "series.h"
#include "step.h"

using namespace rillet;

extern "C" {

int zv_sum(pcalc_ctx_t, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    if (N < 0) return ERR_PARAM_WRONG;
    num_t sum = 0.0;
    if (N == 0) {
        for (int i = 0; i < size_X; ++i) {
            if (!is_nan(X[i])) sum = sum + X[i];
            R[i] = sum;
        }
        return ERR_OK;
    }

    // The running sum is never recomputed: a NaN that enters it stays.
    const int64_t last = warm_up(X, size_X, N, R, [&](int64_t k) { sum = sum + X[k]; });
    if (last < 0) return ERR_OK;
    R[last] = sum;
    for (int64_t t = last + 1; t < size_X; ++t) {
        window_sum_step(sum, X[t - N], X[t]);
        R[t] = sum;
    }
    return ERR_OK;
}

int zv_sum_a(pcalc_ctx_t, const num_t *X, int size_X, const num_t *N, int size_N, num_t *R,
             int size_R) {
    if (size_mismatch(size_X, size_R, size_N)) return ERR_SIZE_DISMATCH;
    // inf + -inf is written as it comes out of the addition.  N[i] = 0 has no
    // window here (not a cumulative sum).
    per_bar_sums(X, size_X, N, R, [](num_t sum, int32_t) { return sum; });
    return ERR_OK;
}

}  // extern "C"
