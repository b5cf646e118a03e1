// Streams against the whole-series functions, bit for bit.
//
// For every function of the catalog, windows of every class and random
// hostile series (NaN runs, +-inf, +-0.0, ties, huge values), a stream is
// opened on the prefixes {warm-up + 1, warm-up + 13, half, all but one} and
// fed the rest.  Checked with memcmp:
//   * the history results written at open equal the function over the prefix;
//   * every update equals the function over the bars so far, at the new bar;
//   * peek equals the update that follows it, and leaves the stream unchanged;
//   (where two NaNs meet in a computing function, any NaN payload will do);
//   * a copy taken midway continues exactly as the original;
//   * a stream saved and loaded again before every bar continues exactly as
//     the original, and saving what was loaded gives the same bytes;
//   * look-ahead streams settle each bar once, to the whole-series value.
// And the byte form refuses what it must: every truncation, every flipped
// bit, another version, a frame of another count, a buffer too small.
// Prints the number of comparisons and failures; exits 1 on any failure.
//
// Usage: stream_exact [seeds]   (default 12)
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "rillet.h"
#include "src/catalog.h"

namespace {

using Series = std::vector<double>;
constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

long g_checks = 0, g_failures = 0;

uint64_t bits(double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

void check(bool ok, const std::string &what) {
    ++g_checks;
    if (ok) return;
    if (++g_failures <= 25) std::printf("FAIL %s\n", what.c_str());
}

bool same(double a, double b) { return bits(a) == bits(b); }

using Bytes = std::vector<unsigned char>;

Bytes save(const zv_stream *s) {
    size_t size = 0;
    if (zv_stream_save(s, nullptr, 0, &size) != ERR_SIZE_DISMATCH) return {};
    Bytes b(size);
    if (zv_stream_save(s, b.data(), b.size(), &size) != ERR_OK || size != b.size()) return {};
    return b;
}

// The stream saved and loaded back; the loaded one must save to the same
// bytes.  NULL (after a failed check) when that fails.
zv_stream *reload(const zv_stream *s, const std::string &where) {
    const Bytes b = save(s);
    zv_stream *r = nullptr;
    const int rc = b.empty() ? -1 : zv_stream_load(b.data(), b.size(), &r);
    check(rc == ERR_OK && r != nullptr, where + ": load of saved bytes, code " + std::to_string(rc));
    if (r == nullptr) return nullptr;
    check(save(r) == b, where + ": saving the loaded stream gives other bytes");
    check(zv_stream_bars(r) == zv_stream_bars(s) && zv_stream_lag(r) == zv_stream_lag(s),
          where + ": bars or lag after loading");
    return r;
}

// Where two NaNs meet in one operation, which payload survives is not part
// of the contract (a compiler may swap the operands of an addition), so for
// the functions that compute, two NaNs count as equal; the functions that
// copy values (and the counts) are compared bit for bit, payloads included.
bool computes(const char *name) {
    static const char *const names[] = {"MA",  "MA_A", "EMA",    "SMA",  "WMA",    "DMA",  "SUM",
                                        "SUM_A", "STD", "STDDEV", "STDP", "AVEDEV", "SLOPE"};
    for (const char *n : names) {
        if (std::strcmp(n, name) == 0) return true;
    }
    return false;
}

bool alike(bool computed, double a, double b) {
    return same(a, b) || (computed && std::isnan(a) && std::isnan(b));
}

std::string hex(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g(0x%016llx)", v, static_cast<unsigned long long>(bits(v)));
    return buf;
}

// ---- hostile series ----------------------------------------------------------

struct Gen {
    std::mt19937_64 rng;
    explicit Gen(uint64_t seed) : rng(seed) {}
    double uniform() { return std::uniform_real_distribution<double>(0.0, 1.0)(rng); }
    int below(int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); }

    // The quiet NaN mostly; now and then one with a payload, a negative one
    // or a signalling one.
    double nan_of_some_kind() {
        static const uint64_t kinds[] = {0x7FF8000000000000ULL, 0x7FF8DEADBEEF0001ULL,
                                         0xFFF8000000000000ULL, 0x7FF0000000000001ULL};
        const uint64_t b = kinds[below(8) < 5 ? 0 : below(4)];
        double v;
        std::memcpy(&v, &b, sizeof v);
        return v;
    }

    // A price-like walk with leading NaN bars, NaN runs, infinities, zeros of
    // both signs, repeated values and the odd huge value.
    Series values(int n) {
        Series x(n);
        const int lead = below(4) == 0 ? below(6) : 0;
        const bool coarse = below(3) == 0;  // small integers: many ties
        double level = coarse ? 0.0 : 10.0 * uniform() - 5.0;
        int nan_run = 0;
        for (int i = 0; i < n; ++i) {
            if (i < lead || nan_run > 0) {
                x[i] = nan_of_some_kind();
                if (nan_run > 0) --nan_run;
                continue;
            }
            const double u = uniform();
            if (u < 0.03) {
                nan_run = below(5);
                x[i] = nan_of_some_kind();
            } else if (u < 0.045) {
                x[i] = kInf;
            } else if (u < 0.06) {
                x[i] = -kInf;
            } else if (u < 0.10) {
                x[i] = 0.0;
            } else if (u < 0.14) {
                x[i] = -0.0;
            } else if (u < 0.20 && i > 0) {
                x[i] = x[i - 1];
            } else if (u < 0.205) {
                x[i] = (below(2) ? 1 : -1) * 1e300;
            } else {
                level += coarse ? static_cast<double>(below(5) - 2) : uniform() - 0.5;
                x[i] = level;
            }
        }
        // Some series are nearly clean, so the running sums live longer.
        if (below(3) == 0) {
            for (double &v : x) {
                if (!std::isnan(v) && std::isinf(v)) v = 1.0;
            }
        }
        return x;
    }

    // Condition bytes (0, 1, 2, 255) handed to the streams as doubles.
    Series condition(int n) {
        Series c(n);
        const double p = uniform();
        for (double &v : c) v = uniform() < p ? (below(4) == 0 ? 255.0 : 1.0 + below(2)) : 0.0;
        return c;
    }

    // Per-bar windows that the stream can serve with max_window: within it,
    // or reaching past bar 0 (n and beyond), or negative, fractional, NaN.
    Series windows(int n, int max_window) {
        Series w(n);
        for (double &v : w) {
            const int u = below(12);
            if (u == 0) {
                v = kNaN;
            } else if (u == 1) {
                v = -1.0 - below(3);
            } else if (u == 2) {
                v = -0.5;
            } else if (u == 3) {
                v = 0.0;
            } else if (u == 4) {
                v = n + below(5) + 0.5;
            } else if (u == 5) {
                v = 3e9;
            } else {
                v = below(max_window + 1) + (below(2) ? 0.9 : 0.0);
            }
        }
        return w;
    }

    // Smoothing factors: mostly in 0..1, some outside, some NaN.
    Series factors(int n) {
        Series a(n);
        for (double &v : a) {
            const int u = below(20);
            v = u == 0 ? kNaN : u == 1 ? 1.5 : u == 2 ? -0.25 : uniform();
        }
        return a;
    }
};

// ---- the whole-series functions, called through their shapes -----------------

struct Fn {
    const rillet::Entry *e;
    const char *name;
    int series, ints;
    bool cond_first;
    bool any_window;  // REF and REFXV take any int
    int min_window;
    char kind;        // 'w' one window, 's' SMA, 'c' condition, 'f' FIF, '3' REFIF, '2' two series, 'p' plain
};

std::vector<Fn> functions() {
    std::vector<Fn> out;
    for (const rillet::Entry &e : rillet::kCatalog) {
        const rillet::Shape sh = rillet::shape_of(e.form);
        Fn f{&e, e.name, 0, 0, sh.kinds[0] == rillet::Kind::Cond, e.param == rillet::Param::None,
             rillet::min_window(e.param), 'p'};
        for (int j = 0; j < sh.nargs; ++j) (sh.kinds[j] == rillet::Kind::Int ? f.ints : f.series) += 1;
        switch (e.form) {
            case rillet::Form::Window: f.kind = 'w'; break;
            case rillet::Form::Sma: f.kind = 's'; break;
            case rillet::Form::Cond: f.kind = 'c'; break;
            case rillet::Form::Fif: f.kind = 'f'; break;
            case rillet::Form::Refif: f.kind = '3'; break;
            case rillet::Form::Series2: f.kind = '2'; break;
            case rillet::Form::Plain: f.kind = 'p'; break;
        }
        out.push_back(f);
    }
    return out;
}

// The function over the first n bars of the inputs (condition inputs as the
// bytes they stand for); CROSS's untouched bar 0 is 0.0 as in the module's
// zero-filled results.
Series batch(const Fn &f, const std::vector<Series> &in, int N, int M, int n) {
    Series r(n > 0 ? n : 1, 0.0);
    std::vector<unsigned char> bytes(n > 0 ? n : 1);
    rillet::Args a;
    for (int j = 0; j < f.series; ++j) {
        a.series[j] = in[j].data();
        a.sizes[j] = n;
    }
    if (f.cond_first) {
        for (int i = 0; i < n; ++i) bytes[i] = static_cast<unsigned char>(in[0][i]);
        a.series[0] = bytes.data();
    }
    a.ints[1] = N;
    a.ints[2] = M;
    const int rc = rillet::invoke(*f.e, 0, a, r.data(), n);
    check(rc == ERR_OK, std::string(f.name) + ": whole-series call refused");
    r.resize(n);
    return r;
}

// ---- one configuration ---------------------------------------------------------

struct Config {
    const Fn *f;
    int N, M, max_window;
    std::vector<Series> in;
    int n;
};

std::string label(const Config &c, int prefix, int t) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "%s N=%d M=%d max_window=%d n=%d prefix=%d bar=%d", c.f->name,
                  c.N, c.M, c.max_window, c.n, prefix, t);
    return buf;
}

