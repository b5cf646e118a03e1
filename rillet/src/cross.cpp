// Upward crossing of X over Y: the previous bar strictly below, the current
// bar strictly above.  Any NaN makes a comparison false.  Bar 0 has no
// previous bar and is left as the caller passed it.
#include "series.h"
#include "step.h"

using namespace rillet;

extern "C" {

int zv_cross(pcalc_ctx_t, const num_t *X, int size_X, const num_t *Y, int size_Y, num_t *R,
             int size_R) {
    if (size_mismatch(size_X, size_R, size_Y)) return ERR_SIZE_DISMATCH;
    // Both comparisons are always evaluated (no branch), so the loop runs as
    // straight-line vector code whatever the data.
    for (int i = 1; i < size_X; ++i) R[i] = crosses(X[i - 1], Y[i - 1], X[i], Y[i]);
    return ERR_OK;
}

}  // extern "C"
