// Subscription and checked division shared by the coordinate translators
// (Python's operators come from the frame): each helper does exactly what the
// one Python operation it names does, so the translators read like the
// formulas they implement.
#pragma once

#include <utility>

#include "frame/operators.h"

namespace qlo::coords {

// a / b, except that a zero denominator always raises ZeroDivisionError, also
// where NumPy scalars or arrays would give inf with a warning: a calibration
// must not keep an unusable matrix silently. Two plain Python numbers keep
// Python's own error text.
py::object checked_divide(py::handle numerator, py::handle denominator);

// seq[key], seq[i], seq[:stop], array[:, i] and array[:, :stop].
inline py::object item(py::handle seq, py::handle key) { return steal(PyObject_GetItem(seq.ptr(), key.ptr())); }
py::object item(py::handle seq, Py_ssize_t i);
py::object head(py::handle seq, Py_ssize_t stop);
py::object column(py::handle array, Py_ssize_t i);
py::object head_columns(py::handle array, Py_ssize_t stop);
// The subscription keys of column(): (slice(None), i).
py::object column_key(Py_ssize_t i);

// target[key] = value.
void set_item(py::handle target, py::handle key, py::handle value);

// The end points (x, y) of `points` turned by `angle` degrees (mathematical
// sense) about the origin, in polar form: their own angle atan2(y, x) plus the
// turn, at their own radius. `key_x` and `key_y` select the coordinates: 0 and
// 1 for one point, column keys for an N x 2 array.
std::pair<py::object, py::object> turn_about_origin(py::handle points, py::handle angle, py::handle key_x,
                                                    py::handle key_y);

}  // namespace qlo::coords
