// Camera calibration from matched calibration-board points, run once when the
// object is made, and undistortion of images of the calibrated size, cropped
// to the region where every pixel is valid. Also carries a user-set image
// scale (pixels per millimetre) with a validity flag.
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

constexpr const char* kSource = "src/coords/camera_calibration.cpp";
constexpr char kRejectionError[] = "_CameraCalibrationData__rejection_error";
constexpr char kShape[] = "_CameraCalibrationData__shape";
constexpr char kCameraMatrix[] = "_CameraCalibrationData__camera_matrix";
constexpr char kDistortion[] = "_CameraCalibrationData__distort_coefficients";
constexpr char kNewCameraMatrix[] = "_CameraCalibrationData__new_camera_matrix";
constexpr char kRoi[] = "_CameraCalibrationData__roi";
constexpr char kRealPoints[] = "_CameraCalibrationData__real_points";
constexpr char kImagePoints[] = "_CameraCalibrationData__image_points";
constexpr char kFlags[] = "_CameraCalibrationData__flags";
constexpr char kCriteria[] = "_CameraCalibrationData__criteria";
constexpr char kPpmm[] = "_CameraCalibrationData__ppmm";

// OpenCV takes image sizes as (width, height).
py::object calibration_init(Args& a) {
    py::handle self = a[0], real_points = a[1], image_points = a[2], shape = a[3], flags = a[4], criteria = a[5];
    auto [height, width] = unpack<2>(head(shape, 2));
    py::object calibrate = global("_cv").attr("calibrateCamera");
    py::object calibrated = calibrate(real_points, image_points, py::make_tuple(width, height), py::none(), py::none(),
                                      "flags"_a = flags, "criteria"_a = criteria);
    auto [rejection_error, matrix, distort_coefficients, r_vecs, t_vecs] = unpack<5>(calibrated);
    py::object optimal = global("_cv").attr("getOptimalNewCameraMatrix");
    py::tuple size = py::make_tuple(width, height);
    // alpha = 1 keeps every source pixel; the new image has the input's size.
    auto [new_camera_matrix, roi] = unpack<2>(optimal(matrix, distort_coefficients, size, py::int_(1), size));
    py::setattr(self, interned(kRejectionError), rejection_error);
    py::setattr(self, interned(kShape), shape);
    py::setattr(self, interned(kCameraMatrix), matrix);
    py::setattr(self, interned(kDistortion), distort_coefficients);
    py::setattr(self, interned(kNewCameraMatrix), new_camera_matrix);
    py::setattr(self, interned(kRoi), roi);
    py::setattr(self, interned(kRealPoints), real_points);
    py::setattr(self, interned(kImagePoints), image_points);
    py::setattr(self, interned(kFlags), flags);
    py::setattr(self, interned(kCriteria), criteria);
    py::setattr(self, interned(kPpmm), py::float_(-1.0));
    return py::none();
}

py::object shape(Args& a) { return head(a[0].attr(interned(kShape)), 2); }

py::object ppmm_is_valid(Args& a) {
    py::object ppmm = a[0].attr(interned(kPpmm));
    return rich_compare(ppmm, py::int_(0), Py_GT);
}

// Images of another size than the calibrated one are refused (an assertion,
// so skipped under -O, where OpenCV then undistorts whatever it is given).
void check_size(py::handle self, py::handle image) {
    py::object size = head(image.attr("shape"), 2);
    if (compare(size, self.attr("shape"), Py_EQ)) return;
    py::object expected = py::str(self.attr("shape"));
    py::object got = py::str(head(image.attr("shape"), 2));
    py::object message = py::str("Image size is not fit. Expected: ") + expected + py::str(", got: ") + got;
    PyErr_SetObject(builtins().AssertionError.ptr(), message.ptr());
    throw_error_already_set();
}

// The undistorted image cropped to roi: a view into the full result.
py::object undistort(Args& a) {
    py::handle self = a[0], image = a[1];
    if (assertions_enabled()) check_size(self, image);
    py::object undistort = global("_cv").attr("undistort");
    py::object undistorted = undistort(image, self.attr("camera_matrix"), self.attr("distort_coefficients"), py::none(),
                                       self.attr("new_camera_matrix"));
    auto [x, y, w, h] = unpack<4>(self.attr("roi"));
    py::object rows = steal(PySlice_New(y.ptr(), add(y, h).ptr(), nullptr));
    py::object cols = steal(PySlice_New(x.ptr(), add(x, w).ptr(), nullptr));
    return item(undistorted, py::make_tuple(rows, cols));
}

py::object make_camera_calibration_data() {
    ClassBuilder cls("CameraCalibrationData", kSource);
    cls.doc("Holds the calibration data obtained by calibrating the camera with a calibration board and uses them "
            "to provide an undistortion service.")
        .method({"__init__",
                 {{"self"},
                  {"real_points"},
                  {"image_points"},
                  {"shape"},
                  {"flags", Hint::OptInt, py::none()},
                  {"criteria", Hint::OptTuple, py::none()}},
                 calibration_init})
        .property({"rejection_error", stored<kRejectionError>})
        .property({"camera_matrix", stored<kCameraMatrix>})
        .property({"new_camera_matrix", stored<kNewCameraMatrix>})
        .property({"distort_coefficients", stored<kDistortion>})
        .property({"roi", stored<kRoi>})
        .property({"shape", shape})
        .property({"ppmm", stored<kPpmm>, Ret::Any, store<kPpmm>, Hint::Float})
        .property({"ppmm_is_valid", ppmm_is_valid})
        .method({"undistort", {{"self"}, {"image"}}, undistort, Ret::Any, false,
                 "The undistorted image, cropped to the region of valid pixels (a view)."});
    return cls.build();
}

}  // namespace

void register_camera_calibration(Registry& registry) {
    registry.add("CameraCalibrationData", make_camera_calibration_data);
}

}  // namespace qlo
