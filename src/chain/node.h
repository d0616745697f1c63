// Pieces every image chain node shares: base initialisation, the eager
// computation at construction, reading the previous image, and properties
// over a stored (name-mangled) attribute.
#pragma once

#include <initializer_list>

#include "frame/class_builder.h"
#include "frame/globals.h"
#include "frame/object.h"
#include "frame/signature.h"

namespace qlo::chain {

// ImageChainBase.__init__(self, previous), through the module global so a
// rebound base is honoured.
inline void init_base(py::handle self, py::handle previous) {
    global("ImageChainBase").attr(interned("__init__"))(self, previous);
}
inline void init_root(py::handle self) { global("ImageChainBase").attr(interned("__init__"))(self); }

// The constructor's last step: compute at once unless `lazy` is true.
inline void compute_unless_lazy(py::handle self, py::handle lazy) {
    if (!truthy(lazy)) py::setattr(self, interned("_cache"), self.attr(interned("_generate_result"))());
}

// self.previous.image
inline py::object previous_image(py::handle self) { return self.attr(interned("previous")).attr(interned("image")); }

// The bases of every node class: (ImageChainBase,), read from the module.
inline py::tuple chain_bases() { return py::make_tuple(global("ImageChainBase")); }

// The trailing `lazy: bool = False` parameter every node constructor takes.
inline Param lazy_param() { return Param{"lazy", Hint::Any, py::bool_(false)}; }

// __init__(self, previous, <one argument per Attr>, lazy): base initialisation
// with the previous node, the arguments stored under `Attrs` in order, then
// the eager computation unless lazy.
template <const char*... Attrs>
py::object node_init(Args& a) {
    init_base(a[0], a[1]);
    std::size_t i = 2;
    (py::setattr(a[0], interned(Attrs), a[i++]), ...);
    compute_unless_lazy(a[0], a[i]);
    return py::none();
}

// A keyword argument of a library call and the attribute of self giving its value.
struct Keyword {
    const char* keyword;
    const char* attr;
};

// _cv.<func>(self.previous.image, self.<args>..., <keyword>=self.<attr>...),
// evaluated as Python would: the function looked up first, then the previous
// image, then the node's own parameters in the order written.
py::object call_on_previous(py::handle self, const char* func, std::initializer_list<const char*> args,
                            std::initializer_list<Keyword> kwargs = {});

// Setter that stores the value, then empties this node's cache.
template <const char* Attr>
py::object store_and_invalidate(Args& a) {
    py::setattr(a[0], interned(Attr), a[1]);
    a[0].attr(interned("invalidate_this"))();
    return py::none();
}

// A read-write property over `Attr` whose setter stores the value and then
// empties this node's cache.
template <const char* Attr>
PropertySpec invalidating_property(const char* name, Hint setter_hint = Hint::Any) {
    return {name, stored<Attr>, Ret::Any, store_and_invalidate<Attr>, setter_hint};
}

}  // namespace qlo::chain
