// Robot moves for a part seen by a source camera where it is picked up and by
// a destination camera where it is put down. Four calibration samples give
// the mean angle offset between the cameras and the destination camera's
// 2 x 2 matrix (camera axes by robot axes); the source camera's X/Y
// calibration is a SingleCameraInternalTargetTranslator given by the caller.
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
using namespace pybind11::literals;

constexpr const char* kSource = "src/coords/couple_camera_translator.cpp";
constexpr char kSnapping[] = "_CoupleCameraTranslator__source_snapping_robot_coordinate";
constexpr char kSourceCamera[] = "_CoupleCameraTranslator__source_camera_coordinates";
constexpr char kRobotGoals[] = "_CoupleCameraTranslator__robot_destination_coordinates";
constexpr char kDestinationCamera[] = "_CoupleCameraTranslator__destination_camera_coordinates";
constexpr char kRotator[] = "_CoupleCameraTranslator__rotator";
constexpr char kSingle[] = "_CoupleCameraTranslator__single_camera_translator";
constexpr char kAlpha[] = "_CoupleCameraTranslator__alpha";
constexpr char kMatrix[] = "_CoupleCameraTranslator__matrix";

struct Pose {
    py::object x, y, r;
};

// Four poses of exactly three values each, unpacked in order.
std::array<Pose, 4> four_poses(py::handle poses) {
    auto outer = unpack<4>(poses);
    std::array<Pose, 4> out;
    for (int i = 0; i < 4; ++i) {
        auto [x, y, r] = unpack<3>(outer[i]);
        out[i] = {x, y, r};
    }
    return out;
}

// The first two of at least two values (`x, y, *_ = item`).
std::array<py::object, 2> leading_pair(py::handle values) {
    py::list items = steal(PySequence_List(values.ptr()));
    Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    if (n < 2) raise_need_more_values(n);
    return {items[0], items[1]};
}

std::array<std::array<py::object, 2>, 4> four_robot_goals(py::handle goals) {
    auto outer = unpack<4>(goals);
    std::array<std::array<py::object, 2>, 4> out;
    for (int i = 0; i < 4; ++i) out[i] = leading_pair(outer[i]);
    return out;
}

py::list point(py::handle x, py::handle y) {
    py::list out(2);
    out[0] = x;
    out[1] = y;
    return out;
}

// Samples 1 and 2 must differ in robot X, samples 3 and 4 in robot Y, and
// sample 2 carries only its X (Y is NaN), sample 4 only its Y (X is NaN).
// Checked like assertions: only when assertions are enabled.
void validate_robot_goals(py::handle goals, const std::array<std::array<py::object, 2>, 4>& g) {
    if (!assertions_enabled()) return;
    auto math = [](const char* name) { return global("_math").attr(name); };
    bool valid = !truthy(math("isclose")(g[0][0], g[1][0])) && !truthy(math("isclose")(g[2][1], g[3][1])) &&
                 truthy(math("isnan")(g[1][1])) && truthy(math("isnan")(g[3][0]));
    if (valid) return;
    py::object message = py::str("robot_destination_coordinates is not valid: ") + py::str(goals);
    PyErr_SetObject(builtins().AssertionError.ptr(), message.ptr());
    throw_error_already_set();
}

py::object couple_init(Args& a) {
    py::handle self = a[0], source_camera = a[2], robot_goals = a[3], destination_camera = a[4];
    py::handle single = a[6];
    py::setattr(self, interned(kSnapping), a[1]);
    py::setattr(self, interned(kSourceCamera), source_camera);
    py::setattr(self, interned(kRobotGoals), robot_goals);
    py::setattr(self, interned(kDestinationCamera), destination_camera);
    py::setattr(self, interned(kRotator), global("TranslatorAccompanyingRotation")(a[5]));
    py::setattr(self, interned(kSingle), single);
    auto s = four_poses(source_camera);
    auto g = four_robot_goals(robot_goals);
    auto d = four_poses(destination_camera);
    // The robot X/Y travel that the source camera alone explains between samples.
    auto [delta_rx_s21, delta_ry_s21] = unpack<2>(single.attr("translate")(point(s[1].x, s[1].y), point(s[0].x, s[0].y)));
    auto [delta_rx_s43, delta_ry_s43] = unpack<2>(single.attr("translate")(point(s[3].x, s[3].y), point(s[2].x, s[2].y)));
    validate_robot_goals(robot_goals, g);
    py::object offsets = sub(d[0].r, s[0].r);
    for (int i = 1; i < 4; ++i) offsets = sub(add(offsets, d[i].r), s[i].r);
    py::setattr(self, interned(kAlpha), divide(offsets, py::int_(4)));
    py::object delta_rx_21 = sub(sub(g[1][0], delta_rx_s21), g[0][0]);
    py::object delta_dx_x = sub(d[1].x, d[0].x);
    py::object delta_dy_x = sub(d[1].y, d[0].y);
    py::object delta_ry_43 = sub(sub(g[3][1], delta_ry_s43), g[2][1]);
    py::object delta_dx_y = sub(d[3].x, d[2].x);
    py::object delta_dy_y = sub(d[3].y, d[2].y);
    py::object a11 = checked_divide(delta_dx_x, delta_rx_21);
    py::object a12 = checked_divide(delta_dx_y, delta_ry_43);
    py::object a21 = checked_divide(delta_dy_x, delta_rx_21);
    py::object a22 = checked_divide(delta_dy_y, delta_ry_43);
    py::object array = global("_np").attr("array");
    py::list rows;
    rows.append(point(a11, a12));
    rows.append(point(a21, a22));
    py::setattr(self, interned(kMatrix), array(rows));
    return py::none();
}

