// The lowest and highest values: LLV, HHV, LLV_A and HHV_A, whole series and
// streams.
//
// Each function's one-bar arithmetic comes from step.h wherever the
// whole-series function, its stream and a grouped kernel (lanes.cpp) share it.

// Lowest and highest values of a trailing window: one kernel family
// parametrised over the comparison.  A length of 0 is the whole history, a
// longer window is clipped to the bars that exist, a negative per-bar length
// gives NaN.  NaN bars are skipped; among equal values (0.0 and -0.0) the
// most recent bar's value is the result; a window of only NaN bars gives NaN.
//
// The single-window form runs in time linear in the bars whatever the window
// (a block method that parks partial extremes in the result array); the
// per-bar form continues growing windows, runs sliding ones through the same
// blocks and answers the others by a rescan or, once rescans grow costly,
// from a monotonic stack.
#include "../extreme.h"
#include "../scratch.h"
#include "../series.h"

#include <cstdlib>
#include <limits>

using namespace rillet;

namespace {

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

// ---- per-bar window ------------------------------------------------------------
//
// Bar i's window is X[lo] .. X[i].  Its extreme does not depend on the order
// in which the bars are compared, only on the tie rule, so it is found by
// whichever way is cheapest:
//
// - Growing: a kept extreme of X[from] .. X[to] serves every later window
//   that starts at from (the windows of a count since an event); only the
//   bars after to are folded in, so such windows cost a step per bar.
// - Sliding: a run of bars with the same window length K (not clipped at bar
//   0) goes through the blocks of the single-window method, at its cost.
// - Any other window is rescanned, until the bars rescanned exceed a budget
//   of kRescanPerBar per bar so far (plus kRescanSlack).  From there a
//   monotonic stack of bar indices, one scratch buffer for the call, answers
//   each window by a search.  If the buffer cannot be had, rescanning goes on:
//   slower, never a different result.
//
// The stack holds, oldest first, the non-NaN bars that no later bar equals or
// beats; their values run from the best to the worst, strictly.  The extreme
// of X[lo] .. X[i] is the value of the first entry at or after lo: every
// bar of the window that is not on the stack was pushed off by a later bar at
// least as good, the entries at or after lo get worse towards the newest, and
// no later bar ties with an entry (it would have pushed it off), so the most
// recent of equal values (0.0 and -0.0) is the one found.  When no entry lies
// at or after lo, every bar of the window is NaN.

// The budget can be set at build time, and the scratch allocator replaced
// (scratch.h): the tests build this file with a budget of 0 (the stack from
// the first rescan on) and with an allocator that returns null (rescans to
// the end).
#ifndef RILLET_RESCAN_PER_BAR
#define RILLET_RESCAN_PER_BAR 64
#endif
#ifndef RILLET_RESCAN_SLACK
#define RILLET_RESCAN_SLACK 4096
#endif
constexpr int64_t kRescanPerBar = RILLET_RESCAN_PER_BAR;
constexpr int64_t kRescanSlack = RILLET_RESCAN_SLACK;
// A run of equal window lengths shorter than this is left to the other ways.
constexpr int64_t kMinSlide = 4;

// Bars a .. b whose windows all hold K bars, the first one starting at
// a-K+1 >= 0: the blocks of the single-window method, aligned so that the
// first block ends at bar a.  That block is only scanned backwards, parking
// the tail extremes for bars a+1 .. a+K-1 and giving bar a the extreme of
// the whole block; the blocks from a+1 on run as in fixed().
template <class Cmp>
void slide_run(const num_t *X, num_t *R, int64_t a, int64_t b, int64_t K) {
    const int64_t n = b + 1;
    int64_t last = kNoBar;
    num_t s = Cmp::worst;
    for (int64_t j = a; j > a - K; --j) {
        if (last == kNoBar && !is_nan(X[j])) last = j;
        backward<Cmp>(X, j, s);
        if (j > a - K + 1 && j + K - 1 < n) R[j + K - 1] = s;
    }
    R[a] = last != kNoBar ? s : nan_value();
    for (int64_t start = a + 1; start < n; start += K) block<Cmp, true>(X, R, start, n, K, last);
}

class Stack {
  public:
    ~Stack() { std::free(at_); }
    bool active() const { return at_ != nullptr; }
    // Takes the buffer for n bars; false when the allocator has none.
    bool start(int64_t n) {
        at_ = static_cast<int32_t *>(scratch_alloc(static_cast<size_t>(n) * sizeof(int32_t)));
        return at_ != nullptr;
    }

    // Extreme of X[lo] .. X[i]: first pushes the bars up to i not yet pushed.
    template <class Cmp>
    num_t extreme(const num_t *X, int64_t lo, int64_t i) {
        for (; next_ <= i; ++next_) {
            const num_t v = X[next_];
            if (is_nan(v)) continue;
            while (size_ > 0 && !Cmp::beats(X[at_[size_ - 1]], v)) --size_;
            at_[size_++] = static_cast<int32_t>(next_);
        }
        const int64_t p = first_at_or_after(lo);
        return p < size_ ? X[at_[p]] : nan_value();
    }

