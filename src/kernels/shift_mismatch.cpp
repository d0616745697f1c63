// Shift-tolerant mismatch mask.
//
// For threshold >= 0 a pixel is marked iff the largest target value over all
// displacements in D is below std - threshold; for threshold < 0 iff the
// smallest one is above std - threshold. So the work is a grey dilation (or
// erosion) of the target by the displacement set, with replicated borders,
// followed by one comparison per pixel.
//
// The displacement set splits into four lines through the origin (horizontal,
// vertical and the two diagonals) when the shift lists start 1, 2, ..., k.
// Vertical and diagonal windows of 2k+1 pixels use van Herk / Gil-Werman
// running maxima, whose cost does not depend on k; horizontal ones use a few
// passes of 3- and 2-tap maxima over a row held in L1 (log3 k passes, cheap).
// Shifts that are not part of such a leading run are applied one displacement
// at a time.
//
// Minima are computed as maxima of complemented values, so every pass is a max
// and the complement is folded into the copy of the target.
//
// The passes work on target values converted to a working type W as they are
// copied in. In general W is int16 and the complement is ~v, which reverses the
// order of int16 without overflow (unlike -v). When the caller's measured range
// says the target's values lie in lo..lo+255 (8-bit images), W is uint8 holding
// v - lo, complemented as 255 - (v - lo): twice the values per vector and half
// the bytes in every buffer. Only the final comparison goes back to int16,
// against the standard as it is. The copy also checks each value against the
// range, and a run that meets one outside it is redone on int16.
#include "kernels/shift_mismatch.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <limits>
#include <type_traits>
#include <vector>

#include "kernels/shift_mismatch_plan.h"

