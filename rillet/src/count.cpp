// Window counts of true (non-zero) bars.  The single-window count runs one
// integer counter and lets NaN count as true (it compares unequal to zero);
// the per-bar count clips its window to the history and counts NaN as false.
#include "series.h"

using namespace rillet;

namespace {

inline int truth(num_t v) { return v != 0.0 ? 1 : 0; }  // NaN is true

}  // namespace

extern "C" {

int zv_count(pcalc_ctx_t, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    if (N < 0) return ERR_PARAM_WRONG;
    int count = 0;
    if (N == 0) {
        // Cumulative from bar 0; leading NaN bars count as well.
        for (int i = 0; i < size_X; ++i) {
            count += truth(X[i]);
            R[i] = static_cast<num_t>(count);
        }
        return ERR_OK;
    }

    const int s = skip_leading_nan(X, size_X, R);
    const int64_t last = first_full(s, N);
    const int64_t end = last < size_X ? last + 1 : size_X;
    const num_t q = nan_value();
    for (int64_t k = s; k < end; ++k) {
        count += truth(X[k]);
        R[k] = q;
    }
    if (last >= size_X) return ERR_OK;
    R[last] = static_cast<num_t>(count);
    for (int64_t i = last + 1; i < size_X; ++i) {
        count -= truth(X[i - N]);
        count += truth(X[i]);
        R[i] = static_cast<num_t>(count);
    }
    return ERR_OK;
}

int zv_count_a(pcalc_ctx_t, const num_t *X, int size_X, const num_t *N, int size_N, num_t *R,
               int size_R) {
    if (size_mismatch(size_X, size_R, size_N)) return ERR_SIZE_DISMATCH;
    for (int64_t i = 0; i < size_X; ++i) {
        const int64_t n = to_window(N[i]);
        if (n < 0) {
            R[i] = nan_value();
            continue;
        }
        // 0 means the whole history; a longer window is clipped to it.
        const int64_t k = (n == 0 || n > i + 1) ? i + 1 : n;
        num_t c = 0.0;
        for (int64_t j = 0; j < k; ++j) {
            const num_t v = X[i - j];
            if (v != 0.0 && !is_nan(v)) c = c + 1.0;
        }
        R[i] = c;
    }
    return ERR_OK;
}

}  // extern "C"
