// Buffer views of the exact module: a one-dimensional contiguous view of an
// argument with elements of one type, the format-string checker behind its
// refusals, and the direct route for plain ndarrays.
#ifndef ZELVO_VIEWS_H
#define ZELVO_VIEWS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace exact {

enum class Elem { Double, UInt8 };

// A view that releases its buffer when it goes out of scope.
struct View {
    Py_buffer buf;
    bool held = false;
    char *data = nullptr;
    Py_ssize_t count = 0;

    View() = default;
    View(const View &) = delete;
    View &operator=(const View &) = delete;
    ~View() { release(); }
    void release() {
        if (held) {
            PyBuffer_Release(&buf);
            held = false;
        }
    }
};

// Reads a plain, one-dimensional, C-contiguous, writable ndarray of the
// element type in native byte order straight from its fields.  False (and
// nothing read) for anything else.
bool direct_view(PyObject *o, Elem t, View &v);

// A one-dimensional C-contiguous view of `o` with elements of type t, through
// the direct route or the buffer protocol.  None gives an empty view.
int take_view(PyObject *o, Elem t, View &v);

// -1 with BufferError when the ndarray `o` no longer has the memory its view
// was taken of (Python code of an exporter may have replaced it).
int check_unmoved(PyObject *o, const View &v);

}  // namespace exact

#endif  // ZELVO_VIEWS_H
