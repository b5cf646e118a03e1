// The call frame of zelvo._api's functions.
//
// One call: parse the arguments (by position or keyword, `axis` keyword
// only), check the integer windows against the catalog, convert every series
// argument once to float64 (or condition bytes), check that the series agree
// in shape, allocate the result once and run the core's panel entry over all
// lanes, with the GIL released when the call is large enough to gain from it.
// A float64 array in native byte order is read in place with its own strides,
// whatever its layout and even when it is read-only; anything else is cast by
// NumPy once.  pandas and polars objects are handed to zelvo._containers,
// which unwraps them, calls back with arrays and wraps the result.
#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "api.h"
#include "series.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace zelvo_api {

PyObject *g_argnames[kCount][3];
PyObject *g_names[kCount];
PyObject *s_axis;

namespace {

using rillet::Entry;
using rillet::Kind;
using rillet::Param;
using rillet::Shape;

// Calls with at least this many result values release the GIL around the
// core; below it the release and the wait to take the GIL back would cost
// more than the few microseconds of work.
constexpr npy_intp kReleaseGilAt = 8192;

struct Call {
    int index;
    const Entry *e;
    Shape sh;
    PyObject *values[3] = {nullptr, nullptr, nullptr};
    PyObject *axis = nullptr;  // borrowed; nullptr when not given

    const char *name() const { return e->name; }
    const char *arg(int i) const { return e->argnames[i]; }
};

// ---------------------------------------------------------------------------
// Errors

// Raises `type` with "<message>: <pending exception>", the pending exception
// as its cause.
void raise_from(PyObject *type, const char *fmt, ...) {
    PyObject *et, *ev, *tb;
    PyErr_Fetch(&et, &ev, &tb);
    PyErr_NormalizeException(&et, &ev, &tb);
    if (ev && tb) PyException_SetTraceback(ev, tb);
    Py_XDECREF(et);
    Py_XDECREF(tb);
    va_list va;
    va_start(va, fmt);
    PyObject *msg = PyUnicode_FromFormatV(fmt, va);
    va_end(va);
    if (!msg) {
        Py_XDECREF(ev);
        return;
    }
    if (ev) {
        PyObject *full = PyUnicode_FromFormat("%U: %S", msg, ev);
        Py_DECREF(msg);
        if (!full) {
            Py_DECREF(ev);
            return;
        }
        msg = full;
    }
    PyErr_SetObject(type, msg);
    Py_DECREF(msg);
    if (!ev) return;
    PyObject *nt, *nv, *ntb;
    PyErr_Fetch(&nt, &nv, &ntb);
    PyErr_NormalizeException(&nt, &nv, &ntb);
    if (nv) {
        PyException_SetCause(nv, Py_NewRef(ev));
        PyException_SetContext(nv, ev);  // takes ev
    } else {
        Py_DECREF(ev);
    }
    PyErr_Restore(nt, nv, ntb);
}

// "(3, 100)" or "(100,)".
void shape_text(PyArrayObject *a, char *buf, size_t size) {
    size_t k = 0;
    k += std::snprintf(buf + k, size - k, "(");
    for (int d = 0; d < PyArray_NDIM(a) && k < size; ++d) {
        k += std::snprintf(buf + k, size - k, d ? ", %zd" : "%zd",
                           static_cast<Py_ssize_t>(PyArray_DIM(a, d)));
    }
    if (k < size) std::snprintf(buf + k, size - k, PyArray_NDIM(a) == 1 ? ",)" : ")");
}

// ---------------------------------------------------------------------------
// Arguments

int parse(Call &c, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const int n = c.sh.nargs;
    if (nargs > n) {
        PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given",
                     c.name(), n, n == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) c.values[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject *const *names = g_argnames[c.index];
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, j);
        int found = key == s_axis ? n : -1;
        for (int i = 0; i < n && found < 0; ++i) {
            if (key == names[i]) found = i;
        }
        // Keywords built at run time are equal strings, not the interned ones.
        for (int i = 0; i <= n && found < 0; ++i) {
            if (PyUnicode_Compare(key, i < n ? names[i] : s_axis) == 0) found = i;
        }
        if (found < 0) {
            if (PyErr_Occurred()) return -1;
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         c.name(), key);
            return -1;
        }
        if (found == n) {
            c.axis = args[nargs + j];
            continue;
        }
        if (c.sh.positional_only) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got some positional-only arguments passed as keyword arguments: "
                         "'%U'",
                         c.name(), key);
            return -1;
        }
        if (c.values[found]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                         c.name(), key);
            return -1;
        }
        c.values[found] = args[nargs + j];
    }
    for (int i = 0; i < n; ++i) {
        if (c.values[i]) continue;
        PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", c.name(),
                     c.arg(i), i + 1);
        return -1;
    }
    return 0;
}

