// The byte form of saved streams: the frame around it, the checksum, and the
// writer and reader the stream states describe themselves with.
//
// A frame is a 20-byte head and a payload, every number little-endian:
//   [0..3]    magic: "ZVST" for the core's streams (stream.cpp), "ZVGR" for
//             the stream extension's graphs of them
//   [4..5]    format version (kFormatVersion)
//   [6..7]    0
//   [8..15]   payload length in bytes
//   [16..19]  CRC-32 (IEEE, as zlib's crc32) of bytes 4..15 and the payload
// followed by exactly that many payload bytes.  The version is read before
// anything else is trusted, so bytes of another format are told apart from
// damaged ones.  Any change to what a state saves, or to the order it saves
// it in, needs a new version.
#pragma once

#include "../rillet.h"
#include "series.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace rillet {
namespace stream {

inline constexpr uint16_t kFormatVersion = 1;
inline constexpr size_t kFrameHead = 20;
inline constexpr char kStreamMagic[4] = {'Z', 'V', 'S', 'T'};
inline constexpr char kGraphMagic[4] = {'Z', 'V', 'G', 'R'};
// Bars a saved stream may have taken: far beyond any series, low enough
// that no count derived from it overflows.
inline constexpr int64_t kMaxBars = int64_t{1} << 62;

// ---- CRC-32 ------------------------------------------------------------------

struct Crc32Table {
    uint32_t t[256];
    constexpr Crc32Table() : t{} {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
    }
};
inline constexpr Crc32Table kCrc32{};

// The running CRC-32 of crc's bytes followed by p[0..n-1] (crc 0 to start).
inline uint32_t crc32(uint32_t crc, const unsigned char *p, size_t n) {
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) crc = kCrc32.t[(crc ^ p[i]) & 0xFFu] ^ (crc >> 8);
    return ~crc;
}

// ---- little-endian numbers ---------------------------------------------------

