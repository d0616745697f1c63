// What the shift-mismatch kernel's two paths share (shift_mismatch.cpp, the
// streaming path; shift_mismatch_plane.cpp, the whole-plane path): the plan
// derived from the arguments and the last step of every output row.
// Internal to the kernel.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <type_traits>
#include <vector>

#include "base/interrupt.h"
#include "kernels/shift_mismatch_rows.h"

namespace qlo::kernels::shift_plan {

using namespace shift_rows;

#if defined(__x86_64__) && defined(__GNUC__)
// True when the AVX2 copies of the kernel's loops run. QLO_CV_GENERIC_KERNELS
// set in the environment keeps the generic code, so that both versions can be
// run and compared on one machine.
inline bool has_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2") && !std::getenv("QLO_CV_GENERIC_KERNELS");
    return yes;
}
#endif

template <class T>
inline T* row_at(T* base, ptrdiff_t stride_bytes, int y) {
    using Byte = std::conditional_t<std::is_const_v<T>, const char, char>;
    return reinterpret_cast<T*>(reinterpret_cast<Byte*>(base) + stride_bytes * y);
}

struct Displacement {
    int dx, dy;
    bool operator<(const Displacement& o) const { return dx != o.dx ? dx < o.dx : dy < o.dy; }
    bool operator==(const Displacement& o) const { return dx == o.dx && dy == o.dy; }
};

// Everything the passes need, derived once from the arguments.
struct Plan {
    const int16_t* std_data;
    ptrdiff_t std_stride;
    const int16_t* tgt_data;
    ptrdiff_t tgt_stride;
    uint8_t* out;
    ptrdiff_t out_stride;
    int rows, cols;
    int threshold;  // clamped to +-65536, which cannot change any outcome
    bool use_min;   // threshold < 0: the minimum over D decides
    int16_t flip;   // 0, or ~0 when use_min: working values are XORed with it
    int16_t lo;     // uint8 working values hold v - lo (0 on the int16 path)
    bool narrow;    // the caller's range fits lo..lo+255: try uint8 first
    int kh, kv, kd; // half-lengths of the horizontal, vertical and diagonal line windows
    std::vector<Displacement> extra;  // other displacements, clamped and deduplicated
    // Values of each plane read by the passes (every one of them is read).
    mutable Extremes std_seen, tgt_seen;
    // Polled once per output row (each may apply thousands of displacements).
    Interrupt* interrupt = nullptr;
};

inline const int16_t* tgt_row(const Plan& p, int y) { return row_at(p.tgt_data, p.tgt_stride, y); }

// Applies the explicit displacements to acc (the max over the line windows for
// row y, columns [x0, x0 + w)) and writes the comparison to the output row.
template <class W>
inline void finish_row(const Plan& p, W* acc, int y, int x0, int w) {
    for (const Displacement& d : p.extra) {
        const int16_t* src = tgt_row(p, clamp_int(y - d.dy, 0, p.rows - 1));
        max_shifted_row(acc, src, p.cols, x0, w, d.dx, p.lo, p.flip);
    }
    const int16_t* s = row_at(p.std_data, p.std_stride, y) + x0;
    uint8_t* o = row_at(p.out, p.out_stride, y) + x0;
    decide_row(acc, s, o, w, p.threshold, p.lo, p.use_min, p.std_seen);
}
// The whole-plane path (any window size, memory of one plane): writes the mask,
// or returns false, with the mask incomplete, when a target value broke the
// 8-bit bounds.
template <class W>
bool run_whole_plane(const Plan& p);

}  // namespace qlo::kernels::shift_plan
