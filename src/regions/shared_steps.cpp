#include "regions/shared_steps.h"
#include "frame/globals.h"
#include "frame/object.h"
#include "frame/operators.h"
#include "frame/unpack.h"

#include <cmath>

namespace qlo::regions {

py::object otsu_binarized(py::handle image) {
    py::object threshold = global("_cv").attr(interned("threshold"));
    py::object binary = global("_cv").attr(interned("THRESH_BINARY"));
    py::object flags = add(binary, global("_cv").attr(interned("THRESH_OTSU")));
    auto [value, binarized] = unpack<2>(threshold(image, 0, 255, flags));
    return binarized;
}

py::object find_contours(py::handle image, const char* mode, const char* method) {
    py::object find = global("_cv").attr(interned("findContours"));
    py::object mode_value = global("_cv").attr(interned(mode));
    py::object method_value = global("_cv").attr(interned(method));
    auto [contours, hierarchy] = unpack<2>(find(image, mode_value, method_value));
    return contours;
}

std::array<py::object, 4> bounding_rect(py::handle contour) {
    return unpack<4>(global("_cv").attr(interned("boundingRect"))(contour));
}

py::object infinity() { return py::float_(HUGE_VAL); }

py::object item(py::handle sequence, Py_ssize_t index) {
    py::object key = py::int_(index);
    return steal(PyObject_GetItem(sequence.ptr(), key.ptr()));
}

py::object blank_mask(py::handle image) {
    py::object zeros = global("_np").attr(interned("zeros"));
    py::object shape = image.attr(interned("shape"));
    return zeros(shape, global("_np").attr(interned("uint8")));
}

void fill(py::handle mask, py::handle value) {
    py::object whole = steal(PySlice_New(nullptr, nullptr, nullptr));
    py::object all = py::make_tuple(whole, whole);
    if (PyObject_SetItem(mask.ptr(), all.ptr(), value.ptr()) != 0) throw_error_already_set();
}

}  // namespace qlo::regions
