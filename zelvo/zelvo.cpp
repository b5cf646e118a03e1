// Placeholder module: replaced by the full call frame.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
static PyModuleDef_Slot slots[] = {{0, nullptr}};
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "_zelvo", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit__zelvo(void) { return PyModuleDef_Init(&def); }
