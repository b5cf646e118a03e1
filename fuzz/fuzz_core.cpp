// libFuzzer harness for the rillet core: every series function and every
// helper, driven by one input.
//
// Input layout (little-endian; missing bytes read as 0):
//   [0]      selector: one of the registry's series functions or the 6 helpers
//   [1]      size plan: bits 0-2 which array gets a perturbed size (0-3 an
//            input, 4 the result, 5-7 none), bits 3-5 the perturbation,
//            bit 6 gives every array the same non-positive size instead
//   [2..3]   series length n (modulo kMaxN + 1)
//   [4..7]   N (int32)          [8..11]  M (int32)
//   [12..19] ctx (int64)        [20..23] a spare int32 (raw perturbed size)
//   [24..]   element stream: numeric elements are one tag byte each (a
//            table of special values, small integers, or 0xF0.. followed
//            by 8 raw bytes); condition elements are raw bytes.
//
// Every array, the result included, is allocated with exactly the element
// count passed for it (0 for a negative count, the series length for a
// count too large to allocate), so AddressSanitizer reports any access
// outside what the caller declared.  Beyond the sanitizers the harness
// checks the core's contract and aborts on a breach:
//   - the return code is ERR_OK, ERR_SIZE_DISMATCH or ERR_PARAM_WRONG, and
//     exactly the one the size and parameter rules call for;
//   - an error return leaves the result untouched;
//   - inputs are never written;
//   - two calls with differently pre-filled results agree on every bar
//     they write (no read of uninitialised or result memory), and the
//     averages and sums leave no bar unwritten;
//   - arange and zeros return exactly what they promise, and their memory
//     is released.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "catalog.h"
#include "rillet.h"

