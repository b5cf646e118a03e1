// One instruction set's copy of the kernels named by RILLET_KERNELS, in
// namespace RILLET_ISA, after the vector operations they use beyond plain
// + - * /.  No include guard: simd_each.h includes this once per instruction
// set, inside that set's target region, with RILLET_LANES the widest vector
// it holds.

namespace {
namespace RILLET_ISA {

template <int W>
using vec = rillet::simd::vec<W>;

// Unaligned load and store.
template <int W>
RILLET_SIMD_INLINE vec<W> load(const num_t *p) {
    vec<W> v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <int W>
RILLET_SIMD_INLINE void store(num_t *p, const vec<W> &v) {
    std::memcpy(p, &v, sizeof v);
}

// Every lane set to x.
template <int W, size_t... L>
RILLET_SIMD_INLINE vec<W> splat_lanes(num_t x, std::index_sequence<L...>) {
    return vec<W>{((void)L, x)...};
}
template <int W>
RILLET_SIMD_INLINE vec<W> splat(num_t x) {
    static_assert(W <= RILLET_LANES, "wider than this instruction set");
    if constexpr (W == 1) {
        return x;
#ifdef RILLET_SIMD_X86
    } else if constexpr (W == 2) {
        return (vec<2>)_mm_set1_pd(x);
    } else if constexpr (W == 4) {
        return (vec<4>)_mm256_set1_pd(x);
    } else if constexpr (W == 8) {
        return (vec<8>)_mm512_set1_pd(x);
#endif
    } else {
        return splat_lanes<W>(x, std::make_index_sequence<W>{});
    }
}

// |v|: clears the sign bit only, like std::fabs, so NaN payloads survive.
template <int W>
RILLET_SIMD_INLINE vec<W> abs(const vec<W> &v) {
    if constexpr (W == 1) {
        return std::fabs(v);
    } else {
        typedef typename rillet::simd::lanes<W>::bits bits;
        const bits sign = (bits)splat<W>(-0.0);
        return (vec<W>)((bits)v & ~sign);
    }
}

// Correctly rounded square root of every lane.
template <int W>
RILLET_SIMD_INLINE vec<W> sqrt(const vec<W> &v) {
    static_assert(W <= RILLET_LANES, "wider than this instruction set");
    if constexpr (W == 1) {
        return std::sqrt(v);
#ifdef RILLET_SIMD_X86
    } else if constexpr (W == 2) {
        return (vec<2>)_mm_sqrt_pd((__m128d)v);
    } else if constexpr (W == 4) {
        return (vec<4>)_mm256_sqrt_pd((__m256d)v);
    } else if constexpr (W == 8) {
        // (the masked form with every lane selected: GCC's plain form warns of an
        // uninitialised source it never reads)
        return (vec<8>)_mm512_mask_sqrt_pd((__m512d)v, 0xFF, (__m512d)v);
#endif
    } else {
        vec<W> r;
        for (int l = 0; l < W; ++l) r[l] = std::sqrt(v[l]);
        return r;
    }
}

#include RILLET_KERNELS

}  // namespace RILLET_ISA
}  // namespace

#undef RILLET_ISA
#undef RILLET_LANES
