// Arrow data through the C data interface, without importing pyarrow.
//
// An object that offers the Arrow PyCapsule interface (__arrow_c_array__ or
// __arrow_c_stream__: pyarrow arrays and chunked arrays, polars, DuckDB
// relations, pandas objects, ...) hands over C structs in capsules.  We move
// each struct out of its capsule, so its release callback becomes ours to
// call, and every path out of here calls it exactly once: at once for what is
// copied, and for data read in place when the NumPy array that views it is
// collected.
//
// A column of bool, int or float values becomes float64, nulls as NaN.  A
// single float64 chunk without nulls is read in place, no copy.  A struct of
// one field (a table or a query result of one column) is read as that field.
#include <cstdint>
#include <cstring>
#include <new>

#include "api.h"
#include "series.h"

namespace zelvo_api {
namespace {

// The structs of the Arrow C data interface, as the Arrow project fixes them.
struct ArrowSchema {
    const char *format;
    const char *name;
    const char *metadata;
    int64_t flags;
    int64_t n_children;
    ArrowSchema **children;
    ArrowSchema *dictionary;
    void (*release)(ArrowSchema *);
    void *private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void **buffers;
    ArrowArray **children;
    ArrowArray *dictionary;
    void (*release)(ArrowArray *);
    void *private_data;
};

struct ArrowArrayStream {
    int (*get_schema)(ArrowArrayStream *, ArrowSchema *out);
    int (*get_next)(ArrowArrayStream *, ArrowArray *out);
    const char *(*get_last_error)(ArrowArrayStream *);
    void (*release)(ArrowArrayStream *);
    void *private_data;
};

// A struct moved out of its capsule (or filled by a stream), released once
// when this goes out of scope unless it was handed on.
template <class T>
struct Owned {
    T s;
    Owned() { std::memset(&s, 0, sizeof s); }
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    ~Owned() {
        if (s.release) s.release(&s);
    }
};

// Moves the struct out of a capsule of the given name; false with an error.
template <class T>
bool take(PyObject *capsule, const char *name, Owned<T> &out, const char *what) {
    if (!PyCapsule_IsValid(capsule, name)) {
        PyErr_Format(PyExc_TypeError, "%s: the Arrow interface gave no '%s' capsule", what,
                     name);
        return false;
    }
    T *src = static_cast<T *>(PyCapsule_GetPointer(capsule, name));
    if (!src || !src->release) {
        PyErr_Format(PyExc_ValueError, "%s: the Arrow '%s' capsule was already consumed", what,
                     name);
        return false;
    }
    out.s = *src;
    src->release = nullptr;  // the capsule's destructor now leaves it to us
    return true;
}

enum class Type { F64, F32, I64, I32, I16, I8, U64, U32, U16, U8, Bool, Null, Other };

Type type_of(const char *format) {
    if (!format || !format[0] || format[1]) return Type::Other;
    switch (format[0]) {
        case 'g': return Type::F64;
        case 'f': return Type::F32;
        case 'l': return Type::I64;
        case 'i': return Type::I32;
        case 's': return Type::I16;
        case 'c': return Type::I8;
        case 'L': return Type::U64;
        case 'I': return Type::U32;
        case 'S': return Type::U16;
        case 'C': return Type::U8;
        case 'b': return Type::Bool;
        case 'n': return Type::Null;
        default: return Type::Other;
    }
}

// The column a schema describes: itself, or the one field of a struct.
struct Column {
    Type type = Type::Other;
    bool nested = false;  // the one field of a struct
};

bool column_of(const ArrowSchema &schema, Column &col, const char *what) {
    const ArrowSchema *s = &schema;
    if (s->format && !std::strcmp(s->format, "+s")) {
        if (s->n_children != 1 || !s->children || !s->children[0]) {
            PyErr_Format(PyExc_ValueError,
                         "%s is Arrow data of %lld columns; pass one column of numbers", what,
                         static_cast<long long>(s->n_children));
            return false;
        }
        s = s->children[0];
        col.nested = true;
    }
    col.type = s->dictionary ? Type::Other : type_of(s->format);
    if (col.type == Type::Other) {
        PyErr_Format(PyExc_TypeError,
                     "%s must hold bool, int or float values; got Arrow data of format '%s'%s",
                     what, s->format ? s->format : "", s->dictionary ? " (dictionary-encoded)" : "");
        return false;
    }
    return true;
}

bool bit(const void *bits, int64_t i) {
    return (static_cast<const uint8_t *>(bits)[i >> 3] >> (i & 7)) & 1;
}

// The array holding the column's values in a chunk, and the position of the
// chunk's first value in it; the struct parent, if any, in *parent.
bool values_of(const ArrowArray &chunk, const Column &col, const ArrowArray **arr,
               int64_t &first, const ArrowArray **parent, const char *what) {
    *parent = nullptr;
    *arr = &chunk;
    first = chunk.offset;
    // Counts past 2^62 are no real data, and would overflow the sums below.
    constexpr int64_t kHuge = int64_t{1} << 62;
    const auto fair = [](int64_t v) { return v >= 0 && v < kHuge; };
    if (!fair(chunk.offset) || !fair(chunk.length)) {
        PyErr_Format(PyExc_ValueError, "%s: an Arrow chunk is malformed", what);
        return false;
    }
    if (col.nested) {
        if (chunk.n_children != 1 || !chunk.children || !chunk.children[0] ||
            !fair(chunk.children[0]->offset) || !fair(chunk.children[0]->length)) {
            PyErr_Format(PyExc_ValueError, "%s: an Arrow chunk lacks its column", what);
            return false;
        }
        *parent = &chunk;
        *arr = chunk.children[0];
        first = chunk.offset + chunk.children[0]->offset;
    }
    const ArrowArray &a = **arr;
    const int64_t want = col.type == Type::Null ? 0 : 2;
    // The values array holds the chunk's rows from `first` on: for a struct's
    // field, the field's rows from the struct's offset.
    const bool sound = a.length >= first - a.offset + chunk.length && a.n_buffers >= want &&
                       (want == 0 || (a.buffers && a.buffers[1]) || chunk.length == 0);
    if (!sound) {
        PyErr_Format(PyExc_ValueError, "%s: an Arrow chunk is malformed", what);
        return false;
    }
    return true;
}

bool has_nulls(const ArrowArray &a, int64_t from, int64_t n) {
    if (a.null_count == 0 || a.n_buffers < 1 || !a.buffers || !a.buffers[0]) return false;
    for (int64_t i = 0; i < n; ++i) {
        if (!bit(a.buffers[0], from + i)) return true;
    }
    return false;
}

template <class T>
void widen(const void *buf, int64_t from, int64_t n, double *dst) {
    const T *p = static_cast<const T *>(buf) + from;
    for (int64_t i = 0; i < n; ++i) dst[i] = static_cast<double>(p[i]);
}

// Writes a chunk's n values as float64 to dst, nulls as NaN.
void copy_chunk(const ArrowArray &a, const ArrowArray *parent, Type t, int64_t from, int64_t n,
                double *dst) {
    const void *buf = t == Type::Null ? nullptr : a.buffers[1];
    switch (t) {
        case Type::F64: widen<double>(buf, from, n, dst); break;
        case Type::F32: widen<float>(buf, from, n, dst); break;
        case Type::I64: widen<int64_t>(buf, from, n, dst); break;
        case Type::I32: widen<int32_t>(buf, from, n, dst); break;
        case Type::I16: widen<int16_t>(buf, from, n, dst); break;
        case Type::I8: widen<int8_t>(buf, from, n, dst); break;
        case Type::U64: widen<uint64_t>(buf, from, n, dst); break;
        case Type::U32: widen<uint32_t>(buf, from, n, dst); break;
        case Type::U16: widen<uint16_t>(buf, from, n, dst); break;
        case Type::U8: widen<uint8_t>(buf, from, n, dst); break;
        case Type::Bool:
            for (int64_t i = 0; i < n; ++i) dst[i] = bit(buf, from + i) ? 1.0 : 0.0;
            break;
        case Type::Null:
        case Type::Other:
            for (int64_t i = 0; i < n; ++i) dst[i] = rillet::nan_value();
            return;
    }
    if (has_nulls(a, from, n)) {
        for (int64_t i = 0; i < n; ++i) {
            if (!bit(a.buffers[0], from + i)) dst[i] = rillet::nan_value();
        }
    }
    if (parent && has_nulls(*parent, parent->offset, n)) {
        for (int64_t i = 0; i < n; ++i) {
            if (!bit(parent->buffers[0], parent->offset + i)) dst[i] = rillet::nan_value();
        }
    }
}

// A growing list of chunks, each released when the list goes.
struct Chunks {
    Owned<ArrowArray> **at = nullptr;
    Py_ssize_t size = 0, cap = 0;
    Chunks() = default;
    Chunks(const Chunks &) = delete;
    Chunks &operator=(const Chunks &) = delete;
    ~Chunks() {
        for (Py_ssize_t i = 0; i < size; ++i) {
            at[i]->~Owned<ArrowArray>();
            PyMem_Free(at[i]);
        }
        PyMem_Free(at);
    }
    // A fresh empty slot; nullptr with MemoryError.
    Owned<ArrowArray> *add() {
        if (size == cap) {
            const Py_ssize_t n = cap ? 2 * cap : 4;
            auto **grown = static_cast<Owned<ArrowArray> **>(PyMem_Realloc(at, n * sizeof *at));
            if (!grown) {
                PyErr_NoMemory();
                return nullptr;
            }
            at = grown;
            cap = n;
        }
        void *mem = PyMem_Malloc(sizeof(Owned<ArrowArray>));
        if (!mem) {
            PyErr_NoMemory();
            return nullptr;
        }
        at[size] = new (mem) Owned<ArrowArray>();
        return at[size++];
    }
    // Forgets the last slot, which holds no chunk.
    void drop_last() {
        --size;
        at[size]->~Owned<ArrowArray>();
        PyMem_Free(at[size]);
    }
    // Hands chunk i to the caller, who releases it.
    ArrowArray release_one(Py_ssize_t i) {
        ArrowArray a = at[i]->s;
        at[i]->s.release = nullptr;
        return a;
    }
};

const char *const kKeep = "zelvo.arrow";

void drop_kept(PyObject *capsule) {
    auto *a = static_cast<ArrowArray *>(PyCapsule_GetPointer(capsule, kKeep));
    if (!a) {
        PyErr_Clear();
        return;
    }
    if (a->release) a->release(a);
    PyMem_RawFree(a);
}

// A read-only float64 view of the column's values in a chunk, owning it.
PyArrayObject *view(Chunks &chunks, Py_ssize_t i, const double *data, npy_intp n) {
    auto *kept = static_cast<ArrowArray *>(PyMem_RawMalloc(sizeof(ArrowArray)));
    if (!kept) return reinterpret_cast<PyArrayObject *>(PyErr_NoMemory());
    *kept = chunks.release_one(i);
    PyObject *owner = PyCapsule_New(kept, kKeep, drop_kept);
    if (!owner) {
        kept->release(kept);
        PyMem_RawFree(kept);
        return nullptr;
    }
    PyObject *arr = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), 1, &n,
                                         nullptr, const_cast<double *>(data), 0, nullptr);
    if (!arr) {
        Py_DECREF(owner);
        return nullptr;
    }
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject *>(arr), owner) < 0) {
        Py_DECREF(arr);
        return nullptr;
    }
    return reinterpret_cast<PyArrayObject *>(arr);
}

