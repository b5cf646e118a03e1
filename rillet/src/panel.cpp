// Panels: one series function over many lanes, on the library's threads.
//
// The lanes are cut into chunks of whole groups of sixteen (the same cut at
// every thread count, though no lane's result depends on it anyway); the
// calling thread and the pool's workers take chunks until none is left.
// Small panels stay on the calling thread.
//
// A chunk runs one of two ways:
// - the recurrences that have grouped kernels (lanes.h) run sixteen lanes per
//   group.  A panel whose time axis is the first one is walked in blocks of
//   rows across a batch of groups, so every row is read and written while it
//   is in cache, with no copy at all.  A group of up to half the lanes
//   computes half the vectors; a short last group (under kMinGroup lanes
//   contiguous along time, kMinRowGroup of a time-first panel) runs as the
//   one-series functions do;
// - every other function, and panels of lanes contiguous along time that are
//   few or long (where the one-series function is as fast per value as a
//   group), run lane by lane through the one-series function.  Lanes
//   contiguous along time are handed over in place; otherwise up to sixteen
//   lanes at a time are gathered into the participant's scratch memory (the
//   one allocation of a call, made before anything is written), computed,
//   and their results scattered back.
#include <atomic>
#include <cstdlib>
#include <thread>

#include "catalog.h"
#include "lanes.h"
#include "pool.h"
#include "simd.h"
#include "../rillet.h"

