// One pass over the points keeps each column's smallest and largest y; the
// extent is their difference. This is what walking the points sorted by x
// column by column gives, without the sort.
#include "kernels/column_profile.h"

#include <cstring>
#include <limits>

namespace qlo::kernels {

namespace {

// Coordinates are copied out byte by byte (the frame's load): defined at any alignment.
template <class T>
std::int64_t read(const char* at) {
    return static_cast<std::int64_t>(load<T>(at));
}

template <class T>
std::size_t extents(const PointArray& p, std::int64_t begin, std::int64_t end, std::int64_t* high, std::int64_t* low) {
    std::size_t inside = 0;
    for (std::ptrdiff_t i = 0; i < p.rows; ++i) {
        const char* row = p.data + i * p.row_stride;
        for (std::ptrdiff_t j = 0; j < p.per_row; ++j) {
            const char* point = row + j * p.point_stride;
            std::int64_t x = read<T>(point);
            if (x < begin || x >= end) continue;
            std::int64_t y = read<T>(point + p.value_stride);
            std::size_t column = static_cast<std::size_t>(x - begin);
            if (y < low[column]) low[column] = y;
            if (y > high[column]) high[column] = y;
            ++inside;
        }
    }
    return inside;
}

}  // namespace

std::size_t column_heights(const PointArray& points, std::int64_t begin, std::int64_t end, std::uint64_t* heights,
                           std::int64_t* low) {
    std::size_t columns = static_cast<std::size_t>(static_cast<std::uint64_t>(end) - static_cast<std::uint64_t>(begin));
    // The largest y so far is kept in the output buffer itself.
    std::int64_t* high = reinterpret_cast<std::int64_t*>(heights);
    for (std::size_t c = 0; c < columns; ++c) {
        high[c] = std::numeric_limits<std::int64_t>::min();
        low[c] = std::numeric_limits<std::int64_t>::max();
    }
    std::size_t inside = 0;
    dispatch(points.type, [&](auto typed) {
        if constexpr (is_coordinate(decltype(typed)::element))
            inside = extents<typename decltype(typed)::type>(points, begin, end, high, low);
    });
    // high - low can exceed int64 for 64-bit coordinates; as unsigned it is exact.
    for (std::size_t c = 0; c < columns; ++c)
        heights[c] = high[c] > low[c] ? static_cast<std::uint64_t>(high[c]) - static_cast<std::uint64_t>(low[c]) : 0;
    return inside;
}

}  // namespace qlo::kernels
