// zelvo._zelvo: the CPython module over the rillet core.
//
// Every function follows one call frame: parse the arguments, allocate a
// zero-filled float64 result through numpy.zeros, take one-dimensional
// contiguous views of the array arguments, call one core function with
// context 0 and return the result.  The core's return code is not examined:
// a refused call leaves the result as the core left it (all zeros).  The
// 31 functions are rows of one binding table; each argument form is one row
// shape of that table, not a body of its own.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#include <numpy/ndarraytypes.h>
#include <numpy/ufuncobject.h>

#include <climits>
#include <cstdint>
#include <cstring>

#include "rillet.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

// The minor version of the Python headers this module is built with; a test
// build may claim another to exercise the runtime check.
#ifndef ZELVO_BUILD_MINOR
#define ZELVO_BUILD_MINOR PY_MINOR_VERSION
#endif

namespace {

constexpr const char kModuleName[] = "zelvo._zelvo";
constexpr const char kSourceFile[] = "src/ext/zelvo.cpp";

// ---------------------------------------------------------------------------
// Process-wide state

PyObject *g_module = nullptr;       // strong; set by exec, cleared if exec fails
PyObject *g_dict = nullptr;         // borrowed from g_module
PyObject *g_builtins = nullptr;     // strong
int64_t g_interpreter = -1;         // the interpreter that first created the module

PyTypeObject *g_ndarray = nullptr;  // numpy.ndarray (strong), for the direct view

PyObject *s_np, *s_zeros, *s_float64, *s_uint8, *s_astype, *s_dtype, *s_kwnames_dtype;

// ---------------------------------------------------------------------------
// Traceback entries named after the module and function

void add_traceback(const char *funcname, int line) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject *code = PyCode_NewEmpty(kSourceFile, funcname, line);
    PyFrameObject *frame = nullptr;
    if (code) {
        PyObject *globals = g_dict ? g_dict : PyDict_New();
        if (globals) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
        if (!g_dict) Py_XDECREF(globals);
    }
    if (!frame) {
        // Keep the original exception rather than one from building the entry.
        Py_XDECREF(code);
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_Restore(type, value, tb);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
    Py_DECREF(code);
}

// ---------------------------------------------------------------------------
// Looking up the global `np`, cached per reading place against the version
// tag of the module dictionary; falls back to the builtins.

struct GlobalCache {
    PyObject *value;  // borrowed: valid while the dictionary's tag is unchanged
    uint64_t tag;
};

GlobalCache c_np_zeros, c_np_float64, c_np_uint8;

PyObject *builtin_or_name_error(PyObject *name) {
    PyObject *v = PyObject_GetAttr(g_builtins, name);
    if (!v && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return v;
}

// The dictionary's version tag changes with every change of the dictionary.
// Interpreters from 3.14 on no longer keep it; there every call looks afresh.
inline uint64_t dict_tag(PyObject *dict) {
#if PY_VERSION_HEX < 0x030E0000
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
#else
    (void)dict;
    return 0;
#endif
}

PyObject *lookup_np(GlobalCache &cache) {
    const uint64_t tag = dict_tag(g_dict);
    if (cache.tag == tag && tag != 0) {
        if (cache.value) return Py_NewRef(cache.value);
        return builtin_or_name_error(s_np);
    }
    PyObject *v = PyDict_GetItemWithError(g_dict, s_np);
    if (!v && PyErr_Occurred()) return nullptr;
    cache.value = v;
    cache.tag = tag;
    if (v) return Py_NewRef(v);
    return builtin_or_name_error(s_np);
}

// np.<attr>, looked up afresh through the cache of one reading place.
PyObject *np_attr(GlobalCache &cache, PyObject *attr) {
    PyObject *np = lookup_np(cache);
    if (!np) return nullptr;
    PyObject *v = PyObject_GetAttr(np, attr);
    Py_DECREF(np);
    return v;
}

// ---------------------------------------------------------------------------
// Buffer views

enum class Elem { Double, UInt8 };

const char *elem_name(Elem t) { return t == Elem::Double ? "double" : "uint8_t"; }
Py_ssize_t elem_size(Elem t) { return t == Elem::Double ? 8 : 1; }

struct View {
    Py_buffer buf;
    bool held = false;
    char *data = nullptr;
    Py_ssize_t count = 0;

    void release() {
        if (held) {
            PyBuffer_Release(&buf);
            held = false;
        }
    }
};

// Description of a format code in dtype messages.
const char *describe_code(char ch, bool complex) {
    switch (ch) {
        case 0: return "end";
        case '?': return "'bool'";
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'f': return complex ? "'complex float'" : "'float'";
        case 'd': return complex ? "'complex double'" : "'double'";
        case 'g': return complex ? "'complex long double'" : "'long double'";
        case 'T': return "a struct";
        case 'O': return "Python object";
        case 'P': return "a pointer";
        case 's': case 'p': return "a string";
        default: return "unparseable format string";
    }
}

int dtype_mismatch(Elem t, char ch, bool complex) {
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                 elem_name(t), "'", describe_code(ch, complex));
    return -1;
}

// Element size of a format code: native sizes with '@'/'^', standard sizes
// with '='/'<'.  0 for a code the parser does not know.
Py_ssize_t code_size(char ch, bool native) {
    switch (ch) {
        case '?': case 'c': case 'b': case 'B': case 's': case 'p': return 1;
        case 'h': case 'H': return 2;
        case 'i': case 'I': case 'f': return 4;
        case 'l': case 'L': return native ? static_cast<Py_ssize_t>(sizeof(long)) : 4;
        case 'q': case 'Q': case 'd': return 8;
        case 'g': return native ? static_cast<Py_ssize_t>(sizeof(long double)) : 0;
        case 'O': return static_cast<Py_ssize_t>(sizeof(void *));
        default: return 0;
    }
}

bool code_matches(Elem t, char ch, bool complex, Py_ssize_t size) {
    if (complex) return false;
    if (t == Elem::Double) return ch == 'd' && size == 8;
    return (ch == 'B' || ch == '?' || ch == 'c') && size == 1;
}

const char *skip_blanks(const char *ts) {
    for (;;) {
        if (*ts == ' ' || *ts == '\r' || *ts == '\n') {
            ++ts;
        } else if (*ts == ':') {  // a field name enclosed in colons
            const char *end = std::strchr(ts + 1, ':');
            if (!end) return ts;
            ts = end + 1;
        } else {
            return ts;
        }
    }
}

// Checks a buffer's format string: exactly one element of type t.
int check_format(const char *fmt, Elem t) {
    const char *ts = fmt ? fmt : "B";
    bool native = true;
    bool seen = false;
    for (;;) {
        ts = skip_blanks(ts);
        char ch = *ts;
        switch (ch) {
            case '@': case '^': native = true; ++ts; continue;
            case '=': case '<': native = false; ++ts; continue;
            case '>': case '!':
                PyErr_SetString(PyExc_ValueError,
                                "Big-endian buffer not supported on little-endian compiler");
                return -1;
            case '(':
                PyErr_SetString(PyExc_ValueError, "Cannot handle repeated arrays in format string");
                return -1;
            default: break;
        }
        if (ch == 0) return seen ? 0 : dtype_mismatch(t, 0, false);
        if (seen) return dtype_mismatch(t, 0, false);  // a second element: expected the end
        long repeat = 1;
        if (ch >= '0' && ch <= '9') {
            repeat = 0;
            while (*ts >= '0' && *ts <= '9') repeat = repeat * 10 + (*ts++ - '0');
            ch = *ts;
        }
        bool complex = false;
        if (ch == 'Z') {
            const char z = ts[1];
            if (z != 'f' && z != 'd' && z != 'g') {
                PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'", z);
                return -1;
            }
            complex = true;
            ch = z;
            ++ts;
        }
        if (ch == 'T') return dtype_mismatch(t, 'T', false);
        if (ch == 'g' && !native) {
            PyErr_SetString(PyExc_ValueError,
                            "Python does not define a standard format string size for long "
                            "double ('g')..");
            return -1;
        }
        const Py_ssize_t size = code_size(ch, native);
        if (size == 0) {
            PyErr_Format(PyExc_ValueError,
                         "Does not understand character buffer dtype format string ('%c')", ch);
            return -1;
        }
        if (repeat != 1 || !code_matches(t, ch, complex, size))
            return dtype_mismatch(t, ch, complex);
        seen = true;
        ++ts;
    }
}

// A plain ndarray that is one-dimensional, C-contiguous, writable and of
// the element type in native byte order is viewed directly from its fields:
// the same view the buffer protocol would give, without numpy building a
// format string and buffer description for every call.  Anything else takes
// the buffer route, which also produces every refusal.  The caller keeps a
// reference to the array for the whole call, and the interpreter lock stays
// held, so its memory cannot go away meanwhile.
bool direct_view(PyObject *o, Elem t, View &v) {
    if (Py_TYPE(o) != g_ndarray) return false;
    const auto *a = reinterpret_cast<const PyArrayObject_fields *>(o);
    constexpr int kNeed = NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_WRITEABLE;
    if (a->nd != 1 || (a->flags & kNeed) != kNeed) return false;
    const PyArray_Descr *d = a->descr;
    if (d->byteorder == '>') return false;
    const bool ok = t == Elem::Double ? d->type_num == NPY_DOUBLE
                                      : d->type_num == NPY_UBYTE || d->type_num == NPY_BOOL;
    if (!ok) return false;
    v.data = a->data;
    v.count = a->dimensions[0];
    return true;
}

// A one-dimensional C-contiguous view of `o` with elements of type t.  None
// gives an empty view; the element-0 check refuses it later.
int take_view(PyObject *o, Elem t, View &v) {
    if (o == Py_None || direct_view(o, t, v)) return 0;
    constexpr int kFlags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE;  // 61
    if (PyObject_GetBuffer(o, &v.buf, kFlags) < 0) return -1;
    v.held = true;
    Py_buffer &b = v.buf;
    const Py_ssize_t size = elem_size(t);
    if (b.ndim != 1) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", 1, b.ndim);
        goto fail;
    }
    if (check_format(b.format, t) < 0) goto fail;
    if (b.itemsize != size) {
        PyErr_Format(PyExc_ValueError,
                     "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                     b.itemsize, b.itemsize > 1 ? "s" : "", elem_name(t), size,
                     size > 1 ? "s" : "");
        goto fail;
    }
    {
        const Py_ssize_t count = b.shape ? b.shape[0] : b.len / size;
        if (b.len > 0) {
            if (count > 1) {
                if (b.strides) {
                    if (b.strides[0] != size) {
                        PyErr_SetString(PyExc_ValueError,
                                        "Buffer and memoryview are not contiguous in the same "
                                        "dimension.");
                        goto fail;
                    }
                } else if (b.suboffsets) {
                    PyErr_SetString(PyExc_ValueError, "Buffer exposes suboffsets but no strides");
                    goto fail;
                }
            }
            if (b.suboffsets && b.suboffsets[0] >= 0) {
                PyErr_Format(PyExc_ValueError, "Buffer not compatible with direct access in "
                                               "dimension %d.", 0);
                goto fail;
            }
        }
        v.data = static_cast<char *>(b.buf);
        v.count = count;
    }
    return 0;
fail:
    v.release();
    return -1;
}

