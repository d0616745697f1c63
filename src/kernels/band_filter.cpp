// Band filter kernels. Every rule is a pure function of one element's bits,
// so a packed, aligned buffer is filtered with a branch-free select that the
// compiler vectorises (kept elements are written back unchanged, bit for
// bit); any other layout, including overlapping elements, is walked one
// element at a time in index order and only dropped elements are written.
#include "kernels/band_filter.h"

#include <algorithm>
#include <cstring>

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

template <class T>
T load(const char* at) {
    T v;
    std::memcpy(&v, at, sizeof v);
    return v;
}

// Elements side by side and aligned: the buffer can be read as a T array.
template <class T>
bool packed(const char* data, std::ptrdiff_t stride) {
    return stride == static_cast<std::ptrdiff_t>(sizeof(T)) && reinterpret_cast<std::uintptr_t>(data) % alignof(T) == 0;
}

template <class T, class Rule>
std::ptrdiff_t first_drop(const char* data, std::ptrdiff_t count, std::ptrdiff_t stride, const Rule& rule) {
    if (packed<T>(data, stride)) {
        // A block is tested with a reduction the compiler vectorises (no exit
        // inside it); only the block that holds a drop is searched one by one.
        // An image with nothing to drop (filtered once already) is read at
        // the speed of memory.
        constexpr std::ptrdiff_t kBlock = 1024;
        const T* p = reinterpret_cast<const T*>(data);
        for (std::ptrdiff_t begin = 0; begin < count; begin += kBlock) {
            const std::ptrdiff_t end = std::min(count, begin + kBlock);
            unsigned hits = 0;
            for (std::ptrdiff_t i = begin; i < end; ++i) hits |= static_cast<unsigned>(rule(p[i]));
            if (hits)
                for (std::ptrdiff_t i = begin; i < end; ++i)
                    if (rule(p[i])) return i;
        }
        return -1;
    }
    for (std::ptrdiff_t i = 0; i < count; ++i)
        if (rule(load<T>(data + i * stride))) return i;
    return -1;
}

template <class T, class Rule>
void zero(char* data, std::ptrdiff_t count, std::ptrdiff_t stride, const Rule& rule) {
    if (packed<T>(data, stride)) {
        T* p = reinterpret_cast<T*>(data);
        for (std::ptrdiff_t i = 0; i < count; ++i) {
            T v = p[i];
            p[i] = rule(v) ? T(0) : v;
        }
        return;
    }
    const T nothing = 0;
    for (std::ptrdiff_t i = 0; i < count; ++i) {
        char* at = data + i * stride;
        if (rule(load<T>(at))) std::memcpy(at, &nothing, sizeof nothing);
    }
}

// Calls `action.template run<T>(rule)` with the element's storage type and rule.
template <class Action>
auto dispatch(Element element, const BandDrop& d, Action&& action) {
    switch (element) {
        case Element::Bool: return action.template run<std::uint8_t>(BoolRule(d));
        case Element::Int8: return action.template run<std::int8_t>(IntervalRule<std::int8_t>(d));
        case Element::UInt8: return action.template run<std::uint8_t>(IntervalRule<std::uint8_t>(d));
        case Element::Int16: return action.template run<std::int16_t>(IntervalRule<std::int16_t>(d));
        case Element::UInt16: return action.template run<std::uint16_t>(IntervalRule<std::uint16_t>(d));
        case Element::Int32: return action.template run<std::int32_t>(IntervalRule<std::int32_t>(d));
        case Element::UInt32: return action.template run<std::uint32_t>(IntervalRule<std::uint32_t>(d));
        case Element::Int64: return action.template run<std::int64_t>(IntervalRule<std::int64_t>(d));
        case Element::UInt64: return action.template run<std::uint64_t>(IntervalRule<std::uint64_t>(d));
        case Element::Float16: return action.template run<std::uint16_t>(HalfRule(d));
        case Element::Float32:
            if (d.between) return action.template run<std::uint32_t>(FloatBetween<float, std::uint32_t>(d));
            return action.template run<std::uint32_t>(FloatOutside<float, std::uint32_t>(d));
        case Element::Float64:
            if (d.between) return action.template run<std::uint64_t>(FloatBetween<double, std::uint64_t>(d));
            return action.template run<std::uint64_t>(FloatOutside<double, std::uint64_t>(d));
    }
    return action.template run<std::uint8_t>(IntervalRule<std::uint8_t>(BandDrop{}));  // never dropped
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

std::size_t element_size(Element element) {
    switch (element) {
        case Element::Bool: case Element::Int8: case Element::UInt8: return 1;
        case Element::Int16: case Element::UInt16: case Element::Float16: return 2;
        case Element::Int32: case Element::UInt32: case Element::Float32: return 4;
        case Element::Int64: case Element::UInt64: case Element::Float64: return 8;
    }
    return 0;
}

std::ptrdiff_t band_first_drop(Element element, const char* data, std::ptrdiff_t count, std::ptrdiff_t stride,
                               const BandDrop& drop) {
    return dispatch(element, drop, FirstDrop{data, count, stride});
}

void band_zero(Element element, char* data, std::ptrdiff_t count, std::ptrdiff_t stride, const BandDrop& drop) {
    dispatch(element, drop, Zero{data, count, stride});
}

}  // namespace qlo::kernels
