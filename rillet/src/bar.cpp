// Bars since events on a condition series (0 false, anything else true):
// since the first event, since the most recent one, and the plain bar index.
// Every result is a whole number, exact in a double.
#include "series.h"

using namespace rillet;

namespace {

// R[i] = i - origin for i in [from, to): exact whole numbers (below 2^31),
// converted from int so the loop vectorises.
void fill_count(num_t *R, int from, int to, int origin) {
    for (int i = from; i < to; ++i) R[i] = static_cast<num_t>(i - origin);
}

}  // namespace

extern "C" {

int zv_barsince(pcalc_ctx_t, const unsigned char *X, int size_X, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    // 0 up to the first event, then 1, 2, 3, ... whatever follows: find the
    // event, then fill both stretches without looking at X again.
    int first = 0;
    while (first < size_X && X[first] == 0) ++first;
    for (int i = 0; i < first; ++i) R[i] = 0.0;
    fill_count(R, first, size_X, first - 1);
    return ERR_OK;
}

// One forward pass carrying the index of the latest event; the same counts
// as searching backward from every bar for the nearest true bar.
int zv_barlast(pcalc_ctx_t, const unsigned char *X, int size_X, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    int last = -1;
    for (int i = 0; i < size_X; ++i) {
        if (X[i] != 0) last = i;
        R[i] = last < 0 ? 0.0 : static_cast<num_t>(i - last + 1);
    }
    return ERR_OK;
}

int zv_barslast(pcalc_ctx_t ctx, const unsigned char *X, int size_X, num_t *R, int size_R) {
    return zv_barlast(ctx, X, size_X, R, size_R);
}

int zv_currbarscount(pcalc_ctx_t, const num_t *, int size_x, num_t *r, int size_r) {
    if (size_mismatch(size_x, size_r)) return ERR_SIZE_DISMATCH;
    fill_count(r, 0, size_x, 0);
    return ERR_OK;
}

}  // extern "C"
