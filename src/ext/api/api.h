// zelvo._api: the package's series functions over the rillet core.
//
// What the module files share: the NumPy C API (imported once, in
// module.cpp), the catalog, and the few process-wide objects that the call
// frame reads.  Every object here is set once while the module executes and
// only read afterwards, so calls need no lock, with or without a GIL.
#ifndef ZELVO_API_H
#define ZELVO_API_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL zelvo_api_ARRAY_API
#ifndef ZELVO_API_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include "catalog.h"
#include "rillet.h"

namespace zelvo_api {

constexpr int kCount = rillet::kCatalogSize;

// Interned keyword names of each function's arguments, and of `axis`.
extern PyObject *g_argnames[kCount][3];
extern PyObject *g_names[kCount];
extern PyObject *s_axis;
// The function of catalog row `index` (METH_FASTCALL | METH_KEYWORDS); pandas
// and polars arguments go to zelvo._containers.call(module, name, args, axis
// or None).
PyObject *call(PyObject *module, int index, PyObject *const *args, Py_ssize_t nargs,
               PyObject *kwnames);

// _float64(values, what): values as a float64 array by the package's one
// conversion rule, refusals naming `what`.
PyObject *float64(PyObject *module, PyObject *const *args, Py_ssize_t nargs);
// _truth(values): where the values hold as conditions, by the condition rule.
PyObject *truth_of(PyObject *module, PyObject *values);

// _segments(name, offsets, args): the function over segments of long columns.
PyObject *segments(PyObject *module, PyObject *const *args, Py_ssize_t nargs);

// Arrow data (arrow.cpp).  arrow_init() runs once as the module executes.
int arrow_init();
// When `o` offers the Arrow PyCapsule interface: 1 with *out a new 1-D
// float64 array of its values (nulls as NaN), read in place where it is one
// float64 chunk without nulls; 0 when it does not; -1 with an error naming
// `what`.
int arrow_array(PyObject *o, const char *what, PyArrayObject **out);
// Whether a type offers the Arrow PyCapsule interface.
bool is_arrow(PyTypeObject *t);

}  // namespace zelvo_api

#endif  // ZELVO_API_H