// A whole number from an int or a NumPy integer (never a bool or a float).
// Returns the value clamped to the long long range, or -1 with an error.
int whole_number(PyObject *o, long long &out, PyObject **as_int) {
    PyObject *ix = nullptr;
    if (!PyLong_CheckExact(o)) {
        // A bool is no window, whichever library made it (older NumPy bools
        // have __index__).
        const bool boolean =
            PyBool_Check(o) || PyArray_IsScalar(o, Bool) ||
            (PyArray_Check(o) && PyArray_TYPE(reinterpret_cast<PyArrayObject *>(o)) == NPY_BOOL);
        if (boolean || !PyIndex_Check(o)) return 1;
        if (!(ix = PyNumber_Index(o))) {
            // Arrays have __index__ but refuse it unless they hold one integer.
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
            PyErr_Clear();
            return 1;
        }
    }
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(ix ? ix : o, &overflow);
    if (overflow) out = overflow > 0 ? LLONG_MAX : LLONG_MIN;
    if (out == -1 && PyErr_Occurred()) {
        Py_XDECREF(ix);
        return -1;
    }
    *as_int = ix ? ix : Py_NewRef(o);
    return 0;
}

// The integer argument i as an int in [lo, INT_MAX].
int window(const Call &c, int i, int lo, int &out) {
    PyObject *o = c.values[i];
    long long v = 0;
    PyObject *as_int = nullptr;
    const int rc = whole_number(o, v, &as_int);
    if (rc < 0) return -1;
    if (rc > 0) {
        // Name the variant that takes a window per bar when a series was given.
        char per_bar[48] = "";
        char alt[32];
        std::snprintf(alt, sizeof alt, "%s_A", c.name());
        if (!PyFloat_Check(o) && rillet::find(alt)) {
            std::snprintf(per_bar, sizeof per_bar, "; for a window length per bar use %s", alt);
        }
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be an int, not %.200s%s",
                     c.name(), c.arg(i), Py_TYPE(o)->tp_name, per_bar);
        return -1;
    }
    if (v < lo || v > INT_MAX) {
        PyErr_Format(PyExc_ValueError, "%s() argument '%s' must be from %d to %d; got %S",
                     c.name(), c.arg(i), lo, INT_MAX, as_int);
        Py_DECREF(as_int);
        return -1;
    }
    Py_DECREF(as_int);
    out = static_cast<int>(v);
    return 0;
}

// EMA and SMA form their smoothing weights in 32-bit int arithmetic in the
// core (N+1 for EMA's 2/(N+1), N-M for SMA's (N-M)/N), which wraps past
// INT_MAX; the exact module keeps that wrap.  Here windows whose weight would
// wrap are refused, as a result computed with a wrapped weight is plainly
// wrong.  `params` holds the integer arguments in order.
int weights_fit(const Call &c, const int *params) {
    const bool ema = c.e->form == rillet::Form::Window && c.e->fn.window == zv_ema;
    if (ema && params[0] == INT_MAX) {
        PyErr_Format(PyExc_ValueError,
                     "%s() argument '%s' must be below %d: the weight 2/(N+1) is formed in "
                     "32 bits, where N+1 wraps; got %d",
                     c.name(), c.arg(1), INT_MAX, params[0]);
        return -1;
    }
    if (c.e->form == rillet::Form::Sma &&
        static_cast<long long>(params[0]) - params[1] > INT_MAX) {
        PyErr_Format(PyExc_ValueError,
                     "%s() arguments '%s' and '%s' must have %s-%s at most %d: the weight "
                     "(N-M)/N is formed in 32 bits, where N-M wraps; got %s=%d, %s=%d",
                     c.name(), c.arg(1), c.arg(2), c.arg(1), c.arg(2), INT_MAX, c.arg(1),
                     params[0], c.arg(2), params[1]);
        return -1;
    }
    return 0;
}

int axis_of(const Call &c, int &axis) {
    if (!c.axis) {
        axis = -1;
        return 0;
    }
    long long v = 0;
    PyObject *as_int = nullptr;
    const int rc = whole_number(c.axis, v, &as_int);
    if (rc < 0) return -1;
    if (rc > 0) {
        PyErr_Format(PyExc_TypeError, "%s() argument 'axis' must be an int, not %.200s",
                     c.name(), Py_TYPE(c.axis)->tp_name);
        return -1;
    }
    Py_DECREF(as_int);
    axis = v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : static_cast<int>(v);
    return 0;
}

// ---------------------------------------------------------------------------
// pandas and polars objects, recognised by the module and name of a class in
// their type's MRO, so that neither library is ever imported here; and
// objects that offer Arrow data, recognised by the Arrow PyCapsule interface.

