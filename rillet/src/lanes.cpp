// Grouped recurrences: sixteen series at once, one vector lane per series.
//
// Every lane runs the one-series function's own operations in its order.
// The lanes of a group start at different bars (each series has its own
// first valid bar s and its own warm-up), so each lane carries three
// thresholds, a <= b <= c:
//   from bar a the entering bar is added (the running sums, counts and the
//     weighted sum), or the seed is taken (the seeded averages);
//   from bar b a result is written, NaN before it;
//   from bar c the leaving bar X[t-N] is taken out (the seeded averages:
//     the recurrence runs).
// Where a lane has not reached a threshold, its operand is swapped for the
// neutral one before the operation (x + -0.0 and x - +0.0 give x, bit for
// bit, for every x), or the operation's result is not kept.  Between two
// thresholds of any lane the choice is fixed, so the bars run in stretches
// with fixed masks; once every lane is past its c the stretch runs without
// masks at all.
//
// The vectors are GCC/clang vector types; the code is written once and
// compiled into one entry per instruction set, each carrying its target
// attribute (four vectors of four lanes on AVX2, two of eight on AVX-512F,
// eight of two on the baseline: several independent chains per bar).  No
// operation is fused: the core is built with floating-point contraction off.
//
// Arrays whose sixteen lanes lie side by side at every bar (the time axis
// first) are read and written in place.  Others go through tiles on the
// stack: 64 bars of the sixteen lanes, bar after bar, gathered before and
// scattered after each stretch; series contiguous along time are moved
// two bars by four lanes at a time through registers.
#include "lanes.h"
#include "simd.h"

#include <cstring>
#include <new>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define LANES_X86 1
#define LANES_AVX2 __attribute__((target("avx2")))
#define LANES_AVX512 __attribute__((target("avx512f")))
#endif

#define LANES_INLINE __attribute__((always_inline)) inline