inline void put_le(unsigned char *p, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline uint64_t get_le(const unsigned char *p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return v;
}

inline uint64_t bits_of(num_t v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}
inline num_t num_of(uint64_t b) {
    num_t v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

// ---- frames ------------------------------------------------------------------

// The checksum of a frame whose head and payload are in place.
inline uint32_t frame_crc(const unsigned char *frame, uint64_t payload) {
    return crc32(crc32(0, frame + 4, 12), frame + kFrameHead, static_cast<size_t>(payload));
}

// Writes the head of a frame whose `payload` bytes already follow it.
inline void seal(unsigned char *frame, const char magic[4], uint64_t payload) {
    std::memcpy(frame, magic, 4);
    put_le(frame + 4, kFormatVersion, 2);
    put_le(frame + 6, 0, 2);
    put_le(frame + 8, payload, 8);
    put_le(frame + 16, frame_crc(frame, payload), 4);
}

// What unseal found, for the messages of the layers above.
struct FrameInfo {
    bool magic_ok = false;     // the first bytes are (a prefix of) the magic
    uint16_t version = 0;      // the format version, once its bytes are there
    uint64_t needed = 0;       // the frame's whole length, once its head is there
};

// Checks the frame in bytes[0..size-1]: ERR_OK with the payload, or
//   ERR_STATE_TRUNCATED  the bytes stop before the frame's end (they are a
//                        prefix of a frame with this magic)
//   ERR_STATE_VERSION    a frame of another format version
//   ERR_STATE_CORRUPT    another magic, bytes after the frame's end, a
//                        non-zero reserved field or a checksum that differs.
inline int unseal(const unsigned char *bytes, size_t size, const char magic[4],
                  const unsigned char **payload, uint64_t *length, FrameInfo *info = nullptr) {
    FrameInfo local;
    FrameInfo &fi = info ? *info : local;
    fi = FrameInfo{};
    const size_t m = size < 4 ? size : 4;
    if (bytes == nullptr && size > 0) return ERR_STATE_CORRUPT;
    if (m > 0 && std::memcmp(bytes, magic, m) != 0) return ERR_STATE_CORRUPT;
    fi.magic_ok = true;
    if (size < 6) return ERR_STATE_TRUNCATED;
    fi.version = static_cast<uint16_t>(get_le(bytes + 4, 2));
    if (fi.version != kFormatVersion) return ERR_STATE_VERSION;
    if (size < kFrameHead) return ERR_STATE_TRUNCATED;
    const uint64_t len = get_le(bytes + 8, 8);
    if (len > UINT64_MAX - kFrameHead) return ERR_STATE_CORRUPT;
    fi.needed = len + kFrameHead;
    if (size < fi.needed) return ERR_STATE_TRUNCATED;
    if (size > fi.needed || get_le(bytes + 6, 2) != 0) return ERR_STATE_CORRUPT;
    if (get_le(bytes + 16, 4) != frame_crc(bytes, len)) return ERR_STATE_CORRUPT;
    *payload = bytes + kFrameHead;
    *length = len;
    return ERR_OK;
}

// ---- the writer and the reader -------------------------------------------------
//
// A stream state describes its variable fields once, in a member
//     template <class V> bool io(V &v)
// that calls v.num, v.flag, v.i64, v.i32 on each field in order and v.check
// on what must hold between them; the Writer saves the fields, the Reader
// loads them and refuses values the state cannot have (V::kLoad tells which
// one runs).  Parameters and whatever follows from them are not saved: the
// state is constructed from its parameters first and io fills in the rest.

// Appends to buf[0..cap-1]; with buf NULL it only counts the bytes.
class Writer {
  public:
    static constexpr bool kLoad = false;
    Writer(unsigned char *buf, size_t cap) : buf_(buf), cap_(cap) {}

    void bytes(const void *p, size_t n) {
        if (buf_ != nullptr && n <= cap_ && size_ <= cap_ - n) std::memcpy(buf_ + size_, p, n);
        size_ += n;
    }
    void u8(uint64_t v) { le(v, 1); }
    void u32(uint64_t v) { le(v, 4); }
    void u64(uint64_t v) { le(v, 8); }

    bool num(const num_t &x) {
        u64(bits_of(x));
        return true;
    }
    bool flag(const bool &b) {
        u8(b ? 1 : 0);
        return true;
    }
    bool i64(const int64_t &x, int64_t, int64_t) {
        u64(static_cast<uint64_t>(x));
        return true;
    }
    bool i32(const int32_t &x) {
        u32(static_cast<uint32_t>(x));
        return true;
    }
    bool check(bool) { return true; }

    size_t size() const { return size_; }
    int64_t bars() const { return bars_; }
    void set_bars(int64_t b) { bars_ = b; }

  private:
    void le(uint64_t v, int n) {
        unsigned char b[8];
        put_le(b, v, n);
        bytes(b, static_cast<size_t>(n));
    }
    unsigned char *buf_;
    size_t cap_;
    size_t size_ = 0;
    int64_t bars_ = 0;
};

// Reads p[0..n-1]; every read is checked against what is left, and a value
// out of its range or a failed check marks the bytes bad.
class Reader {
  public:
    static constexpr bool kLoad = true;
    Reader(const unsigned char *p, uint64_t n) : p_(p), left_(n) {}

    bool bytes(void *out, uint64_t n) {
        if (n > left_) return fail();
        if (n > 0) std::memcpy(out, p_, static_cast<size_t>(n));
        skip(n);
        return true;
    }
    bool skip(uint64_t n) {
        if (n > left_) return fail();
        p_ += n;
        left_ -= n;
        return true;
    }
    bool u8(uint64_t &v) { return le(v, 1); }
    bool u32(uint64_t &v) { return le(v, 4); }
    bool u64(uint64_t &v) { return le(v, 8); }

    bool num(num_t &x) {
        uint64_t b;
        if (!u64(b)) return false;
        x = num_of(b);
        return true;
    }
    bool flag(bool &x) {
        uint64_t b;
        if (!u8(b) || !check(b <= 1)) return false;
        x = b == 1;
        return true;
    }
    bool i64(int64_t &x, int64_t lo, int64_t hi) {
        uint64_t b;
        if (!u64(b)) return false;
        const int64_t v = static_cast<int64_t>(b);
        if (!check(v >= lo && v <= hi)) return false;
        x = v;
        return true;
    }
    bool i32(int32_t &x) {
        uint64_t b;
        if (!u32(b)) return false;
        x = static_cast<int32_t>(static_cast<uint32_t>(b));
        return true;
    }
    bool check(bool ok) { return ok || fail(); }

    const unsigned char *here() const { return p_; }
    uint64_t left() const { return left_; }
    bool ok() const { return ok_; }
    int64_t bars() const { return bars_; }
    void set_bars(int64_t b) { bars_ = b; }

  private:
    bool le(uint64_t &v, int n) {
        if (left_ < static_cast<uint64_t>(n)) return fail();
        v = get_le(p_, n);
        skip(static_cast<uint64_t>(n));
        return true;
    }
    bool fail() {
        ok_ = false;
        return false;
    }
    const unsigned char *p_;
    uint64_t left_;
    bool ok_ = true;
    int64_t bars_ = 0;
};

}  // namespace stream
}  // namespace rillet
