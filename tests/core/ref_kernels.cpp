// Straightforward loops, one bar at a time, kept as the references the fast
// kernels of the core are compared with bit for bit: dispersion and slope
// (for the lane-parallel kernels) and the per-bar window functions, each
// window scanned afresh (for the kernels that reuse work between bars).
// Self-contained: built by the tests into a small shared library.
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

enum class Stat { Sample, Population, MeanAbs };

template <Stat S>
int dispersion(const double *X, int size_X, int N, double *R, int size_R) {
    if (size_R != size_X) return 1;
    if (N < 1) return 2;
    const double q = quiet_nan();
    int s = 0;
    while (s < size_X && std::isnan(X[s])) R[s++] = q;

    const int64_t first = static_cast<int64_t>(s) + N - 1;
    const int64_t warm_end = first < size_X ? first : size_X;
    double sum = 0.0;
    for (int64_t j = s; j < warm_end; ++j) {
        sum = sum + X[j];
        R[j] = q;
    }
    const double n = static_cast<double>(N);
    for (int64_t i = first; i < size_X; ++i) {
        sum = sum + X[i];
        const double avg = sum / n;
        const int64_t lo = i - N + 1;
        double sigema = 0.0;
        for (int64_t k = lo; k <= i; ++k) {
            const double d = X[k] - avg;
            if (S == Stat::MeanAbs) {
                sigema = sigema + std::fabs(d);
            } else {
                const double sq = d * d;
                sigema = sigema + sq;
            }
        }
        if (S == Stat::Sample) {
            R[i] = N == 1 ? 0.0 : std::sqrt(sigema / static_cast<double>(N - 1));
        } else if (S == Stat::Population) {
            R[i] = std::sqrt(sigema / n);
        } else {
            R[i] = sigema / n;
        }
        sum = sum - X[lo];
    }
    return 0;
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

int ref_std(const double *X, int size_X, int N, double *R, int size_R) {
    return dispersion<Stat::Sample>(X, size_X, N, R, size_R);
}

int ref_stddev(const double *X, int size_X, int N, double *R, int size_R) {
    return dispersion<Stat::Population>(X, size_X, N, R, size_R);
}

int ref_avedev(const double *X, int size_X, int N, double *R, int size_R) {
    return dispersion<Stat::MeanAbs>(X, size_X, N, R, size_R);
}

int ref_slope(const double *Y, int size_Y, int N, double *R, int size_R) {
    if (size_R != size_Y) return 1;
    if (N < 0) return 2;
    if (N == 0) {
        for (int i = 0; i < size_Y; ++i) R[i] = 1.0;
        return 0;
    }
    const double q = quiet_nan();
    for (int i = 0; i < size_Y && i < N; ++i) R[i] = q;
    if (size_Y < N) return 0;
    const int64_t n64 = N;
    const double sumX = static_cast<double>(n64 * (n64 - 1) / 2);
    const __int128 sq = static_cast<__int128>(n64) * (n64 - 1) * (2 * n64 - 1) / 6;
    const double sumXX = static_cast<double>(sq);
    const double n = static_cast<double>(N);
    const double denom = n * sumXX - sumX * sumX;
    for (int k = 0; k <= size_Y - N; ++k) {
        double sumXY = 0.0, sumY = 0.0;
        for (int j = 0; j < N; ++j) {
            const double y = Y[k + j];
            sumY = sumY + y;
            const double xy = static_cast<double>(j) * y;
            sumXY = sumXY + xy;
        }
        const double a = n * sumXY;
        const double b = sumX * sumY;
        R[k + N - 1] = (a - b) / denom;
    }
    return 0;
}

}  // extern "C"
