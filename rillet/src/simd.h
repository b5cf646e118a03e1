// Lane-parallel arithmetic for the window kernels.  A vector holds W doubles,
// one lane per bar, so each lane repeats exactly the scalar operations of its
// bar in the same order; only the number of bars in flight changes.
//
// The kernels are written once against the generic vector types below and
// instantiated per instruction set inside functions that carry a target
// attribute (AVX-512F, AVX2, or the SSE2 baseline of x86-64).  Every
// addition that can meet two NaNs, and every addition or subtraction that a
// product feeds, is inline assembly, so the compiler can neither swap its
// operands (x86 returns the first operand's payload when both are NaN, and
// the first operand must stay the one written first) nor fuse a multiply
// into it (AVX-512F has fused forms, and contraction is off only when the
// build says so).
//
// The instruction set is chosen once per process from what the CPU reports.
// Defining RILLET_FORCE_PATH (0 baseline, 1 AVX2, 2 AVX-512) at compile time
// pins the choice instead, so a test build can run each kernel on purpose.
#pragma once

#include "series.h"

#include <cstring>
#include <utility>

// The inline assembly is written for GCC's operand sizing; clang (used for
// the fuzzing build) takes the portable path.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define RILLET_SIMD_X86 1
#define RILLET_TARGET_AVX2 __attribute__((target("avx2")))
#define RILLET_TARGET_AVX512 __attribute__((target("avx512f")))
#endif

#define RILLET_SIMD_INLINE __attribute__((always_inline)) inline