namespace {

using rillet::pool::Local;
namespace lanes = rillet::lanes;

std::atomic<int> g_threads{-1};

// The grouped kernels' instruction set: kAuto picks the best the CPU runs,
// kSingle turns the grouped kernels off (every lane through its one-series
// function); 0, 1, 2 pin a path (tests run each on purpose).
constexpr int kAuto = -2, kSingle = -1;
std::atomic<int> g_path{kAuto};

// Bars times lanes below which a call stays on the calling thread: waking
// the workers costs some ten microseconds, the work of about 100 000 values.
constexpr int64_t kSerialWork = 1 << 17;
std::atomic<int64_t> g_min_parallel{kSerialWork};
// Time-first panels: bars per step of the walk across a batch of groups.
constexpr int kRowBlock = 64;
constexpr int kBatch = 16;
constexpr int G = lanes::kGroup;
// Lanes gathered together into the scratch for the one-series functions.
constexpr int kBlock = 16;
// The scratch a participant gathers lanes into stays under this many bytes
// where one lane fits (fewer lanes a block for long series): memory of this
// size the allocator hands out again from call to call, while a larger block
// would be mapped, faulted in and unmapped on every call.
constexpr size_t kScratchCap = size_t{16} << 20;
// Fewest lanes of a group that the grouped kernels run, unless a test pins
// their path: of lanes contiguous along time, and of a time-first panel
// (whose rows the one-series route must gather and scatter, while a group
// reads them in place and computes half its vectors for half the lanes).
constexpr int kMinGroup = 8;
constexpr int kMinRowGroup = 5;
// Lanes that lie contiguous along time run grouped only up to this many bars:
// a group of longer ones streams sixteen series at once through the caches,
// and the one-series function, reading one, is as fast or faster.
constexpr int kLongLane = 1 << 15;
// Rows ahead whose lines are asked for while a row is copied: the rows of a
// time-first panel lie far apart, and one copy waiting for each row's miss
// in turn runs at memory latency, not bandwidth.
constexpr int64_t kAhead = 24;

int default_threads() {
    if (const char *env = std::getenv("ZELVO_THREADS")) {
        char *end = nullptr;
        const long n = std::strtol(env, &end, 10);
        if (end != env && *end == 0 && n >= 1 && n <= 1024) return static_cast<int>(n);
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return hw ? static_cast<int>(hw) : 1;
}

const lanes::Kernels *grouped_kernels(lanes::Op op) {
    if (op == lanes::Op::None) return nullptr;
    const int p = g_path.load(std::memory_order_relaxed);
    if (p == kSingle) return nullptr;
    return lanes::kernels(p == kAuto ? lanes::best_path() : p);
}

struct Input {
    const void *p;
    ptrdiff_t lane_stride, bar_stride;
    bool cond;  // unsigned bytes, not num_t
    int pos;    // argument position
};

// Bytes from one lane of n elements to the next in the scratch: a whole number
// of cache lines and one more, so that lanes of a power-of-two length do not
// all fall into the same cache sets.
size_t lane_bytes(int64_t n, size_t size) {
    return ((static_cast<size_t>(n) * size + 63) & ~static_cast<size_t>(63)) + 64;
}

// dst holds `count` lanes of n elements, `pitch` elements apart; src is lane 0 of
// a panel with the given strides.  Bar-outer order: a time-first panel is
// read (and written back) a row segment at a time, while each lane of the
// scratch is a sequential stream.
template <class T>
void prefetch_row(const T *row, ptrdiff_t ls, int count, int write) {
    const char *p = reinterpret_cast<const char *>(row);
    if (ls == 1) {
        for (size_t o = 0; o < count * sizeof(T); o += 64) {
            if (write) __builtin_prefetch(p + o, 1); else __builtin_prefetch(p + o, 0);
        }
    }
}

template <class T>
void gather_block(T *dst, const T *src, ptrdiff_t ls, ptrdiff_t bs, int count, int64_t n,
                  int64_t pitch) {
    for (int64_t t = 0; t < n; ++t) {
        const T *row = src + t * bs;
        if (t + kAhead < n) prefetch_row(src + (t + kAhead) * bs, ls, count, 0);
        for (int l = 0; l < count; ++l) dst[l * pitch + t] = row[l * ls];
    }
}

void scatter_block(const num_t *src, num_t *dst, ptrdiff_t ls, ptrdiff_t bs, int count, int64_t n,
                   int64_t pitch) {
    for (int64_t t = 0; t < n; ++t) {
        num_t *row = dst + t * bs;
        if (t + kAhead < n) prefetch_row(dst + (t + kAhead) * bs, ls, count, 1);
        for (int l = 0; l < count; ++l) row[l * ls] = src[l * pitch + t];
    }
}

struct Panel final : rillet::pool::Job {
    const rillet::Entry *e = nullptr;
    rillet::Args proto;  // integer arguments and sizes; series filled per lane
    int lanes = 0, bars = 0;
    int nin = 0;
    Input in[3] = {};
    num_t *R = nullptr;
    ptrdiff_t rls = 0, rbs = 0;
    lanes::Op op = lanes::Op::None;
    const lanes::Kernels *grouped = nullptr;
    bool small_single = false;  // groups under kMinGroup lanes run lane by lane
    int block = kBlock;         // lanes gathered at a time (no more than run so)
    int lanes_per_chunk = 0;
    size_t scratch = 0;  // bytes per participant for gathered lanes, 0 for none
    // A lane's function refused (only a function's own scratch can: the
    // arguments were checked before any lane ran).
    mutable std::atomic<bool> failed{false};
    void fail() const { failed.store(true, std::memory_order_relaxed); }

    bool join(Local &local) override { return scratch == 0 || local.scratch(scratch) != nullptr; }

    void chunk(int c, Local &local) override {
        const int64_t from = static_cast<int64_t>(c) * lanes_per_chunk;
        const int k0 = static_cast<int>(from);
        const int k1 = static_cast<int>(lanes - from < lanes_per_chunk ? lanes : from + lanes_per_chunk);
        if (grouped) {
            run_grouped(k0, k1, local);
        } else {
            run_single(k0, k1, local);
        }
    }

    lanes::Group group_at(int k, int count) const {
        lanes::Group g;
        g.op = op;
        g.N = proto.ints[1];
        g.M = proto.ints[2];
        g.bars = bars;
        g.count = count;
        g.x = {static_cast<const num_t *>(in[0].p) + k * in[0].lane_stride, in[0].lane_stride,
               in[0].bar_stride};
        g.a = g.x;
        if (nin > 1)
            g.a = {static_cast<const num_t *>(in[1].p) + k * in[1].lane_stride, in[1].lane_stride,
                   in[1].bar_stride};
        g.r = R + k * rls;
        g.r_lane_stride = rls;
        g.r_bar_stride = rbs;
        return g;
    }

    void run_grouped(int k0, int k1, Local &local) const {
        // Only the last group of a panel can be short.
        if (small_single && k1 - (k1 - k0 - 1) / G * G - k0 < kMinGroup) {
            const int tail = k0 + (k1 - k0 - 1) / G * G;
            run_single(tail, k1, local);
            k1 = tail;
        }
        bool rows = in[0].lane_stride == 1 && rls == 1;
        if (nin > 1) rows = rows && in[1].lane_stride == 1;
        if (!rows) {
            // Lanes along time: each group from its first bar to its last.
            lanes::State st;
            for (int k = k0; k < k1; k += G) {
                const lanes::Group g = group_at(k, k1 - k < G ? k1 - k : G);
                grouped->start(st, g);
                grouped->advance(st, g, 0, bars);
            }
            return;
        }
        lanes::State st[kBatch];
        lanes::Group gs[kBatch];
        for (int k = k0; k < k1; k += G * kBatch) {
            int nb = 0;
            for (int j = k; j < k1 && nb < kBatch; j += G, ++nb) {
                gs[nb] = group_at(j, k1 - j < G ? k1 - j : G);
                grouped->start(st[nb], gs[nb]);
            }
            for (int t = 0; t < bars; t += kRowBlock) {
                const int end = bars - t < kRowBlock ? bars : t + kRowBlock;
                for (int i = 0; i < nb; ++i) grouped->advance(st[i], gs[i], t, end);
            }
        }
    }

    void run_single(int k0, int k1, Local &local) const {
        rillet::Args args = proto;
        if (scratch == 0) {
            for (int k = k0; k < k1; ++k) {
                for (int i = 0; i < nin; ++i) {
                    const Input &s = in[i];
                    args.series[s.pos] = s.cond ? static_cast<const void *>(
                                                      static_cast<const unsigned char *>(s.p) +
                                                      k * s.lane_stride)
                                                : static_cast<const num_t *>(s.p) + k * s.lane_stride;
                }
                if (rillet::invoke(*e, 0, args, R + k * rls, bars) != ERR_OK) fail();
            }
            return;
        }
        // Sixteen lanes at a time through the scratch: one region of them
        // per input that is not contiguous along time, and one for R.
        auto *mem = static_cast<unsigned char *>(local.scratch(scratch));
        const int64_t n = bars;
        const size_t byte_lane = lane_bytes(n, 1), num_lane = lane_bytes(n, sizeof(num_t));
        const int64_t num_pitch = static_cast<int64_t>(num_lane / sizeof(num_t));
        for (int k = k0; k < k1; k += block) {
            const int count = k1 - k < block ? k1 - k : block;
            unsigned char *at = mem;
            const void *base[3];
            int64_t step[3];  // elements from one lane to the next
            for (int i = 0; i < nin; ++i) {
                const Input &s = in[i];
                if (s.cond) {
                    const auto *src = static_cast<const unsigned char *>(s.p) + k * s.lane_stride;
                    if (s.bar_stride == 1) {
                        base[i] = src;
                        step[i] = s.lane_stride;
                    } else {
                        gather_block(at, src, s.lane_stride, s.bar_stride, count, n,
                                     static_cast<int64_t>(byte_lane));
                        base[i] = at;
                        step[i] = static_cast<int64_t>(byte_lane);
                        at += block * byte_lane;
                    }
                } else {
                    const auto *src = static_cast<const num_t *>(s.p) + k * s.lane_stride;
                    if (s.bar_stride == 1) {
                        base[i] = src;
                        step[i] = s.lane_stride;
                    } else {
                        auto *dst = reinterpret_cast<num_t *>(at);
                        gather_block(dst, src, s.lane_stride, s.bar_stride, count, n, num_pitch);
                        base[i] = dst;
                        step[i] = num_pitch;
                        at += block * num_lane;
                    }
                }
            }
            num_t *r = R + k * rls;
            num_t *out = r;
            int64_t out_step = rls;
            if (rbs != 1) {
                out = reinterpret_cast<num_t *>(at);
                out_step = num_pitch;
                // Bars a function leaves unwritten keep what R held.
                if (!e->writes_all) gather_block<num_t>(out, r, rls, rbs, count, n, num_pitch);
            }
            for (int l = 0; l < count; ++l) {
                for (int i = 0; i < nin; ++i) {
                    args.series[in[i].pos] =
                        in[i].cond ? static_cast<const void *>(
                                         static_cast<const unsigned char *>(base[i]) + l * step[i])
                                   : static_cast<const num_t *>(base[i]) + l * step[i];
                }
                if (rillet::invoke(*e, 0, args, out + l * out_step, bars) != ERR_OK) fail();
            }
            if (rbs != 1) scatter_block(out, r, rls, rbs, count, n, num_pitch);
        }
    }
};

}  // namespace

int64_t rillet::pool::min_parallel() { return g_min_parallel.load(std::memory_order_relaxed); }

extern "C" {

void zv_set_threads(int n) { g_threads.store(n >= 1 ? n : default_threads()); }

int zv_get_threads(void) {
    int n = g_threads.load();
    if (n < 1) {
        n = default_threads();
        g_threads.store(n);
    }
    return n;
}

// Test hook (declared in rillet.h for tests and benchmarks), so tests reach
// every path on small panels.  `path` pins the instruction set of the grouped kernels
// (0 baseline, 1 AVX2, 2 AVX-512F, 3 the AVX-512F lane layout built for AVX2;
// ignored when the CPU lacks it), turns them
// off (-1) or restores the automatic choice (any other value).
// `min_parallel` sets the bars times lanes from which calls are split among
// threads (0 restores the default, a negative value keeps the setting).
// Returns the path now in force: -1, or the instruction set used.
RILLET_API int zv_panel_test_setup(int path, int64_t min_parallel) {
    if (path == kSingle || (path >= 0 && lanes::kernels(path))) {
        g_path.store(path);
        // The window kernels of the one-series functions follow (the
        // AVX-512F layout built for AVX2 runs them on AVX2).
        if (path >= 0) rillet::simd::pin(path == lanes::kAvx512Layout ? lanes::kAvx2 : path);
    } else if (path < kSingle || path > lanes::kAvx512Layout) {
        g_path.store(kAuto);
        rillet::simd::pin(-1);
    }
    if (min_parallel >= 0) g_min_parallel.store(min_parallel ? min_parallel : kSerialWork);
    const int p = g_path.load();
    return p == kAuto ? lanes::best_path() : p;
}

int zv_panel(const char *name, int lanes_n, int bars, const zv_lanes *inputs, const int *params,
             num_t *R, ptrdiff_t r_lane_stride, ptrdiff_t r_bar_stride, int threads) {
    const rillet::Entry *e = name ? rillet::find(name) : nullptr;
    if (!e || lanes_n < 0 || bars < 0 || threads < 0) return ERR_PARAM_WRONG;
    const rillet::Shape sh = rillet::shape_of(e->form);
    Panel job;
    job.e = e;
    int pos[3];
    if (!rillet::bind_ints(*e, params, job.proto, pos, job.nin)) return ERR_PARAM_WRONG;
    for (int i = 0; i < job.nin; ++i) {
        job.in[i].pos = pos[i];
        job.proto.sizes[pos[i]] = bars;
    }
    if (lanes_n == 0 || bars == 0) return ERR_OK;
    if (!R || (job.nin && !inputs)) return ERR_PARAM_WRONG;
    size_t scratch = 0, per_lane = 0;
    for (int i = 0; i < job.nin; ++i) {
        Input &s = job.in[i];
        if (!inputs[i].data) return ERR_PARAM_WRONG;
        s.p = inputs[i].data;
        s.lane_stride = inputs[i].lane_stride;
        s.bar_stride = inputs[i].bar_stride;
        s.cond = sh.kinds[s.pos] == rillet::Kind::Cond;
        if (s.bar_stride != 1) per_lane += lane_bytes(bars, s.cond ? 1 : sizeof(num_t));
    }
    if (r_bar_stride != 1) per_lane += lane_bytes(bars, sizeof(num_t));
    job.lanes = lanes_n;
    job.bars = bars;
    job.R = R;
    job.rls = r_lane_stride;
    job.rbs = r_bar_stride;
    job.op = lanes::op_of(e->name);
    job.grouped = grouped_kernels(job.op);
    if (job.grouped && g_path.load(std::memory_order_relaxed) == kAuto) {
        bool along_time = r_bar_stride == 1;
        for (int i = 0; i < job.nin; ++i) along_time = along_time && job.in[i].bar_stride == 1;
        if (along_time && (lanes_n < kMinGroup || bars > kLongLane)) {
            job.grouped = nullptr;
        } else {
            // A short last group runs as one series each.
            const int tail = lanes_n % G;
            job.small_single = tail != 0 && tail < (along_time ? kMinGroup : kMinRowGroup);
        }
    }
    // Scratch for no more lanes than are gathered: a small one is reused
    // by the allocator from call to call instead of being mapped anew.
    job.block = job.small_single ? lanes_n % G : lanes_n < kBlock ? lanes_n : kBlock;
    if (per_lane && static_cast<size_t>(job.block) * per_lane > kScratchCap)
        job.block = per_lane >= kScratchCap ? 1 : static_cast<int>(kScratchCap / per_lane);
    if (per_lane && (!job.grouped || job.small_single))
        scratch = job.block * per_lane;
    job.scratch = scratch;

    if (threads == 0) threads = zv_get_threads();
    if (threads > 1024) threads = 1024;
    const int groups = (lanes_n + G - 1) / G;
    int nchunks = 1;
    if (threads > 1 &&
        static_cast<int64_t>(lanes_n) * bars >= g_min_parallel.load(std::memory_order_relaxed)) {
        // A few chunks per thread even out threads that get less of the CPU.
        nchunks = groups < threads * 4 ? groups : threads * 4;
    } else {
        threads = 1;
    }
    const int per_chunk = (groups + nchunks - 1) / nchunks;
    job.lanes_per_chunk = per_chunk * G;
    nchunks = (groups + per_chunk - 1) / per_chunk;
    const bool ran = rillet::pool::run(job, nchunks, threads);
    return ran && !job.failed.load() ? ERR_OK : ERR_NO_MEMORY;
}

}  // extern "C"
