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

// An OpenCV scalar argument (a border value, say) as OpenCV should read it.
// OpenCV takes a sequence's len() on trust and reads that many items, so one
// whose len() promises more items than it holds crashes the interpreter. A
// sequence other than an exact tuple or list, of at most four items, is read
// here into a tuple of exactly len() items (an item that is not there raises
// its own error); everything else is passed on as it is. For every honest
// sequence OpenCV sees the same items, so results and errors are unchanged.
py::object opencv_scalar(py::handle value);

template <std::size_t N>
std::array<py::object, N> unpack(py::handle sequence) {
    std::array<py::object, N> out;
    unpack_into(sequence, out.data(), static_cast<Py_ssize_t>(N));
    return out;
}

}  // namespace qlo
