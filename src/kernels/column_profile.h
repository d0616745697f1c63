// Column profile of a point set: for every column x of a range, the vertical
// extent (largest y minus smallest y) of the points on that column. Pure C++,
// no Python; safe to call with the GIL released.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/element.h"

namespace qlo::kernels {

// Whether the kernel reads coordinates of this element type: the integers
// that int64 holds exactly.
constexpr bool is_coordinate(Element e) { return is_integer(e) && e != Element::UInt64; }

// The points form a rows x per_row array of (x, y) pairs: coordinate c of
// point (i, j) is at data + i * row_stride + j * point_stride + c * value_stride
// (strides in bytes, any sign and alignment).
struct PointArray {
    const char* data;
    Element type;  // one that is_coordinate accepts
    std::ptrdiff_t rows, per_row;
    std::ptrdiff_t row_stride, point_stride, value_stride;
};

// Writes heights[x - begin] for every x in [begin, end): the extent of the
// points on column x, 0 when it holds fewer than two. `low` is scratch of the
// same length (end - begin > 0). Returns how many points lie in [begin, end).
std::size_t column_heights(const PointArray& points, std::int64_t begin, std::int64_t end, std::uint64_t* heights,
                           std::int64_t* low);

}  // namespace qlo::kernels
