// Conditional selection bar by bar: A where the condition byte is non-zero,
// B elsewhere.  Values are copied as they are (NaN payloads included).  Both
// series have the same length, so both are loaded and one is kept: a blend
// without a branch, which the compiler turns into vector code.
#include "series.h"

using namespace rillet;

extern "C" {

int zv_fif(pcalc_ctx_t, const unsigned char *X, int size_X, const num_t *A, int size_A,
           const num_t *B, int size_B, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R, size_A, size_B)) return ERR_SIZE_DISMATCH;
    for (int i = 0; i < size_X; ++i) {
        const num_t a = A[i], b = B[i];
        R[i] = X[i] != 0 ? a : b;
    }
    return ERR_OK;
}

}  // extern "C"
