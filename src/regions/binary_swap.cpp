// binary_image_swap: inverts a binary image in place, pixel by pixel: a pixel
// equal to `zero` becomes `one`, any other pixel becomes `zero`.
//
// The pixel loop goes through the array's own item access, so every kind of
// array and value behaves as NumPy makes it behave (conversions, overflow
// errors, read-only arrays). For a plain 2-D NumPy array of a native bool,
// integer or float type, with `one` and `zero` plain Python ints, bools or
// floats whose comparison and conversion NumPy performs without warnings, a
// native kernel gives the same result with the GIL released (so does a NumPy
// scalar of the image's own type, compared and stored as is). It reproduces
// NumPy's NEP 50 rules: a Python int is compared exactly with integer pixels
// and is never equal when out of the type's range; a Python float is compared
// with integer and bool pixels as float64 and is first cast to float32 for
// float32 pixels. A value that cannot be stored stops the loop at the first
// pixel that needs it; NumPy's own item assignment then raises its error, so
// the pixels before it are rewritten and the error is NumPy's, as in the loop.
#include <cmath>
#include <cfloat>
#include <climits>
#include <cstring>
#include <optional>

#include "frame/buffer.h"
#include "frame/function.h"
#include "frame/globals.h"
#include "frame/interrupts.h"
#include "frame/object.h"
#include "frame/operators.h"
#include "frame/signature.h"
#include "frame/unpack.h"
#include "kernels/binary_swap.h"
#include "regions/register.h"