// Vectors pass by value only between always-inlined functions of one
// instruction set; the warning about their calling convention does not apply.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wpsabi"
#elif defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace rillet {
namespace lanes {

Op op_of(const char *name) {
    static const struct {
        const char *name;
        Op op;
    } kOps[] = {{"MA", Op::Ma},   {"SUM", Op::Sum}, {"COUNT", Op::Count}, {"EMA", Op::Ema},
                {"SMA", Op::Sma}, {"DMA", Op::Dma}, {"WMA", Op::Wma}};
    for (const auto &o : kOps)
        if (std::strcmp(o.name, name) == 0) return o.op;
    return Op::None;
}

namespace {

constexpr int G = kGroup;
constexpr int kTile = 64;   // bars per tile
constexpr int kRing = 256;  // rows of the ring of entering bars

template <int W>
struct V {
    typedef double d __attribute__((vector_size(8 * W)));
    typedef int64_t i __attribute__((vector_size(8 * W)));
};
template <int W>
using vd = typename V<W>::d;
template <int W>
using vi = typename V<W>::i;

template <int W>
LANES_INLINE vd<W> load(const num_t *p) {
    vd<W> v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <int W>
LANES_INLINE void store(num_t *p, const vd<W> &v) {
    std::memcpy(p, &v, sizeof v);
}
template <int W>
LANES_INLINE vd<W> splat(num_t x) {
    vd<W> v;
    for (int l = 0; l < W; ++l) v[l] = x;
    return v;
}
// m ? a : b lane by lane, the chosen bits untouched.
template <int W>
LANES_INLINE vd<W> pick(const vi<W> &m, const vd<W> &a, const vd<W> &b) {
    return (vd<W>)(((vi<W>)a & m) | ((vi<W>)b & ~m));
}

// What a group computes; the window forms split by N.
enum class Kind : uint8_t {
    Sum,       // running sum, N >= 1
    Mean,      // running mean (MA)
    Count,     // running count of non-zero bars, N >= 1
    CumSum,    // SUM with N = 0: every bar from 0, NaN bars add nothing
    CumCount,  // COUNT with N = 0: every bar from 0, NaN counts as true
    Seeded,    // EMA, SMA: fixed weights
    Factor,    // DMA: the weight of bar t is A[t]
    Weighted,  // WMA
};

constexpr bool leaves(Kind k) {
    return k == Kind::Sum || k == Kind::Mean || k == Kind::Count || k == Kind::Weighted;
}

template <int W, int U>
struct St {
    Kind kind;
    int64_t a[G], b[G], c[G];  // the thresholds of each lane
    vd<W> acc[3][U];           // running sums, counts or previous results
};

template <int W, int U>
St<W, U> &state(State &raw) {
    static_assert(W * U == G, "a group is sixteen lanes");
    static_assert(sizeof(St<W, U>) <= sizeof(State), "the state fits");
    return *std::launder(reinterpret_cast<St<W, U> *>(raw.bytes));
}

Kind kind_of(const Group &g) {
    switch (g.op) {
        case Op::Ma: return Kind::Mean;
        case Op::Sum: return g.N == 0 ? Kind::CumSum : Kind::Sum;
        case Op::Count: return g.N == 0 ? Kind::CumCount : Kind::Count;
        case Op::Ema:
        case Op::Sma: return Kind::Seeded;
        case Op::Dma: return Kind::Factor;
        default: return Kind::Weighted;
    }
}

// ---- start: thresholds -----------------------------------------------------------

// The thresholds of a series with n bars read through x (stride bs).
void thresholds(Kind kind, const num_t *x, ptrdiff_t bs, int64_t n, int64_t N, int64_t &a,
                int64_t &b, int64_t &c) {
    if (kind == Kind::CumSum || kind == Kind::CumCount) {
        a = b = c = 0;
        return;
    }
    int64_t s = 0;
    while (s < n && is_nan(x[s * bs])) ++s;
    if (kind == Kind::Seeded || kind == Kind::Factor) {
        a = b = s;
        c = s + 1;
        return;
    }
    int64_t i = s + N - 1;  // the first bar with a full window
    if (kind == Kind::Mean) {
        // MA starts at the first bar from there on that is not NaN and sums
        // its window afresh: a window that may reach back past s's window.
        while (i < n && is_nan(x[i * bs])) ++i;
    }
    a = i - N + 1;
    b = i;
    c = i + 1;
}

template <int W, int U>
LANES_INLINE void start_impl(State &raw, const Group &g) {
    St<W, U> &st = *new (raw.bytes) St<W, U>;
    st.kind = kind_of(g);
    for (int l = 0; l < G; ++l) {
        if (l < g.count) {
            thresholds(st.kind, g.x.p + l * g.x.lane_stride, g.x.bar_stride, g.bars, g.N,
                       st.a[l], st.b[l], st.c[l]);
        } else {  // a padding lane follows lane 0
            st.a[l] = st.a[0];
            st.b[l] = st.b[0];
            st.c[l] = st.c[0];
        }
    }
    for (auto &row : st.acc)
        for (auto &v : row) v = splat<W>(0.0);
}

// ---- tiles -------------------------------------------------------------------------

// tile row t-from holds bar t of the group's lanes, for t in [from, to); the
// lanes from `count` up to `width` (the lanes the group's vectors compute)
// are zero.
void gather_any(num_t *tile, const Array &a, int count, int width, int64_t from, int64_t to) {
    for (int64_t t = from; t < to; ++t) {
        num_t *row = tile + (t - from) * G;
        const num_t *src = a.p + t * a.bar_stride;
        int l = 0;
        for (; l < count; ++l) row[l] = src[l * a.lane_stride];
        for (; l < width; ++l) row[l] = 0.0;
    }
}

void scatter_any(const num_t *tile, num_t *r, ptrdiff_t ls, ptrdiff_t bs, int count, int64_t from,
                 int64_t to) {
    for (int64_t t = from; t < to; ++t) {
        const num_t *row = tile + (t - from) * G;
        num_t *dst = r + t * bs;
        for (int l = 0; l < count; ++l) dst[l * ls] = row[l];
    }
}

#ifdef LANES_X86
// Series contiguous along time (lane l at p + l*ls) to tile rows and back,
// two bars of four lanes at a time: the two bars of lanes 0 and 2 in one
// register and those of lanes 1 and 3 in another interleave into the two
// rows.  No shuffle crosses the register's halves.
LANES_AVX2 void gather_rows_avx2(num_t *tile, const num_t *p, ptrdiff_t ls, int64_t from,
                                 int64_t to) {
    int64_t t = from;
    for (; t + 2 <= to; t += 2) {
        num_t *row = tile + (t - from) * G;
        for (int q = 0; q < G; q += 4) {
            const num_t *src = p + q * ls + t;
            const __m256d r02 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(src)),
                                                     _mm_loadu_pd(src + 2 * ls), 1);
            const __m256d r13 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(src + ls)),
                                                     _mm_loadu_pd(src + 3 * ls), 1);
            _mm256_storeu_pd(row + q, _mm256_unpacklo_pd(r02, r13));
            _mm256_storeu_pd(row + G + q, _mm256_unpackhi_pd(r02, r13));
        }
    }
    for (; t < to; ++t)
        for (int l = 0; l < G; ++l) tile[(t - from) * G + l] = p[l * ls + t];
}

