// libFuzzer harness of the loader of saved streams: zv_stream_load and
// zv_stream_load_set on mutated saved states.
//
// Input: bytes as zv_stream_save / zv_stream_save_set write them; the seeds
// (fuzz/corpus_state, written by fuzz/make_state_corpus.py) are real saved
// states of every function of the catalog, alone and in sets.  Each input
// is loaded twice: as it is, so the frame's own checks run (magic, version,
// length, checksum), and with its head made right again (the length and
// CRC-32 of whatever follows it), so that mutations reach the payload: the
// function, its parameters, the count of streams and every field of every
// state.  A set is loaded with the count it names, tried from 1 to 4.
//
// After a successful load the harness aborts unless
//   - saving gives back exactly the bytes loaded;
//   - every stream takes bars of every kind (NaN, infinities, zeros of both
//     signs, huge values, windows in and out of range) by peek and update,
//     which agree (two NaNs count as equal where the function computes);
//   - a copy taken before the bars gives the same bits as the original;
//   - the stream saves after the bars and loads again to the same bytes
//     (unless the bars took it past the 2^62 bars a saved stream may have,
//     where saving must refuse).
// AddressSanitizer sees every access; the leak checker sees every stream
// not closed; libFuzzer's -malloc_limit_mb sees an allocation the input
// cannot justify (the loader asks for at most about three times its length).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "rillet.h"
#include "stream_bytes.h"

namespace {

using Bytes = std::vector<unsigned char>;
constexpr int kMaxSet = 4;

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "fuzz_stream_load: %s\n", what);
    std::abort();
}

uint64_t bits(double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

bool alike(double a, double b) { return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b)); }

Bytes save_set(zv_stream *const *s, int count) {
    size_t size = 0;
    if (zv_stream_save_set(s, count, nullptr, 0, &size) != ERR_SIZE_DISMATCH) fail("size query");
    Bytes b(size);
    if (zv_stream_save_set(s, count, b.data(), b.size(), &size) != ERR_OK || size != b.size()) {
        fail("save");
    }
    return b;
}

void close_all(zv_stream **s, int count) {
    for (int i = 0; i < count; ++i) zv_stream_close(s[i]);
}

// Bars of every kind: the values, then a window per bar for the _A variants
// (in range, 0, negative, NaN, beyond any max_window).
const double kValues[] = {1.0, NAN, -0.0, INFINITY, -INFINITY, 0.0, 3.5, -2.0, 1e300, 2.0};
const double kWindows[] = {1.0, 3.0, 0.0, -1.0, NAN, 2.5, 1e9, 2.0, 5.0, 1.0};

void exercise(zv_stream **s, int count, const Bytes &loaded) {
    if (save_set(s, count) != loaded) fail("saving a loaded stream gives other bytes");
    for (int i = 0; i < count; ++i) {
        zv_stream *copy = nullptr;
        if (zv_stream_copy(s[i], &copy) != ERR_OK) fail("copy");
        for (int t = 0; t < 10; ++t) {
            const double bar[3] = {kValues[t], kWindows[t], kValues[(t + 3) % 10]};
            double peeked[2] = {-1, -1}, got[2] = {-2, -2}, twin[2] = {-3, -3};
            const int rp = zv_stream_peek(s[i], bar, peeked);
            const int ru = zv_stream_update(s[i], bar, got);
            const int rc = zv_stream_update(copy, bar, twin);
            if (rp != ru || !alike(peeked[0], got[0])) fail("peek and update disagree");
            if (rc != ru || bits(twin[0]) != bits(got[0])) fail("a copy goes another way");
            if (zv_stream_lag(s[i]) > 0 && bits(twin[1]) != bits(got[1])) fail("settled bars");
        }
        zv_stream_close(copy);
    }
    // A stream loaded near the largest bar count it may have saves no more
    // once its bars pass it.
    for (int i = 0; i < count; ++i) {
        if (zv_stream_bars(s[i]) > rillet::stream::kMaxBars) {
            size_t size = 0;
            if (zv_stream_save_set(s, count, nullptr, 0, &size) != ERR_PARAM_WRONG) {
                fail("a stream of too many bars saved");
            }
            return;
        }
    }
    const Bytes after = save_set(s, count);
    zv_stream *again[kMaxSet] = {nullptr};
    if (zv_stream_load_set(after.data(), after.size(), again, count) != ERR_OK) {
        fail("a stream saved after updates does not load");
    }
    if (save_set(again, count) != after) fail("a reloaded stream saves other bytes");
    close_all(again, count);
}

void try_load(const Bytes &b) {
    for (int count = 1; count <= kMaxSet; ++count) {
        zv_stream *s[kMaxSet] = {nullptr};
        const int rc = zv_stream_load_set(b.data(), b.size(), s, count);
        if (rc == ERR_SIZE_DISMATCH) continue;  // a set of another count
        for (int i = 0; i < count; ++i) {
            if ((rc == ERR_OK) != (s[i] != nullptr)) fail("streams left after a refusal");
        }
        if (rc == ERR_OK) {
            exercise(s, count, b);
            close_all(s, count);
        } else if (rc != ERR_STATE_CORRUPT && rc != ERR_STATE_TRUNCATED &&
                   rc != ERR_STATE_VERSION && rc != ERR_NO_MEMORY) {
            fail("an unknown refusal");
        }
        return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const Bytes raw(data, data + size);
    try_load(raw);
    zv_stream *one = nullptr;
    const int rc = zv_stream_load(raw.data(), raw.size(), &one);
    if ((rc == ERR_OK) != (one != nullptr)) fail("a handle left after a refusal");
    zv_stream_close(one);
    if (size >= rillet::stream::kFrameHead) {
        Bytes sealed = raw;
        const uint64_t payload = size - rillet::stream::kFrameHead;
        rillet::stream::put_le(sealed.data() + 8, payload, 8);
        rillet::stream::put_le(sealed.data() + 16,
                               rillet::stream::frame_crc(sealed.data(), payload), 4);
        if (sealed != raw) try_load(sealed);
    }
    return 0;
}