bool per_bar(const Fn &f) { return std::strlen(f.name) > 2 && std::strcmp(f.name + std::strlen(f.name) - 2, "_A") == 0; }

void run_prefix(const Config &c, int prefix, const Series &whole) {
    const Fn &f = *c.f;
    const int params[2] = {c.N, c.M};
    std::vector<const double *> hist;
    for (const Series &s : c.in) hist.push_back(s.data());
    Series out(prefix > 0 ? prefix : 1, -777.0);
    zv_stream *s = nullptr;
    int rc = zv_stream_open(&s, f.name, params, f.ints, c.max_window, hist.data(), prefix,
                            out.data());
    check(rc == ERR_OK && s != nullptr, label(c, prefix, -1) + ": open refused");
    if (s == nullptr) return;
    const int64_t lag = zv_stream_lag(s);
    check(zv_stream_bars(s) == prefix, label(c, prefix, -1) + ": bar count after open");

    // History results: the function over the prefix itself.
    const Series head = batch(f, c.in, c.N, c.M, prefix);
    const bool computed = computes(f.name);
    for (int i = 0; i < prefix; ++i) {
        check(alike(computed, out[i], head[i]),
              label(c, prefix, i) + ": history " + hex(out[i]) + " expected " + hex(head[i]));
    }

    // Settled values of the whole series, assembled as the stream gives them.
    Series settled(whole.size(), -777.0);
    for (int i = 0; i < prefix; ++i) settled[i] = out[i];

    zv_stream *twin = nullptr;
    zv_stream *restored = reload(s, label(c, prefix, -1) + ": restored");
    const int split = prefix + (c.n - prefix) / 2;
    double bar[3];
    for (int t = prefix; t < c.n; ++t) {
        for (size_t j = 0; j < c.in.size(); ++j) bar[j] = c.in[j][t];
        if (t == split) {
            check(zv_stream_copy(s, &twin) == ERR_OK && twin != nullptr, label(c, prefix, t) + ": copy");
        }
        double peeked[2] = {-1.0, -1.0}, peeked2[2] = {-2.0, -2.0}, got[2] = {-3.0, -3.0};
        const int rp = zv_stream_peek(s, bar, peeked);
        const int rp2 = zv_stream_peek(s, bar, peeked2);  // a peek changes nothing
        const int ru = zv_stream_update(s, bar, got);
        check(rp == ru && rp2 == ru && alike(computed, peeked[0], got[0]) &&
                  same(peeked2[0], peeked[0]),
              label(c, prefix, t) + ": peek " + hex(peeked[0]) + " update " + hex(got[0]));
        if (lag > 0) {
            check(same(peeked[1], got[1]), label(c, prefix, t) + ": peek of the settled bar");
        }
        check(ru == ERR_OK, label(c, prefix, t) + ": update refused");
        // The function over bars 0 .. t, at bar t.
        const Series upto = batch(f, c.in, c.N, c.M, t + 1);
        check(alike(computed, got[0], upto[t]),
              label(c, prefix, t) + ": update " + hex(got[0]) + " expected " + hex(upto[t]));
        settled[t] = got[0];
        if (lag > 0) {
            if (t - lag >= 0) {
                settled[t - lag] = got[1];
            } else {
                check(std::isnan(got[1]), label(c, prefix, t) + ": settled a bar before bar 0");
            }
        }
        if (twin != nullptr) {
            double tw[2] = {-4.0, -4.0};
            const int rt = zv_stream_update(twin, bar, tw);
            check(rt == ru && same(tw[0], got[0]) && (lag == 0 || same(tw[1], got[1])),
                  label(c, prefix, t) + ": copy " + hex(tw[0]) + " original " + hex(got[0]));
        }
        if (restored != nullptr) {
            double rs[2] = {-5.0, -5.0};
            const int rr = zv_stream_update(restored, bar, rs);
            check(rr == ru && same(rs[0], got[0]) && (lag == 0 || same(rs[1], got[1])),
                  label(c, prefix, t) + ": restored " + hex(rs[0]) + " original " + hex(got[0]));
            zv_stream *again = reload(restored, label(c, prefix, t) + ": restored");
            zv_stream_close(restored);
            restored = again;
        }
    }
    zv_stream_close(restored);
    // REF_A does not revise a bar whose offset points ahead of it.
    const bool ref_a = std::strcmp(f.name, "REF_A") == 0;
    for (int i = 0; i < c.n; ++i) {
        if (ref_a && !(c.in[1][i] > -1.0)) continue;
        check(alike(computed, settled[i], whole[i]), label(c, prefix, i) + ": settled " + hex(settled[i]) +
                                              " whole series " + hex(whole[i]));
    }
    check(zv_stream_bars(s) == c.n, label(c, prefix, c.n) + ": bar count");
    zv_stream_close(twin);
    zv_stream_close(s);
}

