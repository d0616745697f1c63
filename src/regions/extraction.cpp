// Region extraction: the tight box around the blobs of one region of a
// larger image, and the contours of an image in a reading order chosen by
// the extraction record's direction word ("Horizontal", "Vertical", "Both").
#include "frame/function.h"
#include "frame/globals.h"
#include "frame/object.h"
#include "frame/operators.h"
#include "frame/signature.h"
#include "frame/unpack.h"
#include "regions/shared_steps.h"
#include "regions/register.h"

namespace qlo {

namespace {

constexpr const char* kSource = "src/regions/extraction.cpp";

using regions::bounding_rect;
using regions::infinity;

// ---- minimal_rect_for_extract_info ----

// The box [x1, y1, x2, y2] around the region's blobs, in mother-image
// coordinates. x2 and y2 are one beyond the exclusive edges (x + w + 1), and
// a region without blobs gives infinite x1 and y1: callers rely on both.
py::object minimal_rect_for_extract_info(Args& a) {
    py::object mother_image = a.get(0);
    py::object first_four = steal(PySlice_New(nullptr, py::int_(4).ptr(), nullptr));
    py::object head = steal(PyObject_GetItem(a[1].ptr(), first_four.ptr()));
    auto [x_shift, y_shift, w, h] = unpack<4>(head);
    if (truthy(a[2])) mother_image = regions::otsu_binarized(mother_image);
    py::object rows = steal(PySlice_New(y_shift.ptr(), add(y_shift, h).ptr(), nullptr));
    py::object cols = steal(PySlice_New(x_shift.ptr(), add(x_shift, w).ptr(), nullptr));
    py::object subimage = steal(PyObject_GetItem(mother_image.ptr(), py::make_tuple(rows, cols).ptr()));
    py::object contours = regions::find_contours(subimage, "RETR_EXTERNAL", "CHAIN_APPROX_NONE");
    py::object minx = infinity(), miny = infinity();
    py::object maxx = py::int_(0), maxy = py::int_(0);
    for (py::handle cnt : contours) {
        auto [x, y, cw, ch] = bounding_rect(cnt);
        if (compare(x, minx, Py_LT)) minx = x;
        if (compare(y, miny, Py_LT)) miny = y;
        py::object right = add(x, cw);
        if (compare(right, maxx, Py_GT)) maxx = right;
        py::object bottom = add(y, ch);
        if (compare(bottom, maxy, Py_GT)) maxy = bottom;
    }
    py::int_ one(1);
    py::list box;
    box.append(add(minx, x_shift));
    box.append(add(miny, y_shift));
    box.append(add(add(maxx, x_shift), one));
    box.append(add(add(maxy, y_shift), one));
    return box;
}

// ---- _compare_extract_region_contours ----

int three_way(py::handle left, py::handle right) {
    if (compare(left, right, Py_LT)) return -1;
    if (compare(left, right, Py_EQ)) return 0;
    return 1;
}

// -1, 0 or 1 as the left edges, top edges or their sums order the bounding
// rects of a and b; widths and heights never take part.
py::object compare_extract_region_contours(Args& a) {
    py::handle direction = a[2];
    auto [x1, y1, w1, h1] = bounding_rect(a[0]);
    auto [x2, y2, w2, h2] = bounding_rect(a[1]);
    int order;
    if (compare(direction, interned("Horizontal"), Py_EQ)) {
        order = three_way(x1, x2);
    } else if (compare(direction, interned("Vertical"), Py_EQ)) {
        order = three_way(y1, y2);
    } else if (compare(direction, interned("Both"), Py_EQ)) {
        if (compare(add(x1, y1), add(x2, y2), Py_LT))
            order = -1;
        else
            order = compare(add(x1, y1), add(x2, y2), Py_EQ) ? 0 : 1;
    } else {
        py::str format("Unknown direction: %s");
        py::object message = steal(PyUnicode_Format(format.ptr(), direction.ptr()));
        PyErr_SetObject(PyExc_ValueError, message.ptr());
        throw_error_already_set();
    }
    return py::int_(order);
}

// ---- get_sorted_extract_region_contours ----

// The two-argument comparator handed to cmp_to_key, bound to the direction as
// a method is bound to its instance: compare(direction, a, b).
py::object compare_in_direction(Args& a) {
    return global("_compare_extract_region_contours")(a[1], a[2], a[0]);
}

// Made per call, like the closure it stands for: nothing outlives the
// interpreter that made it.
py::object comparator_for(py::handle direction) {
    py::object compare = make_function({"compare", {{"direction"}, {"a"}, {"b"}}, compare_in_direction},
                                       "get_sorted_extract_region_contours.<locals>.compare", kSource);
    return steal(PyMethod_New(compare.ptr(), direction.ptr()));
}

// Sorts the contours in place, stably, by the record's direction word and
// returns them. Contours found here come from the detector as a tuple, which
// cannot be sorted in place; they are put in a list first.
py::object get_sorted_extract_region_contours(Args& a) {
    py::object contours = a.get(2);
    if (contours.is_none()) {
        py::object found = regions::find_contours(a[0], "RETR_LIST", "CHAIN_APPROX_NONE");
        contours = steal(PySequence_List(found.ptr()));
    }
    py::object direction = regions::item(a[1], 4);
    py::object sort = contours.attr(interned("sort"));
    py::object key = global("cmp_to_key")(comparator_for(direction));
    py::dict kwargs;
    kwargs["key"] = key;
    sort(**kwargs);
    return contours;
}

py::object make_minimal_rect_for_extract_info() {
    return module_function({"minimal_rect_for_extract_info",
                            {{"mother_image"}, {"extract_info"}, {"need_binarize", Hint::Any, py::bool_(false)}},
                            minimal_rect_for_extract_info},
                           kSource);
}

py::object make_compare_extract_region_contours() {
    return module_function(
        {"_compare_extract_region_contours", {{"a"}, {"b"}, {"direction"}}, compare_extract_region_contours},
        kSource);
}

py::object make_get_sorted_extract_region_contours() {
    return module_function({"get_sorted_extract_region_contours",
                            {{"image"}, {"extract_info"}, {"contours", Hint::Any, py::none()}},
                            get_sorted_extract_region_contours},
                           kSource);
}

}  // namespace

void register_extraction(Registry& registry) {
    registry.add("minimal_rect_for_extract_info", make_minimal_rect_for_extract_info);
    registry.add("_compare_extract_region_contours", make_compare_extract_region_contours);
    registry.add("get_sorted_extract_region_contours", make_get_sorted_extract_region_contours);
}

}  // namespace qlo