int too_long(const char *func, const char *argname, Py_ssize_t n) {
    PyErr_Format(PyExc_OverflowError,
                 "%s() argument '%s' has %zd elements; at most %d are supported", func, argname,
                 n, INT_MAX);
    return -1;
}

// The element-0 check, then the length handed to the core: len() of the
// argument as passed.  That length must fit an int and must not differ from
// the view's element count, or the core would read past the buffer.
int checked_length(const char *func, const char *argname, PyObject *arg, const View &v,
                   int &out) {
    if (v.count < 1) {
        PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0);
        return -1;
    }
    const Py_ssize_t n = PyObject_Length(arg);
    if (n < 0) return -1;
    if (n > INT_MAX) return too_long(func, argname, n);
    if (n != v.count) {
        PyErr_Format(PyExc_ValueError,
                     "%s() argument '%s' reports len() %zd but its buffer holds %zd elements",
                     func, argname, n, v.count);
        return -1;
    }
    out = static_cast<int>(n);
    return 0;
}

// An integer argument as a C int.
int to_int(PyObject *o, int &out) {
    if (o == Py_None) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return -1;
    }
    const long x = PyLong_AsLong(o);
    if (x == -1 && PyErr_Occurred()) return -1;
    if (x < INT_MIN || x > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return -1;
    }
    out = static_cast<int>(x);
    return 0;
}

