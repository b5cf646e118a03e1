// Module creation and execution of the exact module zelvo._zelvo: the
// interpreter guard, the version and binary-compatibility checks, the
// module's state, and the import entry point.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#include "exact.h"
#include <frameobject.h>
#include <numpy/ndarraytypes.h>
#include <numpy/ufuncobject.h>

#include <cstring>
#include <initializer_list>

// The minor version of the Python headers this module is built with; a test
// build may claim another to exercise the runtime check.
#ifndef ZELVO_BUILD_MINOR
#define ZELVO_BUILD_MINOR PY_MINOR_VERSION
#endif

namespace exact {

State g;
int64_t g_interpreter = -1;

constexpr const char kSourceFile[] = "src/ext/exact/frame.cpp";

void add_traceback(const char *funcname, int line) {
    SavedError error;
    error.save();
    Ref code(reinterpret_cast<PyObject *>(PyCode_NewEmpty(kSourceFile, funcname, line)));
    Ref frame;
    if (code) {
        Ref own_globals(g.dict ? nullptr : PyDict_New());
        PyObject *globals = g.dict ? g.dict : own_globals.get();
        if (globals) {
            frame.reset(reinterpret_cast<PyObject *>(
                PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.get()),
                            globals, nullptr)));
        }
    }
    // Without an entry the original exception stays as it was.
    if (!frame) PyErr_Clear();
    error.restore();
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

namespace {

int intern_names() {
    struct Name {
        PyObject **slot;
        const char *text;
    };
    const Name names[] = {{&g.np, "np"},         {&g.zeros, "zeros"},   {&g.float64, "float64"},
                          {&g.uint8, "uint8"},   {&g.astype, "astype"}, {&g.dtype, "dtype"}};
    for (const Name &n : names) {
        if (!(*n.slot = PyUnicode_InternFromString(n.text))) return -1;
    }
    if (!(g.kwnames_dtype = PyTuple_Pack(1, g.dtype))) return -1;
    for (int i = 0; i < kCount; ++i) {
        const rillet::Entry &e = rillet::kCatalog[i];
        for (int k = 0; k < rillet::shape_of(e.form).nargs; ++k) {
            if (!(g.argnames[i][k] = PyUnicode_InternFromString(e.argnames[k]))) return -1;
        }
    }
    return 0;
}

int lookup_builtin_names() {
    static const char *const kNames[] = {"ImportError", "ValueError", "MemoryError",
                                         "enumerate",   "range",      "TypeError",
                                         "Ellipsis",    "id",         "IndexError"};
    for (const char *text : kNames) {
        Ref name(PyUnicode_InternFromString(text));
        if (!name) return -1;
        Ref v(PyObject_GetAttr(g.builtins, name.get()));
        if (!v) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
            }
            return -1;
        }
    }
    return 0;
}

int register_in_sys_modules(PyObject *module) {
    Ref name(PyModule_GetNameObject(module));
    if (!name) return -1;
    PyObject *modules = PyImport_GetModuleDict();
    int rc = PyDict_Contains(modules, name.get());
    if (rc == 0) rc = PyDict_SetItem(modules, name.get(), module);
    return rc < 0 ? -1 : 0;
}

int import_numpy() {
    Ref np(PyImport_ImportModuleLevel("numpy", nullptr, nullptr, nullptr, 0));
    if (!np) return -1;
    Ref t(PyObject_GetAttrString(np.get(), "ndarray"));
    if (!t || !PyType_Check(t.get())) return -1;
    g.ndarray = reinterpret_cast<PyTypeObject *>(t.release());
    return PyDict_SetItem(g.dict, g.np, np.get());
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

}  // namespace

int fill_state(PyObject *module) {
    g.module = Py_NewRef(module);
    g.dict = PyModule_GetDict(module);
    if (!(g.builtins = PyImport_ImportModule("builtins"))) return -1;
    if (PyObject_SetAttrString(module, "__builtins__", g.builtins) < 0) return -1;
    if (intern_names() < 0) return -1;
    if (register_in_sys_modules(module) < 0) return -1;
    if (lookup_builtin_names() < 0) return -1;
    if (check_foreign_types() < 0) return -1;
    return import_numpy();
}

void clear_state() {
    Py_CLEAR(g.module);
    Py_CLEAR(g.builtins);
    PyObject *ndarray = reinterpret_cast<PyObject *>(g.ndarray);
    Py_CLEAR(ndarray);
    for (PyObject **slot : {&g.np, &g.zeros, &g.float64, &g.uint8, &g.astype, &g.dtype,
                            &g.kwnames_dtype})
        Py_CLEAR(*slot);
    for (auto &row : g.argnames)
        for (PyObject *&name : row) Py_CLEAR(name);
    g = State{};
}

namespace {

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
                        "zelvo runs in one interpreter per process (as NumPy, which it uses, "
                        "does), and another interpreter of this process has imported it.");
        return nullptr;
    }
    if (g.module) return Py_NewRef(g.module);

    Ref name(PyObject_GetAttrString(module_spec, "name"));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    if (copy_spec_attr(module_spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(module_spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(module_spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(module_spec, dict, "submodule_search_locations", "__path__", false) < 0)
        return nullptr;
    return module.release();
}

int module_exec(PyObject *module) {
    if (g.module) {
        if (g.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_zelvo' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    if (check_version() < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init zelvo._zelvo");
        return -1;
    }
    if (fill_state(module) < 0 || bind_functions() < 0) {
        if (g.dict) add_traceback("init zelvo._zelvo", __LINE__);
        clear_state();
        return -1;
    }
    return 0;
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
}  // namespace exact

PyMODINIT_FUNC PyInit__zelvo(void) { return PyModuleDef_Init(&exact::g_def); }
