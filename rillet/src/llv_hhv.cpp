// Lowest and highest values of a trailing window: one kernel family
// parametrised over the comparison.  A length of 0 is the whole history, a
// longer window is clipped to the bars that exist, a negative per-bar length
// gives NaN.  NaN bars are skipped; among equal values (0.0 and -0.0) the
// most recent bar's value is the result; a window of only NaN bars gives NaN.
//
// The single-window form runs in time linear in the bars whatever the window
// (a block method that parks partial extremes in the result array); the
// per-bar form rescans each bar's window, whose length changes from bar to bar.
#include "extreme.h"

using namespace rillet;

namespace {

template <class Cmp>
int per_bar(const num_t *X, int size_X, const num_t *N, int size_N, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R, size_N)) return ERR_SIZE_DISMATCH;
    for (int64_t i = 0; i < size_X; ++i) {
        const int64_t k = to_window(N[i]);
        R[i] = k < 0 ? nan_value() : extreme<Cmp>(X, i, k == 0 ? i + 1 : k);
    }
    return ERR_OK;
}

// ---- one window for every bar: blocks of N bars -------------------------------
//
// Bar i of the block [b, b+N) has the window [i-N+1, i]: the tail of the
// previous block from i-N+1 (older bars) joined with the head of its own
// block up to i (newer bars).  A backward pass over each block computes its
// tail extremes and parks the one for bar i in R[i], which lies in the next
// block; the forward pass over that block then folds its bars into a running
// head extreme and combines it with what R[i] holds.  Every bar is read
// twice, whatever N.
//
// Inside the passes a NaN bar stands as the worst value (+inf for the lowest,
// -inf for the highest): it never replaces a value, and where it would tie
// with a real infinity the kept bits are the same.  Whether a window has any
// non-NaN bar at all is decided apart, from the index of the latest one.

template <class Cmp>
inline num_t clean(num_t v) {
    return is_nan(v) ? Cmp::worst : v;
}

// Index of the latest non-NaN bar so far; before the first one it lies below
// every window start.
inline constexpr int64_t kNoBar = INT64_MIN / 2;

// Forward step at bar i: folds X[i] into the running head extreme p (newer
// bars win ties) and writes the result of the window of N bars ending at i,
// combined with the parked tail extreme in R[i] when Parked.
template <class Cmp, bool Parked>
inline void forward(const num_t *X, num_t *R, int64_t i, int64_t N, num_t &p, int64_t &last) {
    const num_t v = X[i];
    const bool valid = !is_nan(v);
    last = valid ? i : last;
    p = keep<Cmp>(p, valid ? v : Cmp::worst);
    const num_t r = Parked ? keep<Cmp>(R[i], p) : p;
    R[i] = last > i - N ? r : nan_value();
}

// Backward step at bar j: folds X[j] into the tail extreme s, which holds the
// newer bars j+1 .. of the block, so X[j] replaces it only when strictly better.
template <class Cmp>
inline void backward(const num_t *X, int64_t j, num_t &s) {
    s = keep<Cmp>(clean<Cmp>(X[j]), s);
}

// The block [b, b+N) clipped at n: its forward pass (Parked: the previous
// block left its tail extremes in R) run together with the backward pass
// that parks this block's tail extremes for the next block, when there is one.
template <class Cmp, bool Parked>
void block(const num_t *X, num_t *R, int64_t b, int64_t n, int64_t N, int64_t &last) {
    const int64_t e = b + N;
    num_t p = Cmp::worst;
    int64_t i = b;
    if (e < n) {
        // Tail extreme from j (b < j < e) serves bar j+N-1 of the next block;
        // bars past the end only extend the scan.
        num_t s = Cmp::worst;
        int64_t j = e - 1;
        for (; j > b && j + N - 1 >= n; --j) backward<Cmp>(X, j, s);
        for (; i < e - 1 - (j - b); ++i) forward<Cmp, Parked>(X, R, i, N, p, last);
        for (; j > b; --j, ++i) {
            forward<Cmp, Parked>(X, R, i, N, p, last);
            backward<Cmp>(X, j, s);
            R[j + N - 1] = s;
        }
    } else {
        for (; i < n && i < e - 1; ++i) forward<Cmp, Parked>(X, R, i, N, p, last);
    }
    // The block's last bar has the whole block as its window.
    if (i < n) forward<Cmp, false>(X, R, i, N, p, last);
}

template <class Cmp>
int fixed(const num_t *X, int size_X, int N, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    if (N < 0) return ERR_PARAM_WRONG;
    const int64_t n = size_X;
    int64_t last = kNoBar;
    if (N == 0 || N >= n) {
        // Every window starts at bar 0: one running extreme.
        num_t p = Cmp::worst;
        for (int64_t i = 0; i < n; ++i) forward<Cmp, false>(X, R, i, n, p, last);
        return ERR_OK;
    }
    // Windows of the first block are clipped at bar 0: nothing parked there.
    block<Cmp, false>(X, R, 0, n, N, last);
    for (int64_t b = N; b < n; b += N) block<Cmp, true>(X, R, b, n, N, last);
    return ERR_OK;
}

}  // namespace

extern "C" {

int zv_llv(pcalc_ctx_t, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    return fixed<Lower>(X, size_X, N, R, size_R);
}

int zv_hhv(pcalc_ctx_t, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    return fixed<Higher>(X, size_X, N, R, size_R);
}

int zv_llv_a(pcalc_ctx_t, const num_t *X, int size_X, const num_t *N, int size_N, num_t *R,
             int size_R) {
    return per_bar<Lower>(X, size_X, N, size_N, R, size_R);
}

int zv_hhv_a(pcalc_ctx_t, const num_t *X, int size_X, const num_t *N, int size_N, num_t *R,
             int size_R) {
    return per_bar<Higher>(X, size_X, N, size_N, R, size_R);
}

}  // extern "C"
