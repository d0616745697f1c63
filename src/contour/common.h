// Shared by the contour functions, the Contour class and the matching angle:
// the formulas on an OpenCV moments mapping (the class applies them to its
// cached moments) and the few subscription helpers their steps need.
#pragma once

#include "frame/object.h"

namespace qlo::contour {

// slice(start, stop[, step]); null handles stand for None.
py::object slice(py::handle start, py::handle stop, py::handle step = {});
// target[key] and target[key] = value.
py::object subscript(py::handle target, py::handle key);
void assign(py::handle target, py::handle key, py::handle value);
// points[:, index]
py::object column(py::handle points, long index);

// moments[key], as a subscription does it.
py::object moment(py::handle moments, const char* key);

// m00, after asserting it is not zero ("Empty or degenerative contour").
py::object area_moment(py::handle moments);

// moments[key] / m00: one centroid coordinate.
py::object moment_ratio(py::handle moments, const char* key, py::handle m00);

// The principal-axis angle in degrees, in image coordinates (y down):
// _np.rad2deg(0.5 * _np.atan2(2.0 * mu11, mu20 - mu02)).
py::object principal_direction(py::handle moments);

}  // namespace qlo::contour
