// Image chain nodes that move the previous node's image by a matrix:
// translation, rotation, affine and perspective warps. Each keeps the input's
// width and height; what moves out is lost and the uncovered part is filled
// by the border mode.
#include "chain/node.h"
#include "frame/class_builder.h"
#include "frame/function.h"
#include "frame/globals.h"
#include "frame/object.h"
#include "frame/signature.h"
#include "frame/unpack.h"
#include "chain/register.h"

namespace qlo {

namespace {

using chain::lazy_param;
using chain::node_init;
using chain::previous_image;

constexpr const char* kSource = "src/chain/warp_nodes.cpp";

constexpr char kRightMovement[] = "_ImageTranslation__right_movement";
constexpr char kDownMovement[] = "_ImageTranslation__down_movement";
constexpr char kTranslationMode[] = "_ImageTranslation__border_mode";
constexpr char kTranslationValue[] = "_ImageTranslation__border_value";
constexpr char kTranslationInterpolation[] = "_ImageTranslation__interpolation";
// The rotation and the point warps keep their parameters as plain public
// attributes: assigning one does not empty the cache.
constexpr char kSrcPoints[] = "src_points";
constexpr char kDstPoints[] = "dst_points";
constexpr char kBorderMode[] = "border_mode";
constexpr char kBorderValue[] = "border_value";
constexpr char kInterpolation[] = "interpolation";

py::object default_interpolation() { return global("_cv").attr(interned("INTER_LINEAR")); }

// warp(image, matrix, dsize, flags=self.interpolation,
// borderMode=self.border_mode, borderValue=self.border_value); `warp` is the
// OpenCV function, looked up by the caller before the image size is read.
py::object call_warp(py::handle self, py::handle warp, py::handle image, py::handle matrix, py::handle dsize) {
    py::dict kwargs;
    kwargs[interned("flags")] = self.attr(interned("interpolation"));
    kwargs[interned("borderMode")] = self.attr(interned("border_mode"));
    kwargs[interned("borderValue")] = opencv_scalar(self.attr(interned("border_value")));
    py::tuple args = py::make_tuple(image, matrix, dsize);
    return steal(PyObject_Call(warp.ptr(), args.ptr(), kwargs.ptr()));
}

// The (rows, cols) unpacking refuses multi-channel images with
// "too many values to unpack (expected 2)".
py::tuple grey_size(py::handle image) {
    auto [rows, cols] = unpack<2>(image.attr(interned("shape")));
    return py::make_tuple(cols, rows);
}

// ---- ImageTranslation ----

py::object translation_result(Args& a) {
    py::object float32 = global("_np").attr(interned("float32"));
    py::object right = a[0].attr(interned("right_translation"));
    py::object down = a[0].attr(interned("down_translation"));
    py::list rows;
    rows.append(py::list(py::make_tuple(1, 0, right)));
    rows.append(py::list(py::make_tuple(0, 1, down)));
    py::object matrix = float32(rows);
    py::object image = previous_image(a[0]);
    py::object warp_affine = global("_cv").attr(interned("warpAffine"));
    py::object width = image.attr(interned("shape"))[py::int_(1)];
    py::object height = image.attr(interned("shape"))[py::int_(0)];
    return call_warp(a[0], warp_affine, image, matrix, py::make_tuple(width, height));
}

py::object make_image_translation() {
    using chain::invalidating_property;
    ClassBuilder cls("ImageTranslation", kSource, chain::chain_bases());
    cls.method({"__init__",
                {{"self"},
                 {"previous"},
                 {"right_movement", Hint::Int},
                 {"down_movement", Hint::Int},
                 {"border_mode", Hint::Int, global("_cv").attr(interned("BORDER_REPLICATE"))},
                 {"border_value", Hint::Any, py::none()},
                 {"interpolation", Hint::Any, default_interpolation()},
                 lazy_param()},
                node_init<kRightMovement, kDownMovement, kTranslationMode, kTranslationValue,
                          kTranslationInterpolation>})
        .generate_result(translation_result)
        .property({"interpolation", stored<kTranslationInterpolation>, Ret::Any, store<kTranslationInterpolation>})
        .property(invalidating_property<kRightMovement>("right_translation", Hint::Int))
        .property(invalidating_property<kDownMovement>("down_translation", Hint::Int))
        .property(invalidating_property<kTranslationMode>("border_mode", Hint::Int))
        .property(invalidating_property<kTranslationValue>("border_value", Hint::Int));
    return cls.build();
}

// ---- ImageRotation ----

// Stores the centre as a tuple of two floats (further items ignored) and the
// angle in degrees, counter-clockwise as displayed.
py::object rotation_init(Args& a) {
    chain::init_base(a[0], a[1]);
    py::object x = steal(PyNumber_Float(a[2][py::int_(0)].ptr()));
    py::object y = steal(PyNumber_Float(a[2][py::int_(1)].ptr()));
    py::setattr(a[0], interned("center"), py::make_tuple(x, y));
    py::setattr(a[0], interned("degree"), a[3]);
    py::setattr(a[0], interned(kBorderMode), a[4]);
    py::setattr(a[0], interned(kBorderValue), a[5]);
    py::setattr(a[0], interned(kInterpolation), a[6]);
    chain::compute_unless_lazy(a[0], a[7]);
    return py::none();
}

py::object rotation_result(Args& a) {
    py::object image = previous_image(a[0]);
    py::tuple dsize = grey_size(image);
    py::object rotation_matrix = global("_cv").attr(interned("getRotationMatrix2D"));
    py::object center = a[0].attr(interned("center"));
    py::object degree = a[0].attr(interned("degree"));
    py::object matrix = rotation_matrix(center, degree, 1);
    py::object warp_affine = global("_cv").attr(interned("warpAffine"));
    return call_warp(a[0], warp_affine, image, matrix, dsize);
}

py::object make_image_rotation() {
    ClassBuilder cls("ImageRotation", kSource, chain::chain_bases());
    cls.method({"__init__",
                {{"self"},
                 {"previous"},
                 {"center"},
                 {"degree", Hint::Float},
                 {"border_mode", Hint::Int},
                 {"border_value", Hint::Int},
                 {"interpolation", Hint::Any, default_interpolation()},
                 lazy_param()},
                rotation_init})
        .generate_result(rotation_result);
    return cls.build();
}

// ---- ImageAffineTransformation, ImagePerspectiveTransformation ----

// Point pairs become 32-bit float arrays, the only point type OpenCV's
// transform estimators accept.
template <const char* Transform, const char* Warp>
py::object point_warp_result(Args& a) {
    py::object float32 = global("_np").attr(interned("float32"));
    py::object src = float32(a[0].attr(interned(kSrcPoints)));
    float32 = global("_np").attr(interned("float32"));
    py::object dst = float32(a[0].attr(interned(kDstPoints)));
    py::object transform = global("_cv").attr(interned(Transform));
    py::object matrix = transform(src, dst);
    py::object image = previous_image(a[0]);
    py::tuple dsize = grey_size(image);
    py::object warp = global("_cv").attr(interned(Warp));
    return call_warp(a[0], warp, image, matrix, dsize);
}

constexpr char kGetAffine[] = "getAffineTransform";
constexpr char kWarpAffine[] = "warpAffine";
constexpr char kGetPerspective[] = "getPerspectiveTransform";
constexpr char kWarpPerspective[] = "warpPerspective";

py::object make_point_warp(const char* name, Impl result) {
    ClassBuilder cls(name, kSource, chain::chain_bases());
    cls.method({"__init__",
                {{"self"},
                 {"previous"},
                 {"src_points"},
                 {"dst_points"},
                 {"border_mode", Hint::Int},
                 {"border_value", Hint::Int},
                 {"interpolation", Hint::Any, default_interpolation()},
                 lazy_param()},
                node_init<kSrcPoints, kDstPoints, kBorderMode, kBorderValue, kInterpolation>})
        .generate_result(result);
    return cls.build();
}

py::object make_affine_transformation() {
    return make_point_warp("ImageAffineTransformation", point_warp_result<kGetAffine, kWarpAffine>);
}

py::object make_perspective_transformation() {
    return make_point_warp("ImagePerspectiveTransformation", point_warp_result<kGetPerspective, kWarpPerspective>);
}

}  // namespace

void register_warp_nodes(Registry& registry) {
    registry.add("ImageTranslation", make_image_translation);
    registry.add("ImageRotation", make_image_rotation);
    registry.add("ImageAffineTransformation", make_affine_transformation);
    registry.add("ImagePerspectiveTransformation", make_perspective_transformation);
}

}  // namespace qlo
