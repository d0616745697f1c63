// Shift-tolerant mismatch mask between a standard and a target image plane.
//
// A pixel of the standard counts as a defect only if it differs from the target
// at every tried displacement of the target, so small misregistrations of the
// target are forgiven. Pure C++, no Python; safe to call with the GIL released.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/interrupt.h"

namespace qlo::kernels {

// Planes hold int16 elements; each row is contiguous in x and rows are `stride`
// BYTES apart (any multiple of 2, possibly more than cols * 2). Only the first
// `cols` elements of each of the `rows` rows are read or written.
//
// Writes out[y][x] = 255 where, for every displacement d = (dx, dy) in D,
//     cmp( std[y][x] - tgt[clamp(y - dy, 0, rows - 1)][clamp(x - dx, 0, cols - 1)] )
// holds, and 0 elsewhere. cmp(v) is (v > threshold) when threshold >= 0 and
// (v < threshold) when threshold < 0. The target displaced by d is the target
// moved right by dx and down by dy with replicated borders, each axis clamped
// on its own.
//
// D = {(0,0)}
//   ∪ {(a,0), (-a,0), (0,a), (0,-a) : a in axis_shifts}
//   ∪ {(b,b), (-b,b), (b,-b), (-b,-b) : b in diag_shifts}.
//
// The shift lists are normally strictly increasing positive ints (Python
// range(1, n, step)) and may be empty or far larger than the image. The part
// of a list that runs 1, 2, ..., k costs about the same for any k up to 256
// (k is first capped at the image size; wider windows take a slower path);
// every other shift costs one pass per distinct displacement. Any int list
// gives the result of the formula above (a shift s acts as |s|; a null list
// is empty).
//
// The result is exact for every int16 input and every int threshold (as if the
// differences were taken in int32). rows and cols should be >= 1; otherwise
// nothing is written. Scratch is allocated per call and no state is kept, so
// concurrent calls are safe. Scratch is a few hundred KB for runs up to about
// 10, at most about 7 MB for runs up to 256 (each capped at the image size),
// and one int16 plane (rows * cols * 2 bytes) beyond that; half of each on the
// 8-bit path below.
//
// tgt_lo and tgt_hi are the range the caller expects the target's values in
// (e.g. measured with minmax_int16); the defaults say nothing. When they span
// at most 256 values (8-bit images), the windows are computed on uint8 values,
// twice as many per vector, and only the final comparison uses int16. The
// bounds only choose the path: each value is checked as it is narrowed, and if
// one lies outside them the mask is computed again on int16 (the cost of a
// second call), so the result stays exact. Reversed bounds or bounds outside
// int16 are ignored.
//
// `seen`, when given, receives the smallest and largest value of each plane as
// the kernel read them (every value is read), e.g. for an overflow check made
// after the work instead of in passes of its own over both planes.
//
// `interrupt`, when given, is polled once per output row; once it asks to
// stop, the call returns with the mask (and `seen`) incomplete.
struct PlaneRanges {
    int std_lo, std_hi, tgt_lo, tgt_hi;
};

void shift_mismatch_mask(const int16_t* std_data, ptrdiff_t std_stride,
                         const int16_t* tgt_data, ptrdiff_t tgt_stride,
                         int rows, int cols, int threshold,
                         const int* axis_shifts, int n_axis,
                         const int* diag_shifts, int n_diag,
                         uint8_t* out, ptrdiff_t out_stride,
                         int tgt_lo = INT16_MIN, int tgt_hi = INT16_MAX,
                         PlaneRanges* seen = nullptr,
                         Interrupt* interrupt = nullptr);

// The mask shift_mismatch_mask writes, for thresholds within int16, made by
// comparing each pixel at zero displacement and only the differing ones at
// the other displacements, each until one matches: a few comparisons per
// pixel where the planes mostly agree (a print against its standard), which
// is much cheaper than the windows. Where many pixels differ that would cost
// up to |D| comparisons per pixel, so the sweep gives up after a few per pixel
// on average and returns false, with the mask incomplete and `seen` not
// written; the caller then makes the mask with shift_mismatch_mask. When it
// returns true, `seen` (when given) holds the range of every value of both
// planes, as shift_mismatch_mask's does. Exact for every int16 input.
bool sparse_shift_mismatch_mask(const int16_t* std_data, ptrdiff_t std_stride, const int16_t* tgt_data,
                                ptrdiff_t tgt_stride, int rows, int cols, int threshold, const int* axis_shifts,
                                int n_axis, const int* diag_shifts, int n_diag, uint8_t* out, ptrdiff_t out_stride,
                                PlaneRanges* seen = nullptr, Interrupt* interrupt = nullptr);

// Both directed masks of a comparison of an int16 standard with an 8-bit
// target in one sweep of the same kind: `black` as sparse_shift_mismatch_mask
// writes it for (std, tgt) and `white` as it writes it for (tgt, std), with
// the target's values as int16. The same budget per direction and the same
// false (both masks incomplete). `seen` receives what an overflow check needs:
// the standard's lowest value, its highest as 32767 and the target's range as
// 0..255. `marked`, when given, receives for each mask whether any pixel is
// 255 (black first).
bool sparse_two_way_masks(const int16_t* std_data, ptrdiff_t std_stride, const uint8_t* tgt_data,
                          ptrdiff_t tgt_stride, int rows, int cols, int threshold, const int* axis_shifts, int n_axis,
                          const int* diag_shifts, int n_diag, uint8_t* black, uint8_t* white, ptrdiff_t out_stride,
                          PlaneRanges* seen = nullptr, bool* marked = nullptr, Interrupt* interrupt = nullptr);

// Smallest and largest value of a plane (stride in bytes), e.g. for a caller's
// overflow check. An empty plane (rows or cols < 1) gives lo = hi = 0.
void minmax_int16(const int16_t* data, ptrdiff_t stride, int rows, int cols, int& lo, int& hi);

// Bounds to pass to shift_mismatch_mask as tgt_lo / tgt_hi without measuring
// the whole plane: from the range of a few rows, 0..255 when they lie in it
// (8-bit images), else a 256-value span centred on them if they fit one, else
// the whole int16 range. Only the kernel's speed depends on the guess.
void guess_narrow_bounds(const int16_t* data, ptrdiff_t stride, int rows, int cols, int& lo, int& hi);

}  // namespace qlo::kernels
