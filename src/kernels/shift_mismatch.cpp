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
// Minima are computed as maxima of complemented values: ~v reverses the order
// of int16 without overflow (unlike -v), so min(v) == ~max(~v). Every pass is
// therefore a max, and the complement is folded into the copy of the target.
#include "kernels/shift_mismatch.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <type_traits>
#include <vector>

namespace qlo::kernels {
namespace {

constexpr int16_t kNegInf = INT16_MIN;

// Line windows wider than this go through the whole-plane path, whose memory
// does not grow with the window; below it the streaming path keeps its scratch
// to a few MB.
constexpr int kMaxPad = 256;

// Target size of the streaming path's buffers for one column strip, so that
// they stay within a 1 MB L2 cache.
constexpr size_t kStripBytes = 640 * 1024;

template <class T>
inline T* row_at(T* base, ptrdiff_t stride_bytes, int y) {
    using Byte = std::conditional_t<std::is_const_v<T>, const char, char>;
    return reinterpret_cast<T*>(reinterpret_cast<Byte*>(base) + stride_bytes * y);
}

inline int clamp_int(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

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
    int16_t flip;   // 0, or ~0 when use_min: target values are XORed with it
    int kh, kv, kd; // half-lengths of the horizontal, vertical and diagonal line windows
    std::vector<Displacement> extra;  // other displacements, clamped and deduplicated
};

const int16_t* tgt_row(const Plan& p, int y) { return row_at(p.tgt_data, p.tgt_stride, y); }

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
               int n_axis, const int* diag, int n_diag, uint8_t* out, ptrdiff_t out_stride) {
    Plan p{std_data, std_stride, tgt_data, tgt_stride, out, out_stride, rows, cols,
           clamp_int(threshold, -65536, 65536), threshold < 0, 0, 0, 0, 0, {}};
    p.flip = p.use_min ? int16_t(~0) : int16_t(0);
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
// Row primitives. Plain loops over int16 with std::max so that -O3 vectorises
// them without target-specific flags.

inline void max_of(int16_t* __restrict d, const int16_t* __restrict a,
                   const int16_t* __restrict b, int n) {
    for (int j = 0; j < n; ++j) d[j] = std::max(a[j], b[j]);
}

inline void max_into(int16_t* __restrict acc, const int16_t* __restrict a, int n) {
    for (int j = 0; j < n; ++j) acc[j] = std::max(acc[j], a[j]);
}

inline void max_const_into(int16_t* acc, int16_t v, int n) {
    for (int j = 0; j < n; ++j) acc[j] = std::max(acc[j], v);
}

inline void copy_flipped(int16_t* __restrict d, const int16_t* __restrict s, int n, int16_t flip) {
    for (int j = 0; j < n; ++j) d[j] = int16_t(s[j] ^ flip);
}

inline void max_flipped_into(int16_t* __restrict acc, const int16_t* __restrict s, int n,
                             int16_t flip) {
    for (int j = 0; j < n; ++j) acc[j] = std::max(acc[j], int16_t(s[j] ^ flip));
}

// Clamped copy of target row `src` for columns [x0, x0 + w): columns left of the
// image take column 0, columns right of it take column cols-1.
void copy_clamped_row(int16_t* dst, const int16_t* src, int cols, int x0, int w, int16_t flip) {
    int a = clamp_int(-x0, 0, w), b = clamp_int(cols - x0, 0, w);
    std::fill(dst, dst + a, int16_t(src[0] ^ flip));
    if (b > a) copy_flipped(dst + a, src + (x0 + a), b - a, flip);
    std::fill(dst + b, dst + w, int16_t(src[cols - 1] ^ flip));
}

// acc[i] = max(acc[i], target row displaced right by dx, at column x0 + i).
void max_shifted_row(int16_t* acc, const int16_t* src, int cols, int x0, int w, int dx,
                     int16_t flip) {
    // Columns reading inside the row: 0 <= x0 + i - dx <= cols - 1.
    int a = clamp_int(dx - x0, 0, w), b = clamp_int(cols + dx - x0, 0, w);
    max_const_into(acc, int16_t(src[0] ^ flip), a);
    if (b > a) max_flipped_into(acc + a, src + (x0 + a - dx), b - a, flip);
    max_const_into(acc + b, int16_t(src[cols - 1] ^ flip), w - b);
}

// o[x] = 255 where std - v > t for every displaced value v (t >= 0), or
// std - v < t for every v (t < 0); acc holds max(v), or ~min(v) when use_min.
// Evaluated in int16 without losing exactness: for t >= 0, max + t < std needs
// max + t <= 32767, and within that bound the int16 sum is exact; likewise
// min + t >= -32768 for t < 0. Keeping the loop in int16 halves its width
// compared to widening to int32.
void compare_row(const int16_t* acc, const int16_t* s, uint8_t* o, int w, int t, bool use_min) {
    // t is within +-65536, so the bound is an int; outside int16 nothing can pass.
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

// Applies the explicit displacements to acc (the max over the line windows for
// row y, columns [x0, x0 + w)) and writes the comparison to the output row.
void finish_row(const Plan& p, int16_t* acc, int y, int x0, int w) {
    for (const Displacement& d : p.extra) {
        const int16_t* src = tgt_row(p, clamp_int(y - d.dy, 0, p.rows - 1));
        max_shifted_row(acc, src, p.cols, x0, w, d.dx, p.flip);
    }
    const int16_t* s = row_at(p.std_data, p.std_stride, y) + x0;
    uint8_t* o = row_at(p.out, p.out_stride, y) + x0;
    compare_row(acc, s, o, w, p.threshold, p.use_min);
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

constexpr int kChunk = 512;

inline void max_of3(int16_t* __restrict d, const int16_t* __restrict a,
                    const int16_t* __restrict b, const int16_t* __restrict c, int n) {
    for (int j = 0; j < n; ++j) d[j] = std::max(a[j], std::max(b[j], c[j]));
}

// Horizontal window of 2k+1 starting at each column: after the passes cur[j] is
// the max of `span` values starting at j with 2 * span >= 2k+1, so the window
// at x is max(cur[x], cur[x + off]). Three-tap passes where they fit need fewer
// loads and stores than doubling.
const int16_t* horizontal_spans(const int16_t* src, int w, int k, int16_t* t0, int16_t* t1,
                                int& off) {
    const int win = 2 * k + 1;
    const int16_t* cur = src;
    int n = w + 2 * k, span = 1;
    int16_t* bufs[2] = {t0, t1};
    for (int which = 0; 2 * span < win; which ^= 1) {
        int16_t* next = bufs[which];
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
template <bool kVertical, bool kDiagonal>
void combine_windows(int16_t* __restrict acc, const int16_t* h0, const int16_t* h1,
                     const int16_t* __restrict vb, const int16_t* __restrict vf,
                     const int16_t* __restrict db, const int16_t* __restrict f1,
                     const int16_t* __restrict f2, int n) {
    for (int j = 0; j < n; ++j) {
        int16_t m = std::max(h0[j], h1[j]);
        if (kVertical) m = std::max(m, std::max(vb[j], vf[j]));
        if (kDiagonal) m = std::max(m, std::max(db[j], std::max(f1[j], f2[j])));
        acc[j] = m;
    }
}

class StreamEngine {
public:
    explicit StreamEngine(const Plan& p);
    void run();

private:
    void sweep_strip(int x0, int w);
    const int16_t* padded(int r) const {
        return ring_.data() + static_cast<ptrdiff_t>(pw_) * ((r + py_) % ring_rows_);
    }
    void load_padded(int r, int x0);
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
    std::vector<int16_t> ring_, acc_, t0_, t1_;
    std::vector<int16_t> vfwd_, vbwd_;  // vertical: fwd row, bwd rows of one block
    std::vector<int16_t> g_, h_;        // sheared fwd of the down-right / down-left diagonals
    std::vector<int16_t> dbwd_;         // diagonals: max of both bwd values, rows of one block
    std::vector<int16_t> ebwd_;         // bwd of each diagonal, rows i and i+1 of the block
};

StreamEngine::StreamEngine(const Plan& p) : p_(p) {
    px_ = std::max(p.kh, p.kd);
    py_ = std::max(p.kv, p.kd);
    ring_rows_ = 2 * py_ + 1;
    // Full rows read the planes as one sequential stream, which the hardware
    // prefetcher handles best. Wide windows need many buffer rows, so the image
    // is then cut into column strips whose buffers still fit in L2; strips stay
    // several times wider than the padding to keep the overlap small.
    int rows_per_col = ring_rows_ + (p.kv ? 2 * p.kv + 2 : 0) + (p.kd ? 2 * p.kd + 7 : 0);
    int fit = static_cast<int>(kStripBytes / (sizeof(int16_t) * rows_per_col)) - 2 * px_;
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

void StreamEngine::run() {
    for (int x0 = 0; x0 < p_.cols; x0 += strip_w_)
        sweep_strip(x0, std::min(strip_w_, p_.cols - x0));
}

void StreamEngine::load_padded(int r, int x0) {
    int16_t* dst = ring_.data() + static_cast<ptrdiff_t>(pw_) * ((r + py_) % ring_rows_);
    copy_clamped_row(dst, tgt_row(p_, clamp_int(r, 0, p_.rows - 1)), p_.cols, x0 - px_, pw_,
                     p_.flip);
}

void StreamEngine::sweep_strip(int x0, int w) {
    pw_ = w + 2 * px_;
    const int kv = p_.kv, kd = p_.kd;
    for (int r = -py_; r < py_; ++r) load_padded(r, x0);
    for (int r = -kv; r < kv; ++r) vertical_fwd(r, 0, w);
    for (int r = -kd; r < kd; ++r) diagonal_fwd(r, 0, w, w);
    for (int y = 0; y < p_.rows; ++y) {
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
void StreamEngine::vertical_fwd(int r, int c0, int c1) {
    const int16_t* s = padded(r) + px_;
    int16_t* f = vfwd_.data() + px_;
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
void StreamEngine::diagonal_fwd(int r, int c0, int c1, int w) {
    const int k = p_.kd, s = block_pos(r, k);
    const int16_t* row = padded(r);
    int g0 = c0 == 0 ? px_ - k : px_ + c0 + k - s;
    int g1 = c1 == w ? px_ + w + k - s : px_ + c1 + k - s;
    int h0 = px_ + c0 - k + s;
    int h1 = c1 == w ? px_ + w + k : px_ + c1 - k + s;
    int16_t *g = g_.data(), *h = h_.data();
    if (s == 0) {
        std::copy(row + g0, row + g1, g + g0);
        std::copy(row + h0, row + h1, h + h0);
        return;
    }
    max_into(g + g0, row + g0 + s, g1 - g0);
    max_into(h + h0, row + h0 - s, h1 - h0);
}

// bwd rows of the vertical block starting at first_row, last row first.
void StreamEngine::vertical_bwd(int first_row, int w) {
    const int last = 2 * p_.kv;
    int16_t* b = vbwd_.data();
    std::copy(padded(first_row + last) + px_, padded(first_row + last) + px_ + w,
              b + static_cast<ptrdiff_t>(strip_w_) * last);
    for (int i = last - 1; i >= 0; --i) {
        int16_t* bi = b + static_cast<ptrdiff_t>(strip_w_) * i;
        max_of(bi, padded(first_row + i) + px_, bi + strip_w_, w);
    }
}

// Diagonal bwd of the block starting at first_row, last row first: e1 (down-
// right) and e2 (down-left) over the padded width, and for each output column x
// the max of e1 at px + x - k and e2 at px + x + k, the two values its windows
// read.
void StreamEngine::diagonal_bwd(int first_row, int w) {
    const int k = p_.kd, last = 2 * k, n = pw_;
    auto e = [&](int diagonal, int i) {
        return ebwd_.data() + static_cast<ptrdiff_t>(n) * (2 * diagonal + (i & 1));
    };
    for (int i = last; i >= 0; --i) {
        const int16_t* s = padded(first_row + i);
        int16_t *e1 = e(0, i), *e2 = e(1, i);
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
void StreamEngine::finish_chunk(int y, int x0, int c0, int c1) {
    const int n = c1 - c0;
    const int16_t* center = padded(y) + px_ + c0;
    const int16_t *h0 = center, *h1 = center;
    if (p_.kh) {
        int off = 0;
        h0 = horizontal_spans(center - p_.kh, n, p_.kh, t0_.data(), t1_.data(), off);
        h1 = h0 + off;
    }
    const int kv = p_.kv, kd = p_.kd;
    const int16_t *vb = nullptr, *vf = nullptr, *db = nullptr, *f1 = nullptr, *f2 = nullptr;
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
    int16_t* acc = acc_.data();
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

// ---------------------------------------------------------------------------
// Whole-plane path for windows wider than kMaxPad (shift lists reaching far
// beyond a large image). Each line of the plane is handled as a 1-D sequence.
// Along a line the clamped coordinates stop changing once every moving
// coordinate has left the image, so the sequence only needs the stretch [lo, hi]
// where something still changes; windows are clipped to it, which gives the same
// maximum because the values outside repeat the end values. Memory is one int16
// plane plus O(rows + cols), whatever the shifts.

struct LineSpan {
    int lo, hi;  // stretch of u where the clamped value still changes
    int len;     // pixels of the line inside the image: u in [0, len)
};

// Line through (y0, x0) on the image border, stepping (ey, ex) with ey in {0, 1}.
LineSpan line_span(int rows, int cols, int y0, int x0, int ey, int ex) {
    // The start is on the border, so every moving coordinate is valid at u = 0
    // and the line is inside the image for u in [0, in_hi].
    int lo = 0, hi = 0, in_hi = INT_MAX;
    auto moving = [&](int first, int last) {  // coordinate valid for u in [first, last]
        lo = std::min(lo, first);
        hi = std::max(hi, last);
        in_hi = std::min(in_hi, last);
    };
    if (ey) moving(-y0, rows - 1 - y0);
    if (ex > 0) moving(-x0, cols - 1 - x0);
    if (ex < 0) moving(x0 - (cols - 1), x0);
    return LineSpan{lo, hi, in_hi + 1};
}

// Maxes the window of half-length k along the line through border pixel
// (y0, x0) stepping (ey, ex) into acc (a row-major plane of the flipped target):
// the stretch is copied between k' = min(k, n - 1) values of -inf on each side,
// which never win a max, and run through 1-D van Herk / Gil-Werman maxima.
struct PlaneLine {
    std::vector<int16_t> buf, fwd, bwd;  // reused from line to line

    void apply(const Plan& p, int k, int y0, int x0, int ey, int ex, int16_t* acc) {
        const LineSpan sp = line_span(p.rows, p.cols, y0, x0, ey, ex);
        const int n = sp.hi - sp.lo + 1;
        k = std::min(k, n - 1);
        const int len = n + 2 * k, block = 2 * k + 1;
        buf.assign(len, kNegInf);
        for (int i = 0; i < n; ++i) {
            int y = clamp_int(y0 + ey * (sp.lo + i), 0, p.rows - 1);
            int x = clamp_int(x0 + ex * (sp.lo + i), 0, p.cols - 1);
            buf[k + i] = int16_t(tgt_row(p, y)[x] ^ p.flip);
        }
        fwd.resize(len);
        bwd.resize(len);
        for (int b0 = 0; b0 < len; b0 += block) {
            int b1 = std::min(len, b0 + block);
            fwd[b0] = buf[b0];
            for (int i = b0 + 1; i < b1; ++i) fwd[i] = std::max(fwd[i - 1], buf[i]);
            bwd[b1 - 1] = buf[b1 - 1];
            for (int i = b1 - 2; i >= b0; --i) bwd[i] = std::max(bwd[i + 1], buf[i]);
        }
        // pixel u: window buf[u - lo, u - lo + 2k] = max(bwd[u - lo], fwd[u - lo + 2k])
        for (int u = 0; u < sp.len; ++u) {
            int16_t& a = acc[static_cast<size_t>(y0 + ey * u) * p.cols + (x0 + ex * u)];
            a = std::max({a, bwd[u - sp.lo], fwd[u - sp.lo + 2 * k]});
        }
    }
};

// Every line of one direction: rows (ey = 0), or lines starting on the top
// row and, for diagonals, on the left or right column.
void apply_lines(const Plan& p, int k, int ey, int ex, int16_t* acc) {
    PlaneLine line;
    if (ey == 0) {
        for (int y = 0; y < p.rows; ++y) line.apply(p, k, y, 0, ey, ex, acc);
        return;
    }
    for (int x = 0; x < p.cols; ++x) line.apply(p, k, 0, x, ey, ex, acc);
    if (ex != 0)
        for (int y = 1; y < p.rows; ++y) line.apply(p, k, y, ex > 0 ? 0 : p.cols - 1, ey, ex, acc);
}

void run_whole_plane(const Plan& p) {
    std::vector<int16_t> acc(static_cast<size_t>(p.rows) * p.cols);
    for (int y = 0; y < p.rows; ++y)
        copy_flipped(acc.data() + static_cast<size_t>(y) * p.cols, tgt_row(p, y), p.cols, p.flip);
    if (p.kh) apply_lines(p, p.kh, 0, 1, acc.data());
    if (p.kv) apply_lines(p, p.kv, 1, 0, acc.data());
    if (p.kd) {
        apply_lines(p, p.kd, 1, 1, acc.data());
        apply_lines(p, p.kd, 1, -1, acc.data());
    }
    for (int y = 0; y < p.rows; ++y)
        finish_row(p, acc.data() + static_cast<size_t>(y) * p.cols, y, 0, p.cols);
}

}  // namespace

void shift_mismatch_mask(const int16_t* std_data, ptrdiff_t std_stride,
                         const int16_t* tgt_data, ptrdiff_t tgt_stride,
                         int rows, int cols, int threshold,
                         const int* axis_shifts, int n_axis,
                         const int* diag_shifts, int n_diag,
                         uint8_t* out, ptrdiff_t out_stride) {
    if (rows < 1 || cols < 1) return;
    const Plan p = make_plan(std_data, std_stride, tgt_data, tgt_stride, rows, cols, threshold,
                             axis_shifts, n_axis, diag_shifts, n_diag, out, out_stride);
    if (std::max({p.kh, p.kv, p.kd}) <= kMaxPad) {
        StreamEngine engine(p);
        engine.run();
    } else {
        run_whole_plane(p);
    }
}

void minmax_int16(const int16_t* data, ptrdiff_t stride, int rows, int cols, int& lo, int& hi) {
    if (rows < 1 || cols < 1) {
        lo = hi = 0;
        return;
    }
    int16_t mn = INT16_MAX, mx = INT16_MIN;
    for (int y = 0; y < rows; ++y) {
        const int16_t* r = row_at(data, stride, y);
        for (int x = 0; x < cols; ++x) {
            mn = std::min(mn, r[x]);
            mx = std::max(mx, r[x]);
        }
    }
    lo = mn;
    hi = mx;
}

}  // namespace qlo::kernels