LANES_AVX2 void scatter_rows_avx2(const num_t *tile, num_t *p, ptrdiff_t ls, int64_t from,
                                  int64_t to) {
    int64_t t = from;
    for (; t + 2 <= to; t += 2) {
        const num_t *row = tile + (t - from) * G;
        for (int q = 0; q < G; q += 4) {
            const __m256d a = _mm256_loadu_pd(row + q), b = _mm256_loadu_pd(row + G + q);
            const __m256d l02 = _mm256_unpacklo_pd(a, b), l13 = _mm256_unpackhi_pd(a, b);
            num_t *dst = p + q * ls + t;
            _mm_storeu_pd(dst, _mm256_castpd256_pd128(l02));
            _mm_storeu_pd(dst + ls, _mm256_castpd256_pd128(l13));
            _mm_storeu_pd(dst + 2 * ls, _mm256_extractf128_pd(l02, 1));
            _mm_storeu_pd(dst + 3 * ls, _mm256_extractf128_pd(l13, 1));
        }
    }
    for (; t < to; ++t)
        for (int l = 0; l < G; ++l) p[l * ls + t] = tile[(t - from) * G + l];
}
#endif

template <int W>
LANES_INLINE void gather(num_t *tile, const Array &a, int count, int width, int64_t from,
                         int64_t to) {
#ifdef LANES_X86
    if constexpr (W >= 4) {
        if (a.bar_stride == 1 && count == G) return gather_rows_avx2(tile, a.p, a.lane_stride, from, to);
    }
#endif
    gather_any(tile, a, count, width, from, to);
}

template <int W>
LANES_INLINE void scatter(const num_t *tile, const Group &g, int64_t from, int64_t to) {
#ifdef LANES_X86
    if constexpr (W >= 4) {
        if (g.r_bar_stride == 1 && g.count == G)
            return scatter_rows_avx2(tile, g.r, g.r_lane_stride, from, to);
    }
#endif
    scatter_any(tile, g.r, g.r_lane_stride, g.r_bar_stride, g.count, from, to);
}

// ---- stretches ----------------------------------------------------------------------

