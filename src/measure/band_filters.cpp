// Band filters: zero the elements of an array whose value lies inside or
// outside a band and keep the others. Each works on src.reshape(-1) (a view
// of src when NumPy can make one, else a copy), so the caller's array changes
// exactly when that reshape shares its memory.
//
// The element loop compares each NumPy scalar with the bounds, by NumPy's
// rules for Python ints and floats and for its own integer and float scalars.
// Where those rules are reproduced exactly (below), a native kernel filters
// the reshaped array in place with the GIL released; anything else runs the
// loop element by element.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>

#include "frame/buffer.h"
#include "frame/function.h"
#include "frame/globals.h"
#include "frame/interrupts.h"
#include "frame/object.h"
#include "frame/operators.h"
#include "frame/signature.h"
#include "kernels/band_filter.h"
#include "measure/register.h"

namespace qlo {

namespace {

constexpr const char* kSource = "src/measure/band_filters.cpp";

enum class Rule { Middle, MinOrMax, Min, Max };

py::object element(py::handle img, py::handle idx) { return steal(PyObject_GetItem(img.ptr(), idx.ptr())); }

// ---- the element loop ----

// The loop's test for img[idx], reading the element as often as it does.
bool dropped(Rule rule, py::handle img, py::handle idx, py::handle min_value, py::handle max_value) {
    switch (rule) {
        case Rule::Middle:
            return compare(element(img, idx), min_value, Py_LT) || compare(element(img, idx), max_value, Py_GT);
        case Rule::MinOrMax: {
            py::object value = element(img, idx);
            return compare(min_value, value, Py_LT) && compare(value, max_value, Py_LT);
        }
        case Rule::Min: return compare(element(img, idx), max_value, Py_GT);
        case Rule::Max: return compare(element(img, idx), min_value, Py_LT);
    }
    return false;
}

void filter_loop(Rule rule, py::handle img, py::handle indices, py::handle min_value, py::handle max_value) {
    py::object iterator = steal(PyObject_GetIter(indices.ptr()));
    py::int_ zero(0);
    while (PyObject* next = PyIter_Next(iterator.ptr())) {
        py::object idx = steal(next);
        check_signals();
        if (dropped(rule, img, idx, min_value, max_value) && PyObject_SetItem(img.ptr(), idx.ptr(), zero.ptr()) < 0)
            throw_error_already_set();
    }
    if (PyErr_Occurred()) throw_error_already_set();
}

// ---- NumPy's comparison of a scalar with a Python number ----

using Wide = __int128;

// A Python int, float or bool bound as NumPy sees it when comparing.
struct Bound {
    bool is_int = false;
    Wide integer = 0;    // exact within int64 and uint64, else saturated far outside every element range
    bool fits_long = false;
    std::optional<double> real;  // the int as a float (absent when too large), or the float
    // A NumPy scalar: the comparison is made in a type holding both it and the
    // element exactly, so the bound is not first rounded to the element's type.
    bool numpy = false;
    bool numpy_signed = false, numpy_uint64 = false;  // its kind, for integer elements
};

std::optional<Bound> numpy_bound(py::handle value);

std::optional<Bound> classify(py::handle value) {
    std::optional<PlainNumber> n = read_plain_number(value);
    if (!n) return numpy_bound(value);  // NumPy's own scalars, or nothing
    Bound b;
    if (n->has_real) b.real = n->real;  // an int too large for a float: comparing it with a float element raises
    if (n->is_float) return b;
    b.is_int = true;
    b.fits_long = n->fits_i64;
    b.integer = n->fits_i64   ? Wide(n->i64)
                : n->fits_u64 ? Wide(n->u64)
                : n->negative ? -(Wide(1) << 100)
                              : Wide(1) << 100;
    return b;
}

// NumPy's own integer and float scalars (not subclasses) as the Python number
// of the same value, marked as NumPy's. Anything else (bools too): nullopt.
std::optional<Bound> numpy_bound(py::handle value) {
    std::optional<Element> e = numpy_scalar_element(value);
    std::optional<Bound> b;
    if (e && is_integer(*e)) {
        b = classify(steal(PyNumber_Index(value.ptr())));
        b->numpy_signed = is_signed_integer(*e);
        b->numpy_uint64 = *e == Element::UInt64;
    } else if (e && is_float(*e)) {
        b = classify(steal(PyNumber_Float(value.ptr())));
    }
    if (b) b->numpy = true;
    return b;
}

// The double nearest to `d` that float16 holds (ties to even), as NumPy
// converts a Python float for a float16 comparison; nullopt when that
// overflows, which NumPy reports through its floating-point error state.
std::optional<double> to_half(double d) {
    if (!std::isfinite(d)) return d;
    double magnitude = std::fabs(d);
    if (magnitude >= 65520.0) return std::nullopt;
    int exponent = 0;
    std::frexp(magnitude, &exponent);                       // magnitude in [2^(e-1), 2^e)
    double quantum = std::ldexp(1.0, std::max(exponent - 11, -24));
    return std::nearbyint(d / quantum) * quantum;
}

std::optional<double> to_single(double d) {
    float f = static_cast<float>(d);
    if (std::isfinite(d) && std::isinf(f)) return std::nullopt;  // overflow: NumPy's error state decides
    return static_cast<double>(f);
}

double half_value(int key) {
    int magnitude = key < 0 ? -key : key;
    double value = magnitude == kernels::kHalfKeyMax ? HUGE_VAL
                   : (magnitude >> 10) == 0       ? std::ldexp(magnitude, -24)
                                                  : std::ldexp((magnitude & 0x3ff) | 0x400, (magnitude >> 10) - 25);
    return key < 0 ? -value : value;
}

// The values of an element kind the interval search walks over, in order
// (float16: the order keys of its non-NaN values), and how one compares with
// a bound. nullopt when NumPy's comparison is not reproduced exactly.
struct Domain {
    Wide min, max;
    // -1, 0, 1 for value <, ==, > bound; 2 when unordered (NaN).
    int (*order)(Element, Wide, const Bound&, double);
    double converted = 0;  // the bound as the comparison sees it, for float comparisons
};

int order_of(double a, double b) { return a < b ? -1 : a > b ? 1 : a == b ? 0 : 2; }

int order_integer(Element e, Wide v, const Bound& b, double real) {
    if (b.is_int) return v < b.integer ? -1 : v > b.integer ? 1 : 0;
    if (e == Element::Int64) return order_of(static_cast<double>(static_cast<std::int64_t>(v)), real);
    if (e == Element::UInt64) return order_of(static_cast<double>(static_cast<std::uint64_t>(v)), real);
    return order_of(static_cast<double>(v), real);  // exact for 32 bits and less
}

int order_half(Element, Wide key, const Bound&, double converted) {
    return order_of(half_value(static_cast<int>(key)), converted);
}

bool signed_element(Element e) {
    return e == Element::Int8 || e == Element::Int16 || e == Element::Int32 || e == Element::Int64;
}

std::optional<Domain> domain_of(Element e, const Bound& b) {
    // A signed kind against uint64 is compared through float64 by some NumPy 2
    // releases and exactly by others: left to the element loop.
    if ((b.numpy_uint64 && signed_element(e)) || (b.numpy_signed && e == Element::UInt64)) return std::nullopt;
    auto integer = [&](Wide lo, Wide hi) { return std::optional<Domain>(Domain{lo, hi, order_integer, b.real.value_or(0)}); };
    switch (e) {
        case Element::Bool:  // compared as a C long
            if (b.is_int && !b.fits_long) return std::nullopt;
            return integer(0, 1);
        case Element::Int8: return integer(INT8_MIN, INT8_MAX);
        case Element::UInt8: return integer(0, UINT8_MAX);
        case Element::Int16: return integer(INT16_MIN, INT16_MAX);
        case Element::UInt16: return integer(0, UINT16_MAX);
        case Element::Int32: return integer(INT32_MIN, INT32_MAX);
        case Element::UInt32: return integer(0, UINT32_MAX);
        case Element::Int64: return integer(INT64_MIN, INT64_MAX);
        case Element::UInt64: return integer(0, UINT64_MAX);
        case Element::Float16: {
            if (!b.real) return std::nullopt;
            std::optional<double> half = b.numpy ? b.real : to_half(*b.real);
            if (!half) return std::nullopt;
            return Domain{-kernels::kHalfKeyMax, kernels::kHalfKeyMax, order_half, *half};
        }
        default: return std::nullopt;
    }
}

// Largest v of the domain with `below(v)`, which holds on a prefix; min - 1 if none.
template <class Pred>
Wide last_true(const Domain& d, Pred below) {
    if (!below(d.min)) return d.min - 1;
    Wide lo = d.min, hi = d.max;
    while (lo < hi) {
        Wide mid = lo + (hi - lo + 1) / 2;
        if (below(mid)) lo = mid; else hi = mid - 1;
    }
    return lo;
}

// Smallest v of the domain with `above(v)`, which holds on a suffix; max + 1 if none.
template <class Pred>
Wide first_true(const Domain& d, Pred above) {
    if (!above(d.max)) return d.max + 1;
    Wide lo = d.min, hi = d.max;
    while (lo < hi) {
        Wide mid = lo + (hi - lo) / 2;
        if (above(mid)) hi = mid; else lo = mid + 1;
    }
    return lo;
}

kernels::BandDrop interval(const Domain& d, Wide lo, Wide hi, bool outside) {
    kernels::BandDrop drop;
    if (lo > hi) lo = d.max, hi = d.min;  // empty: nothing inside
    drop.lo = static_cast<std::uint64_t>(lo);
    drop.hi = static_cast<std::uint64_t>(hi);
    drop.outside = outside;
    return drop;
}

// The dropped values of an integer or float16 element as one interval
// (or its complement): each rule's tests are monotone in the value.
std::optional<kernels::BandDrop> interval_drop(Rule rule, Element e, const Bound& low, const Bound& high) {
    std::optional<Domain> dl = domain_of(e, low), dh = domain_of(e, high);
    if (!dl || !dh) return std::nullopt;
    auto less = [&](const Domain& d, const Bound& b) {
        return [&d, &b, e](Wide v) { return d.order(e, v, b, d.converted) == -1; };
    };
    auto greater = [&](const Domain& d, const Bound& b) {
        return [&d, &b, e](Wide v) { return d.order(e, v, b, d.converted) == 1; };
    };
    switch (rule) {
        case Rule::Middle:  // keeps [not below min_value, not above max_value]
            return interval(*dl, last_true(*dl, less(*dl, low)) + 1, first_true(*dh, greater(*dh, high)) - 1, true);
        case Rule::MinOrMax:
            return interval(*dl, first_true(*dl, greater(*dl, low)), last_true(*dh, less(*dh, high)), false);
        case Rule::Min: return interval(*dh, first_true(*dh, greater(*dh, high)), dh->max, false);
        case Rule::Max: return interval(*dl, dl->min, last_true(*dl, less(*dl, low)), false);
    }
    return std::nullopt;
}

// The float32 nearest to d from above (up) or below: a float32 v compares
// with it as with d, v < d being v < up(d) and v > d being v > down(d).
double to_single_directed(double d, bool up) {
    float f = static_cast<float>(d);
    if (up && static_cast<double>(f) < d) f = std::nextafter(f, HUGE_VALF);
    if (!up && static_cast<double>(f) > d) f = std::nextafter(f, -HUGE_VALF);
    return f;
}

// A bound as a float32 or float64 comparison sees it; NaN stands for a test
// the rule does not make (NaN compares false). A NumPy bound is compared with
// a float32 element in its own precision: it is rounded towards the side
// (`up` or down) that keeps the outcome of the kernel's float32 test.
std::optional<double> float_bound(Element e, const Bound& b, bool up) {
    if (!b.real) return std::nullopt;
    if (e != Element::Float32) return b.real;
    return b.numpy ? to_single_directed(*b.real, up) : to_single(*b.real);
}

std::optional<kernels::BandDrop> float_drop(Rule rule, Element e, const Bound& low, const Bound& high) {
    constexpr double none = std::numeric_limits<double>::quiet_NaN();
    const bool between = rule == Rule::MinOrMax;  // a < v < b; otherwise v < a or v > b
    std::optional<double> a = rule == Rule::Min ? none : float_bound(e, low, !between);
    std::optional<double> b = rule == Rule::Max ? none : float_bound(e, high, between);
    if (!a || !b) return std::nullopt;
    kernels::BandDrop drop;
    drop.a = *a;
    drop.b = *b;
    drop.between = rule == Rule::MinOrMax;
    return drop;
}

// ---- the native route ----

// True when `img` is exactly NumPy's own array type, whose element access
// and assignment the kernel reproduces, and the module's NumPy is its own.
bool plain_array(py::handle img) { return still_original("_np") && is_ndarray(img); }

// Filters img in place when its dtype and the bounds are ones whose NumPy
// comparisons the kernel reproduces. Returns the index the element loop must
// resume at: `count` when done, 0 when the kernel cannot be used at all.
Py_ssize_t filter_native(Rule rule, py::handle img, py::handle size, py::handle min_value, py::handle max_value) {
    if (!PyLong_CheckExact(size.ptr()) || !plain_array(img)) return 0;
    std::optional<Bound> low, high;
    if (rule != Rule::Min && !(low = classify(min_value))) return 0;
    if (rule != Rule::Max && !(high = classify(max_value))) return 0;
    if (!low) low = high;  // the rule never tests the missing bound
    if (!high) high = low;
    std::optional<BufferView> view;
    try {
        view.emplace(img, false);
    } catch (py::error_already_set&) {
        return 0;  // dtypes without a buffer (datetime64, object, ...)
    }
    std::optional<Element> e = view->element();
    Py_ssize_t count = PyLong_AsSsize_t(size.ptr());
    if (count == -1 && PyErr_Occurred()) PyErr_Clear();
    if (!e || view->ndim() != 1 || view->shape(0) != count) return 0;
    bool floating = *e == Element::Float32 || *e == Element::Float64;
    std::optional<kernels::BandDrop> drop =
        floating ? float_drop(rule, *e, *low, *high) : interval_drop(rule, *e, *low, *high);
    if (!drop) return 0;

    std::ptrdiff_t first;
    {
        ReleaseGil nogil;
        first = kernels::band_first_drop(*e, static_cast<const char*>(view->data()), count, view->stride(0), *drop);
    }
    if (first < 0) return count;
    try {
        view.reset();
        view.emplace(img, true);
    } catch (py::error_already_set&) {
        return first;  // read-only: the loop raises NumPy's own error at the first write
    }
    char* start = static_cast<char*>(view->data()) + first * view->stride(0);
    {
        ReleaseGil nogil;
        kernels::band_zero(*e, start, count - first, view->stride(0), *drop);
    }
    return count;
}

// img = src.reshape(-1); for idx in range(src.size): drop or keep img[idx];
// return img.reshape(src.shape).
py::object band_filter(Rule rule, py::handle src, py::handle min_value, py::handle max_value) {
    py::object img = src.attr(interned("reshape"))(-1);
    py::object size = src.attr(interned("size"));
    py::object indices = builtins().range(size);
    Py_ssize_t resume = filter_native(rule, img, size, min_value, max_value);
    if (resume > 0) indices = builtins().range(resume, size);
    filter_loop(rule, img, indices, min_value, max_value);
    py::object reshape = img.attr(interned("reshape"));
    return reshape(src.attr(interned("shape")));
}

py::object take_middle(Args& a) { return band_filter(Rule::Middle, a[0], a[1], a[2]); }
py::object take_min_or_max(Args& a) { return band_filter(Rule::MinOrMax, a[0], a[1], a[2]); }
py::object take_min(Args& a) { return band_filter(Rule::Min, a[0], py::none(), a[1]); }
py::object take_max(Args& a) { return band_filter(Rule::Max, a[0], a[1], py::none()); }

py::object make_take_middle() {
    record_original("_np");
    return module_function({"take_middle", {{"src"}, {"min_value"}, {"max_value"}}, take_middle, Ret::Any, false,
                            "Zeroes the values below min_value or above max_value; the ends of the band are "
                            "kept. Changes src itself when src.reshape(-1) is a view of it."},
                           kSource);
}

py::object make_take_min_or_max() {
    return module_function({"take_min_or_max", {{"src"}, {"min_value"}, {"max_value"}}, take_min_or_max, Ret::Any,
                            false,
                            "Zeroes the values strictly between min_value and max_value; the ends are kept. "
                            "Changes src itself when src.reshape(-1) is a view of it."},
                           kSource);
}

py::object make_take_min() {
    return module_function({"take_min", {{"src"}, {"max_value"}}, take_min, Ret::Any, false,
                            "Zeroes the values above max_value. Changes src itself when src.reshape(-1) is a "
                            "view of it."},
                           kSource);
}

py::object make_take_max() {
    return module_function({"take_max", {{"src"}, {"min_value"}}, take_max, Ret::Any, false,
                            "Zeroes the values below min_value. Changes src itself when src.reshape(-1) is a "
                            "view of it."},
                           kSource);
}

}  // namespace

void register_band_filters(Registry& registry) {
    registry.add("take_middle", make_take_middle);
    registry.add("take_min_or_max", make_take_min_or_max);
    registry.add("take_min", make_take_min);
    registry.add("take_max", make_take_max);
}

}  // namespace qlo
