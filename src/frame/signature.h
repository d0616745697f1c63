// Declarative signatures: parameter names, defaults evaluated once when the
// function is made, enforced hint kinds, and the checked return kind. One
// binder turns a vectorcall into bound values with the module's exact
// binding and hint error texts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frame/object.h"

namespace qlo {

// Hint kinds that are enforced on entry. Every other hint is documentation only.
enum class Hint : std::uint8_t {
    Any,       // not checked
    Int,       // exactly int (None too when the default is None)
    Str,       // exactly str (None too when the default is None)
    Float,     // converted to float; any real number
    OptInt,    // None or exactly int
    OptFloat,  // None or exactly float
    OptTuple,  // None or exactly tuple
    List,      // exactly list (None too when the default is None)
    Tuple,     // exactly tuple (None too when the default is None)
};

// Returns hinted with a built-in type are checked: exactly that type or None.
enum class Ret : std::uint8_t { Any, Int, Str, List, Tuple };

struct Param {
    const char* name;
    Hint hint = Hint::Any;
    py::object fallback = {};  // the default value; null when the parameter is required
};

constexpr std::size_t kMaxParams = 16;

// The bound arguments of one call, in parameter order, defaults filled in and
// hints applied.
class Args {
public:
    py::handle operator[](std::size_t i) const { return values_[i]; }
    py::object get(std::size_t i) const { return values_[i]; }

private:
    friend class Signature;
    py::object values_[kMaxParams];
};

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
