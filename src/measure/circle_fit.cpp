// Circle fitting. FittingCircle fits a circle to points by least squares
// (the module's _leastsq, SciPy's Levenberg-Marquardt solver): it moves the
// centre until the squared distances of the points to it are as equal as
// possible, and reports their mean distance as the radius. CirclePeeler fits
// the outer boundary of the blobs of a binarised image again and again, each
// time blacking out the disc of the previous fit, so that samples inside the
// circle drop out of the next fit.
#include <tuple>
#include <utility>
#include <vector>

#include "frame/buffer.h"
#include "frame/class_builder.h"
#include "frame/function.h"
#include "frame/globals.h"
#include "frame/interrupts.h"
#include "frame/object.h"
#include "frame/operators.h"
#include "frame/signature.h"
#include "frame/unpack.h"
#include "measure/register.h"

namespace qlo {

namespace {

constexpr const char* kSource = "src/measure/circle_fit.cpp";

constexpr char kCenter[] = "_FittingCircle__center";
constexpr char kRadius[] = "_FittingCircle__radius";
constexpr char kThreshold[] = "_CirclePeeler__threshold";
constexpr char kThreshType[] = "_CirclePeeler__thresh_type";
constexpr char kContours[] = "_CirclePeeler__contours";
constexpr char kShape[] = "_CirclePeeler__shape";

py::object square(py::handle a) { return steal(PyNumber_Power(a.ptr(), py::int_(2).ptr(), Py_None)); }

py::object length(py::handle sized) {
    Py_ssize_t n = PyObject_Size(sized.ptr());
    if (n < 0) throw_error_already_set();
    return py::int_(n);
}

// ---- FittingCircle ----

// (cx - x) ** 2 + (cy - y) ** 2, element-wise.
py::object distance_square(Args& a) {
    auto [cx, cy] = unpack<2>(a[0]);
    py::object across = square(sub(cx, a[1]));
    return add(across, square(sub(cy, a[2])));
}

// The solver's residuals: each squared distance minus their mean.
py::object fit_error(Args& a) {
    py::object distances = global("FittingCircle").attr(interned("_FittingCircle__distance_square"))(a[0], a[1], a[2]);
    return sub(distances, distances.attr(interned("mean"))());
}

// `first, *_ = value`: the first item of any iterable, the rest consumed.
py::object first_unpacked(py::handle value) {
    PyObject* iterator = PyObject_GetIter(value.ptr());
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(value.ptr())->tp_iter && !PySequence_Check(value.ptr())) {
            PyErr_Clear();
            raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value.ptr())->tp_name);
        }
        throw_error_already_set();
    }
    py::object items = steal(PySequence_List(steal(iterator).ptr()));
    if (PyList_GET_SIZE(items.ptr()) == 0)
        raise_format(PyExc_ValueError, "not enough values to unpack (expected at least 1, got 0)");
    return items[py::int_(0)];
}

// x and y as new lists from the (a, b) pairs of `points`.
std::pair<py::list, py::list> split_points(py::handle points) {
    py::list xs, ys;
    for (py::handle pair : points) {
        auto [a, b] = unpack<2>(pair);
        xs.append(a);
        ys.append(b);
    }
    return {xs, ys};
}

py::object fitting_circle_init(Args& a) {
    py::handle self = a[0];
    py::object x = a.get(1), y = a.get(2);
    if (!a[3].is_none()) std::tie(x, y) = split_points(a[3]);
    if (assertions_enabled()) assert_that(compare(length(x), length(y), Py_EQ));
    if (length(x).equal(py::int_(0))) {
        py::setattr(self, interned(kCenter), py::make_tuple(0, 0));
        py::setattr(self, interned(kRadius), py::int_(0));
        return py::none();
    }
    x = global("_np").attr(interned("array"))(x);
    y = global("_np").attr(interned("array"))(y);
    py::object array = global("_np").attr(interned("array"));
    py::object mean_x = x.attr(interned("mean"))();
    py::object start_point = array(py::make_tuple(mean_x, y.attr(interned("mean"))()));
    py::object solve = global("_leastsq");
    py::object error = global("FittingCircle").attr(interned("_FittingCircle__error"));
    py::object center = first_unpacked(solve(error, start_point, py::make_tuple(x, y)));
    py::setattr(self, interned(kCenter), py::make_tuple(center[py::int_(0)], center[py::int_(1)]));
    py::object sqrt = global("_np").attr(interned("sqrt"));
    py::object distances = global("FittingCircle").attr(interned("_FittingCircle__distance_square"))(center, x, y);
    py::setattr(self, interned(kRadius), sqrt(distances).attr(interned("mean"))());
    return py::none();
}

// A static method stored, as a class body stores `__name`, under its mangled name.
void private_static(ClassBuilder& cls, const char* name, const std::vector<Param>& params, Impl impl) {
    py::object f = make_function({name, params, impl}, cls.qualname() + "." + name, kSource);
    cls.attribute(mangled("FittingCircle", name + 2).c_str(), builtins().staticmethod(f));
}

py::object make_fitting_circle() {
    ClassBuilder cls("FittingCircle", kSource);
    cls.doc("A circle fitted to points by least squares: the centre makes the squared distances of the points to "
            "it as equal as possible; the radius is their mean distance. Give x and y, or points as (x, y) pairs.");
    private_static(cls, "__distance_square", {{"para"}, {"x"}, {"y"}}, distance_square);
    private_static(cls, "__error", {{"center"}, {"x"}, {"y"}}, fit_error);
    cls.method({"__init__",
                {{"self"}, {"x", Hint::Any, py::none()}, {"y", Hint::Any, py::none()}, {"points", Hint::Any, py::none()}},
                fitting_circle_init})
        .property({"center", stored<kCenter>, Ret::Tuple})
        .property({"radius", stored<kRadius>});
    return cls.build();
}

