// Row operations of the shift-mismatch kernel (shift_mismatch.cpp) on its
// working values: target values converted to int16 or, when they span at most
// 256 values, to uint8; complemented for minima so that every pass is a max.
// Internal to the kernel; the functions are inline so -O3 sees every loop.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace qlo::kernels::shift_rows {

inline int clamp_int(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

// Smallest and largest plane value read so far, measured while the rows are
// read anyway instead of in a pass of their own.
struct Extremes {
    int16_t lo = INT16_MAX, hi = INT16_MIN;
};

// Folds s[0..n) into `seen`. Called on a row just read for other work, so
// its values come from L1 and the plane is not streamed from memory again.
inline void track_extremes(Extremes& seen, const int16_t* s, int n) {
    int16_t mn = seen.lo, mx = seen.hi;
    for (int j = 0; j < n; ++j) {
        mn = std::min(mn, s[j]);
        mx = std::max(mx, s[j]);
    }
    seen.lo = mn;
    seen.hi = mx;
}

// Working value of target value v: v ^ flip on int16, (v - lo) ^ flip on uint8
// (for uint8, XOR with all ones is 255 - x).
template <class W>
inline W to_work(int16_t v, int16_t lo, int16_t flip) {
    if constexpr (std::is_same_v<W, uint8_t>)
        return uint8_t(uint8_t(v - lo) ^ uint8_t(flip));
    else
        return int16_t(v ^ flip);
}

// Row primitives, for either working type. Plain loops with std::max so that
// -O3 vectorises them without target-specific flags (SSE2 has both the signed
// 16-bit and the unsigned 8-bit max).

template <class W>
inline void max_of(W* __restrict d, const W* __restrict a, const W* __restrict b, int n) {
    for (int j = 0; j < n; ++j) d[j] = std::max(a[j], b[j]);
}

template <class W>
inline void max_into(W* __restrict acc, const W* __restrict a, int n) {
    for (int j = 0; j < n; ++j) acc[j] = std::max(acc[j], a[j]);
}

template <class W>
inline void max_const_into(W* acc, W v, int n) {
    for (int j = 0; j < n; ++j) acc[j] = std::max(acc[j], v);
}

// Copies target values as working values. On the 8-bit path it also returns
// nonzero when some value lies outside lo..lo+255 (its v - lo has high bits).
template <class W>
inline int copy_work(W* __restrict d, const int16_t* __restrict s, int n, int16_t lo,
                     int16_t flip) {
    if constexpr (std::is_same_v<W, uint8_t>) {
        uint16_t bits = 0;
        for (int j = 0; j < n; ++j) {
            uint16_t u = uint16_t(s[j] - lo);
            d[j] = uint8_t(uint8_t(u) ^ uint8_t(flip));
            bits |= u;
        }
        return bits >> 8;
    } else {
        for (int j = 0; j < n; ++j) d[j] = to_work<W>(s[j], lo, flip);
        return 0;
    }
}

// copy_work, also folding the values copied into `seen`. On the 8-bit path the
// range comes from the narrowed values (v - lo is 0..255 when nothing strays);
// a row that strays is left out, since its run is discarded and done again on
// int16, which measures every value.
template <class W>
inline int copy_work_tracked(W* __restrict d, const int16_t* __restrict s, int n, int16_t lo, int16_t flip,
                             Extremes& seen) {
    if constexpr (std::is_same_v<W, uint8_t>) {
        uint16_t bits = 0;
        uint8_t mn = 255, mx = 0;
        for (int j = 0; j < n; ++j) {
            uint16_t u = uint16_t(s[j] - lo);
            uint8_t v = uint8_t(u);
            d[j] = uint8_t(v ^ uint8_t(flip));
            mn = std::min(mn, v);
            mx = std::max(mx, v);
            bits |= u;
        }
        if (bits >> 8) return 1;
        if (n > 0) {
            seen.lo = std::min<int16_t>(seen.lo, int16_t(lo + mn));
            seen.hi = std::max<int16_t>(seen.hi, int16_t(lo + mx));
        }
        return 0;
    } else {
        int16_t mn = seen.lo, mx = seen.hi;
        for (int j = 0; j < n; ++j) {
            d[j] = to_work<W>(s[j], lo, flip);
            mn = std::min(mn, s[j]);
            mx = std::max(mx, s[j]);
        }
        seen.lo = mn;
        seen.hi = mx;
        return 0;
    }
}

template <class W>
inline void max_work_into(W* __restrict acc, const int16_t* __restrict s, int n, int16_t lo,
                          int16_t flip) {
    for (int j = 0; j < n; ++j) acc[j] = std::max(acc[j], to_work<W>(s[j], lo, flip));
}

// Clamped copy of target row `src` for columns [x0, x0 + w), as working values:
// columns left of the image take column 0, columns right of it take column cols-1.
// Returns what copy_work returns for the columns inside the image, whose
// values it folds into `seen` (see copy_work_tracked).
template <class W>
inline int copy_clamped_row(W* dst, const int16_t* src, int cols, int x0, int w, int16_t lo,
                            int16_t flip, Extremes& seen) {
    int a = clamp_int(-x0, 0, w), b = clamp_int(cols - x0, 0, w), stray = 0;
    std::fill(dst, dst + a, to_work<W>(src[0], lo, flip));
    if (b > a) stray = copy_work_tracked(dst + a, src + (x0 + a), b - a, lo, flip, seen);
    std::fill(dst + b, dst + w, to_work<W>(src[cols - 1], lo, flip));
    return stray;
}

// acc[i] = max(acc[i], target row displaced right by dx, at column x0 + i).
template <class W>
inline void max_shifted_row(W* acc, const int16_t* src, int cols, int x0, int w, int dx,
                            int16_t lo, int16_t flip) {
    // Columns reading inside the row: 0 <= x0 + i - dx <= cols - 1.
    int a = clamp_int(dx - x0, 0, w), b = clamp_int(cols + dx - x0, 0, w);
    max_const_into(acc, to_work<W>(src[0], lo, flip), a);
    if (b > a) max_work_into(acc + a, src + (x0 + a - dx), b - a, lo, flip);
    max_const_into(acc + b, to_work<W>(src[cols - 1], lo, flip), w - b);
}

// o[x] = 255 where std - v > t for every displaced value v (t >= 0), or
// std - v < t for every v (t < 0); acc holds max(v), or ~min(v) when use_min.
// Evaluated in int16 without losing exactness: for t >= 0, max + t < std needs
// max + t <= 32767, and within that bound the int16 sum is exact; likewise
// min + t >= -32768 for t < 0. Keeping the loop in int16 halves its width
// compared to widening to int32. t must be within +-65536.
inline void compare_row(const int16_t* acc, const int16_t* s, uint8_t* o, int w, int t,
                        bool use_min) {
    // The bound is an int; outside int16 nothing can pass.
    int bound = use_min ? -32768 - t : 32767 - t;
    if (bound < -32768 || bound > 32767) {
        std::fill(o, o + w, uint8_t(0));
        return;
    }
    const int16_t b = int16_t(bound);
    const uint16_t tu = uint16_t(t);  // the sum is taken modulo 2^16, exact within the bound
    if (!use_min) {
        for (int x = 0; x < w; ++x) {
            int16_t sum = int16_t(uint16_t(acc[x]) + tu);
            o[x] = ((acc[x] <= b) & (sum < s[x])) ? 255 : 0;
        }
    } else {
        for (int x = 0; x < w; ++x) {
            int16_t mn = int16_t(~acc[x]);
            int16_t sum = int16_t(uint16_t(mn) + tu);
            o[x] = ((mn >= b) & (sum > s[x])) ? 255 : 0;
        }
    }
}

// The same on the 8-bit path, where acc holds max(v) - lo, or 255 - (min(v) - lo)
// when use_min: with u the extreme minus lo, the test is std > u + (t + lo)
// (std < u + (t + lo) for t < 0). u is 0..255, so while t + lo stays within
// -32768..32512 the sum fits int16 and the loop stays in int16; other
// thresholds (which no realistic 8-bit comparison uses) take int32. t must be
// within +-65536.
inline void compare_row(const uint8_t* acc, const int16_t* s, uint8_t* o, int w, int t, int16_t lo,
                        bool use_min) {
    const int tl = t + lo;
    const uint8_t flip = use_min ? 0xFF : 0;
    if (tl >= -32768 && tl <= 32767 - 255) {
        const uint16_t tu = uint16_t(tl);  // modulo 2^16, exact since the sum fits int16
        if (!use_min) {
            for (int x = 0; x < w; ++x) o[x] = int16_t(uint16_t(acc[x]) + tu) < s[x] ? 255 : 0;
        } else {
            for (int x = 0; x < w; ++x)
                o[x] = int16_t(uint16_t(uint8_t(acc[x] ^ flip)) + tu) > s[x] ? 255 : 0;
        }
        return;
    }
    for (int x = 0; x < w; ++x) {
        int m = int(uint8_t(acc[x] ^ flip)) + tl;
        o[x] = (use_min ? s[x] < m : s[x] > m) ? 255 : 0;
    }
}

// The 8-bit route of the comparison, for a row of standard values within
// 0..255 against windows of 8-bit target values (lo = 0): acc holds the
// target's max M over D, or 255 - m for its min m when use_min. With
// sat(a, b) = max(a - b, 0) on 0..255, which needs no widening:
//   t >= 0:  s - M > t  <=>  sat(s, M) > t. If s - M > t then s - M > 0, so
//            sat(s, M) = s - M; if sat(s, M) > t >= 0 then sat(s, M) > 0, so
//            again it equals s - M.
//   t < 0:   s - m < t  <=>  m - s > -t  <=>  sat(m, s) > -t, the same
//            argument with -t > 0.
// Differences lie within -255..255, so for |t| >= 255 neither side ever
// holds; the caller takes this route only for |t| < 255.
// The row is measured in the same sweep: the decision is made as if it lay
// within 0..255 while its values are checked; false when one does not, and
// then `o` and `row` must be made again. Otherwise `row` receives its range.
inline bool decide_row_u8(const uint8_t* __restrict acc, const int16_t* __restrict s, uint8_t* __restrict o,
                          int w, int t, bool use_min, Extremes& row) {
    const uint8_t u = uint8_t(use_min ? -t : t);
    uint16_t bits = 0;
    uint8_t mn = 255, mx = 0;
    if (!use_min) {
        for (int x = 0; x < w; ++x) {
            bits |= uint16_t(s[x]);
            uint8_t a = uint8_t(s[x]), b = acc[x];
            mn = std::min(mn, a);
            mx = std::max(mx, a);
            uint8_t d = a > b ? uint8_t(a - b) : uint8_t(0);
            o[x] = d > u ? 255 : 0;
        }
    } else {
        for (int x = 0; x < w; ++x) {
            bits |= uint16_t(s[x]);
            uint8_t a = uint8_t(255 - acc[x]), b = uint8_t(s[x]);
            mn = std::min(mn, b);
            mx = std::max(mx, b);
            uint8_t d = a > b ? uint8_t(a - b) : uint8_t(0);
            o[x] = d > u ? 255 : 0;
        }
    }
    if (bits >> 8) return false;
    row.lo = mn;
    row.hi = mx;
    return true;
}

// The comparison of one output row: the 8-bit route where it decides the
// same (standard row within 0..255, 8-bit windows from lo = 0, |t| < 255),
// compare_row everywhere else. The standard row's range is folded into
// `seen`. Where the 8-bit route may apply, it is tried in the sweep that
// measures the row; a row found outside 0..255 is measured and decided again.
template <class W>
inline void decide_row(const W* acc, const int16_t* s, uint8_t* o, int w, int t, int16_t lo, bool use_min,
                       Extremes& seen) {
    Extremes row;
    bool decided = false;
    if constexpr (std::is_same_v<W, uint8_t>) {
        if (lo == 0 && t > -255 && t < 255 && w > 0) decided = decide_row_u8(acc, s, o, w, t, use_min, row);
    }
    if (!decided) {
        track_extremes(row, s, w);
        if constexpr (std::is_same_v<W, uint8_t>)
            compare_row(acc, s, o, w, t, lo, use_min);
        else
            compare_row(acc, s, o, w, t, use_min);
    }
    seen.lo = std::min(seen.lo, row.lo);
    seen.hi = std::max(seen.hi, row.hi);
}

// Horizontal and combined windows of the streaming path.

template <class W>
inline void max_of3(W* __restrict d, const W* __restrict a, const W* __restrict b,
                    const W* __restrict c, int n) {
    for (int j = 0; j < n; ++j) d[j] = std::max(a[j], std::max(b[j], c[j]));
}

// Horizontal window of 2k+1 starting at each column: after the passes cur[j] is
// the max of `span` values starting at j with 2 * span >= 2k+1, so the window
// at x is max(cur[x], cur[x + off]). Three-tap passes where they fit need fewer
// loads and stores than doubling.
template <class W>
inline const W* horizontal_spans(const W* src, int w, int k, W* t0, W* t1, int& off) {
    const int win = 2 * k + 1;
    const W* cur = src;
    int n = w + 2 * k, span = 1;
    W* bufs[2] = {t0, t1};
    for (int which = 0; 2 * span < win; which ^= 1) {
        W* next = bufs[which];
        if (3 * span <= win) {
            max_of3(next, cur, cur + span, cur + 2 * span, n - 2 * span);
            n -= 2 * span;
            span *= 3;
        } else {
            max_of(next, cur, cur + span, n - span);
            n -= span;
            span *= 2;
        }
        cur = next;
    }
    off = win - span;
    return cur;
}

// acc[j] = max of the horizontal window (h0, h1) and, when present, the
// vertical (vb, vf) and diagonal (db: both bwd values, f1, f2) windows.
template <bool kVertical, bool kDiagonal, class W>
inline void combine_windows(W* __restrict acc, const W* h0, const W* h1, const W* __restrict vb,
                            const W* __restrict vf, const W* __restrict db,
                            const W* __restrict f1, const W* __restrict f2, int n) {
    for (int j = 0; j < n; ++j) {
        W m = std::max(h0[j], h1[j]);
        if (kVertical) m = std::max(m, std::max(vb[j], vf[j]));
        if (kDiagonal) m = std::max(m, std::max(db[j], std::max(f1[j], f2[j])));
        acc[j] = m;
    }
}

}  // namespace qlo::kernels::shift_rows
