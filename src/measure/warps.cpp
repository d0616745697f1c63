// Whole-image helpers: cutting out a polygon, shifting, shifting then
// rotating, and the signed pixel difference test. translate and
// compare_image_difference run once per tried displacement in the shift
// comparator, so they make their OpenCV and NumPy calls directly, with no
// argument dictionaries and no temporaries beyond those the calls return.
#include "frame/buffer.h"
#include "frame/function.h"
#include "frame/globals.h"
#include "frame/object.h"
#include "frame/operators.h"
#include "frame/signature.h"
#include "frame/unpack.h"
#include "measure/register.h"

namespace qlo {

namespace {

constexpr const char* kSource = "src/measure/warps.cpp";

// sequence[i], as a subscription does it.
py::object item(py::handle sequence, Py_ssize_t i) {
    return steal(PyObject_GetItem(sequence.ptr(), py::int_(i).ptr()));
}

// (columns, rows) of an image: the output size warpAffine takes.
py::object image_size(py::handle image) {
    py::object shape = image.attr("shape");
    py::object cols = item(shape, 1);
    return py::make_tuple(cols, item(shape, 0));
}

// Keyword names for warpAffine's border arguments.
py::tuple border_keywords(bool with_value) {
    if (with_value) return py::make_tuple(interned("borderMode"), interned("borderValue"));
    return py::make_tuple(interned("borderMode"));
}

// warp(src, matrix, size, borderMode=mode[, borderValue=value]) as one
// vectorcall; `value` null leaves borderValue out.
py::object warp_affine(py::handle warp, py::handle src, py::handle matrix, py::handle size, py::handle mode,
                       py::handle value = {}) {
    PyObject* args[] = {src.ptr(), matrix.ptr(), size.ptr(), mode.ptr(), value.ptr()};
    return steal(PyObject_Vectorcall(warp.ptr(), args, 3, border_keywords(static_cast<bool>(value)).ptr()));
}

// ---- extract_poly ----

// The all-ones value of the image's element type (255 for 8-bit, 65535 for
// 16-bit), repeated per channel for three-dimensional images.
py::object fill_value(py::handle shape, py::handle dtype) {
    py::object itemsize = dtype.attr("itemsize");
    py::object bits = itemsize * py::int_(8);
    py::object all_ones = (py::int_(1) << bits) - py::int_(1);
    Py_ssize_t dims = PyObject_Size(shape.ptr());
    if (dims < 0) throw_error_already_set();
    if (dims != 3) return all_ones;
    py::list one_channel;
    one_channel.append(all_ones);
    return mul(one_channel, item(shape, 2));
}

// Pixels inside the polygon keep their value; outside ones become
// outer_value & pixel.
py::object extract_poly(Args& a) {
    py::handle image = a[0], poly = a[1], outer_value = a[2];
    py::object shape = image.attr("shape");
    py::object max_value = fill_value(shape, image.attr("dtype"));
    py::object make_zeros = global("_np").attr("zeros");
    py::object zeros = make_zeros(shape, py::arg("dtype") = image.attr("dtype"));
    if (compare(outer_value, py::int_(0), Py_NE))
        zeros = steal(PyNumber_InPlaceAdd(zeros.ptr(), outer_value.ptr()));
    py::list polygons;
    polygons.append(poly);
    py::object array = global("_np").attr("array");
    py::object pts = array(polygons, py::arg("dtype") = global("_np").attr("int32"));
    py::object fill_poly = global("_cv").attr("fillPoly");
    check_drawable(zeros);
    py::object frame = fill_poly(zeros, pts, max_value);
    return steal(PyNumber_InPlaceAnd(frame.ptr(), image.ptr()));
}

// ---- rotate_to_make_edge_horizontal ----

// Works out the rotation that would make the chosen edge of the contour's
// minimum-area rectangle horizontal, but does not apply it: the result is
// always None.
py::object rotate_to_make_edge_horizontal(Args& a) {
    py::handle image = a[0], contour = a[1], use_long_edge = a[2];
    py::object cv = global("_cv");
    py::object min_rect = cv.attr("minAreaRect")(contour);
    py::object corner = steal(PySequence_GetSlice(image.attr("shape").ptr(), 0, 2));
    auto [cur_height, cur_width] = unpack<2>(corner);
    auto [center_x, center_y] = unpack<2>(item(min_rect, 0));
    py::object angle = item(min_rect, 2);
    py::object size = item(min_rect, 1);
    py::object width = item(size, 0);
    py::object height = item(size, 1);
    bool turn = (truthy(use_long_edge) && height > width) || (!truthy(use_long_edge) && height < width);
    if (turn) angle = angle + py::int_(90);
    cv.attr("getRotationMatrix2D")(py::make_tuple(center_x, center_y), angle, py::int_(1));
    return py::none();
}

// ---- compare_image_difference ----

// std_image - tgt_image in the arrays' own element type (unsigned 8-bit
// wraps), then `> threshold`, or `< threshold` for a negative threshold.
py::object compare_image_difference(Args& a) {
    py::handle threshold = a[2];
    py::object diff = sub(a[0], a[1]);
    bool non_negative = compare(threshold, py::int_(0), Py_GE);
    return rich_compare(diff, threshold, non_negative ? Py_GT : Py_LT);
}

// ---- translate ----

// Moves the content `right` and `down` pixels; the output keeps the input's
// size and the uncovered strip is filled as warpAffine's border arguments say
// (a None border_value leaves OpenCV's default, zero).
py::list matrix_row(py::handle x, py::handle y, py::handle shift) {
    py::list row(3);
    row[0] = x;
    row[1] = y;
    row[2] = shift;
    return row;
}

py::object translate(Args& a) {
    py::handle image = a[0];
    py::int_ zero(0), one(1);
    py::list rows;
    rows.append(matrix_row(one, zero, a[1]));
    rows.append(matrix_row(zero, one, a[2]));
    py::object matrix = global("_np").attr("float32")(rows);
    py::object warp = global("_cv").attr("warpAffine");
    py::object size = image_size(image);
    py::object value = a[4].is_none() ? py::object() : opencv_scalar(a[4]);
    return warp_affine(warp, image, matrix, size, a[3], value);
}

// ---- translate_and_rotate ----

py::object difference(py::object minuend, py::object subtrahend) {
    return sub(minuend, subtrahend);
}

// Shifts old_center onto new_center with the module's translate (always with
// its own replicated border), then rotates about new_center by `angle`
// degrees, counterclockwise as displayed; only the rotation uses border_mode.
py::object translate_and_rotate(Args& a) {
    py::handle image = a[0], old_center = a[1], new_center = a[2];
    py::object right = difference(item(new_center, 0), item(old_center, 0));
    py::object down = difference(item(new_center, 1), item(old_center, 1));
    py::object translated = global("translate")(image, right, down);
    py::object cv = global("_cv");
    py::object matrix = cv.attr("getRotationMatrix2D")(new_center, a[3], py::int_(1));
    py::object warp = cv.attr("warpAffine");
    return warp_affine(warp, translated, matrix, image_size(image), a[4]);
}

py::object make_extract_poly() {
    return module_function(
        {"extract_poly", {{"image"}, {"poly"}, {"outer_value", Hint::Any, py::int_(0)}}, extract_poly}, kSource);
}

py::object make_rotate_to_make_edge_horizontal() {
    return module_function({"rotate_to_make_edge_horizontal",
                            {{"image"}, {"contour"}, {"use_long_edge", Hint::Any, py::bool_(true)}},
                            rotate_to_make_edge_horizontal}, kSource);
}

py::object make_compare_image_difference() {
    return module_function({"compare_image_difference", {{"std_image"}, {"tgt_image"}, {"threshold"}},
                            compare_image_difference}, kSource);
}

py::object make_translate() {
    return module_function({"translate",
                            {{"image"},
                             {"right"},
                             {"down"},
                             {"border_mode", Hint::Any, global("_cv").attr("BORDER_REPLICATE")},
                             {"border_value", Hint::Any, py::none()}},
                            translate}, kSource);
}

py::object make_translate_and_rotate() {
    return module_function({"translate_and_rotate",
                            {{"image"},
                             {"old_center"},
                             {"new_center"},
                             {"angle", Hint::Float},
                             {"border_mode", Hint::Any, global("_cv").attr("BORDER_REPLICATE")}},
                            translate_and_rotate}, kSource);
}

}  // namespace

void register_warps(Registry& registry) {
    registry.add("extract_poly", make_extract_poly);
    registry.add("rotate_to_make_edge_horizontal", make_rotate_to_make_edge_horizontal);
    registry.add("compare_image_difference", make_compare_image_difference);
    registry.add("translate", make_translate);
    registry.add("translate_and_rotate", make_translate_and_rotate);
}

}  // namespace qlo