// ---------------------------------------------------------------------------
// The binding table

enum class Kind : uint8_t { Num, Cond, Int };

enum class Form : uint8_t {
    Window,   // (a, N)          zv_f(ctx, a, n, N, r, n)
    Sma,      // (a, N, M)       zv_sma(ctx, a, n, N, M, r, n)
    Series2,  // (a, b)          zv_f(ctx, a, n, b, n, r, n)
    Refif,    // (x, c, v)       zv_refif(ctx, x, n, c, n, v, n, r, n)
    Cond,     // (x) positional  zv_f(ctx, bytes, n, r, n)
    Plain,    // (Y) positional  zv_currbarscount(ctx, Y, n, r, n)
    Fif,      // (x, a, b)       zv_fif(ctx, bytes, n, a, n, b, n, r, n)
};

struct FormShape {
    int nargs;
    Kind kinds[3];
    bool positional_only;
};

constexpr FormShape shape_of(Form f) {
    switch (f) {
        case Form::Window: return {2, {Kind::Num, Kind::Int}, false};
        case Form::Sma: return {3, {Kind::Num, Kind::Int, Kind::Int}, false};
        case Form::Series2: return {2, {Kind::Num, Kind::Num}, false};
        case Form::Refif: return {3, {Kind::Num, Kind::Num, Kind::Num}, false};
        case Form::Cond: return {1, {Kind::Cond}, true};
        case Form::Plain: return {1, {Kind::Num}, true};
        case Form::Fif: return {3, {Kind::Cond, Kind::Num, Kind::Num}, false};
    }
    return {0, {}, false};
}


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

