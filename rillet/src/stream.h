// Stream state: the machinery shared by the streams of every family.
//
// A stream is one allocation: the handle, the function's state object right
// after it, and the state's ring storage after that.  Nothing in it points
// into itself (rings keep the offset of their storage from themselves), so a
// copy is one memcpy.
//
// Each function's state is a trivially copyable class S with
//     S(const Params &, char *storage)   construct; storage holds S::storage(p) bytes
//     static size_t storage(const Params &)
//     static int64_t lag(const Params &)
//     template <bool Commit> int step(int64_t t, const num_t *in, num_t *out)
//     template <class V> bool io(V &v)
// step takes bar t (0 for the first bar) with its inputs and writes its
// result; without Commit the state is left exactly as it was (rings written
// for the computation are restored), which is what peek runs.  io saves or
// loads the fields that bars change (stream_bytes.h), v.bars() being the
// bars taken; loading refuses any value no series could have left there.
#pragma once

#include "catalog.h"
#include "series.h"
#include "stream_bytes.h"

#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>

namespace rillet {
namespace stream {

// Parameters of one stream: the integer parameters of the function (N, and M
// for SMA) and the largest per-bar window of the _A variants.
struct Params {
    int N = 0, M = 0;
    int max_window = 0;
};

using rillet::truth;  // the condition rule (series.h)

// The last `cap` values pushed, stored twice over so that any run of them up
// to the newest is contiguous (the whole-series window kernels run on it).
class Ring {
  public:
    static size_t bytes(int64_t cap) { return 2 * static_cast<size_t>(cap) * sizeof(num_t); }

    // The storage comes zero-filled; no value is read before it is pushed.
    void init(char *storage, int64_t cap) {
        off_ = storage - reinterpret_cast<char *>(this);
        cap_ = cap;
        pos_ = 0;
    }
    int64_t cap() const { return cap_; }
    // The value pushed cap pushes ago (before put).
    num_t oldest() const { return data()[pos_]; }
    // Stores v as the newest value, not yet advanced; returns what it replaced.
    num_t put(num_t v) {
        num_t *d = data();
        const num_t old = d[pos_];
        d[pos_] = v;
        d[pos_ + cap_] = v;
        return old;
    }
    // After put: the k newest values (k <= cap), oldest first.
    const num_t *window(int64_t k) const { return data() + pos_ + cap_ - k + 1; }
    // Between steps: the k values pushed last (k <= cap), oldest first.
    const num_t *last(int64_t k) const { return data() + pos_ + cap_ - k; }
    void advance() { pos_ = pos_ + 1 == cap_ ? 0 : pos_ + 1; }
    void undo(num_t old) { put(old); }

    // The cap values as stored; the position is `pushes` (the values pushed
    // so far) modulo cap, so it is not saved.  Values not yet pushed are
    // never read.
    template <class V>
    bool io(V &v, int64_t pushes) {
        num_t *d = data();
        for (int64_t j = 0; j < cap_; ++j) {
            if (!v.num(d[j])) return false;
        }
        if constexpr (V::kLoad) {
            std::memcpy(d + cap_, d, static_cast<size_t>(cap_) * sizeof(num_t));
            pos_ = pushes % cap_;
        }
        return true;
    }

  private:
    num_t *data() const {
        return reinterpret_cast<num_t *>(const_cast<char *>(reinterpret_cast<const char *>(this)) +
                                         off_);
    }
    ptrdiff_t off_;
    int64_t cap_, pos_;
};

// A value put into a ring for one step: advanced on commit, taken back otherwise.
template <bool Commit>
class Pushed {
  public:
    Pushed(Ring &r, num_t v) : r_(r), old_(r.put(v)) {}
    ~Pushed() {
        if (Commit) {
            r_.advance();
        } else {
            r_.undo(old_);
        }
    }
    Pushed(const Pushed &) = delete;
    Pushed &operator=(const Pushed &) = delete;

  private:
    Ring &r_;
    num_t old_;
};

// Position of each bar from the first bar that is not NaN (index s): the
// leading NaN bars are skipped by the functions that follow that rule.
class Since {
  public:
    // k of a bar with value x: its distance from s, or -1 for a leading NaN bar.
    int64_t at(num_t x) const { return taken_ == 0 && is_nan(x) ? -1 : taken_; }
    template <bool Commit>
    void take(int64_t k) {
        if (Commit && k >= 0) taken_ = k + 1;
    }
    int64_t taken() const { return taken_; }
    template <class V>
    bool io(V &v) {
        return v.i64(taken_, 0, v.bars());
    }

