// The object layer every native source uses: pybind11's reference-counted
// handles and calls (header-only) plus a few helpers for raising Python
// errors from C++.
//
// Only pybind11's object layer is included (handles, Python types, calls with
// positional and keyword arguments): its binding machinery (pybind11.h:
// classes, function wrappers, modules), which this module does not use, more
// than doubles the compile time of every file including it. The few members
// of the object layer that pybind11 defines in pybind11.h are compiled once,
// in object.cpp.
#pragma once

#include <Python.h>
#include <pybind11/cast.h>

namespace py = pybind11;

namespace qlo {

// Turns the Python error already set into a C++ exception; the native
// function boundary restores it.
[[noreturn]] inline void throw_error_already_set() { throw py::error_already_set(); }

// Sets a Python exception from a printf-style text and throws.
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// Makes pybind11's shared state (at import: see module.cpp).
void ready_object_layer();

// Wraps a new reference returned by the C API; null means a Python error.
inline py::object steal(PyObject* result) {
    if (!result) throw_error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// import <name>: the module, imported now when it is not yet.
inline py::object import_module(const char* name) { return steal(PyImport_ImportModule(name)); }

// Python truth of an object, raising what __bool__ raises.
inline bool truthy(py::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw_error_already_set();
    return r != 0;
}

// OpenCV's binding trusts len() of a sequence it converts (a colour, a point)
// and reads past the end when __getitem__ runs out first, crashing the
// interpreter. Anything that is a sequence but not an exact list or tuple, a
// str or a buffer (arrays, bytes) is handed over as the tuple its iteration
// gives: the same items for an honest sequence, an exception for a broken one.
inline py::object honest_sequence(py::handle value) {
    PyObject* v = value.ptr();
    if (PyList_CheckExact(v) || PyTuple_CheckExact(v) || PyUnicode_Check(v) || PyObject_CheckBuffer(v) ||
        !PySequence_Check(v))
        return py::reinterpret_borrow<py::object>(value);
    return steal(PySequence_Tuple(v));
}

}  // namespace qlo
