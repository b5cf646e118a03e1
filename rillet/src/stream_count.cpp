// Streams of the window counts: COUNT with one integer counter (amortised
// constant time), COUNT_A as a difference of kept prefix counts (constant
// time, as its whole-series form).
#include "step.h"
#include "stream.h"

using namespace rillet;
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