namespace qlo::kernels {
namespace {

using namespace shift_plan;

// Line windows wider than this go through the whole-plane path, whose memory
// does not grow with the window; below it the streaming path keeps its scratch
// to a few MB.
constexpr int kMaxPad = 256;

// The streaming path sweeps the target padded by its windows, the whole-plane
// path only the image but with several times the work per pixel: streaming is
// taken while the padded area stays within this many times the image's.
constexpr double kPaddingWorth = 8.0;

// Target size of the streaming path's buffers for one column strip, so that
// they stay within a 1 MB L2 cache.
constexpr size_t kStripBytes = 640 * 1024;

// Length of the leading run 1, 2, ..., k of a shift list.
int leading_run(const int* shifts, int n) {
    int k = 0;
    while (k < n && shifts[k] == k + 1) ++k;
    return k;
}

// |s| limited to `cap`. A shift of at least size-1 along an axis reads the edge
// row or column for every pixel, so larger ones are equivalent to size-1.
int capped(int s, int cap) {
    long long m = std::llabs(static_cast<long long>(s));
    return static_cast<int>(std::min<long long>(m, cap));
}

bool covered_by_lines(const Displacement& d, const Plan& p) {
    int ax = std::abs(d.dx), ay = std::abs(d.dy);
    if (ay == 0) return ax <= p.kh;
    if (ax == 0) return ay <= p.kv;
    return ax == ay && ax <= p.kd;
}

// Distinct |s| of shifts[from, n), capped at max(rows, cols) - 1: the number
// of displacements stays bounded by the image size however long the list is.
std::vector<int> distinct_magnitudes(const Plan& p, const int* shifts, int from, int n) {
    const int cap = std::max(p.rows, p.cols) - 1;
    std::vector<char> seen(static_cast<size_t>(cap) + 1, 0);
    std::vector<int> mags;
    for (int i = from; i < n; ++i) {
        int m = capped(shifts[i], cap);
        if (!seen[m]) mags.push_back(m);
        seen[m] = 1;
    }
    return mags;
}

void add_extra_shifts(Plan& p, const int* axis, int n_axis, int run_a,
                      const int* diag, int n_diag, int run_d) {
    int cx = p.cols - 1, cy = p.rows - 1;
    std::vector<Displacement>& e = p.extra;
    for (int m : distinct_magnitudes(p, axis, run_a, n_axis)) {
        int h = std::min(m, cx), v = std::min(m, cy);
        e.insert(e.end(), {{h, 0}, {-h, 0}, {0, v}, {0, -v}});
    }
    for (int m : distinct_magnitudes(p, diag, run_d, n_diag)) {
        int h = std::min(m, cx), v = std::min(m, cy);
        e.insert(e.end(), {{h, v}, {-h, v}, {h, -v}, {-h, -v}});
    }
    e.erase(std::remove_if(e.begin(), e.end(),
                           [&](const Displacement& d) { return covered_by_lines(d, p); }),
            e.end());
    std::sort(e.begin(), e.end());
    e.erase(std::unique(e.begin(), e.end()), e.end());
}

Plan make_plan(const int16_t* std_data, ptrdiff_t std_stride, const int16_t* tgt_data,
               ptrdiff_t tgt_stride, int rows, int cols, int threshold, const int* axis,
               int n_axis, const int* diag, int n_diag, uint8_t* out, ptrdiff_t out_stride,
               int tgt_lo, int tgt_hi) {
    Plan p{std_data, std_stride, tgt_data, tgt_stride, out, out_stride, rows, cols,
           clamp_int(threshold, -65536, 65536), threshold < 0, 0, 0, false, 0, 0, 0, {}};
    p.flip = p.use_min ? int16_t(~0) : int16_t(0);
    // Reversed bounds or bounds outside int16 say nothing; the copies check the rest.
    if (tgt_lo >= INT16_MIN && tgt_lo <= tgt_hi && tgt_hi <= INT16_MAX && tgt_hi - tgt_lo <= 255) {
        p.narrow = true;
        p.lo = int16_t(tgt_lo);
    }
    n_axis = axis ? std::max(n_axis, 0) : 0;
    n_diag = diag ? std::max(n_diag, 0) : 0;
    int run_a = leading_run(axis, n_axis), run_d = leading_run(diag, n_diag);
    p.kh = std::min(run_a, cols - 1);
    p.kv = std::min(run_a, rows - 1);
    // Beyond max(rows, cols) - 1 a diagonal shift reads a corner for every pixel.
    p.kd = std::min(run_d, std::max(rows, cols) - 1);
    add_extra_shifts(p, axis, n_axis, run_a, diag, n_diag, run_d);
    return p;
}

// ---------------------------------------------------------------------------
// Streaming path: line windows of half-length up to kMaxPad.
//
// The output is processed in column strips (usually one, the full width), each
// swept top to bottom once. A ring holds the replicate-padded target rows
// around the current row; replicate padding is exactly per-axis clamping, so on
// padded rows every line window, diagonal ones included, is a straight run of
// pixels. Vertical and diagonal windows use van Herk / Gil-Werman running
// maxima in blocks of 2k+1 rows: fwd(r) is the max along the line from its
// block's first row to row r, bwd(r) from row r to the block's last row, and
// the window of output row y is max(bwd(y - k), fwd(y + k)) whatever k is.
//
// fwd is one row per line, updated in place as the sweep advances. For the
// diagonals it is stored sheared by the row's position s in its block, so the
// in-place update reads the same index it writes: fwd1(r)[j] = g[j - s] and
// fwd2(r)[j] = h[j + s]. bwd is filled a block at a time when the sweep enters
// the block; for the diagonals only the max of the two values each output
// column reads is kept, one row instead of two. Each output row is finished in
// chunks of columns, so the values a chunk produces are still in L1 when it
// combines them.

template <class W>
class StreamEngine {
public:
    explicit StreamEngine(const Plan& p);
    // False when a target value broke the 8-bit bounds; the mask is then wrong.
    bool run() {
        for (int x0 = 0; x0 < p_.cols && !stray_ && !stop_requested(p_.interrupt); x0 += strip_w_)
            sweep_strip(x0, std::min(strip_w_, p_.cols - x0));
        return stray_ == 0;
    }

private:
    // Columns of an output row finished at a time: 1 KB of working values.
    static constexpr int kChunk = 1024 / sizeof(W);

    void sweep_strip(int x0, int w);
    const W* padded(int r) const {
        return ring_.data() + static_cast<ptrdiff_t>(pw_) * ((r + py_) % ring_rows_);
    }
    void load_padded(int r, int x0) {
        W* dst = ring_.data() + static_cast<ptrdiff_t>(pw_) * ((r + py_) % ring_rows_);
        const int16_t* src = tgt_row(p_, clamp_int(r, 0, p_.rows - 1));
        // The strips' columns cover the row; the clamped margins repeat its ends.
        stray_ |= copy_clamped_row(dst, src, p_.cols, x0 - px_, pw_, p_.lo, p_.flip, p_.tgt_seen);
    }
    // Position of row r in its block; blocks of 2k+1 rows start at row -k.
    static int block_pos(int r, int k) { return (r + k) % (2 * k + 1); }
    void vertical_fwd(int r, int c0, int c1);
    void diagonal_fwd(int r, int c0, int c1, int w);
    void vertical_bwd(int first_row, int w);
    void diagonal_bwd(int first_row, int w);
    void finish_chunk(int y, int x0, int c0, int c1);