namespace rillet {
namespace simd {

enum Path : int { kBase = 0, kAvx2 = 1, kAvx512 = 2 };

static inline Path detect_path() {
#ifdef RILLET_SIMD_X86
    __builtin_cpu_init();  // harmless when already done; needed if called early
    if (__builtin_cpu_supports("avx512f")) return kAvx512;
    if (__builtin_cpu_supports("avx2")) return kAvx2;
#endif
    return kBase;
}

// The instruction set for this process.  The local static is initialised
// exactly once even when several threads arrive together.
static inline Path path() {
#ifdef RILLET_FORCE_PATH
    static_assert(RILLET_FORCE_PATH >= kBase && RILLET_FORCE_PATH <= kAvx512, "0, 1 or 2");
    return static_cast<Path>(RILLET_FORCE_PATH);
#else
    static const Path chosen = detect_path();
    return chosen;
#endif
}

// The helpers below, and the kernel templates of the files that include
// this header, pass vectors by value.  They are always inlined into a kernel
// of one instruction set and never called across instruction sets, so the
// warning that the calling convention of wide vectors depends on the enabled
// instruction set does not apply; it is silenced for the including file.
#pragma GCC diagnostic ignored "-Wpsabi"

// W lanes of double, and the same bits as unsigned integers.  W = 1 is the
// plain scalar, used for the bars left over after the last full vector.
template <int W>
struct lanes {
    typedef double type __attribute__((vector_size(8 * W)));
    typedef uint64_t bits __attribute__((vector_size(8 * W)));
};
template <>
struct lanes<1> {
    typedef double type;
    typedef uint64_t bits;
};

template <int W>
using vec = typename lanes<W>::type;

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

// Every lane set to x.  Four or eight lanes exist only in the AVX kernels;
// there the broadcast is spelled out, because GCC expands a uniform vector
// built in these generic helpers as eight masked moves under AVX-512.
template <int W, size_t... L>
RILLET_SIMD_INLINE vec<W> splat_lanes(num_t x, std::index_sequence<L...>) {
    return vec<W>{((void)L, x)...};
}
template <int W>
RILLET_SIMD_INLINE vec<W> splat(num_t x) {
    if constexpr (W == 1) {
        return x;
    } else {
#ifdef RILLET_SIMD_X86
        if constexpr (W >= 4) {
            vec<W> r;
            asm("vbroadcastsd {%1, %0|%0, %1}" : "=v"(r) : "v"(x));
            return r;
        }
#endif
        return splat_lanes<W>(x, std::make_index_sequence<W>{});
    }
}

// |v|: clears the sign bit only, like std::fabs, so NaN payloads survive.
template <int W>
RILLET_SIMD_INLINE vec<W> abs(const vec<W> &v) {
    if constexpr (W == 1) {
        return std::fabs(v);
    } else {
        typedef typename lanes<W>::bits bits;
        const bits sign = (bits)splat<W>(-0.0);
        return (vec<W>)((bits)v & ~sign);
    }
}

// a + b with a as the first source operand.  Vex selects the three-operand
// encoding, which the AVX paths use throughout (mixing legacy SSE encodings
// into AVX code costs transitions on some CPUs).
template <int W, bool Vex>
RILLET_SIMD_INLINE vec<W> add(const vec<W> &a, const vec<W> &b) {
#ifdef RILLET_SIMD_X86
    vec<W> r = a;
    if constexpr (W == 1 && Vex) {
        asm("vaddsd {%1, %0, %0|%0, %0, %1}" : "+v"(r) : "v"(b));
    } else if constexpr (W == 1) {
        asm("addsd {%1, %0|%0, %1}" : "+x"(r) : "x"(b));
    } else if constexpr (Vex) {
        asm("vaddpd {%1, %0, %0|%0, %0, %1}" : "+v"(r) : "v"(b));
    } else {
        static_assert(W == 2, "the legacy encoding holds two lanes");
        asm("addpd {%1, %0|%0, %1}" : "+x"(r) : "x"(b));
    }
    return r;
#else
    return a + b;
#endif
}

// a * b with a as the first source operand (scalar), for the same reason as add.
template <bool Vex>
RILLET_SIMD_INLINE num_t mul1(num_t a, num_t b) {
#ifdef RILLET_SIMD_X86
    if constexpr (Vex) {
        asm("vmulsd {%1, %0, %0|%0, %0, %1}" : "+v"(a) : "v"(b));
    } else {
        asm("mulsd {%1, %0|%0, %1}" : "+x"(a) : "x"(b));
    }
    return a;
#else
    return a * b;
#endif
}

// a - b.  Subtraction has a fixed operand order anyway; spelling it out keeps
// a product feeding it from being fused into it even where the enabled
// instruction set has fused forms (AVX-512F does) and a build contracts.
template <int W, bool Vex>
RILLET_SIMD_INLINE vec<W> sub(const vec<W> &a, const vec<W> &b) {
#ifdef RILLET_SIMD_X86
    vec<W> r = a;
    if constexpr (W == 1 && Vex) {
        asm("vsubsd {%1, %0, %0|%0, %0, %1}" : "+v"(r) : "v"(b));
    } else if constexpr (W == 1) {
        asm("subsd {%1, %0|%0, %1}" : "+x"(r) : "x"(b));
    } else if constexpr (Vex) {
        asm("vsubpd {%1, %0, %0|%0, %0, %1}" : "+v"(r) : "v"(b));
    } else {
        static_assert(W == 2, "the legacy encoding holds two lanes");
        asm("subpd {%1, %0|%0, %1}" : "+x"(r) : "x"(b));
    }
    return r;
#else
    return a - b;
#endif
}

// Correctly rounded square root of every lane.
template <int W, bool Vex>
RILLET_SIMD_INLINE vec<W> sqrt(const vec<W> &v) {
    if constexpr (W == 1) {
        return std::sqrt(v);
    } else {
#ifdef RILLET_SIMD_X86
        vec<W> r;
        if constexpr (Vex) {
            asm("vsqrtpd {%1, %0|%0, %1}" : "=v"(r) : "v"(v));
        } else {
            asm("sqrtpd {%1, %0|%0, %1}" : "=x"(r) : "x"(v));
        }
        return r;
#else
        vec<W> r;
        for (int l = 0; l < W; ++l) r[l] = std::sqrt(v[l]);
        return r;
#endif
    }
}

}  // namespace simd
}  // namespace rillet
