// The element types native code reads from and writes to buffers, one
// vocabulary for every fast path and kernel: recognising a buffer's element
// from its format, and running code typed for that element. Pure C++ without
// Python, so the kernels use it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace qlo {

// Elements in the machine's own byte order.
enum class Element : std::uint8_t {
    Bool, Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64, Float16, Float32, Float64
};

// The C++ type holding one element, and its properties. A bool element is
// any byte (true when not 0), so it is held as its byte; a float16 element
// as its 16 bits.
template <Element E> struct ElementType;
template <> struct ElementType<Element::Bool> { using type = std::uint8_t; };
template <> struct ElementType<Element::Int8> { using type = std::int8_t; };
template <> struct ElementType<Element::UInt8> { using type = std::uint8_t; };
template <> struct ElementType<Element::Int16> { using type = std::int16_t; };
template <> struct ElementType<Element::UInt16> { using type = std::uint16_t; };
template <> struct ElementType<Element::Int32> { using type = std::int32_t; };
template <> struct ElementType<Element::UInt32> { using type = std::uint32_t; };
template <> struct ElementType<Element::Int64> { using type = std::int64_t; };
template <> struct ElementType<Element::UInt64> { using type = std::uint64_t; };
template <> struct ElementType<Element::Float16> { using type = std::uint16_t; };
template <> struct ElementType<Element::Float32> { using type = float; };
template <> struct ElementType<Element::Float64> { using type = double; };

// A compile-time element handed to the code `dispatch` runs.
template <Element E>
struct Typed {
    static constexpr Element element = E;
    using type = typename ElementType<E>::type;
};

// Calls f(Typed<E>{}) with the element `e` as a compile-time constant, so one
// generic lambda or functor is instantiated for each element type.
template <class F>
decltype(auto) dispatch(Element e, F&& f) {
    switch (e) {
        case Element::Bool: return f(Typed<Element::Bool>{});
        case Element::Int8: return f(Typed<Element::Int8>{});
        case Element::UInt8: return f(Typed<Element::UInt8>{});
        case Element::Int16: return f(Typed<Element::Int16>{});
        case Element::UInt16: return f(Typed<Element::UInt16>{});
        case Element::Int32: return f(Typed<Element::Int32>{});
        case Element::UInt32: return f(Typed<Element::UInt32>{});
        case Element::Int64: return f(Typed<Element::Int64>{});
        case Element::UInt64: return f(Typed<Element::UInt64>{});
        case Element::Float16: return f(Typed<Element::Float16>{});
        case Element::Float32: return f(Typed<Element::Float32>{});
        case Element::Float64: break;
    }
    return f(Typed<Element::Float64>{});
}

constexpr std::size_t element_size(Element e) {
    switch (e) {
        case Element::Bool: case Element::Int8: case Element::UInt8: return 1;
        case Element::Int16: case Element::UInt16: case Element::Float16: return 2;
        case Element::Int32: case Element::UInt32: case Element::Float32: return 4;
        case Element::Int64: case Element::UInt64: case Element::Float64: return 8;
    }
    return 0;
}

constexpr bool is_integer(Element e) { return e != Element::Bool && e < Element::Float16; }
constexpr bool is_signed_integer(Element e) {
    return e == Element::Int8 || e == Element::Int16 || e == Element::Int32 || e == Element::Int64;
}
constexpr bool is_float(Element e) { return e >= Element::Float16; }

// The element a buffer of the struct-module `format` and `itemsize` holds;
// nothing for any other format (several fields, byte order not the
// machine's, complex numbers, objects, ...). The prefixes that mean the
// machine's own order are accepted: none or "@" (what NumPy reports for an
// aligned array), "=" (a misaligned one, e.g. unpickled from out-of-band
// buffers) and "<" or ">" when it names this machine's order. Integer codes
// are recognised by signedness and itemsize, since "l" is 4 or 8 bytes
// depending on the prefix. A null format means unsigned bytes.
inline std::optional<Element> element_of(const char* format, std::ptrdiff_t itemsize) {
    if (!format) format = "B";
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    constexpr const char* kNativePrefixes = "@=>!";
#else
    constexpr const char* kNativePrefixes = "@=<";
#endif
    if (*format && std::strchr(kNativePrefixes, *format)) ++format;
    if (format[0] == '\0' || format[1] != '\0') return std::nullopt;
    const char code = format[0];
    switch (code) {
        case '?': return itemsize == 1 ? std::optional<Element>(Element::Bool) : std::nullopt;
        case 'e': return itemsize == 2 ? std::optional<Element>(Element::Float16) : std::nullopt;
        case 'f': return itemsize == 4 ? std::optional<Element>(Element::Float32) : std::nullopt;
        case 'd': return itemsize == 8 ? std::optional<Element>(Element::Float64) : std::nullopt;
        default: break;
    }
    const bool is_signed = std::strchr("bhilq", code) != nullptr;
    if (!is_signed && !std::strchr("BHILQ", code)) return std::nullopt;
    switch (itemsize) {
        case 1: return is_signed ? Element::Int8 : Element::UInt8;
        case 2: return is_signed ? Element::Int16 : Element::UInt16;
        case 4: return is_signed ? Element::Int32 : Element::UInt32;
        case 8: return is_signed ? Element::Int64 : Element::UInt64;
        default: return std::nullopt;
    }
}

// Reads and writes one value of type T at any address: a misaligned pointer
// may not be dereferenced as T*, but a copy of its bytes is always defined
// (and compiles to a plain, possibly unaligned, load or store).
template <class T>
T load(const void* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <class T>
void store(void* at, T value) {
    std::memcpy(at, &value, sizeof value);
}

}  // namespace qlo
