// zelvo._stream: a graph of the core's streams, updated one bar at a time,
// for one instrument or for a universe of instruments in one call.
//
// A graph is a topologically ordered list of nodes, each a field of the bar,
// a constant, a call of one of the 31 functions (one core stream per
// instrument), or an elementwise operation on earlier nodes.  An update
// evaluates the nodes in order over every instrument: a call node updates
// its instruments' streams, an elementwise node runs over the instruments as
// NumPy would over an array.  The universe form takes one array per field
// and runs without the GIL.
//
// The package's zelvo.stream.Stream builds the program (checked against the
// function catalog) and derives from the type here; this file checks again
// everything that indexes memory.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "rillet.h"
#include "catalog.h"
#include "series.h"
#include "stream_bytes.h"

namespace {

// ---------------------------------------------------------------------------
// Operations

enum Kind : int { kField = 0, kConst = 1, kCall = 2, kBinary = 3, kUnary = 4, kIf = 5 };

constexpr int kMaxFields = 64;  // fields of a bar

// Binary operations; BINARY_OPS lists their names in this order.
enum Binary : int { ADD, SUB, MUL, DIV, GT, LT, GE, LE, EQ, NE, AND, OR, MAX, MIN, POW, kBinaries };
const char *const kBinaryNames[kBinaries] = {"+",  "-",  "*",  "/",   ">",   "<",   ">=", "<=",
                                             "==", "!=", "AND", "OR", "MAX", "MIN", "POW"};
// Unary operations; UNARY_OPS lists their names in this order.
enum Unary : int { NEG, NOT, ABS, SQRT, LN, LOG, EXP, SIGN, kUnaries };
const char *const kUnaryNames[kUnaries] = {"NEG", "NOT", "ABS", "SQRT", "LN", "LOG", "EXP", "SIGN"};

using rillet::truth;  // the condition rule

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// NumPy's own float64 loops for the functions the formula language takes
// from NumPy (sqrt, log, log10, exp, power; see zelvo.formula._ops): the
// stream then gives exactly what they give on arrays.
struct Loop {
    PyUFuncGenericFunction fn = nullptr;
    void *data = nullptr;
};
Loop g_sqrt, g_log, g_log10, g_exp, g_power;

bool find_loop(PyObject *np, const char *name, Loop &loop) {
    PyObject *u = PyObject_GetAttrString(np, name);
    if (!u) return false;
    bool ok = false;
    if (PyObject_TypeCheck(u, &PyUFunc_Type)) {
        auto *uf = reinterpret_cast<PyUFuncObject *>(u);
        for (int i = 0; i < uf->ntypes && !ok; ++i) {
            bool all = true;
            for (int j = 0; j < uf->nargs; ++j) all = all && uf->types[i * uf->nargs + j] == NPY_DOUBLE;
            if (all && uf->functions[i] != nullptr) {
                loop.fn = uf->functions[i];
                loop.data = uf->data ? uf->data[i] : nullptr;
                ok = true;
            }
        }
    }
    Py_DECREF(u);
    if (!ok) PyErr_Format(PyExc_ImportError, "numpy.%s has no float64 loop", name);
    return ok;
}

inline void run_loop(const Loop &l, const double *a, const double *b, double *out, npy_intp n) {
    if (b) {
        char *args[3] = {reinterpret_cast<char *>(const_cast<double *>(a)),
                         reinterpret_cast<char *>(const_cast<double *>(b)),
                         reinterpret_cast<char *>(out)};
        const npy_intp steps[3] = {8, 8, 8};
        l.fn(args, &n, steps, l.data);
    } else {
        char *args[2] = {reinterpret_cast<char *>(const_cast<double *>(a)),
                         reinterpret_cast<char *>(out)};
        const npy_intp steps[2] = {8, 8};
        l.fn(args, &n, steps, l.data);
    }
}

// out[i] = f(a[i*SA], b[i*SB]): SA or SB 0 for one value used at every i.
template <int SA, int SB, class F>
inline void each(double *out, const double *a, const double *b, npy_intp n, F f) {
    for (npy_intp i = 0; i < n; ++i) out[i] = f(a[i * SA], b[i * SB]);
}

// The language's binary operations, written once: a graph's nodes and the
// formula evaluation over whole arrays (zelvo.formula._ops, through
// _elementwise) both run them.  POW takes both operands at every i (SA = SB
// = 1): the loop it borrows from NumPy may take shortcuts for a constant.
template <int SA, int SB>
void binary_strided(int op, const double *a, const double *b, double *o, npy_intp n) {
    switch (op) {
        case ADD: each<SA, SB>(o, a, b, n, [](double x, double y) { return x + y; }); break;
        case SUB: each<SA, SB>(o, a, b, n, [](double x, double y) { return x - y; }); break;
        case MUL: each<SA, SB>(o, a, b, n, [](double x, double y) { return x * y; }); break;
        case DIV: each<SA, SB>(o, a, b, n, [](double x, double y) { return x / y; }); break;
        case GT: each<SA, SB>(o, a, b, n, [](double x, double y) { return x > y ? 1.0 : 0.0; }); break;
        case LT: each<SA, SB>(o, a, b, n, [](double x, double y) { return x < y ? 1.0 : 0.0; }); break;
        case GE: each<SA, SB>(o, a, b, n, [](double x, double y) { return x >= y ? 1.0 : 0.0; }); break;
        case LE: each<SA, SB>(o, a, b, n, [](double x, double y) { return x <= y ? 1.0 : 0.0; }); break;
        case EQ: each<SA, SB>(o, a, b, n, [](double x, double y) { return x == y ? 1.0 : 0.0; }); break;
        case NE: each<SA, SB>(o, a, b, n, [](double x, double y) { return x != y ? 1.0 : 0.0; }); break;
        case AND:
            each<SA, SB>(o, a, b, n, [](double x, double y) { return truth(x) && truth(y) ? 1.0 : 0.0; });
            break;
        case OR:
            each<SA, SB>(o, a, b, n, [](double x, double y) { return truth(x) || truth(y) ? 1.0 : 0.0; });
            break;
        // a where a > b, else b: on a tie of zeros the second (MAX(0,-0) is
        // -0), NaN in either gives NaN.  NumPy's maximum does not promise
        // which zero it returns, so the rule is written out here.
        case MAX:
            each<SA, SB>(o, a, b, n, [](double x, double y) { return x > y || std::isnan(x) ? x : y; });
            break;
        case MIN:
            each<SA, SB>(o, a, b, n, [](double x, double y) { return x < y || std::isnan(x) ? x : y; });
            break;
        case POW:
            // NumPy's power (C pow) gives 1 for pow(x, 0) and pow(1, y) even
            // where x or y is NaN; the language's POW gives NaN there.
            if constexpr (SA == 1 && SB == 1) {
                run_loop(g_power, a, b, o, n);
                for (npy_intp i = 0; i < n; ++i) {
                    if (std::isnan(a[i]) || std::isnan(b[i])) o[i] = kNaN;
                }
            }
            break;
    }
}

void binary(int op, const double *a, const double *b, double *o, npy_intp n) {
    binary_strided<1, 1>(op, a, b, o, n);
}

void unary(int op, const double *a, double *o, npy_intp n) {
    switch (op) {
        case NEG: for (npy_intp i = 0; i < n; ++i) o[i] = -a[i]; break;
        case NOT: for (npy_intp i = 0; i < n; ++i) o[i] = truth(a[i]) ? 0.0 : 1.0; break;
        case ABS: for (npy_intp i = 0; i < n; ++i) o[i] = std::fabs(a[i]); break;
        case SQRT: run_loop(g_sqrt, a, nullptr, o, n); break;
        case LN: run_loop(g_log, a, nullptr, o, n); break;
        case LOG: run_loop(g_log10, a, nullptr, o, n); break;
        case EXP: run_loop(g_exp, a, nullptr, o, n); break;
        case SIGN:  // 1, -1, +0 for either zero, NaN for NaN
            for (npy_intp i = 0; i < n; ++i) {
                o[i] = std::isnan(a[i]) ? a[i] : static_cast<double>((a[i] > 0.0) - (a[i] < 0.0));
            }
            break;
    }
}

// ---------------------------------------------------------------------------
// The graph object

struct Node {
    int kind, code;
    int arg[3];
    int nargs;
    double value;
    char name[16];  // function name of a call node
    int params[2], nparams;
    int call;      // index of a call node among the call nodes
    int64_t lag;   // look-ahead of a call node's streams
};

struct Graph {
    PyObject_HEAD
    int ready;
    int nnodes, nfields, ncalls, nouts;
    Py_ssize_t K;   // instruments
    int universe;   // 1: the bar is one array per field
    int max_window;
    Node *nodes;
    int *outs;                 // node of each output
    PyObject *fields;          // tuple of str
    PyObject *out_names;       // tuple of str
    zv_stream **handles;       // ncalls x K
    double *vals;              // nnodes x K: the values of the bar being taken
    const double **rows;       // nnodes: where each node's values are read
    int64_t bars;
    std::atomic<int> busy;     // an update runs without the GIL
    PyObject *known;           // the keys of the last dict bar Stream._read read, in order
    int *known_field;          // the field each of those keys feeds, -1 for none
};

void release(Graph *g) {
    if (g->handles) {
        for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(g->ncalls) * g->K; ++i) {
            zv_stream_close(g->handles[i]);
        }
    }
    PyMem_RawFree(g->handles);
    PyMem_RawFree(g->vals);
    PyMem_RawFree(g->rows);
    g->rows = nullptr;
    PyMem_RawFree(g->nodes);
    PyMem_RawFree(g->outs);
    Py_CLEAR(g->fields);
    Py_CLEAR(g->out_names);
    Py_CLEAR(g->known);
    PyMem_RawFree(g->known_field);
    g->known_field = nullptr;
    g->handles = nullptr;
    g->vals = nullptr;
    g->nodes = nullptr;
    g->outs = nullptr;
    g->ready = 0;
}