// [robot X, robot Y, turn]: the turn (destination angle - source angle - the
// cameras' offset), the move from the turned part to the first source
// calibration pose, the travel from the snapping pose to the first robot goal,
// and the move for what the destination camera wants beyond its first pose.
py::object couple_translate(Args& a) {
    py::handle self = a[0], source_coordinate = a[1], destination_coordinate = a[2];
    auto [rx_o, ry_o, rr_o] = unpack<3>(self.attr("source_snapping_robot_coordinate"));
    auto [sx, sy, sr] = unpack<3>(source_coordinate);
    auto [dx, dy, dr] = unpack<3>(destination_coordinate);
    py::object turn = sub(dr, sr);
    py::object delta_rr = sub(turn, self.attr("alpha"));
    py::object rotate = self.attr("rotator").attr("translate");
    auto [delta_sx_r, delta_sy_r] = unpack<2>(rotate(head(source_coordinate, 2), delta_rr, a[3]));
    py::object translate = self.attr("single_camera_translator").attr("translate");
    py::object turned_x = add(sx, delta_sx_r);
    py::object turned = py::make_tuple(turned_x, add(sy, delta_sy_r));
    py::object first_source = item(self.attr(interned(kSourceCamera)), 0);
    auto [delta_rx_0, delta_ry_0] = unpack<2>(translate("source"_a = turned, "destination"_a = first_source));
    auto [rx_d1, ry_d] = leading_pair(item(self.attr(interned(kRobotGoals)), 0));
    py::object delta_rx_1 = sub(rx_d1, rx_o);
    py::object delta_ry_1 = sub(ry_d, ry_o);
    auto [dx_1, dy_1] = unpack<2>(head(item(self.attr(interned(kDestinationCamera)), 0), 2));
    py::object solve = global("_np").attr("linalg").attr("solve");
    py::object matrix = self.attr("matrix");
    py::object wanted_x = sub(dx, dx_1);
    auto [delta_rx_2, delta_ry_2] = unpack<2>(solve(matrix, point(wanted_x, sub(dy, dy_1))));
    py::object delta_rx = add(add(delta_rx_0, delta_rx_1), delta_rx_2);
    py::object delta_ry = add(add(delta_ry_0, delta_ry_1), delta_ry_2);
    py::list moves;
    moves.append(delta_rx);
    moves.append(delta_ry);
    moves.append(delta_rr);
    return global("_np").attr("array")(moves);
}

py::object rotate_center(Args& a) { return a[0].attr(interned(kRotator)).attr("rotate_center"); }

py::object make_couple_camera_translator() {
    ClassBuilder cls("CoupleCameraTranslator", kSource);
    cls.doc("Robot moves for a part seen by a source camera where it is picked up and by a destination camera where "
            "it is put down (see the formula document on double-camera rotation-translation conversion).")
        .method({"__init__",
                 {{"self"},
                  {"source_snapping_robot_coordinate"},
                  {"source_camera_coordinates"},
                  {"robot_destination_coordinates"},
                  {"destination_camera_coordinates"},
                  {"rotate_center"},
                  {"single_camera_translator"}},
                 couple_init})
        .property({"alpha", stored<kAlpha>})
        .property({"rotator", stored<kRotator>})
        .property({"rotate_center", rotate_center})
        .property({"single_camera_translator", stored<kSingle>})
        .property({"matrix", stored<kMatrix>})
        .property({"source_snapping_robot_coordinate", stored<kSnapping>})
        .method({"translate",
                 {{"self"}, {"source_coordinate"}, {"destination_coordinate"}, {"rotate_center_offset", Hint::Any, py::none()}},
                 couple_translate});
    return cls.build();
}

}  // namespace

void register_couple_camera_translator(Registry& registry) {
    registry.add("CoupleCameraTranslator", make_couple_camera_translator);
}

}  // namespace qlo
