// The shift-tolerant black/white spot comparator and its two stock judges.
// A pixel is a defect only when it differs from the standard at every tried
// displacement of the other image, so small misregistration is tolerated.
#include <optional>

#include "frame/class_builder.h"
#include "frame/function.h"
#include "frame/globals.h"
#include "frame/object.h"
#include "frame/operators.h"
#include "frame/signature.h"
#include "frame/unpack.h"
#include "compare/mismatch_map.h"
#include "compare/register.h"

namespace qlo {

namespace {

constexpr const char* kSource = "src/compare/shift_comparator.cpp";

constexpr char kJudgeParameter[] = "_ShiftComparator__judge_parameter";
constexpr char kJudge[] = "_ShiftComparator__judge";
constexpr char kBlackDesc[] = "_ShiftComparator__black_spot_desc";
constexpr char kWhiteDesc[] = "_ShiftComparator__white_spot_desc";

// f(args...) through vectorcall: the calls made per region go without building
// an argument tuple.
template <class... Handles>
py::object call(py::handle f, Handles... args) {
    PyObject* argv[] = {args.ptr()...};
    return steal(PyObject_Vectorcall(f.ptr(), argv, sizeof...(args), nullptr));
}

// ---- judges ----

// True when either side of the contour's bounding box reaches `length`
// (the first item of a tuple or list). Returns the value of Python's `or`.
py::object contour_is_too_long(Args& a) {
    auto [x, y, w, h] = unpack<4>(call(global("_cv").attr(interned("boundingRect")), a[0]));
    py::object length = a.get(1);
    if (PyTuple_Check(length.ptr()) || PyList_Check(length.ptr())) length = length[py::int_(0)];
    py::object wide = rich_compare(w, length, Py_GE);
    if (truthy(wide)) return wide;
    return rich_compare(h, length, Py_GE);
}

py::object make_contour_is_too_long() {
    return module_function({"contour_is_too_long", {{"cnt"}, {"length"}}, contour_is_too_long, Ret::Any, false,
                            "True when the contour's bounding box is at least `length` wide or high."}, kSource);
}

// True when the contour's area reaches `area`.
py::object contour_is_too_big(Args& a) {
    py::object area = call(global("_cv").attr(interned("contourArea")), a[0]);
    return rich_compare(area, a[1], Py_GE);
}

py::object make_contour_is_too_big() {
    return module_function({"contour_is_too_big", {{"cnt"}, {"area", Hint::Float}}, contour_is_too_big, Ret::Any, false,
                            "True when the contour's area is at least `area`."}, kSource);
}

// "%s: %d, %s" % (error_desc, longest, rect). For a str and ints of the exact
// types (what boundingRect gives) str() and repr() of each item are the text
// Python's formatting would produce, built here without parsing the format.
py::object describe(py::handle error_desc, py::handle longest, const py::list& rect) {
    PyObject* items[4];
    bool exact = PyUnicode_CheckExact(error_desc.ptr()) && PyLong_CheckExact(longest.ptr());
    for (int i = 0; i < 4; ++i) {
        items[i] = PyList_GET_ITEM(rect.ptr(), i);
        exact = exact && PyLong_CheckExact(items[i]);
    }
    if (exact)
        return steal(PyUnicode_FromFormat("%U: %S, [%S, %S, %S, %S]", error_desc.ptr(), longest.ptr(), items[0],
                                          items[1], items[2], items[3]));
    py::handle format = interned("%s: %d, %s");
    return steal(PyUnicode_Format(format.ptr(), py::make_tuple(error_desc, longest, rect).ptr()));
}

// Turns the blobs of `mask` into contours, asks the judge about each, and
// appends an NGRegion for every one it accepts, in OpenCV's contour order.
void report_blobs(py::handle self, py::handle mask, py::handle judge_parameter, py::handle error_desc,
                  py::handle compare_result) {
    py::object find_contours = global("_cv").attr(interned("findContours"));
    py::object mode = global("_cv").attr(interned("RETR_EXTERNAL"));
    py::object method = global("_cv").attr(interned("CHAIN_APPROX_NONE"));
    py::object found = find_contours(mask, mode, method);
    auto [contours, hierarchy] = unpack<2>(found);
    for (py::handle cnt : contours) {
        if (!truthy(call(self.attr(interned(kJudge)), cnt, judge_parameter))) continue;
        auto [x1, y1, w, h] = unpack<4>(call(global("_cv").attr(interned("boundingRect")), cnt));
        py::list rect;
        rect.append(x1);
        rect.append(y1);
        rect.append(add(x1, w));
        rect.append(add(y1, h));
        py::object longest = compare(h, w, Py_GT) ? h : w;
        py::object desc = describe(error_desc, longest, rect);
        py::object append = compare_result.attr(interned("append"));  // looked up before its argument
        call(append, call(global("NGRegion"), rect, desc));
    }
}

// ---- ShiftComparator ----

py::object comparator_init(Args& a) {
    py::handle self = a[0];
    py::setattr(self, interned("std_threshold"), global("_np").attr(interned("int16"))(a[1]));
    py::setattr(self, interned("max_shift"), a[2]);
    py::setattr(self, interned("threshold"), a[3]);
    py::setattr(self, interned(kJudgeParameter), a[4]);
    py::setattr(self, interned(kJudge), a[5]);
    py::setattr(self, interned("slope"), a[6]);
    py::setattr(self, interned("step"), a[7]);
    py::setattr(self, interned("compare_region"), a[8]);
    py::setattr(self, interned(kBlackDesc), py::str("black spot"));
    py::setattr(self, interned(kWhiteDesc), py::str("white spot"));
    return py::none();
}

py::object window_of(py::handle x1, py::handle y1, py::handle x2, py::handle y2) {
    return py::make_tuple(steal(PySlice_New(y1.ptr(), y2.ptr(), nullptr)),
                          steal(PySlice_New(x1.ptr(), x2.ptr(), nullptr)));
}

// A zero image of the standard's size and `dtype` holding, inside `window`,
// the target or (when `target` is null) the standard as read after the zero
// image is made.
py::object windowed(py::handle self, py::handle target, py::handle window, const char* dtype) {
    py::object zeros = global("_np").attr(interned("zeros"));
    py::object first_two = steal(PySlice_New(nullptr, py::int_(2).ptr(), nullptr));
    py::object shape = self.attr(interned("std_threshold")).attr(interned("shape"))[first_two];
    py::object image = zeros(shape, py::arg("dtype") = global("_np").attr(interned(dtype)));
    py::object source = target ? py::reinterpret_borrow<py::object>(target) : self.attr(interned("std_threshold"));
    image[window] = source[window];
    return image;
}

// self._do_compare_image_with_shift(std, tgt, judge parameter, prefix, result),
// evaluated left to right like the Python call.
void directed_pass(py::handle self, py::handle std, py::handle tgt, const char* prefix_property, py::handle result) {
    py::object method = self.attr(interned("_do_compare_image_with_shift"));
    py::object judge_parameter = self.attr(interned(kJudgeParameter));
    py::object prefix = self.attr(interned(prefix_property));
    method(std, tgt, judge_parameter, prefix, result);
}

py::object compare(Args& a) {
    py::handle self = a[0], result = a[2];
    py::object region = self.attr(interned("compare_region"));
    py::object tgt_work, std_work;
    if (region.is_none()) {
        tgt_work = a.get(1);
        std_work = self.attr(interned("std_threshold"));
    } else {
        auto [x1, y1, x2, y2] = unpack<4>(region);
        py::object window = window_of(x1, y1, x2, y2);
        tgt_work = windowed(self, a[1], window, "uint8");
        std_work = windowed(self, {}, window, "int16");
    }
    py::object tgt = global("_np").attr(interned("int16"))(tgt_work);
    // The comparator's own standard (not a windowed copy made for this call)
    // may keep what its white-spot pass derives from it.
    std::optional<comparison::StandardInUse> standard;
    if (region.is_none()) standard.emplace(std_work);
    directed_pass(self, std_work, tgt, "black_spot_desc", result);
    directed_pass(self, tgt, std_work, "white_spot_desc", result);
    return py::none();
}

// One directed comparison: the blobs of pixels of `std_threshold` that differ
// from `tgt_threshold` at every tried displacement of `tgt_threshold`.
py::object do_compare_image_with_shift(Args& a) {
    py::handle self = a[0];
    py::object max_shift = self.attr(interned("max_shift"));
    py::object threshold = self.attr(interned("threshold"));
    py::object slope = self.attr(interned("slope"));
    py::object step = self.attr(interned("step"));
    bool made_here = false;
    py::object mask = comparison::mismatch_mask(a[1], a[2], max_shift, threshold, slope, step, &made_here);
    report_blobs(self, mask, a[3], a[4], a[5]);
    if (made_here) comparison::done_with_mask(std::move(mask));
    return py::none();
}

py::object make_shift_comparator() {
    comparison::record_mismatch_originals();
    ClassBuilder cls("ShiftComparator", kSource);
    cls.doc("Compares target images with a standard one, tolerating misregistration up to max_shift pixels.");
    cls.method({"__init__",
                {{"self"},
                 {"std_image"},
                 {"max_shift", Hint::Int},
                 {"threshold", Hint::Int},
                 {"judge_parameter"},
                 {"judge", Hint::Any, global("contour_is_too_long")},
                 {"slope", Hint::Any, py::bool_(true)},
                 {"step", Hint::Any, py::int_(1)},
                 {"cmp_region", Hint::Any, py::none()}},
                comparator_init})
        .property({"black_spot_desc", stored<kBlackDesc>, Ret::Str, store<kBlackDesc>, Hint::Str, "desc"})
        .property({"white_spot_desc", stored<kWhiteDesc>, Ret::Str, store<kWhiteDesc>, Hint::Str, "desc"})
        .method({"compare", {{"self"}, {"tgt_image"}, {"result"}}, compare, Ret::Any, false,
                 "Appends to `result` the black spots, then the white spots, of `tgt_image`."})
        .method({"_do_compare_image_with_shift",
                 {{"self"}, {"std_threshold"}, {"tgt_threshold"}, {"judge_parameter"}, {"error_desc"},
                  {"compare_result"}},
                 do_compare_image_with_shift});
    return cls.build();
}

}  // namespace

void register_shift_comparator(Registry& r) {
    r.add("contour_is_too_long", make_contour_is_too_long);
    r.add("contour_is_too_big", make_contour_is_too_big);
    r.add("ShiftComparator", make_shift_comparator);
}

}  // namespace qlo
