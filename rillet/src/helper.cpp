// Small exported helpers: integer min/max, the context offset of zv_ma and
// array utilities for C callers.
#include "series.h"

#include <cstdio>
#include <cstdlib>

using namespace rillet;

extern "C" {

int maxi(int a, int b) { return a > b ? a : b; }

int mini(int a, int b) { return a < b ? a : b; }

int ctxn(pcalc_ctx_t ctx, int size, int n) {
    // Only the low 32 bits of the context count.
    const int32_t c = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(ctx)));
    const int32_t first = wrap_sub(n, 1);
    if (c >= 0) return first;
    return maxi(first, wrap_add(wrap_sub(wrap_add(c, size), n), 1));
}

num_t *arange(int start, int stop, num_t step) {
    const int32_t n = to_window(static_cast<num_t>(wrap_sub(stop, start)) / step);
    // A negative count widened with its sign would ask the allocator for an
    // impossible size; the answer is the null pointer either way.
    if (n < 0) return nullptr;
    auto *p = static_cast<num_t *>(std::malloc(static_cast<size_t>(n) * 8u));
    if (n == 0 || p == nullptr) return p;
    const num_t first = static_cast<num_t>(start);
    for (int32_t i = 0; i < n; ++i) p[i] = static_cast<num_t>(i) * step + first;
    return p;
}

num_t *zeros(int n) {
    if (n < 0) return nullptr;  // an impossible size for the allocator
    return static_cast<num_t *>(std::calloc(static_cast<size_t>(n) * 8u, 1));
}

void aprint(const char *name, const num_t *a, int size_a) {
    std::printf("%s = [", name);
    for (int i = 0; i < size_a; ++i) {
        if (i) std::printf(", ");
        std::printf("%4g", a[i]);
    }
    std::puts("]");
}

}  // extern "C"