  private:
    // Position of the first entry whose bar is at or after lo (size_ when
    // none is).  The search starts at the previous answer h and gallops out
    // from it, never past what the entries allow: they are increasing bar
    // indices, so the answer is at most lo - at_[h] positions above h, or at
    // most at_[h] - lo below it; that bound is tried first, as it is the
    // answer where the entries are consecutive bars.  A window that slides or
    // grows is found in a step or two, a jump in steps logarithmic in the
    // distance.
    int64_t first_at_or_after(int64_t lo) {
        if (size_ == 0) return 0;
        const int64_t h = hint_ < size_ ? hint_ : size_ - 1;
        int64_t below, above;  // at_[below] < lo (or below = -1), at_[above] >= lo (or above = size_)
        int64_t step = 1;
        if (at_[h] >= lo) {
            const int64_t floor = h - (at_[h] - lo) - 1;  // at_[floor] < lo
            if (floor >= -1 && at_[floor + 1] >= lo) return hint_ = floor + 1;
            above = h;
            while (above - step > floor && above - step >= 0 && at_[above - step] >= lo) {
                above -= step;
                step *= 2;
            }
            below = above - step;
            if (below < floor) below = floor;
            if (below < -1) below = -1;
        } else {
            const int64_t ceil = h + (lo - at_[h]);  // at_[ceil] >= lo
            const int64_t limit = ceil < size_ ? ceil : size_;
            if (at_[limit - 1] < lo) return hint_ = limit;
            below = h;
            while (below + step < limit && at_[below + step] < lo) {
                below += step;
                step *= 2;
            }
            above = below + step < limit ? below + step : limit;
        }
        // The answer lies in below+1 .. above: halve without branching.
        int64_t base = below + 1, len = above - below;
        while (len > 1) {
            const int64_t half = len / 2;
            base = at_[base + half - 1] < lo ? base + half : base;
            len -= half;
        }
        hint_ = base;
        return base;
    }

    int32_t *at_ = nullptr;
    int64_t size_ = 0;  // entries at_[0] .. at_[size_-1]
    int64_t next_ = 0;  // first bar not pushed yet
    int64_t hint_ = 0;  // position of the previous answer
};

// Last bar of the run from a on (before n) whose window lengths truncate to K >= 1.
inline int64_t run_end(const num_t *N, int64_t a, int64_t n, int64_t K) {
    const num_t k = static_cast<num_t>(K), k1 = k + 1.0;
    int64_t b = a;
    // Both bounds in one test: a random length makes each alone a coin toss
    // for the branch predictor.
    while (b + 1 < n && ((N[b + 1] >= k) & (N[b + 1] < k1))) ++b;
    return b;
}

template <class Cmp>
int per_bar(const num_t *X, int size_X, const num_t *N, int size_N, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R, size_N)) return ERR_SIZE_DISMATCH;
    const int64_t n = size_X;
    const num_t q = nan_value();
    Stack stack;
    bool tried = false;  // the stack's buffer was asked for
    int64_t rescanned = 0;
    int64_t from = -1, to = -1;  // kept is the extreme of X[from] .. X[to]
    num_t kept = q;
    // The window length that continues the kept extreme at bar i, i.e.
    // i - from + 1 while to = i-1 and from > 0 (a NaN stands for none): the
    // common case is tested first, by one comparison of each bound.
    num_t grow = q;
    for (int64_t i = 0; i < n; ++i) {
        const num_t w = N[i];
        if ((w >= grow) & (w < grow + 1.0)) {
            R[i] = kept = fold<Cmp>(kept, X[i]);
            to = i;
            grow = grow + 1.0;
            continue;
        }
        const int64_t k = to_window(w);
        if (k < 0) {
            R[i] = q;
            grow = q;
            continue;
        }
        const int64_t lo = k == 0 || k > i ? 0 : i - k + 1;
        if (lo == from) {
            // Grown, past bars whose windows were negative or from bar 0.
            for (int64_t j = to + 1; j <= i; ++j) kept = fold<Cmp>(kept, X[j]);
        } else if (lo == from + 1 && to == i - 1 && k >= kMinSlide && k <= i + 1 && i + kMinSlide <= n &&
                   run_end(N, i, i + kMinSlide, k) == i + kMinSlide - 1) {
            // The window slid by one and goes on sliding.
            const int64_t b = run_end(N, i, n, k);
            slide_run<Cmp>(X, R, i, b, k);
            from = b - k + 1;
            to = i = b;
            kept = R[b];
            grow = static_cast<num_t>(k + 1);
            continue;
        } else if (stack.active()) {
            kept = stack.extreme<Cmp>(X, lo, i);
        } else {
            kept = rescan<Cmp>(X, lo, i);
            rescanned += i - lo + 1;
            if (!tried && rescanned > kRescanPerBar * (i + 1) + kRescanSlack) {
                tried = true;
                stack.start(n);
            }
        }
        from = lo;
        to = i;
        R[i] = kept;
        grow = lo > 0 ? static_cast<num_t>(i - lo + 2) : q;
    }
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

// Streams of the lowest and highest values.  LLV and HHV keep a monotonic
// deque of the window's candidates (amortised constant time per bar); LLV_A
// and HHV_A rescan the bar's window among the kept bars, as their
// whole-series forms do, and keep a running extreme for whole-history
// windows.  Everywhere NaN bars are skipped and, among equal values (0.0 and
// -0.0), the most recent bar's value is the result.
#include "../extreme.h"
#include "../stream.h"

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
