// zelvo._api: module definition, docstrings and the thread-count functions.
//
// The 31 functions are the rows of the core's catalog.  Each docstring starts
// with the call signature (so inspect.signature works on the built-in), then
// the function's own text from docs/functions.md (generated into
// api_docs.inc at build time), argument lines derived from the catalog, and
// the examples of the documentation.
#define ZELVO_API_IMPORTS_NUMPY
#include "api.h"

#include <climits>
#include <cstring>
#include <string>
#include <utility>

namespace zelvo_api {
namespace {

struct Doc {
    const char *name;
    const char *text;
    const char *examples;
};

constexpr Doc kDocs[] = {
#include "api_docs.inc"
};
static_assert(sizeof kDocs / sizeof kDocs[0] == kCount, "one doc section per function");

const Doc *doc_of(const char *name) {
    for (const Doc &d : kDocs) {
        if (!std::strcmp(d.name, name)) return &d;
    }
    return nullptr;
}

std::string g_docstrings[kCount];

const char *const kSeries =
    "numbers: a NumPy array or anything numpy.asarray reads (lists, tuples;\n"
    "        bool, int or float values), a pandas Series or DataFrame, a polars\n"
    "        Series, Arrow data (a pyarrow array or chunked array, a DuckDB\n"
    "        result; nulls read as NaN), or one number for every bar.";
const char *const kCondition =
    "condition, given as a series is: true on a bar where its value truncated\n"
    "        toward zero is non-zero (0.5 and NaN are false); bool and uint8 are\n"
    "        read as they are.";

void append_argument(std::string &s, const char *name, const std::string &what) {
    s += "  ";
    s += name;
    s.append(6 - std::strlen(name), ' ');
    s += what;
    s += '\n';
}

std::string window_text(int lo) {
    return "int window, from " + std::to_string(lo) + " to " + std::to_string(INT_MAX) +
           " (a bool or float is refused).";
}

// "MA(a, N, *, axis=-1)\n--\n\n<text>\n\nArguments:\n...\nExamples:\n..."
std::string docstring(const rillet::Entry &e, const Doc &d) {
    const rillet::Shape sh = rillet::shape_of(e.form);
    std::string s = e.name;
    s += '(';
    for (int i = 0; i < sh.nargs; ++i) {
        if (i) s += ", ";
        s += e.argnames[i];
    }
    s += sh.positional_only ? ", /, *, axis=-1)\n--\n\n" : ", *, axis=-1)\n--\n\n";
    s += d.text;
    s += "\n\nArguments:\n";
    int nint = 0;
    for (int i = 0; i < sh.nargs; ++i) {
        switch (sh.kinds[i]) {
            case rillet::Kind::Num: append_argument(s, e.argnames[i], kSeries); break;
            case rillet::Kind::Cond: append_argument(s, e.argnames[i], kCondition); break;
            case rillet::Kind::Int: {
                const bool checked = nint++ == 0 && e.param != rillet::Param::None;
                append_argument(s, e.argnames[i],
                                window_text(checked ? rillet::min_window(e.param) : INT_MIN));
                break;
            }
        }
    }
    append_argument(s, "axis",
                    "keyword only: the axis along which the bars run in an N-D array\n"
                    "        (default -1, the last; a DataFrame always runs down its columns).");
    s += "\nReturns float64 values shaped like the series: a NumPy array, or a pandas,\n"
         "polars or pyarrow object like the first series argument (a pandas or polars\n"
         "object with its index and name).\n"
         "Arguments of different shapes, a window out of range or non-numeric values\n"
         "raise ValueError or TypeError.\n\nExamples:\n";
    s += d.examples;
    s += '\n';
    return s;
}

template <int I>
PyObject *entry(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return call(module, I, args, nargs, kwnames);
}

PyObject *set_threads(PyObject *, PyObject *arg) {
    if (PyBool_Check(arg) || !PyIndex_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "set_threads() argument must be an int, not %.200s",
                     Py_TYPE(arg)->tp_name);
        return nullptr;
    }
    PyObject *ix = PyNumber_Index(arg);
    if (!ix) return nullptr;
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(ix, &overflow);
    if (overflow || n < 0 || n > 1024) {
        PyErr_Format(PyExc_ValueError,
                     "set_threads() takes a thread count from 1 to 1024, or 0 for the default "
                     "(ZELVO_THREADS, else the number of processors); got %S",
                     ix);
        Py_DECREF(ix);
        return nullptr;
    }
    Py_DECREF(ix);
    zv_set_threads(static_cast<int>(n));
    Py_RETURN_NONE;
}

PyObject *get_threads(PyObject *, PyObject *) { return PyLong_FromLong(zv_get_threads()); }

// The registry's rows for the Python layers (zelvo._catalog):
// (name, argnames, kinds, positional_only, min_window, per_bar, summary,
// exact), kinds one letter per argument: s series, c condition, i window.
PyObject *registry(PyObject *, PyObject *) {
    PyObject *rows = PyTuple_New(kCount);
    if (!rows) return nullptr;
    for (int i = 0; i < kCount; ++i) {
        const rillet::Entry &e = rillet::kCatalog[i];
        const rillet::Shape sh = rillet::shape_of(e.form);
        char kinds[4] = {0, 0, 0, 0};
        bool windowed = false;
        PyObject *names = PyTuple_New(sh.nargs);
        if (!names) {
            Py_DECREF(rows);
            return nullptr;
        }
        for (int k = 0; k < sh.nargs; ++k) {
            kinds[k] = sh.kinds[k] == rillet::Kind::Int ? 'i'
                       : sh.kinds[k] == rillet::Kind::Cond ? 'c' : 's';
            windowed = windowed || sh.kinds[k] == rillet::Kind::Int;
            PyTuple_SET_ITEM(names, k, Py_NewRef(g_argnames[i][k]));
        }
        PyObject *min_window = Py_NewRef(Py_None);
        if (e.param != rillet::Param::None) {
            Py_SETREF(min_window, PyLong_FromLong(rillet::min_window(e.param)));
        } else if (windowed) {  // REF, REFXV: any int
            Py_SETREF(min_window, PyLong_FromLong(INT_MIN));
        }
        if (!min_window) {
            Py_DECREF(names);
            Py_DECREF(rows);
            return nullptr;
        }
        const std::string variant = std::string(e.name) + "_A";
        const rillet::Entry *v = rillet::find(variant.c_str());
        // Py_BuildValue takes over names and min_window ("N"), even on failure.
        PyObject *row = Py_BuildValue(
            "(ONsNNssN)", g_names[i], names, kinds, PyBool_FromLong(sh.positional_only),
            min_window, v && rillet::per_bar(v->form, v->argnames) ? v->name : nullptr,
            e.summary, PyBool_FromLong(e.exact));
        if (!row) {
            Py_DECREF(rows);
            return nullptr;
        }
        PyTuple_SET_ITEM(rows, i, row);
    }
    return rows;
}

PyMethodDef g_methods[kCount + 7];

template <int... I>
void fill_methods(std::integer_sequence<int, I...>) {
    ((g_methods[I] = PyMethodDef{rillet::kCatalog[I].name,
                                 reinterpret_cast<PyCFunction>(
                                     reinterpret_cast<void (*)(void)>(entry<I>)),
                                 METH_FASTCALL | METH_KEYWORDS, g_docstrings[I].c_str()}),
     ...);
    g_methods[kCount] = PyMethodDef{
        "set_threads", set_threads, METH_O,
        "set_threads($module, n, /)\n--\n\n"
        "Sets the number of threads of panel calls: n from 1 to 1024, or 0 for the\n"
        "default (the environment variable ZELVO_THREADS, else the number of\n"
        "processors).  Results are the same bits at every thread count."};
    g_methods[kCount + 1] = PyMethodDef{
        "get_threads", get_threads, METH_NOARGS,
        "get_threads($module, /)\n--\n\nThe number of threads panel calls use."};
    g_methods[kCount + 2] = PyMethodDef{
        "_float64", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(float64)),
        METH_FASTCALL,
        "_float64($module, values, what, /)\n--\n\n"
        "values as a float64 array by the rule every entry of the package reads\n"
        "series by (bool, int or float values); refusals name `what`."};
    g_methods[kCount + 3] = PyMethodDef{
        "_truth", truth_of, METH_O,
        "_truth($module, values, /)\n--\n\n"
        "A bool array: where the values hold as conditions (their truncation\n"
        "toward zero is non-zero; NaN does not hold), by the rule every layer uses."};
    g_methods[kCount + 4] = PyMethodDef{
        "_registry", registry, METH_NOARGS,
        "_registry($module, /)\n--\n\n"
        "The rows of the core's function registry: (name, argnames, kinds,\n"
        "positional_only, min_window, per_bar, summary, exact)."};
    g_methods[kCount + 5] = PyMethodDef{
        "_segments", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(segments)),
        METH_FASTCALL,
        "_segments($module, name, offsets, args, /)\n--\n\n"
        "The function `name` with arguments `args` (a tuple in its order: 1-D\n"
        "series of one length, numbers, int windows) over the segments\n"
        "[offsets[s], offsets[s+1]) of the series, each as if alone, in one call\n"
        "into the core; offsets rise from 0 to the series' length."};
    g_methods[kCount + 6] = PyMethodDef{nullptr, nullptr, 0, nullptr};
}

