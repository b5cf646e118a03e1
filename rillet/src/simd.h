// Lane-parallel arithmetic for the window kernels.  A vector holds W doubles,
// one lane per bar, so each lane repeats exactly the scalar operations of its
// bar in the same order; only the number of bars in flight changes.
//
// A kernel file writes its kernels once, in a header of its own, against the
// operations of simd_isa.h; simd_each.h then compiles that header once per
// instruction set (the SSE2 baseline of x86-64, AVX2, AVX-512F), each copy in
// a namespace of its own and under that set's target pragma.  Nothing needs
// special compiler flags, and GCC and clang build the same code.
//
// Arithmetic is plain C++ on vector types.  Where two NaNs meet in one
// operation the compiler may pick either operand's payload; every other bit
// is fixed by the written order.  Contraction of a product into a fused
// multiply-add is switched off below for the whole file, whatever the
// command line says, since AVX-512F has fused forms.
//
// The instruction set is chosen once per process from what the CPU reports;
// a test pins it at run time (pin()), or at compile time by defining
// RILLET_FORCE_PATH (0 baseline, 1 AVX2, 2 AVX-512).
#pragma once

#include "series.h"

#include <cstring>
#include <utility>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define RILLET_SIMD_X86 1
#include <immintrin.h>
#endif

#define RILLET_SIMD_INLINE __attribute__((always_inline)) inline
#define RILLET_PRAGMA(x) _Pragma(#x)

// Target regions: every function defined between BEGIN and END is compiled
// for the named instruction set, templates included.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#define RILLET_TARGET_BEGIN(isa) \
    RILLET_PRAGMA(clang attribute push(__attribute__((target(isa))), apply_to = function))
#define RILLET_TARGET_END RILLET_PRAGMA(clang attribute pop)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#define RILLET_TARGET_BEGIN(isa) RILLET_PRAGMA(GCC push_options) RILLET_PRAGMA(GCC target(isa))
#define RILLET_TARGET_END RILLET_PRAGMA(GCC pop_options)
// Vectors pass by value only between always-inlined helpers of one target
// region, so the note that wide vectors change the calling convention does
// not apply.
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace rillet {
namespace simd {

enum Path : int { kBase = 0, kAvx2 = 1, kAvx512 = 2 };

// Lanes of the baseline kernels: SSE2 holds two doubles; elsewhere the
// kernels run one bar per lane.
#ifdef RILLET_SIMD_X86
inline constexpr int kBaseLanes = 2;
#else
inline constexpr int kBaseLanes = 1;
#endif

static inline Path detect_path() {
#ifdef RILLET_SIMD_X86
    __builtin_cpu_init();  // harmless when already done; needed if called early
    if (__builtin_cpu_supports("avx512f")) return kAvx512;
    if (__builtin_cpu_supports("avx2")) return kAvx2;
#endif
    return kBase;
}

// A path pinned at run time (tests, through zv_panel_test_setup), -1 for none.
inline int g_pinned = -1;

// Pins `p` (one this CPU runs), or with -1 lets the CPU decide again.
// Returns false, changing nothing, for a path the CPU lacks.
static inline bool pin(int p) {
    if (p > static_cast<int>(detect_path())) return false;
    __atomic_store_n(&g_pinned, p < 0 ? -1 : p, __ATOMIC_RELAXED);
    return true;
}

// The instruction set for this process: every dispatch of the core (the
// window kernels here and the grouped kernels of lanes.cpp) asks this.
// Threads that arrive together may each detect it, and all find the same;
// the cached answer is a plain atomic int rather than a guarded static, so
// the core needs no C++ runtime.
static inline Path path() {
#ifdef RILLET_FORCE_PATH
    static_assert(RILLET_FORCE_PATH >= kBase && RILLET_FORCE_PATH <= kAvx512, "0, 1 or 2");
    return static_cast<Path>(RILLET_FORCE_PATH);
#else
    const int pinned = __atomic_load_n(&g_pinned, __ATOMIC_RELAXED);
    if (pinned >= 0) return static_cast<Path>(pinned);
    static int chosen = -1;
    int p = __atomic_load_n(&chosen, __ATOMIC_RELAXED);
    if (p < 0) {
        p = detect_path();
        __atomic_store_n(&chosen, p, __ATOMIC_RELAXED);
    }
    return static_cast<Path>(p);
#endif
}

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

}  // namespace simd
}  // namespace rillet
