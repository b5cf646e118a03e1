// Stream handles: the table of the functions (from the registry), opening
// with a history, update, peek, copy, close, and the byte form that saves
// and loads them.  The per-function state, its one-bar step and the fields
// it saves live in the family files (families/*.cpp), beside the
// whole-series functions.
#include "stream.h"

#include <cstdint>
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

// The parameters of a stream of f, checked: ERR_OK, or ERR_PARAM_WRONG for
// a window the function refuses or a negative max_window (a per-bar variant's).
int params_of(const Per &f, const int *params, int nparams, int max_window, Params &p) {
    if (nparams >= 1) p.N = params[0];
    if (nparams >= 2) p.M = params[1];
    if (nparams >= 1 && !accepted(*f.e, p.N)) return ERR_PARAM_WRONG;
    if (f.per_bar) {
        if (max_window < 0) return ERR_PARAM_WRONG;
        p.max_window = max_window;
    }
    return ERR_OK;
}

constexpr size_t align16(size_t n) { return (n + 15) & ~static_cast<size_t>(15); }

}  // namespace

// The handle; the state follows at kHead, its storage after the state.
struct zv_stream {
    const Ops *ops;
    const Entry *entry;  // the function's catalog row
    size_t bytes;        // the whole allocation
    int64_t bars;        // bars taken so far
    int64_t lag;         // bars a value may wait for its final value
    Params params;
    int inputs;          // series per bar
    int nparams;         // integer parameters of the function
};