enum : uint8_t { kUnknown = 0, kPlain = 1, kContainer = 2 };

struct TypeSlot {
    std::atomic<PyTypeObject *> type{nullptr};  // strong once set
    std::atomic<uint8_t> kind{kUnknown};
};
TypeSlot g_seen[32];

bool is_container_class(PyObject *cls) {
    PyObject *mod = PyObject_GetAttrString(cls, "__module__");
    PyObject *name = mod ? PyObject_GetAttrString(cls, "__name__") : nullptr;
    bool yes = false;
    if (mod && name && PyUnicode_Check(mod) && PyUnicode_Check(name)) {
        const char *m = PyUnicode_AsUTF8(mod);
        const char *n = PyUnicode_AsUTF8(name);
        if (m && n) {
            const bool lib = !std::strncmp(m, "pandas", 6) || !std::strncmp(m, "polars", 6);
            const bool top = lib && (m[6] == 0 || m[6] == '.');
            yes = top && (!std::strcmp(n, "Series") || !std::strcmp(n, "DataFrame"));
        }
    }
    Py_XDECREF(mod);
    Py_XDECREF(name);
    PyErr_Clear();
    return yes;
}

uint8_t classify(PyTypeObject *t) {
    // Arrow data comes back as the kind it came in: the Python side wraps it.
    if (is_arrow(t)) return kContainer;
    PyObject *mro = t->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return kPlain;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        if (is_container_class(PyTuple_GET_ITEM(mro, i))) return kContainer;
    }
    return kPlain;
}

bool is_container(PyObject *o) {
    if (PyArray_CheckExact(o) || PyFloat_CheckExact(o) || PyLong_CheckExact(o)) return false;
    PyTypeObject *t = Py_TYPE(o);
    for (TypeSlot &s : g_seen) {
        PyTypeObject *seen = s.type.load(std::memory_order_acquire);
        if (!seen) break;
        if (seen != t) continue;
        const uint8_t k = s.kind.load(std::memory_order_acquire);
        if (k != kUnknown) return k == kContainer;
        break;
    }
    const uint8_t k = classify(t);
    // Remember the type (holding it, so its address cannot be reused).
    for (TypeSlot &s : g_seen) {
        PyTypeObject *expected = nullptr;
        if (s.type.compare_exchange_strong(expected, t, std::memory_order_acq_rel)) {
            Py_INCREF(t);
            s.kind.store(k, std::memory_order_release);
            break;
        }
        if (expected == t) break;
    }
    return k == kContainer;
}

// zelvo._containers.call, imported at the first pandas or polars argument:
// the package's Python layers import this module, so it imports none of
// them while it loads.  Two threads may import at once; one reference stays.
PyObject *containers() {
    static std::atomic<PyObject *> s_handler{nullptr};
    if (PyObject *h = s_handler.load(std::memory_order_acquire)) return h;
    PyObject *m = PyImport_ImportModule("zelvo._containers");
    if (!m) return nullptr;
    PyObject *h = PyObject_GetAttrString(m, "call");
    Py_DECREF(m);
    if (!h) return nullptr;
    PyObject *expected = nullptr;
    if (!s_handler.compare_exchange_strong(expected, h, std::memory_order_acq_rel)) {
        Py_DECREF(h);
        return expected;
    }
    return h;
}

PyObject *hand_over(PyObject *module, const Call &c) {
    PyObject *values = PyTuple_New(c.sh.nargs);
    if (!values) return nullptr;
    for (int i = 0; i < c.sh.nargs; ++i) PyTuple_SET_ITEM(values, i, Py_NewRef(c.values[i]));
    PyObject *axis = c.axis ? c.axis : Py_None;
    PyObject *handler = containers();
    PyObject *r = handler ? PyObject_CallFunctionObjArgs(handler, module, g_names[c.index], values,
                                                         axis, nullptr)
                          : nullptr;
    Py_DECREF(values);
    return r;
}

// ---------------------------------------------------------------------------
// Series arguments

// One series argument as the core reads it.
struct Operand {
    PyArrayObject *arr = nullptr;  // strong: the input itself or its float64 copy
    bool scalar = false;           // a number, repeated for every bar
    double value = 0.0;
    unsigned char byte = 0;
    bool bytes = false;            // arr holds uint8 or bool, read as they are
    bool judge = false;            // arr holds float64 values of a condition

    Operand() = default;
    Operand(const Operand &) = delete;
    Operand &operator=(const Operand &) = delete;
    ~Operand() { Py_XDECREF(arr); }
};

using rillet::truth;  // the condition rule

void set_scalar(Operand &op, double v, bool cond) {
    op.scalar = true;
    op.value = v;
    op.byte = truth(v);
    op.bytes = cond;
}

