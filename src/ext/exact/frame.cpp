// The call frame of the exact module: the binding table generated from the
// catalog, argument parsing, and the one frame every function runs through.
//
// Every function follows one frame: parse the arguments, allocate a
// zero-filled float64 result through numpy.zeros, take one-dimensional
// contiguous views of the array arguments, call one core function with
// context 0 and return the result.  The core's return code is not examined:
// a refused call leaves the result as the core left it (all zeros).
#include <array>
#include <climits>
#include <cstdint>
#include <memory>
#include <utility>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NO_IMPORT_ARRAY
#include "exact.h"
#include <numpy/ndarraytypes.h>

#include "views.h"
#include "series.h"

namespace exact {
namespace {

using rillet::Form;
using rillet::Kind;
using rillet::shape_of;
using FormShape = rillet::Shape;

// A row of the catalog with the name of its traceback entries.
struct Binding {
    const char *name;
    const char *qualname;  // zelvo._zelvo.<name>
    Form form;
    const char *const *argnames;
    const rillet::Entry *entry;
};

#define ZV_QUALNAME(NAME, ...) "zelvo._zelvo." #NAME,
constexpr const char *kQualnames[] = {RILLET_CATALOG(ZV_QUALNAME)};
#undef ZV_QUALNAME

template <size_t... I>
constexpr auto make_bindings(std::index_sequence<I...>) {
    return std::array<Binding, sizeof...(I)>{{
        Binding{rillet::kCatalog[I].name, kQualnames[I], rillet::kCatalog[I].form,
                rillet::kCatalog[I].argnames, &rillet::kCatalog[I]}...}};
}
constexpr auto kBindings = make_bindings(std::make_index_sequence<kCount>{});

PyMethodDef g_defs[kCount];

// ---------------------------------------------------------------------------
// Looking up the global `np`, cached per reading place against the version
// tag of the module dictionary where the interpreter keeps one (before 3.12;
// later interpreters deprecate it, and every call looks afresh); falls back
// to the builtins.

struct GlobalCache {
    PyObject *value;  // borrowed: valid while the dictionary's tag is unchanged
    uint64_t tag;
};

GlobalCache c_np_zeros, c_np_float64, c_np_uint8;

PyObject *builtin_or_name_error(PyObject *name) {
    PyObject *v = PyObject_GetAttr(g.builtins, name);
    if (!v && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return v;
}

inline uint64_t dict_tag(PyObject *dict) {
#if PY_VERSION_HEX < 0x030C0000
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
#else
    (void)dict;
    return 0;
#endif
}

PyObject *lookup_np(GlobalCache &cache) {
    const uint64_t tag = dict_tag(g.dict);
    if (cache.tag == tag && tag != 0) {
        if (cache.value) return Py_NewRef(cache.value);
        return builtin_or_name_error(g.np);
    }
    PyObject *v = PyDict_GetItemWithError(g.dict, g.np);
    if (!v && PyErr_Occurred()) return nullptr;
    cache.value = v;
    cache.tag = tag;
    if (v) return Py_NewRef(v);
    return builtin_or_name_error(g.np);
}

// np.<attr>, looked up afresh through the cache of one reading place.
PyObject *np_attr(GlobalCache &cache, PyObject *attr) {
    Ref np(lookup_np(cache));
    if (!np) return nullptr;
    return PyObject_GetAttr(np.get(), attr);
}

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
// Lengths and integers

int too_long(const char *func, const char *argname, Py_ssize_t n) {
    PyErr_Format(PyExc_OverflowError,
                 "%s() argument '%s' has %zd elements; at most %d are supported", func, argname,
                 n, INT_MAX);
    return -1;
}

// A len() taken before any view: its value, or the exception it raised,
// kept until the argument's turn in the checks so errors surface in the same
// order as if len() were called there.
struct Length {
    Py_ssize_t n = -1;
    SavedError error;

    void take(PyObject *o) {
        n = PyObject_Length(o);
        if (n < 0) error.save();
    }
    // Puts the kept exception back; -1 when there was one.
    int restore() {
        if (n >= 0) return 0;
        error.restore();
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "len() failed");
        return -1;
    }
};

// The element-0 check, then the length handed to the core: len() of the
// argument as passed (taken before the views).  That length must fit an int
// and must not differ from the view's element count, or the core would read
// past the buffer.
int checked_length(const char *func, const char *argname, Length &len, const View &v,
                   int &out) {
    if (v.count < 1) {
        PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0);
        return -1;
    }
    if (len.restore() < 0) return -1;
    const Py_ssize_t n = len.n;
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
// Conditions

// How a condition argument reaches the core as bytes.
enum class CondRoute : uint8_t {
    AsIs,     // a plain uint8/bool ndarray the core can read in place
    Bytes,    // astype(uint8): uint8/bool arrays that need a copy, and duck types
    Judged,   // astype(float64), then true where the truncation toward zero is non-zero
};

CondRoute cond_route(PyObject *o) {
    if (!PyObject_TypeCheck(o, g.ndarray)) return CondRoute::Bytes;
    const int type = reinterpret_cast<const PyArrayObject_fields *>(o)->descr->type_num;
    if (type != NPY_BOOL && type != NPY_UBYTE) return CondRoute::Judged;
    View probe;
    return direct_view(o, Elem::UInt8, probe) ? CondRoute::AsIs : CondRoute::Bytes;
}

// Bytes for the core from a float64 condition: a value is true when its
// truncation toward zero is non-zero, so 0.5 is false, 256 and -1 are true,
// and NaN is false.
void judge(const num_t *x, unsigned char *out, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = rillet::truth(x[i]);
}

struct PyMemFree {
    void operator()(unsigned char *p) const { PyMem_Free(p); }
};
using Bytes = std::unique_ptr<unsigned char[], PyMemFree>;

// ---------------------------------------------------------------------------
// The call frame

// The zero-filled result, sized by len() of the first argument.
PyObject *new_result(const Binding &b, PyObject *first) {
    Ref zeros(np_attr(c_np_zeros, g.zeros));
    if (!zeros) return nullptr;
    const Py_ssize_t n = PyObject_Length(first);
    // A length the core cannot take is refused before numpy.zeros is asked
    // for it (a lying __len__ could otherwise request terabytes).
    if (n > INT_MAX) too_long(b.name, b.argnames[0], n);
    if (n < 0 || n > INT_MAX) return nullptr;
    Ref dtype(np_attr(c_np_float64, g.float64));
    if (!dtype) return nullptr;
    Ref len(PyLong_FromSsize_t(n));
    if (!len) return nullptr;
    PyObject *argv[] = {len.get(), dtype.get()};
    return PyObject_Vectorcall(zeros.get(), argv, 1, g.kwnames_dtype);
}

// Every step that can run Python code (len(), astype, numpy.zeros) comes
// before the first raw view is taken; from the views to the end of the core
// call nothing but this function runs, so no input can move under the core.
PyObject *run_frame(const Binding &b, PyObject *const *values) {
    const FormShape sh = shape_of(b.form);
    Ref r(new_result(b, values[0]));
    if (!r) return nullptr;
    // Condition series become fresh copies the core can read.
    Ref converted[3];
    CondRoute routes[3] = {CondRoute::AsIs, CondRoute::AsIs, CondRoute::AsIs};
    for (int i = 0; i < sh.nargs; ++i) {
        if (sh.kinds[i] != Kind::Cond) continue;
        routes[i] = cond_route(values[i]);
        if (routes[i] == CondRoute::AsIs) continue;
        Ref type(routes[i] == CondRoute::Judged ? np_attr(c_np_float64, g.float64)
                                                : np_attr(c_np_uint8, g.uint8));
        if (!type) return nullptr;
        converted[i].reset(PyObject_CallMethodOneArg(values[i], g.astype, type.get()));
        if (!converted[i]) return nullptr;
    }
    // len() of every array argument as passed, and of the result.
    Length given[3], rgiven;
    for (int i = 0; i < sh.nargs; ++i) {
        if (sh.kinds[i] != Kind::Int) given[i].take(values[i]);
    }
    rgiven.take(r.get());
    // Views in argument order, then of the result.  From here on no Python
    // code of the caller's runs, except an exporter's own buffer hook, which
    // check_unmoved guards against.
    View views[3], rview;
    const auto source = [&](int i) { return converted[i] ? converted[i].get() : values[i]; };
    for (int i = 0; i < sh.nargs; ++i) {
        if (sh.kinds[i] == Kind::Int) continue;
        const bool bytes = sh.kinds[i] == Kind::Cond && routes[i] != CondRoute::Judged;
        if (take_view(source(i), bytes ? Elem::UInt8 : Elem::Double, views[i]) < 0)
            return nullptr;
    }
    if (take_view(r.get(), Elem::Double, rview) < 0) return nullptr;
    for (int i = 0; i < sh.nargs; ++i) {
        if (sh.kinds[i] != Kind::Int && check_unmoved(source(i), views[i]) < 0) return nullptr;
    }
    if (check_unmoved(r.get(), rview) < 0) return nullptr;
    // Element-0 checks and lengths, integer conversions, in argument order.
    rillet::Args args;
    for (int i = 0; i < sh.nargs; ++i) {
        const int rc = sh.kinds[i] == Kind::Int
                           ? to_int(values[i], args.ints[i])
                           : checked_length(b.name, b.argnames[i], given[i], views[i],
                                            args.sizes[i]);
        if (rc < 0) return nullptr;
        args.series[i] = views[i].data;
    }
    int rlen = 0;
    if (checked_length(b.name, "result", rgiven, rview, rlen) < 0) return nullptr;
    Bytes judged[3];
    for (int i = 0; i < sh.nargs; ++i) {
        if (routes[i] != CondRoute::Judged) continue;
        judged[i].reset(static_cast<unsigned char *>(PyMem_Malloc(args.sizes[i])));
        if (!judged[i]) return PyErr_NoMemory();
        judge(reinterpret_cast<const num_t *>(views[i].data), judged[i].get(), args.sizes[i]);
        args.series[i] = judged[i].get();
    }
    rillet::invoke(*b.entry, 0, args, reinterpret_cast<num_t *>(rview.data), rlen);
    return r.release();
}

PyObject *call_frame(const Binding &b, PyObject *const *values) {
    PyObject *r = run_frame(b, values);
    if (!r) add_traceback(b.qualname, __LINE__);
    return r;
}

template <int I>
PyObject *entry_keywords(PyObject *, PyObject *args, PyObject *kwds) {
    const Binding &b = kBindings[I];
    PyObject *values[3] = {nullptr, nullptr, nullptr};
    const FormShape sh = shape_of(b.form);
    if (parse_args(b, g.argnames[I], sh.nargs, args, kwds, values) < 0 ||
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

}  // namespace

int bind_functions() {
    fill_defs(std::make_integer_sequence<int, kCount>{});
    Ref modname(PyUnicode_FromString(kModuleName));
    if (!modname) return -1;
    for (int i = 0; i < kCount; ++i) {
        Ref f(PyCFunction_NewEx(&g_defs[i], nullptr, modname.get()));
        if (!f || PyDict_SetItemString(g.dict, kBindings[i].name, f.get()) < 0) return -1;
    }
    Ref test(PyDict_New());
    if (!test) return -1;
    return PyDict_SetItemString(g.dict, "__test__", test.get());
}

}  // namespace exact
