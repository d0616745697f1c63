// Steps the region functions and classes share, each made of the same
// OpenCV and NumPy calls through the module's `_cv` and `_np`, looked up at
// call time in the order a Python expression evaluates them.
#pragma once

#include <array>

#include "frame/object.h"

namespace qlo::regions {

// _cv.threshold(image, 0, 255, _cv.THRESH_BINARY + _cv.THRESH_OTSU)[1]: the
// image binarised with Otsu's threshold (the threshold itself is dropped).
py::object otsu_binarized(py::handle image);

// The contours of _cv.findContours(image, _cv.<mode>, _cv.<method>), the
// hierarchy dropped.
py::object find_contours(py::handle image, const char* mode, const char* method);

// x, y, w, h of _cv.boundingRect(contour).
std::array<py::object, 4> bounding_rect(py::handle contour);

// float('inf'): the start of a running minimum.
py::object infinity();

// sequence[index]
py::object item(py::handle sequence, Py_ssize_t index);

// _np.zeros(image.shape, _np.uint8): a blank mask of the image's shape.
py::object blank_mask(py::handle image);

// mask[:, :] = value
void fill(py::handle mask, py::handle value);

}  // namespace qlo::regions