bool numeric_type(int t) {
    return PyTypeNum_ISBOOL(t) || PyTypeNum_ISINTEGER(t) || PyTypeNum_ISFLOAT(t);
}

bool whole_strides(PyArrayObject *a) {
    for (int d = 0; d < PyArray_NDIM(a); ++d) {
        if (PyArray_STRIDE(a, d) % static_cast<npy_intp>(sizeof(double))) return false;
    }
    return true;
}

}  // namespace

// The one rule by which user data becomes numbers, shared by every entry of
// the package (the functions here, and through float64() the formulas,
// streams, Dask and the command line): anything NumPy reads as an array of
// bool, int or float values, and Arrow data of such values (arrow.cpp, read
// as float64 with nulls as NaN); strings, dates, complex numbers and objects are
// refused, named by `name` and `arg` ("MA() argument 'a'"), or by `name`
// alone when `arg` is null ("the column 'Close'").  The name is put together
// only for a refusal: a call that goes through formats nothing.
// Returns a new reference to an array of the input's own numeric dtype.
PyArrayObject *numeric_array(PyObject *o, const char *name, const char *arg) {
    char what[200];
    auto named = [&]() -> const char * {
        if (!arg) return name;
        std::snprintf(what, sizeof what, "%s() argument '%s'", name, arg);
        return what;
    };
    PyArrayObject *a;
    if (PyArray_Check(o)) {
        a = reinterpret_cast<PyArrayObject *>(Py_NewRef(o));
    } else {
        // Arrow data is read through the C data interface, as float64.
        if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o) && !PyFloat_CheckExact(o) &&
            !PyLong_CheckExact(o)) {
            const int rc = arrow_array(o, named(), &a);
            if (rc) return rc > 0 ? a : nullptr;
        }
        a = reinterpret_cast<PyArrayObject *>(PyArray_FromAny(o, nullptr, 0, 0, 0, nullptr));
        if (!a) {
            raise_from(PyExc_ValueError, "%s cannot be read as an array of numbers", named());
            return nullptr;
        }
    }
    if (!numeric_type(PyArray_TYPE(a))) {
        if (PyArray_NDIM(a) == 0 && !PyArray_Check(o)) {
            PyErr_Format(PyExc_TypeError,
                         "%s must be a series of numbers or a number, not %.200s", named(),
                         Py_TYPE(o)->tp_name);
        } else {
            PyErr_Format(PyExc_TypeError,
                         "%s must hold bool, int or float values; got an array of dtype %S",
                         named(), reinterpret_cast<PyObject *>(PyArray_DESCR(a)));
        }
        Py_DECREF(a);
        return nullptr;
    }
    return a;
}

PyObject *float64(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2 || !PyUnicode_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "float64(values, what: str)");
        return nullptr;
    }
    const char *what = PyUnicode_AsUTF8(args[1]);
    if (!what) return nullptr;
    PyArrayObject *a = numeric_array(args[0], what, nullptr);
    if (!a) return nullptr;
    if (PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNBO(PyArray_DESCR(a)->byteorder)) {
        return reinterpret_cast<PyObject *>(a);
    }
    PyObject *d = PyArray_CastToType(a, PyArray_DescrFromType(NPY_DOUBLE), 0);
    Py_DECREF(a);
    return d;
}

PyObject *truth_of(PyObject *, PyObject *values) {
    auto *a = reinterpret_cast<PyArrayObject *>(
        PyArray_FROMANY(values, NPY_DOUBLE, 0, 0, NPY_ARRAY_CARRAY_RO));
    if (!a) return nullptr;
    PyObject *r = PyArray_EMPTY(PyArray_NDIM(a), PyArray_DIMS(a), NPY_BOOL, 0);
    if (r) {
        const double *x = static_cast<const double *>(PyArray_DATA(a));
        auto *o = static_cast<npy_bool *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(r)));
        const npy_intp n = PyArray_SIZE(a);
        for (npy_intp i = 0; i < n; ++i) o[i] = truth(x[i]);
    }
    Py_DECREF(a);
    return r;
}