  private:
    int64_t taken_ = 0;  // bars taken from s on
};

// Defaults for states without storage or look-ahead.
struct Plain {
    static size_t storage(const Params &) { return 0; }
    static int64_t lag(const Params &) { return 0; }
};

// The functions that skip the leading NaN bars and keep their last N bars
// (MA, SUM, COUNT, WMA and the dispersion statistics).  Their state D derives
// from Trailing<D> and gives
//     template <bool Commit> void bar(int64_t k, num_t x, num_t oldest, num_t *out)
// for the bar k bars from the first valid one (index s), with x already the
// newest bar of ring_ and oldest the bar N back (valid from k = N on).  Where
// D::kWholeAtZero, N = 0 means every bar from bar 0 and goes to
//     template <bool Commit> void whole(num_t x, num_t *out)
// instead, with no bar kept.
template <class D>
class Trailing : public Plain {
  public:
    static constexpr bool kWholeAtZero = false;
    static size_t storage(const Params &p) { return p.N > 0 ? Ring::bytes(p.N) : 0; }
    Trailing(const Params &p, char *st) : N_(p.N) {
        if (p.N > 0) ring_.init(st, p.N);
    }

    template <bool Commit>
    int step(int64_t, const num_t *in, num_t *out) {
        D &d = *static_cast<D *>(this);
        const num_t x = in[0];
        if constexpr (D::kWholeAtZero) {
            if (N_ == 0) {
                d.template whole<Commit>(x, out);
                return ERR_OK;
            }
        }
        const int64_t k = since_.at(x);
        if (k < 0) {
            *out = nan_value();
            return ERR_OK;
        }
        const num_t oldest = ring_.oldest();
        Pushed<Commit> pushed(ring_, x);
        d.template bar<Commit>(k, x, oldest, out);
        since_.take<Commit>(k);
        return ERR_OK;
    }

  protected:
    // The bars from the first valid one, and the window ring, which takes
    // one value for each of them (N = 0 of kWholeAtZero keeps neither).
    template <class V>
    bool io_trailing(V &v) {
        if (!since_.io(v)) return false;
        if (N_ == 0) return v.check(since_.taken() == 0);
        return ring_.io(v, since_.taken());
    }

    Ring ring_;
    Since since_;
    int64_t N_;
};

// The table entry of one function.
struct Ops {
    size_t size;  // sizeof the state
    size_t (*storage)(const Params &);
    int64_t (*lag)(const Params &);
    void (*init)(void *state, const Params &, char *storage);
    int (*update)(void *state, int64_t t, const num_t *in, num_t *out);
    int (*peek)(void *state, int64_t t, const num_t *in, num_t *out);
    void (*save)(const void *state, Writer &);
    bool (*load)(void *state, Reader &);
};

template <class S>
void init_of(void *state, const Params &p, char *storage) {
    new (state) S(p, storage);
}
template <class S, bool Commit>
int step_of(void *state, int64_t t, const num_t *in, num_t *out) {
    return static_cast<S *>(state)->template step<Commit>(t, in, out);
}

template <class S>
void save_of(const void *state, Writer &w) {
    // io only reads through the writer.
    const_cast<S *>(static_cast<const S *>(state))->io(w);
}
template <class S>
bool load_of(void *state, Reader &r) {
    return static_cast<S *>(state)->io(r);
}

template <class S>
constexpr Ops ops_of() {
    static_assert(std::is_trivially_copyable_v<S>, "a stream is copied with memcpy");
    return Ops{sizeof(S),         &S::storage,         &S::lag,     &init_of<S>,
               &step_of<S, true>, &step_of<S, false>, &save_of<S>, &load_of<S>};
}

// Each function's entry, defined in its family file (families/*.cpp).
#define RILLET_STREAM_DECLARE(NAME, ...) extern const Ops ops_##NAME;
RILLET_CATALOG(RILLET_STREAM_DECLARE)
#undef RILLET_STREAM_DECLARE

}  // namespace stream
}  // namespace rillet