PyObject *graph_new(PyTypeObject *type, PyObject *, PyObject *) {
    auto *g = reinterpret_cast<Graph *>(type->tp_alloc(type, 0));
    if (g) new (&g->busy) std::atomic<int>(0);
    return reinterpret_cast<PyObject *>(g);
}

void graph_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    release(reinterpret_cast<Graph *>(self));
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// Claims the graph for one operation; RuntimeError when it is not ready or
// another thread is inside an update.
bool claim(Graph *g) {
    if (!g->ready) {
        PyErr_SetString(PyExc_RuntimeError, "the stream is not initialised");
        return false;
    }
    int expected = 0;
    if (!g->busy.compare_exchange_strong(expected, 1)) {
        PyErr_SetString(PyExc_RuntimeError, "the stream is being updated by another thread");
        return false;
    }
    return true;
}

// One node over n values (instruments or bars).  rows[j] are the values of
// node j; call nodes read their inputs element by element.
template <bool Commit, bool Update>
void eval_node(const Node &nd, const double *const *rows, double *out, npy_intp n, zv_stream **h,
               bool *refused) {
    switch (nd.kind) {
        case kConst:
            for (npy_intp i = 0; i < n; ++i) out[i] = nd.value;
            break;
        case kBinary: binary(nd.code, rows[nd.arg[0]], rows[nd.arg[1]], out, n); break;
        case kUnary: unary(nd.code, rows[nd.arg[0]], out, n); break;
        case kIf: {
            const double *c = rows[nd.arg[0]], *a = rows[nd.arg[1]], *b = rows[nd.arg[2]];
            for (npy_intp i = 0; i < n; ++i) out[i] = truth(c[i]) ? a[i] : b[i];
            break;
        }
        case kCall: {
            if (!Update) break;
            double in[3], o[2];
            for (npy_intp i = 0; i < n; ++i) {
                for (int j = 0; j < nd.nargs; ++j) in[j] = rows[nd.arg[j]][i];
                const int rc = Commit ? zv_stream_update(h[i], in, o) : zv_stream_peek(h[i], in, o);
                if (rc != ERR_OK) *refused = true;
                out[i] = o[0];
            }
            break;
        }
        default: break;
    }
}

// ---------------------------------------------------------------------------
// Construction

// Checks a node whose kind, code, arguments, value, name and parameters are
// filled in (from a program tuple or from saved bytes) and sets its argument
// count; ValueError when it is malformed.
bool check_node(Node &nd, int index, int nfields) {
    switch (nd.kind) {
        case kField:
            if (nd.code < 0 || nd.code >= nfields) goto bad;
            return true;
        case kConst: return true;
        case kBinary: nd.nargs = 2; if (nd.code < 0 || nd.code >= kBinaries) goto bad; break;
        case kUnary: nd.nargs = 1; if (nd.code < 0 || nd.code >= kUnaries) goto bad; break;
        case kIf: nd.nargs = 3; break;
        case kCall: {
            int inputs, nparams;
            if (zv_stream_shape(nd.name, &inputs, &nparams) != ERR_OK) {
                PyErr_Format(PyExc_ValueError, "node %d: no function %s", index, nd.name);
                return false;
            }
            nd.nargs = nd.code;
            if (nd.code != inputs || nd.nparams != nparams) goto bad;
            break;
        }
        default: goto bad;
    }
    for (int j = 0; j < nd.nargs; ++j) {
        if (nd.arg[j] < 0 || nd.arg[j] >= index) {
            PyErr_Format(PyExc_ValueError, "node %d: argument %d is not an earlier node", index, j);
            return false;
        }
    }
    return true;
bad:
    PyErr_Format(PyExc_ValueError, "node %d: malformed", index);
    return false;
}

bool parse_node(PyObject *item, int index, Node &nd, int nfields) {
    int kind, code, a, b, c;
    double value;
    const char *name;
    PyObject *params;
    if (!PyArg_ParseTuple(item, "iiiiidzO!;a node is (kind, code, a, b, c, value, name, params)",
                          &kind, &code, &a, &b, &c, &value, &name, &PyTuple_Type, &params)) {
        return false;
    }
    std::memset(&nd, 0, sizeof nd);
    nd.kind = kind;
    nd.code = code;
    nd.value = value;
    nd.arg[0] = a;
    nd.arg[1] = b;
    nd.arg[2] = c;
    if (kind == kCall) {
        if (name == nullptr || std::strlen(name) >= sizeof nd.name) {
            PyErr_Format(PyExc_ValueError, "node %d: no function %s", index, name ? name : "None");
            return false;
        }
        std::strcpy(nd.name, name);
        const Py_ssize_t np = PyTuple_GET_SIZE(params);
        if (np > 2) {
            PyErr_Format(PyExc_ValueError, "node %d: malformed", index);
            return false;
        }
        nd.nparams = static_cast<int>(np);
        for (int j = 0; j < nd.nparams; ++j) {
            const long v = PyLong_AsLong(PyTuple_GET_ITEM(params, j));
            if (v == -1 && PyErr_Occurred()) return false;
            if (v < INT32_MIN || v > INT32_MAX) {
                PyErr_Format(PyExc_ValueError, "node %d: malformed", index);
                return false;
            }
            nd.params[j] = static_cast<int>(v);
        }
    }
    return check_node(nd, index, nfields);
}

// The per-instrument arrays of a graph of K instruments whose nodes are in
// place: the stream handles (none open yet), the values of a bar with the
// constants filled in, and where each node's values are read.  False, with
// nothing raised, when the memory cannot be had.
bool alloc_arrays(Graph *g, Py_ssize_t K) {
    g->K = K;
    const size_t nodes = static_cast<size_t>(g->nnodes);
    g->handles = static_cast<zv_stream **>(
        PyMem_RawCalloc(static_cast<size_t>(g->ncalls) * K + 1, sizeof(zv_stream *)));
    g->vals = static_cast<double *>(PyMem_RawCalloc(nodes * K, sizeof(double)));
    g->rows = static_cast<const double **>(PyMem_RawCalloc(nodes, sizeof(double *)));
    if (!g->handles || !g->vals || !g->rows) return false;
    for (size_t i = 0; i < nodes; ++i) {
        if (g->nodes[i].kind != kConst) continue;
        for (Py_ssize_t k = 0; k < K; ++k) g->vals[i * K + k] = g->nodes[i].value;
    }
    return true;
}

// A C-contiguous float64 array of the given dimensions, as a buffer.
bool get_matrix(PyObject *obj, Py_buffer &view, Py_ssize_t rows, Py_ssize_t cols, bool writable,
                const char *what) {
    const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(obj, &view, flags) != 0) return false;
    const bool ok = view.ndim == 2 && view.shape[0] == rows && view.shape[1] == cols &&
                    view.itemsize == 8 && view.format && std::strcmp(view.format, "d") == 0;
    if (!ok) {
        PyBuffer_Release(&view);
        PyErr_Format(PyExc_ValueError, "%s: a C-contiguous float64 array of %zd x %zd is needed",
                     what, rows, cols);
        return false;
    }
    return true;
}