struct Binding {
    const char *name;
    const char *qualname;  // traceback entries: zelvo._zelvo.<name>
    Form form;
    const char *argnames[3];
    CoreFn core;
};

#define ZV_ROW(NAME, FORM, CORE, ...) \
    {#NAME, "zelvo._zelvo." #NAME, Form::FORM, {__VA_ARGS__}, CoreFn(CORE)}

// In the order the module binds them.
const Binding kBindings[] = {
    ZV_ROW(MA, Window, zv_ma, "a", "N"),
    ZV_ROW(MA_A, Series2, zv_ma_a, "a", "N"),
    ZV_ROW(EMA, Window, zv_ema, "a", "N"),
    ZV_ROW(SMA, Sma, zv_sma, "a", "N", "M"),
    ZV_ROW(WMA, Window, zv_wma, "a", "N"),
    ZV_ROW(DMA, Series2, zv_dma, "a", "A"),
    ZV_ROW(COUNT, Window, zv_count, "a", "N"),
    ZV_ROW(COUNT_A, Series2, zv_count_a, "a", "N"),
    ZV_ROW(SUM, Window, zv_sum, "a", "N"),
    ZV_ROW(SUM_A, Series2, zv_sum_a, "a", "N"),
    ZV_ROW(REF, Window, zv_ref, "a", "N"),
    ZV_ROW(REFIF, Refif, zv_refif, "x", "c", "v"),
    ZV_ROW(REFXV, Window, zv_refxv, "a", "N"),
    ZV_ROW(REF_A, Series2, zv_ref_a, "a", "N"),
    ZV_ROW(LLV, Window, zv_llv, "a", "N"),
    ZV_ROW(LLV_A, Series2, zv_llv_a, "a", "N"),
    ZV_ROW(HHV, Window, zv_hhv, "a", "N"),
    ZV_ROW(HHV_A, Series2, zv_hhv_a, "a", "N"),
    ZV_ROW(BARSINCE, Cond, zv_barsince, "x"),
    ZV_ROW(BARLAST, Cond, zv_barlast, "x"),
    ZV_ROW(BARSLAST, Cond, zv_barslast, "x"),
    ZV_ROW(CROSS, Series2, zv_cross, "x", "y"),
    ZV_ROW(FIF, Fif, zv_fif, "x", "a", "b"),
    ZV_ROW(SLOPE, Window, zv_slope, "Y", "N"),
    ZV_ROW(CURRBARSCOUNT, Plain, zv_currbarscount, "Y"),
    ZV_ROW(BACKCOUNT, Cond, zv_backcount, "x"),
    ZV_ROW(STD, Window, zv_std, "a", "N"),
    ZV_ROW(STDDEV, Window, zv_stddev, "a", "N"),
    ZV_ROW(STDP, Window, zv_stdp, "a", "N"),
    ZV_ROW(AVEDEV, Window, zv_avedev, "a", "N"),
    ZV_ROW(FILTER, Window, zv_filter, "a", "N"),
};
#undef ZV_ROW

constexpr int kCount = sizeof kBindings / sizeof kBindings[0];
static_assert(kCount == 31, "the module binds 31 functions");

PyObject *g_argnames[kCount][3];  // interned keyword names per function
PyMethodDef g_defs[kCount];

// ---------------------------------------------------------------------------
// Argument parsing for the keyword forms

int argtuple_error(const Binding &b, int required, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 b.name, "exactly", static_cast<Py_ssize_t>(required), required == 1 ? "" : "s",
                 given);
    return -1;
}

