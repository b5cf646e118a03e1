// Several series per vector: the recurrences whose one-series speed is bound
// by a single dependency chain (running sums and means, running counts, the
// seeded averages, the weighted average) run a group of sixteen series at once,
// one vector lane per series.  Each lane repeats exactly the operations of
// the one-series function, in the same order, from its own first valid bar,
// so its bits are that function's bits.
//
// A group is worked through in stretches of bars, its state carried from one
// stretch to the next, so a caller can walk a panel whose time axis is the
// first one row block by row block across many groups.
#pragma once

#include <cstddef>
#include <cstdint>

#include "series.h"
#include "step.h"

namespace rillet {
namespace lanes {

// Series per group, the same on every instruction set.
inline constexpr int kGroup = 16;

enum class Op : uint8_t { None, Ma, Sum, Count, Ema, Sma, Dma, Wma };

// The grouped form of a formula name, Op::None when it has none.
Op op_of(const char *name);

// Element (series k, bar t) is at p + k*lane_stride + t*bar_stride.
struct Array {
    const num_t *p;
    ptrdiff_t lane_stride, bar_stride;
};

// One group: series k0 .. k0+count-1 of a panel (the arrays point at series
// k0), `bars` bars each.
struct Group {
    Op op;
    int N, M;
    int bars;
    int count;     // 1 .. kGroup
    Array x, a;    // a: the smoothing factors of DMA
    num_t *r;
    ptrdiff_t r_lane_stride, r_bar_stride;
};

// A group's state between stretches (opaque; sized for the widest vectors).
struct alignas(64) State {
    unsigned char bytes[1024];
};

struct Kernels {
    // Finds every series' first valid bar and sets up the state.
    void (*start)(State &, const Group &);
    // Computes and writes bars t0 .. t1-1; stretches follow one another.
    void (*advance)(State &, const Group &, int64_t t0, int64_t t1);
};

// Instruction sets: 0 the x86-64 baseline (SSE2) or portable code, 1 AVX2,
// 2 AVX-512F.
enum Path : int { kBase = 0, kAvx2 = 1, kAvx512 = 2 };

// The best path this CPU runs.
Path best_path();
// The kernels of a path; nullptr when this build or CPU lacks it.
const Kernels *kernels(int path);

}  // namespace lanes
}  // namespace rillet
