// Shapes of an inspection region: a base Shape that draws nothing, and the
// Rectangle and Triangle that fill themselves. Their coordinates come from a
// short text of name=value pairs; applied to an image as a mask, a shape
// keeps only its inside (colour 255) or blanks it (colour 0).
#include "frame/buffer.h"
#include "frame/class_builder.h"
#include "frame/globals.h"
#include "frame/object.h"
#include "frame/operators.h"
#include "frame/signature.h"
#include "frame/unpack.h"
#include "regions/register.h"
#include "regions/shared_steps.h"

namespace qlo {

namespace {

constexpr const char* kSource = "src/regions/shapes.cpp";

// ---- Shape ----

py::object shape_init(Args& a) {
    py::setattr(a[0], interned("name"), a[1]);
    return py::none();
}

// Sets one attribute per comma-separated name=value token; the value is
// parsed with int() and the name is kept exactly as split (inner spaces
// included). Tokens set before a bad one stay set.
py::object create_from_string(Args& a) {
    py::handle self = a[0];
    py::object tokens = a[1].attr(interned("split"))(py::str(","));
    for (py::handle token : tokens) {
        py::object stripped = token.attr(interned("strip"))();
        auto [name, text] = unpack<2>(stripped.attr(interned("split"))(py::str("=")));
        py::object value = steal(PyNumber_Long(text.ptr()));
        if (PyObject_SetAttr(self.ptr(), name.ptr(), value.ptr()) != 0) throw_error_already_set();
    }
    return py::none();
}

py::object draw_nothing(Args&) { return py::none(); }

// The colour to draw into `mask`: an int colour drawn into an image with
// channels would fill the first channel only, so on a mask of 2 to 4
// channels it is repeated per channel. Masks of other shapes get the colour
// as given.
py::object colour_for(py::handle mask, py::handle color) {
    PyObject* shape = PyObject_GetAttr(mask.ptr(), interned("shape").ptr());
    if (!shape) {
        PyErr_Clear();  // not an array: drawing reports what is wrong with it
        return py::reinterpret_borrow<py::object>(color);
    }
    py::object dims = steal(shape);
    if (!PyTuple_Check(dims.ptr()) || PyTuple_GET_SIZE(dims.ptr()) != 3)
        return py::reinterpret_borrow<py::object>(color);
    long channels = PyLong_AsLong(PyTuple_GET_ITEM(dims.ptr(), 2));
    if (channels == -1 && PyErr_Occurred()) throw_error_already_set();
    if (channels < 2 || channels > 4) return py::reinterpret_borrow<py::object>(color);
    py::tuple repeated(channels);
    for (long c = 0; c < channels; ++c) repeated[c] = color;
    return repeated;
}

// Masks `image` in place with the shape: colour 255 keeps only the inside,
// colour 0 blanks it. A caller's mask is filled with color ^ 255 first
// unless that is 0, when its old contents stay outside the shape.
py::object shape_apply(Args& a) {
    py::handle self = a[0], image = a[1], color = a[2];
    py::object mask = a.get(3);
    if (mask.is_none()) mask = regions::blank_mask(image);
    py::int_ white(255), zero(0);
    py::object m = steal(PyNumber_Xor(color.ptr(), white.ptr()));
    if (compare(m, zero, Py_NE)) regions::fill(mask, m);
    py::object draw = self.attr(interned("draw"));
    draw(mask, colour_for(mask, color));
    global("_cv").attr(interned("bitwise_and"))(image, mask, image);
    return py::none();
}

py::object make_shape() {
    ClassBuilder cls("Shape", kSource);
    cls.method({"__init__", {{"self"}, {"name"}}, shape_init})
        .method({"create_from_string", {{"self"}, {"args"}}, create_from_string})
        .method({"draw", {{"self"}, {"image"}, {"color"}}, draw_nothing})
        .method({"apply", {{"self"}, {"image"}, {"color"}, {"mask", Hint::Any, py::none()}}, shape_apply});
    return cls.build();
}

// ---- Rectangle and Triangle ----

// Shape.__init__(self, name), then each coordinate set to 0 in order.
template <std::size_t N>
py::object init_corners(Args& a, const char* const (&names)[N]) {
    global("Shape").attr(interned("__init__"))(a[0], a[1]);
    for (const char* name : names) py::setattr(a[0], interned(name), py::int_(0));
    return py::none();
}

constexpr const char* kRectangleCorners[] = {"x1", "y1", "x2", "y2"};
constexpr const char* kTriangleCorners[] = {"x1", "y1", "x2", "y2", "x3", "y3"};

py::object rectangle_init(Args& a) { return init_corners(a, kRectangleCorners); }

py::object triangle_init(Args& a) { return init_corners(a, kTriangleCorners); }

py::object point(py::handle self, const char* x, const char* y, bool as_list) {
    py::object vx = self.attr(interned(x));
    py::object vy = self.attr(interned(y));
    if (!as_list) return py::make_tuple(vx, vy);
    py::list pair;
    pair.append(vx);
    pair.append(vy);
    return pair;
}

// Filled between the corners (x1, y1) and (x2, y2), both included.
py::object rectangle_draw(Args& a) {
    py::handle self = a[0];
    py::object rectangle = global("_cv").attr(interned("rectangle"));
    py::object first = point(self, "x1", "y1", false);
    py::object second = point(self, "x2", "y2", false);
    py::object colour = honest_sequence(a[2]);
    py::object filled = global("_cv").attr(interned("FILLED"));
    check_drawable(a[1]);
    rectangle(a[1], first, second, colour, filled);
    return py::none();
}

py::object triangle_draw(Args& a) {
    py::handle self = a[0];
    py::list points;
    points.append(point(self, "x1", "y1", true));
    points.append(point(self, "x2", "y2", true));
    points.append(point(self, "x3", "y3", true));
    py::list polygons;
    polygons.append(points);
    py::object array = global("_np").attr(interned("array"));
    py::object pts = array(polygons, global("_np").attr(interned("int32")));
    py::object fill_poly = global("_cv").attr(interned("fillPoly"));
    py::object colour = honest_sequence(a[2]);
    check_drawable(a[1]);
    fill_poly(a[1], pts, colour);
    return py::none();
}

py::object make_rectangle() {
    ClassBuilder cls("Rectangle", kSource, py::make_tuple(global("Shape")));
    cls.method({"__init__", {{"self"}, {"name"}}, rectangle_init})
        .method({"draw", {{"self"}, {"image"}, {"color"}}, rectangle_draw});
    return cls.build();
}

py::object make_triangle() {
    ClassBuilder cls("Triangle", kSource, py::make_tuple(global("Shape")));
    cls.method({"__init__", {{"self"}, {"name"}}, triangle_init})
        .method({"draw", {{"self"}, {"image"}, {"color"}}, triangle_draw});
    return cls.build();
}

}  // namespace

void register_shapes(Registry& registry) {
    registry.add("Shape", make_shape);
    registry.add("Rectangle", make_rectangle);
    registry.add("Triangle", make_triangle);
}

}  // namespace qlo