int parse_args(const Binding &b, PyObject *const *names, int n, PyObject *args, PyObject *kwds,
               PyObject **values) {
    const Py_ssize_t npos = PyTuple_GET_SIZE(args);
    if (!kwds) {
        if (npos != n) return argtuple_error(b, n, npos);
        for (int i = 0; i < n; ++i) values[i] = PyTuple_GET_ITEM(args, i);
        return 0;
    }
    if (npos > n) return argtuple_error(b, n, npos);
    for (Py_ssize_t i = 0; i < npos; ++i) values[i] = PyTuple_GET_ITEM(args, i);
    Py_ssize_t left = PyDict_GET_SIZE(kwds);
    for (int i = static_cast<int>(npos); i < n; ++i) {
        PyObject *v = PyDict_GetItemWithError(kwds, names[i]);
        if (!v) {
            if (PyErr_Occurred()) return -1;
            return argtuple_error(b, n, i);
        }
        values[i] = v;
        --left;
    }
    if (left <= 0) return 0;
    // Keywords beyond those consumed: the first one found decides the error.
    Py_ssize_t pos = 0;
    PyObject *key, *val;
    while (PyDict_Next(kwds, &pos, &key, &val)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", b.name);
            return -1;
        }
        int found = -1;
        for (int i = 0; i < n && found < 0; ++i) {
            if (key == names[i]) found = i;
        }
        for (int i = 0; i < n && found < 0; ++i) {
            const int c = PyUnicode_Compare(key, names[i]);
            if (c == -1 && PyErr_Occurred()) return -1;
            if (c == 0) found = i;
        }
        if (found < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", b.name,
                         key);
            return -1;
        }
        if (found < npos) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         b.name, key);
            return -1;
        }
    }
    return 0;
}

