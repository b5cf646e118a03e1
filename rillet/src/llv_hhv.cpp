// Lowest and highest values of a trailing window: one kernel parametrised
// over the comparison, fed a window length per bar either from one int or
// from a series.  A length of 0 is the whole history, a longer window is
// clipped to the bars that exist, a negative per-bar length gives NaN.
#include "series.h"

using namespace rillet;

namespace {

struct Lower {
    static bool beats(num_t a, num_t b) { return a < b; }
};
struct Higher {
    static bool beats(num_t a, num_t b) { return a > b; }
};

// Extreme of the non-NaN bars among X[i], X[i-1], ... X[max(0, i-k+1)],
// scanned from the newest bar; only a strictly better value replaces the
// kept one, so among equals (0.0 and -0.0) the most recent stays.  NaN when
// every bar of the window is NaN.
template <class Cmp>
num_t extreme(const num_t *X, int64_t i, int64_t k) {
    const int64_t lo = k > i ? 0 : i - k + 1;
    num_t r = nan_value();
    bool have = false;
    for (int64_t j = i; j >= lo; --j) {
        const num_t v = X[j];
        if (is_nan(v)) continue;
        if (!have || Cmp::beats(v, r)) {
            r = v;
            have = true;
        }
    }
    return r;
}

// window(i) gives bar i's length as a 64-bit value: negative for no value.
template <class Cmp, class Window>
void extremes(const num_t *X, int size_X, num_t *R, Window window) {
    for (int64_t i = 0; i < size_X; ++i) {
        const int64_t k = window(i);
        if (k < 0) {
            R[i] = nan_value();
            continue;
        }
        R[i] = extreme<Cmp>(X, i, k == 0 ? i + 1 : k);
    }
}

template <class Cmp>
int fixed(const num_t *X, int size_X, int N, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    if (N < 0) return ERR_PARAM_WRONG;
    extremes<Cmp>(X, size_X, R, [N](int64_t) { return static_cast<int64_t>(N); });
    return ERR_OK;
}

template <class Cmp>
int per_bar(const num_t *X, int size_X, const num_t *N, int size_N, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R, size_N)) return ERR_SIZE_DISMATCH;
    extremes<Cmp>(X, size_X, R, [N](int64_t i) { return static_cast<int64_t>(to_window(N[i])); });
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
