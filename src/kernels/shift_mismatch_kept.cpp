// The shift-mismatch kernel against windows it kept from an earlier call
// (KeptWindows): a target plane's dilation or erosion over D depends only on
// that plane, D and the threshold's sign, so comparing another standard plane
// with it is one sweep that decides each pixel, with no windows to build.
// The sweep also fingerprints the plane the windows came from, so that the
// caller can tell whether it still holds the values they were made from.
#include <algorithm>
#include <cstring>

#include "kernels/shift_mismatch.h"
#include "kernels/shift_mismatch_plan.h"

namespace qlo::kernels {
namespace {

using namespace shift_plan;

constexpr int kLanes = 16;
constexpr uint64_t kSeed = 0xcbf29ce484222325ULL;

// One FNV-1a step on a 64-bit word: a bijection of h for a fixed word, so a
// word that differs makes h differ, and later steps keep it different.
inline uint64_t mix(uint64_t h, uint64_t word) { return (h ^ word) * 0x100000001b3ULL; }

// Folds one row into h. Values are spread over 16 lanes; each lane keeps the
// sum of its values (a) and the sum of its running sums (b), Fletcher's
// scheme. A changed value changes its lane's a by less than 2^16, never a
// multiple of 2^32. Two values of one lane exchanged leave a alone but change
// b by their difference times their distance in the lane, under 2^16 * 2^11,
// again never a multiple of 2^32. Either way the lane's word differs.
using Lanes = uint32_t __attribute__((vector_size(32)));   // 8 lanes of 32 bits
using Halves = uint16_t __attribute__((vector_size(16)));  // 8 values of 16 bits

inline Lanes widen(const int16_t* s) {
    Halves v;
    std::memcpy(&v, s, sizeof v);
    return __builtin_convertvector(v, Lanes);
}

inline uint64_t fold_row(uint64_t h, const int16_t* s, int n) {
    Lanes a0{}, a1{}, b0{}, b1{};
    int j = 0;
    for (; j + kLanes <= n; j += kLanes) {
        a0 += widen(s + j);
        a1 += widen(s + j + 8);
        b0 += a0;
        b1 += a1;
    }
    if (j < n) {  // the last values, framed by zeros
        int16_t tail[kLanes] = {};
        std::copy(s + j, s + n, tail);
        a0 += widen(tail);
        a1 += widen(tail + 8);
        b0 += a0;
        b1 += a1;
    }
    for (int i = 0; i < 8; ++i) h = mix(mix(h, a0[i] | uint64_t(b0[i]) << 32), a1[i] | uint64_t(b1[i]) << 32);
    return h;
}

uint64_t fingerprint(const int16_t* data, ptrdiff_t stride, int rows, int cols) {
    uint64_t h = kSeed;
    for (int y = 0; y < rows; ++y) h = fold_row(h, row_at(data, stride, y), cols);
    return h;
}

struct Sweep {
    const int16_t* std_data;
    ptrdiff_t std_stride;
    const KeptWindows* kept;
    int threshold;
    uint8_t* out;
    ptrdiff_t out_stride;
    const int16_t* check;
    ptrdiff_t check_stride;
    uint64_t fingerprint = kSeed;
    Extremes seen;
};

template <class W>
void sweep(Sweep& w) {
    const KeptWindows& k = *w.kept;
    const W* acc = reinterpret_cast<const W*>(k.bytes.data());
    for (int y = 0; y < k.rows; ++y) {
        w.fingerprint = fold_row(w.fingerprint, row_at(w.check, w.check_stride, y), k.cols);
        const int16_t* s = row_at(w.std_data, w.std_stride, y);
        decide_row(acc + static_cast<ptrdiff_t>(y) * k.cols, s, row_at(w.out, w.out_stride, y), k.cols,
                   w.threshold, k.lo, k.use_min, w.seen);
    }
}

void run_sweep(Sweep& w) {
    if (w.kept->narrow)
        sweep<uint8_t>(w);
    else
        sweep<int16_t>(w);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same sweep compiled for AVX2, everything inlined (see the streaming
// engine in shift_mismatch.cpp).
__attribute__((target("avx2"), flatten)) void run_sweep_avx2(Sweep& w) { run_sweep(w); }
__attribute__((target("avx2"), flatten)) uint64_t fingerprint_avx2(const int16_t* data, ptrdiff_t stride,
                                                                    int rows, int cols) {
    return fingerprint(data, stride, rows, cols);
}
#endif

}  // namespace

void compare_to_kept(const int16_t* std_data, ptrdiff_t std_stride, const KeptWindows& kept, int threshold,
                     uint8_t* out, ptrdiff_t out_stride, const int16_t* check, ptrdiff_t check_stride,
                     uint64_t& fingerprint_out, int& std_lo, int& std_hi) {
    Sweep w{std_data, std_stride, &kept, clamp_int(threshold, -65536, 65536), out, out_stride, check,
            check_stride};
    if (kept.rows >= 1 && kept.cols >= 1) {
#if defined(__x86_64__) && defined(__GNUC__)
        if (has_avx2())
            run_sweep_avx2(w);
        else
#endif
            run_sweep(w);
    }
    fingerprint_out = w.fingerprint;
    std_lo = w.seen.lo;
    std_hi = w.seen.hi;
}

uint64_t fingerprint_int16(const int16_t* data, ptrdiff_t stride, int rows, int cols) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (has_avx2()) return fingerprint_avx2(data, stride, rows, cols);
#endif
    return fingerprint(data, stride, rows, cols);
}

}  // namespace qlo::kernels
