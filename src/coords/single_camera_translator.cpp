// Robot X/Y travel from camera displacement, for one camera that sees the
// target: a 2 x 2 calibration learned from the target seen at both ends of a
// robot X move and of a robot Y move, used backwards to find the robot move
// that carries a point from one camera position to another.
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

constexpr const char* kSource = "src/coords/single_camera_translator.cpp";
constexpr char kMatrix[] = "_SingleCameraInternalTargetTranslator__matrix";

py::list pair(py::handle a, py::handle b) {
    py::list out(2);
    out[0] = a;
    out[1] = b;
    return out;
}

// Row 1 of the matrix is the camera displacement per unit of robot X travel,
// row 2 per unit of robot Y travel. The observations are taken at -delta and
// +delta, hence the halving.
py::object translator_init(Args& a) {
    py::handle self = a[0], camera_coordinates = a[1];
    py::object delta_r_x = a.get(2), delta_r_y = a.get(3);
    if (delta_r_y.is_none()) delta_r_y = delta_r_x;
    auto [p1, p2, p3, p4] = unpack<4>(camera_coordinates);
    auto [cx_1, cy_1] = unpack<2>(p1);
    auto [cx_2, cy_2] = unpack<2>(p2);
    auto [cx_3, cy_3] = unpack<2>(p3);
    auto [cx_4, cy_4] = unpack<2>(p4);
    py::int_ two(2);
    py::object delta_cx_x = divide(sub(cx_2, cx_1), two);
    py::object delta_cy_x = divide(sub(cy_2, cy_1), two);
    py::object delta_cx_y = divide(sub(cx_4, cx_3), two);
    py::object delta_cy_y = divide(sub(cy_4, cy_3), two);
    py::object a11 = checked_divide(delta_cx_x, delta_r_x);
    py::object a21 = checked_divide(delta_cx_y, delta_r_y);
    py::object a12 = checked_divide(delta_cy_x, delta_r_x);
    py::object a22 = checked_divide(delta_cy_y, delta_r_y);
    py::object array = global("_np").attr("array");
    py::setattr(self, interned(kMatrix), array(pair(pair(a11, a12), pair(a21, a22))));
    return py::none();
}

// The robot move r with matrix . r = destination - source (camera pixels).
py::object translator_translate(Args& a) {
    py::handle self = a[0];
    auto [cx_s, cy_s] = unpack<2>(head(a[1], 2));
    auto [cx_d, cy_d] = unpack<2>(head(a[2], 2));
    py::object b1 = sub(cx_d, cx_s);
    py::object b2 = sub(cy_d, cy_s);
    py::object b = global("_np").attr("array")(pair(b1, b2));
    py::object solve = global("_np").attr("linalg").attr("solve");
    py::object matrix = self.attr("matrix");
    return solve(matrix, b);
}

py::object make_single_camera_translator() {
    ClassBuilder cls("SingleCameraInternalTargetTranslator", kSource);
    cls.doc("Robot X/Y moves from camera displacements for one camera that sees the target (see the formula "
            "document on single-camera translation conversion).")
        .method({"__init__",
                 {{"self"}, {"camera_coordinates"}, {"delta_r_x", Hint::Float}, {"delta_r_y", Hint::OptFloat, py::none()}},
                 translator_init})
        .property({"matrix", stored<kMatrix>})
        .method({"translate", {{"self"}, {"source"}, {"destination"}}, translator_translate, Ret::Any, false,
                 "The relative robot displacement needed from the source position to the destination position, "
                 "both in camera coordinates."});
    return cls.build();
}

}  // namespace

void register_single_camera_translator(Registry& registry) {
    registry.add("SingleCameraInternalTargetTranslator", make_single_camera_translator);
}

}  // namespace qlo