// First bar of a full window after the leading NaN bars, for the prefixes.
int warm_up(const Config &c) {
    int s = 0;
    if (c.f->ints > 0) {
        while (s < c.n && std::isnan(c.in[0][s])) ++s;
        if (c.N > 1) s += c.N - 1;
    }
    return s;
}

void run(const Config &c) {
    const Series whole = batch(*c.f, c.in, c.N, c.M, c.n);
    const int w = warm_up(c);
    const int prefixes[] = {w + 1, w + 13, c.n / 2, c.n - 1, 0};
    for (int p : prefixes) {
        if (p < 0) p = 0;
        if (p > c.n) p = c.n;
        run_prefix(c, p, whole);
    }
}

// Windows of every class for a function with one integer window.
std::vector<int> windows_for(const Fn &f, int n) {
    std::vector<int> all = {0, 1, 2, 3, 5, 9, n - 1, n, n + 4};
    if (f.any_window) {
        for (int v : {-1, -3, -(n - 1), -(n + 2)}) all.push_back(v);
    }
    std::vector<int> ok;
    for (int v : all) {
        if ((f.any_window || v >= f.min_window) && (ok.empty() || ok.back() != v)) ok.push_back(v);
    }
    return ok;
}

void run_function(const Fn &f, Gen &g, int n) {
    Config c{&f, 0, 0, 0, {}, n};
    auto fresh = [&]() {
        c.in.clear();
        const std::string name = f.name;
        if (f.kind == 'c') {
            c.in.push_back(g.condition(n));
        } else if (f.kind == 'f') {
            c.in = {g.condition(n), g.values(n), g.values(n)};
        } else if (f.kind == '3') {
            Series cond = g.values(n);
            for (double &v : cond) v = g.below(3) == 0 ? v : 0.0;
            c.in = {g.values(n), cond, g.values(n)};
        } else if (name == "DMA") {
            c.in = {g.values(n), g.factors(n)};
        } else if (per_bar(f)) {
            c.in = {g.values(n), g.windows(n, c.max_window)};
        } else if (f.kind == '2') {
            c.in = {g.values(n), g.values(n)};
        } else {
            c.in.push_back(g.values(n));
        }
    };
    if (f.kind == 'w') {
        for (int N : windows_for(f, n)) {
            c.N = N;
            fresh();
            run(c);
        }
    } else if (f.kind == 's') {
        const int pairs[][2] = {{3, 1}, {5, 2}, {1, 1}, {0, 1}, {0, 0}, {4, 6}, {2, -1}, {20, 3}};
        for (const auto &p : pairs) {
            c.N = p[0];
            c.M = p[1];
            fresh();
            run(c);
        }
    } else if (per_bar(f)) {
        for (int mw : {0, 1, 4, n + 1}) {
            c.max_window = mw;
            fresh();
            run(c);
        }
    } else {
        fresh();
        run(c);
    }
}

