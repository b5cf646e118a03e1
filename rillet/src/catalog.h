// The registry of the series functions as the C++ layers use it.
//
// The one list of the functions is RILLET_FUNCTIONS in rillet.h.  Each row
// gives the formula name, the core function, its argument form, its window
// rule, whether it writes every result bar on success, whether the
// exact module binds it, its one-line meaning and the argument names the
// Python layers use.  Everything that lists the functions is generated from
// it: the modules' binding tables, the Python catalog (zelvo._catalog reads
// these rows through zelvo._api), the type stubs, the stream table, the fuzz
// targets and the panel engine.  Adding a function touches its family file
// and one row of RILLET_FUNCTIONS.
#ifndef RILLET_CATALOG_H
#define RILLET_CATALOG_H

#include <cstdint>

#include "../rillet.h"

// The rows are RILLET_FUNCTIONS of rillet.h, the registry.
#define RILLET_CATALOG(X) RILLET_FUNCTIONS(X)

namespace rillet {

// The argument forms of the series functions.
enum class Form : uint8_t {
    Window,   // (a, N)      f(ctx, a, n, N, r, n)
    Sma,      // (a, N, M)   f(ctx, a, n, N, M, r, n)
    Series2,  // (a, b)      f(ctx, a, n, b, n, r, n)
    Refif,    // (x, c, v)   f(ctx, x, n, c, n, v, n, r, n)
    Cond,     // (x)         f(ctx, bytes, n, r, n)
    Plain,    // (Y)         f(ctx, Y, n, r, n)
    Fif,      // (x, a, b)   f(ctx, bytes, n, a, n, b, n, r, n)
};

// The smallest integer window a function accepts.
enum class Param : uint8_t { None, MinOne, MinZero };

// What one argument position holds.
enum class Kind : uint8_t { Num, Cond, Int };

struct Shape {
    int nargs;
    Kind kinds[3];
    bool positional_only;  // the single-series forms take no keywords
};

constexpr Shape shape_of(Form f) {
    switch (f) {
        case Form::Window: return {2, {Kind::Num, Kind::Int, Kind::Num}, false};
        case Form::Sma: return {3, {Kind::Num, Kind::Int, Kind::Int}, false};
        case Form::Series2: return {2, {Kind::Num, Kind::Num, Kind::Num}, false};
        case Form::Refif: return {3, {Kind::Num, Kind::Num, Kind::Num}, false};
        case Form::Cond: return {1, {Kind::Cond, Kind::Num, Kind::Num}, true};
        case Form::Plain: return {1, {Kind::Num, Kind::Num, Kind::Num}, true};
        case Form::Fif: return {3, {Kind::Cond, Kind::Num, Kind::Num}, false};
    }
    return {0, {Kind::Num, Kind::Num, Kind::Num}, false};
}

constexpr int min_window(Param p) { return p == Param::MinOne ? 1 : 0; }

// The variants whose window is a series (one length per bar): MA_A, SUM_A, ...
constexpr bool per_bar(Form f, const char *const argnames[3]) {
    return f == Form::Series2 && argnames[1][0] == 'N' && argnames[1][1] == 0;
}

// The core function of a row, typed by its form.
union CoreFn {
    zv_window_fn window;
    zv_sma_fn sma;
    zv_series2_fn series2;
    zv_refif_fn refif;
    zv_cond_fn cond;
    zv_plain_fn plain;
    zv_fif_fn fif;
    constexpr CoreFn(zv_window_fn f) : window(f) {}
    constexpr CoreFn(zv_sma_fn f) : sma(f) {}
    constexpr CoreFn(zv_series2_fn f) : series2(f) {}
    constexpr CoreFn(zv_refif_fn f) : refif(f) {}
    constexpr CoreFn(zv_cond_fn f) : cond(f) {}
    constexpr CoreFn(zv_plain_fn f) : plain(f) {}
    constexpr CoreFn(zv_fif_fn f) : fif(f) {}
};

struct Entry {
    const char *name;   // formula name, e.g. "MA_A"
    const char *core;   // core symbol, e.g. "zv_ma_a"
    Form form;
    Param param;
    bool writes_all;    // every result bar is written on ERR_OK
    bool exact;         // bound by the exact module
    const char *summary;
    const char *argnames[3];
    CoreFn fn;
};

#define RILLET_CATALOG_ROW(NAME, FN, FORM, PARAM, ALL, EXACT, SUMMARY, ...) \
    Entry{#NAME, #FN, Form::FORM, Param::PARAM, ALL != 0, EXACT != 0, SUMMARY, {__VA_ARGS__}, \
          CoreFn(FN)},
inline constexpr Entry kCatalog[] = {RILLET_CATALOG(RILLET_CATALOG_ROW)};
#undef RILLET_CATALOG_ROW

inline constexpr int kCatalogSize = sizeof kCatalog / sizeof kCatalog[0];

// The exact module's functions: the leading rows, and no others.
constexpr int exact_count() {
    int n = 0;
    while (n < kCatalogSize && kCatalog[n].exact) ++n;
    for (int i = n; i < kCatalogSize; ++i)
        if (kCatalog[i].exact) return -1;
    return n;
}
inline constexpr int kExactCount = exact_count();
static_assert(kExactCount == 31, "the exact module binds its 31 functions, first in the registry");

// One call's arguments in argument order: series (numeric or condition bytes)
// with their sizes, integers where the form takes them.
struct Args {
    const void *series[3] = {nullptr, nullptr, nullptr};
    int sizes[3] = {0, 0, 0};
    int ints[3] = {0, 0, 0};
};

// Puts the integer arguments `params` (in argument order) into a.ints at their
// positions and the positions of the series arguments into pos[0 .. *nseries).
// False when `params` is missing where the function takes integers, or the
// first window is below the least the function accepts: the one check that
// makes the core function accept the call, done before anything is run.
inline bool bind_ints(const Entry &e, const int *params, Args &a, int pos[3], int &nseries) {
    const Shape sh = shape_of(e.form);
    int nint = 0;
    nseries = 0;
    for (int i = 0; i < sh.nargs; ++i) {
        if (sh.kinds[i] != Kind::Int) {
            pos[nseries++] = i;
            continue;
        }
        if (!params) return false;
        a.ints[i] = params[nint++];
        if (e.param != Param::None && nint == 1 && a.ints[i] < min_window(e.param)) return false;
    }
    return true;
}

// Calls the core function of `e` with `a`; returns the core's code.
inline int invoke(const Entry &e, pcalc_ctx_t ctx, const Args &a, num_t *r, int size_r) {
    const auto num = [&a](int i) { return static_cast<const num_t *>(a.series[i]); };
    const auto u8 = [&a](int i) { return static_cast<const unsigned char *>(a.series[i]); };
    const int *n = a.sizes;
    switch (e.form) {
        case Form::Window: return e.fn.window(ctx, num(0), n[0], a.ints[1], r, size_r);
        case Form::Sma: return e.fn.sma(ctx, num(0), n[0], a.ints[1], a.ints[2], r, size_r);
        case Form::Series2: return e.fn.series2(ctx, num(0), n[0], num(1), n[1], r, size_r);
        case Form::Refif:
            return e.fn.refif(ctx, num(0), n[0], num(1), n[1], num(2), n[2], r, size_r);
        case Form::Cond: return e.fn.cond(ctx, u8(0), n[0], r, size_r);
        case Form::Plain: return e.fn.plain(ctx, num(0), n[0], r, size_r);
        case Form::Fif: return e.fn.fif(ctx, u8(0), n[0], num(1), n[1], num(2), n[2], r, size_r);
    }
    return ERR_PARAM_WRONG;
}

// The row of a formula name, or nullptr.
inline const Entry *find(const char *name) {
    for (const Entry &e : kCatalog) {
        const char *p = e.name, *q = name;
        while (*p && *p == *q) ++p, ++q;
        if (*p == *q) return &e;
    }
    return nullptr;
}

}  // namespace rillet

#endif  // RILLET_CATALOG_H