namespace {

int convert(const Call &c, int i, Operand &op) {
    PyObject *o = c.values[i];
    const bool cond = c.sh.kinds[i] == Kind::Cond;
    if (PyFloat_CheckExact(o)) {
        set_scalar(op, PyFloat_AS_DOUBLE(o), cond);
        return 0;
    }
    if (PyLong_CheckExact(o)) {
        const double v = PyLong_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) {
            raise_from(PyExc_ValueError, "%s() argument '%s' cannot be read as a number",
                       c.name(), c.arg(i));
            return -1;
        }
        set_scalar(op, v, cond);
        return 0;
    }
    PyArrayObject *a = numeric_array(o, c.name(), c.arg(i));
    if (!a) return -1;
    const int t = PyArray_TYPE(a);
    if (PyArray_NDIM(a) == 0) {
        PyObject *d = PyArray_CastToType(a, PyArray_DescrFromType(NPY_DOUBLE), 0);
        Py_DECREF(a);
        if (!d) return -1;
        double v;
        std::memcpy(&v, PyArray_DATA(reinterpret_cast<PyArrayObject *>(d)), sizeof v);
        Py_DECREF(d);
        set_scalar(op, v, cond);
        return 0;
    }
    if (cond && (t == NPY_BOOL || t == NPY_UBYTE)) {
        op.arr = a;
        op.bytes = true;
        return 0;
    }
    if (t != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(a) || !PyArray_ISALIGNED(a) ||
        !whole_strides(a)) {
        PyObject *d =
            PyArray_CastToType(a, PyArray_DescrFromType(NPY_DOUBLE), PyArray_ISFORTRAN(a));
        Py_DECREF(a);
        if (!d) return -1;
        a = reinterpret_cast<PyArrayObject *>(d);
    }
    op.arr = a;
    op.judge = cond;
    return 0;
}

// ---------------------------------------------------------------------------
// The panel run

// One operand's memory: base address and strides, counted in its elements.
struct Layout {
    const char *base;
    npy_intp esize;
    npy_intp strides[NPY_MAXDIMS];
    bool judge;
};

// The lanes of an N-D call: every dimension but the time axis.  Adjacent
// dimensions that every operand steps through evenly are merged, so a 2-D
// panel (and any C- or Fortran-ordered array) is a single block of lanes,
// one zv_panel call; other layouts take one call per block.
struct Plan {
    int nops;                             // series operands, then the result
    Layout ops[4];
    npy_intp bars;
    npy_intp bar_stride[4];
    int nouter;                           // merged outer dimensions
    npy_intp shape[NPY_MAXDIMS];
    npy_intp strides[4][NPY_MAXDIMS];
};

void plan_lanes(Plan &p, const npy_intp *dims, int nd, int axis) {
    for (int k = 0; k < p.nops; ++k) p.bar_stride[k] = p.ops[k].strides[axis];
    p.bars = dims[axis];
    p.nouter = 0;
    for (int d = 0; d < nd; ++d) {
        if (d == axis || dims[d] == 1) continue;
        const int m = p.nouter;
        bool merge = m > 0;
        for (int k = 0; k < p.nops && merge; ++k) {
            merge = p.strides[k][m - 1] == p.ops[k].strides[d] * dims[d];
        }
        if (merge) {
            p.shape[m - 1] *= dims[d];
            for (int k = 0; k < p.nops; ++k) p.strides[k][m - 1] = p.ops[k].strides[d];
        } else {
            p.shape[m] = dims[d];
            for (int k = 0; k < p.nops; ++k) p.strides[k][m] = p.ops[k].strides[d];
            ++p.nouter;
        }
    }
}

void judge_block(const double *src, npy_intp lane_stride, npy_intp bar_stride, npy_intp lanes,
                 npy_intp bars, unsigned char *out) {
    for (npy_intp k = 0; k < lanes; ++k) {
        const double *x = src + k * lane_stride;
        unsigned char *o = out + k * bars;
        for (npy_intp i = 0; i < bars; ++i) o[i] = truth(x[i * bar_stride]);
    }
}

// Runs every block; touches no Python object, so it may run without the GIL.
int run_blocks(const Entry &e, const Plan &p, const int *params, unsigned char *scratch) {
    const int last = p.nouter - 1;
    const npy_intp lanes = p.nouter ? p.shape[last] : 1;
    npy_intp lane_stride[4];
    for (int k = 0; k < p.nops; ++k) lane_stride[k] = p.nouter ? p.strides[k][last] : 0;
    npy_intp index[NPY_MAXDIMS] = {0};
    const int nser = p.nops - 1;
    for (;;) {
        zv_lanes in[3];
        const char *at[4];
        for (int k = 0; k < p.nops; ++k) {
            npy_intp off = 0;
            for (int d = 0; d < last; ++d) off += index[d] * p.strides[k][d];
            at[k] = p.ops[k].base + off * p.ops[k].esize;
        }
        for (int k = 0; k < nser; ++k) {
            if (p.ops[k].judge) {
                unsigned char *bytes = scratch + k * lanes * p.bars;
                judge_block(reinterpret_cast<const double *>(at[k]), lane_stride[k],
                            p.bar_stride[k], lanes, p.bars, bytes);
                in[k] = zv_lanes{bytes, p.bars, 1};
            } else {
                in[k] = zv_lanes{at[k], lane_stride[k], p.bar_stride[k]};
            }
        }
        num_t *r = reinterpret_cast<num_t *>(const_cast<char *>(at[nser]));
        const int rc = zv_panel(e.name, static_cast<int>(lanes), static_cast<int>(p.bars), in,
                                params, r, lane_stride[nser], p.bar_stride[nser], 0);
        if (rc != ERR_OK) return rc;
        // The next block: an odometer over the outer dimensions but the last.
        int d = last - 1;
        while (d >= 0 && ++index[d] == p.shape[d]) index[d--] = 0;
        if (d < 0) return ERR_OK;
    }
}

}  // namespace

