// The running sums and means: MA, MA_A, SUM and SUM_A, whole series and streams.
//
// Each function's one-bar arithmetic comes from step.h wherever the
// whole-series function, its stream and a grouped kernel (lanes.cpp) share it.

// Simple moving average: one window for all bars (running sum, honours the
// calculation context) and one window per bar (each window summed oldest first).
#include "../series.h"
#include "../step.h"

using namespace rillet;

extern "C" {

int zv_ma(pcalc_ctx_t ctx, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    if (N < 1) return ERR_PARAM_WRONG;
    const int s = lead_and_warmup(X, size_X, N, R);
    if (first_full(s, N) >= size_X) return ERR_OK;

    // A negative context restricts the work to the tail of the series.
    int64_t i = static_cast<int64_t>(s) + ctxn(ctx, size_X, N);
    const num_t q = nan_value();
    while (i < size_X && is_nan(X[i])) R[i++] = q;
    if (i >= size_X) return ERR_OK;

    const num_t n = static_cast<num_t>(N);
    num_t sum = 0.0;
    for (int64_t j = i - N + 1; j <= i; ++j) sum += X[j];
    R[i] = sum / n;
    for (int64_t t = i + 1; t < size_X; ++t) {
        window_sum_step(sum, X[t - N], X[t]);
        R[t] = sum / n;
    }
    return ERR_OK;
}

int zv_ma_a(pcalc_ctx_t, const num_t *X, int size_X, const num_t *N, int size_N, num_t *R,
            int size_R) {
    if (size_mismatch(size_X, size_R, size_N)) return ERR_SIZE_DISMATCH;
    // A sum that is NaN (+inf and -inf in one window) has no mean either.
    const num_t q = nan_value();
    per_bar_sums(X, size_X, N, R,
                 [q](num_t sum, int32_t n) { return is_nan(sum) ? q : sum / static_cast<num_t>(n); });
    return ERR_OK;
}

}  // extern "C"

// Window sums: one window for all bars (a running sum; N = 0 is the
// cumulative sum that ignores NaN bars) and one window per bar (each window
// summed oldest first).
#include "../series.h"
#include "../step.h"


extern "C" {

int zv_sum(pcalc_ctx_t, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    if (N < 0) return ERR_PARAM_WRONG;
    num_t sum = 0.0;
    if (N == 0) {
        for (int i = 0; i < size_X; ++i) {
            if (!is_nan(X[i])) sum = sum + X[i];
            R[i] = sum;
        }
        return ERR_OK;
    }

    // The running sum is never recomputed: a NaN that enters it stays.
    const int64_t last = warm_up(X, size_X, N, R, [&](int64_t k) { sum = sum + X[k]; });
    if (last < 0) return ERR_OK;
    R[last] = sum;
    for (int64_t t = last + 1; t < size_X; ++t) {
        window_sum_step(sum, X[t - N], X[t]);
        R[t] = sum;
    }
    return ERR_OK;
}

int zv_sum_a(pcalc_ctx_t, const num_t *X, int size_X, const num_t *N, int size_N, num_t *R,
             int size_R) {
    if (size_mismatch(size_X, size_R, size_N)) return ERR_SIZE_DISMATCH;
    // inf + -inf is written as it comes out of the addition.  N[i] = 0 has no
    // window here (not a cumulative sum).
    per_bar_sums(X, size_X, N, R, [](num_t sum, int32_t) { return sum; });
    return ERR_OK;
}

}  // extern "C"

// Streams of the moving averages and window sums: MA and SUM on a running
// sum (amortised constant time per bar), MA_A and SUM_A summing each bar's
// window afresh from the kept bars, as their whole-series forms do.
#include "../step.h"
#include "../stream.h"

using namespace rillet::stream;

namespace {

// MA: NaN for the leading NaN bars and the N-1 warm-up bars; from the end
// of the first full window on, NaN bars are skipped until the first bar that
// is not NaN, whose window is summed afresh (oldest first); then the running
// sum loses the bar that leaves and gains the bar that enters.
class Ma : public Trailing<Ma> {
  public:
    Ma(const Params &p, char *st) : Trailing(p, st), n_(static_cast<num_t>(p.N)) {}

