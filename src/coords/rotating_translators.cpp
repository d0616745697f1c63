// Translators for set-ups where the robot also turns the workpiece:
// FixRadiusRotatingTranslator (a point on a fixed lever arm about the
// rotation centre) and SingleCameraInternalTargetRotatingTranslator (a camera
// pose of a visible target brought to a stored target pose: the turn first,
// then the X/Y move that covers the rest).
#include "frame/class_builder.h"
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

constexpr const char* kSource = "src/coords/rotating_translators.cpp";
constexpr char kCenterOffset[] = "_FixRadiusRotatingTranslator__center_offset";

// ---- FixRadiusRotatingTranslator ----

py::object fix_radius_init(Args& a) {
    py::object array = global("_np").attr("array");
    py::setattr(a[0], interned(kCenterOffset), array(head(a[1], 2)));
    return py::none();
}

// The point sits at -center_offset from the centre; its displacement when
// turned by `degree` (counterclockwise on screen, so the mathematical -degree).
py::object fix_radius_translate(Args& a) {
    py::object center = mul(a[0].attr("center_offset"), py::int_(-1));
    auto [end_x, end_y] = turn_about_origin(center, neg(a[1]), py::int_(0), py::int_(1));
    py::list end(2);
    end[0] = end_x;
    end[1] = end_y;
    return sub(global("_np").attr("array")(end), center);
}

py::object make_fix_radius_rotating_translator() {
    ClassBuilder cls("FixRadiusRotatingTranslator", kSource);
    cls.method({"__init__", {{"self"}, {"center_offset"}}, fix_radius_init})
        .property({"center_offset", stored<kCenterOffset>})
        .method({"translate", {{"self"}, {"degree", Hint::Float}}, fix_radius_translate});
    return cls.build();
}

// ---- SingleCameraInternalTargetRotatingTranslator ----

py::object rotating_init(Args& a) {
    py::handle self = a[0];
    py::setattr(self, interned("translator_accompanying_rotation"), global("TranslatorAccompanyingRotation")(a[1]));
    py::setattr(self, interned("single_camera_translator"), a[2]);
    py::setattr(self, interned("target_camera_coordinate"), global("_np").attr("array")(a[3]));
    return py::none();
}

// [robot X, robot Y, turn]: the turn still needed (target angle - source
// angle), where that turn carries the target in the image, and the robot X/Y
// move from there to the target position.
py::object rotating_translate(Args& a) {
    py::handle self = a[0], source_coordinate = a[1], rotate_center_offset = a[2];
    py::object source = global("_np").attr("array")(source_coordinate);
    py::object target = self.attr("target_camera_coordinate");
    py::object target_angle = item(target, 2);
    py::object delta_rr = sub(target_angle, item(source, 2));
    py::object rotation = self.attr("translator_accompanying_rotation").attr("translate");
    py::object delta_cxy_r = rotation("source_coordinate"_a = head(source_coordinate, 2), "angle"_a = delta_rr,
                                      "center_offset"_a = rotate_center_offset);
    py::object cxy_sr = add(head(source, 2), delta_cxy_r);
    py::object translate = self.attr("single_camera_translator").attr("translate");
    py::object delta_rxy = translate("source"_a = cxy_sr, "destination"_a = self.attr("target_camera_coordinate"));
    py::object array = global("_np").attr("array");
    py::list moves = steal(PySequence_List(delta_rxy.ptr()));
    moves.append(delta_rr);
    return array(moves);
}

py::object make_rotating_translator() {
    ClassBuilder cls("SingleCameraInternalTargetRotatingTranslator", kSource);
    cls.doc("Robot X/Y moves and turn bringing a target seen by the camera to a stored camera pose (see the formula "
            "document on single-camera rotation-translation conversion with the target inside the field of view).")
        .method({"__init__",
                 {{"self"}, {"rotate_center"}, {"single_camera_translator"}, {"target_camera_coordinate"}},
                 rotating_init})
        .method({"translate", {{"self"}, {"source_coordinate"}, {"rotate_center_offset", Hint::Any, py::none()}},
                 rotating_translate});
    return cls.build();
}

}  // namespace

void register_rotating_translators(Registry& registry) {
    registry.add("FixRadiusRotatingTranslator", make_fix_radius_rotating_translator);
    registry.add("SingleCameraInternalTargetRotatingTranslator", make_rotating_translator);
}

}  // namespace qlo
