// Two routes to the shift comparator's mismatch map. The loop tries each
// displacement through the module's functions. The native route first tries
// the displacements pixel by pixel, only where a pixel differs at zero
// displacement (few do on a print); where many do, it uses that, without
// overflow, std - tgt_d > t for every d in D is std - max_D(tgt_d) > t (and
// min_D for t < 0): one grey-level dilation or erosion of the other image over
// D, with replicated borders, instead of one warp per displacement.
#include "compare/mismatch_map.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "frame/buffer.h"
#include "frame/globals.h"
#include "frame/interrupts.h"
#include "frame/operators.h"
#include "kernels/shift_mismatch.h"

namespace qlo::comparison {

namespace {

py::object add_one(py::handle value) { return add(value, py::int_(1)); }

// int(max_shift / _math.sqrt(2)) + 1: the exclusive end of the diagonal
// shifts, which keeps their diagonal length within max_shift.
py::object diagonal_stop(py::handle max_shift) {
    py::object root2 = global("_math").attr(interned("sqrt"))(2);
    py::object ratio = divide(max_shift, root2);
    return add_one(steal(PyNumber_Long(ratio.ptr())));
}

// ---- the loop ----

// Unit directions of the four axis loops and the four diagonal loops, in the
// order they run.
struct Direction {
    int right, down;
};
constexpr Direction kAxisDirections[] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
constexpr Direction kDiagonalDirections[] = {{1, 1}, {-1, 1}, {1, -1}, {-1, -1}};

py::object scaled(int sign, py::handle i) {
    if (sign == 0) return py::int_(0);
    if (sign > 0) return py::reinterpret_borrow<py::object>(i);
    return neg(i);
}

// For each i of range(1, stop, step): translate the other image by
// (right·i, down·i) and keep, in place, only the pixels that still differ.
void fold_direction(const Direction& d, py::handle stop, py::handle step, py::handle std_image, py::handle tgt_image,
                    py::handle threshold, py::handle result) {
    py::object shifts = builtins().range(1, stop, step);
    for (py::handle i : shifts) {
        check_signals();
        py::object img = global("translate")(tgt_image, scaled(d.right, i), scaled(d.down, i));
        py::object not_match = global("compare_image_difference")(std_image, img, threshold);
        global("_np").attr(interned("logical_and"))(result, not_match, result);
    }
}

py::object mask_by_displacement(py::handle std_image, py::handle tgt_image, py::handle max_shift, py::handle threshold,
                                py::handle slope, py::handle step) {
    py::object result = global("compare_image_difference")(std_image, tgt_image, threshold);
    for (const Direction& d : kAxisDirections)
        fold_direction(d, add_one(max_shift), step, std_image, tgt_image, threshold, result);
    if (truthy(slope)) {
        py::object stop = diagonal_stop(max_shift);
        for (const Direction& d : kDiagonalDirections)
            fold_direction(d, stop, step, std_image, tgt_image, threshold, result);
    }
    py::object white = global("_np").attr(interned("uint8"))(255);
    return mul(result, white);
}

// ---- the native route ----

constexpr const char* kReplaced[] = {"translate", "compare_image_difference", "_cv", "_np", "_math"};
// Library objects the loop reaches through _np, _cv and _math (translate's
// matrix and warp, the in-place conjunction, the final scaling, the diagonal
// reach), and the array type the native route checks its planes against and
// allocates its mask with. Any of them rebound, the loop runs, so that a
// replacement sees every call it would see there.
constexpr const char* kLibrary[] = {"_np.float32", "_cv.warpAffine", "_np.logical_and", "_np.uint8", "_np.ndarray",
                                    "_math.sqrt"};

// The route a test asks for in QLO_CV_MISMATCH_ROUTE (never set in use):
// "loop" takes the loop, "windows" the windows' kernel without the sparse
// sweeps, "native" raises RuntimeError where the native route would leave
// the mask to the loop, so that a test can tell which route decided without
// rebinding anything the route checks.
enum class Route { Any, Loop, Windows, Native };

Route route_asked() {
    const char* asked = std::getenv("QLO_CV_MISMATCH_ROUTE");
    if (!asked) return Route::Any;
    std::string_view name(asked);
    if (name == "loop") return Route::Loop;
    if (name == "windows") return Route::Windows;
    if (name == "native") return Route::Native;
    return Route::Any;
}

// warpAffine holds source coordinates in 16 bits and its fixed-point offsets
// in 32: within these bounds an integral translation is an exact copy with
// replicated borders, which is what the kernel computes.
constexpr Py_ssize_t kMaxSide = SHRT_MAX - 1;
constexpr long kMaxShift = 1L << 20;

bool originals_bound() {
    for (const char* name : kReplaced)
        if (!still_original(name)) return false;
    for (const char* name : kLibrary)
        if (!still_original(name)) return false;
    return PyType_Check(original("_np.ndarray").ptr());
}

bool exact_int_within(py::handle value, long lo, long hi) {
    if (!PyLong_CheckExact(value.ptr())) return false;
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(value.ptr(), &overflow);
    return overflow == 0 && v >= lo && v <= hi;
}

// A 2-D int16 plane the kernel can read: a view of the array itself when its
// rows are packed aligned int16 elements, otherwise of a packed copy.
struct Plane {
    py::object array;
    std::optional<BufferView> view;
    const int16_t* data = nullptr;
    ptrdiff_t stride = 0;
    int rows = 0, cols = 0;

