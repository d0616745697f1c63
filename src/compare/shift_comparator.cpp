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

// The classes the two passes go through, as the module made them: setting
// an attribute on a class later changes its version tag.
struct TypeRecord {
    PyTypeObject* type = nullptr;
    unsigned int tag = 0;

    void record(py::handle cls) {
        type = reinterpret_cast<PyTypeObject*>(cls.ptr());
        tag = PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
    }
    bool unchanged() const { return type && tag != 0 && type->tp_version_tag == tag; }
    bool holds(py::handle instance) const {
        return unchanged() && Py_TYPE(instance.ptr()) == type;
    }
};
TypeRecord g_comparator, g_result, g_region;

// An instance attribute of an object whose class defines no attribute
// hooks: a plain dictionary lookup (borrowed; null when missing).
PyObject* instance_value(py::handle self, const char* name) {
    PyObject** dict = _PyObject_GetDictPtr(self.ptr());
    if (!dict || !*dict) return nullptr;
    PyObject* value = PyDict_GetItemWithError(*dict, interned(name).ptr());
    if (!value) PyErr_Clear();
    return value;
}

// True when, for this comparator and result, the two passes run only the
// module's own code, so that nothing between them can see or change the
// images: the comparator's and the result's classes as made, the judge
// contour_is_too_long on an int (or the first item of a list or tuple) or
// contour_is_too_big on an int or float, the prefixes plain strings, the
// regions a plain list, every setting present, and the library functions the
// passes call still bound. Then both masks can come from one sweep that reads
// each image once.
bool passes_run_only_own_code(py::handle self, py::handle result) {
    if (!g_comparator.holds(self) || !g_result.holds(result) || !still_original("_np.int16") ||
        !still_original("NGRegion") ||
        original("NGRegion").ptr() != reinterpret_cast<PyObject*>(g_region.type) || !g_region.unchanged())
        return false;
    for (const char* name : {"_cv", "_cv.findContours", "_cv.boundingRect", "_cv.RETR_EXTERNAL",
                             "_cv.CHAIN_APPROX_NONE"})
        if (!still_original(name)) return false;
    // Methods set on the instances would run the caller's code between the passes.
    if (instance_value(self, "_do_compare_image_with_shift") || instance_value(result, "append")) return false;
    PyObject* judge = instance_value(self, kJudge);
    PyObject* parameter = instance_value(self, kJudgeParameter);
    if (!judge || !parameter) return false;
    if (judge == original("contour_is_too_long").ptr()) {
        if (PyList_CheckExact(parameter) || PyTuple_CheckExact(parameter))
            // An empty one makes the judge raise IndexError, which runs no code either.
            parameter = PySequence_Fast_GET_SIZE(parameter) > 0 ? PySequence_Fast_GET_ITEM(parameter, 0) : Py_None;
        if (!(PyLong_CheckExact(parameter) || PyBool_Check(parameter) || parameter == Py_None)) return false;
    } else if (judge == original("contour_is_too_big").ptr()) {
        if (!still_original("_cv.contourArea") ||
            !(PyLong_CheckExact(parameter) || PyBool_Check(parameter) || PyFloat_CheckExact(parameter)))
            return false;
    } else {
        return false;
    }
    for (const char* desc : {kBlackDesc, kWhiteDesc}) {
        PyObject* text = instance_value(self, desc);
        if (!text || !(PyUnicode_CheckExact(text) || text == Py_None)) return false;
    }
    // A missing setting raises in the pass, after the int16 copy of the target.
    for (const char* setting : {"max_shift", "threshold", "slope", "step"})
        if (!instance_value(self, setting)) return false;
    PyObject* regions = instance_value(result, "ng_regions");
    return regions && PyList_CheckExact(regions);
}

// The settings a pass reads, in the order it reads them.
struct Settings {
    py::object max_shift, threshold, slope, step;

    static Settings of(py::handle self) {
        Settings s;
        s.max_shift = self.attr(interned("max_shift"));
        s.threshold = self.attr(interned("threshold"));
        s.slope = self.attr(interned("slope"));
        s.step = self.attr(interned("step"));
        return s;
    }
    bool same_as(const Settings& o) const {
        return max_shift.ptr() == o.max_shift.ptr() && threshold.ptr() == o.threshold.ptr() &&
               slope.ptr() == o.slope.ptr() && step.ptr() == o.step.ptr();
    }
};

// self._do_compare_image_with_shift(std, tgt, judge parameter, prefix, result)
// with its mask already made from `used` settings: the same reads, in the
// same order, then the blobs reported. OpenCV's own findContours finds no
// contour in a mask that is all 0, so for one (an OK print's) it is not
// called. Where the settings read now are not those (another thread changed
// them meanwhile), the pass runs as usual on the target as int16.
void pass_with_mask(py::handle self, py::handle std, py::handle tgt_work, bool swapped, const char* prefix_property,
                    py::object mask, bool empty, const Settings& used, py::handle result) {
    py::object method = self.attr(interned("_do_compare_image_with_shift"));
    py::object judge_parameter = self.attr(interned(kJudgeParameter));
    py::object prefix = self.attr(interned(prefix_property));
    if (!Settings::of(self).same_as(used)) {
        py::object tgt = global("_np").attr(interned("int16"))(tgt_work);
        if (swapped)
            method(tgt, std, judge_parameter, prefix, result);
        else
            method(std, tgt, judge_parameter, prefix, result);
        return;
    }
    if (!empty) report_blobs(self, mask, judge_parameter, prefix, result);
    comparison::done_with_mask(std::move(mask));
}

// Both passes of compare from one sweep, where only the module's own code
// runs between them; false, having run no Python code, where that is not so
// or the sweep does not apply.
bool compare_in_one_sweep(py::handle self, py::handle std, py::handle tgt_work, py::handle result) {
    if (!passes_run_only_own_code(self, result)) return false;
    Settings used = Settings::of(self);
    std::optional<comparison::TwoMasks> masks =
        comparison::two_way_masks(std, tgt_work, used.max_shift, used.threshold, used.slope, used.step);
    if (!masks) return false;
    pass_with_mask(self, std, tgt_work, false, "black_spot_desc", std::move(masks->black), masks->black_empty, used,
                   result);
    pass_with_mask(self, std, tgt_work, true, "white_spot_desc", std::move(masks->white), masks->white_empty, used,
                   result);
    return true;
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
    // An 8-bit target compared with the comparator's own standard, where
    // nothing but the module's code sees the int16 copy of the target or runs
    // between the passes: both masks from one sweep of the two images as
    // they are, with no copy.
    if (region.is_none() && compare_in_one_sweep(self, std_work, tgt_work, result)) return py::none();
    py::object tgt = global("_np").attr(interned("int16"))(tgt_work);
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
    for (const char* name : {"NGRegion", "contour_is_too_long", "contour_is_too_big", "_cv.findContours",
                             "_cv.boundingRect", "_cv.contourArea", "_cv.RETR_EXTERNAL", "_cv.CHAIN_APPROX_NONE"})
        record_original(name);
    if (original("NGRegion")) g_region.record(original("NGRegion"));
    g_result.record(global("CompareResult"));
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
    py::object made = cls.build();
    g_comparator.record(made);
    return made;
}

}  // namespace

void register_shift_comparator(Registry& r) {
    r.add("contour_is_too_long", make_contour_is_too_long);
    r.add("contour_is_too_big", make_contour_is_too_big);
    r.add("ShiftComparator", make_shift_comparator);
}

}  // namespace qlo
