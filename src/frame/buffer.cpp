#include "frame/buffer.h"

namespace qlo {

bool is_ndarray(py::handle value) {
    py::handle ndarray = original("_np.ndarray");
    return ndarray && reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())) == ndarray.ptr();
}

namespace {

bool is_instance_of_original(py::handle value, const char* type) {
    py::handle recorded = original(type);
    if (!recorded) return false;
    int r = PyObject_IsInstance(value.ptr(), recorded.ptr());
    if (r < 0) throw_error_already_set();
    return r != 0;
}

}  // namespace

bool is_numpy_scalar(py::handle value) { return is_instance_of_original(value, "_np.generic"); }

std::optional<Element> numpy_scalar_element(py::handle value) {
    // NumPy's scalar types are static types; a subclass made in Python is a heap type.
    if (PyType_HasFeature(Py_TYPE(value.ptr()), Py_TPFLAGS_HEAPTYPE) || !is_numpy_scalar(value)) return std::nullopt;
    Py_buffer b;
    if (PyObject_GetBuffer(value.ptr(), &b, PyBUF_FORMAT) != 0) {
        PyErr_Clear();  // no buffer (object scalars)
        return std::nullopt;
    }
    std::optional<Element> element = b.ndim == 0 ? element_of(b.format, b.itemsize) : std::nullopt;
    PyBuffer_Release(&b);
    return element;
}

bool is_numpy_value(py::handle value) {
    return is_numpy_scalar(value) || is_instance_of_original(value, "_np.ndarray");
}

std::optional<PlainNumber> read_plain_number(py::handle value) {
    PlainNumber n;
    PyObject* v = value.ptr();
    if (PyFloat_CheckExact(v)) {
        n.is_float = true;
        n.has_real = true;
        n.real = PyFloat_AS_DOUBLE(v);
        return n;
    }
    if (!PyLong_CheckExact(v) && !PyBool_Check(v)) return std::nullopt;
    int overflow = 0;
    n.i64 = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (n.i64 == -1 && PyErr_Occurred()) throw_error_already_set();
    n.fits_i64 = overflow == 0;
    n.negative = overflow < 0 || (overflow == 0 && n.i64 < 0);
    if (n.fits_i64 && n.i64 >= 0) {
        n.fits_u64 = true;
        n.u64 = static_cast<unsigned long long>(n.i64);
    } else if (overflow > 0) {
        n.u64 = PyLong_AsUnsignedLongLong(v);
        n.fits_u64 = !(n.u64 == static_cast<unsigned long long>(-1) && PyErr_Occurred());
        if (!n.fits_u64) PyErr_Clear();
    }
    double real = PyLong_AsDouble(v);
    if (real == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();  // beyond every double: NumPy raises where it needs the float
    } else {
        n.has_real = true;
        n.real = real;
    }
    return n;
}

}  // namespace qlo
