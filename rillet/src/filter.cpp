// Signal filter: a signal (any value but 0.0 and NaN) is kept as it is and
// the N-1 bars after it are set to 0.0 without being examined; every other
// bar is copied.  N = 0 means the whole series.  Positions are 64-bit so a
// window up to the largest int cannot overflow them.
#include "series.h"
#include "step.h"

using namespace rillet;

extern "C" {

int zv_filter(pcalc_ctx_t, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    if (N < 0) return ERR_PARAM_WRONG;
    const int64_t n = N == 0 ? size_X : N;
    const int64_t size = size_X;
    int64_t i = 0;
    while (i < size) {
        R[i] = X[i];
        if (!is_signal(X[i])) {
            ++i;
            continue;
        }
        const int64_t end = i + n < size ? i + n : size;
        for (int64_t j = i + 1; j < end; ++j) R[j] = 0.0;
        i += n;
    }
    return ERR_OK;
}

}  // extern "C"
