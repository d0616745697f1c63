// The image chain's base class and its three simple nodes: a lazily evaluated
// pipeline where each node caches its last result until invalidated.
#include "chain/node.h"
#include "frame/class_builder.h"
#include "frame/globals.h"
#include "frame/object.h"
#include "frame/signature.h"
#include "chain/register.h"

namespace qlo {

namespace {

using chain::compute_unless_lazy;
using chain::init_base;
using chain::init_root;

constexpr const char* kSource = "src/chain/chain_core.cpp";

constexpr char kPrevious[] = "_ImageChainBase__previous";
constexpr char kName[] = "_ImageChainBase__name";
constexpr char kFilename[] = "_ImageFromFile__filename";
constexpr char kReadMode[] = "_ImageFromFile__read_mode";
constexpr char kSourceArray[] = "_ImageFromNDArray__source";
constexpr char kCopy[] = "_ImageFromNDArray__copy";

// ---- ImageChainBase ----

py::object base_init(Args& a) {
    py::setattr(a[0], interned(kPrevious), a[1]);
    py::setattr(a[0], interned("_cache"), py::none());
    py::setattr(a[0], interned(kName), py::str(""));
    return py::none();
}

py::object image_name(Args& a) {
    py::object name = a[0].attr(interned(kName));
    if (PyUnicode_Check(name.ptr()) && PyUnicode_GET_LENGTH(name.ptr()) > 0) return name;
    return py::type::handle_of(a[0]).attr(interned("__name__"));
}

py::object is_root(Args& a) { return py::bool_(a[0].attr(interned(kPrevious)).is_none()); }

py::object invalidate_this(Args& a) {
    py::setattr(a[0], interned("_cache"), py::none());
    return py::none();
}

// Clears the path back to the root, the root first and this node last.
py::object invalidate_all(Args& a) {
    py::object previous = a[0].attr(interned("previous"));
    if (truthy(previous)) previous.attr(interned("invalidate_all"))();
    a[0].attr(interned("invalidate_this"))();
    return py::none();
}

py::object no_result(Args&) { return py::none(); }

// OpenCV's reader and writer crash on a file name that has no UTF-8 form (a
// lone surrogate); encoding it here raises UnicodeEncodeError instead.
void check_encodable(py::handle filename) {
    if (PyUnicode_Check(filename.ptr()) && !PyUnicode_AsUTF8AndSize(filename.ptr(), nullptr)) {
        throw_error_already_set();
    }
}

// The cache may hold the image itself, a (image, ...) tuple or list, or a
// dict with an "image" item.
py::object image(Args& a) {
    py::object cache = a[0].attr(interned("_cache"));
    if (cache.is_none()) {
        cache = a[0].attr(interned("_generate_result"))();
        py::setattr(a[0], interned("_cache"), cache);
    }
    if (PyTuple_Check(cache.ptr()) || PyList_Check(cache.ptr())) return cache[py::int_(0)];
    if (PyDict_Check(cache.ptr())) return cache[py::str("image")];
    return cache;
}

// Writes this node's image; a writer that reports failure raises OSError
// instead of letting a lost image pass for a saved one.
py::object save(Args& a) {
    py::object img = a[0].attr(interned("image"));
    py::object filename = a.get(1);
    if (truthy(filename)) {
        if (py::isinstance(filename, global("_Path"))) filename = py::str(filename);
    } else {
        filename = a[0].attr(interned("image_name"));
    }
    check_encodable(filename);
    py::object written = global("_cv").attr(interned("imwrite"))(filename, img);
    if (!truthy(written)) raise_format(PyExc_OSError, "could not write image to '%S'", filename.ptr());
    return py::none();
}

py::object shape(Args& a) { return a[0].attr(interned("image")).attr(interned("shape")); }

py::object no_shared_memory(Args&) { return py::bool_(false); }

py::object make_image_chain_base() {
    ClassBuilder cls("ImageChainBase", kSource);
    cls.method({"__init__", {{"self"}, {"previous", Hint::Any, py::none()}}, base_init})
        .property({"image_name", image_name, Ret::Any, store<kName>, Hint::Str})
        .property({"is_root", is_root})
        .property({"previous", stored<kPrevious>})
        .method({"invalidate_this", {{"self"}}, invalidate_this})
        .method({"invalidate_all", {{"self"}}, invalidate_all})
        .generate_result(no_result)
        .property({"image", image})
        .method({"save", {{"self"}, {"filename", Hint::Any, py::str("")}}, save})
        .property({"shape", shape, Ret::Tuple})
        .property({"changes_affect_previous", no_shared_memory});
    return cls.build();
}

// ---- ImageFromFile ----

py::object from_file_init(Args& a) {
    init_root(a[0]);
    py::setattr(a[0], interned(kFilename), a[1]);
    py::setattr(a[0], interned(kReadMode), a[2]);
    compute_unless_lazy(a[0], a[3]);
    return py::none();
}

py::object from_file_result(Args& a) {
    py::object imread = global("_cv").attr(interned("imread"));
    py::object filename = a[0].attr(interned("filename"));
    // str() of anything but an exact str: a str subclass may name another path.
    if (!PyUnicode_CheckExact(filename.ptr())) filename = steal(PyObject_Str(filename.ptr()));
    check_encodable(filename);
    return imread(filename, a[0].attr(interned("read_mode")));
}

py::object make_image_from_file() {
    ClassBuilder cls("ImageFromFile", kSource, py::make_tuple(global("ImageChainBase")));
    cls.method({"__init__",
                {{"self"},
                 {"filename"},
                 {"mode", Hint::Int, global("_cv").attr(interned("IMREAD_UNCHANGED"))},
                 {"lazy", Hint::Any, py::bool_(false)}},
                from_file_init})
        .generate_result(from_file_result)
        .property({"read_mode", stored<kReadMode>, Ret::Any, chain::store_and_invalidate<kReadMode>, Hint::Int})
        .property({"filename", stored<kFilename>, Ret::Any, chain::store_and_invalidate<kFilename>,
                   Hint::Any, "filename"});
    return cls.build();
}

// ---- ImageCopy ----

py::object copy_init(Args& a) {
    init_base(a[0], a[1]);
    compute_unless_lazy(a[0], a[2]);
    return py::none();
}

py::object copy_result(Args& a) { return chain::previous_image(a[0]).attr(interned("copy"))(); }

py::object make_image_copy() {
    ClassBuilder cls("ImageCopy", kSource, py::make_tuple(global("ImageChainBase")));
    cls.method({"__init__", {{"self"}, {"previous"}, {"lazy", Hint::Any, py::bool_(false)}}, copy_init})
        .generate_result(copy_result);
    return cls.build();
}

// ---- ImageFromNDArray ----

py::object from_array_init(Args& a) {
    init_root(a[0]);
    py::setattr(a[0], interned(kSourceArray), a[1]);
    py::setattr(a[0], interned(kCopy), a[2]);
    compute_unless_lazy(a[0], a[3]);
    return py::none();
}

// The caller's own array unless a copy was asked for.
py::object from_array_result(Args& a) {
    if (truthy(a[0].attr(interned(kCopy)))) return a[0].attr(interned("source")).attr(interned("copy"))();
    return a[0].attr(interned("source"));
}

py::object make_image_from_ndarray() {
    ClassBuilder cls("ImageFromNDArray", kSource, py::make_tuple(global("ImageChainBase")));
    cls.method({"__init__",
                {{"self"}, {"image"}, {"copy", Hint::Any, py::bool_(false)}, {"lazy", Hint::Any, py::bool_(false)}},
                from_array_init})
        .property({"source", stored<kSourceArray>, Ret::Any, chain::store_and_invalidate<kSourceArray>})
        .generate_result(from_array_result);
    return cls.build();
}

}  // namespace

void register_chain_core(Registry& registry) {
    registry.add("ImageChainBase", make_image_chain_base);
    registry.add("ImageFromFile", make_image_from_file);
    registry.add("ImageCopy", make_image_copy);
    registry.add("ImageFromNDArray", make_image_from_ndarray);
}

}  // namespace qlo