// Integer arguments must be exactly int, or None (refused later).
int type_test(const Binding &b, const FormShape &sh, PyObject *const *values) {
    for (int i = 0; i < sh.nargs; ++i) {
        PyObject *v = values[i];
        if (sh.kinds[i] != Kind::Int || v == Py_None || PyLong_CheckExact(v)) continue;
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     b.argnames[i], "int", Py_TYPE(v)->tp_name);
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The call frame

PyObject *call_frame(const Binding &b, PyObject *const *values) {
    const FormShape sh = shape_of(b.form);
    PyObject *r = nullptr;
    PyObject *converted[3] = {nullptr, nullptr, nullptr};
    View views[3];
    View rview;
    int lens[3] = {0, 0, 0};
    int ints[3] = {0, 0, 0};
    int rlen = 0;

    // The result: zeros sized by len() of the first argument.
    {
        PyObject *zeros = np_attr(c_np_zeros, s_zeros);
        if (!zeros) goto fail;
        const Py_ssize_t n = PyObject_Length(values[0]);
        // A length the core cannot take is refused before numpy.zeros is
        // asked for it (a lying __len__ could otherwise request terabytes).
        if (n > INT_MAX) too_long(b.name, b.argnames[0], n);
        PyObject *dtype = n < 0 || n > INT_MAX ? nullptr : np_attr(c_np_float64, s_float64);
        PyObject *len = dtype ? PyLong_FromSsize_t(n) : nullptr;
        if (len) {
            PyObject *argv[] = {len, dtype};
            r = PyObject_Vectorcall(zeros, argv, 1, s_kwnames_dtype);
        }
        Py_XDECREF(len);
        Py_XDECREF(dtype);
        Py_DECREF(zeros);
        if (!r) goto fail;
    }
    // Condition series become fresh unsigned-byte copies.
    for (int i = 0; i < sh.nargs; ++i) {
        if (sh.kinds[i] != Kind::Cond) continue;
        PyObject *uint8 = np_attr(c_np_uint8, s_uint8);
        if (!uint8) goto fail;
        converted[i] = PyObject_CallMethodOneArg(values[i], s_astype, uint8);
        Py_DECREF(uint8);
        if (!converted[i]) goto fail;
    }
    // Views in argument order, then of the result.
    for (int i = 0; i < sh.nargs; ++i) {
        if (sh.kinds[i] == Kind::Int) continue;
        const bool cond = sh.kinds[i] == Kind::Cond;
        if (take_view(cond ? converted[i] : values[i], cond ? Elem::UInt8 : Elem::Double,
                      views[i]) < 0)
            goto fail;
    }
    if (take_view(r, Elem::Double, rview) < 0) goto fail;
    // Element-0 checks and lengths, integer conversions, in argument order.
    for (int i = 0; i < sh.nargs; ++i) {
        if (sh.kinds[i] == Kind::Int) {
            if (to_int(values[i], ints[i]) < 0) goto fail;
        } else if (checked_length(b.name, b.argnames[i], values[i], views[i], lens[i]) < 0) {
            goto fail;
        }
    }
    if (checked_length(b.name, "result", r, rview, rlen) < 0) goto fail;

    {
        const auto num = [&](int i) { return reinterpret_cast<const num_t *>(views[i].data); };
        const auto bytes = [&](int i) {
            return reinterpret_cast<const unsigned char *>(views[i].data);
        };
        num_t *out = reinterpret_cast<num_t *>(rview.data);
        switch (b.form) {
            case Form::Window: b.core.window(0, num(0), lens[0], ints[1], out, rlen); break;
            case Form::Sma: b.core.sma(0, num(0), lens[0], ints[1], ints[2], out, rlen); break;
            case Form::Series2:
                b.core.series2(0, num(0), lens[0], num(1), lens[1], out, rlen);
                break;
            case Form::Refif:
                b.core.refif(0, num(0), lens[0], num(1), lens[1], num(2), lens[2], out, rlen);
                break;
            case Form::Cond: b.core.cond(0, bytes(0), lens[0], out, rlen); break;
            case Form::Plain: b.core.plain(0, num(0), lens[0], out, rlen); break;
            case Form::Fif:
                b.core.fif(0, bytes(0), lens[0], num(1), lens[1], num(2), lens[2], out, rlen);
                break;
        }
    }
    for (PyObject *&c : converted) Py_CLEAR(c);
    for (View &v : views) v.release();
    rview.release();
    return r;

fail:
    for (PyObject *&c : converted) Py_CLEAR(c);
    for (View &v : views) v.release();
    rview.release();
    Py_XDECREF(r);
    add_traceback(b.qualname, __LINE__);
    return nullptr;
}

template <int I>
PyObject *entry_keywords(PyObject *, PyObject *args, PyObject *kwds) {
    const Binding &b = kBindings[I];
    PyObject *values[3] = {nullptr, nullptr, nullptr};
    const FormShape sh = shape_of(b.form);
    if (parse_args(b, g_argnames[I], sh.nargs, args, kwds, values) < 0 ||
        type_test(b, sh, values) < 0) {
        add_traceback(b.qualname, __LINE__);
        return nullptr;
    }
    return call_frame(b, values);
}

template <int I>
PyObject *entry_one(PyObject *, PyObject *arg) {
    PyObject *values[1] = {arg};
    return call_frame(kBindings[I], values);
}

template <int... I>
void fill_defs(std::integer_sequence<int, I...>) {
    ((g_defs[I] = shape_of(kBindings[I].form).positional_only
                      ? PyMethodDef{kBindings[I].name, reinterpret_cast<PyCFunction>(entry_one<I>),
                                    METH_O, nullptr}
                      : PyMethodDef{kBindings[I].name,
                                    reinterpret_cast<PyCFunction>(
                                        reinterpret_cast<void (*)(void)>(entry_keywords<I>)),
                                    METH_VARARGS | METH_KEYWORDS, nullptr}),
     ...);
}

// ---------------------------------------------------------------------------
// Module creation and execution

int copy_spec_attr(PyObject *module_spec, PyObject *dict, const char *from, const char *to,
                   bool allow_none) {
    PyObject *v = PyObject_GetAttrString(module_spec, from);
    if (!v) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    int rc = 0;
    if (allow_none || v != Py_None) rc = PyDict_SetItemString(dict, to, v);
    Py_DECREF(v);
    return rc;
}

PyObject *module_create(PyObject *module_spec, PyModuleDef *) {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (g_interpreter == -1) {
        g_interpreter = id;
        if (id == -1) return nullptr;
    } else if (id != g_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_module) return Py_NewRef(g_module);

    PyObject *name = PyObject_GetAttrString(module_spec, "name");
    if (!name) return nullptr;
    PyObject *module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (!module) return nullptr;
    PyObject *dict = PyModule_GetDict(module);
    if (copy_spec_attr(module_spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(module_spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(module_spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(module_spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

// The runtime's version against the version of the headers we were built with.
int check_version() {
    char built[16];
    PyOS_snprintf(built, sizeof built, "%d.%d", PY_MAJOR_VERSION, ZELVO_BUILD_MINOR);
    const char *running = Py_GetVersion();
    if (std::strncmp(running, built, 4) == 0) return 0;
    char runtime[5];
    int k = 0;
    bool dot = false;
    for (const char *p = running; *p && k < 4; ++p) {
        if (*p == '.') {
            if (dot) break;
            dot = true;
        } else if (*p < '0' || *p > '9') {
            break;
        }
        runtime[k++] = *p;
    }
    runtime[k] = 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compiletime version %s of module '%.100s' does not match runtime "
                            "version %s",
                            built, kModuleName, runtime);
}

enum class SizeCheck { Warn, Ignore };

struct ForeignType {
    const char *module;
    const char *name;
    size_t size;
    SizeCheck larger;
};

int check_foreign_type(PyObject *module, const ForeignType &ft) {
    PyObject *t = PyObject_GetAttrString(module, ft.name);
    if (!t) return -1;
    if (!PyType_Check(t)) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", ft.module, ft.name);
        Py_DECREF(t);
        return -1;
    }
    const Py_ssize_t basic = reinterpret_cast<PyTypeObject *>(t)->tp_basicsize;
    Py_DECREF(t);
    if (static_cast<size_t>(basic) < ft.size) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. Expected "
                     "%zd from C header, got %zd from PyObject",
                     ft.module, ft.name, static_cast<Py_ssize_t>(ft.size), basic);
        return -1;
    }
    if (static_cast<size_t>(basic) > ft.size && ft.larger == SizeCheck::Warn) {
        return PyErr_WarnFormat(PyExc_RuntimeWarning, 0,
                                "%s.%s size changed, may indicate binary incompatibility. "
                                "Expected %zd from C header, got %zd from PyObject",
                                ft.module, ft.name, static_cast<Py_ssize_t>(ft.size), basic);
    }
    return 0;
}

int check_foreign_types() {
    static const ForeignType kBuiltinTypes[] = {
        {"builtins", "type", sizeof(PyHeapTypeObject), SizeCheck::Warn},
    };
    static const ForeignType kNumpyTypes[] = {
        {"numpy", "dtype", sizeof(PyArray_Descr), SizeCheck::Ignore},
        {"numpy", "flatiter", sizeof(PyArrayIterObject), SizeCheck::Ignore},
        {"numpy", "broadcast", sizeof(PyArrayMultiIterObject), SizeCheck::Ignore},
        {"numpy", "ndarray", sizeof(PyArrayObject_fields), SizeCheck::Ignore},
        {"numpy", "generic", sizeof(PyObject), SizeCheck::Warn},
        {"numpy", "number", sizeof(PyObject), SizeCheck::Warn},
        {"numpy", "integer", sizeof(PyObject), SizeCheck::Warn},
        {"numpy", "signedinteger", sizeof(PyObject), SizeCheck::Warn},
        {"numpy", "unsignedinteger", sizeof(PyObject), SizeCheck::Warn},
        {"numpy", "inexact", sizeof(PyObject), SizeCheck::Warn},
        {"numpy", "floating", sizeof(PyObject), SizeCheck::Warn},
        {"numpy", "complexfloating", sizeof(PyObject), SizeCheck::Warn},
        {"numpy", "flexible", sizeof(PyObject), SizeCheck::Warn},
        {"numpy", "character", sizeof(PyObject), SizeCheck::Warn},
        {"numpy", "ufunc", sizeof(PyUFuncObject), SizeCheck::Ignore},
    };
    struct Group {
        const char *module;
        const ForeignType *types;
        size_t count;
    };
    const Group groups[] = {{"builtins", kBuiltinTypes, 1},
                            {"numpy", kNumpyTypes, sizeof kNumpyTypes / sizeof kNumpyTypes[0]}};
    for (const Group &g : groups) {
        PyObject *m = PyImport_ImportModule(g.module);
        if (!m) return -1;
        for (size_t i = 0; i < g.count; ++i) {
            if (check_foreign_type(m, g.types[i]) < 0) {
                Py_DECREF(m);
                return -1;
            }
        }
        Py_DECREF(m);
    }
    return 0;
}

int intern_constants() {
    struct Name {
        PyObject **slot;
        const char *text;
    };
    const Name names[] = {{&s_np, "np"},           {&s_zeros, "zeros"}, {&s_float64, "float64"},
                          {&s_uint8, "uint8"},     {&s_astype, "astype"},
                          {&s_dtype, "dtype"}};
    for (const Name &n : names) {
        if (*n.slot) continue;
        *n.slot = PyUnicode_InternFromString(n.text);
        if (!*n.slot) return -1;
    }
    if (!s_kwnames_dtype && !(s_kwnames_dtype = PyTuple_Pack(1, s_dtype))) return -1;
    for (int i = 0; i < kCount; ++i) {
        for (int k = 0; k < shape_of(kBindings[i].form).nargs; ++k) {
            if (g_argnames[i][k]) continue;
            g_argnames[i][k] = PyUnicode_InternFromString(kBindings[i].argnames[k]);
            if (!g_argnames[i][k]) return -1;
        }
    }
    return 0;
}

int lookup_builtin_names() {
    static const char *const kNames[] = {"ImportError", "ValueError", "MemoryError",
                                         "enumerate",   "range",      "TypeError",
                                         "Ellipsis",    "id",         "IndexError"};
    for (const char *text : kNames) {
        PyObject *name = PyUnicode_InternFromString(text);
        if (!name) return -1;
        PyObject *v = builtin_or_name_error(name);
        Py_DECREF(name);
        if (!v) return -1;
        Py_DECREF(v);
    }
    return 0;
}

int bind_functions() {
    PyObject *modname = PyUnicode_FromString(kModuleName);
    if (!modname) return -1;
    for (int i = 0; i < kCount; ++i) {
        PyObject *f = PyCFunction_NewEx(&g_defs[i], nullptr, modname);
        if (!f || PyDict_SetItemString(g_dict, kBindings[i].name, f) < 0) {
            Py_XDECREF(f);
            Py_DECREF(modname);
            return -1;
        }
        Py_DECREF(f);
    }
    Py_DECREF(modname);
    PyObject *test = PyDict_New();
    if (!test) return -1;
    const int rc = PyDict_SetItemString(g_dict, "__test__", test);
    Py_DECREF(test);
    return rc;
}

int module_exec(PyObject *module) {
    if (g_module) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_zelvo' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    if (check_version() < 0) goto fail;
    g_module = Py_NewRef(module);
    g_dict = PyModule_GetDict(module);
    if (!g_builtins && !(g_builtins = PyImport_ImportModule("builtins"))) goto fail;
    if (PyObject_SetAttrString(module, "__builtins__", g_builtins) < 0) goto fail;
    if (intern_constants() < 0) goto fail;
    {
        PyObject *name = PyModule_GetNameObject(module);
        if (!name) goto fail;
        PyObject *modules = PyImport_GetModuleDict();
        int rc = PyDict_Contains(modules, name);
        if (rc == 0) rc = PyDict_SetItem(modules, name, module);
        Py_DECREF(name);
        if (rc < 0) goto fail;
    }
    if (lookup_builtin_names() < 0) goto fail;
    if (check_foreign_types() < 0) goto fail;
    {
        PyObject *np = PyImport_ImportModuleLevel("numpy", nullptr, nullptr, nullptr, 0);
        if (!np) goto fail;
        if (!g_ndarray) {
            PyObject *t = PyObject_GetAttrString(np, "ndarray");
            if (t && PyType_Check(t)) g_ndarray = reinterpret_cast<PyTypeObject *>(t);
            else Py_XDECREF(t);
            if (!g_ndarray) {
                Py_DECREF(np);
                goto fail;
            }
        }
        const int rc = PyDict_SetItem(g_dict, s_np, np);
        Py_DECREF(np);
        if (rc < 0) goto fail;
    }
    fill_defs(std::make_integer_sequence<int, kCount>{});
    if (bind_functions() < 0) goto fail;
    return 0;

fail:
    if (g_module) {
        if (g_dict) add_traceback("init zelvo._zelvo", __LINE__);
        Py_CLEAR(g_module);
        g_dict = nullptr;
    } else if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, "init zelvo._zelvo");
    }
    return -1;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // One interpreter per process, as module_create enforces on every version.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef g_def = {PyModuleDef_HEAD_INIT, "_zelvo", nullptr, 0, nullptr, g_slots,
                     nullptr,               nullptr,  nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__zelvo(void) { return PyModuleDef_Init(&g_def); }
