// Robot moves for a part the robot carries to a goal outside the camera's
// view. Three calibration samples (the part's camera pose and the robot pose
// that put it at the goal) are solved as one 6 x 6 linear system for the 2 x 2
// robot-to-camera matrix and for the camera position the part would have at
// the goal.
#include "frame/class_builder.h"
#include "frame/globals.h"
#include "frame/object.h"
#include "frame/operators.h"
#include "frame/signature.h"
#include "frame/unpack.h"
#include "coords/arith.h"
#include "coords/register.h"

namespace qlo {

namespace {

using namespace coords;

constexpr const char* kSource = "src/coords/external_target_translator.cpp";
constexpr char kSnapping[] = "_SingleCameraExternalTargetTranslator__snapping_robot_coordinate";
constexpr char kRotation[] = "_SingleCameraExternalTargetTranslator__translator_accompanying_rotation";
constexpr char kSourceCamera[] = "_SingleCameraExternalTargetTranslator__source_camera_coordinates";
constexpr char kDestinationRobot[] = "_SingleCameraExternalTargetTranslator__destination_robot_coordinates";
constexpr char kMatrix[] = "_SingleCameraExternalTargetTranslator__translating_matrix";
constexpr char kDestinationCamera[] = "_SingleCameraExternalTargetTranslator__destination_camera_coordinate";
constexpr int kSamples = 3;

py::object np_array(py::handle value) { return global("_np").attr("array")(value); }

py::object sum(py::handle array) { return array.attr("sum")(); }

py::list row(std::initializer_list<py::handle> values) {
    py::list out;
    for (py::handle v : values) out.append(v);
    return out;
}

// b = -(each sample's camera position turned about the rotation centre by its
// own camera angle), flattened: [-x'_0, -y'_0, -x'_1, -y'_1, -x'_2, -y'_2].
py::object turned_positions(py::handle self) {
    py::object translate = self.attr(interned(kRotation)).attr("translate");
    py::object points = head_columns(self.attr(interned(kSourceCamera)), 2);
    py::object delta_cxy_rn = translate(points, column(self.attr(interned(kSourceCamera)), 2));
    delta_cxy_rn = iadd(delta_cxy_rn, head_columns(self.attr(interned(kSourceCamera)), 2));
    delta_cxy_rn = imul(delta_cxy_rn, py::int_(-1));
    return delta_cxy_rn.attr("reshape")(py::make_tuple(-1));
}

// Rows 2i and 2i+1 say (cx_d, cy_d) - M . (drx_i, dry_i) = (x'_i, y'_i) for
// sample i, with the unknowns ordered (m11, m12, m21, m22, cx_d, cy_d).
py::object sample_system(py::handle delta_rxy_n) {
    py::object matrix = global("_np").attr("empty")(py::make_tuple(6, 6));
    py::int_ zero(0), minus_one(-1);
    for (Py_ssize_t i = 0; i < kSamples; ++i) {
        auto [drx, dry] = unpack<2>(item(delta_rxy_n, i));
        set_item(matrix, py::int_(2 * i), row({drx, dry, zero, zero, minus_one, zero}));
        set_item(matrix, py::int_(2 * i + 1), row({zero, zero, drx, dry, zero, minus_one}));
    }
    return matrix;
}

py::object external_init(Args& a) {
    py::handle self = a[0], snapping = a[1];
    py::setattr(self, interned(kSnapping), np_array(snapping));
    py::setattr(self, interned(kRotation), global("TranslatorAccompanyingRotation")(a[2]));
    py::setattr(self, interned(kSourceCamera), np_array(a[3]));
    py::setattr(self, interned(kDestinationRobot), np_array(a[4]));
    auto [rx_o, ry_o, rr_o] = unpack<3>(snapping);
    // The mean over the samples of (robot goal angle + camera angle), less the snapping angle.
    py::object goal_angles = sum(column(self.attr(interned(kDestinationRobot)), 2));
    py::object camera_angles = sum(column(self.attr(interned(kSourceCamera)), 2));
    py::object cr_d = sub(divide(add(goal_angles, camera_angles), py::int_(kSamples)), rr_o);
    py::object b = turned_positions(self);
    py::object goals = head_columns(self.attr(interned(kDestinationRobot)), 2);
    py::object delta_rxy_n = sub(goals, head(self.attr(interned(kSnapping)), 2));
    py::object matrix = sample_system(delta_rxy_n);
    py::object u = global("_np").attr("linalg").attr("solve")(matrix, b);
    py::object array = global("_np").attr("array");
    py::setattr(self, interned(kMatrix), array(head(u, 4)).attr("reshape")(py::make_tuple(2, 2)));
    py::object cx_d = item(u, 4);
    py::object cy_d = item(u, 5);
    py::setattr(self, interned(kDestinationCamera), global("_np").attr("array")(row({cx_d, cy_d, cr_d})));
    return py::none();
}

// (robot X, robot Y, turn) that bring the part now seen at `pose` to the goal.
py::object external_translate(Args& a) {
    py::handle self = a[0], pose = a[1];
    py::list items = steal(PySequence_List(pose.ptr()));
    Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    if (n < 1) raise_need_more_values(n);
    py::object angle = items[n - 1];
    py::object source_coordinate = steal(PyList_GetSlice(items.ptr(), 0, n - 1));
    py::object translate = self.attr(interned(kRotation)).attr("translate");
    py::object delta_cxy_r = translate(source_coordinate, angle);
    py::object b = sub(head(self.attr(interned(kDestinationCamera)), 2), delta_cxy_r);
    b = isub(b, head(pose, 2));
    py::object solve = global("_np").attr("linalg").attr("solve");
    auto [delta_rx, delta_ry] = unpack<2>(solve(self.attr(interned(kMatrix)), b));
    py::object goal_angle = item(self.attr(interned(kDestinationCamera)), 2);
    py::object delta_rr = sub(goal_angle, item(pose, 2));
    return py::make_tuple(delta_rx, delta_ry, delta_rr);
}

py::object make_external_target_translator() {
    ClassBuilder cls("SingleCameraExternalTargetTranslator", kSource);
    cls.doc("Robot moves for a part carried by the robot to a goal outside the camera's view (see the formula "
            "document on single-camera rotation-translation conversion with the target outside the field of view).")
        .method({"__init__",
                 {{"self"},
                  {"snapping_robot_coordinate"},
                  {"rotate_center"},
                  {"source_camera_coordinates"},
                  {"destination_robot_coordinates"}},
                 external_init})
        .property({"snapping_robot_coordinate", stored<kSnapping>})
        .property({"translator_accompanying_rotation", stored<kRotation>})
        .property({"source_camera_coordinates", stored<kSourceCamera>})
        .property({"destination_camera_coordinate", stored<kDestinationCamera>})
        .property({"matrix", stored<kMatrix>})
        .method({"translate", {{"self"}, {"source_camera_coordinate"}}, external_translate});
    return cls.build();
}

}  // namespace

void register_external_target_translator(Registry& registry) {
    registry.add("SingleCameraExternalTargetTranslator", make_external_target_translator);
}

}  // namespace qlo