// The MemoryError of a stream whose storage could not be allocated at
// `node` (-1: the graph's own arrays): what is kept, and what makes it smaller.
void no_memory(Graph *g, int node, Py_ssize_t n) {
    char each[64] = "";
    if (g->universe) std::snprintf(each, sizeof each, " for each of %zd instruments", g->K);
    if (node < 0) {
        PyErr_Format(PyExc_MemoryError,
                     "a stream of %d nodes over %zd bars of history%s could not be allocated",
                     g->nnodes, n, each);
        return;
    }
    const Node &nd = g->nodes[node];
    const rillet::Entry *e = rillet::find(nd.name);
    if (e && rillet::per_bar(e->form, e->argnames)) {
        PyErr_Format(PyExc_MemoryError,
                     "%s (a window per bar) keeps the last max_window=%d bars%s, and "
                     "that memory could not be allocated: pass a smaller max_window",
                     nd.name, g->max_window, each);
    } else if (nd.nparams > 0) {
        PyErr_Format(PyExc_MemoryError,
                     "%s with window %d keeps up to %d bars%s, and that memory could not be "
                     "allocated: use a smaller window (max_window=%d bounds only the per-bar "
                     "windows, not this one)",
                     nd.name, nd.params[0], nd.params[0] < 0 ? -nd.params[0] : nd.params[0], each,
                     g->max_window);
    } else {
        PyErr_Format(PyExc_MemoryError, "the stream of %s%s could not be allocated", nd.name, each);
    }
}

// Graph(program, fields, outputs, history, filled, universe, max_window)
//   program  tuple of nodes (kind, code, a, b, c, value, name, params)
//   fields   tuple of field names (str)
//   outputs  tuple of (name, node)
//   history  tuple of K x n float64 arrays, one per field
//   filled   tuple of K x n writable float64 arrays, one per output
int graph_init(PyObject *self, PyObject *args, PyObject *kwds) {
    auto *g = reinterpret_cast<Graph *>(self);
    static const char *kw[] = {"program", "fields", "outputs", "history", "filled", "universe",
                               "max_window", nullptr};
    PyObject *program, *fields, *outputs, *history, *filled;
    int universe, max_window;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O!O!O!O!O!pi", const_cast<char **>(kw),
                                     &PyTuple_Type, &program, &PyTuple_Type, &fields,
                                     &PyTuple_Type, &outputs, &PyTuple_Type, &history,
                                     &PyTuple_Type, &filled, &universe, &max_window)) {
        return -1;
    }
    if (g->ready) {
        PyErr_SetString(PyExc_RuntimeError, "the stream is initialised already");
        return -1;
    }
    const Py_ssize_t nnodes = PyTuple_GET_SIZE(program), nfields = PyTuple_GET_SIZE(fields);
    const Py_ssize_t nouts = PyTuple_GET_SIZE(outputs);
    if (nnodes < 1 || nnodes > 100000 || nouts < 1 || PyTuple_GET_SIZE(history) != nfields ||
        PyTuple_GET_SIZE(filled) != nouts || max_window < 0) {
        PyErr_SetString(PyExc_ValueError, "malformed stream program");
        return -1;
    }
    if (nfields > kMaxFields) {
        PyErr_Format(PyExc_ValueError, "a stream reads at most %d fields", kMaxFields);
        return -1;
    }
    g->nnodes = static_cast<int>(nnodes);
    g->nfields = static_cast<int>(nfields);
    g->nouts = static_cast<int>(nouts);
    g->universe = universe;
    g->max_window = max_window;
    g->nodes = static_cast<Node *>(PyMem_RawCalloc(nnodes, sizeof(Node)));
    g->outs = static_cast<int *>(PyMem_RawCalloc(nouts, sizeof(int)));
    if (!g->nodes || !g->outs) {
        release(g);
        PyErr_NoMemory();
        return -1;
    }
    int ncalls = 0;
    for (Py_ssize_t i = 0; i < nnodes; ++i) {
        Node &nd = g->nodes[i];
        if (!parse_node(PyTuple_GET_ITEM(program, i), static_cast<int>(i), nd, g->nfields)) {
            release(g);
            return -1;
        }
        if (nd.kind == kCall) nd.call = ncalls++;
    }
    g->ncalls = ncalls;
    PyObject *names = PyTuple_New(nouts);
    if (!names) {
        release(g);
        return -1;
    }
    g->out_names = names;
    for (Py_ssize_t i = 0; i < nouts; ++i) {
        PyObject *name;
        int node;
        if (!PyArg_ParseTuple(PyTuple_GET_ITEM(outputs, i), "Ui;an output is (name, node)", &name,
                              &node)) {
            release(g);
            return -1;
        }
        if (node < 0 || node >= nnodes) {
            release(g);
            PyErr_Format(PyExc_ValueError, "output %zd: no node %d", i, node);
            return -1;
        }
        g->outs[i] = node;
        PyTuple_SET_ITEM(names, i, Py_NewRef(name));
    }
    g->fields = Py_NewRef(fields);

    // The history: K x n per field, the same K and n for all.
    Py_ssize_t K = -1, n = -1;
    Py_buffer *hv = static_cast<Py_buffer *>(PyMem_RawCalloc(nfields + nouts + 1, sizeof(Py_buffer)));
    if (!hv) {
        release(g);
        PyErr_NoMemory();
        return -1;
    }
    Py_ssize_t got = 0;
    bool ok = true;
    for (Py_ssize_t f = 0; f < nfields + nouts && ok; ++f) {
        PyObject *a = f < nfields ? PyTuple_GET_ITEM(history, f) : PyTuple_GET_ITEM(filled, f - nfields);
        if (K < 0) {
            Py_buffer probe;
            if (PyObject_GetBuffer(a, &probe, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
                ok = false;
                break;
            }
            if (probe.ndim == 2) {
                K = probe.shape[0];
                n = probe.shape[1];
            }
            PyBuffer_Release(&probe);
        }
        ok = get_matrix(a, hv[got], K, n, f >= nfields, f < nfields ? "history" : "filled");
        if (ok) ++got;
    }
    if (ok && (K < 1 || (!universe && K != 1))) {
        PyErr_SetString(PyExc_ValueError, "a stream needs at least one instrument");
        ok = false;
    }
    if (ok && n > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "a history of more than 2147483647 bars");
        ok = false;
    }
    if (!ok) {
        for (Py_ssize_t j = 0; j < got; ++j) PyBuffer_Release(&hv[j]);
        PyMem_RawFree(hv);
        release(g);
        return -1;
    }
    const bool arrays = alloc_arrays(g, K);
    double *scratch = static_cast<double *>(PyMem_RawCalloc(static_cast<size_t>(nnodes) * (n > 0 ? n : 1), sizeof(double)));
    const double **rows = static_cast<const double **>(PyMem_RawCalloc(nnodes, sizeof(double *)));
    int failed_node = -1, failed_rc = ERR_OK;
    if (arrays && scratch && rows) {
        Py_BEGIN_ALLOW_THREADS
        // Instrument by instrument: every node over the history, each call
        // node's streams opened on its inputs' history.
        for (Py_ssize_t k = 0; k < K && failed_node < 0; ++k) {
            for (int i = 0; i < g->nnodes && failed_node < 0; ++i) {
                const Node &nd = g->nodes[i];
                double *out = scratch + static_cast<size_t>(i) * (n > 0 ? n : 1);
                rows[i] = out;
                if (nd.kind == kField) {
                    rows[i] = static_cast<const double *>(hv[nd.code].buf) + k * n;
                } else if (nd.kind == kCall) {
                    const double *hist[3] = {nullptr, nullptr, nullptr};
                    for (int j = 0; j < nd.nargs; ++j) hist[j] = rows[nd.arg[j]];
                    zv_stream *&h = g->handles[static_cast<size_t>(nd.call) * K + k];
                    const int rc = zv_stream_open(&h, nd.name, nd.params, nd.nparams, max_window,
                                                  n > 0 ? hist : nullptr, static_cast<int>(n),
                                                  n > 0 ? out : nullptr);
                    if (rc != ERR_OK && rc != ERR_PARAM_WRONG) failed_rc = rc;
                    if (h == nullptr || rc == ERR_NO_MEMORY) {
                        failed_node = i;
                        failed_rc = rc;
                    }
                    g->nodes[i].lag = h ? zv_stream_lag(h) : 0;
                } else {
                    eval_node<true, false>(nd, rows, out, n, nullptr, nullptr);
                }
            }
            for (int o = 0; o < g->nouts && failed_node < 0; ++o) {
                double *dst = static_cast<double *>(hv[nfields + o].buf) + k * n;
                std::memcpy(dst, rows[g->outs[o]], static_cast<size_t>(n) * sizeof(double));
            }
        }
        Py_END_ALLOW_THREADS
    } else {
        failed_rc = ERR_NO_MEMORY;
        failed_node = -2;
    }
    PyMem_RawFree(scratch);
    PyMem_RawFree(rows);
    for (Py_ssize_t j = 0; j < got; ++j) PyBuffer_Release(&hv[j]);
    PyMem_RawFree(hv);
    if (failed_node != -1) {
        if (failed_rc == ERR_NO_MEMORY) {
            no_memory(g, failed_node < 0 ? -1 : failed_node, n);
        } else {
            PyErr_Format(PyExc_ValueError, "node %d: the stream of %s could not be opened (code %d)",
                         failed_node, g->nodes[failed_node].name, failed_rc);
        }
        release(g);
        return -1;
    }
    g->bars = n;
    g->ready = 1;
    return 0;
}

