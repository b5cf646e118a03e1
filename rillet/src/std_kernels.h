// The dispersion kernels of std.cpp, for one instruction set.  No include
// guard: simd_each.h compiles this once per instruction set.

// W*U consecutive bars, U vectors of W lanes: x is the first bar's window
// (N values, oldest first; lane l's window starts l values later) and r the
// first bar's result, which holds each bar's window sum on entry and its
// statistic on return.  The U independent accumulators keep several
// additions in flight, since each lane's own sum is a strict chain.  The
// streams run it on one window (W = U = 1).
template <Stat S, int W, int U>
RILLET_SIMD_INLINE void stat_block(const num_t *x, num_t *r, int N) {
    using V = vec<W>;
    const V n = splat<W>(static_cast<num_t>(N));
    V avg[U], sigema[U];
#pragma GCC unroll 8
    for (int u = 0; u < U; ++u) {
        avg[u] = load<W>(r + u * W) / n;
        sigema[u] = splat<W>(0.0);
    }
    for (int k = 0; k < N; ++k, ++x) {
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            const V d = load<W>(x + u * W) - avg[u];
            if constexpr (S == Stat::MeanAbs) {
                sigema[u] = sigema[u] + abs<W>(d);
            } else {
                const V sq = d * d;
                sigema[u] = sigema[u] + sq;
            }
        }
    }
#pragma GCC unroll 8
    for (int u = 0; u < U; ++u) {
        V v;
        if constexpr (S == Stat::Sample) {
            v = sqrt<W>(sigema[u] / splat<W>(static_cast<num_t>(N - 1)));
        } else if constexpr (S == Stat::Population) {
            v = sqrt<W>(sigema[u] / n);
        } else {
            v = sigema[u] / n;
        }
        store<W>(r + u * W, v);
    }
}

// Bars first .. end-1, all with full windows; `sum` is the running sum after
// the warm-up.  The sums are parked one block ahead of the statistics, so the
// latency-bound sequential chain of the next block overlaps the independent
// vector work of the current one.
template <Stat S, int W, int U>
RILLET_SIMD_INLINE void dispersion_run(const num_t *X, num_t *R, int64_t first, int64_t end, int N,
                                       num_t sum) {
    constexpr int64_t B = W * U;
    int64_t p = first;  // next bar whose window sum is parked
    int64_t i = first;  // next bar whose statistic is written
    while (i < end) {
        const int64_t ahead = end - i > 2 * B ? i + 2 * B : end;
        for (; p < ahead; ++p) {
            sum = sum + X[p];
            R[p] = sum;
            sum = sum - X[p - N + 1];
        }
        if (end - i >= B) {
            stat_block<S, W, U>(X + (i - N + 1), R + i, N);
            i += B;
        } else if (W > 1 && end - i >= W) {
            stat_block<S, W, 1>(X + (i - N + 1), R + i, N);
            i += W;
        } else {
            stat_block<S, 1, 1>(X + (i - N + 1), R + i, N);
            i += 1;
        }
    }
}

// Bars first .. end-1 with the widest vectors of this instruction set.  Block
// size by window length, as measured on AVX2 and AVX-512: for windows of 17
// to 128 bars the sequential running sum weighs most, and blocks of two
// vectors interleave with it more finely; shorter and longer windows run
// faster with four vectors, which keep more additions in flight.  One bar
// per lane (no vectors) always takes blocks of four.
template <Stat S>
void run(const num_t *X, num_t *R, int64_t first, int64_t end, int N, num_t sum) {
    constexpr int W = RILLET_LANES;
    if (W > 1 && N > 16 && N <= 128) {
        dispersion_run<S, W, 2>(X, R, first, end, N, sum);
    } else {
        dispersion_run<S, W, 4>(X, R, first, end, N, sum);
    }
}