int module_exec(PyObject *module) {
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    if (arrow_init() < 0) return -1;
    if (!s_axis) {
        if (!(s_axis = PyUnicode_InternFromString("axis"))) return -1;
        for (int i = 0; i < kCount; ++i) {
            const rillet::Entry &e = rillet::kCatalog[i];
            if (!(g_names[i] = PyUnicode_InternFromString(e.name))) return -1;
            for (int k = 0; k < rillet::shape_of(e.form).nargs; ++k) {
                if (!(g_argnames[i][k] = PyUnicode_InternFromString(e.argnames[k]))) return -1;
            }
        }
    }
    PyObject *all = PyList_New(0);
    if (!all) return -1;
    for (const PyMethodDef *d = g_methods; d->ml_name; ++d) {
        if (d->ml_name[0] == '_') continue;
        PyObject *name = PyUnicode_FromString(d->ml_name);
        if (!name || PyList_Append(all, name) < 0) {
            Py_XDECREF(name);
            Py_DECREF(all);
            return -1;
        }
        Py_DECREF(name);
    }
    const int rc = PyModule_AddObjectRef(module, "__all__", all);
    Py_DECREF(all);
    return rc;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT,
    "_api",
    "zelvo's 31 series functions for arrays, pandas and polars objects and numbers,\n"
    "with N-D panels in one call; see help(zelvo) and help(zelvo.MA).",
    0,
    g_methods,
    g_slots,
    nullptr,
    nullptr,
    nullptr};

}  // namespace
}  // namespace zelvo_api

PyMODINIT_FUNC PyInit__api(void) {
    using namespace zelvo_api;
    if (!g_methods[0].ml_name) {
        for (int i = 0; i < kCount; ++i) {
            const Doc *d = doc_of(rillet::kCatalog[i].name);
            if (!d) {
                PyErr_Format(PyExc_ImportError, "zelvo._api: no documentation for %s",
                             rillet::kCatalog[i].name);
                return nullptr;
            }
            g_docstrings[i] = docstring(rillet::kCatalog[i], *d);
        }
        fill_methods(std::make_integer_sequence<int, kCount>{});
    }
    return PyModuleDef_Init(&g_def);
}
