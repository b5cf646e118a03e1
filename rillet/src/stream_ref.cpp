// Streams of the back references.  REF with a positive offset and REFXV
// with a negative one read a kept bar; REF with a negative offset and REFXV
// with a positive one look ahead: the new bar's value is what the series so
// far gives it (NaN for REF, the bar's own value for REFXV), and each update
// also reports the bar |N| back, whose value the new bar has just settled.
// REF_A reads a kept bar; REFIF remembers one value.
#include "stream.h"

using namespace rillet;
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
