// The window median: the middle of the last N bars' values.
//
// NaN bars are skipped; early bars use the bars that exist; a window with no
// value gives NaN.  With an even count k the result is (v[k/2-1] + v[k/2]) / 2
// of the sorted values, so two infinities of opposite sign give NaN and two
// huge values of one sign may give an infinity.  Values sort ascending with
// -0.0 before +0.0, so which zero a median picks is fixed.
//
// One step serves the whole series and the stream: the window's values are
// kept sorted, a bar's value is inserted at its place and the value leaving
// the window is taken out (binary search, then one move of the values above
// it), so a bar costs O(log N) comparisons and at most N moved values.
#include "../scratch.h"
#include "../series.h"
#include "../stream.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

using namespace rillet;

namespace {

// The non-NaN values of a window in ascending order, in storage the caller
// owns (the state holds no pointer, so a stream copies with memcpy).
class Sorted {
  public:
    static bool before(num_t a, num_t b) {
        return a < b || (a == b && std::signbit(a) && !std::signbit(b));
    }
    void insert(num_t *v, num_t x) {
        num_t *at = std::upper_bound(v, v + size_, x, before);
        std::memmove(at + 1, at, static_cast<size_t>(v + size_ - at) * sizeof(num_t));
        *at = x;
        ++size_;
    }
    // x is in the window: the first value of its key has its very bits.
    void erase(num_t *v, num_t x) {
        num_t *at = std::lower_bound(v, v + size_, x, before);
        std::memmove(at, at + 1, static_cast<size_t>(v + size_ - at - 1) * sizeof(num_t));
        --size_;
    }
    // The window's k values (NaN ones left out) sorted into v: the values
    // and order that inserting them one by one leaves.
    void rebuild(num_t *v, const num_t *window, int64_t k) {
        size_ = 0;
        for (int64_t j = 0; j < k; ++j) {
            if (!is_nan(window[j])) v[size_++] = window[j];
        }
        std::sort(v, v + size_, before);
    }
    num_t median(const num_t *v) const {
        if (size_ == 0) return nan_value();
        const int64_t h = size_ / 2;
        return size_ % 2 ? v[h] : (v[h - 1] + v[h]) / 2.0;
    }

  private:
    int64_t size_ = 0;
};

// The step of bar t: `leaving` is the bar N back (NaN when there is none).
inline num_t step(Sorted &s, num_t *v, num_t x, num_t leaving) {
    if (!is_nan(leaving)) s.erase(v, leaving);
    if (!is_nan(x)) s.insert(v, x);
    return s.median(v);
}

// The stream: the last N bars in a ring (for the leaving one) and the
// sorted window after it in the same storage.
class Stream : public stream::Plain {
  public:
    static size_t storage(const stream::Params &p) {
        return stream::Ring::bytes(p.N) + static_cast<size_t>(p.N) * sizeof(num_t);
    }
    Stream(const stream::Params &p, char *st) : N_(p.N) {
        ring_.init(st, p.N);
        off_ = st + stream::Ring::bytes(p.N) - reinterpret_cast<char *>(this);
    }

    template <bool Commit>
    int step(int64_t t, const num_t *in, num_t *out) {
        const num_t x = in[0];
        const num_t leaving = t >= N_ ? ring_.oldest() : nan_value();
        stream::Pushed<Commit> pushed(ring_, x);
        num_t *v = values();
        if (Commit) {
            *out = ::step(sorted_, v, x, leaving);
        } else {
            // Take the bar in, read the median, and put the window back as
            // it was: the same values in the same places.
            Sorted s = sorted_;
            *out = ::step(s, v, x, leaving);
            if (!is_nan(x)) s.erase(v, x);
            if (!is_nan(leaving)) s.insert(v, leaving);
        }
        return ERR_OK;
    }

    // Only the ring is saved: the sorted window is its last min(N, bars)
    // values, and loading sorts them again.
    template <class V>
    bool io(V &v) {
        if (!ring_.io(v, v.bars())) return false;
        if constexpr (V::kLoad) {
            const int64_t k = v.bars() < N_ ? v.bars() : N_;
            sorted_.rebuild(values(), ring_.last(k), k);
        }
        return true;
    }

  private:
    num_t *values() { return reinterpret_cast<num_t *>(reinterpret_cast<char *>(this) + off_); }
    stream::Ring ring_;
    Sorted sorted_;
    ptrdiff_t off_;
    int64_t N_;
};

}  // namespace

extern "C" int zv_median(pcalc_ctx_t, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    if (N < 1) return ERR_PARAM_WRONG;
    const int64_t n = size_X;
    if (n <= 0) return ERR_OK;
    // A window never holds more values than there are bars.
    const int64_t cap = N < n ? N : n;
    auto *v = static_cast<num_t *>(scratch_alloc(static_cast<size_t>(cap) * sizeof(num_t)));
    if (v == nullptr) return ERR_NO_MEMORY;
    Sorted s;
    for (int64_t t = 0; t < n; ++t) R[t] = step(s, v, X[t], t >= N ? X[t - N] : nan_value());
    std::free(v);
    return ERR_OK;
}

namespace rillet::stream {
const Ops ops_MEDIAN = ops_of<Stream>();
}  // namespace rillet::stream
