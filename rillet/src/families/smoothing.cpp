// The smoothing averages: EMA, SMA, DMA and WMA, whole series and streams.
//
// Each function's one-bar arithmetic comes from step.h wherever the
// whole-series function, its stream and a grouped kernel (lanes.cpp) share it.

// Smoothing averages: the seeded recurrences EMA, SMA and DMA, which start
// from the first valid bar without warm-up, and the linearly weighted WMA,
// a window function with warm-up bars.
#include "../series.h"
#include "../step.h"

using namespace rillet;

namespace {

// R[s] = X[s], then R[t] = w*X[t] + v*R[t-1] with (w, v) = weights(t): two
// rounded products, then their rounded sum.  A NaN that enters stays.
template <class WeightsOf>
int seeded(const num_t *X, int size_X, num_t *R, WeightsOf weights) {
    const int s = skip_leading_nan(X, size_X, R);
    if (s >= size_X) return ERR_OK;
    num_t prev = X[s];
    R[s] = prev;
    for (int t = s + 1; t < size_X; ++t) {
        prev = seeded_next(weights(t), X[t], prev);
        R[t] = prev;
    }
    return ERR_OK;
}

}  // namespace

extern "C" {

int zv_ema(pcalc_ctx_t, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    if (N < 0) return ERR_PARAM_WRONG;
    const Weights p = ema_weights(N);
    return seeded(X, size_X, R, [p](int) { return p; });
}

int zv_sma(pcalc_ctx_t, const num_t *X, int size_X, int N, int M, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    if (N < 0) return ERR_PARAM_WRONG;
    const Weights p = sma_weights(N, M);
    return seeded(X, size_X, R, [p](int) { return p; });
}

int zv_dma(pcalc_ctx_t, const num_t *X, int size_X, const num_t *A, int size_A, num_t *R,
           int size_R) {
    if (size_mismatch(size_X, size_R, size_A)) return ERR_SIZE_DISMATCH;
    return seeded(X, size_X, R, [A](int t) { return dma_weights(A[t]); });
}

int zv_wma(pcalc_ctx_t, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    if (N < 1) return ERR_PARAM_WRONG;
    // First window, weights 1 .. N from the oldest bar; its bars are warm-up.
    num_t sum = 0.0, sum2 = 0.0;
    int64_t weight = 0;
    const int64_t last = warm_up(X, size_X, N, R, [&](int64_t k) {
        wma_enter(sum2, sum, ++weight, X[k]);
    });
    if (last < 0) return ERR_OK;

    const num_t den = wma_denominator(N);
    const num_t n = static_cast<num_t>(N);
    R[last] = sum2 / den;
    // The previous weighted sum is taken back from the stored result.
    for (int64_t t = last + 1; t < size_X; ++t) {
        R[t] = wma_next(den, R[t - 1], sum, n, X[t]);
        sum = sum - X[t - N];
        sum = sum + X[t];
    }
    return ERR_OK;
}

}  // extern "C"

// Streams of the smoothing averages: the seeded recurrences EMA, SMA and DMA
// (constant time per bar) and the weighted average WMA, which keeps its
// window for the bar that leaves the plain sum.
#include "../step.h"
#include "../stream.h"

using namespace rillet::stream;

namespace {

enum class Seed { Ema, Sma, Dma };

// NaN for the leading NaN bars, then the first bar that is not NaN as it is,
// then w*x + v*previous with the weights of the function (DMA: of the bar's
// own factor, the second input).
template <Seed K>
class Seeded : public Plain {
  public:
    Seeded(const Params &p, char *)
        : weights_(K == Seed::Ema ? ema_weights(p.N) : K == Seed::Sma ? sma_weights(p.N, p.M)
                                                                      : Weights{0.0, 0.0}) {}

    template <bool Commit>
    int step(int64_t, const num_t *in, num_t *out) {
        const num_t x = in[0];
        num_t next;
        if (!started_) {
            if (is_nan(x)) {
                *out = nan_value();
                return ERR_OK;
            }
            next = x;
        } else {
            next = seeded_next(K == Seed::Dma ? dma_weights(in[1]) : weights_, x, prev_);
        }
        *out = next;
        if (Commit) {
            prev_ = next;
            started_ = true;
        }
        return ERR_OK;
    }

    template <class V>
    bool io(V &v) {
        return v.num(prev_) && v.flag(started_) && v.check(!started_ || v.bars() > 0);
    }

  private:
    Weights weights_;
    num_t prev_ = 0.0;
    bool started_ = false;
};

// WMA: the first window after the leading NaN bars accumulates the weighted
// and the plain sum (its bars but the last are NaN); later bars step the
// weighted mean from the previous one as stored.
class Wma : public Trailing<Wma> {
  public:
    Wma(const Params &p, char *st)
        : Trailing(p, st), n_(static_cast<num_t>(p.N)), den_(wma_denominator(p.N)) {}

    template <bool Commit>
    void bar(int64_t k, num_t x, num_t oldest, num_t *out) {
        num_t sum = sum_, sum2 = sum2_;
        if (k < N_) {
            wma_enter(sum2, sum, k + 1, x);
            *out = k == N_ - 1 ? sum2 / den_ : nan_value();
        } else {
            *out = wma_next(den_, prev_, sum_, n_, x);
            sum = (sum_ - oldest) + x;
        }
        if (Commit) {
            sum_ = sum;
            sum2_ = sum2;
            prev_ = *out;
        }
    }

    template <class V>
    bool io(V &v) {
        return io_trailing(v) && v.num(sum_) && v.num(sum2_) && v.num(prev_);
    }

  private:
    num_t n_, den_;
    num_t sum_ = 0.0, sum2_ = 0.0, prev_ = 0.0;
};

}  // namespace

namespace rillet::stream {
const Ops ops_EMA = ops_of<Seeded<Seed::Ema>>();
const Ops ops_SMA = ops_of<Seeded<Seed::Sma>>();
const Ops ops_DMA = ops_of<Seeded<Seed::Dma>>();
const Ops ops_WMA = ops_of<Wma>();
}  // namespace rillet::stream
