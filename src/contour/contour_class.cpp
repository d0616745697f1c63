// Contour: one contour array owned by an object, with its costly geometric
// measures computed once and kept until the points change through the
// object's own moves (reverse, move_offset, move_centroid_to). It also paints
// the contour into a new mask image.
#include "contour/common.h"
#include "frame/class_builder.h"
#include "frame/globals.h"
#include "frame/object.h"
#include "frame/operators.h"
#include "frame/signature.h"
#include "frame/unpack.h"
#include "frame/buffer.h"
#include "contour/register.h"

namespace qlo {

namespace {

using contour::assign;
using contour::column;
using contour::subscript;

constexpr const char* kSource = "src/contour/contour_class.cpp";

constexpr char kContour[] = "_Contour__contour";
constexpr char kArea[] = "_Contour__area";
constexpr char kMoments[] = "_Contour__moments";
constexpr char kCircle[] = "_Contour__min_enclosing_circle";
constexpr char kBoundingRect[] = "_Contour__bounding_rectangle";
constexpr char kMinAreaRect[] = "_Contour__min_area_rectangle";
constexpr char kCounterclockwise[] = "_Contour__is_counterclockwise";

// The caches, in the order they are set and emptied.
constexpr const char* kCaches[] = {kArea, kMoments, kCircle, kBoundingRect, kMinAreaRect, kCounterclockwise};

py::object points_of(py::handle self) { return self.attr(interned("points")); }

void invalidate(py::handle self) {
    for (const char* cache : kCaches) py::setattr(self, interned(cache), py::none());
}

py::object contour_init(Args& a) {
    py::setattr(a[0], interned(kContour), a[1].attr(interned("copy"))());
    invalidate(a[0]);
    return py::none();
}

py::object invalidate_caches(Args& a) {
    invalidate(a[0]);
    return py::none();
}

// ---- cached measures ----

// Fills the cache `Cache` with _cv.<Function>(owned array) when it is empty,
// then returns what the cache holds. A failing call leaves the cache as it was.
template <const char* Cache, const char* Function>
py::object cached_measure(Args& a) {
    py::handle self = a[0];
    if (self.attr(interned(Cache)).is_none()) {
        py::object function = global("_cv").attr(interned(Function));
        py::setattr(self, interned(Cache), function(self.attr(interned(kContour))));
    }
    return self.attr(interned(Cache));
}

constexpr char kContourArea[] = "contourArea";
constexpr char kMomentsFunction[] = "moments";
constexpr char kMinEnclosingCircle[] = "minEnclosingCircle";
constexpr char kBoundingRectFunction[] = "boundingRect";
constexpr char kMinAreaRectFunction[] = "minAreaRect";

py::object is_counterclockwise(Args& a) {
    py::handle self = a[0];
    if (self.attr(interned(kCounterclockwise)).is_none()) {
        py::object test = global("contour_is_counterclockwise");
        py::setattr(self, interned(kCounterclockwise), test(points_of(self)));
    }
    return self.attr(interned(kCounterclockwise));
}

py::object is_clockwise(Args& a) { return py::bool_(!truthy(a[0].attr(interned("is_counterclockwise")))); }

// ---- measures computed on each read ----

py::object length(Args& a) {
    py::object arc_length = global("_cv").attr(interned("arcLength"));
    return arc_length(points_of(a[0]), py::arg("closed") = true);
}

py::object centroid(Args& a) {
    py::object moments = a[0].attr(interned("moments"));
    py::object m00 = contour::area_moment(moments);
    py::object array = global("_np").attr(interned("array"));
    py::list xy;
    xy.append(contour::moment_ratio(moments, "m10", m00));
    xy.append(contour::moment_ratio(moments, "m01", m00));
    return array(xy);
}

py::object direction(Args& a) { return contour::principal_direction(a[0].attr(interned("moments"))); }

// The ceiling of the enclosing radius, doubled.
py::object min_rotating_image_width(Args& a) {
    auto [center, radius] = unpack<2>(a[0].attr(interned("min_enclosing_circle")));
    unpack<2>(center);
    py::object ceil = global("_math").attr(interned("ceil"));
    return mul(ceil(radius), py::int_(2));
}

// ---- new objects and moves ----

py::object reverse(Args& a) {
    py::handle self = a[0];
    py::object reversed = subscript(self.attr(interned(kContour)), contour::slice({}, {}, py::int_(-1)));
    py::setattr(self, interned(kContour), reversed);
    self.attr(interned("_invalidate_caches"))();
    return py::none();
}

py::object copy(Args& a) {
    py::object cls = global("Contour");
    return cls(points_of(a[0]));
}

py::object reverse_copy(Args& a) {
    py::object cls = global("Contour");
    py::object result = cls(points_of(a[0]));
    result.attr(interned("reverse"))();
    return result;
}

// Adds the offset to the owned array in place (so arrays read earlier from
// `points` show the move), stores it back and empties the caches.
py::object move_offset(Args& a) {
    py::handle self = a[0];
    py::list offset;
    offset.append(a[1]);
    offset.append(a[2]);
    py::object current = self.attr(interned(kContour));
    py::setattr(self, interned(kContour), steal(PyNumber_InPlaceAdd(current.ptr(), offset.ptr())));
    self.attr(interned("_invalidate_caches"))();
    return py::none();
}

// Rounds the centroid to the nearest integers (ties to even) and moves by
// the difference to (x, y).
py::object move_centroid_to(Args& a) {
    py::handle self = a[0];
    py::object intp = global("_np").attr(interned("intp"));
    py::object rint = global("_np").attr(interned("rint"));
    py::object int_centroid = intp(rint(self.attr(interned("centroid"))));
    py::object x_offset = sub(a[1], subscript(int_centroid, py::int_(0)));
    x_offset = steal(PyNumber_Long(x_offset.ptr()));
    py::object y_offset = sub(a[2], subscript(int_centroid, py::int_(1)));
    y_offset = steal(PyNumber_Long(y_offset.ptr()));
    self.attr(interned("move_offset"))(x_offset, y_offset);
    return py::none();
}

// ---- make_mask ----

// OpenCV images have at most 512 channels and its drawing colours at most
// four values, so a colour for more channels fails in drawContours whatever
// its length; building it no longer than this keeps an absurd channel count
// from allocating a list of billions of items first.
constexpr Py_ssize_t kMaxColourValues = 513;

// `value` for a two-dimensional mask, else [value] * shape[-1].
py::object colour(py::handle shape, bool two_dims, long value) {
    if (two_dims) return py::int_(value);
    py::object channels = subscript(shape, py::int_(-1));
    if (PyIndex_Check(channels.ptr())) {
        Py_ssize_t n = PyNumber_AsSsize_t(channels.ptr(), nullptr);
        if (n == -1 && PyErr_Occurred()) throw_error_already_set();
        if (n > kMaxColourValues) channels = py::int_(kMaxColourValues);
    }
    py::list one;
    one.append(py::int_(value));
    return mul(one, channels);
}

Py_ssize_t length_of(py::handle sequence) {
    Py_ssize_t n = PyObject_Size(sequence.ptr());
    if (n < 0) throw_error_already_set();
    return n;
}

// 0 <= values < limit, element-wise.
py::object within(py::handle values, py::handle limit) {
    py::object low = rich_compare(values, py::int_(0), Py_GE);
    py::object high = rich_compare(values, limit, Py_LT);
    return steal(PyNumber_And(low.ptr(), high.ptr()));
}

// Sets the pixels at the stored points (not the line between them) to
// `value`. Points outside the mask are skipped: indexing with them would
// paint the opposite side (negative coordinates) or fail half-way.
void paint_points(py::handle mask, py::handle co, py::handle value) {
    py::object ys = column(co, 1);
    py::object xs = column(co, 0);
    py::object shape = mask.attr(interned("shape"));
    py::object rows = subscript(shape, py::int_(0));
    py::object cols = subscript(shape, py::int_(1));
    py::object inside = steal(PyNumber_And(within(ys, rows).ptr(), within(xs, cols).ptr()));
    assign(mask, py::make_tuple(subscript(ys, inside), subscript(xs, inside)), value);
}

py::object edge_process(const char* name) {
    return global("Contour").attr(interned("MaskEdgeProcess")).attr(interned(name));
}

py::object make_mask(Args& a) {
    py::handle self = a[0], shape = a[1], invert = a[2], thickness = a[3], edge = a[4];
    if (assertions_enabled()) assert_that(length_of(shape) >= 2, "Invalid shape");
    py::object zeros = global("_np").attr(interned("zeros"));
    py::object mask = zeros(shape, py::arg("dtype") = global("_np").attr(interned("ubyte")));
    bool two_dims = length_of(shape) == 2;
    py::object white = colour(shape, two_dims, 255);
    py::object black = colour(shape, two_dims, 0);
    py::object draw = global("_cv").attr(interned("drawContours"));
    py::list contours;
    contours.append(points_of(self));
    check_drawable(mask);
    draw(mask, contours, 0, py::arg("color") = white, py::arg("thickness") = thickness);
    if (compare(edge, edge_process("NoProcess"), Py_NE)) {
        py::object co = points_of(self).attr(interned("reshape"))(-1, 2);
        py::object value = compare(edge, edge_process("Erase"), Py_EQ) ? black : white;
        paint_points(mask, co, value);
    }
    if (truthy(invert)) mask = global("_cv").attr(interned("bitwise_not"))(mask);
    return mask;
}

// ---- the class ----

py::object make_mask_edge_process() {
    ClassBuilder cls("MaskEdgeProcess", kSource, py::tuple(), "Contour");
    cls.doc("What make_mask does with the pixels at the contour's own points.")
        .attribute("NoProcess", py::int_(0))
        .attribute("Erase", py::int_(1))
        .attribute("Fill", py::int_(2));
    return cls.build();
}

py::object make_contour() {
    py::object edge_process = make_mask_edge_process();
    ClassBuilder cls("Contour", kSource);
    cls.doc("One contour array with cached geometric measures, masks and moves.")
        .attribute("MaskEdgeProcess", edge_process)
        .method({"__init__", {{"self"}, {"contour"}}, contour_init})
        .method({"_invalidate_caches", {{"self"}}, invalidate_caches})
        .property({"points", stored<kContour>})
        .property({"area", cached_measure<kArea, kContourArea>})
        .property({"length", length})
        .property({"moments", cached_measure<kMoments, kMomentsFunction>})
        .property({"centroid", centroid})
        .property({"direction", direction})
        .property({"min_enclosing_circle", cached_measure<kCircle, kMinEnclosingCircle>})
        .property({"bounding_rectangle", cached_measure<kBoundingRect, kBoundingRectFunction>})
        .property({"min_area_rectangle", cached_measure<kMinAreaRect, kMinAreaRectFunction>})
        .property({"is_counterclockwise", is_counterclockwise})
        .property({"is_clockwise", is_clockwise})
        .method({"reverse", {{"self"}}, reverse})
        .property({"copy", copy})
        .property({"reverse_copy", reverse_copy})
        .method({"make_mask",
                 {{"self"},
                  {"shape"},
                  {"invert", Hint::Any, py::bool_(false)},
                  {"thickness", Hint::Int, global("cv2").attr(interned("FILLED"))},
                  {"edge", Hint::Any, edge_process.attr(interned("NoProcess"))}},
                 make_mask})
        .property({"min_rotating_image_width", min_rotating_image_width, Ret::Int, nullptr, Hint::Any, "value",
                   "The side of the smallest square that lets the contour rotate through 360 degrees without loss."})
        .method({"move_offset", {{"self"}, {"x_offset", Hint::Int}, {"y_offset", Hint::Int}}, move_offset,
                 Ret::Any, false, "Translate the whole contour by the given offset."})
        .method({"move_centroid_to", {{"self"}, {"x", Hint::Int}, {"y", Hint::Int}}, move_centroid_to, Ret::Any,
                 false, "Translate the whole contour so that its centroid is at about the given coordinate."});
    return cls.build();
}

}  // namespace

void register_contour_class(Registry& registry) { registry.add("Contour", make_contour); }

}  // namespace qlo
