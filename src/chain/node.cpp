#include "chain/node.h"
#include "frame/globals.h"
#include "frame/object.h"

namespace qlo::chain {

py::object call_on_previous(py::handle self, const char* func, std::initializer_list<const char*> args,
                            std::initializer_list<Keyword> kwargs) {
    py::object function = global("_cv").attr(interned(func));
    py::tuple positional(1 + args.size());
    positional[0] = previous_image(self);
    std::size_t i = 1;
    for (const char* attr : args) positional[i++] = self.attr(interned(attr));
    py::dict keywords;
    for (const Keyword& k : kwargs) keywords[interned(k.keyword)] = self.attr(interned(k.attr));
    return steal(PyObject_Call(function.ptr(), positional.ptr(), keywords.ptr()));
}

}  // namespace qlo::chain