// ---------------------------------------------------------------------------
// Update and peek
//
// A bar is read in one of two ways.  The common forms are read here: a
// number (float or int) for a one-field stream, and a dict with the keys of
// the last dict bar read (in the same order) holding numbers, or for a
// universe float64 arrays of K values.  Anything else goes to Stream._read,
// which applies the package's rules (names in any case and the language's
// aliases, pandas rows, zelvo._containers.to_float64) and gives the values
// in field order, with the dict's keys and the field each feeds so that the
// next such bar is read here.  Both ways give the same values for a bar.

PyObject *s_read = nullptr;  // "_read", interned

// A universe row: a float64 array of K values that can be read in place.
bool is_row(PyObject *v, Py_ssize_t K, bool exact) {
    if (exact ? !PyArray_CheckExact(v) : !PyArray_Check(v)) return false;
    auto *a = reinterpret_cast<PyArrayObject *>(v);
    return PyArray_TYPE(a) == NPY_DOUBLE && PyArray_NDIM(a) == 1 && PyArray_DIM(a, 0) == K &&
           PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISALIGNED(a) && PyArray_ISNOTSWAPPED(a);
}

// The values of the bar's fields: one[f] for one instrument, held[f] (a new
// reference) for a universe; fields[f] points at them.
struct BarValues {
    double one[kMaxFields];
    const double *fields[kMaxFields];
    PyObject *held[kMaxFields];
    int nheld = 0;
    BarValues() { std::memset(held, 0, sizeof held); }
    ~BarValues() { clear(); }
    void clear() {
        for (int f = 0; f < nheld; ++f) Py_CLEAR(held[f]);
        nheld = 0;
    }
    void number(int f, double v) {
        one[f] = v;
        fields[f] = one + f;
    }
    void row(int f, PyObject *a) {
        held[f] = Py_NewRef(a);
        if (f + 1 > nheld) nheld = f + 1;
        fields[f] = static_cast<const double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(a)));
    }
};

// A number read as to_float64 reads it: a float (NumPy's float64 scalars
// included) or an int of 64 bits.  False for anything else.
inline bool fast_number(PyObject *v, double &out) {
    if (PyFloat_Check(v)) {
        out = PyFloat_AS_DOUBLE(v);
        return true;
    }
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow || (x == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        out = static_cast<double>(x);
        return true;
    }
    return false;
}

inline bool same_key(PyObject *key, PyObject *want) {
    // No comparison that could run Python code while the dict is walked.
    return key == want || (PyUnicode_CheckExact(key) && PyUnicode_CheckExact(want) &&
                           PyUnicode_Compare(key, want) == 0);
}

bool read_common(Graph *g, PyObject *bar, BarValues &bv) {
    double x;
    if (!g->universe && g->nfields == 1 && fast_number(bar, x)) {
        bv.number(0, x);
        return true;
    }
    if (!g->known || !PyDict_CheckExact(bar) ||
        PyDict_GET_SIZE(bar) != PyTuple_GET_SIZE(g->known)) {
        return false;
    }
    Py_ssize_t pos = 0, j = 0;
    PyObject *key, *value;
    while (PyDict_Next(bar, &pos, &key, &value)) {
        if (j >= PyTuple_GET_SIZE(g->known)) return false;
        if (!same_key(key, PyTuple_GET_ITEM(g->known, j))) return false;
        const int f = g->known_field[j++];
        if (f < 0) continue;
        if (!g->universe) {
            if (!fast_number(value, x)) return false;
            bv.number(f, x);
        } else {
            if (!is_row(value, g->K, true)) return false;
            bv.row(f, value);
        }
    }
    return j == PyTuple_GET_SIZE(g->known);
}

// The common forms; false when the bar is of another form (nothing is
// raised, nothing is held).
bool read_fast(Graph *g, PyObject *bar, BarValues &bv) {
    if (read_common(g, bar, bv)) return true;
    bv.clear();
    return false;
}

// Through Stream._read(bar) -> (values, keys, key_fields); keys and
// key_fields are None, or the dict bar's keys in order and the field index
// each feeds (-1 for none), remembered for read_fast.
bool read_slow(PyObject *self, Graph *g, PyObject *bar, BarValues &bv) {
    PyObject *r = PyObject_CallMethodOneArg(self, s_read, bar);
    if (!r) return false;
    PyObject *values = nullptr, *keys = nullptr, *kf = nullptr;
    bool ok = PyTuple_Check(r) && PyTuple_GET_SIZE(r) == 3;
    if (ok) {
        values = PyTuple_GET_ITEM(r, 0);
        keys = PyTuple_GET_ITEM(r, 1);
        kf = PyTuple_GET_ITEM(r, 2);
        ok = PyTuple_Check(values) && PyTuple_GET_SIZE(values) == g->nfields &&
             (keys == Py_None || (PyTuple_Check(keys) && PyTuple_Check(kf) &&
                                  PyTuple_GET_SIZE(keys) == PyTuple_GET_SIZE(kf)));
    }
    for (int f = 0; ok && f < g->nfields; ++f) {
        PyObject *v = PyTuple_GET_ITEM(values, f);
        if (!g->universe) {
            ok = PyFloat_Check(v);
            if (ok) bv.number(f, PyFloat_AS_DOUBLE(v));
        } else {
            ok = is_row(v, g->K, false);
            if (ok) bv.row(f, v);
        }
    }
    int *fields = nullptr;
    if (ok && keys != Py_None) {
        const Py_ssize_t nk = PyTuple_GET_SIZE(keys);
        fields = static_cast<int *>(PyMem_RawMalloc((nk + 1) * sizeof(int)));
        if (!fields) {
            Py_DECREF(r);
            PyErr_NoMemory();
            return false;
        }
        // Every field fed by exactly one key, or read_common would leave one unread.
        int fed[kMaxFields] = {0};
        for (Py_ssize_t j = 0; ok && j < nk; ++j) {
            const long f = PyLong_AsLong(PyTuple_GET_ITEM(kf, j));
            ok = !(f == -1 && PyErr_Occurred()) && f >= -1 && f < g->nfields;
            if (ok && f >= 0) ok = ++fed[f] == 1;
            fields[j] = static_cast<int>(f);
        }
        for (int f = 0; ok && f < g->nfields; ++f) ok = fed[f] == 1;
        if (ok) {
            Py_XSETREF(g->known, Py_NewRef(keys));
            PyMem_RawFree(g->known_field);
            g->known_field = fields;
            fields = nullptr;
        }
    }
    PyMem_RawFree(fields);
    Py_DECREF(r);
    if (!ok && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_TypeError, "Stream._read gave a malformed bar");
    }
    return ok;
}

// Evaluates every node over the instruments, the bar's fields in `fields`.
template <bool Commit>
bool run_graph(Graph *g, const double *const *fields) {
    const Py_ssize_t K = g->K;
    const double **rows = g->rows;
    bool refused = false;
    for (int i = 0; i < g->nnodes; ++i) {
        const Node &nd = g->nodes[i];
        double *out = g->vals + static_cast<size_t>(i) * K;
        if (nd.kind == kField) {
            rows[i] = fields[nd.code];
            continue;
        }
        rows[i] = out;
        if (nd.kind == kConst) continue;
        eval_node<Commit, true>(nd, rows, out, K, g->handles + static_cast<size_t>(nd.call) * K,
                                &refused);
    }
    return !refused;
}

