// Band filter kernels. Every rule is a pure function of one element's bits,
// so a packed buffer (elements side by side, at any alignment) is filtered
// with a branch-free select that the compiler vectorises (kept elements are
// written back unchanged, bit for bit); any other layout, including
// overlapping elements, is walked one element at a time in index order and
// only dropped elements are written. Every element is read and written by
// copying its bytes, which is defined at any address: a misaligned array
// takes the same path as an aligned one.
#include "kernels/band_filter.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace qlo::kernels {

namespace {

template <class T>
struct IntervalRule {
    T lo, hi;
    bool outside;
    explicit IntervalRule(const BandDrop& d)
        : lo(static_cast<T>(d.lo)), hi(static_cast<T>(d.hi)), outside(d.outside) {}
    bool operator()(T v) const { return ((lo <= v) & (v <= hi)) != outside; }
};

struct BoolRule {
    IntervalRule<std::uint8_t> values;
    explicit BoolRule(const BandDrop& d) : values(d) {}
    bool operator()(std::uint8_t v) const { return values(static_cast<std::uint8_t>(v != 0)); }
};

struct HalfRule {
    IntervalRule<std::int16_t> keys;
    explicit HalfRule(const BandDrop& d) : keys(d) {}
    bool operator()(std::uint16_t bits) const {
        std::int16_t magnitude = static_cast<std::int16_t>(bits & 0x7fff);
        std::int16_t key = (bits & 0x8000) ? static_cast<std::int16_t>(-magnitude) : magnitude;
        return (magnitude <= kHalfKeyMax) & keys(key);
    }
};

// Floats are carried as their bits so that kept values (NaN payloads
// included) are stored back exactly; the comparison works on the value.
template <class F, class Bits>
F value_of(Bits bits) {
    F value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

template <class F, class Bits>
struct FloatBetween {
    F a, b;
    explicit FloatBetween(const BandDrop& d) : a(static_cast<F>(d.a)), b(static_cast<F>(d.b)) {}
    bool operator()(Bits bits) const {
        F v = value_of<F>(bits);
        return (a < v) & (v < b);
    }
};

template <class F, class Bits>
struct FloatOutside {
    F a, b;
    explicit FloatOutside(const BandDrop& d) : a(static_cast<F>(d.a)), b(static_cast<F>(d.b)) {}
    bool operator()(Bits bits) const {
        F v = value_of<F>(bits);
        return (v < a) | (v > b);
    }
};

// Elements side by side: distinct, and read in any order.
template <class T>
bool packed(std::ptrdiff_t stride) {
    return stride == static_cast<std::ptrdiff_t>(sizeof(T));
}

template <class T, class Rule>
std::ptrdiff_t first_drop(const char* data, std::ptrdiff_t count, std::ptrdiff_t stride, const Rule& rule) {
    if (packed<T>(stride)) {
        // A block is tested with a reduction the compiler vectorises (no exit
        // inside it); only the block that holds a drop is searched one by one.
        // An image with nothing to drop (filtered once already) is read at
        // the speed of memory.
        constexpr std::ptrdiff_t kBlock = 1024;
        constexpr std::ptrdiff_t size = sizeof(T);
        for (std::ptrdiff_t begin = 0; begin < count; begin += kBlock) {
            const std::ptrdiff_t end = std::min(count, begin + kBlock);
            unsigned hits = 0;
            for (std::ptrdiff_t i = begin; i < end; ++i) hits |= static_cast<unsigned>(rule(load<T>(data + i * size)));
            if (hits)
                for (std::ptrdiff_t i = begin; i < end; ++i)
                    if (rule(load<T>(data + i * size))) return i;
        }
        return -1;
    }
    for (std::ptrdiff_t i = 0; i < count; ++i)
        if (rule(load<T>(data + i * stride))) return i;
    return -1;
}

template <class T, class Rule>
void zero(char* data, std::ptrdiff_t count, std::ptrdiff_t stride, const Rule& rule) {
    if (packed<T>(stride)) {
        for (std::ptrdiff_t i = 0; i < count; ++i) {
            char* at = data + i * static_cast<std::ptrdiff_t>(sizeof(T));
            T v = load<T>(at);
            store<T>(at, rule(v) ? T(0) : v);
        }
        return;
    }
    for (std::ptrdiff_t i = 0; i < count; ++i) {
        char* at = data + i * stride;
        if (rule(load<T>(at))) store<T>(at, T(0));
    }
}

// Unsigned integers of each float's size: floats are carried as their bits.
template <class F>
using BitsOf = std::conditional_t<sizeof(F) == 4, std::uint32_t, std::uint64_t>;

// Calls `action.template run<T>(rule)` with the element's storage type and rule.
template <class Action>
auto with_rule(Element element, const BandDrop& d, Action&& action) {
    return dispatch(element, [&](auto typed) {
        constexpr Element e = decltype(typed)::element;
        using T = typename decltype(typed)::type;
        if constexpr (e == Element::Bool) {
            return action.template run<T>(BoolRule(d));
        } else if constexpr (e == Element::Float16) {
            return action.template run<T>(HalfRule(d));
        } else if constexpr (std::is_floating_point_v<T>) {
            using Bits = BitsOf<T>;
            if (d.between) return action.template run<Bits>(FloatBetween<T, Bits>(d));
            return action.template run<Bits>(FloatOutside<T, Bits>(d));
        } else {
            return action.template run<T>(IntervalRule<T>(d));
        }
    });
}

struct FirstDrop {
    const char* data;
    std::ptrdiff_t count, stride;
    template <class T, class Rule>
    std::ptrdiff_t run(const Rule& rule) const { return first_drop<T>(data, count, stride, rule); }
};

struct Zero {
    char* data;
    std::ptrdiff_t count, stride;
    template <class T, class Rule>
    int run(const Rule& rule) const {
        zero<T>(data, count, stride, rule);
        return 0;
    }
};

}  // namespace

std::ptrdiff_t band_first_drop(Element element, const char* data, std::ptrdiff_t count, std::ptrdiff_t stride,
                               const BandDrop& drop) {
    return with_rule(element, drop, FirstDrop{data, count, stride});
}

void band_zero(Element element, char* data, std::ptrdiff_t count, std::ptrdiff_t stride, const BandDrop& drop) {
    with_rule(element, drop, Zero{data, count, stride});
}

}  // namespace qlo::kernels
