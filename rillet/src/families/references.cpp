// The back references: REF, REFXV, REF_A and REFIF, whole series and streams.
//
// Each function's one-bar arithmetic comes from step.h wherever the
// whole-series function, its stream and a grouped kernel (lanes.cpp) share it.

// Back references: values copied unchanged from another bar.  Offsets are
// never refused; the target index is formed in 64 bits so that any int
// offset (INT_MIN and INT_MAX included) lands correctly inside or outside.
#include "../series.h"

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

// Streams of the back references.  REF with a positive offset and REFXV
// with a negative one read a kept bar; REF with a negative offset and REFXV
// with a positive one look ahead: the new bar's value is what the series so
// far gives it (NaN for REF, the bar's own value for REFXV), and each update
// also reports the bar |N| back, whose value the new bar has just settled.
// REF_A reads a kept bar; REFIF remembers one value.
#include "../stream.h"

using namespace rillet::stream;

namespace {

enum class Which { Ref, Refxv };

// out[0]: the new bar's value.  With lag > 0, out[1]: the settled value of
// the bar lag bars back, NaN while there is none.
template <Which K>
class Offset : public Plain {
  public:
    // Bars the value reaches back (REF N > 0, REFXV N < 0) or ahead.
    static int64_t back(const Params &p) {
        return K == Which::Ref ? static_cast<int64_t>(p.N) : -static_cast<int64_t>(p.N);
    }
    static int64_t lag(const Params &p) { return back(p) < 0 ? -back(p) : 0; }
    static size_t storage(const Params &p) { return back(p) > 0 ? Ring::bytes(back(p)) : 0; }
    Offset(const Params &p, char *st) : back_(back(p)) {
        if (back_ > 0) ring_.init(st, back_);
    }

    template <bool Commit>
    int step(int64_t t, const num_t *in, num_t *out) {
        const num_t x = in[0];
        if (back_ == 0) {
            *out = x;
        } else if (back_ > 0) {
            // The bar back_ bars ago; before it exists, NaN (REF) or the bar itself (REFXV).
            const num_t fallback = K == Which::Ref ? nan_value() : x;
            *out = t >= back_ ? ring_.oldest() : fallback;
            Pushed<Commit> pushed(ring_, x);
        } else {
            out[0] = K == Which::Ref ? nan_value() : x;
            out[1] = t >= -back_ ? x : nan_value();
        }
        return ERR_OK;
    }

    template <class V>
    bool io(V &v) {
        return back_ <= 0 || ring_.io(v, v.bars());
    }

  private:
    Ring ring_;
    int64_t back_;
};

// REF_A: the bar n back (n truncated), NaN where that lies outside the bars
// so far (a negative n points past the newest bar; the stream does not revise
// that bar later).  An n beyond max_window inside the series is not kept:
// NaN, and the step reports it.
class RefA : public Plain {
  public:
    static size_t storage(const Params &p) { return Ring::bytes(cap(p)); }
    RefA(const Params &p, char *st) { ring_.init(st, cap(p)); }

    template <bool Commit>
    int step(int64_t t, const num_t *in, num_t *out) {
        Pushed<Commit> pushed(ring_, in[0]);
        const int64_t n = to_window(in[1]);
        *out = nan_value();
        if (n < 0 || n > t) return ERR_OK;
        if (n >= ring_.cap()) return ERR_PARAM_WRONG;
        *out = ring_.window(n + 1)[0];
        return ERR_OK;
    }

    template <class V>
    bool io(V &v) {
        return ring_.io(v, v.bars());
    }

  private:
    static int64_t cap(const Params &p) { return static_cast<int64_t>(p.max_window) + 1; }
    Ring ring_;
};

// REFIF (inputs x, c, v): the remembered x, or v of the bar while nothing is
// remembered or the remembered x is NaN; then x is remembered when c is
// unequal to 0.0 (NaN is).
class Refif : public Plain {
  public:
    Refif(const Params &, char *) {}

    template <bool Commit>
    int step(int64_t, const num_t *in, num_t *out) {
        *out = is_nan(v_) ? in[2] : v_;
        if (Commit && in[1] != 0.0) v_ = in[0];
        return ERR_OK;
    }

    template <class V>
    bool io(V &v) {
        return v.num(v_);
    }

  private:
    num_t v_ = nan_value();
};

}  // namespace

namespace rillet::stream {
const Ops ops_REF = ops_of<Offset<Which::Ref>>();
const Ops ops_REFXV = ops_of<Offset<Which::Refxv>>();
const Ops ops_REF_A = ops_of<RefA>();
const Ops ops_REFIF = ops_of<Refif>();
}  // namespace rillet::stream