namespace {

// The arguments of a call parsed, its integer windows checked and put in
// params (in order); 0, or -1 with an error.
int prologue(Call &c, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
             int params[3]) {
    if (parse(c, args, nargs, kwnames) < 0) return -1;
    int nparams = 0;
    for (int i = 0; i < c.sh.nargs; ++i) {
        if (c.sh.kinds[i] != Kind::Int) continue;
        const bool checked = nparams == 0 && c.e->param != Param::None;
        const int lo = checked ? rillet::min_window(c.e->param) : INT_MIN;
        if (window(c, i, lo, params[nparams++]) < 0) return -1;
    }
    return weights_fit(c, params);
}

}  // namespace

PyObject *call(PyObject *module, int index, PyObject *const *args, Py_ssize_t nargs,
               PyObject *kwnames) {
    Call c{index, &rillet::kCatalog[index], rillet::shape_of(rillet::kCatalog[index].form)};
    int params[3] = {0, 0, 0};
    if (prologue(c, args, nargs, kwnames, params) < 0) return nullptr;
    for (int i = 0; i < c.sh.nargs; ++i) {
        if (c.sh.kinds[i] != Kind::Int && is_container(c.values[i])) return hand_over(module, c);
    }
    int axis = -1;
    if (axis_of(c, axis) < 0) return nullptr;

    Operand ops[3];
    int first = -1;
    for (int i = 0; i < c.sh.nargs; ++i) {
        if (c.sh.kinds[i] == Kind::Int) continue;
        if (convert(c, i, ops[i]) < 0) return nullptr;
        if (first < 0 && !ops[i].scalar) first = i;
    }
    if (first < 0) {
        PyErr_Format(PyExc_TypeError,
                     "%s() needs at least one series (an array, list or Series); got only "
                     "numbers",
                     c.name());
        return nullptr;
    }
    PyArrayObject *lead = ops[first].arr;
    const int nd = PyArray_NDIM(lead);
    const npy_intp *dims = PyArray_DIMS(lead);
    for (int i = first + 1; i < c.sh.nargs; ++i) {
        if (c.sh.kinds[i] == Kind::Int || ops[i].scalar) continue;
        PyArrayObject *a = ops[i].arr;
        if (PyArray_NDIM(a) == nd && PyArray_CompareLists(PyArray_DIMS(a), dims, nd)) continue;
        char s1[160], s2[160];
        shape_text(lead, s1, sizeof s1);
        shape_text(a, s2, sizeof s2);
        PyErr_Format(PyExc_ValueError,
                     "%s() arguments '%s' and '%s' must have the same shape (a number stands "
                     "for every bar); got %s and %s",
                     c.name(), c.arg(first), c.arg(i), s1, s2);
        return nullptr;
    }
    if (axis < -nd || axis >= nd) {
        PyErr_Format(PyExc_ValueError,
                     "%s() axis %d is out of range for %d-dimensional series (axis must be "
                     "from %d to %d)",
                     c.name(), axis, nd, -nd, nd - 1);
        return nullptr;
    }
    if (axis < 0) axis += nd;
    if (dims[axis] > INT_MAX) {
        PyErr_Format(PyExc_ValueError,
                     "%s() argument '%s' has %zd bars along axis %d; at most %d are supported",
                     c.name(), c.arg(first), static_cast<Py_ssize_t>(dims[axis]), axis, INT_MAX);
        return nullptr;
    }

    // The result, allocated once, in the memory order of the leading series.
    const int fortran = nd > 1 && PyArray_IS_F_CONTIGUOUS(lead) && !PyArray_IS_C_CONTIGUOUS(lead);
    npy_intp shape[NPY_MAXDIMS];
    std::memcpy(shape, dims, sizeof(npy_intp) * nd);
    PyArrayObject *r = reinterpret_cast<PyArrayObject *>(
        c.e->writes_all ? PyArray_EMPTY(nd, shape, NPY_DOUBLE, fortran)
                        : PyArray_ZEROS(nd, shape, NPY_DOUBLE, fortran));
    if (!r) return nullptr;
    const npy_intp total = PyArray_SIZE(r);
    if (total == 0) return reinterpret_cast<PyObject *>(r);

    Plan p;
    p.nops = 0;
    for (int i = 0; i < c.sh.nargs; ++i) {
        if (c.sh.kinds[i] == Kind::Int) continue;
        Layout &l = p.ops[p.nops++];
        const Operand &op = ops[i];
        l.judge = op.judge;
        if (op.scalar) {
            l.base = op.bytes ? reinterpret_cast<const char *>(&op.byte)
                              : reinterpret_cast<const char *>(&op.value);
            l.esize = op.bytes ? 1 : static_cast<npy_intp>(sizeof(double));
            for (int d = 0; d < nd; ++d) l.strides[d] = 0;
        } else {
            l.base = PyArray_BYTES(op.arr);
            l.esize = op.bytes ? 1 : static_cast<npy_intp>(sizeof(double));
            for (int d = 0; d < nd; ++d) l.strides[d] = PyArray_STRIDE(op.arr, d) / l.esize;
        }
    }
    Layout &lr = p.ops[p.nops++];
    lr.base = PyArray_BYTES(r);
    lr.esize = sizeof(double);
    lr.judge = false;
    for (int d = 0; d < nd; ++d) lr.strides[d] = PyArray_STRIDE(r, d) / lr.esize;
    plan_lanes(p, shape, nd, axis);
    const npy_intp lanes = p.nouter ? p.shape[p.nouter - 1] : 1;
    if (lanes > INT_MAX) {
        Py_DECREF(r);
        PyErr_Format(PyExc_ValueError, "%s() got %zd series in one block; at most %d are supported",
                     c.name(), static_cast<Py_ssize_t>(lanes), INT_MAX);
        return nullptr;
    }

    // Bytes for conditions given as numbers, judged block by block.
    unsigned char *scratch = nullptr;
    bool any_judged = false;
    for (int k = 0; k < p.nops - 1; ++k) any_judged |= p.ops[k].judge;
    if (any_judged) {
        scratch = static_cast<unsigned char *>(
            PyMem_RawMalloc(static_cast<size_t>(lanes * p.bars) * (p.nops - 1)));
        if (!scratch) {
            Py_DECREF(r);
            return PyErr_NoMemory();
        }
    }
    int rc;
    if (total >= kReleaseGilAt) {
        Py_BEGIN_ALLOW_THREADS
        rc = run_blocks(*c.e, p, params, scratch);
        Py_END_ALLOW_THREADS
    } else {
        rc = run_blocks(*c.e, p, params, scratch);
    }
    PyMem_RawFree(scratch);
    if (rc != ERR_OK) {
        Py_DECREF(r);
        if (rc == ERR_NO_MEMORY) return PyErr_NoMemory();
        PyErr_Format(PyExc_SystemError, "%s(): the core refused a checked call (code %d)",
                     c.name(), rc);
        return nullptr;
    }
    return reinterpret_cast<PyObject *>(r);
}