// Bar t of a stream is at base + (t - origin)*stride: origin 0 for a panel
// read in place, N for its leaving bars, the tile's first bar for a tile.
// A ring of `period` rows (a power of two) holds bar t at row (t - origin)
// mod period; a stretch never runs across its wrap.
struct Stream {
    const num_t *base;
    ptrdiff_t stride;
    int64_t origin;
    int64_t period = 0;  // 0: not a ring
    const num_t *at(int64_t t) const {
        return base + (period ? (t - origin) & (period - 1) : t - origin) * stride;
    }
    // The first bar after t that lies at the ring's first row, at most end.
    int64_t wrap_after(int64_t t, int64_t end) const {
        if (!period) return end;
        const int64_t w = t + period - ((t - origin) & (period - 1));
        return w < end ? w : end;
    }
};

template <int W, int U>
struct Masks {
    vi<W> A[U], B[U], C[U];
    bool full;    // every lane past c: no masks needed
    bool any_c;   // some lane past c: the leaving bar is read
    vd<W> wt[U];  // WMA: each lane's weight of bar t during its first window
};

template <int W, int U>
LANES_INLINE void masks_at(const St<W, U> &st, int64_t t, Masks<W, U> &m) {
    int64_t a[G], b[G], c[G];
    num_t wt[G];
    m.full = true;
    m.any_c = false;
    for (int l = 0; l < G; ++l) {
        a[l] = t >= st.a[l] ? -1 : 0;
        b[l] = t >= st.b[l] ? -1 : 0;
        c[l] = t >= st.c[l] ? -1 : 0;
        m.full = m.full && t >= st.c[l];
        m.any_c = m.any_c || t >= st.c[l];
        wt[l] = static_cast<num_t>(t - st.a[l] + 1);
    }
    std::memcpy(m.A, a, sizeof a);
    std::memcpy(m.B, b, sizeof b);
    std::memcpy(m.C, c, sizeof c);
    std::memcpy(m.wt, wt, sizeof wt);
}

// The next bar after t where a lane crosses a threshold, at most `end`.
template <int W, int U>
LANES_INLINE int64_t next_change(const St<W, U> &st, int64_t t, int64_t end) {
    for (int l = 0; l < G; ++l) {
        if (st.a[l] > t && st.a[l] < end) end = st.a[l];
        if (st.b[l] > t && st.b[l] < end) end = st.b[l];
        if (st.c[l] > t && st.c[l] < end) end = st.c[l];
    }
    return end;
}

struct Consts {
    num_t n, den, w, v;
};