namespace qlo {

namespace {

constexpr const char* kSource = "src/regions/binary_swap.cpp";

using kernels::SwapPlan;
using kernels::SwapTest;

// ---- the pixel loop ----

// image[i, j] for every pixel from index `first` on (row-major), through
// range(h) and range(w) as a Python loop makes them.
void swap_by_item(py::handle image, py::handle h, py::handle w, py::handle one, py::handle zero,
                  long long first = 0) {
    long long index = 0;
    for (py::handle i : builtins().range(h)) {
        for (py::handle j : builtins().range(w)) {
            if (index++ < first) continue;
            py::object key = py::make_tuple(i, j);
            py::object pixel = steal(PyObject_GetItem(image.ptr(), key.ptr()));
            bool equal = compare(pixel, zero, Py_EQ);
            if (PyObject_SetItem(image.ptr(), key.ptr(), equal ? one.ptr() : zero.ptr()) != 0)
                throw_error_already_set();
        }
        check_signals();
    }
}

// ---- values the kernel can take ----

using Scalar = PlainNumber;

constexpr double kExactDouble = 9007199254740992.0;  // 2**53: ints up to it convert to double exactly

bool int_exact_in_double(const Scalar& s) {
    return s.fits_i64 && s.i64 >= -static_cast<long long>(kExactDouble) &&
           s.i64 <= static_cast<long long>(kExactDouble);
}

struct ElementInfo {
    Element element;
    bool is_signed, is_float, is_bool;
    long long min;
    unsigned long long max;
};

template <class T>
void put(unsigned char* bytes, T value) {
    std::memcpy(bytes, &value, sizeof value);
}

// Writes the integer `v` (known to be in range) as an element of `e`.
void put_integer(const ElementInfo& e, unsigned char* bytes, long long v, unsigned long long u, bool use_u) {
    if (use_u) {  // only unsigned 64-bit values beyond int64 get here
        put<std::uint64_t>(bytes, static_cast<std::uint64_t>(u));
        return;
    }
    switch (element_size(e.element)) {
        case 1: put<std::int8_t>(bytes, static_cast<std::int8_t>(v)); break;
        case 2: put<std::int16_t>(bytes, static_cast<std::int16_t>(v)); break;
        case 4: put<std::int32_t>(bytes, static_cast<std::int32_t>(v)); break;
        default: put<std::int64_t>(bytes, static_cast<std::int64_t>(v)); break;
    }
}

// The integer value of `s` when it lies within the integer element type.
bool integer_in_range(const ElementInfo& e, const Scalar& s, long long& v, unsigned long long& u, bool& use_u) {
    use_u = false;
    if (s.fits_i64 && s.i64 >= e.min && (s.i64 < 0 || static_cast<unsigned long long>(s.i64) <= e.max)) {
        v = s.i64;
        return true;
    }
    if (!e.is_signed && s.fits_u64 && s.u64 <= e.max) {
        u = s.u64;
        use_u = true;
        return true;
    }
    return false;
}

// float32 conversions that raise no floating-point warning: no overflow to
// infinity, no result in the subnormal range.
bool float32_quiet(double d) {
    if (!std::isfinite(d) || d == 0.0) return true;
    float f = static_cast<float>(d);
    return std::isfinite(f) && std::fabs(f) >= FLT_MIN;
}

// Fills `bytes` with what NumPy stores for `s`; `storable` false when NumPy
// raises instead. Returns false outside the proven domain.
bool plan_store(const ElementInfo& e, const Scalar& s, unsigned char* bytes, bool& storable) {
    storable = true;
    if (e.is_bool) {  // stored as the value's truth
        bytes[0] = s.is_float ? (s.real != 0.0 || std::isnan(s.real)) : (!s.fits_i64 || s.i64 != 0);
        return true;
    }
    if (e.is_float) {
        double d = s.is_float ? s.real : static_cast<double>(s.i64);
        if (!s.is_float && !int_exact_in_double(s)) return false;
        if (e.element == Element::Float64) {
            put<double>(bytes, d);
            return true;
        }
        if (!float32_quiet(d)) return false;
        put<float>(bytes, static_cast<float>(d));
        return true;
    }
    long long v = 0;
    unsigned long long u = 0;
    bool use_u = false;
    Scalar whole = s;
    if (s.is_float) {  // NumPy truncates to a Python int, then checks the range
        if (!std::isfinite(s.real)) {
            storable = false;
            return true;
        }
        double t = std::trunc(s.real);
        whole.fits_i64 = t >= -9223372036854775808.0 && t < 9223372036854775808.0;
        whole.i64 = whole.fits_i64 ? static_cast<long long>(t) : 0;
        whole.fits_u64 = t >= 0.0 && t < 18446744073709551616.0;
        whole.u64 = whole.fits_u64 ? static_cast<unsigned long long>(t) : 0;
    }
    storable = integer_in_range(e, whole, v, u, use_u);
    if (storable) put_integer(e, bytes, v, u, use_u);
    return true;
}

// How NumPy compares a pixel of the element type with `s`. Returns false
// outside the proven domain.
bool plan_test(const ElementInfo& e, const Scalar& s, SwapPlan& plan) {
    if (s.is_float && (e.is_bool || !e.is_float)) {
        plan.test = SwapTest::EqualAsDouble;
        plan.test_double = s.real;
        return true;
    }
    if (e.is_float) {
        bool storable = true;
        plan.test = SwapTest::Equal;
        return plan_store(e, s, plan.test_value, storable);
    }
    if (e.is_bool) {  // compared as an integer; ints beyond int64 raise in NumPy
        if (!s.fits_i64) return false;
        plan.test = (s.i64 == 0 || s.i64 == 1) ? SwapTest::Equal : SwapTest::Never;
        plan.test_value[0] = static_cast<unsigned char>(s.i64 == 1);
        return true;
    }
    long long v = 0;
    unsigned long long u = 0;
    bool use_u = false;
    if (!integer_in_range(e, s, v, u, use_u)) {
        plan.test = SwapTest::Never;
        return true;
    }
    plan.test = SwapTest::Equal;
    put_integer(e, plan.test_value, v, u, use_u);
    return true;
}

// What the plans need to know of an element type; float16 is left to the loop.
std::optional<ElementInfo> info_of(std::optional<Element> element) {
    if (!element) return std::nullopt;
    switch (*element) {
        case Element::Bool: return ElementInfo{Element::Bool, false, false, true, 0, 1};
        case Element::Int8: return ElementInfo{Element::Int8, true, false, false, SCHAR_MIN, SCHAR_MAX};
        case Element::UInt8: return ElementInfo{Element::UInt8, false, false, false, 0, UCHAR_MAX};
        case Element::Int16: return ElementInfo{Element::Int16, true, false, false, SHRT_MIN, SHRT_MAX};
        case Element::UInt16: return ElementInfo{Element::UInt16, false, false, false, 0, USHRT_MAX};
        case Element::Int32: return ElementInfo{Element::Int32, true, false, false, INT_MIN, INT_MAX};
        case Element::UInt32: return ElementInfo{Element::UInt32, false, false, false, 0, UINT_MAX};
        case Element::Int64: return ElementInfo{Element::Int64, true, false, false, LLONG_MIN, LLONG_MAX};
        case Element::UInt64: return ElementInfo{Element::UInt64, false, false, false, 0, ULLONG_MAX};
        case Element::Float32: return ElementInfo{Element::Float32, true, true, false, 0, 0};
        case Element::Float64: return ElementInfo{Element::Float64, true, true, false, 0, 0};
        case Element::Float16: break;
    }
    return std::nullopt;
}

// A NumPy scalar of exactly the image's element type (np.uint8(255) for a
// uint8 image) is compared and stored as its own bytes; a bool's as 0 or 1.
bool same_type_scalar(py::handle value, const BufferView& image, unsigned char* bytes) {
    PyObject* v = value.ptr();
    if (PyLong_CheckExact(v) || PyBool_Check(v) || PyFloat_CheckExact(v) || !is_numpy_scalar(value)) return false;
    Py_buffer b;
    if (PyObject_GetBuffer(v, &b, PyBUF_FORMAT) != 0) {
        PyErr_Clear();  // no buffer (object scalars): not the image's type
        return false;
    }
    std::optional<Element> mine = element_of(b.format, b.itemsize);
    std::optional<Element> theirs = image.element();
    bool same = b.ndim == 0 && mine && theirs && *mine == *theirs;
    if (same) std::memcpy(bytes, b.buf, element_size(*mine));
    PyBuffer_Release(&b);
    if (same && *theirs == Element::Bool) bytes[0] = bytes[0] != 0;
    return same;
}

std::optional<SwapPlan> make_plan(const BufferView& view, py::handle one, py::handle zero) {
    std::optional<ElementInfo> e = info_of(view.element());
    if (!e) return std::nullopt;
    SwapPlan plan;
    plan.element = e->element;
    if (same_type_scalar(zero, view, plan.zero)) {
        plan.test = SwapTest::Equal;
        std::memcpy(plan.test_value, plan.zero, sizeof plan.zero);
    } else {
        std::optional<Scalar> zero_value = read_plain_number(zero);
        if (!zero_value || !plan_test(*e, *zero_value, plan)) return std::nullopt;
        if (!plan_store(*e, *zero_value, plan.zero, plan.zero_storable)) return std::nullopt;
    }
    if (same_type_scalar(one, view, plan.one)) return plan;
    std::optional<Scalar> one_value = read_plain_number(one);
    if (!one_value || !plan_store(*e, *one_value, plan.one, plan.one_storable)) return std::nullopt;
    return plan;
}

// ---- the native route ----

// Runs the kernel when the image and values are in its domain; false when
// the caller must loop over the items instead.
bool swap_native(py::handle image, py::handle h, py::handle w, py::handle one, py::handle zero) {
    if (!is_ndarray(image)) return false;
    std::optional<BufferView> view;
    try {
        view.emplace(image, true);
    } catch (py::error_already_set&) {
        return false;  // read-only, or no buffer: the loop raises NumPy's error
    }
    if (view->ndim() != 2) return false;
    std::optional<SwapPlan> plan = make_plan(*view, one, zero);
    if (!plan) return false;
    kernels::SwapStop stop;
    {
        ReleaseGil nogil;
        stop = kernels::binary_swap(view->data(), view->stride(0), view->stride(1), view->shape(0), view->shape(1),
                                    *plan);
    }
    if (stop.index < 0) return true;
    // NumPy's item assignment raises its own error for this pixel; should it
    // store the value after all, the loop carries on from the next pixel.
    long long cols = view->shape(1);
    view.reset();
    py::object key = py::make_tuple(stop.index / cols, stop.index % cols);
    if (PyObject_SetItem(image.ptr(), key.ptr(), stop.needs_one ? one.ptr() : zero.ptr()) != 0)
        throw_error_already_set();
    swap_by_item(image, h, w, one, zero, stop.index + 1);
    return true;
}

py::object binary_image_swap(Args& a) {
    py::handle image = a[0], one = a[1], zero = a[2];
    auto [h, w] = unpack<2>(image.attr("shape"));
    if (!swap_native(image, h, w, one, zero)) swap_by_item(image, h, w, one, zero);
    return py::none();
}

py::object make_binary_image_swap() {
    return module_function({"binary_image_swap",
                            {{"image"}, {"one", Hint::Any, py::int_(255)}, {"zero", Hint::Any, py::int_(0)}},
                            binary_image_swap},
                           kSource);
}

}  // namespace

void register_binary_swap(Registry& registry) { registry.add("binary_image_swap", make_binary_image_swap); }

}  // namespace qlo
