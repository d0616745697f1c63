// the_most_matching_angle: by how many degrees a unit-under-test contour is
// turned relative to a reference of the same shape. The principal axes give
// the angle up to a half turn; overlaying the two shapes as masks at both
// candidates settles which half.
#include <cmath>
#include <utility>

#include "contour/common.h"
#include "frame/function.h"
#include "frame/globals.h"
#include "frame/object.h"
#include "frame/operators.h"
#include "frame/signature.h"
#include "frame/unpack.h"
#include "contour/register.h"

namespace qlo {

namespace {

using contour::subscript;

constexpr const char* kSource = "src/contour/matching_angle.cpp";

// A working copy of a contour-like object's points, as a Contour.
py::object working_copy(py::handle source) {
    py::object cls = global("Contour");
    return cls(source.attr(interned("points")));
}

struct Circle {
    py::object cx, cy, radius;
};

Circle enclosing_circle(py::handle contour) {
    auto [center, radius] = unpack<2>(contour.attr(interned("min_enclosing_circle")));
    auto [cx, cy] = unpack<2>(center);
    return {cx, cy, radius};
}

// int(round(value, 0)) - radius
py::object offset_from(py::handle value, py::handle radius) {
    py::object rounded = builtins().round(value, py::int_(0));
    return sub(steal(PyNumber_Long(rounded.ptr())), radius);
}

// The offset of the enclosing circle's centre from (radius, radius), the
// centre rounded half to even.
std::pair<py::object, py::object> centre_offset(const Circle& circle, py::handle radius) {
    py::object dx = offset_from(circle.cx, radius);
    return {dx, offset_from(circle.cy, radius)};
}

void move_back(py::handle contour, const std::pair<py::object, py::object>& offset) {
    contour.attr(interned("move_offset"))(neg(offset.first), neg(offset.second));
}

// Reference pixels left uncovered by the inverted unit mask turned by `angle`
// about (radius, radius); pixels brought in from outside the frame count as
// outside the unit shape.
py::object uncovered_pixels(py::handle ref_mask, py::handle uut_mask, py::handle radius, py::handle angle,
                            py::handle img_size) {
    py::object rotation = global("_cv").attr(interned("getRotationMatrix2D"));
    py::object matrix = rotation(py::make_tuple(radius, radius), angle, 1);
    py::object warp = global("_cv").attr(interned("warpAffine"));
    py::object rotated = warp(uut_mask, matrix, img_size, py::arg("borderMode") = global("_cv").attr(interned("BORDER_CONSTANT")),
                              py::arg("borderValue") = 255);
    py::object diff_image = global("_cv").attr(interned("bitwise_and"))(ref_mask, rotated);
    return global("_np").attr(interned("count_nonzero"))(diff_image);
}

// Brings the angle into (-180, 180] by whole turns. Only a rebound module
// global can hand in an infinite or astronomically large angle; turning such
// a value by 360 at a time would never end, so it is refused instead.
py::object normalised(py::object angle) {
    double value = PyFloat_AsDouble(angle.ptr());
    if (value == -1.0 && PyErr_Occurred())
        PyErr_Clear();  // not a real number: let the comparisons below decide
    else if (std::isinf(value) || std::fabs(value) > 1e9)
        raise_format(PyExc_ValueError, "angle %R cannot be brought into (-180, 180]", angle.ptr());
    py::int_ full_turn(360), half_turn(180), minus_half_turn(-180);
    while (compare(angle, minus_half_turn, Py_LE)) angle = steal(PyNumber_InPlaceAdd(angle.ptr(), full_turn.ptr()));
    while (compare(angle, half_turn, Py_GT)) angle = steal(PyNumber_InPlaceSubtract(angle.ptr(), full_turn.ptr()));
    return angle;
}

py::object the_most_matching_angle(Args& a) {
    py::object ref_cnt = working_copy(a[0]);
    py::object uut_cnt = working_copy(a[1]);
    py::object ref_dir = ref_cnt.attr(interned("direction"));
    py::object uut_dir = uut_cnt.attr(interned("direction"));
    Circle std_circle = enclosing_circle(ref_cnt);
    Circle uut_circle = enclosing_circle(uut_cnt);

    py::object ceil = global("_math").attr(interned("ceil"));
    py::object radius = ceil(global("max")(std_circle.radius, uut_circle.radius));
    auto std_offset = centre_offset(std_circle, radius);
    auto uut_offset = centre_offset(uut_circle, radius);
    // Both copies now have their enclosing circle's centre at about (radius, radius).
    move_back(ref_cnt, std_offset);
    move_back(uut_cnt, uut_offset);

    py::object width = mul(radius, py::int_(2));
    py::tuple img_size = py::make_tuple(width, width);
    py::object ref_mask = ref_cnt.attr(interned("make_mask"))(img_size);
    py::object uut_mask = uut_cnt.attr(interned("make_mask"))(img_size, py::arg("invert") = true);
    py::object direction_diff = sub(uut_dir, ref_dir);

    py::object empty = global("_np").attr(interned("empty"));
    py::object diff = empty(py::make_tuple(2), py::arg("dtype") = global("_np").attr(interned("intp")));
    for (int index = 0; index < 2; ++index) {
        py::object angle = add(direction_diff, py::int_(180 * index));
        py::object count = uncovered_pixels(ref_mask, uut_mask, radius, angle, img_size);
        contour::assign(diff, py::int_(index), count);
    }
    // argmin keeps the first of equal counts: no half turn on a tie.
    py::object index = diff.attr(interned("argmin"))();
    return normalised(add(direction_diff, mul(py::int_(180), index)));
}

py::object make_the_most_matching_angle() {
    return module_function({"the_most_matching_angle", {{"reference"}, {"uut"}}, the_most_matching_angle, Ret::Any,
                            false, "The turn of uut relative to reference in degrees, in (-180, 180]."},
                           kSource);
}

}  // namespace

void register_matching_angle(Registry& registry) {
    registry.add("the_most_matching_angle", make_the_most_matching_angle);
}

}  // namespace qlo
