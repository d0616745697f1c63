// The out-of-line parts of the object layer. pybind11 defines a few functions
// of its object layer in pybind11.h, which other sources do not include (see
// object.h): members of its error type (the text of what(), the release of a
// fetched error) and the makers of its shared state's types. This file
// includes it, and raising an error and making the shared state here compile
// them into the module.
#include "frame/object.h"

#include <cstdarg>

#include <pybind11/pybind11.h>

namespace qlo {

void raise_format(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw_error_already_set();
}

void ready_object_layer() { py::detail::get_internals(); }

}  // namespace qlo
