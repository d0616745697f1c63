// Preparing a printed barcode for comparison: finding its bars (bright blobs
// stacked top to bottom inside the area of interest), joining them into one
// region, measuring that region's rotation, straightening the image, and the
// rectangle the straightened barcode occupies. Bars are in AOI coordinates;
// every other position is in full-image coordinates.
#include <cmath>

#include "frame/function.h"
#include "frame/globals.h"
#include "frame/object.h"
#include "frame/signature.h"
#include "frame/unpack.h"
#include "compare/register.h"

namespace qlo {

namespace {

constexpr const char* kSource = "src/compare/barcode_contours.cpp";

// a // 2
py::object half(py::handle a) { return steal(PyNumber_FloorDivide(a.ptr(), py::int_(2).ptr())); }

py::object cv_attr(const char* name) { return global("_cv").attr(interned(name)); }

std::array<py::object, 4> bounding_rect(py::handle contour) { return unpack<4>(cv_attr("boundingRect")(contour)); }

// image[y1:y2, x1:x2]
py::object window(py::handle image, py::handle x1, py::handle y1, py::handle x2, py::handle y2) {
    py::slice rows(y1, y2, py::none());
    return image[py::make_tuple(rows, py::slice(x1, x2, py::none()))];
}

// (rows, columns) of an image.
std::array<py::object, 2> image_size(py::handle image) {
    py::slice first_two(py::none(), py::int_(2), py::none());
    return unpack<2>(image.attr(interned("shape"))[first_two]);
}

// `format % values` printed through the host's print.
void print_formatted(const char* format, py::handle values) {
    py::object line = steal(PyUnicode_Format(py::str(format).ptr(), values.ptr()));
    builtins().print(line);
}

// ---- bounding_rect_top ----

py::object bounding_rect_top(Args& a) { return bounding_rect(a[0])[1]; }

// ---- find_barcode_contours ----

// lower <= value <= upper, as Python's chained comparison evaluates it.
bool within(py::handle lower, py::handle value, py::handle upper) {
    return lower <= value && value <= upper;
}

// The bars of the AOI within the area and girth bounds (inclusive), topmost
// first, and the whole image binarised at the AOI's Otsu level.
py::object find_barcode_contours(Args& a) {
    py::handle image = a[0];
    auto [x1, y1, x2, y2] = unpack<4>(a[1]);
    py::object subimg = window(image, x1, y1, x2, y2);
    py::object binarise = cv_attr("threshold");
    py::object binary = cv_attr("THRESH_BINARY");
    py::object otsu_type = binary | cv_attr("THRESH_OTSU");
    auto [otsu, aoi_binary] = unpack<2>(binarise(subimg, py::int_(0), py::int_(255), otsu_type));
    py::object find = cv_attr("findContours");
    py::object mode = cv_attr("RETR_EXTERNAL");
    auto [contours, hierarchy] = unpack<2>(find(aoi_binary, mode, cv_attr("CHAIN_APPROX_SIMPLE")));
    py::list kept;
    for (py::handle cnt : contours) {
        py::object area = cv_attr("contourArea")(cnt);
        py::object girth = cv_attr("arcLength")(cnt, py::bool_(true));
        if (within(a[2], area, a[3]) && within(a[4], girth, a[5]))
            kept.append(cnt);
        else
            print_formatted("Out of range bar: Area=%.1f, Length=%.1f", py::make_tuple(area, girth));
    }
    py::object bars = builtins().sorted(kept, py::arg("key") = global("bounding_rect_top"));
    py::object whole = cv_attr("threshold");
    auto [level, threshold] = unpack<2>(whole(image, otsu, py::int_(255), cv_attr("THRESH_BINARY")));
    return py::make_tuple(bars, threshold);
}

// ---- fill_threshold ----

// Joins the bars into one white region: a filled strip five pixels wide from
// the vertical middle of the first bar to that of the last, at the first
// bar's horizontal centre.
py::object fill_threshold(Args& a) {
    py::handle bars = a[0], threshold = a[1];
    auto [x1, y1, x2, y2] = unpack<4>(a[2]);
    auto [x, y, w, h] = bounding_rect(bars[py::int_(0)]);
    x = x + x1;
    y = y + y1;
    py::object white_y_top = y + half(h);
    py::object center = x + half(w);
    auto [last_x, last_y, last_w, last_h] = bounding_rect(bars[py::int_(-1)]);
    last_y = last_y + y1;
    py::object white_y_bottom = last_y + half(last_h);
    py::object rectangle = cv_attr("rectangle");
    py::int_ two(2);
    py::object top_left = py::make_tuple(center - two, white_y_top);
    py::object bottom_right = py::make_tuple(center + two, white_y_bottom);
    rectangle(threshold, top_left, bottom_right, py::int_(255), cv_attr("FILLED"));
    return py::none();
}

// ---- find_rotate_degree ----

// minAreaRect's angle names the same box a multiple of 90 degrees apart
// depending on the OpenCV version ((0, 90] or [-90, 0)): an upright print may
// read 90 or -90. Folding into (-45, 45] gives the turn itself, so the
// correction straightens the print instead of turning it by a quarter.
py::object fold_quarter_turns(py::handle angle) {
    double degrees = PyFloat_AsDouble(angle.ptr());
    if (degrees == -1.0 && PyErr_Occurred()) throw_error_already_set();
    if (!std::isfinite(degrees) || (degrees > -45.0 && degrees <= 45.0))
        return py::reinterpret_borrow<py::object>(angle);
    double turns = std::ceil((degrees - 45.0) / 90.0);
    degrees -= 90.0 * turns;
    while (degrees > 45.0) degrees -= 90.0;  // rounding of the division, at most once
    while (degrees <= -45.0) degrees += 90.0;
    return py::float_(degrees);
}

// The rotation in degrees (counterclockwise as displayed corrects it) of the
// largest region of the AOI; the first of equal areas wins.
py::object find_rotate_degree(Args& a) {
    auto [x1, y1, x2, y2] = unpack<4>(a[1]);
    py::object subimg = window(a[0], x1, y1, x2, y2);
    py::object find = cv_attr("findContours");
    py::object mode = cv_attr("RETR_EXTERNAL");
    auto [contours, hierarchy] = unpack<2>(find(subimg, mode, cv_attr("CHAIN_APPROX_SIMPLE")));
    py::object area_max = py::int_(-1), biggest = py::none();
    for (py::handle cnt : contours) {
        py::object area = cv_attr("contourArea")(cnt);
        if (area > area_max) {
            area_max = area;
            biggest = py::reinterpret_borrow<py::object>(cnt);
        }
    }
    auto [center, wh, rotate_degree] = unpack<3>(cv_attr("minAreaRect")(biggest));
    return fold_quarter_turns(rotate_degree);
}

// ---- rotate_correcting ----

// The image rotated by `degree` about the top-left corner of the first bar's
// box; same size, uncovered pixels black.
py::object rotate_correcting(Args& a) {
    py::handle image = a[0], bars = a[1], degree = a[2];
    auto [x1, y1, x2, y2] = unpack<4>(a[3]);
    auto [x, y, w, h] = bounding_rect(bars[py::int_(0)]);
    x = x + x1;
    y = y + y1;
    auto [rows, cols] = image_size(image);
    py::object rotation = cv_attr("getRotationMatrix2D");
    py::object matrix = rotation(py::make_tuple(x, y), degree, py::int_(1));
    py::object warp = cv_attr("warpAffine");
    py::object mode = cv_attr("BORDER_CONSTANT");
    return warp(image, matrix, py::make_tuple(cols, rows), py::arg("borderMode") = mode,
                py::arg("borderValue") = py::int_(0));
}

// ---- cmp_rect_after_rotate_correcting ----

// (x, y, w, h) of the straightened barcode: the bars' joint box, its top
// moved down to the middle of the first bar (the height is kept).
py::object cmp_rect_after_rotate_correcting(Args& a) {
    py::handle image = a[0];
    auto [bars, threshold] = unpack<2>(global("find_barcode_contours")(image, a[1]));
    auto [rows, cols] = image_size(image);
    py::object min_x = cols, min_y = rows, max_x = py::int_(0), max_y = py::int_(0);
    for (py::handle bar : bars) {
        auto [x, y, w, h] = bounding_rect(bar);
        if (x < min_x) min_x = x;
        if (x + w > max_x) max_x = x + w;
        if (y < min_y) min_y = y;
        if (y + h > max_y) max_y = y + h;
    }
    py::object cut_y = half(bounding_rect(bars[py::int_(0)])[3]);
    auto [x_shift, y_shift, x2, y2] = unpack<4>(a[1]);
    py::object left = min_x + x_shift;
    py::object top = min_y + cut_y + y_shift;
    py::object width = max_x - min_x;
    return py::make_tuple(left, top, width, max_y - min_y);
}

// ---- registration ----

py::object make_bounding_rect_top() {
    return module_function({"bounding_rect_top", {{"contour"}}, bounding_rect_top, Ret::Any, false,
                            "The top (y) of the contour's bounding rectangle."},
                           kSource);
}

py::object make_find_barcode_contours() {
    return module_function({"find_barcode_contours",
                            {{"image"},
                             {"aoi"},
                             {"area_lower", Hint::Any, py::int_(1500)},
                             {"area_upper", Hint::Any, py::int_(120000)},
                             {"girth_lower", Hint::Any, py::int_(600)},
                             {"girth_upper", Hint::Any, py::int_(2000)}},
                            find_barcode_contours, Ret::Any, false,
                            "(bars, threshold): the AOI's bars in AOI coordinates, topmost first, and the whole "
                            "image binarised at the AOI's Otsu level."},
                           kSource);
}

py::object make_fill_threshold() {
    return module_function({"fill_threshold", {{"bars"}, {"threshold"}, {"aoi"}}, fill_threshold, Ret::Any, false,
                            "Joins the bars in `threshold` (in place) with a white strip five pixels wide."},
                           kSource);
}

py::object make_find_rotate_degree() {
    return module_function({"find_rotate_degree", {{"image"}, {"aoi"}}, find_rotate_degree, Ret::Any, false,
                            "The turn in degrees, in (-45, 45], of the AOI's largest region."},
                           kSource);
}

py::object make_rotate_correcting() {
    return module_function({"rotate_correcting", {{"image"}, {"bars"}, {"degree"}, {"aoi"}}, rotate_correcting,
                            Ret::Any, false,
                            "The image rotated by `degree` about the first bar's top-left corner."},
                           kSource);
}

py::object make_cmp_rect_after_rotate_correcting() {
    return module_function({"cmp_rect_after_rotate_correcting", {{"image"}, {"aoi"}},
                            cmp_rect_after_rotate_correcting, Ret::Any, false,
                            "(x, y, w, h) of the straightened barcode, from the middle of its first bar."},
                           kSource);
}

}  // namespace

void register_barcode_contours(Registry& registry) {
    registry.add("bounding_rect_top", make_bounding_rect_top);
    registry.add("find_barcode_contours", make_find_barcode_contours);
    registry.add("fill_threshold", make_fill_threshold);
    registry.add("find_rotate_degree", make_find_rotate_degree);
    registry.add("rotate_correcting", make_rotate_correcting);
    registry.add("cmp_rect_after_rotate_correcting", make_cmp_rect_after_rotate_correcting);
}

}  // namespace qlo
