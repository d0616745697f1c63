// Image chain nodes that crop, split, convert, scale and pad the previous
// node's image, and the blend of two chains into a new root.
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

using chain::call_on_previous;
using chain::lazy_param;
using chain::node_init;
using chain::previous_image;

constexpr const char* kSource = "src/chain/transforms.cpp";

constexpr char kRegion[] = "_ImageROI__region";
constexpr char kRoiCopy[] = "_ImageROI__copy";
constexpr char kChannelIndex[] = "_ImageChannelSplitter__channel_index";
constexpr char kCvtCode[] = "_ImageColorConverter__cvt_code";
// ImageScaling and ImageMakingBorder keep their parameters as plain public
// attributes: assigning one does not empty the cache.
constexpr char kSize[] = "size";
constexpr char kFx[] = "fx";
constexpr char kFy[] = "fy";
constexpr char kInterpolation[] = "interpolation";
constexpr char kTop[] = "top";
constexpr char kBottom[] = "bottom";
constexpr char kLeft[] = "left";
constexpr char kRight[] = "right";
constexpr char kBorderMode[] = "border_mode";
constexpr char kBorderValue[] = "border_value";

// ---- add_weighted ----

// Blends two chains' images into a new root node that does not refer back to them.
py::object add_weighted(Args& a) {
    py::object blend = global("_cv").attr(interned("addWeighted"));
    py::object first = a[0].attr(interned("image"));
    py::object second = a[2].attr(interned("image"));
    py::object image = blend(first, a[1], second, a[3], a[4]);
    return global("ImageFromNDArray")(image);
}

py::object make_add_weighted() {
    return module_function({"add_weighted",
                            {{"image1"},
                             {"weight1", Hint::Float},
                             {"image2"},
                             {"weight2", Hint::Float},
                             {"gamma", Hint::Float}},
                            add_weighted}, kSource);
}

// ---- ImageROI ----

// prev[y1:y2, x1:x2]: a view sharing memory with the previous image unless a
// copy was asked for.
py::object roi_result(Args& a) {
    auto [x1, y1, x2, y2] = unpack<4>(a[0].attr(interned(kRegion)));
    py::object prev = previous_image(a[0]);
    py::object rows = steal(PySlice_New(y1.ptr(), y2.ptr(), nullptr));
    py::object cols = steal(PySlice_New(x1.ptr(), x2.ptr(), nullptr));
    py::object roi = steal(PyObject_GetItem(prev.ptr(), py::make_tuple(rows, cols).ptr()));
    if (truthy(a[0].attr(interned(kRoiCopy)))) return roi.attr(interned("copy"))();
    return roi;
}

py::object roi_is_view(Args& a) { return py::bool_(!truthy(a[0].attr(interned(kRoiCopy)))); }

py::object make_image_roi() {
    ClassBuilder cls("ImageROI", kSource, chain::chain_bases());
    cls.method({"__init__",
                {{"self"}, {"previous"}, {"region"}, {"copy", Hint::Any, py::bool_(false)}, lazy_param()},
                node_init<kRegion, kRoiCopy>})
        .generate_result(roi_result)
        .property({"changes_affect_previous", roi_is_view});
    return cls.build();
}

// ---- ImageChannelSplitter ----

py::object splitter_result(Args& a) {
    py::object split = global("_cv").attr(interned("split"));
    py::object channels = split(previous_image(a[0]));
    py::object index = a[0].attr(interned("channel_index"));
    return steal(PyObject_GetItem(channels.ptr(), index.ptr()));
}

// One independent root node per channel of a plain array.
py::object split_all(Args& a) {
    py::object channels = global("_cv").attr(interned("split"))(a[0]);
    py::list nodes;
    for (py::handle channel : channels) nodes.append(global("ImageFromNDArray")(channel, py::arg("lazy") = a[1]));
    return std::move(nodes);
}

// Only a non-negative index may be set; the cache keeps the old channel
// until the node is invalidated.
py::object set_channel_index(Args& a) {
    if (assertions_enabled()) {
        int non_negative = PyObject_RichCompareBool(a[1].ptr(), py::int_(0).ptr(), Py_GE);
        if (non_negative < 0) throw_error_already_set();
        assert_that(non_negative == 1);
    }
    py::setattr(a[0], interned(kChannelIndex), a[1]);
    return py::none();
}

