// Barcode print inspection: both prints straightened and aligned, then
// compared with shift tolerance inside the area of interest. Also two small
// helpers its users need: a contour as a plain point list, and the cores of
// the largest bright regions found by repeated erosion.
#include "frame/function.h"
#include "frame/globals.h"
#include "frame/interrupts.h"
#include "frame/object.h"
#include "frame/operators.h"
#include "frame/signature.h"
#include "frame/unpack.h"
#include "compare/register.h"

namespace qlo {

namespace {

constexpr const char* kSource = "src/compare/barcode_compare.cpp";

// image[y:y+h, x:x+w] of the rect (x, y, w, h).
py::object crop(py::handle image, py::handle rect) {
    auto [x, y, w, h] = unpack<4>(rect);
    py::slice rows(y, y + h, py::none());
    return image[py::make_tuple(rows, py::slice(x, x + w, py::none()))];
}

// The target rect grown by 20 pixels on every side, as a corner box.
py::object search_region(py::handle rect) {
    auto [x, y, w, h] = unpack<4>(rect);
    py::int_ margin(20);
    py::list region(4);
    region[0] = x - margin;
    region[1] = y - margin;
    region[2] = x + w + margin;
    region[3] = y + h + margin;
    return std::move(region);
}

void print_formatted(const char* format, py::handle value) {
    builtins().print(steal(PyUnicode_Format(py::str(format).ptr(), value.ptr())));
}

struct Print {
    py::object bars, threshold;
};

Print find_bars(py::handle image, py::handle aoi) {
    auto [bars, threshold] = unpack<2>(global("find_barcode_contours")(image, aoi));
    return {bars, threshold};
}

// ---- shift_compare_barcode ----

// Finds and joins the bars of both prints, straightens each about its first
// bar, moves the target's barcode onto the standard's by template matching,
// and compares them inside the AOI. On NG the standard rectangle's crop of
// the marked image is written to shift_compare_barcode.jpg.
py::object shift_compare_barcode(Args& a) {
    py::handle std_image = a[0], tgt = a[1], aoi = a[2];
    Print std_print = find_bars(std_image, aoi);
    Print tgt_print = find_bars(tgt, aoi);
    global("fill_threshold")(std_print.bars, std_print.threshold, aoi);
    global("fill_threshold")(tgt_print.bars, tgt_print.threshold, aoi);
    py::object std_degree = global("find_rotate_degree")(std_print.threshold, aoi);
    py::object tgt_degree = global("find_rotate_degree")(tgt_print.threshold, aoi);
    print_formatted("STD Degree: %.02f", std_degree);
    print_formatted("TGT Degree: %.02f", tgt_degree);
    py::object std_rotated = global("rotate_correcting")(std_image, std_print.bars, std_degree, aoi);
    py::object tgt_rotated = global("rotate_correcting")(tgt, tgt_print.bars, tgt_degree, aoi);

    py::object cmp_rect = global("cmp_rect_after_rotate_correcting")(std_rotated, aoi);
    py::object bar_code_img = crop(std_rotated, cmp_rect);
    py::object tgt_rect = global("cmp_rect_after_rotate_correcting")(tgt_rotated, aoi);
    py::object region = search_region(tgt_rect);
    auto [match_value, match_location] =
        unpack<2>(global("template_match_point")(tgt_rotated, bar_code_img, region));
    print_formatted("平移校正区域匹配度：%.04f", match_value);

    auto [x1, y1] = unpack<2>(match_location);
    auto [x, y, w, h] = unpack<4>(cmp_rect);
    py::object translate = global("translate");
    py::object right = x - x1;
    py::object tgt_corrected = translate(tgt_rotated, right, y - y1);

    py::object comparator_class = global("ShiftComparator");
    py::object comparator = comparator_class(std_rotated, py::arg("max_shift") = a[3], py::arg("threshold") = a[4],
                                             py::arg("judge_parameter") = a[5], py::arg("cmp_region") = aoi);
    py::object result = global("CompareResult")(tgt_corrected);
    comparator.attr(interned("compare"))(tgt_corrected, result);
    if (truthy(result.attr(interned("ng")))) {
        py::object whole = result.attr(interned("marked_image"))();
        py::object part = crop(whole, cmp_rect);
        global("_cv").attr(interned("imwrite"))(py::str("shift_compare_barcode.jpg"), part);
    }
    return result;
}

// ---- contour_to_point_list ----

// [[[x, y]], ...] -> [[x, y], ...]: the first item of every point.
py::object contour_to_point_list(Args& a) {
    py::list points;
    for (py::handle point : a[0]) points.append(steal(PyObject_GetItem(point.ptr(), py::int_(0).ptr())));
    return std::move(points);
}

// ---- extract_center_contours ----

py::object outer_contours(py::handle binary) {
    py::object find = global("_cv").attr(interned("findContours"));
    py::object mode = global("_cv").attr(interned("RETR_EXTERNAL"));
    auto [contours, hierarchy] = unpack<2>(find(binary, mode, global("_cv").attr(interned("CHAIN_APPROX_NONE"))));
    return contours;
}

Py_ssize_t count(py::handle contours) {
    Py_ssize_t n = PyObject_Size(contours.ptr());
    if (n < 0) throw_error_already_set();
    return n;
}

// A one-pixel black frame on the image border, so regions touching the border
// also shrink from that side in later passes (erosion treats the outside as white).
py::object black_frame(py::handle binary, py::handle src) {
    py::slice first_two(py::none(), py::int_(2), py::none());
    auto [h, w] = unpack<2>(src.attr(interned("shape"))[first_two]);
    py::object rectangle = global("_cv").attr(interned("rectangle"));
    py::int_ one(1);
    py::object corner = py::make_tuple(w - one, h - one);
    return rectangle(binary, py::make_tuple(0, 0), corner, py::arg("color") = 0, py::arg("thickness") = 1);
}

// The contours of the regions that survive the most erosion passes of `step`
// iterations each: the centres of the largest bright regions.
py::object extract_center_contours(Args& a) {
    py::handle src = a[0], step = a[2];
    // Each pass must erode something for the loop to end.
    if (compare(step, py::int_(1), Py_LT))
        raise_format(PyExc_ValueError, "step must be at least 1");
    py::object binarise = global("_cv").attr(interned("threshold"));
    auto [level, bin_img] = unpack<2>(binarise(src, a[1], py::int_(1), a[3]));
    py::object cnts = outer_contours(bin_img);
    py::object last_cnts = cnts;
    py::object ones = global("_np").attr(interned("ones"));
    py::object kernel = ones(py::make_tuple(3, 3), py::arg("dtype") = global("_np").attr(interned("uint8")));
    bool first = true;
    while (count(cnts) > 0) {
        check_signals();  // a small step makes many passes over a large image
        last_cnts = cnts;
        py::object erode = global("_cv").attr(interned("erode"));
        bin_img = erode(bin_img, py::arg("kernel") = kernel, py::arg("iterations") = step);
        if (first) {
            bin_img = black_frame(bin_img, src);
            first = false;
        }
        cnts = outer_contours(bin_img);
    }
    // OpenCV 4 returns the contours as a tuple; callers get a list.
    if (PyTuple_CheckExact(last_cnts.ptr())) return steal(PySequence_List(last_cnts.ptr()));
    return last_cnts;
}

py::object make_shift_compare_barcode() {
    return module_function({"shift_compare_barcode",
                            {{"std"}, {"tgt"}, {"aoi"}, {"max_shift"}, {"threshold"}, {"dirty_width"}},
                            shift_compare_barcode, Ret::Any, false,
                            "CompareResult of the straightened, aligned target barcode against the standard's, "
                            "inside the AOI."},
                           kSource);
}

py::object make_contour_to_point_list() {
    return module_function({"contour_to_point_list", {{"cnt", Hint::List}}, contour_to_point_list, Ret::List, false,
                            "The contour's points as a new list of [x, y]."},
                           kSource);
}

py::object make_extract_center_contours() {
    return module_function({"extract_center_contours",
                            {{"src"},
                             {"thresh", Hint::Int},
                             {"step", Hint::Int, py::int_(1)},
                             {"flag", Hint::Int, global("_cv").attr("THRESH_BINARY")}},
                            extract_center_contours, Ret::List, false,
                            "Contours of the regions that survive the most erosion: the centres of the largest "
                            "bright regions."},
                           kSource);
}

}  // namespace

void register_barcode_compare(Registry& registry) {
    registry.add("shift_compare_barcode", make_shift_compare_barcode);
    registry.add("contour_to_point_list", make_contour_to_point_list);
    registry.add("extract_center_contours", make_extract_center_contours);
}

}  // namespace qlo
