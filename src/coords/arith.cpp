#include "coords/arith.h"

#include "frame/buffer.h"
#include "frame/globals.h"

namespace qlo::coords {

namespace {

bool is_plain_number(py::handle value) {
    return PyFloat_CheckExact(value.ptr()) || PyLong_Check(value.ptr());
}

// A number (Python or NumPy scalar, or a zero-dimensional array) equal to zero.
bool is_zero(py::handle value) {
    if (!is_plain_number(value) && !PyFloat_Check(value.ptr())) {
        if (!is_numpy_value(value)) return false;
        py::object ndim = value.attr("ndim");
        if (!ndim.equal(py::int_(0))) return false;
    }
    return compare(value, py::int_(0), Py_EQ);
}

}  // namespace

py::object checked_divide(py::handle numerator, py::handle denominator) {
    bool numeric = is_plain_number(numerator) || PyFloat_Check(numerator.ptr()) || is_numpy_value(numerator);
    bool python_raises = is_plain_number(numerator) && is_plain_number(denominator);
    if (numeric && !python_raises && is_zero(denominator))
        raise_format(PyExc_ZeroDivisionError, "float division by zero");
    return divide(numerator, denominator);
}

py::object item(py::handle seq, Py_ssize_t i) { return item(seq, py::int_(i)); }

namespace {

py::object slice_to(Py_ssize_t stop) {
    return steal(PySlice_New(nullptr, py::int_(stop).ptr(), nullptr));
}

py::object all_rows() { return steal(PySlice_New(nullptr, nullptr, nullptr)); }

}  // namespace

py::object head(py::handle seq, Py_ssize_t stop) { return item(seq, slice_to(stop)); }

py::object column_key(Py_ssize_t i) { return py::make_tuple(all_rows(), py::int_(i)); }

py::object column(py::handle array, Py_ssize_t i) { return item(array, column_key(i)); }

py::object head_columns(py::handle array, Py_ssize_t stop) {
    return item(array, py::make_tuple(all_rows(), slice_to(stop)));
}

void set_item(py::handle target, py::handle key, py::handle value) {
    if (PyObject_SetItem(target.ptr(), key.ptr(), value.ptr()) < 0) throw_error_already_set();
}

std::pair<py::object, py::object> turn_about_origin(py::handle points, py::handle angle, py::handle key_x,
                                                    py::handle key_y) {
    py::object atan2 = global("_np").attr("atan2");
    py::object y = item(points, key_y);
    py::object x = item(points, key_x);
    py::object beta = atan2(y, x);
    py::object radian = global("_np").attr("deg2rad")(angle);
    py::object total_radian = add(radian, beta);
    py::object pow_2 = steal(PyNumber_Power(points.ptr(), py::int_(2).ptr(), Py_None));
    py::object sqrt = global("_np").attr("sqrt");
    py::object x_2 = item(pow_2, key_x);
    py::object radius = sqrt(add(x_2, item(pow_2, key_y)));
    py::object end_x = mul(radius, global("_np").attr("cos")(total_radian));
    py::object end_y = mul(radius, global("_np").attr("sin")(total_radian));
    return {end_x, end_y};
}

}  // namespace qlo::coords
