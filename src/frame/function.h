// The module's native function type: a vectorcall callable that binds like a
// Python function when placed in a class, carries __name__, __qualname__,
// __module__, __doc__ and __signature__, and adds a traceback entry named
// "qlo_cv.<qualname>" to every exception leaving it.
#pragma once

#include <string>

#include "frame/signature.h"

namespace qlo {

using Impl = py::object (*)(Args& args);

struct FunctionSpec {
    const char* name;
    std::vector<Param> params;
    Impl impl;
    Ret returns = Ret::Any;
    bool star_args = false;  // accepts and ignores *args, **kwargs
    const char* doc = nullptr;
};

// Makes a function object. `qualname` is "name" for module functions and
// "Class.name" for methods; `source` names the file for traceback entries.
py::object make_function(const FunctionSpec& spec, const std::string& qualname, const char* source);

// A module-level function: its qualified name is its name.
inline py::object module_function(const FunctionSpec& spec, const char* source) {
    return make_function(spec, spec.name, source);
}

// Module layer only: readies the type at import.
void ready_function_type();

}  // namespace qlo
