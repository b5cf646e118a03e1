// Segments: one series function over consecutive stretches of one column,
// on the library's threads.
//
// A long frame holds every instrument's bars one after another, each
// instrument as long as it is: segment s is [offsets[s], offsets[s+1]).
// Each segment runs through the one-series function in place, so its result
// is bit for bit what that function gives on the segment alone.  The
// segments are cut into chunks of about equal numbers of bars (a segment
// belongs to the chunk its first bar falls in), which the calling thread and
// the pool's workers take until none is left; small calls stay on the
// calling thread, by the panel engine's rule.
#include <algorithm>
#include <atomic>
#include <climits>

#include "catalog.h"
#include "pool.h"
#include "../rillet.h"

namespace {

using rillet::pool::Local;

struct Segments final : rillet::pool::Job {
    const rillet::Entry *e = nullptr;
    rillet::Args proto;
    int nin = 0;
    int pos[3] = {0, 0, 0};
    bool cond[3] = {false, false, false};
    const void *const *inputs = nullptr;
    const int64_t *offsets = nullptr;
    int nseg = 0;
    int nchunks = 1;
    num_t *R = nullptr;
    // A segment's function refused (only its own scratch memory can fail:
    // the arguments were checked before any segment ran).
    std::atomic<bool> failed{false};

    // The first segment of chunk c: the first one that starts at or after
    // the chunk's share of the bars.
    int first_of(int c) const {
        if (c <= 0) return 0;
        if (c >= nchunks) return nseg;
        const int64_t lo = offsets[0], total = offsets[nseg] - lo;
        const int64_t at = lo + static_cast<int64_t>(static_cast<double>(total) * c / nchunks);
        return static_cast<int>(std::lower_bound(offsets, offsets + nseg, at) - offsets);
    }

    void chunk(int c, Local &) override {
        rillet::Args args = proto;
        const int s1 = first_of(c + 1);
        for (int s = first_of(c); s < s1; ++s) {
            const int64_t from = offsets[s];
            const int n = static_cast<int>(offsets[s + 1] - from);
            if (n == 0) continue;
            for (int i = 0; i < nin; ++i) {
                args.sizes[pos[i]] = n;
                args.series[pos[i]] =
                    cond[i] ? static_cast<const void *>(
                                  static_cast<const unsigned char *>(inputs[i]) + from)
                            : static_cast<const num_t *>(inputs[i]) + from;
            }
            if (rillet::invoke(*e, 0, args, R + from, n) != ERR_OK)
                failed.store(true, std::memory_order_relaxed);
        }
    }
};

}  // namespace

extern "C" {

int zv_segments(const char *name, int nseg, const int64_t *offsets, const void *const *inputs,
                const int *params, num_t *R, int threads) {
    const rillet::Entry *e = name ? rillet::find(name) : nullptr;
    if (!e || nseg < 0 || threads < 0) return ERR_PARAM_WRONG;
    Segments job;
    job.e = e;
    if (!rillet::bind_ints(*e, params, job.proto, job.pos, job.nin)) return ERR_PARAM_WRONG;
    if (nseg == 0) return ERR_OK;
    if (!offsets || offsets[0] < 0) return ERR_PARAM_WRONG;
    for (int s = 0; s < nseg; ++s) {
        const int64_t n = offsets[s + 1] - offsets[s];
        if (offsets[s + 1] < offsets[s] || n > INT_MAX) return ERR_PARAM_WRONG;
    }
    const int64_t total = offsets[nseg] - offsets[0];
    if (total == 0) return ERR_OK;
    if (!R || (job.nin && !inputs)) return ERR_PARAM_WRONG;
    const rillet::Shape sh = rillet::shape_of(e->form);
    for (int i = 0; i < job.nin; ++i) {
        if (!inputs[i]) return ERR_PARAM_WRONG;
        job.cond[i] = sh.kinds[job.pos[i]] == rillet::Kind::Cond;
    }
    job.inputs = inputs;
    job.offsets = offsets;
    job.nseg = nseg;
    job.R = R;

    if (threads == 0) threads = zv_get_threads();
    if (threads > 1024) threads = 1024;
    if (threads > 1 && total >= rillet::pool::min_parallel()) {
        // A few chunks per thread even out threads that get less of the CPU.
        job.nchunks = nseg < threads * 4 ? nseg : threads * 4;
    } else {
        threads = 1;
    }
    const bool ran = rillet::pool::run(job, job.nchunks, threads);
    return ran && !job.failed.load() ? ERR_OK : ERR_NO_MEMORY;
}

}  // extern "C"