PyObject *warn_refused(Graph *g, PyObject *result) {
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "a per-bar window beyond max_window=%d: the bar was taken and its result "
                         "is NaN there",
                         g->max_window) != 0) {
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

// The outputs as update returns them: a number (an array for a universe),
// or a dict of them by output name.
PyObject *results(Graph *g, PyObject **arrays) {
    auto one = [&](int o) -> PyObject * {
        if (!g->universe) return PyFloat_FromDouble(g->rows[g->outs[o]][0]);
        return Py_NewRef(arrays[o]);
    };
    if (g->nouts == 1) return one(0);
    PyObject *result = PyDict_New();
    for (int o = 0; result && o < g->nouts; ++o) {
        PyObject *v = one(o);
        if (!v || PyDict_SetItem(result, PyTuple_GET_ITEM(g->out_names, o), v) != 0) Py_CLEAR(result);
        Py_XDECREF(v);
    }
    return result;
}

template <bool Commit>
PyObject *take(PyObject *self, PyObject *bar) {
    auto *g = reinterpret_cast<Graph *>(self);
    if (!claim(g)) return nullptr;
    PyObject *result = nullptr;
    bool ok = true;  // no per-bar window was refused
    {
        BarValues bv;
        if (read_fast(g, bar, bv) || read_slow(self, g, bar, bv)) {
            if (!g->universe) {
                ok = run_graph<Commit>(g, bv.fields);
                result = results(g, nullptr);
            } else {
                auto **arrays =
                    static_cast<PyObject **>(PyMem_Calloc(g->nouts, sizeof(PyObject *)));
                bool made = arrays != nullptr;
                if (!made) PyErr_NoMemory();
                npy_intp dim = g->K;
                for (int o = 0; o < g->nouts && made; ++o) {
                    arrays[o] = PyArray_SimpleNew(1, &dim, NPY_DOUBLE);
                    made = arrays[o] != nullptr;
                }
                if (made) {
                    Py_BEGIN_ALLOW_THREADS
                    ok = run_graph<Commit>(g, bv.fields);
                    for (int o = 0; o < g->nouts; ++o) {
                        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject *>(arrays[o])),
                                    g->rows[g->outs[o]],
                                    static_cast<size_t>(g->K) * sizeof(double));
                    }
                    Py_END_ALLOW_THREADS
                    result = results(g, arrays);
                }
                for (int o = 0; arrays && o < g->nouts; ++o) Py_XDECREF(arrays[o]);
                PyMem_Free(arrays);
            }
        }
    }
    if (!result) {
        g->busy.store(0);
        return nullptr;
    }
    if (Commit) ++g->bars;
    g->busy.store(0);
    if (!ok) return warn_refused(g, result);
    return result;
}

PyObject *graph_update(PyObject *self, PyObject *bar) { return take<true>(self, bar); }
PyObject *graph_peek(PyObject *self, PyObject *bar) { return take<false>(self, bar); }

// An independent graph of the same type in the same state.
PyObject *graph_copy(PyObject *self, PyObject *) {
    auto *g = reinterpret_cast<Graph *>(self);
    if (!claim(g)) return nullptr;
    PyTypeObject *type = Py_TYPE(self);
    auto *c = reinterpret_cast<Graph *>(type->tp_alloc(type, 0));
    bool ok = c != nullptr;
    if (ok) {
        new (&c->busy) std::atomic<int>(0);
        c->nnodes = g->nnodes;
        c->nfields = g->nfields;
        c->ncalls = g->ncalls;
        c->nouts = g->nouts;
        c->K = g->K;
        c->universe = g->universe;
        c->max_window = g->max_window;
        c->bars = g->bars;
        c->fields = Py_NewRef(g->fields);
        c->out_names = Py_NewRef(g->out_names);
        c->known = nullptr;
        c->known_field = nullptr;
        const size_t nh = static_cast<size_t>(g->ncalls) * g->K;
        c->nodes = static_cast<Node *>(PyMem_RawMalloc(g->nnodes * sizeof(Node)));
        c->outs = static_cast<int *>(PyMem_RawMalloc(g->nouts * sizeof(int)));
        c->handles = static_cast<zv_stream **>(PyMem_RawCalloc(nh + 1, sizeof(zv_stream *)));
        c->vals = static_cast<double *>(PyMem_RawMalloc(static_cast<size_t>(g->nnodes) * g->K * sizeof(double)));
        c->rows = static_cast<const double **>(PyMem_RawCalloc(g->nnodes, sizeof(double *)));
        ok = c->nodes && c->outs && c->handles && c->vals && c->rows;
        if (ok) {
            std::memcpy(c->nodes, g->nodes, g->nnodes * sizeof(Node));
            std::memcpy(c->outs, g->outs, g->nouts * sizeof(int));
            std::memcpy(c->vals, g->vals, static_cast<size_t>(g->nnodes) * g->K * sizeof(double));
            for (size_t i = 0; i < nh && ok; ++i) ok = zv_stream_copy(g->handles[i], &c->handles[i]) == ERR_OK;
        }
        if (ok) {
            c->ready = 1;
        } else {
            Py_DECREF(c);
            c = nullptr;
            PyErr_NoMemory();
        }
    }
    g->busy.store(0);
    return reinterpret_cast<PyObject *>(c);
}

// ---------------------------------------------------------------------------
// Saving and restoring
//
// The bytes of a graph are a frame (rillet/src/stream_bytes.h: a 20-byte head
// with the magic "ZVGR", the format version, the length and a CRC-32) whose
// payload is, little-endian:
//   u64 identity: FNV-1a 64 of the description that follows
//   the description of the graph:
//     u32 fields, each: u32 length, its name in UTF-8
//     u32 nodes, each: u8 kind, u8 code, then by kind
//         field   nothing (the code is the field)    const  f64 value
//         binary  i32 a, b                            unary  i32 a
//         if      i32 condition, then, else
//         call    u8 name length, the name, one i32 per argument (the code
//                 says how many), u8 parameter count, i32 each
//     u32 outputs, each: u32 length, its name in UTF-8, u32 node
//   u8 universe, u64 instruments, i32 max_window, i64 bars
//   per call node, in node order: u64 length, then the frame of its streams,
//   one per instrument (zv_stream_save_set)
// The description is the graph itself: loading builds the very graph that
// was saved, and every node is checked as a program's node is.  Its
// identity tells a description decoded differently from the one written.

PyObject *g_state_error = nullptr;      // StateError(ValueError)
PyObject *g_version_error = nullptr;    // StateVersionError(StateError)
PyObject *g_corrupt_error = nullptr;    // StateCorruptError(StateError)
PyObject *g_truncated_error = nullptr;  // StateTruncatedError(StateCorruptError)
PyObject *g_formula_error = nullptr;    // StateFormulaError(StateError), raised by zelvo.stream

using rillet::stream::FrameInfo;
using rillet::stream::Reader;
using rillet::stream::Writer;
using rillet::stream::kFrameHead;
using rillet::stream::kFormatVersion;

uint64_t fnv1a(const unsigned char *p, size_t n) {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 0x100000001b3ULL;
    }
    return h;
}

bool corrupt(const char *format, ...) {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(g_corrupt_error, format, va);
    va_end(va);
    return false;
}

bool put_str(Writer &w, PyObject *s) {
    Py_ssize_t len = 0;
    const char *u = PyUnicode_AsUTF8AndSize(s, &len);
    if (u == nullptr) return false;
    if (static_cast<uint64_t>(len) > UINT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "a name of 4 GiB or more cannot be saved");
        return false;
    }
    w.u32(static_cast<uint64_t>(len));
    w.bytes(u, static_cast<size_t>(len));
    return true;
}

// A UTF-8 string; NULL, with nothing raised, when the bytes hold none.
PyObject *get_str(Reader &r) {
    uint64_t len = 0;
    if (!r.u32(len) || len > r.left()) return nullptr;
    PyObject *s = PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(r.here()),
                                       static_cast<Py_ssize_t>(len), "strict");
    if (s == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    r.skip(len);
    return s;
}

bool describe(const Graph *g, Writer &w) {
    w.u32(static_cast<uint64_t>(g->nfields));
    for (int f = 0; f < g->nfields; ++f) {
        if (!put_str(w, PyTuple_GET_ITEM(g->fields, f))) return false;
    }
    w.u32(static_cast<uint64_t>(g->nnodes));
    for (int i = 0; i < g->nnodes; ++i) {
        const Node &nd = g->nodes[i];
        w.u8(static_cast<uint64_t>(nd.kind));
        w.u8(static_cast<uint64_t>(nd.code));
        if (nd.kind == kConst) w.num(nd.value);
        if (nd.kind == kCall) {
            const size_t len = std::strlen(nd.name);
            w.u8(len);
            w.bytes(nd.name, len);
        }
        for (int j = 0; j < nd.nargs; ++j) w.u32(static_cast<uint32_t>(nd.arg[j]));
        if (nd.kind == kCall) {
            w.u8(static_cast<uint64_t>(nd.nparams));
            for (int j = 0; j < nd.nparams; ++j) w.u32(static_cast<uint32_t>(nd.params[j]));
        }
    }
    w.u32(static_cast<uint64_t>(g->nouts));
    for (int o = 0; o < g->nouts; ++o) {
        if (!put_str(w, PyTuple_GET_ITEM(g->out_names, o))) return false;
        w.u32(static_cast<uint64_t>(g->outs[o]));
    }
    return true;
}

