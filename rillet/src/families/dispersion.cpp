// Dispersion: STD, STDDEV, STDP and AVEDEV over whole series, and the streams of
// these and of SLOPE (which run the kernels of both on one window at a time;
// SLOPE's whole-series kernels are in slope.cpp, since each kernel file is
// compiled once per instruction set in a translation unit of its own).
//
// Each function's one-bar arithmetic comes from step.h wherever the
// whole-series function, its stream and a grouped kernel (lanes.cpp) share it.

// Dispersion over a trailing window: sample and population standard
// deviation and mean absolute deviation.  The four functions share one frame:
// the window mean comes from a running sum that is never rebuilt, and the
// deviations from that mean are summed afresh over the window at every bar
// (two-pass form, not the sum-of-squares shortcut).
//
// Every bar's arithmetic is the one-bar-at-a-time loop
//     sum = sum + X[i];  avg = sum / N;
//     sigema = 0;  for k = i-N+1 .. i:  d = X[k] - avg;  sigema = sigema + d*d  (or |d|)
//     sum = sum - X[i-N+1];
// carried out for several bars at once, one bar per vector lane: for a run
// of consecutive bars the k-th window element of each is a contiguous load.
// The running sum stays sequential; each bar's sum is parked in R[i] a block
// ahead of the vector pass, which divides it into the mean and overwrites it
// with the statistic, so nothing is allocated.
#include "../dispersion.h"
#include "../series.h"
#include "../simd.h"

using namespace rillet;

namespace {

using Kernel = void (*)(const num_t *, num_t *, int64_t, int64_t, int, num_t);

}  // namespace

#define RILLET_KERNELS "std_kernels.h"
#include "../simd_each.h"

namespace {

template <Stat S>
Kernel kernel() {
#ifdef RILLET_SIMD_X86
    switch (simd::path()) {
        case simd::kAvx512: return avx512::run<S>;
        case simd::kAvx2: return avx2::run<S>;
        default: break;
    }
#endif
    return base::run<S>;
}

template <Stat S>
int dispersion(const num_t *X, int size_X, int N, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    if (N < 1) return ERR_PARAM_WRONG;
    const int s = skip_leading_nan(X, size_X, R);

    // Warm-up: the first N-1 bars from s feed the running sum and get NaN.
    const int64_t first = first_full(s, N);
    const int64_t warm_end = first < size_X ? first : size_X;
    const num_t q = nan_value();
    num_t sum = 0.0;
    for (int64_t j = s; j < warm_end; ++j) {
        sum = sum + X[j];
        R[j] = q;
    }
    if (first >= size_X) return ERR_OK;

    if (S == Stat::Sample && N == 1) {
        // One bar has no spread: 0.0 whatever the data, NaN bars included.
        for (int64_t i = first; i < size_X; ++i) R[i] = 0.0;
        return ERR_OK;
    }
    kernel<S>()(X, R, first, size_X, N, sum);
    return ERR_OK;
}

}  // namespace

extern "C" {

int zv_std(pcalc_ctx_t, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    return dispersion<Stat::Sample>(X, size_X, N, R, size_R);
}

int zv_stddev(pcalc_ctx_t, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    return dispersion<Stat::Population>(X, size_X, N, R, size_R);
}

int zv_stdp(pcalc_ctx_t ctx, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    return zv_stddev(ctx, X, size_X, N, R, size_R);
}

int zv_avedev(pcalc_ctx_t, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    return dispersion<Stat::MeanAbs>(X, size_X, N, R, size_R);
}

}  // extern "C"

// Streams of the dispersion statistics and of the regression slope: the
// window is kept and each bar's statistic is computed over it by the very
// kernels of the whole-series functions, on one window at a time, so a bar
// costs time proportional to the window, as there.
#include "../dispersion.h"
#include "../series.h"
#include "../simd.h"
#include "../slope.h"
#include "../stream.h"

using namespace rillet::stream;

// The kernels of std.cpp and slope.cpp, compiled here for one lane (their
// whole-series drivers, unused here, come along).
#pragma GCC diagnostic ignored "-Wunused-function"
#define RILLET_KERNELS "std_kernels.h"
#define RILLET_ISA one_std
#define RILLET_LANES 1
#include "../simd_isa.h"
#undef RILLET_KERNELS
#define RILLET_KERNELS "slope_kernels.h"
#define RILLET_ISA one_slope
#define RILLET_LANES 1
#include "../simd_isa.h"
#undef RILLET_KERNELS

namespace {

// STD, STDDEV/STDP, AVEDEV: leading NaN bars skipped, the N-1 warm-up bars
// feed the running sum and are NaN; then the sum gains the bar, gives the
// window mean, and loses the window's oldest bar.  STD of one bar is 0.0.
template <Stat S>
class Dispersion : public Trailing<Dispersion<S>> {
    using Base = Trailing<Dispersion<S>>;

  public:
    Dispersion(const Params &p, char *st) : Base(p, st) {}

    template <bool Commit>
    void bar(int64_t k, num_t x, num_t, num_t *out) {
        const int64_t N = this->N_;
        num_t sum = sum_;
        if (k < N - 1) {
            sum = sum_ + x;
            *out = nan_value();
        } else if (S == Stat::Sample && N == 1) {
            *out = 0.0;
        } else {
            sum = sum_ + x;
            const num_t *w = this->ring_.window(N);
            *out = sum;
            one_std::stat_block<S, 1, 1>(w, out, static_cast<int>(N));
            sum = sum - w[0];
        }
        if (Commit) sum_ = sum;
    }

    template <class V>
    bool io(V &v) {
        return this->io_trailing(v) && v.num(sum_);
    }

  private:
    num_t sum_ = 0.0;
};

// SLOPE: no bar is skipped; N = 0 gives 1.0, the first N-1 bars are NaN and
// every later bar is the slope of its own window.
class Slope : public Plain {
  public:
    static size_t storage(const Params &p) { return p.N > 0 ? Ring::bytes(p.N) : 0; }
    Slope(const Params &p, char *st) : N_(p.N), c_(p.N > 0 ? positions(p.N) : Positions{}) {
        if (p.N > 0) ring_.init(st, p.N);
    }

    template <bool Commit>
    int step(int64_t t, const num_t *in, num_t *out) {
        if (N_ == 0) {
            *out = 1.0;
            return ERR_OK;
        }
        Pushed<Commit> pushed(ring_, in[0]);
        if (t < N_ - 1) {
            *out = nan_value();
        } else {
            one_slope::slope_block<1, 1>(ring_.window(N_), out, static_cast<int>(N_), c_);
        }
        return ERR_OK;
    }

    template <class V>
    bool io(V &v) {
        return N_ == 0 || ring_.io(v, v.bars());
    }

  private:
    Ring ring_;
    int64_t N_;
    Positions c_;
};

}  // namespace

namespace rillet::stream {
const Ops ops_STD = ops_of<Dispersion<Stat::Sample>>();
const Ops ops_STDDEV = ops_of<Dispersion<Stat::Population>>();
const Ops ops_STDP = ops_of<Dispersion<Stat::Population>>();
const Ops ops_AVEDEV = ops_of<Dispersion<Stat::MeanAbs>>();
const Ops ops_SLOPE = ops_of<Slope>();
}  // namespace rillet::stream
