// Back references: values copied unchanged from another bar.  Offsets are
// never refused; the target index is formed in 64 bits so that any int
// offset (INT_MIN and INT_MAX included) lands correctly inside or outside.
#include "series.h"

using namespace rillet;

namespace {

inline bool inside(int64_t k, int n) { return k >= 0 && k < n; }
inline int64_t clamp64(int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : v > hi ? hi : v; }

}  // namespace

extern "C" {

// The value N bars back (ahead for a negative N), NaN outside the series.
int zv_ref(pcalc_ctx_t, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    // Bars [lo, hi) have a source bar inside the series: one block copy; the
    // rest are NaN.  A negative size holds no bar.
    const int64_t n = size_X > 0 ? size_X : 0;
    const int64_t lo = clamp64(N, 0, n), hi = clamp64(n + N, 0, n);
    fill_nan(R, 0, lo, size_X);
    if (lo < hi) std::memcpy(R + lo, X + (lo - N), static_cast<size_t>(hi - lo) * sizeof(num_t));
    fill_nan(R, hi > lo ? hi : lo, n, size_X);
    return ERR_OK;
}

// As zv_ref with one offset per bar; a NaN or out-of-range offset becomes
// INT32_MIN, which always points past the end.
int zv_ref_a(pcalc_ctx_t, const num_t *X, int size_X, const num_t *N, int size_N, num_t *R,
             int size_R) {
    if (size_mismatch(size_X, size_R, size_N)) return ERR_SIZE_DISMATCH;
    for (int64_t i = 0; i < size_X; ++i) {
        const int64_t k = i - to_window(N[i]);
        R[i] = inside(k, size_X) ? X[k] : nan_value();
    }
    return ERR_OK;
}

// The value N bars ahead (back for a negative N), the bar's own value where
// that lies outside the series.
int zv_refxv(pcalc_ctx_t, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    // Bars [lo, hi) take the bar N away; the others keep their own value.  A
    // negative size holds no bar.
    const int64_t n = size_X > 0 ? size_X : 0;
    const int64_t lo = clamp64(-static_cast<int64_t>(N), 0, n), hi = clamp64(n - N, 0, n);
    if (lo < hi) {
        std::memcpy(R, X, static_cast<size_t>(lo) * sizeof(num_t));
        std::memcpy(R + lo, X + (lo + N), static_cast<size_t>(hi - lo) * sizeof(num_t));
        std::memcpy(R + hi, X + hi, static_cast<size_t>(n - hi) * sizeof(num_t));
    } else if (n > 0) {
        std::memcpy(R, X, static_cast<size_t>(n) * sizeof(num_t));
    }
    return ERR_OK;
}

// X at the latest earlier bar whose condition held (C unequal to 0.0, so NaN
// holds and -0.0 does not); V of the same bar while there is none or that X
// was NaN.  The bar's result is written before its own condition is read.
int zv_refif(pcalc_ctx_t, const num_t *X, int size_X, const num_t *C, int size_C,
             const num_t *V, int size_V, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R, size_C, size_V)) return ERR_SIZE_DISMATCH;
    num_t v = nan_value();
    for (int i = 0; i < size_X; ++i) {
        R[i] = is_nan(v) ? V[i] : v;
        if (C[i] != 0.0) v = X[i];
    }
    return ERR_OK;
}

}  // extern "C"
