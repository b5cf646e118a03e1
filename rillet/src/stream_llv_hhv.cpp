// Streams of the lowest and highest values.  LLV and HHV keep a monotonic
// deque of the window's candidates (amortised constant time per bar); LLV_A
// and HHV_A rescan the bar's window among the kept bars, as their
// whole-series forms do, and keep a running extreme for whole-history
// windows.  Everywhere NaN bars are skipped and, among equal values (0.0 and
// -0.0), the most recent bar's value is the result.
#include "extreme.h"
#include "stream.h"

using namespace rillet;
using namespace rillet::stream;

namespace {

// The extreme of every bar so far, NaN bars left out; NaN before the first
// bar that is not NaN.  A newer value replaces the kept one unless the kept
// one is strictly better.
template <class Cmp>
class Running {
  public:
    num_t with(num_t x) const { return fold<Cmp>(p_, x); }
    template <bool Commit>
    void take(num_t r) {
        if (Commit) p_ = r;
    }
    template <class V>
    bool io(V &v) {
        return v.num(p_);
    }

  private:
    num_t p_ = nan_value();  // no value yet
};

// LLV and HHV: N = 0 is the whole history.  Otherwise a deque holds the bars
// of the last N that may still be a window's extreme, oldest first, each
// strictly better than every bar after it: a new bar removes from the back
// every bar that is not strictly better than it (so it wins ties over older
// equals), and the front leaves when the window passes it.  At most N bars
// are in it, so its storage holds N.
template <class Cmp>
class Fixed : public Plain {
  public:
    struct Item {
        int64_t i;
        num_t v;
    };
    static size_t storage(const Params &p) { return static_cast<size_t>(p.N) * sizeof(Item); }
    Fixed(const Params &p, char *st) : N_(p.N) { off_ = st - reinterpret_cast<char *>(this); }

    template <bool Commit>
    int step(int64_t t, const num_t *in, num_t *out) {
        const num_t x = in[0];
        if (N_ == 0) {
            *out = all_.with(x);
            all_.template take<Commit>(*out);
            return ERR_OK;
        }
        Item *q = items();
        int64_t head = head_, size = size_;
        // Only bar t-N can have left the window since the last bar.
        if (size > 0 && q[head].i <= t - N_) {
            head = wrap(head + 1);
            --size;
        }
        if (is_nan(x)) {
            *out = size > 0 ? q[head].v : nan_value();
        } else if (!Commit) {
            // The front survives the new bar only when strictly better.
            *out = size > 0 && Cmp::beats(q[head].v, x) ? q[head].v : x;
        } else {
            while (size > 0 && !Cmp::beats(q[wrap(head + size - 1)].v, x)) --size;
            q[wrap(head + size)] = Item{t, x};
            ++size;
            *out = q[head].v;
        }
        if (Commit) {
            head_ = head;
            size_ = size;
        }
        return ERR_OK;
    }

    // The deque is saved front first, then its free slots as zeros, so its
    // bytes are as long as its storage (the loader asks for no more memory
    // than the bytes justify) and say the same for the same candidates.  On
    // loading, the candidates must be what a series leaves: bars of the last
    // N, oldest first, not NaN, each strictly better than the next.
    template <class V>
    bool io(V &v) {
        if (!all_.io(v)) return false;
        if (N_ == 0) return true;
        Item *q = items();
        int64_t size = size_;
        const int64_t bars = v.bars();
        if (!v.i64(size, 0, bars < N_ ? bars : N_)) return false;
        const int64_t oldest = bars > N_ ? bars - N_ : 0;
        for (int64_t j = 0; j < N_; ++j) {
            const bool live = j < size;
            Item it = !V::kLoad && live ? q[wrap(head_ + j)] : Item{0, 0.0};
            if (!v.i64(it.i, live ? oldest : 0, live ? bars - 1 : 0) || !v.num(it.v)) return false;
            if constexpr (V::kLoad) {
                const bool fits = !live ? bits_of(it.v) == 0
                                        : !is_nan(it.v) && (j == 0 || (q[j - 1].i < it.i &&
                                                                       Cmp::beats(q[j - 1].v, it.v)));
                if (!v.check(fits)) return false;
                q[j] = it;
            }
        }
        if constexpr (V::kLoad) {
            head_ = 0;
            size_ = size;
        }
        return true;
    }

  private:
    // A position head + j (both below N) in the storage.
    int64_t wrap(int64_t j) const { return j >= N_ ? j - N_ : j; }
    Item *items() { return reinterpret_cast<Item *>(reinterpret_cast<char *>(this) + off_); }
    ptrdiff_t off_;
    int64_t N_;
    int64_t head_ = 0, size_ = 0;
    Running<Cmp> all_;
};

// LLV_A and HHV_A: the bar's window k (truncated): NaN when negative, the
// whole history when 0 or reaching past bar 0, else a rescan of the last k
// bars from the newest.  A window longer than max_window inside the series
// is not kept: NaN, and the step reports it.
template <class Cmp>
class PerBar : public Plain {
  public:
    static size_t storage(const Params &p) { return Ring::bytes(cap(p)); }
    PerBar(const Params &p, char *st) { ring_.init(st, cap(p)); }

    template <bool Commit>
    int step(int64_t t, const num_t *in, num_t *out) {
        const num_t x = in[0];
        Pushed<Commit> pushed(ring_, x);
        const num_t whole = all_.with(x);
        all_.template take<Commit>(whole);
        const int64_t k = to_window(in[1]);
        if (k < 0) {
            *out = nan_value();
        } else if (k == 0 || k > t) {
            *out = whole;
        } else if (k > ring_.cap()) {
            *out = nan_value();
            return ERR_PARAM_WRONG;
        } else {
            *out = rescan<Cmp>(ring_.window(k), 0, k - 1);
        }
        return ERR_OK;
    }

    template <class V>
    bool io(V &v) {
        return ring_.io(v, v.bars()) && all_.io(v);
    }

  private:
    static int64_t cap(const Params &p) { return p.max_window > 0 ? p.max_window : 1; }
    Ring ring_;
    Running<Cmp> all_;
};

}  // namespace

namespace rillet::stream {
const Ops ops_LLV = ops_of<Fixed<Lower>>();
const Ops ops_HHV = ops_of<Fixed<Higher>>();
const Ops ops_LLV_A = ops_of<PerBar<Lower>>();
const Ops ops_HHV_A = ops_of<PerBar<Higher>>();
}  // namespace rillet::stream
