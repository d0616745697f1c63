#include "chain/node.h"

namespace qlo::chain {

py::object call_on_previous(py::handle self, const char* func, std::initializer_list<const char*> args,
                            std::initializer_list<Keyword> kwargs) {
    py::object function = global("_cv").attr(func);
    py::tuple positional(1 + args.size());
    positional[0] = previous_image(self);
    std::size_t i = 1;
    for (const char* attr : args) positional[i++] = self.attr(attr);
    py::dict keywords;
    for (const Keyword& k : kwargs) keywords[k.keyword] = self.attr(k.attr);
    return steal(PyObject_Call(function.ptr(), positional.ptr(), keywords.ptr()));
}

}  // namespace qlo::chain