namespace {

constexpr size_t kHead = align16(sizeof(zv_stream));

inline void *state_of(zv_stream *s) { return reinterpret_cast<char *>(s) + kHead; }
inline const void *state_of(const zv_stream *s) {
    return reinterpret_cast<const char *>(s) + kHead;
}

// A stream of f with parameters p, its state as constructed, no bar taken;
// NULL when the memory cannot be had.
zv_stream *make(const Per &f, const Params &p) {
    const Ops *ops = f.ops;
    const size_t extra = ops->storage(p);
    if (extra > SIZE_MAX - kHead - align16(ops->size)) return nullptr;
    const size_t bytes = kHead + align16(ops->size) + extra;
    auto *s = static_cast<zv_stream *>(std::calloc(1, bytes));
    if (s == nullptr) return nullptr;
    s->ops = ops;
    s->entry = f.e;
    s->bytes = bytes;
    s->bars = 0;
    s->lag = ops->lag(p);
    s->params = p;
    s->inputs = f.series;
    s->nparams = f.ints;
    ops->init(state_of(s), p, reinterpret_cast<char *>(s) + kHead + align16(ops->size));
    return s;
}

// ---- the byte form ---------------------------------------------------------------
//
// The payload of a frame of streams (stream_bytes.h, magic "ZVST"):
//   u8 name length, the function's name (no NUL)
//   u8 count of integer parameters, i32 each
//   i32 max_window (0 but for the per-bar variants)
//   u64 count of streams, then for each: i64 bars taken, its state's fields

void save_payload(const zv_stream *const *streams, int count, Writer &w) {
    const zv_stream *first = streams[0];
    const size_t len = std::strlen(first->entry->name);
    w.u8(len);
    w.bytes(first->entry->name, len);
    w.u8(static_cast<uint64_t>(first->nparams));
    const int32_t params[2] = {first->params.N, first->params.M};
    for (int j = 0; j < first->nparams; ++j) w.u32(static_cast<uint32_t>(params[j]));
    w.u32(static_cast<uint32_t>(first->params.max_window));
    w.u64(static_cast<uint64_t>(count));
    for (int i = 0; i < count; ++i) {
        w.u64(static_cast<uint64_t>(streams[i]->bars));
        w.set_bars(streams[i]->bars);
        first->ops->save(state_of(streams[i]), w);
    }
}

bool same_function(const zv_stream *a, const zv_stream *b) {
    return a->entry == b->entry && a->params.N == b->params.N && a->params.M == b->params.M &&
           a->params.max_window == b->params.max_window;
}

void close_all(zv_stream **streams, int count) {
    for (int i = 0; i < count; ++i) {
        zv_stream_close(streams[i]);
        streams[i] = nullptr;
    }
}

// Loads the payload into count new streams: ERR_OK, ERR_STATE_CORRUPT,
// ERR_SIZE_DISMATCH (another count of streams) or ERR_NO_MEMORY.
int load_payload(Reader &r, zv_stream **streams, int count) {
    uint64_t len = 0, nparams = 0, n = 0, v = 0;
    char name[16] = {0};
    if (!r.u8(len) || len == 0 || len >= sizeof name || !r.bytes(name, len)) {
        return ERR_STATE_CORRUPT;
    }
    if (std::memchr(name, 0, len) != nullptr) return ERR_STATE_CORRUPT;
    const Per f = lookup(name);
    if (f.e == nullptr || !r.u8(nparams) || nparams != static_cast<uint64_t>(f.ints)) {
        return ERR_STATE_CORRUPT;
    }
    int params[2] = {0, 0};
    for (uint64_t j = 0; j < nparams; ++j) {
        if (!r.u32(v)) return ERR_STATE_CORRUPT;
        params[j] = static_cast<int32_t>(static_cast<uint32_t>(v));
    }
    if (!r.u32(v)) return ERR_STATE_CORRUPT;
    const int max_window = static_cast<int32_t>(static_cast<uint32_t>(v));
    Params p;
    if (params_of(f, params, f.ints, max_window, p) != ERR_OK) return ERR_STATE_CORRUPT;
    if (!f.per_bar && max_window != 0) return ERR_STATE_CORRUPT;
    if (!r.u64(n)) return ERR_STATE_CORRUPT;
    if (n != static_cast<uint64_t>(count)) {
        return n <= r.left() / 8 ? ERR_SIZE_DISMATCH : ERR_STATE_CORRUPT;
    }
    // Each stream's state saves at least a third of its storage (a ring
    // saves each value once and stores it twice, MEDIAN keeps its window
    // sorted beside it), so no allocation is asked for that the bytes at
    // hand cannot fill.
    const uint64_t storage = f.ops->storage(p);
    if (n > r.left() / 8 || storage / 3 > r.left() / n) return ERR_STATE_CORRUPT;
    for (int i = 0; i < count; ++i) {
        int64_t bars = 0;
        if (!r.i64(bars, 0, kMaxBars)) return ERR_STATE_CORRUPT;
        zv_stream *s = make(f, p);
        if (s == nullptr) return ERR_NO_MEMORY;
        streams[i] = s;
        s->bars = bars;
        r.set_bars(bars);
        if (!f.ops->load(state_of(s), r)) return ERR_STATE_CORRUPT;
    }
    return r.left() == 0 ? ERR_OK : ERR_STATE_CORRUPT;
}

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
    const int rc = params_of(f, params, nparams, max_window, p);
    if (rc != ERR_OK) return rc;
    zv_stream *s = make(f, p);
    if (s == nullptr) return ERR_NO_MEMORY;
    const Ops *ops = f.ops;

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

const char *zv_stream_info(const zv_stream *stream, int *params, int *nparams, int *max_window) {
    if (params) {
        if (stream->nparams >= 1) params[0] = stream->params.N;
        if (stream->nparams >= 2) params[1] = stream->params.M;
    }
    if (nparams) *nparams = stream->nparams;
    if (max_window) *max_window = stream->params.max_window;
    return stream->entry->name;
}

int zv_stream_save_set(const zv_stream *const *streams, int count, void *buf, size_t cap,
                       size_t *size) {
    if (size) *size = 0;
    if (streams == nullptr || count < 1 || size == nullptr) return ERR_PARAM_WRONG;
    for (int i = 0; i < count; ++i) {
        if (streams[i] == nullptr || !same_function(streams[0], streams[i]) ||
            streams[i]->bars > kMaxBars) {
            return ERR_PARAM_WRONG;
        }
    }
    Writer measure(nullptr, 0);
    save_payload(streams, count, measure);
    *size = kFrameHead + measure.size();
    if (buf == nullptr || cap < *size) return ERR_SIZE_DISMATCH;
    auto *frame = static_cast<unsigned char *>(buf);
    Writer w(frame + kFrameHead, measure.size());
    save_payload(streams, count, w);
    seal(frame, kStreamMagic, w.size());
    return ERR_OK;
}

int zv_stream_save(const zv_stream *stream, void *buf, size_t cap, size_t *size) {
    return zv_stream_save_set(&stream, 1, buf, cap, size);
}

int zv_stream_load_set(const void *buf, size_t size, zv_stream **streams, int count) {
    if (streams == nullptr || count < 1) return ERR_PARAM_WRONG;
    for (int i = 0; i < count; ++i) streams[i] = nullptr;
    const unsigned char *payload = nullptr;
    uint64_t length = 0;
    int rc = unseal(static_cast<const unsigned char *>(buf), size, kStreamMagic, &payload, &length);
    if (rc != ERR_OK) return rc;
    Reader r(payload, length);
    rc = load_payload(r, streams, count);
    if (rc != ERR_OK) close_all(streams, count);
    return rc;
}

int zv_stream_load(const void *buf, size_t size, zv_stream **stream) {
    if (stream == nullptr) return ERR_PARAM_WRONG;
    return zv_stream_load_set(buf, size, stream, 1);
}

}  // extern "C"
