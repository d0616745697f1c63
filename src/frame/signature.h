// Declarative signatures: parameter names, defaults evaluated once when the
// function is made, enforced hint kinds, and the checked return kind, and the
// bound arguments a native function receives. The binder that makes them
// (frame/binder.h) is the frame's own business.
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

}  // namespace qlo
