// Verdict records of an inspection: NGRegion is one defect (its corner box and
// a description), CompareResult the inspected image with the defects that
// comparators append to it. Neither checks what it is given nor copies images.
#include "frame/class_builder.h"
#include "frame/globals.h"
#include "frame/object.h"
#include "frame/operators.h"
#include "frame/signature.h"
#include "frame/unpack.h"
#include "compare/register.h"

namespace qlo {

namespace {

constexpr const char* kSource = "src/compare/compare_result.cpp";

// ---- NGRegion ----

py::object ng_region_init(Args& a) {
    py::setattr(a[0], interned("rect"), a[1]);
    py::setattr(a[0], interned("desc"), a[2]);
    return py::none();
}

py::object get_region(Args& a) { return a[0].attr("rect"); }

py::object get_desc(Args& a) { return a[0].attr("desc"); }

py::object make_ng_region() {
    ClassBuilder cls("NGRegion", kSource);
    cls.method({"__init__", {{"self"}, {"rect"}, {"desc", Hint::Any, py::str("")}}, ng_region_init})
        .method({"get_region", {{"self"}}, get_region})
        .method({"get_desc", {{"self"}}, get_desc});
    return cls.build();
}

// ---- CompareResult ----

py::object result_init(Args& a) {
    py::setattr(a[0], "image", a[1]);
    py::setattr(a[0], "ng_regions", py::list());
    return py::none();
}

// Empties the existing list rather than replacing it: callers may hold it.
py::object reset(Args& a) {
    py::setattr(a[0], "image", a[1]);
    a[0].attr("ng_regions").attr("clear")();
    return py::none();
}

// Comparators append one region per defect: a plain list takes it directly
// (its append cannot be replaced), anything else through its own append.
py::object append(Args& a) {
    py::object regions = a[0].attr(interned("ng_regions"));
    if (PyList_CheckExact(regions.ptr())) {
        if (PyList_Append(regions.ptr(), a[1].ptr()) != 0) throw_error_already_set();
    } else {
        regions.attr(interned("append"))(a[1]);
    }
    return py::none();
}

Py_ssize_t region_count(py::handle self) {
    Py_ssize_t n = PyObject_Size(self.attr("ng_regions").ptr());
    if (n < 0) throw_error_already_set();
    return n;
}

py::object ok(Args& a) { return py::bool_(region_count(a[0]) == 0); }

py::object ng(Args& a) { return py::bool_(!truthy(a[0].attr("ok"))); }

py::object ng_count(Args& a) { return py::int_(region_count(a[0])); }

py::object original_image(Args& a) { return a[0].attr("image"); }

py::object descriptions(Args& a) {
    py::list out;
    for (py::handle region : a[0].attr("ng_regions")) out.append(region.attr("desc"));
    return out;
}

bool less_than(py::handle left, py::handle right) {
    return compare(left, right, Py_LT);
}

// A red outline one pixel outside the region's box, so the box's own pixels
// keep their values; a region without a box stands for the whole image.
// Attributes are read where and as often as the drawing reads them: the box
// for the test and again to unpack it, the image's shape for each whole-image
// region.
void outline(py::handle self, py::handle canvas, py::handle region) {
    py::object x1, y1, x2, y2;
    if (region.attr("rect").is_none()) {
        x1 = py::int_(0);
        y1 = py::int_(0);
        auto [rows, cols] = unpack<2>(self.attr("image").attr("shape"));
        y2 = rows;
        x2 = cols;
    } else {
        auto [rx1, ry1, rx2, ry2] = unpack<4>(region.attr("rect"));
        x1 = rx1, y1 = ry1, x2 = rx2, y2 = ry2;
    }
    py::object rectangle = global("_cv").attr("rectangle");
    py::int_ one(1);
    // One at a time, so a bad item fails in the order the coordinates are read.
    py::object left = x1 - one, top = y1 - one, right = x2 + one, bottom = y2 + one;
    rectangle(canvas, py::make_tuple(left, top), py::make_tuple(right, bottom), py::make_tuple(0, 0, 255), one);
}

// A BGR copy of the image with every region (index < 0) or only region
// `index` outlined in red.
py::object marked_image(Args& a) {
    py::handle self = a[0], index = a[1];
    if (assertions_enabled()) assert_that(less_than(index, self.attr("ng_count")));
    py::object cvt_color = global("_cv").attr("cvtColor");
    py::object source = self.attr("image");
    py::object canvas = cvt_color(source, global("_cv").attr("COLOR_GRAY2BGR"));
    py::object regions;
    if (less_than(index, py::int_(0)))
        regions = self.attr("ng_regions");
    else
        regions = py::make_tuple(self.attr("ng_regions")[index]);
    for (py::handle region : regions) outline(self, canvas, region);
    return canvas;
}

py::object make_compare_result() {
    ClassBuilder cls("CompareResult", kSource);
    cls.method({"__init__", {{"self"}, {"image"}}, result_init})
        .method({"reset", {{"self"}, {"image"}}, reset})
        .method({"append", {{"self"}, {"ng_region"}}, append})
        .property({"ok", ok})
        .property({"ng", ng})
        .property({"ng_count", ng_count})
        .property({"original_image", original_image})
        .method({"marked_image", {{"self"}, {"index", Hint::Any, py::int_(-1)}}, marked_image})
        .property({"descriptions", descriptions});
    return cls.build();
}

}  // namespace

void register_compare_result(Registry& registry) {
    registry.add("NGRegion", make_ng_region);
    registry.add("CompareResult", make_compare_result);
}

}  // namespace qlo