// The chunks as one float64 array: in place for one float64 chunk without
// nulls, else a copy.
PyArrayObject *assemble(Chunks &chunks, const Column &col, const char *what) {
    Py_ssize_t total = 0, nonempty = 0, last = -1;
    for (Py_ssize_t i = 0; i < chunks.size; ++i) {
        const ArrowArray &c = chunks.at[i]->s;
        const ArrowArray *arr, *parent;
        int64_t first;
        if (!values_of(c, col, &arr, first, &parent, what)) return nullptr;
        if (c.length > PY_SSIZE_T_MAX - total) {
            PyErr_Format(PyExc_ValueError, "%s: Arrow data too long", what);
            return nullptr;
        }
        total += static_cast<Py_ssize_t>(c.length);
        if (c.length) ++nonempty, last = i;
    }
    if (nonempty == 1 && col.type == Type::F64) {
        const ArrowArray &c = chunks.at[last]->s;
        const ArrowArray *arr, *parent;
        int64_t first;
        values_of(c, col, &arr, first, &parent, what);
        const bool clean = !has_nulls(*arr, first, c.length) &&
                           !(parent && has_nulls(*parent, parent->offset, c.length));
        if (clean) {
            return view(chunks, last, static_cast<const double *>(arr->buffers[1]) + first,
                        static_cast<npy_intp>(c.length));
        }
    }
    npy_intp n = total;
    auto *out = reinterpret_cast<PyArrayObject *>(PyArray_EMPTY(1, &n, NPY_DOUBLE, 0));
    if (!out) return nullptr;
    double *dst = static_cast<double *>(PyArray_DATA(out));
    for (Py_ssize_t i = 0; i < chunks.size; ++i) {
        const ArrowArray &c = chunks.at[i]->s;
        const ArrowArray *arr, *parent;
        int64_t first;
        values_of(c, col, &arr, first, &parent, what);
        copy_chunk(*arr, parent, col.type, first, c.length, dst);
        dst += c.length;
    }
    return out;
}

