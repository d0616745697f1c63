// Quick whole-image checks without shift tolerance: grey and Otsu-binarised
// difference maps, the mean hue of a colour image, and the image position of
// a template point.
#include "frame/buffer.h"
#include "frame/function.h"
#include "frame/globals.h"
#include "frame/object.h"
#include "frame/operators.h"
#include "frame/signature.h"
#include "frame/unpack.h"
#include "compare/register.h"

namespace qlo {

namespace {

constexpr const char* kSource = "src/compare/simple_compare.cpp";

// ---- difference maps ----

// |image1 - image2| > max_difference, in signed 16-bit so 0 against 255 does not wrap.
py::object simple_compare_gray_image(Args& a) {
    py::object image1 = global("_np").attr(interned("int16"))(a[0]);
    py::object image2 = global("_np").attr(interned("int16"))(a[1]);
    py::object abs = global("_np").attr(interned("abs"));
    py::object diff = abs(image1 - image2);
    return rich_compare(diff, a[2], Py_GT);
}

// Each image binarised at its own Otsu level.
py::object otsu_binary(py::handle image) {
    py::object binarise = global("_cv").attr(interned("threshold"));
    py::object binary = global("_cv").attr(interned("THRESH_BINARY"));
    py::object type = binary | global("_cv").attr(interned("THRESH_OTSU"));
    auto [level, result] = unpack<2>(binarise(image, py::int_(0), py::int_(255), type));
    return result;
}

py::object binary_compare_image(Args& a) {
    py::object image1 = otsu_binary(a[0]);
    py::object image2 = otsu_binary(a[1]);
    return rich_compare(image1 ^ image2, py::int_(0), Py_GT);
}

// ---- hue_mean ----

// Mean of OpenCV's 8-bit hue (0 to 179) after the optional conversion to BGR.
py::object hue_mean(Args& a) {
    py::object image = a.get(0);
    py::handle code = a[1];
    if (!code.is_none()) image = global("_cv").attr(interned("cvtColor"))(image, code);
    py::object convert = global("_cv").attr(interned("cvtColor"));
    py::object hsv = convert(image, global("_cv").attr(interned("COLOR_BGR2HSV")));
    py::object split = global("_cv").attr(interned("split"));
    py::object hue = split(hsv)[py::int_(0)];
    py::object mean = global("_cv").attr(interned("mean"));
    return mean(hue)[py::int_(0)];
}

// ---- find_corresponding_point_by_template_match ----

// The search window of the rect (x, y, w, h). The far edges are taken before
// clipping, and negative bounds are clipped to zero: as slice bounds they
// would count from the far side of the image and the match would be found
// somewhere the caller never asked for.
py::object search_window(py::handle image, py::handle region, py::object& x1, py::object& y1) {
    auto [x, y, w, h] = unpack<4>(region);
    py::object x2 = x + w, y2 = y + h;
    py::int_ zero(0);
    x1 = x < zero ? zero : x;
    y1 = y < zero ? zero : y;
    if (x2 < zero) x2 = zero;
    if (y2 < zero) y2 = zero;
    py::slice rows(y1, y2, py::none());
    return image[py::make_tuple(rows, py::slice(x1, x2, py::none()))];
}

// loc[i] + point[i] + offset, read and summed left to right.
py::object shifted(py::handle loc, py::handle point, py::handle offset, int i) {
    py::object from_loc = loc[py::int_(i)];
    py::object from_point = point[py::int_(i)];
    return from_loc + from_point + offset;
}

py::object find_corresponding_point_by_template_match(Args& a) {
    py::handle image = a[0], templ = a[1], region = a[2], point = a[3], threshold = a[4];
    py::object x1 = py::int_(0), y1 = py::int_(0);
    py::object search = region.is_none() ? py::reinterpret_borrow<py::object>(image)
                                         : search_window(image, region, x1, y1);
    py::object method = global("_cv").attr(interned("TM_CCOEFF_NORMED"));
    py::object match = global("_cv").attr(interned("matchTemplate"));
    check_template_fits(search, templ);
    py::object result = match(search, templ, method);
    auto [min_val, max_val, min_loc, max_loc] = unpack<4>(global("_cv").attr(interned("minMaxLoc"))(result));
    py::list location(2);
    location[0] = shifted(max_loc, point, x1, 0);
    location[1] = shifted(max_loc, point, y1, 1);
    if (threshold.is_none()) return py::make_tuple(max_val, location);
    if (max_val < threshold) return py::none();
    return std::move(location);
}

py::object make_simple_compare_gray_image() {
    return module_function({"simple_compare_gray_image", {{"image1"}, {"image2"}, {"max_difference"}},
                            simple_compare_gray_image, Ret::Any, false,
                            "Boolean map: true where the absolute grey difference exceeds max_difference."},
                           kSource);
}

py::object make_binary_compare_image() {
    return module_function({"binary_compare_image", {{"image1"}, {"image2"}}, binary_compare_image, Ret::Any, false,
                            "Boolean map: true where the Otsu-binarised images differ."},
                           kSource);
}

py::object make_hue_mean() {
    return module_function({"hue_mean", {{"image"}, {"code_2_bgr", Hint::Any, py::none()}}, hue_mean, Ret::Any,
                            false, "Mean hue (0 to 179) of a BGR image, converted first with code_2_bgr if given."},
                           kSource);
}

py::object make_find_corresponding_point_by_template_match() {
    return module_function({"find_corresponding_point_by_template_match",
                            {{"image"},
                             {"template"},
                             {"region", Hint::Any, py::none()},
                             {"pointPositionInTemplate", Hint::Any, py::make_tuple(0, 0)},
                             {"threshold", Hint::Any, py::none()}},
                            find_corresponding_point_by_template_match, Ret::Any, false,
                            "Image position of a template point at the best match inside the rect `region`: "
                            "(max_val, [x, y]) without a threshold, else [x, y] or None below it."},
                           kSource);
}

}  // namespace

void register_simple_compare(Registry& registry) {
    registry.add("simple_compare_gray_image", make_simple_compare_gray_image);
    registry.add("binary_compare_image", make_binary_compare_image);
    registry.add("hue_mean", make_hue_mean);
    registry.add("find_corresponding_point_by_template_match", make_find_corresponding_point_by_template_match);
}

}  // namespace qlo