// Bars t .. t+count-1 with fixed masks.  Full: every lane past its c.
// UA: the vectors that hold lanes of the group (the first UA of U); a group
// of at most half the lanes leaves the second half's vectors out.
template <Kind K, bool Full, int UA, int W, int U>
LANES_INLINE void stretch(St<W, U> &st, const Consts &k, const Masks<W, U> &m, const num_t *x,
                          ptrdiff_t xs, const num_t *xl, ptrdiff_t xls, const num_t *fa,
                          ptrdiff_t as, num_t *r, ptrdiff_t rs, int64_t count) {
    typedef vd<W> D;
    typedef vi<W> I;
    const D zero = splat<W>(0.0), negzero = splat<W>(-0.0), one = splat<W>(1.0);
    const D nan = splat<W>(nan_value()), n = splat<W>(k.n), den = splat<W>(k.den);
    const D w = splat<W>(k.w), v = splat<W>(k.v);
    const bool take_leaving = Full || m.any_c;
    // The state in locals, so the stores to the results cannot alias it.
    D s0[U], s1[U], s2[U], wt[U];
    for (int u = 0; u < UA; ++u) {
        s0[u] = st.acc[0][u];
        s1[u] = st.acc[1][u];
        s2[u] = st.acc[2][u];
        wt[u] = m.wt[u];
    }
    // 1.0 where a bar counts (COUNT's rule), else 0.0.
    const auto truth = [&](const D &y) {
        I counts;
        count_mask(y, counts);
        return (D)(counts & (I)one);
    };
    for (int64_t j = 0; j < count; ++j) {
#pragma GCC unroll 8
        for (int u = 0; u < UA; ++u) {
            const D xv = load<W>(x + u * W);
            D out;
            if constexpr (K == Kind::Sum || K == Kind::Mean) {
                // Lanes before their leaving bars take out +0.0 (x - +0.0 is x).
                D lv = zero;
                if (take_leaving) {
                    lv = load<W>(xl + u * W);
                    if (!Full) lv = pick<W>(m.C[u], lv, zero);
                }
                window_sum_step(s0[u], lv, Full ? xv : pick<W>(m.A[u], xv, negzero));
                out = K == Kind::Mean ? s0[u] / n : s0[u];
                if (!Full) out = pick<W>(m.B[u], out, nan);
            } else if constexpr (K == Kind::Count) {
                if (take_leaving) {
                    const D lv = truth(load<W>(xl + u * W));
                    s0[u] = s0[u] - (Full ? lv : pick<W>(m.C[u], lv, zero));
                }
                const D tv = truth(xv);
                s0[u] = s0[u] + (Full ? tv : pick<W>(m.A[u], tv, zero));
                out = Full ? s0[u] : pick<W>(m.B[u], s0[u], nan);
            } else if constexpr (K == Kind::CumSum) {
                s0[u] = s0[u] + pick<W>((I)(xv == xv), xv, negzero);
                out = s0[u];
            } else if constexpr (K == Kind::CumCount) {
                s0[u] = s0[u] + truth(xv);
                out = s0[u];
            } else if constexpr (K == Kind::Seeded || K == Kind::Factor) {
                D wv = w, vv = v;
                if constexpr (K == Kind::Factor) {
                    wv = load<W>(fa + u * W);
                    vv = one - wv;
                }
                D rec;
                seeded_step(wv, vv, xv, s0[u], rec);
                if (Full) {
                    s0[u] = rec;
                    out = rec;
                } else {
                    s0[u] = pick<W>(m.C[u], rec, pick<W>(m.A[u], xv, s0[u]));
                    out = pick<W>(m.A[u], s0[u], nan);
                }
            } else {  // Weighted: s0 the plain sum, s1 the weighted sum, s2 the previous result
                D next;
                wma_step(den, s2[u], s0[u], n, xv, next);
                if (Full) {
                    s2[u] = next;
                } else {
                    const I warm = m.A[u] & ~m.C[u], first = m.B[u] & ~m.C[u];
                    s1[u] = pick<W>(warm, s1[u] + wt[u] * xv, s1[u]);
                    s2[u] = pick<W>(m.C[u], next, pick<W>(first, s1[u] / den, s2[u]));
                    wt[u] = wt[u] + one;
                }
                if (take_leaving) {
                    const D lv = load<W>(xl + u * W);
                    s0[u] = s0[u] - (Full ? lv : pick<W>(m.C[u], lv, zero));
                }
                s0[u] = s0[u] + (Full ? xv : pick<W>(m.A[u], xv, negzero));
                out = Full ? s2[u] : pick<W>(m.B[u], s2[u], nan);
            }
            store<W>(r + u * W, out);
        }
        x += xs;
        r += rs;
        if constexpr (leaves(K)) {
            if (take_leaving) xl += xls;
        }
        if constexpr (K == Kind::Factor) fa += as;
    }
    for (int u = 0; u < UA; ++u) {
        st.acc[0][u] = s0[u];
        st.acc[1][u] = s1[u];
        st.acc[2][u] = s2[u];
    }
}