// ---- the API around the arithmetic -------------------------------------------

void api_checks() {
    zv_stream *s = reinterpret_cast<zv_stream *>(1);
    const int N[2] = {3, 1};
    double out[4];
    const double x[4] = {1, 2, 3, 4};
    const double *hist[1] = {x};
    check(zv_stream_open(&s, "NOPE", N, 1, 0, nullptr, 0, nullptr) == ERR_PARAM_WRONG && !s,
          "unknown name refused");
    check(zv_stream_open(&s, nullptr, N, 1, 0, nullptr, 0, nullptr) == ERR_PARAM_WRONG, "NULL name");
    check(zv_stream_open(&s, "MA", N, 2, 0, nullptr, 0, nullptr) == ERR_PARAM_WRONG, "MA with 2 params");
    check(zv_stream_open(&s, "SMA", N, 1, 0, nullptr, 0, nullptr) == ERR_PARAM_WRONG, "SMA with 1 param");
    const int zero = 0, neg = -1;
    check(zv_stream_open(&s, "MA", &zero, 1, 0, nullptr, 0, nullptr) == ERR_PARAM_WRONG, "MA N=0");
    check(zv_stream_open(&s, "STD", &zero, 1, 0, nullptr, 0, nullptr) == ERR_PARAM_WRONG, "STD N=0");
    check(zv_stream_open(&s, "EMA", &neg, 1, 0, nullptr, 0, nullptr) == ERR_PARAM_WRONG, "EMA N=-1");
    check(zv_stream_open(&s, "MA_A", nullptr, 0, -1, nullptr, 0, nullptr) == ERR_PARAM_WRONG,
          "negative max_window");
    check(zv_stream_open(&s, "MA", N, 1, 0, nullptr, -1, out) == ERR_SIZE_DISMATCH, "negative size");
    check(zv_stream_open(&s, "MA", N, 1, 0, nullptr, 4, out) == ERR_SIZE_DISMATCH, "missing history");
    check(zv_stream_open(nullptr, "MA", N, 1, 0, nullptr, 0, nullptr) == ERR_PARAM_WRONG, "no handle");
    int in = -1, np = -1;
    check(zv_stream_shape("SMA", &in, &np) == ERR_OK && in == 1 && np == 2, "SMA shape");
    check(zv_stream_shape("FIF", &in, &np) == ERR_OK && in == 3 && np == 0, "FIF shape");
    check(zv_stream_shape("X", nullptr, nullptr) == ERR_PARAM_WRONG, "unknown shape");
    check(zv_stream_copy(nullptr, &s) == ERR_PARAM_WRONG && s == nullptr, "copy of NULL");
    zv_stream_close(nullptr);

    // A per-bar window beyond max_window inside the series: NaN, reported,
    // the bar taken all the same (the history is at hand at open).
    const double w[4] = {1, 1, 1, 3};
    const double *h2[2] = {x, w};
    check(zv_stream_open(&s, "MA_A", nullptr, 0, 2, h2, 4, out) == ERR_OK && s,
          "history windows beyond max_window are served at open");
    check(out[2] == 3.0 && out[3] == 3.0, "history window beyond max_window");
    const double bar_far[2] = {5, 4}, bar_near[2] = {6, 2};
    check(zv_stream_update(s, bar_far, out) == ERR_PARAM_WRONG && std::isnan(out[0]),
          "update window beyond max_window");
    check(zv_stream_update(s, bar_near, out) == ERR_OK && out[0] == 5.5 && zv_stream_bars(s) == 6,
          "the stream goes on after it");
    zv_stream_close(s);

    // REFXV settles the bar N back with each update.
    const int two = 2;
    check(zv_stream_open(&s, "REFXV", &two, 1, 0, hist, 4, out) == ERR_OK && zv_stream_lag(s) == 2,
          "REFXV lag");
    check(out[0] == 3 && out[1] == 4 && out[2] == 3 && out[3] == 4, "REFXV history");
    const double b5 = 5;
    check(zv_stream_update(s, &b5, out) == ERR_OK && out[0] == 5 && out[1] == 5, "REFXV settles bar 2");
    zv_stream_close(s);

    // A window whose storage cannot be had is refused, not crashed on.
    const int huge = 2147483647;
    const int rc = zv_stream_open(&s, "MA", &huge, 1, 0, nullptr, 0, nullptr);
    check(rc == ERR_OK || (rc == ERR_NO_MEMORY && s == nullptr), "huge window");
    if (rc == ERR_OK) {
        check(zv_stream_update(s, x, out) == ERR_OK && std::isnan(out[0]), "huge window, one bar");
        zv_stream_close(s);
    }
}

