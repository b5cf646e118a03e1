// Stream handles: the table of the 31 functions (from the catalog), opening
// with a history, update, peek, copy and close.  The per-function state and
// its one-bar step live in the stream_<family>.cpp sources.
#include "stream.h"

#include <cstdlib>
#include <cstring>

using namespace rillet;
using namespace rillet::stream;

namespace {

// Each function's stream, in the order of the catalog.
#define RILLET_STREAM_OPS(NAME, ...) &ops_##NAME,
const Ops *const kOps[] = {RILLET_CATALOG(RILLET_STREAM_OPS)};
#undef RILLET_STREAM_OPS
static_assert(sizeof kOps / sizeof kOps[0] == kCatalogSize, "one stream per function");

// What a function takes per bar, from its catalog row.
struct Per {
    const Entry *e = nullptr;
    const Ops *ops = nullptr;
    int series = 0, ints = 0;
    bool per_bar = false;  // the _A variants: a window series, max_window bars kept
};

Per lookup(const char *name) {
    Per p;
    if (name == nullptr || (p.e = rillet::find(name)) == nullptr) return p;
    p.ops = kOps[p.e - kCatalog];
    const Shape sh = shape_of(p.e->form);
    for (int j = 0; j < sh.nargs; ++j) (sh.kinds[j] == Kind::Int ? p.ints : p.series) += 1;
    const size_t len = std::strlen(name);
    p.per_bar = len > 2 && name[len - 2] == '_' && name[len - 1] == 'A';
    return p;
}

// A window the function accepts: from its least window on (any int for
// REF and REFXV, whose rule is None).
bool accepted(const Entry &e, int N) {
    return e.param == Param::None || N >= min_window(e.param);
}

constexpr size_t align16(size_t n) { return (n + 15) & ~static_cast<size_t>(15); }

}  // namespace

// The handle; the state follows at kHead, its storage after the state.
struct zv_stream {
    const Ops *ops;
    size_t bytes;   // the whole allocation
    int64_t bars;   // bars taken so far
    int64_t lag;    // bars a value may wait for its final value
    int inputs;     // series per bar
};

namespace {

constexpr size_t kHead = align16(sizeof(zv_stream));

inline void *state_of(zv_stream *s) { return reinterpret_cast<char *>(s) + kHead; }

}  // namespace

extern "C" {

int zv_stream_shape(const char *name, int *inputs, int *params) {
    const Per p = lookup(name);
    if (p.e == nullptr) return ERR_PARAM_WRONG;
    if (inputs) *inputs = p.series;
    if (params) *params = p.ints;
    return ERR_OK;
}

int zv_stream_open(zv_stream **stream, const char *name, const int *params, int nparams,
                   int max_window, const num_t *const *history, int size, num_t *out) {
    if (stream == nullptr) return ERR_PARAM_WRONG;
    *stream = nullptr;
    const Per f = lookup(name);
    if (f.e == nullptr || nparams != f.ints || (nparams > 0 && params == nullptr)) {
        return ERR_PARAM_WRONG;
    }
    if (size < 0 || (size > 0 && (history == nullptr || out == nullptr))) return ERR_SIZE_DISMATCH;
    for (int j = 0; j < f.series && size > 0; ++j) {
        if (history[j] == nullptr) return ERR_SIZE_DISMATCH;
    }
    Params p;
    if (nparams >= 1) p.N = params[0];
    if (nparams >= 2) p.M = params[1];
    if (nparams >= 1 && !accepted(*f.e, p.N)) return ERR_PARAM_WRONG;
    if (f.per_bar) {
        if (max_window < 0) return ERR_PARAM_WRONG;
        p.max_window = max_window;
    }

    const Ops *ops = f.ops;
    const size_t extra = ops->storage(p);
    const size_t bytes = kHead + align16(ops->size) + extra;
    auto *s = static_cast<zv_stream *>(std::calloc(1, bytes));
    if (s == nullptr) return ERR_NO_MEMORY;
    s->ops = ops;
    s->bytes = bytes;
    s->bars = 0;
    s->lag = ops->lag(p);
    s->inputs = f.series;
    ops->init(state_of(s), p, reinterpret_cast<char *>(s) + kHead + align16(ops->size));

    // The history, bar by bar through the same step: its results are the
    // whole-series results, and a look-ahead stream settles earlier bars.
    num_t in[3], o[2];
    for (int t = 0; t < size; ++t) {
        for (int j = 0; j < s->inputs; ++j) in[j] = history[j][t];
        ops->update(state_of(s), t, in, o);
        out[t] = o[0];
        if (s->lag > 0 && t >= s->lag) out[t - s->lag] = o[1];
    }
    // Only a per-bar window refuses a bar, one reaching further back than
    // the stream keeps bars; over the history every bar is at hand, so its
    // results are those of the whole-series function.
    if (f.per_bar && size > 0) f.e->fn.series2(0, history[0], size, history[1], size, out, size);
    s->bars = size;
    *stream = s;
    return ERR_OK;
}

int zv_stream_update(zv_stream *stream, const num_t *bar, num_t *out) {
    const int rc = stream->ops->update(state_of(stream), stream->bars, bar, out);
    ++stream->bars;
    return rc;
}

int zv_stream_peek(zv_stream *stream, const num_t *bar, num_t *out) {
    return stream->ops->peek(state_of(stream), stream->bars, bar, out);
}

int zv_stream_copy(const zv_stream *stream, zv_stream **copy) {
    if (copy == nullptr) return ERR_PARAM_WRONG;
    *copy = nullptr;
    if (stream == nullptr) return ERR_PARAM_WRONG;
    auto *s = static_cast<zv_stream *>(std::malloc(stream->bytes));
    if (s == nullptr) return ERR_NO_MEMORY;
    std::memcpy(static_cast<void *>(s), stream, stream->bytes);
    *copy = s;
    return ERR_OK;
}

void zv_stream_close(zv_stream *stream) { std::free(stream); }

int64_t zv_stream_bars(const zv_stream *stream) { return stream->bars; }

int64_t zv_stream_lag(const zv_stream *stream) { return stream->lag; }

}  // extern "C"
