// Panels: one series function over many lanes.
//
// This is the straightforward engine: lanes one after another on the calling
// thread, each through the one-series function.  Lanes that are contiguous
// along time are handed over in place; any other lane is gathered into a
// contiguous copy first and its result scattered back.
#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "catalog.h"
#include "../rillet.h"

namespace {

std::atomic<int> g_threads{-1};

int default_threads() {
    if (const char *env = std::getenv("ZELVO_THREADS")) {
        char *end = nullptr;
        const long n = std::strtol(env, &end, 10);
        if (end != env && *end == 0 && n >= 1 && n <= 1024) return static_cast<int>(n);
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return hw ? static_cast<int>(hw) : 1;
}

template <class T>
void gather(const T *src, ptrdiff_t stride, int bars, std::vector<T> &dst) {
    dst.resize(static_cast<size_t>(bars));
    for (int i = 0; i < bars; ++i) dst[i] = src[i * stride];
}

}  // namespace

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

int zv_panel(const char *name, int lanes, int bars, const zv_lanes *inputs, const int *params,
             num_t *R, ptrdiff_t r_lane_stride, ptrdiff_t r_bar_stride, int threads) {
    const rillet::Entry *e = name ? rillet::find(name) : nullptr;
    if (!e || lanes < 0 || bars < 0 || threads < 0) return ERR_PARAM_WRONG;
    const rillet::Shape sh = rillet::shape_of(e->form);
    rillet::Args args;
    int nint = 0;
    for (int i = 0; i < sh.nargs; ++i) {
        if (sh.kinds[i] != rillet::Kind::Int) continue;
        args.ints[i] = params[nint++];
        if (e->param != rillet::Param::None && args.ints[i] < rillet::min_window(e->param) &&
            nint == 1)
            return ERR_PARAM_WRONG;
    }
    std::vector<num_t> nums[3], out;
    std::vector<unsigned char> bytes[3];
    int nser = 0;
    for (int k = 0; k < lanes; ++k) {
        nser = 0;
        for (int i = 0; i < sh.nargs; ++i) {
            if (sh.kinds[i] == rillet::Kind::Int) continue;
            const zv_lanes &in = inputs[nser++];
            args.sizes[i] = bars;
            if (sh.kinds[i] == rillet::Kind::Cond) {
                const auto *p = static_cast<const unsigned char *>(in.data) + k * in.lane_stride;
                if (in.bar_stride == 1) {
                    args.series[i] = p;
                } else {
                    gather(p, in.bar_stride, bars, bytes[i]);
                    args.series[i] = bytes[i].data();
                }
            } else {
                const auto *p = static_cast<const num_t *>(in.data) + k * in.lane_stride;
                if (in.bar_stride == 1) {
                    args.series[i] = p;
                } else {
                    gather(p, in.bar_stride, bars, nums[i]);
                    args.series[i] = nums[i].data();
                }
            }
        }
        num_t *r = R + k * r_lane_stride;
        if (r_bar_stride == 1) {
            rillet::invoke(*e, 0, args, r, bars);
        } else {
            // Unwritten bars keep what R held, as with a one-series call.
            gather<num_t>(r, r_bar_stride, bars, out);
            rillet::invoke(*e, 0, args, out.data(), bars);
            for (int i = 0; i < bars; ++i) r[i * r_bar_stride] = out[i];
        }
    }
    return ERR_OK;
}

}  // extern "C"
