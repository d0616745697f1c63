// Unpacking a sequence into a fixed number of values, with the module's
// error texts ("too many values to unpack (expected 4)",
// "need more than 2 values to unpack").
#pragma once

#include <array>

#include "frame/object.h"

namespace qlo {

[[noreturn]] void raise_too_many_values(Py_ssize_t expected);
[[noreturn]] void raise_need_more_values(Py_ssize_t found);

// Fills `out[0..n)` from any iterable; exact tuples and lists are read directly.
void unpack_into(py::handle sequence, py::object* out, Py_ssize_t n);

template <std::size_t N>
std::array<py::object, N> unpack(py::handle sequence) {
    std::array<py::object, N> out;
    unpack_into(sequence, out.data(), static_cast<Py_ssize_t>(N));
    return out;
}

}  // namespace qlo
