// The binder: turns a vectorcall into bound values (Args) with the module's
// exact binding and hint error texts. Used by the native function type only;
// capabilities declare signatures (frame/signature.h) and never bind.
#pragma once

#include <string>
#include <vector>

#include "frame/signature.h"

namespace qlo {

class Signature {
public:
    Signature(std::string name, std::vector<Param> params, bool star_args, Ret returns);

    // Binds a vectorcall; raises TypeError with the module's binding texts.
    void bind(Args& out, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const;
    // Raises TypeError "Expected %s, got %.200s" when a checked return is of the wrong type.
    void check_return(py::handle result) const;
    // An inspect.Signature for introspection.
    py::object inspect_signature() const;

    const std::string& name() const { return name_; }

private:
    [[noreturn]] void raise_count(Py_ssize_t given) const;
    Py_ssize_t find_keyword(PyObject* key) const;
    void apply_hint(std::size_t i, py::object& value) const;

    std::string name_;
    std::vector<Param> params_;
    std::vector<py::object> names_;  // interned parameter names
    Py_ssize_t required_ = 0;        // parameters without a default come first
    bool star_args_;
    Ret returns_;
};

// Enforced-hint helpers, also used by code that checks values outside a call.
void check_exact(py::handle value, PyTypeObject* type, const char* param, bool none_ok);
py::object to_float(py::handle value);

}  // namespace qlo
