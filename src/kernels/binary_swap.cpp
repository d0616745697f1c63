// Binary inversion in place. Each element is loaded and stored by copying
// its bytes (the frame's load and store), which compiles to plain loads and
// stores and is defined for unaligned addresses. Rows whose elements are packed are rewritten with a branch-free
// select that the compiler vectorises; the elements of such a row are
// distinct, so the order within the row does not matter, and rows are still
// visited in order for layouts where rows overlap.
#include "kernels/binary_swap.h"

#include <cstring>

namespace qlo::kernels {

namespace {

template <class T, class Eq>
void swap_packed_row(char* row, long long cols, Eq eq, T one, T zero) {
    for (long long c = 0; c < cols; ++c) {
        char* p = row + c * static_cast<std::ptrdiff_t>(sizeof(T));
        store<T>(p, eq(load<T>(p)) ? one : zero);
    }
}

template <class T, class Eq>
SwapStop swap_with(char* data, std::ptrdiff_t rs, std::ptrdiff_t cs, long long rows, long long cols, Eq eq,
                   const SwapPlan& plan) {
    T one = load<T>(reinterpret_cast<const char*>(plan.one));
    T zero = load<T>(reinterpret_cast<const char*>(plan.zero));
    SwapStop stop;
    if (plan.one_storable && plan.zero_storable) {
        for (long long r = 0; r < rows; ++r) {
            char* row = data + r * rs;
            if (cs == static_cast<std::ptrdiff_t>(sizeof(T))) {
                swap_packed_row<T>(row, cols, eq, one, zero);
                continue;
            }
            for (long long c = 0; c < cols; ++c) store<T>(row + c * cs, eq(load<T>(row + c * cs)) ? one : zero);
        }
        return stop;
    }
    for (long long r = 0; r < rows; ++r) {
        for (long long c = 0; c < cols; ++c) {
            char* p = data + r * rs + c * cs;
            bool equal = eq(load<T>(p));
            if (equal ? !plan.one_storable : !plan.zero_storable) {
                stop.index = r * cols + c;
                stop.needs_one = equal;
                return stop;
            }
            store<T>(p, equal ? one : zero);
        }
    }
    return stop;
}

template <class T>
SwapStop swap_typed(char* data, std::ptrdiff_t rs, std::ptrdiff_t cs, long long rows, long long cols,
                    const SwapPlan& plan) {
    switch (plan.test) {
        case SwapTest::Equal: {
            T t = load<T>(reinterpret_cast<const char*>(plan.test_value));
            return swap_with<T>(data, rs, cs, rows, cols, [t](T v) { return v == t; }, plan);
        }
        case SwapTest::EqualAsDouble: {
            double t = plan.test_double;
            return swap_with<T>(data, rs, cs, rows, cols, [t](T v) { return static_cast<double>(v) == t; }, plan);
        }
        case SwapTest::Never:
        default:
            return swap_with<T>(data, rs, cs, rows, cols, [](T) { return false; }, plan);
    }
}

// A bool element holds any byte; it reads as true when the byte is not 0.
SwapStop swap_bool(char* data, std::ptrdiff_t rs, std::ptrdiff_t cs, long long rows, long long cols,
                   const SwapPlan& plan) {
    using T = std::uint8_t;
    switch (plan.test) {
        case SwapTest::Equal: {
            T t = plan.test_value[0];
            return swap_with<T>(data, rs, cs, rows, cols, [t](T v) { return T(v != 0) == t; }, plan);
        }
        case SwapTest::EqualAsDouble: {
            double t = plan.test_double;
            return swap_with<T>(data, rs, cs, rows, cols, [t](T v) { return (v != 0 ? 1.0 : 0.0) == t; }, plan);
        }
        case SwapTest::Never:
        default:
            return swap_with<T>(data, rs, cs, rows, cols, [](T) { return false; }, plan);
    }
}

}  // namespace

SwapStop binary_swap(void* data, std::ptrdiff_t row_stride, std::ptrdiff_t col_stride, long long rows,
                     long long cols, const SwapPlan& plan) {
    char* base = static_cast<char*>(data);
    if (rows <= 0 || cols <= 0) return SwapStop{};
    return dispatch(plan.element, [&](auto typed) {
        constexpr Element e = decltype(typed)::element;
        if constexpr (e == Element::Bool) {
            return swap_bool(base, row_stride, col_stride, rows, cols, plan);
        } else if constexpr (e == Element::Float16) {
            return SwapStop{};  // never planned: float16 pixels are swapped item by item
        } else {
            using T = typename decltype(typed)::type;
            return swap_typed<T>(base, row_stride, col_stride, rows, cols, plan);
        }
    });
}

}  // namespace qlo::kernels