// Decodes the description into g's nodes, fields and outputs.
bool read_description(Graph *g, Reader &r) {
    uint64_t n = 0;
    if (!r.u32(n) || n > static_cast<uint64_t>(kMaxFields)) return corrupt("the fields are malformed");
    g->nfields = static_cast<int>(n);
    if (!(g->fields = PyTuple_New(static_cast<Py_ssize_t>(n)))) return false;
    for (int f = 0; f < g->nfields; ++f) {
        PyObject *s = get_str(r);
        if (s == nullptr) return corrupt("field %d is malformed", f);
        PyTuple_SET_ITEM(g->fields, f, s);
    }
    if (!r.u32(n) || n < 1 || n > 100000 || n > r.left() / 2) return corrupt("the nodes are malformed");
    g->nnodes = static_cast<int>(n);
    if (!(g->nodes = static_cast<Node *>(PyMem_RawCalloc(n, sizeof(Node))))) {
        PyErr_NoMemory();
        return false;
    }
    int ncalls = 0;
    for (int i = 0; i < g->nnodes; ++i) {
        Node &nd = g->nodes[i];
        uint64_t kind = 0, code = 0, len = 0, np = 0;
        bool ok = r.u8(kind) && r.u8(code);
        nd.kind = static_cast<int>(kind);
        nd.code = static_cast<int>(code);
        int nargs = 0;
        switch (nd.kind) {
            case kField: break;
            case kConst: ok = ok && r.num(nd.value); break;
            case kBinary: nargs = 2; break;
            case kUnary: nargs = 1; break;
            case kIf: nargs = 3; break;
            case kCall:
                nargs = nd.code;
                ok = ok && r.u8(len) && len > 0 && len < sizeof nd.name && r.bytes(nd.name, len) &&
                     std::memchr(nd.name, 0, len) == nullptr && nargs <= 3;
                break;
            default: ok = false;
        }
        for (int j = 0; ok && j < nargs; ++j) {
            int32_t a = 0;
            ok = r.i32(a);
            nd.arg[j] = a;
        }
        if (ok && nd.kind == kCall) {
            ok = r.u8(np) && np <= 2;
            nd.nparams = static_cast<int>(np);
            for (int j = 0; ok && j < nd.nparams; ++j) {
                int32_t p = 0;
                ok = r.i32(p);
                nd.params[j] = p;
            }
        }
        if (!ok) return corrupt("node %d is malformed", i);
        if (!check_node(nd, i, g->nfields)) {
            PyErr_Clear();
            return corrupt("node %d is malformed", i);
        }
        if (nd.kind == kCall) nd.call = ncalls++;
    }
    g->ncalls = ncalls;
    if (!r.u32(n) || n < 1 || n > r.left() / 8) return corrupt("the outputs are malformed");
    g->nouts = static_cast<int>(n);
    g->outs = static_cast<int *>(PyMem_RawCalloc(n, sizeof(int)));
    if (!(g->out_names = PyTuple_New(static_cast<Py_ssize_t>(n)))) return false;
    if (g->outs == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    for (int o = 0; o < g->nouts; ++o) {
        PyObject *s = get_str(r);
        uint64_t node = 0;
        if (s == nullptr || !r.u32(node) || node >= static_cast<uint64_t>(g->nnodes)) {
            Py_XDECREF(s);
            return corrupt("output %d is malformed", o);
        }
        PyTuple_SET_ITEM(g->out_names, o, s);
        g->outs[o] = static_cast<int>(node);
    }
    return true;
}

// Raises the error of a frame unseal refused.
bool refuse_frame(int rc, const FrameInfo &fi, const unsigned char *bytes, size_t size) {
    if (rc == ERR_STATE_VERSION) {
        PyErr_Format(g_version_error,
                     "the bytes are of format version %u; this zelvo reads version %u",
                     static_cast<unsigned>(fi.version), static_cast<unsigned>(kFormatVersion));
    } else if (rc == ERR_STATE_TRUNCATED && fi.needed > 0) {
        PyErr_Format(g_truncated_error, "the bytes end after %zu of the saved stream's %llu bytes",
                     size, static_cast<unsigned long long>(fi.needed));
    } else if (rc == ERR_STATE_TRUNCATED) {
        PyErr_Format(g_truncated_error,
                     "the bytes end after %zu bytes, inside the head of a saved stream", size);
    } else if (!fi.magic_ok && size >= 4 &&
               std::memcmp(bytes, rillet::stream::kStreamMagic, 4) == 0) {
        corrupt("the bytes hold core streams (zv_stream_save), not a formula stream");
    } else if (!fi.magic_ok) {
        corrupt("the bytes are not a saved stream");
    } else if (fi.needed > 0 && size > fi.needed) {
        corrupt("the bytes go on for %zu past the end of the saved stream",
                size - static_cast<size_t>(fi.needed));
    } else {
        corrupt("the saved stream's bytes were changed: their head or checksum does not match");
    }
    return false;
}

// The frames of the call nodes' streams within the payload.
struct Frame {
    const unsigned char *at;
    uint64_t size;
};

bool load_graph(Graph *g, const unsigned char *bytes, size_t size) {
    const unsigned char *payload = nullptr;
    uint64_t length = 0;
    FrameInfo fi;
    const int rc = rillet::stream::unseal(bytes, size, rillet::stream::kGraphMagic, &payload,
                                          &length, &fi);
    if (rc != ERR_OK) return refuse_frame(rc, fi, bytes, size);
    Reader r(payload, length);
    uint64_t identity = 0, universe = 0, K = 0;
    if (!r.u64(identity)) return corrupt("the identity is missing");
    const unsigned char *description = r.here();
    if (!read_description(g, r)) return false;
    if (fnv1a(description, static_cast<size_t>(r.here() - description)) != identity) {
        return corrupt("the graph does not match its identity");
    }
    int32_t max_window = 0;
    int64_t bars = 0;
    if (!r.u8(universe) || universe > 1 || !r.u64(K) || K < 1 || K > INT32_MAX ||
        (universe == 0 && K != 1) || !r.i32(max_window) || max_window < 0 ||
        !r.i64(bars, 0, rillet::stream::kMaxBars) ||
        (g->ncalls > 0 && K > r.left() / (8 * static_cast<uint64_t>(g->ncalls)))) {
        // (Each instrument's stream of each call node takes at least the
        // 8 bytes of its bar count, so no more handles are allocated than
        // the bytes could fill.)
        return corrupt("the instruments, max_window or bar count are malformed");
    }
    g->universe = static_cast<int>(universe);
    g->max_window = max_window;
    g->bars = bars;
    if (!alloc_arrays(g, static_cast<Py_ssize_t>(K))) {
        PyErr_NoMemory();
        return false;
    }
    Frame *frames = static_cast<Frame *>(PyMem_RawCalloc(g->ncalls + 1, sizeof(Frame)));
    if (frames == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    bool ok = true;
    for (int c = 0; ok && c < g->ncalls; ++c) {
        ok = r.u64(frames[c].size) && frames[c].size <= r.left();
        frames[c].at = r.here();
        ok = ok && r.skip(frames[c].size);
    }
    if (!ok || r.left() != 0) {
        PyMem_RawFree(frames);
        return corrupt("the streams' frames are malformed");
    }
    int failed = -1, failed_rc = ERR_OK;
    Py_BEGIN_ALLOW_THREADS
    for (int c = 0; c < g->ncalls && failed < 0; ++c) {
        const int frc = zv_stream_load_set(frames[c].at, static_cast<size_t>(frames[c].size),
                                           g->handles + static_cast<size_t>(c) * K,
                                           static_cast<int>(K));
        if (frc != ERR_OK) {
            failed = c;
            failed_rc = frc;
        }
    }
    Py_END_ALLOW_THREADS
    PyMem_RawFree(frames);
    // Every stream of a node must be that node's function with its
    // parameters, and have taken the graph's bars.
    for (int i = 0; i < g->nnodes && failed < 0; ++i) {
        Node &nd = g->nodes[i];
        if (nd.kind != kCall) continue;
        const rillet::Entry *e = rillet::find(nd.name);
        const int want_mw = e && rillet::per_bar(e->form, e->argnames) ? g->max_window : 0;
        for (Py_ssize_t k = 0; k < g->K && failed < 0; ++k) {
            const zv_stream *h = g->handles[static_cast<size_t>(nd.call) * g->K + k];
            int params[2] = {0, 0}, np = 0, mw = 0;
            const char *name = zv_stream_info(h, params, &np, &mw);
            bool same = std::strcmp(name, nd.name) == 0 && np == nd.nparams && mw == want_mw &&
                        zv_stream_bars(h) == g->bars;
            for (int j = 0; j < np && same; ++j) same = params[j] == nd.params[j];
            if (!same) {
                failed = nd.call;
                failed_rc = ERR_STATE_CORRUPT;
            }
        }
        nd.lag = zv_stream_lag(g->handles[static_cast<size_t>(nd.call) * g->K]);
    }
    if (failed < 0) return true;
    int node = 0;
    while (g->nodes[node].kind != kCall || g->nodes[node].call != failed) ++node;
    if (failed_rc == ERR_NO_MEMORY) {
        no_memory(g, node, 0);
        return false;
    }
    return corrupt("node %d (%s): the bytes of its streams are %s", node, g->nodes[node].name,
                   failed_rc == ERR_STATE_VERSION  ? "of another format version"
                   : failed_rc == ERR_SIZE_DISMATCH ? "for another number of instruments"
                                                    : "not what the node's streams can be");
}

PyObject *save_graph(Graph *g) {
    Writer measure(nullptr, 0);
    if (!describe(g, measure)) return nullptr;
    const size_t desc = measure.size();
    const Py_ssize_t K = g->K;
    size_t *sizes = static_cast<size_t *>(PyMem_RawCalloc(g->ncalls + 1, sizeof(size_t)));
    if (sizes == nullptr) return PyErr_NoMemory();
    uint64_t payload = 8 + desc + 1 + 8 + 4 + 8;
    for (int c = 0; c < g->ncalls; ++c) {
        zv_stream_save_set(g->handles + static_cast<size_t>(c) * K, static_cast<int>(K), nullptr, 0,
                           &sizes[c]);
        payload += 8 + sizes[c];
    }
    PyObject *out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(kFrameHead + payload));
    if (out == nullptr) {
        PyMem_RawFree(sizes);
        return nullptr;
    }
    auto *buf = reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(out));
    Writer w(buf + kFrameHead, payload);
    w.u64(0);
    describe(g, w);
    rillet::stream::put_le(buf + kFrameHead, fnv1a(buf + kFrameHead + 8, desc), 8);
    w.u8(static_cast<uint64_t>(g->universe));
    w.u64(static_cast<uint64_t>(K));
    w.u32(static_cast<uint32_t>(g->max_window));
    w.u64(static_cast<uint64_t>(g->bars));
    size_t at = kFrameHead + w.size();
    bool ok = true;
    Py_BEGIN_ALLOW_THREADS
    for (int c = 0; c < g->ncalls && ok; ++c) {
        rillet::stream::put_le(buf + at, sizes[c], 8);
        at += 8;
        size_t got = 0;
        ok = zv_stream_save_set(g->handles + static_cast<size_t>(c) * K, static_cast<int>(K),
                                buf + at, sizes[c], &got) == ERR_OK;
        at += sizes[c];
    }
    rillet::stream::seal(buf, rillet::stream::kGraphMagic, payload);
    Py_END_ALLOW_THREADS
    PyMem_RawFree(sizes);
    if (!ok) {
        Py_DECREF(out);
        PyErr_SetString(PyExc_RuntimeError, "a stream of the graph could not be saved");
        return nullptr;
    }
    return out;
}

