// Least-squares slope over a trailing window, the window's bars numbered
// 0 .. N-1 from oldest to newest.  The position sums are closed forms of N;
// the value sums are formed afresh for every window, so a NaN only spoils
// the windows that hold it.
#include "series.h"

using namespace rillet;

extern "C" {

int zv_slope(pcalc_ctx_t, const num_t *Y, int size_Y, int N, num_t *R, int size_R) {
    if (size_mismatch(size_Y, size_R)) return ERR_SIZE_DISMATCH;
    if (N < 0) return ERR_PARAM_WRONG;
    if (N == 0) {
        for (int i = 0; i < size_Y; ++i) R[i] = 1.0;
        return ERR_OK;
    }
    fill_nan(R, 0, N, size_Y);
    if (size_Y < N) return ERR_OK;

    // sum of 0 .. N-1 and of their squares, exact integers (the second needs
    // more than 64 bits for large N), each rounded once to double.
    const int64_t n64 = N;
    const num_t sumX = static_cast<num_t>(n64 * (n64 - 1) / 2);
    const __int128 sq = static_cast<__int128>(n64) * (n64 - 1) * (2 * n64 - 1) / 6;
    const num_t sumXX = static_cast<num_t>(sq);
    const num_t n = static_cast<num_t>(N);
    const num_t sumXs = sumX * sumX;
    const num_t nxx = n * sumXX;
    const num_t denom = nxx - sumXs;

    for (int k = 0; k <= size_Y - N; ++k) {
        const num_t *w = Y + k;
        num_t sumXY = 0.0, sumY = 0.0;
        for (int j = 0; j < N; ++j) {
            const num_t y = w[j];
            sumY = sumY + y;
            const num_t xy = static_cast<num_t>(j) * y;
            sumXY = sumXY + xy;
        }
        const num_t a = n * sumXY;
        const num_t b = sumX * sumY;
        R[k + N - 1] = (a - b) / denom;
    }
    return ERR_OK;
}

}  // extern "C"
