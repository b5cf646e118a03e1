// Streams of the dispersion statistics and of the regression slope: the
// window is kept and each bar's statistic is computed over it by the very
// kernels of the whole-series functions, on one window at a time, so a bar
// costs time proportional to the window, as there.
#include "dispersion.h"
#include "series.h"
#include "simd.h"
#include "slope.h"
#include "stream.h"

using namespace rillet;
using namespace rillet::stream;

// The kernels of std.cpp and slope.cpp, compiled here for one lane (their
// whole-series drivers, unused here, come along).
#pragma GCC diagnostic ignored "-Wunused-function"
#define RILLET_KERNELS "std_kernels.h"
#define RILLET_ISA one_std
#define RILLET_LANES 1
#include "simd_isa.h"
#undef RILLET_KERNELS
#define RILLET_KERNELS "slope_kernels.h"
#define RILLET_ISA one_slope
#define RILLET_LANES 1
#include "simd_isa.h"
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