namespace {

// A series operand as one contiguous column of n values (bytes for a
// condition): a new reference to the operand's own array where it is one
// already, else to a filled or converted copy.
PyArrayObject *column(const Operand &op, bool cond, npy_intp n) {
    if (op.scalar) {
        auto *a = reinterpret_cast<PyArrayObject *>(
            PyArray_EMPTY(1, &n, cond ? NPY_UBYTE : NPY_DOUBLE, 0));
        if (!a) return nullptr;
        if (cond) {
            std::memset(PyArray_DATA(a), op.byte, static_cast<size_t>(n));
        } else {
            double *d = static_cast<double *>(PyArray_DATA(a));
            for (npy_intp i = 0; i < n; ++i) d[i] = op.value;
        }
        return a;
    }
    if (op.judge) {
        PyArrayObject *src = PyArray_GETCONTIGUOUS(op.arr);
        if (!src) return nullptr;
        auto *a = reinterpret_cast<PyArrayObject *>(PyArray_EMPTY(1, &n, NPY_UBYTE, 0));
        if (a) judge_block(static_cast<const double *>(PyArray_DATA(src)), 0, 1, 1, n,
                           static_cast<unsigned char *>(PyArray_DATA(a)));
        Py_DECREF(src);
        return a;
    }
    return PyArray_GETCONTIGUOUS(op.arr);
}

}  // namespace

