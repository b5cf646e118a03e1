// Simple moving average: one window for all bars (running sum, honours the
// calculation context) and one window per bar (each window summed oldest first).
#include "series.h"
#include "step.h"

using namespace rillet;

extern "C" {

int zv_ma(pcalc_ctx_t ctx, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    if (N < 1) return ERR_PARAM_WRONG;
    const int s = lead_and_warmup(X, size_X, N, R);
    if (first_full(s, N) >= size_X) return ERR_OK;

    // A negative context restricts the work to the tail of the series.
    int64_t i = static_cast<int64_t>(s) + ctxn(ctx, size_X, N);
    const num_t q = nan_value();
    while (i < size_X && is_nan(X[i])) R[i++] = q;
    if (i >= size_X) return ERR_OK;

    const num_t n = static_cast<num_t>(N);
    num_t sum = 0.0;
    for (int64_t j = i - N + 1; j <= i; ++j) sum += X[j];
    R[i] = sum / n;
    for (int64_t t = i + 1; t < size_X; ++t) {
        window_sum_step(sum, X[t - N], X[t]);
        R[t] = sum / n;
    }
    return ERR_OK;
}

int zv_ma_a(pcalc_ctx_t, const num_t *X, int size_X, const num_t *N, int size_N, num_t *R,
            int size_R) {
    if (size_mismatch(size_X, size_R, size_N)) return ERR_SIZE_DISMATCH;
    // A sum that is NaN (+inf and -inf in one window) has no mean either.
    const num_t q = nan_value();
    per_bar_sums(X, size_X, N, R,
                 [q](num_t sum, int32_t n) { return is_nan(sum) ? q : sum / static_cast<num_t>(n); });
    return ERR_OK;
}

}  // extern "C"