    const Plan& p_;
    int px_, py_;    // padding of a strip: columns on each side, rows above and below
    int strip_w_;    // output columns per strip
    int pw_ = 0;     // padded row length of the current strip
    int ring_rows_;  // 2 * py + 1: padded rows y - py .. y + py
    int stray_ = 0;  // nonzero once a loaded row broke the 8-bit bounds; every value gets loaded
    std::vector<W> ring_, acc_, t0_, t1_;
    std::vector<W> vfwd_, vbwd_;  // vertical: fwd row, bwd rows of one block
    std::vector<W> g_, h_;        // sheared fwd of the down-right / down-left diagonals
    std::vector<W> dbwd_;         // diagonals: max of both bwd values, rows of one block
    std::vector<W> ebwd_;         // bwd of each diagonal, rows i and i+1 of the block
};

template <class W>
StreamEngine<W>::StreamEngine(const Plan& p) : p_(p) {
    px_ = std::max(p.kh, p.kd);
    py_ = std::max(p.kv, p.kd);
    ring_rows_ = 2 * py_ + 1;
    // Full rows read the planes as one sequential stream, which the hardware
    // prefetcher handles best. Wide windows need many buffer rows, so the image
    // is then cut into column strips whose buffers still fit in L2; strips stay
    // several times wider than the padding to keep the overlap small.
    int rows_per_col = ring_rows_ + (p.kv ? 2 * p.kv + 2 : 0) + (p.kd ? 2 * p.kd + 7 : 0);
    int fit = static_cast<int>(kStripBytes / (sizeof(W) * rows_per_col)) - 2 * px_;
    strip_w_ = std::min(p.cols, std::max({fit, 512, 8 * px_}));
    int max_pw = strip_w_ + 2 * px_;
    ring_.resize(static_cast<size_t>(ring_rows_) * max_pw);
    acc_.resize(std::min(strip_w_, kChunk));
    t0_.resize(std::min(strip_w_, kChunk) + 2 * p.kh);
    t1_.resize(t0_.size());
    if (p.kv) {
        vfwd_.resize(max_pw);
        vbwd_.resize(static_cast<size_t>(2 * p.kv + 1) * strip_w_);
    }
    if (p.kd) {
        g_.resize(max_pw);
        h_.resize(max_pw);
        dbwd_.resize(static_cast<size_t>(2 * p.kd + 1) * strip_w_);
        ebwd_.resize(4 * static_cast<size_t>(max_pw));
    }
}

template <class W>
void StreamEngine<W>::sweep_strip(int x0, int w) {
    pw_ = w + 2 * px_;
    const int kv = p_.kv, kd = p_.kd;
    for (int r = -py_; r < py_; ++r) load_padded(r, x0);
    for (int r = -kv; r < kv; ++r) vertical_fwd(r, 0, w);
    for (int r = -kd; r < kd; ++r) diagonal_fwd(r, 0, w, w);
    for (int y = 0; y < p_.rows && !stray_ && !stop_requested(p_.interrupt); ++y) {
        load_padded(y + py_, x0);
        if (kv && block_pos(y - kv, kv) == 0) vertical_bwd(y - kv, w);
        if (kd && block_pos(y - kd, kd) == 0) diagonal_bwd(y - kd, w);
        for (int c0 = 0; c0 < w; c0 += kChunk) {
            int c1 = std::min(w, c0 + kChunk);
            if (kv) vertical_fwd(y + kv, c0, c1);
            if (kd) diagonal_fwd(y + kd, c0, c1, w);
            finish_chunk(y, x0, c0, c1);
        }
    }
}

// Vertical fwd of row r for output columns [c0, c1), in place.
template <class W>
void StreamEngine<W>::vertical_fwd(int r, int c0, int c1) {
    const W* s = padded(r) + px_;
    W* f = vfwd_.data() + px_;
    if (block_pos(r, p_.kv) == 0)
        std::copy(s + c0, s + c1, f + c0);
    else
        max_into(f + c0, s + c0, c1 - c0);
}

// Diagonal fwd of row r, in place on the sheared rows, over the indices the
// windows of output columns [c0, c1) read (the first and last chunk also take
// the margins that later rows of the block will read).
//   g[i] = max(g[i], padded(r)[i + s]),  i in [px - k, px + w + k - s)
//   h[i] = max(h[i], padded(r)[i - s]),  i in [px - k + s, px + w + k)
template <class W>
void StreamEngine<W>::diagonal_fwd(int r, int c0, int c1, int w) {
    const int k = p_.kd, s = block_pos(r, k);
    const W* row = padded(r);
    int g0 = c0 == 0 ? px_ - k : px_ + c0 + k - s;
    int g1 = c1 == w ? px_ + w + k - s : px_ + c1 + k - s;
    int h0 = px_ + c0 - k + s;
    int h1 = c1 == w ? px_ + w + k : px_ + c1 - k + s;
    W *g = g_.data(), *h = h_.data();
    if (s == 0) {
        std::copy(row + g0, row + g1, g + g0);
        std::copy(row + h0, row + h1, h + h0);
        return;
    }
    max_into(g + g0, row + g0 + s, g1 - g0);
    max_into(h + h0, row + h0 - s, h1 - h0);
}

// bwd rows of the vertical block starting at first_row, last row first.
template <class W>
void StreamEngine<W>::vertical_bwd(int first_row, int w) {
    const int last = 2 * p_.kv;
    W* b = vbwd_.data();
    std::copy(padded(first_row + last) + px_, padded(first_row + last) + px_ + w,
              b + static_cast<ptrdiff_t>(strip_w_) * last);
    for (int i = last - 1; i >= 0; --i) {
        W* bi = b + static_cast<ptrdiff_t>(strip_w_) * i;
        max_of(bi, padded(first_row + i) + px_, bi + strip_w_, w);
    }
}

// Diagonal bwd of the block starting at first_row, last row first: e1 (down-
// right) and e2 (down-left) over the padded width, and for each output column x
// the max of e1 at px + x - k and e2 at px + x + k, the two values its windows
// read.
template <class W>
void StreamEngine<W>::diagonal_bwd(int first_row, int w) {
    const int k = p_.kd, last = 2 * k, n = pw_;
    auto e = [&](int diagonal, int i) {
        return ebwd_.data() + static_cast<ptrdiff_t>(n) * (2 * diagonal + (i & 1));
    };
    for (int i = last; i >= 0; --i) {
        const W* s = padded(first_row + i);
        W *e1 = e(0, i), *e2 = e(1, i);
        if (i == last) {
            std::copy(s, s + n, e1);
            std::copy(s, s + n, e2);
        } else {
            // e1 continues down-right, e2 down-left; a run leaving the strip restarts
            // at its edge column, which no window of the strip's output reads.
            max_of(e1, s, e(0, i + 1) + 1, n - 1);
            e1[n - 1] = s[n - 1];
            max_of(e2 + 1, s + 1, e(1, i + 1), n - 1);
            e2[0] = s[0];
        }
        max_of(dbwd_.data() + static_cast<ptrdiff_t>(strip_w_) * i, e1 + px_ - k, e2 + px_ + k, w);
    }
}

// Output row y, columns [c0, c1) of the strip: max over the line windows, then
// the explicit displacements and the comparison. The window of output column x
// on a line stepping dir columns per row runs from bwd(y - k) at padded column
// px + x - dir*k to fwd(y + k) at px + x + dir*k.
template <class W>
void StreamEngine<W>::finish_chunk(int y, int x0, int c0, int c1) {
    const int n = c1 - c0;
    const W* center = padded(y) + px_ + c0;
    const W *h0 = center, *h1 = center;
    if (p_.kh) {
        int off = 0;
        h0 = horizontal_spans(center - p_.kh, n, p_.kh, t0_.data(), t1_.data(), off);
        h1 = h0 + off;
    }
    const int kv = p_.kv, kd = p_.kd;
    const W *vb = nullptr, *vf = nullptr, *db = nullptr, *f1 = nullptr, *f2 = nullptr;
    if (kv) {
        vb = vbwd_.data() + static_cast<ptrdiff_t>(strip_w_) * (y % (2 * kv + 1)) + c0;
        vf = vfwd_.data() + px_ + c0;
    }
    if (kd) {
        int s = block_pos(y + kd, kd);
        db = dbwd_.data() + static_cast<ptrdiff_t>(strip_w_) * (y % (2 * kd + 1)) + c0;
        f1 = g_.data() + px_ + kd - s + c0;
        f2 = h_.data() + px_ - kd + s + c0;
    }
    W* acc = acc_.data();
    if (kv && kd)
        combine_windows<true, true>(acc, h0, h1, vb, vf, db, f1, f2, n);
    else if (kv)
        combine_windows<true, false>(acc, h0, h1, vb, vf, db, f1, f2, n);
    else if (kd)
        combine_windows<false, true>(acc, h0, h1, vb, vf, db, f1, f2, n);
    else
        combine_windows<false, false>(acc, h0, h1, vb, vf, db, f1, f2, n);
    finish_row(p_, acc, y, x0 + c0, n);
}

template <class W>
bool stream(const Plan& p) {
    StreamEngine<W> engine(p);
    return engine.run();
}

#if defined(__x86_64__) && defined(__GNUC__)
// The streaming engine once more, compiled for AVX2 (twice the values per
// vector) with everything it calls inlined into it: no out-of-line copy of a
// helper compiled for AVX2 exists that a processor without it could reach.
// The same operations in the same order, so the mask is the same.
template <class W>
__attribute__((target("avx2"), flatten)) bool stream_avx2(const Plan& p) {
    return stream<W>(p);
}
#endif

// Writes the mask; false (with the mask incomplete) when the 8-bit bounds
// turned out not to hold.
template <class W>
bool run(const Plan& p) {
    const int px = std::max(p.kh, p.kd), py = std::max(p.kv, p.kd);
    const double padded = double(p.rows + 2 * py) * (p.cols + 2 * px);
    if (std::max(px, py) <= kMaxPad && padded <= kPaddingWorth * p.rows * p.cols) {
#if defined(__x86_64__) && defined(__GNUC__)
        if (has_avx2()) return stream_avx2<W>(p);
#endif
        return stream<W>(p);
    }
    return run_whole_plane<W>(p);
}

}  // namespace

void shift_mismatch_mask(const int16_t* std_data, ptrdiff_t std_stride,
                         const int16_t* tgt_data, ptrdiff_t tgt_stride,
                         int rows, int cols, int threshold,
                         const int* axis_shifts, int n_axis,
                         const int* diag_shifts, int n_diag,
                         uint8_t* out, ptrdiff_t out_stride, int tgt_lo, int tgt_hi,
                         PlaneRanges* seen, Interrupt* interrupt) {
    if (rows < 1 || cols < 1) return;
    Plan p = make_plan(std_data, std_stride, tgt_data, tgt_stride, rows, cols, threshold, axis_shifts,
                       n_axis, diag_shifts, n_diag, out, out_stride, tgt_lo, tgt_hi);
    p.interrupt = interrupt;
    // Each target value is checked against the bounds as it is narrowed; if the
    // caller's bounds were wrong (the plane changed since it measured them, say),
    // the mask is computed again on int16.
    bool narrow = p.narrow;
    if (narrow) narrow = run<uint8_t>(p);
    if (stop_requested(interrupt)) return;  // the mask is incomplete; the caller drops it
    if (!narrow) run<int16_t>(p);
    if (seen) *seen = PlaneRanges{p.std_seen.lo, p.std_seen.hi, p.tgt_seen.lo, p.tgt_seen.hi};
}

void minmax_int16(const int16_t* data, ptrdiff_t stride, int rows, int cols, int& lo, int& hi) {
    if (rows < 1 || cols < 1) {
        lo = hi = 0;
        return;
    }
    Extremes e;
    for (int y = 0; y < rows; ++y) track_extremes(e, row_at(data, stride, y), cols);
    lo = e.lo;
    hi = e.hi;
}

void guess_narrow_bounds(const int16_t* data, ptrdiff_t stride, int rows, int cols, int& lo, int& hi) {
    constexpr int kSampleRows = 16;
    Extremes e;
    if (rows >= 1 && cols >= 1)
        for (int i = 0; i < kSampleRows; ++i)
            track_extremes(e, row_at(data, stride, static_cast<int>(int64_t(rows - 1) * i / (kSampleRows - 1))), cols);
    lo = INT16_MIN;
    hi = INT16_MAX;
    if (e.lo >= 0 && e.hi <= 255) {
        lo = 0;
        hi = 255;
    } else if (e.lo <= e.hi && e.hi - e.lo <= 255) {
        lo = std::clamp(e.lo - (255 - (e.hi - e.lo)) / 2, INT16_MIN, INT16_MAX - 255);
        hi = lo + 255;
    }
}

}  // namespace qlo::kernels
