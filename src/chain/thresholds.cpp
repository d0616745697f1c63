// Image chain nodes turning a grey image into a binary (or clipped) one: a
// fixed global threshold, Otsu's global threshold (which also exposes the
// threshold it found) and a per-neighbourhood adaptive threshold. Every
// parameter setter empties the node's own cache.
#include "chain/node.h"
#include "frame/class_builder.h"
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
using chain::invalidating_property;

constexpr const char* kSource = "src/chain/thresholds.cpp";

constexpr char kSimpleType[] = "_ImageSimpleThresholding__threshold_type";
constexpr char kSimpleThreshold[] = "_ImageSimpleThresholding__threshold";
constexpr char kSimpleMax[] = "_ImageSimpleThresholding__max_value";
constexpr char kOtsuType[] = "_ImageOtsuThresholding__threshold_type";
constexpr char kOtsuMax[] = "_ImageOtsuThresholding__max_value";
constexpr char kAdaptiveMethod[] = "_ImageAdaptiveThresholding__method";
constexpr char kAdaptiveType[] = "_ImageAdaptiveThresholding__threshold_type";
constexpr char kAdaptiveMax[] = "_ImageAdaptiveThresholding__max_value";
constexpr char kAdaptiveBlock[] = "_ImageAdaptiveThresholding__block_size";
constexpr char kAdaptiveConstant[] = "_ImageAdaptiveThresholding__constant";

// ---- ImageSimpleThresholding ----

// Keeps only the image of OpenCV's (threshold, image) pair.
py::object simple_result(Args& a) {
    py::object pair = call_on_previous(a[0], "threshold", {"threshold", "max_value", "threshold_type"});
    auto [found, image] = unpack<2>(pair);
    return image;
}

py::object make_simple_thresholding() {
    ClassBuilder cls("ImageSimpleThresholding", kSource, chain::chain_bases());
    cls.method({"__init__",
                {{"self"},
                 {"previous"},
                 {"threshold_type", Hint::Int},
                 {"threshold", Hint::Int},
                 {"max_value", Hint::Int},
                 lazy_param()},
                node_init<kSimpleType, kSimpleThreshold, kSimpleMax>})
        .generate_result(simple_result)
        .property(invalidating_property<kSimpleType>("threshold_type", Hint::Int))
        .property(invalidating_property<kSimpleMax>("max_value", Hint::Int))
        .property(invalidating_property<kSimpleThreshold>("threshold", Hint::Int));
    return cls.build();
}

// ---- ImageOtsuThresholding ----

// Caches (image, threshold found): OpenCV chooses the threshold because the
// Otsu flag is OR-ed into the stored type.
py::object otsu_result(Args& a) {
    py::object threshold = global("_cv").attr(interned("threshold"));
    py::object src = chain::previous_image(a[0]);
    py::object max_value = a[0].attr(interned("max_value"));
    py::object type = a[0].attr(interned("threshold_type"));
    py::object flags = steal(PyNumber_Or(type.ptr(), global("_cv").attr(interned("THRESH_OTSU")).ptr()));
    auto [found, image] = unpack<2>(threshold(src, 0, max_value, flags));
    return py::make_tuple(image, found);
}

// Shares the cache with `image`: whichever is read first computes it, once.
py::object otsu_threshold(Args& a) {
    py::object cache = a[0].attr(interned("_cache"));
    if (!truthy(cache)) {
        cache = a[0].attr(interned("_generate_result"))();
        py::setattr(a[0], interned("_cache"), cache);
    }
    return cache[py::int_(1)];
}

py::object make_otsu_thresholding() {
    ClassBuilder cls("ImageOtsuThresholding", kSource, chain::chain_bases());
    cls.method({"__init__",
                {{"self"}, {"previous"}, {"threshold_type", Hint::Int}, {"max_value", Hint::Int}, lazy_param()},
                node_init<kOtsuType, kOtsuMax>})
        .generate_result(otsu_result)
        .property(invalidating_property<kOtsuType>("threshold_type", Hint::Int))
        .property(invalidating_property<kOtsuMax>("max_value", Hint::Int))
        .property({"threshold", otsu_threshold});
    return cls.build();
}

// ---- ImageAdaptiveThresholding ----

py::object adaptive_result(Args& a) {
    return call_on_previous(a[0], "adaptiveThreshold",
                            {"max_value", "method", "threshold_type", "block_size", "constant"});
}

py::object make_adaptive_thresholding() {
    ClassBuilder cls("ImageAdaptiveThresholding", kSource, chain::chain_bases());
    cls.method({"__init__",
                {{"self"},
                 {"previous"},
                 {"method", Hint::Int},
                 {"threshold_type", Hint::Int},
                 {"max_value", Hint::Int},
                 {"block_size", Hint::Int},
                 {"constant", Hint::Float},
                 lazy_param()},
                node_init<kAdaptiveMethod, kAdaptiveType, kAdaptiveMax, kAdaptiveBlock, kAdaptiveConstant>})
        .generate_result(adaptive_result)
        .property(invalidating_property<kAdaptiveMax>("max_value", Hint::Int))
        .property(invalidating_property<kAdaptiveMethod>("method", Hint::Int))
        .property(invalidating_property<kAdaptiveType>("threshold_type", Hint::Int))
        .property(invalidating_property<kAdaptiveBlock>("block_size", Hint::Int))
        .property(invalidating_property<kAdaptiveConstant>("constant", Hint::Float));
    return cls.build();
}

}  // namespace

void register_thresholds(Registry& registry) {
    registry.add("ImageSimpleThresholding", make_simple_thresholding);
    registry.add("ImageOtsuThresholding", make_otsu_thresholding);
    registry.add("ImageAdaptiveThresholding", make_adaptive_thresholding);
}

}  // namespace qlo