PyObject *graph_save(PyObject *self, PyObject *) {
    auto *g = reinterpret_cast<Graph *>(self);
    if (!claim(g)) return nullptr;
    PyObject *out = save_graph(g);
    g->busy.store(0);
    return out;
}

// Builds this (new) graph from saved bytes.
PyObject *graph_load(PyObject *self, PyObject *data) {
    auto *g = reinterpret_cast<Graph *>(self);
    if (g->ready || g->nodes) {
        PyErr_SetString(PyExc_RuntimeError, "the stream is initialised already");
        return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) != 0) return nullptr;
    const bool ok = load_graph(g, static_cast<const unsigned char *>(view.buf),
                               static_cast<size_t>(view.len));
    PyBuffer_Release(&view);
    if (!ok) {
        release(g);
        return nullptr;
    }
    g->ready = 1;
    Py_RETURN_NONE;
}

// (program, fields, outputs) as the graph was built from them.
PyObject *get_graph(PyObject *self, void *) {
    auto *g = reinterpret_cast<Graph *>(self);
    if (!g->ready) {
        PyErr_SetString(PyExc_RuntimeError, "the stream is not initialised");
        return nullptr;
    }
    PyObject *program = PyTuple_New(g->nnodes), *outs = PyTuple_New(g->nouts);
    for (int i = 0; program && outs && i < g->nnodes; ++i) {
        const Node &nd = g->nodes[i];
        PyObject *params = PyTuple_New(nd.nparams);
        for (int j = 0; params && j < nd.nparams; ++j) {
            PyTuple_SET_ITEM(params, j, PyLong_FromLong(nd.params[j]));
        }
        PyObject *item = params ? Py_BuildValue("(iiiiidzN)", nd.kind, nd.code, nd.arg[0], nd.arg[1],
                                                nd.arg[2], nd.value,
                                                nd.kind == kCall ? nd.name : nullptr, params)
                                : nullptr;
        if (item == nullptr) Py_CLEAR(program);
        else PyTuple_SET_ITEM(program, i, item);
    }
    for (int o = 0; program && outs && o < g->nouts; ++o) {
        PyObject *item = Py_BuildValue("(Oi)", PyTuple_GET_ITEM(g->out_names, o), g->outs[o]);
        if (item == nullptr) Py_CLEAR(outs);
        else PyTuple_SET_ITEM(outs, o, item);
    }
    if (!program || !outs) {
        Py_XDECREF(program);
        Py_XDECREF(outs);
        return nullptr;
    }
    return Py_BuildValue("(NON)", program, g->fields, outs);
}

PyObject *get_bars(PyObject *self, void *) { return PyLong_FromLongLong(reinterpret_cast<Graph *>(self)->bars); }
PyObject *get_instruments(PyObject *self, void *) {
    auto *g = reinterpret_cast<Graph *>(self);
    if (!g->universe) Py_RETURN_NONE;
    return PyLong_FromSsize_t(g->K);
}
PyObject *get_outputs(PyObject *self, void *) {
    auto *g = reinterpret_cast<Graph *>(self);
    if (!g->out_names) return PyTuple_New(0);
    return Py_NewRef(g->out_names);
}
PyObject *get_lags(PyObject *self, void *) {
    // Look-ahead of each node (0 but for REF with N < 0 and REFXV with N > 0).
    auto *g = reinterpret_cast<Graph *>(self);
    PyObject *t = PyTuple_New(g->nodes ? g->nnodes : 0);
    for (int i = 0; t && g->nodes && i < g->nnodes; ++i) {
        PyObject *v = PyLong_FromLongLong(g->nodes[i].lag);
        if (!v) {
            Py_CLEAR(t);
            break;
        }
        PyTuple_SET_ITEM(t, i, v);
    }
    return t;
}

