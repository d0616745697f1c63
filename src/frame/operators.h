// Python's operators for native code. Each helper does exactly what the one
// Python expression it names does (the operands' own special methods, their
// results and errors), so native code reads like the formulas it implements.
#pragma once

#include "frame/object.h"

namespace qlo {

inline py::object add(py::handle a, py::handle b) { return steal(PyNumber_Add(a.ptr(), b.ptr())); }          // a + b
inline py::object sub(py::handle a, py::handle b) { return steal(PyNumber_Subtract(a.ptr(), b.ptr())); }     // a - b
inline py::object mul(py::handle a, py::handle b) { return steal(PyNumber_Multiply(a.ptr(), b.ptr())); }     // a * b
inline py::object divide(py::handle a, py::handle b) { return steal(PyNumber_TrueDivide(a.ptr(), b.ptr())); }  // a / b
inline py::object neg(py::handle a) { return steal(PyNumber_Negative(a.ptr())); }                            // -a

// a += b, a -= b, a *= b: the result may be `a` itself (NumPy arrays) or a new object.
inline py::object iadd(py::handle a, py::handle b) { return steal(PyNumber_InPlaceAdd(a.ptr(), b.ptr())); }
inline py::object isub(py::handle a, py::handle b) { return steal(PyNumber_InPlaceSubtract(a.ptr(), b.ptr())); }
inline py::object imul(py::handle a, py::handle b) { return steal(PyNumber_InPlaceMultiply(a.ptr(), b.ptr())); }

// The value of `a <op> b` (op is Py_LT, Py_EQ, ...): whatever the comparison
// returns, e.g. an array of bools for NumPy arrays.
inline py::object rich_compare(py::handle a, py::handle b, int op) {
    return steal(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}

// The truth of `a <op> b`, as `if a < b:` evaluates it: the comparison's
// result is tested for truth (raising what its __bool__ raises), and equality
// takes no identity shortcut (unlike PyObject_RichCompareBool).
inline bool compare(py::handle a, py::handle b, int op) { return truthy(rich_compare(a, b, op)); }

}  // namespace qlo
