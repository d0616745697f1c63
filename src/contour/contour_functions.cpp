// Functions on a raw contour array (N x 1 x 2 points, as findContours gives
// them): centroid, distances to a point, orientation from the convex hull,
// reversal, an in-place cyclic left shift and the principal-axis direction.
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

using contour::area_moment;
using contour::assign;
using contour::column;
using contour::moment_ratio;
using contour::slice;
using contour::subscript;

constexpr const char* kSource = "src/contour/contour_functions.cpp";

// ---- centroid_of_contour ----

py::object centroid_of_contour(Args& a) {
    py::object moments = global("_cv").attr(interned("moments"))(a[0]);
    py::object m00 = area_moment(moments);
    py::object x = moment_ratio(moments, "m10", m00);
    py::object y = moment_ratio(moments, "m01", m00);
    return py::make_tuple(x, y);
}

// ---- contour_point_distances ----

py::object squared_difference(py::handle values, py::handle origin) {
    py::object square = global("_np").attr(interned("square"));
    return square(sub(values, origin));
}

py::object contour_point_distances(Args& a) {
    py::object pts = a[0].attr(interned("reshape"))(-1, 2);
    py::object xs = column(pts, 0);
    py::object ys = column(pts, 1);
    auto [x, y] = unpack<2>(a[1]);
    py::object sqrt = global("_np").attr(interned("sqrt"));
    py::object dx2 = squared_difference(xs, x);
    py::object dy2 = squared_difference(ys, y);
    return sqrt(add(dx2, dy2));
}

// ---- orientation ----

// A point or a straight segment has no rotational sense: with fewer than three
// hull vertices the three-index rule would answer by accident (or fail to
// broadcast), so it is refused plainly.
[[noreturn]] void raise_no_orientation() {
    raise_format(PyExc_ValueError, "contour has no orientation: its convex hull has fewer than three vertices");
}

// True when the contour's point indices increase along the hull order that
// convexHull gives for clockwise=False: the first three hull indices, rotated
// so that the smallest comes first, are then in increasing order.
py::object contour_is_counterclockwise(Args& a) {
    py::object hull = global("_cv").attr(interned("convexHull"))(a[0], py::arg("clockwise") = false,
                                                                 py::arg("returnPoints") = false);
    if (hull.is_none()) raise_no_orientation();
    py::object hull_index = hull.attr(interned("reshape"))(-1);
    py::object first_three = subscript(hull_index, slice({}, py::int_(3)));
    Py_ssize_t count = PyObject_Size(first_three.ptr());
    if (count < 0) throw_error_already_set();
    if (count < 3) raise_no_orientation();
    py::object idx_of_min = global("_np").attr(interned("argmin"))(first_three);
    py::object empty = global("_np").attr(interned("empty"));
    py::object restruct = empty(py::make_tuple(3), py::arg("dtype") = first_three.attr(interned("dtype")));
    // Each assignment evaluates its source before the target's bound.
    py::int_ three(3);
    py::object rest = subscript(first_three, slice(idx_of_min, {}));
    assign(restruct, slice({}, sub(three, idx_of_min)), rest);
    if (compare(idx_of_min, py::int_(0), Py_NE)) {
        py::object head = subscript(first_three, slice({}, idx_of_min));
        assign(restruct, slice(sub(three, idx_of_min), {}), head);
    }
    return py::bool_(compare(subscript(restruct, py::int_(1)), subscript(restruct, py::int_(2)), Py_LT));
}

py::object contour_is_clockwise(Args& a) {
    return py::bool_(!truthy(global("contour_is_counterclockwise")(a[0])));
}

// A reversed view: the input is neither copied nor changed.
py::object reverse_contour(Args& a) { return subscript(a[0], slice({}, {}, py::int_(-1))); }

// ---- left_shift_array ----

// Rotates the array left along its first axis by `count`, in place. The bound
// is the total number of elements, as callers have always had it.
py::object left_shift_array(Args& a) {
    py::handle array = a[0], count = a[1];
    py::int_ zero(0);
    if (assertions_enabled())
        assert_that(compare(zero, count, Py_LE) && compare(count, array.attr(interned("size")), Py_LT));
    if (compare(count, zero, Py_EQ)) return py::reinterpret_borrow<py::object>(array);
    py::object c0 = subscript(array, slice({}, count)).attr(interned("copy"))();
    py::object tail = subscript(array, slice(count, {}));
    py::object minus_count = neg(count);
    assign(array, slice({}, minus_count), tail);
    assign(array, slice(minus_count, py::none()), c0);
    return py::reinterpret_borrow<py::object>(array);
}

// ---- calculate_contour_direction ----

py::object calculate_contour_direction(Args& a) {
    return contour::principal_direction(global("_cv").attr(interned("moments"))(a[0]));
}

// ---- makers ----

py::object one_contour(const char* name, Impl impl, const char* doc = nullptr) {
    return module_function({name, {{"contour"}}, impl, Ret::Any, false, doc}, kSource);
}

py::object make_centroid_of_contour() {
    return one_contour("centroid_of_contour", centroid_of_contour, "Compute the centroid coordinates of a contour.");
}

py::object make_contour_point_distances() {
    return module_function({"contour_point_distances", {{"contour"}, {"point"}}, contour_point_distances, Ret::Any,
                            false, "Compute the distance from each point of the contour to the given point."},
                           kSource);
}

py::object make_contour_is_counterclockwise() {
    return one_contour("contour_is_counterclockwise", contour_is_counterclockwise);
}

py::object make_contour_is_clockwise() { return one_contour("contour_is_clockwise", contour_is_clockwise); }

py::object make_reverse_contour() { return one_contour("reverse_contour", reverse_contour); }

py::object make_left_shift_array() {
    return module_function(
        {"left_shift_array", {{"array"}, {"count", Hint::Int, py::int_(1)}}, left_shift_array}, kSource);
}

py::object make_calculate_contour_direction() {
    return one_contour("calculate_contour_direction", calculate_contour_direction);
}

}  // namespace

void register_contour_functions(Registry& registry) {
    registry.add("centroid_of_contour", make_centroid_of_contour);
    registry.add("contour_point_distances", make_contour_point_distances);
    registry.add("contour_is_counterclockwise", make_contour_is_counterclockwise);
    registry.add("contour_is_clockwise", make_contour_is_clockwise);
    registry.add("reverse_contour", make_reverse_contour);
    registry.add("left_shift_array", make_left_shift_array);
    registry.add("calculate_contour_direction", make_calculate_contour_direction);
}

}  // namespace qlo
