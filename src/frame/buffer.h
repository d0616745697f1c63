// Raw access to an object's memory through the buffer protocol, for native
// fast paths. A view holds a reference to the exporter, which keeps it alive
// and makes NumPy's resize() with its default reference check refuse to move
// the array's memory; so the pixels can be read or written with the GIL
// released. resize(refcheck=False) skips that check and frees the memory
// under the view (NumPy does not count exported buffers): a caller who does
// that, or writes into the array, from another thread while a call runs gets
// an undefined result, as with OpenCV's own functions (ARCHITECTURE.md,
// "Arrays changed under a running call"). Views are released with the GIL held.
#pragma once

#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include <pybind11/gil_simple.h>

#include "base/element.h"
#include "frame/globals.h"
#include "frame/object.h"

namespace qlo {

class BufferView {
public:
    // Raises what the exporter raises (BufferError for a read-only array
    // asked for writing, TypeError for an object without buffers).
    BufferView(py::handle exporter, bool writable) {
        int flags = PyBUF_RECORDS_RO | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(exporter.ptr(), &view_, flags) != 0) throw_error_already_set();
    }
    ~BufferView() { PyBuffer_Release(&view_); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    int ndim() const { return view_.ndim; }
    Py_ssize_t shape(int i) const { return view_.shape[i]; }
    Py_ssize_t stride(int i) const { return view_.strides[i]; }
    Py_ssize_t itemsize() const { return view_.itemsize; }
    void* data() const { return view_.buf; }
    const char* format() const { return view_.format; }  // struct-module syntax; null means "B"
    // The element type when the buffer holds plain numbers in the machine's
    // byte order, aligned or not (see element_of); nothing otherwise.
    std::optional<Element> element() const { return element_of(view_.format, view_.itemsize); }

private:
    Py_buffer view_{};
};

// True when `value` is exactly an array of NumPy's own type (not a subclass,
// not another library's array), recorded when the module was imported: the
// type whose indexing, assignment and buffers fast paths reproduce.
bool is_ndarray(py::handle value);

// True when `value` is a NumPy scalar (an instance of NumPy's own generic,
// recorded at import).
bool is_numpy_scalar(py::handle value);

// The element of one of NumPy's own scalar types (np.int64(3), np.float32(1)),
// read from the scalar's buffer; nothing for a subclass defined in Python
// (which may compare differently) or any other object.
std::optional<Element> numpy_scalar_element(py::handle value);

// True for a NumPy scalar or array, subclasses of NumPy's array included.
bool is_numpy_value(py::handle value);

// A plain Python int, bool or float (exact types; subclasses may compare
// differently), read once for a fast path to reproduce how NumPy compares
// it with or converts it to an element.
struct PlainNumber {
    bool is_float = false;
    double real = 0.0;          // the float, or the int as the nearest double
    bool has_real = false;      // false for an int too large for a double
    bool fits_i64 = false;      // the int within int64: i64 holds it
    bool fits_u64 = false;      // the int within uint64: u64 holds it
    bool negative = false;      // the int is below zero (tells the side of one beyond both)
    long long i64 = 0;
    unsigned long long u64 = 0;
};
// Nothing for any other object, which fast paths leave to the general path.
std::optional<PlainNumber> read_plain_number(py::handle value);

// The shape of the buffer an object exports; nothing for an object that
// exports none. Reads no Python attribute.
inline std::optional<std::vector<Py_ssize_t>> exported_shape(py::handle exporter) {
    Py_buffer view{};
    if (PyObject_GetBuffer(exporter.ptr(), &view, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    std::vector<Py_ssize_t> shape(view.shape, view.shape + view.ndim);
    PyBuffer_Release(&view);
    return shape;
}

// (rows, columns) of an object exporting a buffer of two or more dimensions;
// nothing for any other object. Reads no Python attribute.
inline std::optional<std::pair<Py_ssize_t, Py_ssize_t>> planar_size(py::handle exporter) {
    auto shape = exported_shape(exporter);
    if (!shape || shape->size() < 2) return std::nullopt;
    return std::make_pair((*shape)[0], (*shape)[1]);
}

// OpenCV's matchTemplate swaps image and template when the template is the
// larger in both directions and then reports where the image lies inside the
// template. Both template searches refuse that with OpenCV's error type, as
// OpenCV itself refuses a template larger in one direction only.
inline void check_template_fits(py::handle search, py::handle templ) {
    auto s = planar_size(search), t = planar_size(templ);
    if (!s || !t || t->first < s->first || t->second < s->second || *t == *s) return;
    py::object error = global("_cv").attr(interned("error"));
    raise_format(error.ptr(), "template (%zd x %zd) is larger than the search image (%zd x %zd)", t->first,
                 t->second, s->first, s->second);
}

// OpenCV draws on images of rows and columns with at most one axis of
// channels, but its binding hands a drawing function an array of more
// dimensions anyway, and fillPoly or drawContours on a small one (shape
// (1, 1, 1, 1), say) write past its memory. Drawing on such an array is
// refused with OpenCV's error type, before the drawing call.
inline void check_drawable(py::handle image) {
    auto shape = exported_shape(image);  // not an array: OpenCV's binding refuses it itself
    if (!shape || shape->size() <= 3) return;
    py::object error = global("_cv").attr(interned("error"));
    raise_format(error.ptr(), "cannot draw on an array of %zu dimensions: an image has rows, columns and channels",
                 shape->size());
}

// Releases the GIL for the lifetime of the object; pure C++ work only.
using ReleaseGil = py::gil_scoped_release_simple;

}  // namespace qlo
