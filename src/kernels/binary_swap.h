// Binary inversion of a 2-D image in place: every pixel equal to `zero`
// becomes `one`, every other pixel becomes `zero`.
//
// Pure C++, no Python; safe to call with the GIL released. The caller decides
// what "equal to zero" means for the element type and which values can be
// stored (see SwapPlan); the kernel only applies that plan.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/element.h"

namespace qlo::kernels {

// How a pixel value v is compared with `zero`.
enum class SwapTest : std::uint8_t {
    Never,          // no value of the element type equals zero
    Equal,          // v == test (test holds an element value; a bool pixel counts as 0 or 1)
    EqualAsDouble,  // double(v) == test_double (a bool pixel counts as 0.0 or 1.0)
};

struct SwapPlan {
    Element element = Element::UInt8;  // any but float16, which has no native comparison here
    SwapTest test = SwapTest::Never;
    unsigned char test_value[8] = {};  // an element value, in the element's own bytes
    double test_double = 0.0;
    unsigned char one[8] = {};         // the bytes written for `one` and `zero`
    unsigned char zero[8] = {};
    bool one_storable = true;          // false: writing it must stop the swap
    bool zero_storable = true;
};

struct SwapStop {
    long long index = -1;  // row * cols + col of the pixel where the swap stopped; -1 when it finished
    bool needs_one = false;
};

// Visits the pixels row by row, each row from left to right, and rewrites
// each one before moving to the next, so overlapping or aliased layouts
// (zero or negative strides, rows sharing memory) end as a pixel-by-pixel
// loop leaves them. Element addresses are data + r * row_stride + c *
// col_stride, in bytes; they need not be aligned. The swap stops before the
// first pixel whose new value is not storable and reports it; every pixel
// before it has been rewritten and none after it is touched.
SwapStop binary_swap(void* data, std::ptrdiff_t row_stride, std::ptrdiff_t col_stride, long long rows,
                     long long cols, const SwapPlan& plan);

}  // namespace qlo::kernels
