// The core's scratch memory: the blocks a call takes for its own duration
// (zv_panel's gathered lanes, the monotonic stack of the per-bar LLV/HHV).
// Every such block comes from here: 64-byte aligned, released with
// std::free, nullptr when memory is short.  A build may put another
// allocator in its place with -DRILLET_SCRATCH_ALLOC(bytes)=...; the tests
// build the core with one that always fails, so every caller's way out of a
// refused block runs without needing a machine short of memory.
#pragma once

#include <cstddef>
#include <cstdlib>

namespace rillet {

inline void *scratch_alloc(std::size_t bytes) {
#ifdef RILLET_SCRATCH_ALLOC
    (void)bytes;  // a replacement may ignore the size
    return RILLET_SCRATCH_ALLOC(bytes);
#else
    void *p = nullptr;
    return posix_memalign(&p, 64, bytes) == 0 ? p : nullptr;
#endif
}

}  // namespace rillet
