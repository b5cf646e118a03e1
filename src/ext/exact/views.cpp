// Buffer views of the exact module.
#include "views.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NO_IMPORT_ARRAY
#include <numpy/ndarraytypes.h>

#include <cstring>

#include "exact.h"

namespace exact {
namespace {

const char *elem_name(Elem t) { return t == Elem::Double ? "double" : "uint8_t"; }
Py_ssize_t elem_size(Elem t) { return t == Elem::Double ? 8 : 1; }

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

int fail_view(View &v) {
    v.release();
    return -1;
}

// The buffer's element count after the contiguity checks, or -1.
Py_ssize_t contiguous_count(const Py_buffer &b, Py_ssize_t size) {
    const Py_ssize_t count = b.shape ? b.shape[0] : b.len / size;
    if (b.len <= 0) return count;
    if (count > 1) {
        if (b.strides) {
            if (b.strides[0] != size) {
                PyErr_SetString(PyExc_ValueError,
                                "Buffer and memoryview are not contiguous in the same "
                                "dimension.");
                return -1;
            }
        } else if (b.suboffsets) {
            PyErr_SetString(PyExc_ValueError, "Buffer exposes suboffsets but no strides");
            return -1;
        }
    }
    if (b.suboffsets && b.suboffsets[0] >= 0) {
        PyErr_Format(PyExc_ValueError, "Buffer not compatible with direct access in "
                                       "dimension %d.", 0);
        return -1;
    }
    return count;
}

}  // namespace

// The same view the buffer protocol would give, without numpy building a
// format string and buffer description for every call.  Anything else takes
// the buffer route, which also produces every refusal.  The caller keeps a
// reference to the array for the whole call, and the interpreter lock stays
// held, so its memory cannot go away meanwhile.
bool direct_view(PyObject *o, Elem t, View &v) {
    if (Py_TYPE(o) != g.ndarray) return false;
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

int take_view(PyObject *o, Elem t, View &v) {
    if (o == Py_None || direct_view(o, t, v)) return 0;
    constexpr int kFlags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE;  // 61
    if (PyObject_GetBuffer(o, &v.buf, kFlags) < 0) return -1;
    v.held = true;
    const Py_buffer &b = v.buf;
    const Py_ssize_t size = elem_size(t);
    if (b.ndim != 1) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", 1, b.ndim);
        return fail_view(v);
    }
    if (check_format(b.format, t) < 0) return fail_view(v);
    if (b.itemsize != size) {
        PyErr_Format(PyExc_ValueError,
                     "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                     b.itemsize, b.itemsize > 1 ? "s" : "", elem_name(t), size,
                     size > 1 ? "s" : "");
        return fail_view(v);
    }
    const Py_ssize_t count = contiguous_count(b, size);
    if (count < 0) return fail_view(v);
    v.data = static_cast<char *>(b.buf);
    v.count = count;
    return 0;
}

int check_unmoved(PyObject *o, const View &v) {
    if (!o || !PyObject_TypeCheck(o, g.ndarray)) return 0;
    const auto *a = reinterpret_cast<const PyArrayObject_fields *>(o);
    if (a->data == v.data && a->nd >= 1 && a->dimensions[0] == v.count) return 0;
    PyErr_SetString(PyExc_BufferError,
                    "an array argument was resized or replaced while its buffer was in use");
    return -1;
}

}  // namespace exact