PyObject *s_c_array, *s_c_stream;

bool has(PyObject *o, PyObject *name) {
    return PyObject_HasAttr(reinterpret_cast<PyObject *>(Py_TYPE(o)), name);
}

PyArrayObject *from_c_array(PyObject *o, const char *what) {
    PyObject *pair = PyObject_CallMethodNoArgs(o, s_c_array);
    if (!pair) return nullptr;
    Owned<ArrowSchema> schema;
    Chunks chunks;
    Owned<ArrowArray> *slot = nullptr;
    bool ok = PyTuple_Check(pair) && PyTuple_GET_SIZE(pair) == 2;
    if (!ok) {
        PyErr_Format(PyExc_TypeError,
                     "%s: the Arrow interface __arrow_c_array__ gave no (schema, array) pair",
                     what);
    } else {
        ok = take(PyTuple_GET_ITEM(pair, 0), "arrow_schema", schema, what) &&
             (slot = chunks.add()) != nullptr &&
             take(PyTuple_GET_ITEM(pair, 1), "arrow_array", *slot, what);
    }
    Py_DECREF(pair);
    Column col;
    if (!ok || !column_of(schema.s, col, what)) return nullptr;
    return assemble(chunks, col, what);
}

PyArrayObject *from_c_stream(PyObject *o, const char *what) {
    PyObject *capsule = PyObject_CallMethodNoArgs(o, s_c_stream);
    if (!capsule) return nullptr;
    Owned<ArrowArrayStream> stream;
    const bool ok = take(capsule, "arrow_array_stream", stream, what);
    Py_DECREF(capsule);
    if (!ok) return nullptr;
    ArrowArrayStream *st = &stream.s;
    auto failed = [&](int code) {
        const char *msg = st->get_last_error ? st->get_last_error(st) : nullptr;
        PyErr_Format(PyExc_ValueError, "%s: the Arrow stream failed (error %d%s%s)", what, code,
                     msg ? ": " : "", msg ? msg : "");
        return nullptr;
    };
    Owned<ArrowSchema> schema;
    if (const int rc = st->get_schema(st, &schema.s)) return failed(rc);
    Column col;
    if (!column_of(schema.s, col, what)) return nullptr;
    Chunks chunks;
    for (;;) {
        Owned<ArrowArray> *slot = chunks.add();
        if (!slot) return nullptr;
        if (const int rc = st->get_next(st, &slot->s)) return failed(rc);
        if (!slot->s.release) {  // the end of the stream
            chunks.drop_last();
            break;
        }
    }
    return assemble(chunks, col, what);
}

}  // namespace

int arrow_init() {
    if (!s_c_array && !(s_c_array = PyUnicode_InternFromString("__arrow_c_array__"))) return -1;
    if (!s_c_stream && !(s_c_stream = PyUnicode_InternFromString("__arrow_c_stream__"))) return -1;
    return 0;
}

int arrow_array(PyObject *o, const char *what, PyArrayObject **out) {
    *out = nullptr;
    if (has(o, s_c_array)) {
        *out = from_c_array(o, what);
    } else if (has(o, s_c_stream)) {
        *out = from_c_stream(o, what);
    } else {
        return 0;
    }
    return *out ? 1 : -1;
}

bool is_arrow(PyTypeObject *t) {
    PyObject *type = reinterpret_cast<PyObject *>(t);
    return PyObject_HasAttr(type, s_c_array) || PyObject_HasAttr(type, s_c_stream);
}

}  // namespace zelvo_api
