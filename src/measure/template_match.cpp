// Locating things in an image: the best template match inside a corner box,
// and the largest outer contour of a binarised (optionally cleaned) image.
#include "frame/buffer.h"
#include "frame/function.h"
#include "frame/globals.h"
#include "frame/object.h"
#include "frame/signature.h"
#include "frame/unpack.h"
#include "measure/register.h"

namespace qlo {

namespace {

constexpr const char* kSource = "src/measure/template_match.cpp";

// loc[i] + point[i] + offset, read and summed left to right.
py::object shifted(py::handle loc, py::handle point, py::handle offset, int i) {
    py::object from_loc = loc[py::int_(i)];
    py::object from_point = point[py::int_(i)];
    return from_loc + from_point + offset;
}

// ---- template_match_point ----

// The corner box clipped to the image. A far edge below zero would count
// from the far side of the image as a slice bound and search somewhere the
// caller never asked for, so it is clipped to zero too (an empty search).
struct Window {
    py::object x1, y1, x2, y2;
};

Window clip_to_image(py::handle image, py::handle region) {
    auto [x1, y1, x2, y2] = unpack<4>(region);
    py::slice first_two(py::none(), py::int_(2), py::none());
    auto [max_y, max_x] = unpack<2>(image.attr(interned("shape"))[first_two]);
    py::int_ zero(0);
    if (x1 < zero) x1 = zero;
    if (y1 < zero) y1 = zero;
    if (x2 > max_x) x2 = max_x;
    if (y2 > max_y) y2 = max_y;
    if (x2 < zero) x2 = zero;
    if (y2 < zero) y2 = zero;
    return {x1, y1, x2, y2};
}

py::object view(py::handle image, const Window& w) {
    py::slice rows(w.y1, w.y2, py::none());
    return image[py::make_tuple(rows, py::slice(w.x1, w.x2, py::none()))];
}

// (max_val, location) of the normalised correlation match; location is the
// image position of `point_position` in the template, None below `threshold`.
py::object template_match_point(Args& a) {
    py::handle image = a[0], templ = a[1], region = a[2], point = a[3], threshold = a[4];
    py::object x1 = py::int_(0), y1 = py::int_(0), subimage;
    if (region.is_none()) {
        subimage = py::reinterpret_borrow<py::object>(image);
    } else {
        Window w = clip_to_image(image, region);
        x1 = w.x1, y1 = w.y1;
        subimage = view(image, w);
    }
    py::object method = global("_cv").attr(interned("TM_CCOEFF_NORMED"));
    py::object match = global("_cv").attr(interned("matchTemplate"));
    check_template_fits(subimage, templ);
    py::object result = match(subimage, templ, method);
    auto [min_val, max_val, min_loc, max_loc] = unpack<4>(global("_cv").attr(interned("minMaxLoc"))(result));
    py::object x = shifted(max_loc, point, x1, 0);
    py::object y = shifted(max_loc, point, y1, 1);
    py::object location = py::none();
    if (!(max_val < threshold)) {
        py::list pair(2);
        pair[0] = x;
        pair[1] = y;
        location = pair;
    }
    return py::make_tuple(max_val, location);
}

py::object make_template_match_point() {
    return module_function({"template_match_point",
                            {{"image"},
                             {"template"},
                             {"region", Hint::Any, py::none()},
                             {"point_position", Hint::Any, py::make_tuple(0, 0)},
                             {"threshold", Hint::Float, py::float_(0.0)}},
                            template_match_point, Ret::Any, false,
                            "(max_val, [x, y]) of the best match of `template` in `image` (inside the corner box "
                            "`region`, clipped to the image); the location is None when max_val < threshold."},
                           kSource);
}

// ---- get_max_area_contour ----

py::object morph(const char* operation, py::object image, py::handle kernel, py::handle iterations) {
    py::object op = global("_cv").attr(interned(operation));
    return op(image, py::arg("kernel") = kernel, py::arg("iterations") = iterations);
}

// The outer contour of largest (strictly positive) area after binarising
// (Otsu when `threshold` is None) and the optional erode/dilate/erode passes.
py::object get_max_area_contour(Args& a) {
    py::object threshold_type = a.get(2);
    py::handle threshold = a[1], pre_erode = a[3], dilate = a[4], post_erode = a[5];
    if (threshold.is_none()) {
        py::object otsu = global("_cv").attr(interned("THRESH_OTSU"));
        threshold_type = threshold_type | otsu;
    }
    py::object binarise = global("_cv").attr(interned("threshold"));
    auto [level, image] = unpack<2>(binarise(a[0], threshold, py::int_(255), threshold_type));
    py::object ones = global("_np").attr(interned("ones"));
    py::object kernel = ones(py::make_tuple(3, 3), py::arg("dtype") = image.attr(interned("dtype")));
    py::int_ zero(0);
    if (pre_erode > zero) image = morph("erode", image, kernel, pre_erode);
    if (dilate > zero) image = morph("dilate", image, kernel, dilate);
    if (post_erode > zero) image = morph("erode", image, kernel, post_erode);
    py::object max_area = zero, max_cnt = py::none();
    py::object find = global("_cv").attr(interned("findContours"));
    py::object mode = global("_cv").attr(interned("RETR_EXTERNAL"));
    auto [contours, hierarchy] = unpack<2>(find(image, mode, global("_cv").attr(interned("CHAIN_APPROX_NONE"))));
    for (py::handle cnt : contours) {
        py::object area = global("_cv").attr(interned("contourArea"))(cnt);
        if (area > max_area) {
            max_area = area;
            max_cnt = py::reinterpret_borrow<py::object>(cnt);
        }
    }
    return max_cnt;
}

py::object make_get_max_area_contour() {
    return module_function({"get_max_area_contour",
                            {{"image"},
                             {"threshold", Hint::Any, py::none()},
                             {"threshold_type", Hint::Int, global("_cv").attr("THRESH_BINARY")},
                             {"pre_erode", Hint::Int, py::int_(0)},
                             {"dilate", Hint::Int, py::int_(0)},
                             {"post_erode", Hint::Int, py::int_(0)}},
                            get_max_area_contour, Ret::Any, false,
                            "The outer contour of largest area of the binarised image, or None when none has an "
                            "area above 0."},
                           kSource);
}

}  // namespace

void register_template_match(Registry& registry) {
    registry.add("template_match_point", make_template_match_point);
    registry.add("get_max_area_contour", make_get_max_area_contour);
}

}  // namespace qlo
