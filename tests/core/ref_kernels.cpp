// Straightforward loops, one bar at a time, each window scanned afresh: the
// references the window kernels that reuse work between bars (block minima,
// stacks, growing sums, prefix counts) are compared with bit for bit on
// series too long for the Python references.  A fixed window is a per-bar
// window series of one value.  Self-contained: the tests build it into a
// small shared library.
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

double quiet_nan() {
    const uint64_t b = 0x7FF8000000000000ULL;
    double v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

// Window length of a per-bar series value: truncation toward zero, NaN and
// anything out of the int range giving INT32_MIN.
int64_t window_of(double v) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// Lowest (Lower) or highest value of X[i], X[i-1], ... over k bars clipped at
// bar 0, NaN bars skipped, the most recent of equal values kept.
template <bool Lower>
int extreme_a(const double *X, int size_X, const double *N, double *R) {
    for (int64_t i = 0; i < size_X; ++i) {
        const int64_t k = window_of(N[i]);
        double r = quiet_nan();
        bool have = false;
        if (k >= 0) {
            const int64_t lo = k == 0 || k > i ? 0 : i - k + 1;
            for (int64_t j = i; j >= lo; --j) {
                const double v = X[j];
                if (std::isnan(v)) continue;
                if (!have || (Lower ? v < r : v > r)) {
                    r = v;
                    have = true;
                }
            }
        }
        R[i] = r;
    }
    return 0;
}

// Sum (Mean false) or mean of the n bars ending at i, oldest first from 0.0;
// the plain NaN without a window (n <= 0 or reaching bar 0) or with a NaN bar
// in it, and for the mean also when the sum is NaN.
template <bool Mean>
int sum_a(const double *X, int size_X, const double *N, double *R) {
    for (int64_t i = 0; i < size_X; ++i) {
        const int64_t n = window_of(N[i]);
        R[i] = quiet_nan();
        if (n <= 0 || n > i) continue;
        double sum = 0.0;
        bool nan_bar = false;
        for (int64_t j = i - n + 1; j <= i && !nan_bar; ++j) {
            nan_bar = std::isnan(X[j]);
            sum = sum + X[j];
        }
        if (nan_bar || (Mean && std::isnan(sum))) continue;
        R[i] = Mean ? sum / static_cast<double>(n) : sum;
    }
    return 0;
}

// Non-zero, non-NaN bars among the n ending at i (n = 0 or beyond bar 0:
// all bars so far); NaN for a negative window.
int count_a(const double *X, int size_X, const double *N, double *R) {
    for (int64_t i = 0; i < size_X; ++i) {
        const int64_t n = window_of(N[i]);
        if (n < 0) {
            R[i] = quiet_nan();
            continue;
        }
        const int64_t lo = n == 0 || n > i ? 0 : i - n + 1;
        double c = 0.0;
        for (int64_t j = lo; j <= i; ++j) {
            if (X[j] != 0.0 && !std::isnan(X[j])) c = c + 1.0;
        }
        R[i] = c;
    }
    return 0;
}

}  // namespace

extern "C" {

int ref_llv_a(const double *X, int size_X, const double *N, double *R) {
    return extreme_a<true>(X, size_X, N, R);
}

int ref_hhv_a(const double *X, int size_X, const double *N, double *R) {
    return extreme_a<false>(X, size_X, N, R);
}

int ref_sum_a(const double *X, int size_X, const double *N, double *R) {
    return sum_a<false>(X, size_X, N, R);
}

int ref_ma_a(const double *X, int size_X, const double *N, double *R) {
    return sum_a<true>(X, size_X, N, R);
}

int ref_count_a(const double *X, int size_X, const double *N, double *R) {
    return count_a(X, size_X, N, R);
}

}  // extern "C"
