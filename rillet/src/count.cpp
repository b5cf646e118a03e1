// Window counts of true (non-zero) bars.  The single-window count runs one
// integer counter and lets NaN count as true (it compares unequal to zero);
// the per-bar count clips its window to the history and counts NaN as false,
// taking each window's count as a difference of prefix counts.
#include "series.h"
#include "step.h"

using namespace rillet;

extern "C" {

int zv_count(pcalc_ctx_t, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    if (N < 0) return ERR_PARAM_WRONG;
    int count = 0;
    if (N == 0) {
        // Cumulative from bar 0; leading NaN bars count as well.
        for (int i = 0; i < size_X; ++i) {
            count += count_truth(X[i]);
            R[i] = static_cast<num_t>(count);
        }
        return ERR_OK;
    }

    const int64_t last = warm_up(X, size_X, N, R, [&](int64_t k) { count += count_truth(X[k]); });
    if (last < 0) return ERR_OK;
    R[last] = static_cast<num_t>(count);
    for (int64_t i = last + 1; i < size_X; ++i) {
        count += count_truth(X[i]) - count_truth(X[i - N]);
        R[i] = static_cast<num_t>(count);
    }
    return ERR_OK;
}

int zv_count_a(pcalc_ctx_t, const num_t *X, int size_X, const num_t *N, int size_N, num_t *R,
               int size_R) {
    if (size_mismatch(size_X, size_R, size_N)) return ERR_SIZE_DISMATCH;
    // Forward: R[i] = number of true bars among X[0] .. X[i].  A bar is true
    // when it is below or above zero, which leaves out zeros and NaN.
    int64_t count = 0;
    for (int64_t i = 0; i < size_X; ++i) {
        count += count_a_truth(X[i]);
        R[i] = static_cast<num_t>(count);
    }
    // Backward: the count of the window of n bars ending at i is the prefix
    // count at i less the one at i-n.  Only bars after i are rewritten by
    // then, so R[i-n] still holds its prefix count.  Counts are whole numbers
    // far below 2^53, so the difference is exact (+0.0 when they are equal).
    for (int64_t i = static_cast<int64_t>(size_X) - 1; i >= 0; --i) {
        const int64_t n = to_window(N[i]);
        if (n < 0) {
            R[i] = nan_value();
        } else if (n != 0 && n <= i) {
            R[i] = R[i] - R[i - n];
        }
        // 0, or a window reaching bar 0 or beyond, keeps the whole-history count.
    }
    return ERR_OK;
}

}  // extern "C"