    bool open(py::handle image) {
        if (!is_ndarray(image)) return false;
        array = py::reinterpret_borrow<py::object>(image);
        try {
            view.emplace(array, false);
        } catch (py::error_already_set&) {
            return false;  // dtypes without a buffer (datetime64, ...)
        }
        // A misaligned int16 array (as unpickled from out-of-band buffers, e.g.
        // by Dask) holds the same elements; the copy below aligns them.
        if (view->ndim() != 2 || view->element() != Element::Int16) return false;
        if (view->shape(0) < 1 || view->shape(1) < 1 || view->shape(0) > kMaxSide || view->shape(1) > kMaxSide)
            return false;
        if (!packed()) {
            view.reset();
            array = array.attr(interned("copy"))();
            view.emplace(array, false);
            if (view->ndim() != 2 || view->element() != Element::Int16 || !packed()) return false;
        }
        data = static_cast<const int16_t*>(view->data());
        stride = view->stride(0);
        rows = static_cast<int>(view->shape(0));
        cols = static_cast<int>(view->shape(1));
        return true;
    }

    // Rows of aligned int16 elements side by side, rows a whole number of elements apart.
    bool packed() const {
        auto address = reinterpret_cast<std::uintptr_t>(view->data());
        return view->stride(1) == 2 && view->stride(0) % 2 == 0 && address % alignof(int16_t) == 0;
    }
};

constexpr const char kSpareMask[] = "mismatch mask";

// A C-ordered rows x cols uint8 array, made by NumPy's own array type (the
// array `result * _np.uint8(255)` gives on the loop) and checked before the
// kernel writes into it: nothing the caller rebound takes part. The mask of
// an earlier call that no one kept is filled again when its shape fits (the
// kernel writes every pixel); otherwise a new one is made.
struct Mask {
    py::object array;
    std::optional<BufferView> view;