PyMethodDef g_methods[] = {
    {"update", graph_update, METH_O,
     "update(bar): take the next bar and return its results (a number, or for a universe an "
     "array; a dict by output name when there are several outputs)."},
    {"peek", graph_peek, METH_O, "peek(bar): the results update(bar) would give, taking nothing."},
    {"_copy", graph_copy, METH_NOARGS, "An independent stream in the same state."},
    {"_save", graph_save, METH_NOARGS, "The stream's state as bytes (see zelvo.stream.from_bytes)."},
    {"_load", graph_load, METH_O, "_load(bytes): builds this new graph from saved bytes."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"bars", get_bars, nullptr, "Bars taken so far, the history included.", nullptr},
    {"instruments", get_instruments, nullptr, "Instruments of a universe stream (None for one).",
     nullptr},
    {"outputs", get_outputs, nullptr, "The output names, in order.", nullptr},
    {"_lags", get_lags, nullptr, nullptr, nullptr},
    {"_graph", get_graph, nullptr, "(program, fields, outputs) of the graph.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_type_slots[] = {
    {Py_tp_doc, const_cast<char *>("A graph of core streams (see zelvo.stream.Stream).")},
    {Py_tp_new, reinterpret_cast<void *>(graph_new)},
    {Py_tp_init, reinterpret_cast<void *>(graph_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(graph_dealloc)},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {0, nullptr},
};

PyType_Spec g_type_spec = {"zelvo._stream.Graph", sizeof(Graph), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, g_type_slots};

// _elementwise(op, a[, b], out): one of the language's elementwise operations
// (BINARY_OPS with b, UNARY_OPS without) over float64 values: arrays of one
// shape, or a 0-d operand standing for every element (POW takes both in
// full).  Returns NotImplemented for operands of two other shapes, which the
// caller broadcasts first.  The loops are the graph nodes' own.
PyObject *elementwise(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 2 || nargs > 4) {
        PyErr_SetString(PyExc_TypeError, "_elementwise(op, a[, b], out) takes two to four arguments");
        return nullptr;
    }
    // The last argument is `out` (None for a new array): a float64
    // C-contiguous array of the result's shape, which may be an operand.
    PyObject *into = Py_None;
    if (nargs >= 3) {
        into = args[nargs - 1];
        --nargs;
    }
    const char *name = PyUnicode_Check(args[0]) ? PyUnicode_AsUTF8(args[0]) : nullptr;
    if (!name) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "_elementwise: op must be a str");
        return nullptr;
    }
    const bool two = nargs == 3;
    const char *const *names = two ? kBinaryNames : kUnaryNames;
    const int count = two ? kBinaries : kUnaries;
    int op = 0;
    while (op < count && std::strcmp(names[op], name) != 0) ++op;
    if (op == count) {
        PyErr_Format(PyExc_ValueError, "_elementwise: no %s operation %R", two ? "binary" : "unary",
                     args[0]);
        return nullptr;
    }
    const int flags = NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED;
    PyArrayObject *a = reinterpret_cast<PyArrayObject *>(
        PyArray_FROMANY(args[1], NPY_DOUBLE, 0, 0, flags));
    if (!a) return nullptr;
    PyArrayObject *b = nullptr;
    if (two) {
        b = reinterpret_cast<PyArrayObject *>(PyArray_FROMANY(args[2], NPY_DOUBLE, 0, 0, flags));
        if (!b) {
            Py_DECREF(a);
            return nullptr;
        }
    }
    // The operand whose shape the result takes; a 0-d other one is one value.
    PyArrayObject *full = a;
    int sa = 1, sb = 1;
    if (b) {
        const bool same = PyArray_NDIM(a) == PyArray_NDIM(b) &&
                          PyArray_CompareLists(PyArray_DIMS(a), PyArray_DIMS(b), PyArray_NDIM(a));
        if (!same && op != POW && PyArray_NDIM(b) == 0) {
            sb = 0;
        } else if (!same && op != POW && PyArray_NDIM(a) == 0) {
            sa = 0;
            full = b;
        } else if (!same) {
            Py_DECREF(a);
            Py_DECREF(b);
            Py_RETURN_NOTIMPLEMENTED;
        }
    }
    PyArrayObject *out = nullptr;
    if (into != Py_None) {
        auto *o = reinterpret_cast<PyArrayObject *>(into);
        if (!PyArray_Check(into) || PyArray_TYPE(o) != NPY_DOUBLE || !PyArray_ISCARRAY(o) ||
            PyArray_NDIM(o) != PyArray_NDIM(full) ||
            !PyArray_CompareLists(PyArray_DIMS(o), PyArray_DIMS(full), PyArray_NDIM(o))) {
            PyErr_SetString(PyExc_ValueError,
                            "_elementwise: out must be a writable C-contiguous float64 array "
                            "of the result's shape");
        } else {
            out = reinterpret_cast<PyArrayObject *>(Py_NewRef(into));
        }
    } else {
        out = reinterpret_cast<PyArrayObject *>(
            PyArray_SimpleNew(PyArray_NDIM(full), PyArray_DIMS(full), NPY_DOUBLE));
    }
    if (out) {
        const npy_intp n = PyArray_SIZE(full);
        const auto *x = static_cast<const double *>(PyArray_DATA(a));
        const auto *y = b ? static_cast<const double *>(PyArray_DATA(b)) : nullptr;
        auto *o = static_cast<double *>(PyArray_DATA(out));
        // Large arrays run without the GIL; the loops touch no Python object.
        PyThreadState *ts = n >= (npy_intp{1} << 16) ? PyEval_SaveThread() : nullptr;
        if (!b) {
            unary(op, x, o, n);
        } else if (sa && sb) {
            binary_strided<1, 1>(op, x, y, o, n);
        } else if (sb) {
            binary_strided<0, 1>(op, x, y, o, n);
        } else {
            binary_strided<1, 0>(op, x, y, o, n);
        }
        if (ts) PyEval_RestoreThread(ts);
    }
    Py_DECREF(a);
    Py_XDECREF(b);
    return reinterpret_cast<PyObject *>(out);
}

PyMethodDef g_module_methods[] = {
    {"_elementwise", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(elementwise)),
     METH_FASTCALL,
     "_elementwise(op, a, [b,] out, /)\n--\n\n"
     "The formula language's elementwise operation `op` (one of BINARY_OPS with\n"
     "b, of UNARY_OPS without) over float64 values of one shape, or a 0-d\n"
     "operand for every element, into `out` (None: a new array; else a\n"
     "C-contiguous float64 array of the result's shape, an operand allowed);\n"
     "NotImplemented for other shapes."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject *names_tuple(const char *const *names, int n) {
    PyObject *t = PyTuple_New(n);
    for (int i = 0; t && i < n; ++i) {
        PyObject *s = PyUnicode_FromString(names[i]);
        if (!s) {
            Py_CLEAR(t);
            break;
        }
        PyTuple_SET_ITEM(t, i, s);
    }
    return t;
}

int module_exec(PyObject *m) {
    import_array1(-1);
    import_umath1(-1);
    PyObject *np = PyImport_ImportModule("numpy");
    if (!np) return -1;
    const bool loops = find_loop(np, "sqrt", g_sqrt) && find_loop(np, "log", g_log) &&
                       find_loop(np, "log10", g_log10) && find_loop(np, "exp", g_exp) &&
                       find_loop(np, "power", g_power);
    Py_DECREF(np);
    if (!loops) return -1;
    if (!s_read && !(s_read = PyUnicode_InternFromString("_read"))) return -1;

    if (!g_state_error) {
        struct {
            PyObject **slot;
            const char *name;
            PyObject **base;
            const char *doc;
        } const errors[] = {
            {&g_state_error, "zelvo.stream.StateError", nullptr,
             "Saved bytes that cannot be restored as a stream."},
            {&g_version_error, "zelvo.stream.StateVersionError", &g_state_error,
             "Bytes saved in another format version."},
            {&g_corrupt_error, "zelvo.stream.StateCorruptError", &g_state_error,
             "Bytes that are not a saved stream, or were changed."},
            {&g_truncated_error, "zelvo.stream.StateTruncatedError", &g_corrupt_error,
             "Bytes that end before the saved stream does."},
            {&g_formula_error, "zelvo.stream.StateFormulaError", &g_state_error,
             "Bytes of a stream of another formula (or other parameters) than the one given."},
        };
        for (const auto &e : errors) {
            *e.slot = PyErr_NewExceptionWithDoc(e.name, e.doc, e.base ? *e.base : PyExc_ValueError,
                                                nullptr);
            if (!*e.slot) return -1;
        }
    }
    if (PyModule_AddObjectRef(m, "StateError", g_state_error) < 0 ||
        PyModule_AddObjectRef(m, "StateVersionError", g_version_error) < 0 ||
        PyModule_AddObjectRef(m, "StateCorruptError", g_corrupt_error) < 0 ||
        PyModule_AddObjectRef(m, "StateTruncatedError", g_truncated_error) < 0 ||
        PyModule_AddObjectRef(m, "StateFormulaError", g_formula_error) < 0) {
        return -1;
    }

    PyObject *type = PyType_FromModuleAndSpec(m, &g_type_spec, nullptr);
    if (!type) return -1;
    const int added = PyModule_AddObjectRef(m, "Graph", type);
    Py_DECREF(type);
    if (added < 0) return -1;

    PyObject *b = names_tuple(kBinaryNames, kBinaries), *u = names_tuple(kUnaryNames, kUnaries);
    if (!b || !u || PyModule_AddObjectRef(m, "BINARY_OPS", b) < 0 ||
        PyModule_AddObjectRef(m, "UNARY_OPS", u) < 0) {
        Py_XDECREF(b);
        Py_XDECREF(u);
        return -1;
    }
    Py_DECREF(b);
    Py_DECREF(u);
    return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef g_def = {PyModuleDef_HEAD_INIT, "_stream",
                     "Graphs of core streams, and the formula language's elementwise operations.",
                     0, g_module_methods, g_slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__stream(void) { return PyModuleDef_Init(&g_def); }
