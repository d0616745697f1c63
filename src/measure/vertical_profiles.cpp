// Vertical profiles: the height of a contour column by column. The public
// function collects the points of the measured columns, sorts them by x and
// walks the sorted list with a cursor (_get_points_equal_x), measuring each
// column (_calculate_max_vertical_distance).
//
// Differences from a literal reading of that walk, all deliberate:
// - the bounds and the points are handed to the helpers as Python ints
//   (contours hold NumPy integers, which the helpers' exact-int checks and
//   int return check refuse);
// - the cursor restarts at 0 whenever the previous column left it outside the
//   list (after the last run, or -1 after an empty column): otherwise the
//   first raises IndexError and the second reads the last point of the list;
// - the smallest possible value starts the search for the largest y, so
//   points with negative y are measured correctly.
// For contour arrays, while the helpers are the module's own, a native kernel
// computes the same heights in one pass with the GIL released.
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "frame/buffer.h"
#include "frame/function.h"
#include "frame/globals.h"
#include "frame/interrupts.h"
#include "frame/object.h"
#include "frame/operators.h"
#include "frame/signature.h"
#include "frame/unpack.h"
#include "kernels/column_profile.h"
#include "measure/register.h"

namespace qlo {

namespace {

constexpr const char* kSource = "src/measure/vertical_profiles.cpp";

py::object item(py::handle sequence, Py_ssize_t i) { return steal(PySequence_GetItem(sequence.ptr(), i)); }

py::object first_of(py::handle point) { return steal(PyObject_GetItem(point.ptr(), py::int_(0).ptr())); }

// ---- _collect_contour_points_equal_x ----

py::object collect_contour_points_equal_x(Args& a) {
    py::handle x = a[1];
    py::list points;
    for (py::handle row : a[0])
        for (py::handle point : row)
            if (compare(first_of(point), x, Py_EQ)) points.append(point);
    return std::move(points);
}

// ---- _get_points_equal_x ----

// The index of the first point whose x equals `x`, or -1.
Py_ssize_t find_x(py::handle points, py::handle x) {
    for (Py_ssize_t idx = 0; idx < PyList_GET_SIZE(points.ptr()); ++idx)
        if (compare(first_of(item(points, idx)), x, Py_EQ)) return idx;
    return -1;
}

// The run of points with this x starting at the cursor (found by a scan when
// the cursor is not on it), and the index just after the run.
py::object get_points_equal_x(Args& a) {
    py::handle points = a[0], x = a[1];
    py::list results;
    Py_ssize_t pos_tip;
    py::object at_cursor = steal(PyObject_GetItem(points.ptr(), a[2].ptr()));
    if (compare(first_of(at_cursor), x, Py_NE)) {
        pos_tip = find_x(points, x);
    } else {
        pos_tip = PyLong_AsSsize_t(a[2].ptr());  // it indexed the list, so it fits
    }
    Py_ssize_t max_idx = PyList_GET_SIZE(points.ptr());
    while (pos_tip < max_idx) {
        py::object point = item(points, pos_tip);
        if (!compare(first_of(point), x, Py_EQ)) break;
        results.append(point);
        ++pos_tip;
    }
    return py::make_tuple(results, pos_tip);
}

// ---- _calculate_max_vertical_distance ----

py::object calculate_max_vertical_distance(Args& a) {
    py::handle points = a[0];
    Py_ssize_t count = PyObject_Size(points.ptr());
    if (count < 0) throw_error_already_set();
    if (count < 2) return py::int_(0);
    py::object max_y = sub(neg(global("_maxsize")), py::int_(1));
    py::object min_y = global("_maxsize");
    for (py::handle point : points) {
        auto [x, y] = unpack<2>(point);
        if (compare(y, min_y, Py_LT)) min_y = y;
        if (compare(y, max_y, Py_GT)) max_y = y;
    }
    return sub(max_y, min_y);
}

// ---- calculate_contour_vertical_distances ----

// The globals the native heights stand in for.
constexpr const char* kHelpers[] = {"_get_points_equal_x", "_calculate_max_vertical_distance", "_maxsize", "_np"};

bool helpers_bound() {
    for (const char* name : kHelpers)
        if (!still_original(name)) return false;
    return true;
}

// tuple(contour[contour[:, :, 0].<extreme>()][0]): the first point with the
// smallest (argmin) or largest (argmax) x.
py::object extreme_point(py::handle contour, const char* extreme) {
    py::object xs = contour[py::make_tuple(py::slice(), py::slice(), 0)];
    py::object at = xs.attr(extreme)();
    py::object row = steal(PyObject_GetItem(contour.ptr(), at.ptr()));
    return steal(PySequence_Tuple(first_of(row).ptr()));
}

py::object to_int(py::handle value) { return steal(PyNumber_Index(value.ptr())); }

// The points of the columns [begin, end) in contour order, each as a tuple of
// Python ints, sorted stably by x.
py::list columns_points(py::handle contour, py::handle begin, py::handle end) {
    py::list all_points;
    for (py::handle row : contour) {
        for (py::handle point : row) {
            py::object x = first_of(point);
            if (!compare(begin, x, Py_LE) || !compare(x, end, Py_LT)) continue;
            py::list values;
            for (py::handle v : point) values.append(to_int(v));
            all_points.append(steal(PyList_AsTuple(values.ptr())));
        }
    }
    py::dict by_x;
    by_x["key"] = import_module("operator").attr("itemgetter")(0);
    all_points.attr("sort")(**by_x);
    return all_points;
}

// The cursor walk over the columns, through the module's helpers.
py::list walk_columns(py::list all_points, py::handle begin, py::handle end) {
    py::list distances;
    py::object pos_tip = py::int_(0);
    py::int_ zero(0), one(1);
    for (py::object x = py::reinterpret_borrow<py::object>(begin); compare(x, end, Py_NE);
         x = steal(PyNumber_Add(x.ptr(), one.ptr()))) {
        check_signals();  // a large negative head_off makes the range as long as the caller likes
        py::int_ length(PyList_GET_SIZE(all_points.ptr()));
        if (!compare(zero, pos_tip, Py_LE) || !compare(pos_tip, length, Py_LT)) pos_tip = zero;
        py::object found = global("_get_points_equal_x")(all_points, x, pos_tip);
        auto [points, next_tip] = unpack<2>(found);
        pos_tip = next_tip;
        distances.append(global("_calculate_max_vertical_distance")(points));
    }
    return distances;
}

// The heights by the native kernel, for an integer contour array while the
// helpers are the module's own; null when it does not apply (including no
// point in the range, where the walk raises IndexError on the empty list).
py::object native_heights(py::handle contour, py::handle begin, py::handle end) {
    if (!helpers_bound() || !is_ndarray(contour)) return {};
    int overflow = 0;
    long long first = PyLong_AsLongLongAndOverflow(begin.ptr(), &overflow);
    if (overflow) return {};
    long long stop = PyLong_AsLongLongAndOverflow(end.ptr(), &overflow);
    if (overflow || stop <= first) return {};
    std::optional<BufferView> view;
    try {
        view.emplace(contour, false);
    } catch (py::error_already_set&) {
        return {};
    }
    std::optional<Element> type = view->element();
    if (!type || !kernels::is_coordinate(*type) || view->ndim() != 3 || view->shape(2) != 2) return {};
    kernels::PointArray points{static_cast<const char*>(view->data()), *type, view->shape(0), view->shape(1),
                               view->stride(0), view->stride(1), view->stride(2)};
    // A range far wider than the contour (a large negative head_off) is left
    // to the walk rather than allocated here.
    unsigned long long columns = static_cast<unsigned long long>(stop) - static_cast<unsigned long long>(first);
    if (columns > 16 * static_cast<unsigned long long>(points.rows * points.per_row) + (1u << 20)) return {};
    std::unique_ptr<std::uint64_t[]> heights;
    std::unique_ptr<std::int64_t[]> scratch;
    try {
        heights.reset(new std::uint64_t[columns]);
        scratch.reset(new std::int64_t[columns]);
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
        throw_error_already_set();
    }
    std::size_t inside;
    {
        ReleaseGil nogil;
        inside = kernels::column_heights(points, first, stop, heights.get(), scratch.get());
    }
    if (inside == 0) return {};
    py::list distances(columns);
    for (std::size_t c = 0; c < columns; ++c)
        PyList_SET_ITEM(distances.ptr(), c, steal(PyLong_FromUnsignedLongLong(heights[c])).release().ptr());
    return std::move(distances);
}

// An integer bound (a NumPy integer) as a Python int; anything else (a float
// coordinate) as it is.
py::object as_bound(py::handle value) {
    if (PyIndex_Check(value.ptr())) return to_int(value);
    return py::reinterpret_borrow<py::object>(value);
}

py::object calculate_contour_vertical_distances(Args& a) {
    py::handle contour = a[0];
    py::object leftmost = extreme_point(contour, "argmin");
    py::object rightmost = extreme_point(contour, "argmax");
    py::object min_x = item(leftmost, 0), max_x = item(rightmost, 0);
    py::object begin = steal(PyNumber_Add(as_bound(min_x).ptr(), a[1].ptr()));
    py::object end = steal(PyNumber_Subtract(as_bound(max_x).ptr(), a[2].ptr()));
    if (compare(begin, end, Py_GE)) return py::make_tuple(py::make_tuple(begin, begin), py::list());
    // Columns are walked one integer x at a time: float bounds stop here.
    begin = to_int(begin);
    end = to_int(end);
    py::object distances = native_heights(contour, begin, end);
    if (!distances) distances = walk_columns(columns_points(contour, begin, end), begin, end);
    return py::make_tuple(py::make_tuple(begin, end), distances);
}

// ---- makers ----

py::object make_collect_contour_points_equal_x() {
    return module_function({"_collect_contour_points_equal_x", {{"contour"}, {"x", Hint::Int}},
                            collect_contour_points_equal_x, Ret::List, false,
                            "The points of the contour whose x equals x, in contour order."},
                           kSource);
}

py::object make_get_points_equal_x() {
    return module_function({"_get_points_equal_x",
                            {{"points", Hint::List}, {"x", Hint::Int}, {"pos_tip", Hint::Int, py::int_(0)}},
                            get_points_equal_x, Ret::Tuple, false,
                            "(run, next): the run of points (sorted by x) whose x equals x, found from the "
                            "cursor pos_tip, and the index just after it; ([], -1) when there is none."},
                           kSource);
}

py::object make_calculate_max_vertical_distance() {
    return module_function({"_calculate_max_vertical_distance", {{"points"}}, calculate_max_vertical_distance,
                            Ret::Int, false, "Largest y minus smallest y of the (x, y) points; 0 for fewer than two."},
                           kSource);
}

py::object make_calculate_contour_vertical_distances() {
    for (const char* name : kHelpers) record_original(name);
    return module_function({"calculate_contour_vertical_distances",
                            {{"contour"}, {"head_off", Hint::Int, py::int_(0)}, {"tail_off", Hint::Int, py::int_(0)}},
                            calculate_contour_vertical_distances, Ret::Any, false,
                            "((begin, end), heights): the height of the contour on each column x in [begin, end), "
                            "begin = leftmost x + head_off, end = rightmost x - tail_off; ((begin, begin), []) when "
                            "begin >= end."},
                           kSource);
}

}  // namespace

void register_vertical_profiles(Registry& registry) {
    registry.add("_collect_contour_points_equal_x", make_collect_contour_points_equal_x);
    registry.add("_get_points_equal_x", make_get_points_equal_x);
    registry.add("_calculate_max_vertical_distance", make_calculate_max_vertical_distance);
    registry.add("calculate_contour_vertical_distances", make_calculate_contour_vertical_distances);
}

}  // namespace qlo
