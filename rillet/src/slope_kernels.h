// The slope kernels of slope.cpp, for one instruction set.  No include
// guard: simd_each.h compiles this once per instruction set.

// W*U consecutive windows of N values, U vectors of W lanes: y is the first
// window (lane l's starts l values later), r the first window's result.  The
// 2U independent sums keep several additions in flight.  The streams run it
// on one window (W = U = 1).
template <int W, int U>
RILLET_SIMD_INLINE void slope_block(const num_t *y, num_t *r, int N, const Positions &c) {
    using V = vec<W>;
    V sumY[U], sumXY[U];
#pragma GCC unroll 8
    for (int u = 0; u < U; ++u) sumY[u] = sumXY[u] = splat<W>(0.0);
    V pos = splat<W>(0.0);  // j as a double, exact below 2^53
    const V one = splat<W>(1.0);
    for (int j = 0; j < N; ++j, ++y) {
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            const V v = load<W>(y + u * W);
            sumY[u] = sumY[u] + v;
            const V xy = pos * v;
            sumXY[u] = sumXY[u] + xy;
        }
        pos = pos + one;
    }
    const V n = splat<W>(c.n), sumX = splat<W>(c.sumX);
    const V denom = splat<W>(c.denom);
#pragma GCC unroll 8
    for (int u = 0; u < U; ++u) {
        const V a = n * sumXY[u];
        const V b = sumX * sumY[u];
        store<W>(r + u * W, (a - b) / denom);
    }
}

// All `windows` windows, from the one starting at bar 0, with the widest
// vectors of this instruction set.
void run(const num_t *Y, num_t *R, int64_t windows, int N, const Positions &c) {
    constexpr int W = RILLET_LANES, U = 4;
    constexpr int64_t B = W * U;
    int64_t k = 0;
    for (; windows - k >= B; k += B) slope_block<W, U>(Y + k, R + k + N - 1, N, c);
    for (; W > 1 && windows - k >= W; k += W) slope_block<W, 1>(Y + k, R + k + N - 1, N, c);
    for (; k < windows; ++k) slope_block<1, 1>(Y + k, R + k + N - 1, N, c);
}