// ---- the byte form against bad input -------------------------------------------

void bytes_checks() {
    // A small state: REF 2 over three bars (its ring and its bar count).
    const int two = 2;
    const double x[3] = {1.5, -0.0, 7.0};
    const double *hist[1] = {x};
    double out[3];
    zv_stream *s = nullptr;
    check(zv_stream_open(&s, "REF", &two, 1, 0, hist, 3, out) == ERR_OK, "REF 2 opened");
    const Bytes b = save(s);
    check(!b.empty(), "REF 2 saved");
    size_t size = 0;
    check(zv_stream_save(s, nullptr, 0, &size) == ERR_SIZE_DISMATCH && size == b.size(),
          "the size asked for");
    Bytes small(b.size() - 1, 0xAB);
    check(zv_stream_save(s, small.data(), small.size(), &size) == ERR_SIZE_DISMATCH &&
              Bytes(small.size(), 0xAB) == small,
          "a buffer one byte short is left as it was");
    check(zv_stream_save(nullptr, nullptr, 0, &size) == ERR_PARAM_WRONG, "save of NULL");

    // Every prefix is truncated; every flipped bit is refused.
    zv_stream *r = reinterpret_cast<zv_stream *>(1);
    for (size_t n = 0; n < b.size(); ++n) {
        const int rc = zv_stream_load(b.data(), n, &r);
        check(rc == ERR_STATE_TRUNCATED && r == nullptr,
              "prefix of " + std::to_string(n) + " bytes: code " + std::to_string(rc));
    }
    for (size_t bit = 0; bit < 8 * b.size(); ++bit) {
        Bytes m = b;
        m[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
        const int rc = zv_stream_load(m.data(), m.size(), &r);
        check(rc != ERR_OK && r == nullptr, "bit " + std::to_string(bit) + " flipped, accepted");
    }
    Bytes longer = b;
    longer.push_back(0);
    check(zv_stream_load(longer.data(), longer.size(), &r) == ERR_STATE_CORRUPT, "a byte too many");
    Bytes v2 = b;
    v2[4] = 2;
    check(zv_stream_load(v2.data(), v2.size(), &r) == ERR_STATE_VERSION, "format version 2");
    check(zv_stream_load(nullptr, 0, &r) == ERR_STATE_TRUNCATED, "no bytes");
    check(zv_stream_load(b.data(), b.size(), nullptr) == ERR_PARAM_WRONG, "no handle");

    // A frame of three streams loads as three, not as one or four.
    zv_stream *three[3] = {s, s, s};
    check(zv_stream_save_set(three, 3, nullptr, 0, &size) == ERR_SIZE_DISMATCH, "size of a set");
    Bytes set(size);
    check(zv_stream_save_set(three, 3, set.data(), set.size(), &size) == ERR_OK, "set saved");
    check(zv_stream_load(set.data(), set.size(), &r) == ERR_SIZE_DISMATCH && r == nullptr,
          "a set of three loaded as one");
    zv_stream *got[4] = {nullptr, nullptr, nullptr, nullptr};
    check(zv_stream_load_set(set.data(), set.size(), got, 4) == ERR_SIZE_DISMATCH && !got[0],
          "a set of three loaded as four");
    check(zv_stream_load_set(set.data(), set.size(), got, 3) == ERR_OK && got[2] != nullptr,
          "a set of three");
    for (zv_stream *g : got) {
        if (g != nullptr) check(save(g) == b, "each of the set saves as the one");
        zv_stream_close(g);
    }
    zv_stream *other = nullptr;
    const int three_n = 3;
    check(zv_stream_open(&other, "REF", &three_n, 1, 0, nullptr, 0, nullptr) == ERR_OK, "REF 3");
    zv_stream *mixed[2] = {s, other};
    check(zv_stream_save_set(mixed, 2, nullptr, 0, &size) == ERR_PARAM_WRONG, "a mixed set");
    int params[2] = {0, 0}, np = -1, mw = -1;
    check(std::strcmp(zv_stream_info(other, params, &np, &mw), "REF") == 0 && params[0] == 3 &&
              np == 1 && mw == 0,
          "info of REF 3");
    zv_stream_close(other);
    zv_stream_close(s);
}

}  // namespace

int main(int argc, char **argv) {
    const int seeds = argc > 1 ? std::atoi(argv[1]) : 12;
    api_checks();
    bytes_checks();
    const int sizes[] = {1, 2, 7, 40, 97};
    const std::vector<Fn> all = functions();
    for (int seed = 0; seed < seeds; ++seed) {
        for (const Fn &f : all) {
            for (int n : sizes) {
                Gen g(static_cast<uint64_t>(seed) * 1000003u + static_cast<uint64_t>(n));
                run_function(f, g, n);
            }
        }
    }
    std::printf("%ld checks, %ld failures\n", g_checks, g_failures);
    return g_failures == 0 ? 0 : 1;
}