py::object make_channel_splitter() {
    ClassBuilder cls("ImageChannelSplitter", kSource, chain::chain_bases());
    cls.method({"__init__",
                {{"self"}, {"previous"}, {"channel_index", Hint::Int, py::int_(0)}, lazy_param()},
                node_init<kChannelIndex>})
        .generate_result(splitter_result)
        .static_method({"split_all", {{"image"}, lazy_param()}, split_all, Ret::List})
        .property({"channel_index", stored<kChannelIndex>, Ret::Any, set_channel_index, Hint::Int});
    return cls.build();
}

// ---- ImageColorConverter ----

py::object converter_result(Args& a) { return call_on_previous(a[0], "cvtColor", {"cvt_code"}); }

py::object make_color_converter() {
    ClassBuilder cls("ImageColorConverter", kSource, chain::chain_bases());
    cls.method({"__init__", {{"self"}, {"image_prev"}, {"cvt_code", Hint::Int}, lazy_param()}, node_init<kCvtCode>})
        .generate_result(converter_result)
        .property({"cvt_code", stored<kCvtCode>, Ret::Int, chain::store_and_invalidate<kCvtCode>, Hint::Int});
    return cls.build();
}

// ---- ImageScaling ----

// None values go through as they are, so OpenCV chooses between an explicit
// size and scale factors.
py::object scaling_result(Args& a) {
    return call_on_previous(a[0], "resize", {},
                            {{"dsize", kSize}, {"fx", kFx}, {"fy", kFy}, {"interpolation", kInterpolation}});
}

py::object make_image_scaling() {
    ClassBuilder cls("ImageScaling", kSource, chain::chain_bases());
    cls.method({"__init__",
                {{"self"},
                 {"previous"},
                 {"size", Hint::Any, py::none()},
                 {"fx", Hint::Any, py::none()},
                 {"fy", Hint::Any, py::none()},
                 {"interpolation", Hint::Any, global("_cv").attr(interned("INTER_LINEAR"))},
                 lazy_param()},
                node_init<kSize, kFx, kFy, kInterpolation>})
        .generate_result(scaling_result);
    return cls.build();
}

// ---- ImageMakingBorder ----

// The border value goes by keyword: copyMakeBorder's seventh positional
// parameter is the destination. Without a value OpenCV pads with its default.
py::object border_result(Args& a) {
    py::object make_border = global("_cv").attr(interned("copyMakeBorder"));
    py::tuple args(6);
    args[0] = previous_image(a[0]);
    std::size_t i = 1;
    for (const char* attr : {kTop, kBottom, kLeft, kRight, kBorderMode}) args[i++] = a[0].attr(interned(attr));
    py::object value = a[0].attr(interned(kBorderValue));
    py::dict kwargs;
    if (!value.is_none()) kwargs[interned("value")] = value;
    return steal(PyObject_Call(make_border.ptr(), args.ptr(), kwargs.ptr()));
}

py::object make_making_border() {
    ClassBuilder cls("ImageMakingBorder", kSource, chain::chain_bases());
    cls.method({"__init__",
                {{"self"},
                 {"previous"},
                 {"top", Hint::Int},
                 {"bottom", Hint::Int},
                 {"left", Hint::Int},
                 {"right", Hint::Int},
                 {"border_mode", Hint::Int},
                 {"border_value", Hint::Int, py::none()},
                 lazy_param()},
                node_init<kTop, kBottom, kLeft, kRight, kBorderMode, kBorderValue>})
        .generate_result(border_result);
    return cls.build();
}

}  // namespace

void register_transforms(Registry& registry) {
    registry.add("add_weighted", make_add_weighted);
    registry.add("ImageROI", make_image_roi);
    registry.add("ImageChannelSplitter", make_channel_splitter);
    registry.add("ImageColorConverter", make_color_converter);
    registry.add("ImageScaling", make_image_scaling);
    registry.add("ImageMakingBorder", make_making_border);
}

}  // namespace qlo