    bool make(int rows, int cols) {
        array = take_spare(kSpareMask);
        if (array && fits(rows, cols)) return true;
        view.reset();
        array = py::reinterpret_borrow<py::object>(original("_np.ndarray"))(py::make_tuple(rows, cols),
                                                                              original("_np.uint8"));
        return fits(rows, cols);
    }
    bool fits(int rows, int cols) {
        try {
            view.emplace(array, true);
        } catch (py::error_already_set&) {
            return false;
        }
        return is_ndarray(array) && view->ndim() == 2 &&
               view->element() == Element::UInt8 && view->shape(0) == rows && view->shape(1) == cols &&
               view->stride(1) == 1 && view->stride(0) == cols;
    }
    uint8_t* data() const { return static_cast<uint8_t*>(view->data()); }
};

// True when no difference std - tgt of values in these ranges can leave
// int16, so the loop's int16 subtraction never wraps.
bool differences_fit_int16(const kernels::PlaneRanges& r) {
    return r.std_hi - r.tgt_lo <= SHRT_MAX && r.std_lo - r.tgt_hi >= SHRT_MIN;
}

kernels::PlaneRanges measure(const Plane& s, const Plane& t) {
    kernels::PlaneRanges r{};
    ReleaseGil nogil;
    kernels::minmax_int16(s.data, s.stride, s.rows, s.cols, r.std_lo, r.std_hi);
    kernels::minmax_int16(t.data, t.stride, t.rows, t.cols, r.tgt_lo, r.tgt_hi);
    return r;
}

// True for slopes whose truth test runs no Python code.
bool plain_truth(py::handle slope) {
    return slope.is_none() || PyBool_Check(slope.ptr()) || PyLong_CheckExact(slope.ptr());
}

// The distinct |i| > 0 of range(1, stop, step), each capped at `limit`: a
// displacement that reaches past the image replicates the same border pixels
// as one of `limit`. The range raises what the loop's range would raise.
std::vector<int> displacements(py::handle stop, py::handle step, int limit) {
    py::object shifts = builtins().range(1, stop, step);
    bool ascending = PyObject_RichCompareBool(step.ptr(), py::int_(0).ptr(), Py_GT) == 1;
    std::vector<int> out;
    for (py::handle i : shifts) {
        long v = std::min(std::labs(PyLong_AsLong(i.ptr())), static_cast<long>(limit));
        if (v > 0) out.push_back(static_cast<int>(v));
        if (ascending && v == limit) break;
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

// The axis and diagonal shift lists of the loops for an image of rows x cols
// (the diagonal one empty without slope).
struct ShiftLists {
    std::vector<int> axis, diagonal;
};

ShiftLists shift_lists(py::handle max_shift, py::handle step, py::handle slope, int rows, int cols) {
    int limit = std::max(rows, cols) - 1;
    ShiftLists lists{displacements(add_one(max_shift), step, limit), {}};
    if (truthy(slope)) lists.diagonal = displacements(diagonal_stop(max_shift), step, limit);
    return lists;
}

// One native pass: the planes, the threshold, the displacements and the
// ranges already measured (when measured_first).
struct Pass {
    const Plane& s;
    const Plane& t;
    int threshold;
    std::vector<int> axis, diagonal;
    bool measured_first;
    kernels::PlaneRanges ranges;

    // Writes the mask pixel by pixel where few pixels differ at zero
    // displacement: nothing when that turned out not to be so (the caller
    // then makes the windows), else whether every difference fits int16.
    // A signal handler's exception stops the sweep and is raised here.
    std::optional<bool> run_sparse(Mask& mask) {
        bool made = without_gil([&](kernels::Interrupt& interrupt) {
            kernels::PlaneRanges seen{};
            bool done = kernels::sparse_shift_mismatch_mask(
                s.data, s.stride, t.data, t.stride, s.rows, s.cols, threshold, axis.data(),
                static_cast<int>(axis.size()), diagonal.data(), static_cast<int>(diagonal.size()), mask.data(),
                s.cols, &seen, &interrupt);
            if (done && !measured_first) ranges = seen;
            return done;
        });
        if (!made) return std::nullopt;
        return differences_fit_int16(ranges);
    }

    // Writes the mask with the kernel; false when a difference could wrap in
    // int16. A signal handler's exception (Ctrl-C) stops the kernel and is
    // raised here, before anything keeps the incomplete mask.
    bool run(Mask& mask) {
        without_gil([&](kernels::Interrupt& interrupt) {
            int t_lo = ranges.tgt_lo, t_hi = ranges.tgt_hi;
            if (!measured_first) kernels::guess_narrow_bounds(t.data, t.stride, t.rows, t.cols, t_lo, t_hi);
            kernels::shift_mismatch_mask(s.data, s.stride, t.data, t.stride, s.rows, s.cols, threshold, axis.data(),
                                         static_cast<int>(axis.size()), diagonal.data(),
                                         static_cast<int>(diagonal.size()), mask.data(), s.cols, t_lo, t_hi,
                                         measured_first ? nullptr : &ranges, &interrupt);
        });
        return differences_fit_int16(ranges);
    }
};

py::object mask_by_dilation(py::handle std_image, py::handle tgt_image, py::handle max_shift, py::handle threshold,
                            py::handle slope, py::handle step) {
    if (!originals_bound() || route_asked() == Route::Loop) return {};
    if (!exact_int_within(threshold, SHRT_MIN, SHRT_MAX) || !exact_int_within(max_shift, -kMaxShift, kMaxShift) ||
        !PyLong_CheckExact(step.ptr()))
        return {};
    Plane s, t;
    if (!s.open(std_image) || !t.open(tgt_image) || s.rows != t.rows || s.cols != t.cols) return {};
    // The route must give up when a difference could wrap in int16. With a
    // plain slope it finds that out from the ranges the kernel measures while
    // it reads the planes, and giving up after it evaluated the displacements
    // repeats nothing the caller can see. Any other slope's truth test runs
    // only once the route is sure to finish, after a pass measuring both planes.
    const bool measured_first = !plain_truth(slope);
    kernels::PlaneRanges ranges{};
    if (measured_first) {
        ranges = measure(s, t);
        if (!differences_fit_int16(ranges)) return {};
    }

    // Past this point the loop could not fail before its ranges, so errors
    // raised here are the loop's own.
    ShiftLists shifts = shift_lists(max_shift, step, slope, s.rows, s.cols);

    Mask mask;
    if (!mask.make(s.rows, s.cols)) return {};
    Pass pass{s, t, static_cast<int>(PyLong_AsLong(threshold.ptr())), std::move(shifts.axis),
              std::move(shifts.diagonal), measured_first, ranges};
    std::optional<bool> fits;
    if (route_asked() != Route::Windows) fits = pass.run_sparse(mask);
    if (!fits) fits = pass.run(mask);
    if (!*fits) return {};
    return mask.array;
}

// A 2-D 8-bit plane read in place: rows of packed bytes.
struct BytePlane {
    std::optional<BufferView> view;
    const uint8_t* data = nullptr;
    ptrdiff_t stride = 0;

    bool open(py::handle image) {
        if (!is_ndarray(image)) return false;
        try {
            view.emplace(image, false);
        } catch (py::error_already_set&) {
            return false;
        }
        if (view->ndim() != 2 || view->element() != Element::UInt8 || view->stride(1) != 1) return false;
        data = static_cast<const uint8_t*>(view->data());
        stride = view->stride(0);
        return true;
    }
};

}  // namespace

void record_mismatch_originals() {
    for (const char* name : kReplaced) record_original(name);
    for (const char* name : kLibrary) record_original(name);
    record_original("_np.int16");
}

std::optional<TwoMasks> two_way_masks(py::handle std_image, py::handle tgt_image, py::handle max_shift,
                                      py::handle threshold, py::handle slope, py::handle step) {
    if (!originals_bound() || !still_original("_np.int16") || !plain_truth(slope)) return std::nullopt;
    if (Route asked = route_asked(); asked == Route::Loop || asked == Route::Windows) return std::nullopt;
    if (!exact_int_within(threshold, SHRT_MIN, SHRT_MAX) || !exact_int_within(max_shift, -kMaxShift, kMaxShift) ||
        !exact_int_within(step, LONG_MIN, LONG_MAX) || PyLong_AsLong(step.ptr()) == 0)
        return std::nullopt;
    Plane s;
    BytePlane t;
    if (!s.open(std_image) || s.array.ptr() != std_image.ptr() || !t.open(tgt_image) || t.view->shape(0) != s.rows ||
        t.view->shape(1) != s.cols)
        return std::nullopt;
    ShiftLists shifts = shift_lists(max_shift, step, slope, s.rows, s.cols);
    Mask black, white;
    if (!black.make(s.rows, s.cols) || !white.make(s.rows, s.cols)) return std::nullopt;
    kernels::PlaneRanges r{};
    bool marked[2] = {true, true};
    bool made = without_gil([&](kernels::Interrupt& interrupt) {
        return kernels::sparse_two_way_masks(s.data, s.stride, t.data, t.stride, s.rows, s.cols,
                                             static_cast<int>(PyLong_AsLong(threshold.ptr())), shifts.axis.data(),
                                             static_cast<int>(shifts.axis.size()), shifts.diagonal.data(),
                                             static_cast<int>(shifts.diagonal.size()), black.data(), white.data(),
                                             s.cols,
                                             &r, marked, &interrupt);
    });
    // The loop subtracts in int16 both ways; where that could wrap, it decides.
    if (!made || !differences_fit_int16(r) || !differences_fit_int16({r.tgt_lo, r.tgt_hi, r.std_lo, r.std_hi})) {
        done_with_mask(std::move(black.array));
        done_with_mask(std::move(white.array));
        return std::nullopt;
    }
    return TwoMasks{std::move(black.array), std::move(white.array), !marked[0], !marked[1]};
}

py::object mismatch_mask(py::handle std_image, py::handle tgt_image, py::handle max_shift, py::handle threshold,
                         py::handle slope, py::handle step, bool* made_here) {
    py::object mask = mask_by_dilation(std_image, tgt_image, max_shift, threshold, slope, step);
    if (made_here) *made_here = bool(mask);
    if (mask) return mask;
    if (route_asked() == Route::Native) raise_format(PyExc_RuntimeError, "the native mismatch route stepped aside");
    return mask_by_displacement(std_image, tgt_image, max_shift, threshold, slope, step);
}

void done_with_mask(py::object mask) { keep_spare(kSpareMask, std::move(mask)); }

}  // namespace qlo::comparison
