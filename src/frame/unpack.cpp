#include "frame/unpack.h"

namespace qlo {

void raise_too_many_values(Py_ssize_t expected) {
    raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

void raise_need_more_values(Py_ssize_t found) {
    raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
}

py::object opencv_scalar(py::handle value) {
    PyObject* v = value.ptr();
    if (PyTuple_CheckExact(v) || PyList_CheckExact(v) || !PySequence_Check(v))
        return py::reinterpret_borrow<py::object>(value);
    Py_ssize_t n = PySequence_Size(v);
    if (n < 0) throw_error_already_set();
    if (n > 4) return py::reinterpret_borrow<py::object>(value);  // OpenCV refuses it before reading an item
    py::tuple items(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_GetItem(v, i);
        if (!item) throw_error_already_set();
        PyTuple_SET_ITEM(items.ptr(), i, item);
    }
    return std::move(items);
}

void unpack_into(py::handle sequence, py::object* out, Py_ssize_t n) {
    PyObject* seq = sequence.ptr();
    if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(seq);
        if (size > n) raise_too_many_values(n);
        if (size < n) raise_need_more_values(size);
        PyObject** items = PySequence_Fast_ITEMS(seq);
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = py::reinterpret_borrow<py::object>(items[i]);
        return;
    }
    py::object iterator = steal(PyObject_GetIter(seq));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyIter_Next(iterator.ptr());
        if (!item) {
            if (PyErr_Occurred()) throw_error_already_set();
            raise_need_more_values(i);
        }
        out[i] = py::reinterpret_steal<py::object>(item);
    }
    PyObject* extra = PyIter_Next(iterator.ptr());
    if (extra) {
        Py_DECREF(extra);
        raise_too_many_values(n);
    }
    if (PyErr_Occurred()) throw_error_already_set();
}

}  // namespace qlo
