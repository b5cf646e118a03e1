// The window counts: COUNT and COUNT_A, whole series and streams.
//
// Each function's one-bar arithmetic comes from step.h wherever the
// whole-series function, its stream and a grouped kernel (lanes.cpp) share it.

// Window counts of true (non-zero) bars.  The single-window count runs one
// integer counter and lets NaN count as true (it compares unequal to zero);
// the per-bar count clips its window to the history and counts NaN as false,
// taking each window's count as a difference of prefix counts.
#include "../series.h"
#include "../step.h"

using namespace rillet;

extern "C" {

int zv_count(pcalc_ctx_t, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    if (N < 0) return ERR_PARAM_WRONG;
    int count = 0;
    if (N == 0) {
        // Cumulative from bar 0; leading NaN bars count as well.
        for (int i = 0; i < size_X; ++i) {
            count += count_truth(X[i]);
            R[i] = static_cast<num_t>(count);
        }
        return ERR_OK;
    }

    const int64_t last = warm_up(X, size_X, N, R, [&](int64_t k) { count += count_truth(X[k]); });
    if (last < 0) return ERR_OK;
    R[last] = static_cast<num_t>(count);
    for (int64_t i = last + 1; i < size_X; ++i) {
        count += count_truth(X[i]) - count_truth(X[i - N]);
        R[i] = static_cast<num_t>(count);
    }
    return ERR_OK;
}

int zv_count_a(pcalc_ctx_t, const num_t *X, int size_X, const num_t *N, int size_N, num_t *R,
               int size_R) {
    if (size_mismatch(size_X, size_R, size_N)) return ERR_SIZE_DISMATCH;
    // Forward: R[i] = number of true bars among X[0] .. X[i].  A bar is true
    // when it is below or above zero, which leaves out zeros and NaN.
    int64_t count = 0;
    for (int64_t i = 0; i < size_X; ++i) {
        count += count_a_truth(X[i]);
        R[i] = static_cast<num_t>(count);
    }
    // Backward: the count of the window of n bars ending at i is the prefix
    // count at i less the one at i-n.  Only bars after i are rewritten by
    // then, so R[i-n] still holds its prefix count.  Counts are whole numbers
    // far below 2^53, so the difference is exact (+0.0 when they are equal).
    for (int64_t i = static_cast<int64_t>(size_X) - 1; i >= 0; --i) {
        const int64_t n = to_window(N[i]);
        if (n < 0) {
            R[i] = nan_value();
        } else if (n != 0 && n <= i) {
            R[i] = R[i] - R[i - n];
        }
        // 0, or a window reaching bar 0 or beyond, keeps the whole-history count.
    }
    return ERR_OK;
}

}  // extern "C"

// Streams of the window counts: COUNT with one integer counter (amortised
// constant time), COUNT_A as a difference of kept prefix counts (constant
// time, as its whole-series form).
#include "../step.h"
#include "../stream.h"

using namespace rillet::stream;

namespace {

// COUNT: N = 0 counts every bar from bar 0 (NaN counts); otherwise the
// leading NaN bars are skipped, the first window's bars but the last are NaN,
// and the counter then gains the bar that enters and loses the one that
// leaves.  The counter is a 32-bit int, as in the whole-series form.
class Count : public Trailing<Count> {
  public:
    static constexpr bool kWholeAtZero = true;
    Count(const Params &p, char *st) : Trailing(p, st) {}

    template <bool Commit>
    void whole(num_t x, num_t *out) {
        const int32_t count = wrap_add(count_, count_truth(x));
        *out = static_cast<num_t>(count);
        if (Commit) count_ = count;
    }

    template <bool Commit>
    void bar(int64_t k, num_t x, num_t oldest, num_t *out) {
        const int gain = k < N_ ? count_truth(x) : count_truth(x) - count_truth(oldest);
        const int32_t count = wrap_add(count_, gain);
        *out = k < N_ - 1 ? nan_value() : static_cast<num_t>(count);
        if (Commit) count_ = count;
    }

    template <class V>
    bool io(V &v) {
        return io_trailing(v) && v.i32(count_);
    }

  private:
    int32_t count_ = 0;
};

// COUNT_A: the count of true bars (non-zero, not NaN) so far, less the count
// n bars back; a negative n gives NaN, 0 or a window reaching back past bar 0
// the whole count.  A window longer than max_window inside the series is
// not kept: NaN, and the step reports it.
class CountA : public Plain {
  public:
    static size_t storage(const Params &p) { return Ring::bytes(cap(p)); }
    CountA(const Params &p, char *st) { ring_.init(st, cap(p)); }

    template <bool Commit>
    int step(int64_t t, const num_t *in, num_t *out) {
        const int64_t count = count_ + count_a_truth(in[0]);
        const num_t here = static_cast<num_t>(count);
        Pushed<Commit> pushed(ring_, here);
        if (Commit) count_ = count;
        const int64_t n = to_window(in[1]);
        if (n < 0) {
            *out = nan_value();
        } else if (n == 0 || n > t) {
            *out = here;
        } else if (n >= ring_.cap()) {
            *out = nan_value();
            return ERR_PARAM_WRONG;
        } else {
            *out = here - ring_.window(n + 1)[0];
        }
        return ERR_OK;
    }

    template <class V>
    bool io(V &v) {
        return ring_.io(v, v.bars()) && v.i64(count_, 0, v.bars());
    }

  private:
    // Prefix counts of the bar and max_window bars before it.
    static int64_t cap(const Params &p) { return static_cast<int64_t>(p.max_window) + 1; }
    Ring ring_;
    int64_t count_ = 0;
};

}  // namespace

namespace rillet::stream {
const Ops ops_COUNT = ops_of<Count>();
const Ops ops_COUNT_A = ops_of<CountA>();
}  // namespace rillet::stream
