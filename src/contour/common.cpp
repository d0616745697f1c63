#include "contour/common.h"
#include "frame/globals.h"
#include "frame/object.h"
#include "frame/operators.h"

namespace qlo::contour {

py::object slice(py::handle start, py::handle stop, py::handle step) {
    return steal(PySlice_New(start.ptr(), stop.ptr(), step.ptr()));
}

py::object subscript(py::handle target, py::handle key) { return steal(PyObject_GetItem(target.ptr(), key.ptr())); }

void assign(py::handle target, py::handle key, py::handle value) {
    if (PyObject_SetItem(target.ptr(), key.ptr(), value.ptr()) < 0) throw_error_already_set();
}

py::object column(py::handle points, long index) {
    return subscript(points, py::make_tuple(slice({}, {}), py::int_(index)));
}

py::object moment(py::handle moments, const char* key) {
    return steal(PyObject_GetItem(moments.ptr(), interned(key).ptr()));
}

py::object area_moment(py::handle moments) {
    py::object m00 = moment(moments, "m00");
    if (assertions_enabled()) {
        bool zero = compare(m00, py::int_(0), Py_EQ);
        assert_that(!zero, "Empty or degenerative contour");
    }
    return m00;
}

py::object moment_ratio(py::handle moments, const char* key, py::handle m00) {
    return divide(moment(moments, key), m00);
}

py::object principal_direction(py::handle moments) {
    py::object mu20 = moment(moments, "mu20");
    py::object mu02 = moment(moments, "mu02");
    py::object mu11 = moment(moments, "mu11");
    py::object atan2 = global("_np").attr(interned("atan2"));
    py::object twice_mu11 = mul(py::float_(2.0), mu11);
    py::object spread = sub(mu20, mu02);
    py::object theta = mul(py::float_(0.5), atan2(twice_mu11, spread));
    return global("_np").attr(interned("rad2deg"))(theta);
}

}  // namespace qlo::contour
