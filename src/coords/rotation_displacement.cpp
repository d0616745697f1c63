// How far points move when they turn by an angle about a fixed centre:
// TranslatorAccompanyingRotation for any number of points (one angle, or one
// angle per point) and calculate_translation_accompanying_rotation for one
// point between two angles. Angles are degrees, counterclockwise on screen
// positive.
#include "frame/class_builder.h"
#include "frame/function.h"
#include "frame/globals.h"
#include "frame/object.h"
#include "frame/operators.h"
#include "frame/signature.h"
#include "coords/arith.h"
#include "coords/register.h"

namespace qlo {

namespace {

using namespace coords;
using namespace pybind11::literals;

constexpr const char* kSource = "src/coords/rotation_displacement.cpp";
constexpr char kRotateCenter[] = "_TranslatorAccompanyingRotation__rotate_center";
constexpr char kDtype[] = "_TranslatorAccompanyingRotation__dtype";

// ---- TranslatorAccompanyingRotation ----

py::object rotation_init(Args& a) {
    py::handle self = a[0];
    py::setattr(self, interned(kRotateCenter), global("_np").attr("array")(a[1]));
    py::setattr(self, interned(kDtype), a[2]);
    return py::none();
}

// For every point, its position after the turn minus its position before,
// both taken relative to the centre (which cancels). Screen y points down, so
// a counterclockwise turn on screen is the negative mathematical angle.
py::object rotation_translate(Args& a) {
    py::handle self = a[0], source_coordinate = a[1], center_offset = a[3];
    py::object rotate_center = self.attr("rotate_center");
    if (!center_offset.is_none()) rotate_center = add(rotate_center, center_offset);
    py::object angle = neg(a[2]);
    py::object array = global("_np").attr("array");
    py::object src = array(source_coordinate, "dtype"_a = self.attr(interned(kDtype)));
    py::object original = src.attr("shape");
    src = src.attr("reshape")(py::make_tuple(-1, 2));
    src = isub(src, rotate_center);
    py::object key_x = column_key(0), key_y = column_key(1);
    auto [end_x, end_y] = turn_about_origin(src, angle, key_x, key_y);
    py::object empty_like = global("_np").attr("empty_like");
    py::object end_xy = empty_like(src, "dtype"_a = self.attr(interned(kDtype)));
    set_item(end_xy, key_x, end_x);
    set_item(end_xy, key_y, end_y);
    return sub(end_xy, src).attr("reshape")(original);
}

py::object make_translator_accompanying_rotation() {
    ClassBuilder cls("TranslatorAccompanyingRotation", kSource);
    cls.doc("Computes how the coordinates of points with known current 2-D coordinates change when they rotate "
            "counterclockwise by a given angle about a fixed rotation centre. Counterclockwise angles are "
            "positive, clockwise negative, in degrees.")
        .method({"__init__", {{"self"}, {"rotate_center"}, {"dtype", Hint::Any, global("_np").attr("float64")}},
                 rotation_init})
        .property({"rotate_center", stored<kRotateCenter>})
        .method({"translate", {{"self"}, {"source_coordinate"}, {"angle"}, {"center_offset", Hint::Any, py::none()}},
                 rotation_translate});
    return cls.build();
}

// ---- calculate_translation_accompanying_rotation ----

py::object calculate_translation(Args& a) {
    py::handle source_coordinate = a[0], source_angle = a[1], rotate_center = a[2], destination_angle = a[3];
    py::object cls = global("TranslatorAccompanyingRotation");
    py::object translator = cls(head(rotate_center, 2));
    py::object angle = sub(destination_angle, source_angle);
    py::object translate = translator.attr("translate");
    return translate(head(source_coordinate, 2), angle);
}

py::object make_calculate_translation() {
    return module_function({"calculate_translation_accompanying_rotation",
                            {{"source_coordinate"},
                             {"source_angle", Hint::Float},
                             {"rotate_center"},
                             {"destination_angle", Hint::Float}},
                            calculate_translation, Ret::Any, false,
                            "The displacement [dx, dy] of a point turned about rotate_center from source_angle to "
                            "destination_angle (degrees, counterclockwise positive)."},
                           kSource);
}

}  // namespace

void register_rotation_displacement(Registry& registry) {
    registry.add("calculate_translation_accompanying_rotation", make_calculate_translation);
    registry.add("TranslatorAccompanyingRotation", make_translator_accompanying_rotation);
}

}  // namespace qlo