// _segments(name, offsets, args): the function `name` with arguments `args`
// (a tuple in the function's order; series as 1-D columns of one length, or
// numbers) over the segments [offsets[s], offsets[s+1]) of the columns, each
// segment computed on its own, in one call into the core (zv_segments).
// offsets rise from 0 to the columns' length.  Returns a float64 column.
PyObject *segments(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 3 || !PyUnicode_Check(args[0]) || !PyTuple_Check(args[2])) {
        PyErr_SetString(PyExc_TypeError, "_segments(name: str, offsets, args: tuple)");
        return nullptr;
    }
    const char *name = PyUnicode_AsUTF8(args[0]);
    if (!name) return nullptr;
    const Entry *e = rillet::find(name);
    if (!e) {
        PyErr_Format(PyExc_ValueError, "no series function is named %R", args[0]);
        return nullptr;
    }
    Call c{static_cast<int>(e - rillet::kCatalog), e, rillet::shape_of(e->form)};
    int params[3] = {0, 0, 0};
    PyObject *values = args[2];
    if (prologue(c, PySequence_Fast_ITEMS(values), PyTuple_GET_SIZE(values), nullptr, params) < 0)
        return nullptr;
    Operand ops[3];
    npy_intp n = -1;
    int first = -1;
    for (int i = 0; i < c.sh.nargs; ++i) {
        if (c.sh.kinds[i] == Kind::Int) continue;
        if (convert(c, i, ops[i]) < 0) return nullptr;
        if (ops[i].scalar) continue;
        PyArrayObject *a = ops[i].arr;
        if (PyArray_NDIM(a) != 1 || (n >= 0 && PyArray_DIM(a, 0) != n)) {
            char s1[160];
            shape_text(a, s1, sizeof s1);
            PyErr_Format(PyExc_ValueError,
                         "%s() over segments takes series of one length (1-D); argument '%s' "
                         "has shape %s, %zd bars expected",
                         c.name(), c.arg(i), s1, static_cast<Py_ssize_t>(n >= 0 ? n : 0));
            return nullptr;
        }
        if (first < 0) {
            first = i;
            n = PyArray_DIM(a, 0);
        }
    }
    if (first < 0) {
        PyErr_Format(PyExc_TypeError, "%s() needs at least one series; got only numbers",
                     c.name());
        return nullptr;
    }
    auto *offs = reinterpret_cast<PyArrayObject *>(
        PyArray_FROMANY(args[1], NPY_INT64, 1, 1, NPY_ARRAY_CARRAY_RO));
    if (!offs) return nullptr;
    const npy_intp nseg = PyArray_DIM(offs, 0) - 1;
    const int64_t *o = static_cast<const int64_t *>(PyArray_DATA(offs));
    bool sound = nseg >= 0 && nseg <= INT_MAX && o[0] == 0 && o[nseg] == n;
    for (npy_intp s = 0; sound && s < nseg; ++s)
        sound = o[s + 1] >= o[s] && o[s + 1] - o[s] <= INT_MAX;
    if (!sound) {
        Py_DECREF(offs);
        PyErr_Format(PyExc_ValueError,
                     "%s() over segments: the offsets must rise from 0 to the series' length "
                     "(%zd), no segment longer than %d bars",
                     c.name(), static_cast<Py_ssize_t>(n), INT_MAX);
        return nullptr;
    }
    PyArrayObject *cols[3] = {nullptr, nullptr, nullptr};
    const void *inputs[3] = {nullptr, nullptr, nullptr};
    int nin = 0;
    PyArrayObject *r = nullptr;
    for (int i = 0; i < c.sh.nargs; ++i) {
        if (c.sh.kinds[i] == Kind::Int) continue;
        cols[nin] = column(ops[i], c.sh.kinds[i] == Kind::Cond, n);
        if (!cols[nin]) goto done;
        inputs[nin] = PyArray_DATA(cols[nin]);
        ++nin;
    }
    r = reinterpret_cast<PyArrayObject *>(c.e->writes_all ? PyArray_EMPTY(1, &n, NPY_DOUBLE, 0)
                                                          : PyArray_ZEROS(1, &n, NPY_DOUBLE, 0));
    if (r) {
        num_t *R = static_cast<num_t *>(PyArray_DATA(r));
        int rc;
        if (n >= kReleaseGilAt) {
            Py_BEGIN_ALLOW_THREADS
            rc = zv_segments(e->name, static_cast<int>(nseg), o, inputs, params, R, 0);
            Py_END_ALLOW_THREADS
        } else {
            rc = zv_segments(e->name, static_cast<int>(nseg), o, inputs, params, R, 0);
        }
        if (rc == ERR_NO_MEMORY) {
            Py_CLEAR(r);
            PyErr_NoMemory();
        } else if (rc != ERR_OK) {
            Py_CLEAR(r);
            PyErr_Format(PyExc_SystemError, "%s(): the core refused a checked call (code %d)",
                         c.name(), rc);
        }
    }
done:
    for (PyArrayObject *a : cols) Py_XDECREF(a);
    Py_DECREF(offs);
    return reinterpret_cast<PyObject *>(r);
}

}  // namespace zelvo_api