namespace {

constexpr int kMaxN = 1024;         // longest series per input
constexpr int kMaxAlloc = 1 << 16;  // largest arange/zeros result tried

[[noreturn]] void fail(const char *what, int sel) {
    std::fprintf(stderr, "fuzz_core: contract breach in selector %d: %s\n", sel, what);
    std::abort();
}

uint64_t bits_of(double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

double from_bits(uint64_t b) {
    double v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

class Reader {
public:
    Reader(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
    uint8_t u8() { return p_ < end_ ? *p_++ : 0; }
    uint64_t uint(int bytes) {
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(u8()) << (8 * i);
        return v;
    }
    bool empty() const { return p_ >= end_; }

private:
    const uint8_t *p_;
    const uint8_t *end_;
};

const double kSpecials[32] = {
    from_bits(0x7FF8000000000000ULL),  // the quiet NaN
    from_bits(0xFFF8000000000000ULL),  // negative quiet NaN
    from_bits(0x7FF0000000000001ULL),  // signalling NaN
    from_bits(0x7FF8DEADBEEF0001ULL),  // NaN with a payload
    from_bits(0xFFF4000000000000ULL),  // negative signalling NaN
    std::numeric_limits<double>::infinity(),
    -std::numeric_limits<double>::infinity(),
    0.0,
    -0.0,
    std::numeric_limits<double>::max(),
    -std::numeric_limits<double>::max(),
    std::numeric_limits<double>::min(),
    std::numeric_limits<double>::denorm_min(),
    -std::numeric_limits<double>::denorm_min(),
    0.5,
    -0.5,
    2.9,
    -2.9,
    1e308,
    -1e308,
    2147483647.0,
    2147483648.0,
    -2147483648.0,
    -2147483649.0,
    2147483647.9,
    -2147483648.9,
    1e-300,
    4503599627370496.0,
    9007199254740992.0,
    1.5,
    -1e15,
    0.1,
};

double numeric_element(Reader &in, int i) {
    if (in.empty()) return static_cast<double>(i % 5);
    const uint8_t t = in.u8();
    if (t < 32) return kSpecials[t];
    if (t < 0xF0) return static_cast<double>(static_cast<int>(t) - 0x40);  // -32 .. 175
    return from_bits(in.uint(8));
}

// The targets are the catalog's rows, then the six helpers.
using Target = rillet::Entry;
const Target *const kTargets = rillet::kCatalog;
constexpr int kSeries = rillet::kCatalogSize;
constexpr int kSelectors = kSeries + 6;  // maxi, mini, ctxn, arange, zeros, aprint

// Number of input arrays of a function (its series arguments come first) and
// whether input k is a condition series.
int input_count(const Target &t) {
    const rillet::Shape sh = rillet::shape_of(t.form);
    int n = 0;
    while (n < sh.nargs && sh.kinds[n] != rillet::Kind::Int) ++n;
    return n;
}
bool is_condition(const Target &t, int k) {
    return rillet::shape_of(t.form).kinds[k] == rillet::Kind::Cond;
}

// An array holding exactly `count` elements of `elem` bytes; malloc'd so that
// AddressSanitizer's redzones sit right at both ends.
struct Array {
    void *p = nullptr;
    size_t bytes = 0;
    Array(size_t count, size_t elem) : p(std::malloc(count * elem)), bytes(count * elem) {
        if (!p && bytes) std::abort();
    }
    ~Array() { std::free(p); }
    Array(const Array &) = delete;
    Array &operator=(const Array &) = delete;
    num_t *num() const { return static_cast<num_t *>(p); }
    unsigned char *u8() const { return static_cast<unsigned char *>(p); }
};

int call_series(const Target &t, pcalc_ctx_t ctx, Array *const in[3], const int size[4], int N,
                int M, num_t *R) {
    const int nin = input_count(t);
    rillet::Args args;
    for (int k = 0; k < nin; ++k) {
        args.series[k] = in[k]->p;
        args.sizes[k] = size[k];
    }
    if (nin < 3) args.ints[nin] = N;
    if (nin < 2) args.ints[nin + 1] = M;
    return rillet::invoke(t, ctx, args, R, size[nin]);
}

// Element count to allocate for a declared size: exact when it is small
// enough, nothing for a negative size, the series length for a huge one (a
// correct core never touches it, because the sizes then disagree).
size_t alloc_count(int declared, int n) {
    if (declared < 0) return 0;
    if (declared <= n + 1) return static_cast<size_t>(declared);
    return static_cast<size_t>(n);
}

int perturbed_size(int mode, int n, int32_t spare) {
    switch (mode) {
        case 0: return 0;
        case 1: return -1;
        case 2: return n + 1;
        case 3: return n - 1;
        case 4: return std::numeric_limits<int>::max();
        case 5: return std::numeric_limits<int>::min();
        case 6: return 2 * n + 7;
        default: return spare;
    }
}

void fuzz_series(int sel, Reader &in, uint8_t plan, int n, int32_t N, int32_t M,
                 pcalc_ctx_t ctx, int32_t spare) {
    const Target &t = kTargets[sel];
    const int nin = input_count(t);
    int size[4] = {n, n, n, n};  // inputs, then the result at index nin
    if (plan & 0x40) {
        // Every array the same non-positive size: the core must not touch any.
        const int all[4] = {0, -1, std::numeric_limits<int>::min(), -n - 1};
        for (int &s : size) s = all[(plan >> 3) & 3];
    } else {
        const int which = plan & 7;  // 0-3 an input, 4 the result
        const int slot = which == 4 ? nin : which < nin ? which : -1;
        if (slot >= 0) size[slot] = perturbed_size((plan >> 3) & 7, n, spare);
    }
    bool mismatch = false;
    for (int k = 1; k <= nin; ++k) mismatch |= size[k] != size[0];

    Array a0(alloc_count(size[0], n), is_condition(t, 0) ? 1 : 8);
    Array a1(nin > 1 ? alloc_count(size[1], n) : 0, 8);
    Array a2(nin > 2 ? alloc_count(size[2], n) : 0, 8);
    Array *const inputs[3] = {&a0, &a1, &a2};
    for (int k = 0; k < nin; ++k) {
        Array &a = *inputs[k];
        if (is_condition(t, k)) {
            for (size_t i = 0; i < a.bytes; ++i) a.u8()[i] = in.u8();
        } else {
            for (size_t i = 0; i < a.bytes / 8; ++i)
                a.num()[i] = numeric_element(in, static_cast<int>(i));
        }
    }
    std::vector<uint8_t> before[3];
    for (int k = 0; k < nin; ++k)
        before[k].assign(inputs[k]->u8(), inputs[k]->u8() + inputs[k]->bytes);

    const size_t rcount = alloc_count(size[nin], n);
    const uint64_t fill[2] = {0x7FF4A5A5A5A5A5A5ULL, 0xFFF15A5A5A5A5A5AULL};
    Array r0(rcount, 8), r1(rcount, 8);
    Array *const results[2] = {&r0, &r1};
    int rc[2];
    for (int c = 0; c < 2; ++c) {
        for (size_t i = 0; i < rcount; ++i) results[c]->num()[i] = from_bits(fill[c]);
        rc[c] = call_series(t, ctx, inputs, size, N, M, results[c]->num());
    }

    if (rc[0] != rc[1]) fail("two equal calls returned different codes", sel);
    int expected = ERR_OK;
    if (mismatch) {
        expected = ERR_SIZE_DISMATCH;
    } else if (t.param != rillet::Param::None && N < rillet::min_window(t.param)) {
        expected = ERR_PARAM_WRONG;
    }
    if (rc[0] != expected) {
        std::fprintf(stderr, "%s returned %d, expected %d (sizes %d %d %d %d, N %d)\n", t.name,
                     rc[0], expected, size[0], size[1], size[2], size[3], N);
        fail("wrong return code", sel);
    }
    for (int k = 0; k < nin; ++k) {
        if (inputs[k]->bytes && std::memcmp(before[k].data(), inputs[k]->p, inputs[k]->bytes))
            fail("an input array was written", sel);
    }
    // ctx only matters to zv_ma, through its low 32 bits: negative restricts
    // the work to the tail and leaves earlier bars as they were.
    const bool tail_only =
        std::strcmp(t.name, "MA") == 0 && static_cast<int32_t>(ctx) < 0;
    for (size_t i = 0; i < rcount; ++i) {
        const uint64_t b0 = bits_of(r0.num()[i]), b1 = bits_of(r1.num()[i]);
        const bool untouched = b0 == fill[0] && b1 == fill[1];
        if (rc[0] != ERR_OK) {
            if (!untouched) fail("an error return wrote the result", sel);
        } else if (untouched) {
            if (t.writes_all && !tail_only) fail("a bar of the result was left unwritten", sel);
        } else if (b0 != b1) {
            std::fprintf(stderr, "%s bar %zu: %016" PRIx64 " vs %016" PRIx64 "\n", t.name, i, b0,
                         b1);
            fail("the result depends on what the result array held before", sel);
        }
    }
}

void fuzz_helper(int which, Reader &in, int n, int32_t N, int32_t M, pcalc_ctx_t ctx) {
    const int sel = kSeries + which;
    switch (which) {
        case 0:
            if (maxi(N, M) != (N > M ? N : M)) fail("maxi", sel);
            break;
        case 1:
            if (mini(N, M) != (N < M ? N : M)) fail("mini", sel);
            break;
        case 2: {
            const int off = ctxn(ctx, M, N);
            const int first = static_cast<int>(static_cast<uint32_t>(N) - 1u);
            if (static_cast<int32_t>(ctx) >= 0 ? off != first : off < first) fail("ctxn", sel);
            break;
        }
        case 3: {
            const double step = numeric_element(in, 0);
            // The count arange will compute; skip sizes too large to try.
            const double q =
                static_cast<double>(static_cast<int32_t>(static_cast<uint32_t>(M) -
                                                         static_cast<uint32_t>(N))) / step;
            const bool in_range = q > -2147483649.0 && q < 2147483648.0;
            const int64_t count = in_range ? static_cast<int64_t>(q) : INT32_MIN;
            if (count > kMaxAlloc) break;
            num_t *p = arange(N, M, step);
            if (count < 0 && p != nullptr) fail("arange with a negative count gave memory", sel);
            for (int64_t i = 0; i < count && p; ++i) {
                const double want = static_cast<double>(i) * step + static_cast<double>(N);
                if (bits_of(p[i]) != bits_of(want)) fail("arange element", sel);
            }
            if (count > 0 && p == nullptr) fail("arange returned null for a small count", sel);
            std::free(p);
            break;
        }
        case 4: {
            if (N > kMaxAlloc) break;
            num_t *p = zeros(N);
            if (N < 0 && p != nullptr) fail("zeros with a negative count gave memory", sel);
            if (N > 0 && p == nullptr) fail("zeros returned null for a small count", sel);
            for (int i = 0; i < N && p; ++i)
                if (bits_of(p[i]) != 0) fail("zeros element not +0.0", sel);
            std::free(p);
            break;
        }
        case 5: {
            char name[17];
            for (char &c : name) c = static_cast<char>(in.u8());
            name[16] = 0;
            const int count = n < 64 ? n : 64;
            Array a(static_cast<size_t>(count), 8);
            for (int i = 0; i < count; ++i) a.num()[i] = numeric_element(in, i);
            aprint(name, a.num(), count);
            aprint(name, a.num(), -count - 1);  // a non-positive size prints nothing
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // aprint writes to standard output; keep the fuzzer's own output readable.
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Reader in(data, size);
    const int sel = in.u8() % kSelectors;
    const uint8_t plan = in.u8();
    const int n = static_cast<int>(in.uint(2) % (kMaxN + 1));
    const auto N = static_cast<int32_t>(in.uint(4));
    const auto M = static_cast<int32_t>(in.uint(4));
    const auto ctx = static_cast<pcalc_ctx_t>(in.uint(8));
    const auto spare = static_cast<int32_t>(in.uint(4));
    if (sel < kSeries) {
        fuzz_series(sel, in, plan, n, N, M, ctx, spare);
    } else {
        fuzz_helper(sel - kSeries, in, n, N, M, ctx);
    }
    return 0;
}