    template <bool Commit>
    void bar(int64_t k, num_t x, num_t oldest, num_t *out) {
        num_t sum = sum_;
        *out = nan_value();
        if (running_) {
            window_sum_step(sum, oldest, x);
            *out = sum / n_;
        } else if (k >= N_ - 1 && !is_nan(x)) {
            const num_t *w = ring_.window(N_);
            sum = 0.0;
            for (int64_t j = 0; j < N_; ++j) sum = sum + w[j];
            *out = sum / n_;
            if (Commit) running_ = true;
        }
        if (Commit) sum_ = sum;
    }

    // The running sum starts at the end of the first full window.
    template <class V>
    bool io(V &v) {
        return io_trailing(v) && v.num(sum_) && v.flag(running_) &&
               v.check(!running_ || since_.taken() >= N_);
    }

  private:
    num_t n_;
    num_t sum_ = 0.0;
    bool running_ = false;
};

// SUM: N = 0 is the sum of every bar so far, NaN bars left out.  Otherwise
// the leading NaN bars are skipped, the first window is added up bar by bar
// (its bars but the last are NaN) and then runs on: a NaN that enters stays.
class Sum : public Trailing<Sum> {
  public:
    static constexpr bool kWholeAtZero = true;
    Sum(const Params &p, char *st) : Trailing(p, st) {}

    template <bool Commit>
    void whole(num_t x, num_t *out) {
        *out = is_nan(x) ? sum_ : sum_ + x;
        if (Commit) sum_ = *out;
    }

    template <bool Commit>
    void bar(int64_t k, num_t x, num_t oldest, num_t *out) {
        num_t sum = sum_;
        if (k < N_) {
            sum = sum + x;
        } else {
            window_sum_step(sum, oldest, x);
        }
        *out = k < N_ - 1 ? nan_value() : sum;
        if (Commit) sum_ = sum;
    }

    template <class V>
    bool io(V &v) {
        return io_trailing(v) && v.num(sum_);
    }

  private:
    num_t sum_ = 0.0;
};

// MA_A and SUM_A: the bar's window n (truncated; 0 or less, NaN, or one that
// would reach bar 0 or before it gives NaN) summed afresh from the oldest
// kept bar; a NaN bar in it gives NaN, and for the mean so does a NaN sum.
// A window longer than max_window that the series could fill is not kept:
// NaN, and the step reports it.
template <bool Mean>
class WindowA : public Plain {
  public:
    static size_t storage(const Params &p) { return Ring::bytes(cap(p)); }
    WindowA(const Params &p, char *st) { ring_.init(st, cap(p)); }

    template <bool Commit>
    int step(int64_t t, const num_t *in, num_t *out) {
        Pushed<Commit> pushed(ring_, in[0]);
        const int64_t n = to_window(in[1]);
        *out = nan_value();
        if (n <= 0 || n > t) return ERR_OK;
        if (n > ring_.cap()) return ERR_PARAM_WRONG;
        // Added oldest first from 0.0, as the whole-series form adds each window.
        const num_t *w = ring_.window(n);
        num_t sum = 0.0;
        for (int64_t j = 0; j < n; ++j) {
            if (is_nan(w[j])) return ERR_OK;
            sum = sum + w[j];
        }
        if (!Mean) {
            *out = sum;
        } else if (!is_nan(sum)) {
            *out = sum / static_cast<num_t>(n);
        }
        return ERR_OK;
    }

    template <class V>
    bool io(V &v) {
        return ring_.io(v, v.bars());
    }

  private:
    static int64_t cap(const Params &p) { return p.max_window > 0 ? p.max_window : 1; }
    Ring ring_;
};

}  // namespace

namespace rillet::stream {
const Ops ops_MA = ops_of<Ma>();
const Ops ops_MA_A = ops_of<WindowA<true>>();
const Ops ops_SUM = ops_of<Sum>();
const Ops ops_SUM_A = ops_of<WindowA<false>>();
}  // namespace rillet::stream
