// Band filter: zeroes, in index order, the elements of a one-dimensional
// strided buffer whose value the caller's rule drops, and leaves every other
// element untouched. Pure C++, no Python; safe to call with the GIL released.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/element.h"

namespace qlo::kernels {

// Which values are dropped.
//
// Integer kinds: drop(v) = (lo <= v && v <= hi) != outside, with lo and hi
// values of the element type stored as 64-bit patterns (two's complement for
// signed types). An empty interval is written lo > hi. Bool elements are read
// as 0 or 1 (any non-zero byte is 1).
//
// Float16: the same interval test on order keys (half_key), which number the
// non-NaN values in increasing order with -0 and +0 both 0; NaN is never
// dropped.
//
// Float32 and Float64: drop(v) = between ? (a < v && v < b) : (v < a || v > b),
// with IEEE comparisons (a NaN on either side is false), a and b holding
// values exactly representable in the element type.
struct BandDrop {
    std::uint64_t lo = 1, hi = 0;
    bool outside = false;
    double a = 0, b = 0;
    bool between = false;
};

// The order key of a half-precision value given by its bits; meaningless for NaN.
inline int half_key(std::uint16_t bits) {
    int magnitude = bits & 0x7fff;
    return (bits & 0x8000) ? -magnitude : magnitude;
}
constexpr int kHalfKeyMax = 0x7c00;  // +inf; -inf is -kHalfKeyMax

// Buffers: `count` elements, element i at data + i * stride (stride in bytes,
// any sign, any alignment; elements may overlap, in which case every element
// is read after the zeroing of the ones before it, as a loop in index order
// would).

// Index of the first element the rule drops, or -1. Reads only.
std::ptrdiff_t band_first_drop(Element element, const char* data, std::ptrdiff_t count, std::ptrdiff_t stride,
                               const BandDrop& drop);

// Zeroes every element the rule drops.
void band_zero(Element element, char* data, std::ptrdiff_t count, std::ptrdiff_t stride, const BandDrop& drop);

}  // namespace qlo::kernels
