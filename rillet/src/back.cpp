// Length of the run of consecutive true bars that ends at each bar of a
// condition series.  One forward pass carrying the run length; the same
// counts as counting backward from every bar until a false one.
#include "series.h"

using namespace rillet;

extern "C" {

int zv_backcount(pcalc_ctx_t, const unsigned char *X, int size_X, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    num_t run = 0.0;
    for (int i = 0; i < size_X; ++i) {
        run = X[i] != 0 ? run + 1.0 : 0.0;
        R[i] = run;
    }
    return ERR_OK;
}

}  // extern "C"
