// Compiles the kernel header named by RILLET_KERNELS once per instruction
// set: namespace base (the baseline, simd::kBaseLanes lanes), and on x86-64
// also avx2 (4 lanes) and avx512 (8 lanes), each under its target region.
// Each copy sees simd_isa.h's operations for its set and RILLET_LANES for its
// widest vector, and defines its kernels in its own namespace, for the
// including file to dispatch on simd::path().
//
// Include once, after simd.h and whatever the kernels need, with
// RILLET_KERNELS defined as the header's name in quotes.

#define RILLET_ISA base
#define RILLET_LANES rillet::simd::kBaseLanes
#include "simd_isa.h"

#ifdef RILLET_SIMD_X86
RILLET_TARGET_BEGIN("avx2")
#define RILLET_ISA avx2
#define RILLET_LANES 4
#include "simd_isa.h"
RILLET_TARGET_END

RILLET_TARGET_BEGIN("avx512f")
#define RILLET_ISA avx512
#define RILLET_LANES 8
#include "simd_isa.h"
RILLET_TARGET_END
#endif
