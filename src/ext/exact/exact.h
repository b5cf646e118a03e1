// Shared pieces of the exact module zelvo._zelvo: the module's state, owned
// references, saved exceptions and traceback entries.
#ifndef ZELVO_EXACT_H
#define ZELVO_EXACT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "catalog.h"

namespace exact {

constexpr const char kModuleName[] = "zelvo._zelvo";
constexpr int kCount = rillet::kExactCount;

// An owned reference, released when it goes out of scope.
class Ref {
  public:
    Ref() = default;
    explicit Ref(PyObject *p) : p_(p) {}
    ~Ref() { Py_XDECREF(p_); }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    PyObject *get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    PyObject *release() {
        PyObject *p = p_;
        p_ = nullptr;
        return p;
    }
    void reset(PyObject *p = nullptr) {
        PyObject *old = p_;
        p_ = p;
        Py_XDECREF(old);
    }

  private:
    PyObject *p_ = nullptr;
};

// The exception being raised, taken aside and put back later.
class SavedError {
  public:
    void save() {
#if PY_VERSION_HEX >= 0x030C0000
        exc_.reset(PyErr_GetRaisedException());
#else
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        type_.reset(t), value_.reset(v), tb_.reset(tb);
#endif
    }
    void restore() {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_.release());
#else
        PyErr_Restore(type_.release(), value_.release(), tb_.release());
#endif
    }

  private:
#if PY_VERSION_HEX >= 0x030C0000
    Ref exc_;
#else
    Ref type_, value_, tb_;
#endif
};

// Everything the module keeps between calls.  Filled by fill_state() when the
// module executes and released by clear_state(), nowhere else.
struct State {
    PyObject *module = nullptr;       // strong; set by exec, cleared if exec fails
    PyObject *dict = nullptr;         // borrowed from module
    PyObject *builtins = nullptr;     // strong
    PyTypeObject *ndarray = nullptr;  // numpy.ndarray (strong), for the direct view
    // Interned names.
    PyObject *np = nullptr, *zeros = nullptr, *float64 = nullptr, *uint8 = nullptr,
             *astype = nullptr, *dtype = nullptr, *kwnames_dtype = nullptr;
    PyObject *argnames[kCount][3] = {};  // keyword names per function
};

extern State g;
// The interpreter that first created the module; it outlives failed imports.
extern int64_t g_interpreter;

int fill_state(PyObject *module);
void clear_state();

// Adds a traceback entry named `funcname` to the exception being raised.
void add_traceback(const char *funcname, int line);

// The module's functions, bound into its dictionary.
int bind_functions();

}  // namespace exact

#endif  // ZELVO_EXACT_H