template <Kind K, int UA, int W, int U>
LANES_INLINE void stretches(St<W, U> &st, const Consts &k, const Stream &X, const Stream &XL,
                            const Stream &A, const Stream &R, int64_t t, int64_t end) {
    Masks<W, U> m;
    while (t < end) {
        int64_t next = next_change(st, t, end);
        next = X.wrap_after(t, next);
        if (leaves(K)) next = XL.wrap_after(t, next);
        masks_at(st, t, m);
        const num_t *xl = leaves(K) && m.any_c ? XL.at(t) : nullptr;
        const num_t *fa = K == Kind::Factor ? A.at(t) : nullptr;
        if (m.full) {
            stretch<K, true, UA>(st, k, m, X.at(t), X.stride, xl, XL.stride, fa, A.stride,
                             const_cast<num_t *>(R.at(t)), R.stride, next - t);
        } else {
            stretch<K, false, UA>(st, k, m, X.at(t), X.stride, xl, XL.stride, fa, A.stride,
                              const_cast<num_t *>(R.at(t)), R.stride, next - t);
        }
        t = next;
    }
}

template <int UA, int W, int U>
LANES_INLINE void run_kind(Kind kind, St<W, U> &st, const Consts &k, const Stream &X,
                           const Stream &XL, const Stream &A, const Stream &R, int64_t b,
                           int64_t e) {
    switch (kind) {
        case Kind::Sum: stretches<Kind::Sum, UA>(st, k, X, XL, A, R, b, e); break;
        case Kind::Mean: stretches<Kind::Mean, UA>(st, k, X, XL, A, R, b, e); break;
        case Kind::Count: stretches<Kind::Count, UA>(st, k, X, XL, A, R, b, e); break;
        case Kind::CumSum: stretches<Kind::CumSum, UA>(st, k, X, XL, A, R, b, e); break;
        case Kind::CumCount: stretches<Kind::CumCount, UA>(st, k, X, XL, A, R, b, e); break;
        case Kind::Seeded: stretches<Kind::Seeded, UA>(st, k, X, XL, A, R, b, e); break;
        case Kind::Factor: stretches<Kind::Factor, UA>(st, k, X, XL, A, R, b, e); break;
        case Kind::Weighted: stretches<Kind::Weighted, UA>(st, k, X, XL, A, R, b, e); break;
    }
}

template <int W, int U>
LANES_INLINE void advance_impl(State &raw, const Group &g, int64_t t0, int64_t t1) {
    St<W, U> &st = state<W, U>(raw);
    const Kind kind = st.kind;
    Consts k{static_cast<num_t>(g.N), wma_denominator(g.N), 0.0, 0.0};
    if (g.op == Op::Ema || g.op == Op::Sma) {
        const Weights p = g.op == Op::Ema ? ema_weights(g.N) : sma_weights(g.N, g.M);
        k.w = p.w;
        k.v = p.v;
    }
    const bool whole = g.count == G;
    const bool x_direct = whole && g.x.lane_stride == 1;
    const bool a_direct = whole && g.a.lane_stride == 1;
    const bool r_direct = whole && g.r_lane_stride == 1;
    const bool factor = kind == Kind::Factor, leaving = leaves(kind);
    const bool all_direct = x_direct && r_direct && (a_direct || !factor);
    // A group of at most half the lanes computes only the vectors that hold them.
    const bool half = g.count <= W * U / 2;
    const int width = half ? W * U / 2 : G;

    // Tiles for what is not read or written in place (48 KiB of stack).  The
    // running sums read every bar twice, entering and N bars later leaving:
    // for windows that fit, the gathered bars stay in a ring of rows until
    // they leave, so each is gathered once.  Otherwise the ring's storage
    // holds two plain tiles, entering and leaving bars.
    alignas(64) num_t ring[kRing * G], ta[kTile * G], tr[kTile * G];
    num_t *const tx = ring, *const tl = ring + kTile * G;
    const bool ringed = leaving && !x_direct && g.N <= kRing - kTile;
    if (ringed) {
        // The bars before t0 that leave within the first tile.
        for (int64_t u = t0 - g.N > 0 ? t0 - g.N : 0; u < t0;) {
            const int64_t v = (u | (kRing - 1)) + 1 < t0 ? (u | (kRing - 1)) + 1 : t0;
            gather<W>(ring + (u & (kRing - 1)) * G, g.x, g.count, width, u, v);
            u = v;
        }
    }
    for (int64_t b = t0; b < t1;) {
        // Tiles end at multiples of kTile, so one never wraps in the ring.
        const int64_t aligned = (b | (kTile - 1)) + 1;
        const int64_t e = all_direct || t1 <= aligned ? t1 : aligned;
        Stream X{g.x.p, g.x.bar_stride, 0}, XL{g.x.p, g.x.bar_stride, g.N};
        Stream A{g.a.p, g.a.bar_stride, 0}, R{g.r, g.r_bar_stride, 0};
        if (ringed) {
            gather<W>(ring + (b & (kRing - 1)) * G, g.x, g.count, width, b, e);
            X = {ring, G, 0, kRing};
            XL = {ring, G, g.N, kRing};
        } else if (!x_direct) {
            gather<W>(tx, g.x, g.count, width, b, e);
            X = {tx, G, b};
            if (leaving) {
                // Only bars from N on have a leaving bar.
                const int64_t lo = b > g.N ? b : g.N;
                if (lo < e) gather<W>(tl + (lo - b) * G, g.x, g.count, width, lo - g.N, e - g.N);
                XL = {tl, G, b};
            }
        }
        if (factor && !a_direct) {
            gather<W>(ta, g.a, g.count, width, b, e);
            A = {ta, G, b};
        }
        if (!r_direct) R = {tr, G, b};
        if (half) {
            run_kind<U / 2>(kind, st, k, X, XL, A, R, b, e);
        } else {
            run_kind<U>(kind, st, k, X, XL, A, R, b, e);
        }
        if (!r_direct) scatter<W>(tr, g, b, e);
        b = e;
    }
}