// ---- CirclePeeler ----

py::object circle_peeler_init(Args& a) {
    py::handle self = a[0], image = a[1];
    py::setattr(self, interned(kThreshold), a[2]);
    py::setattr(self, interned(kThreshType), a[3]);
    py::object threshold = global("_cv").attr(interned("threshold"));
    auto [value, th_img] = unpack<2>(threshold(image, py::arg("thresh") = a[2], py::arg("maxval") = 255,
                                                   py::arg("type") = a[3]));
    py::object find = global("_cv").attr(interned("findContours"));
    py::object mode = global("_cv").attr(interned("RETR_EXTERNAL"));
    py::object method = global("_cv").attr(interned("CHAIN_APPROX_NONE"));
    auto [contours, hierarchy] = unpack<2>(find(th_img, py::arg("mode") = mode, py::arg("method") = method));
    py::list kept;
    for (py::handle cnt : contours) {
        py::object area = global("_cv").attr(interned("contourArea"))(cnt);
        if (compare(area, a[4], Py_GE)) kept.append(cnt);
    }
    py::setattr(self, interned(kContours), kept);
    py::object first_two = steal(PySlice_New(nullptr, py::int_(2).ptr(), nullptr));
    py::setattr(self, interned(kShape), image.attr(interned("shape"))[first_two]);
    return py::none();
}

// pnt[0] of every entry of every contour, in detector order.
py::list contour_points(py::handle contours) {
    py::list points;
    for (py::handle cnt : contours)
        for (py::handle pnt : cnt) points.append(pnt[py::int_(0)]);
    return points;
}

py::object to_int(py::handle value) { return steal(PyNumber_Long(value.ptr())); }

// What a round of peeling calls. A round whose fit gives the disc it has just
// blacked out leaves the next round the same image: the next round blacks
// out that disc again, changing nothing, and fits the same points to the same
// circle, and so on (the fit is deterministic). This is how peeling ends
// (nothing left: the fit of no points, (0, 0) and 0, twice; or what is left
// lies outside the fitted disc). While these are the module's, OpenCV's and
// the solver's own, the rounds stop there with the same result.
constexpr const char* kPeelCalls[] = {"_cv",
                                      "_cv.circle",
                                      "_cv.findContours",
                                      "_np",
                                      "_np.array",
                                      "_np.sqrt",
                                      "_leastsq",
                                      "FittingCircle",
                                      "FittingCircle.__init__",
                                      "FittingCircle.center",
                                      "FittingCircle.radius",
                                      "FittingCircle._FittingCircle__distance_square",
                                      "FittingCircle._FittingCircle__error"};

bool same(py::handle a, py::handle b) { return truthy(steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ))); }

bool later_rounds_repeat() {
    for (const char* name : kPeelCalls)
        if (!still_original(name)) return false;
    return true;
}

py::object peel(Args& a) {
    py::handle self = a[0];
    py::object circle = py::none();
    py::object center = py::make_tuple(-1, -1);
    py::object radius = py::int_(0);
    py::object zeros_of = global("_np").attr(interned("zeros"));
    py::object shape = self.attr(interned(kShape));
    py::object zeros = zeros_of(shape, py::arg("dtype") = global("_np").attr(interned("uint8")));
    py::object fill_poly = global("_cv").attr(interned("fillPoly"));
    py::object contours = self.attr(interned(kContours));
    check_drawable(zeros);
    py::object image = fill_poly(zeros, contours, 255);
    py::object rounds = builtins().range(a[1]);
    for (py::handle round : rounds) {
        (void)round;
        check_signals();  // the number of rounds is the caller's
        global("_cv").attr(interned("circle"))(image, center, radius, py::arg("color") = 0, py::arg("thickness") = -1);
        py::object find = global("_cv").attr(interned("findContours"));
        py::object mode = global("_cv").attr(interned("RETR_EXTERNAL"));
        py::object method = global("_cv").attr(interned("CHAIN_APPROX_NONE"));
        auto [contours, hierarchy] = unpack<2>(find(image, mode, method));
        py::list points = contour_points(contours);
        circle = global("FittingCircle")(py::arg("points") = points);
        auto [x, y] = unpack<2>(circle.attr(interned("center")));
        py::object drawn_center = center, drawn_radius = radius;
        center = py::make_tuple(to_int(x), to_int(y));
        radius = to_int(circle.attr(interned("radius")));
        if (same(center, drawn_center) && same(radius, drawn_radius) && later_rounds_repeat()) break;
    }
    return circle;
}

py::object make_circle_peeler() {
    for (const char* name : kPeelCalls) record_original(name);
    ClassBuilder cls("CirclePeeler", kSource);
    cls.doc("Fits a circle to the blobs of a binarised grey image, peeling off the disc of each fit before the "
            "next so that samples inside the circle drop out. Blobs whose contour area is below min_area are "
            "discarded as noise.");
    cls.method({"__init__",
                {{"self"},
                 {"image"},
                 {"threshold", Hint::Int},
                 {"thresh_type", Hint::Int, global("_cv").attr("THRESH_BINARY")},
                 {"min_area", Hint::Int, py::int_(0)}},
                circle_peeler_init})
        .method({"peel", {{"self"}, {"iteration", Hint::Int}}, peel, Ret::Any, false,
                 "The fit after `iteration` rounds of peeling (None for 0 or fewer)."});
    return cls.build();
}

}  // namespace

void register_circle_fit(Registry& registry) {
    registry.add("FittingCircle", make_fitting_circle);
    registry.add("CirclePeeler", make_circle_peeler);
}

}  // namespace qlo
