// Pieces every image chain node shares: base initialisation, the eager
// computation at construction, reading the previous image, and properties
// over a stored (name-mangled) attribute.
#pragma once

#include "frame/frame.h"

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

// Getter of a property over the stored attribute `Attr`.
template <const char* Attr>
py::object stored(Args& a) {
    return a[0].attr(interned(Attr));
}

// Setter that stores the value and leaves the cache alone.
template <const char* Attr>
py::object store(Args& a) {
    py::setattr(a[0], interned(Attr), a[1]);
    return py::none();
}

// Setter that stores the value, then empties this node's cache.
template <const char* Attr>
py::object store_and_invalidate(Args& a) {
    py::setattr(a[0], interned(Attr), a[1]);
    a[0].attr(interned("invalidate_this"))();
    return py::none();
}

}  // namespace qlo::chain