// ---- one entry per instruction set ---------------------------------------------------

void start_base(State &s, const Group &g) { start_impl<2, 8>(s, g); }
void advance_base(State &s, const Group &g, int64_t t0, int64_t t1) {
    advance_impl<2, 8>(s, g, t0, t1);
}
constexpr Kernels kBaseKernels{start_base, advance_base};

#ifdef LANES_X86
LANES_AVX2 void start_avx2(State &s, const Group &g) { start_impl<4, 4>(s, g); }
LANES_AVX2 void advance_avx2(State &s, const Group &g, int64_t t0, int64_t t1) {
    advance_impl<4, 4>(s, g, t0, t1);
}
constexpr Kernels kAvx2Kernels{start_avx2, advance_avx2};

LANES_AVX512 void start_avx512(State &s, const Group &g) { start_impl<8, 2>(s, g); }
LANES_AVX512 void advance_avx512(State &s, const Group &g, int64_t t0, int64_t t1) {
    advance_impl<8, 2>(s, g, t0, t1);
}
constexpr Kernels kAvx512Kernels{start_avx512, advance_avx512};

LANES_AVX2 void start_wide(State &s, const Group &g) { start_impl<8, 2>(s, g); }
LANES_AVX2 void advance_wide(State &s, const Group &g, int64_t t0, int64_t t1) {
    advance_impl<8, 2>(s, g, t0, t1);
}
constexpr Kernels kWideKernels{start_wide, advance_wide};

bool cpu_has(Path p) { return static_cast<int>(simd::detect_path()) >= static_cast<int>(p); }
#endif

}  // namespace

Path best_path() { return static_cast<Path>(simd::path()); }

const Kernels *kernels(int path) {
    switch (path) {
        case kBase: return &kBaseKernels;
#ifdef LANES_X86
        case kAvx2: return cpu_has(kAvx2) ? &kAvx2Kernels : nullptr;
        case kAvx512: return cpu_has(kAvx512) ? &kAvx512Kernels : nullptr;
        case kAvx512Layout: return cpu_has(kAvx2) ? &kWideKernels : nullptr;
#endif
        default: return nullptr;
    }
}

}  // namespace lanes
}  // namespace rillet
