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
// Each line window of 2k+1 pixels is evaluated with van Herk / Gil-Werman
// running maxima, whose cost does not depend on k. Shifts that are not part of
// such a leading run are applied one displacement at a time.
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
constexpr int kMaxPad = 128;

// Scratch of the streaming path aimed to stay within a 1 MB L2 cache.
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
    int threshold;  // clamped to +-65536: same outcome, and int32 sums cannot overflow
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

void add_extra_shifts(Plan& p, const int* axis, int n_axis, int run_a,
                      const int* diag, int n_diag, int run_d) {
    int cx = p.cols - 1, cy = p.rows - 1;
    std::vector<Displacement>& e = p.extra;
    for (int i = run_a; i < n_axis; ++i) {
        int h = capped(axis[i], cx), v = capped(axis[i], cy);
        e.insert(e.end(), {{h, 0}, {-h, 0}, {0, v}, {0, -v}});
    }
    for (int i = run_d; i < n_diag; ++i) {
        int h = capped(diag[i], cx), v = capped(diag[i], cy);
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

inline void max_of_into(int16_t* __restrict acc, const int16_t* __restrict a,
                        const int16_t* __restrict b, int n) {
    for (int j = 0; j < n; ++j) acc[j] = std::max(acc[j], std::max(a[j], b[j]));
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
// fwd advances one row per output row; bwd is filled a block at a time when the
// sweep enters the block. All buffers are a few rows, so they stay in cache.

// Rows with one kNegInf guard column on each side: a diagonal run whose
// predecessor lies just outside the strip reads -inf and simply restarts there
// (no output window of the strip reads such a run, as the padding is >= k).
struct GuardedRows {
    int stride = 0;
    std::vector<int16_t> data;

    void init(int nrows, int max_width) {
        stride = max_width + 2;
        data.assign(static_cast<size_t>(nrows) * stride, kNegInf);
    }
    int16_t* row(int i) { return data.data() + static_cast<ptrdiff_t>(stride) * i + 1; }
    // Restores the right guard after the strip width changed.
    void set_width(int width) {
        for (size_t i = 0; i < data.size() / stride; ++i) row(static_cast<int>(i))[width] = kNegInf;
    }
};

inline void max_of3(int16_t* __restrict d, const int16_t* __restrict a,
                    const int16_t* __restrict b, const int16_t* __restrict c, int n) {
    for (int j = 0; j < n; ++j) d[j] = std::max(a[j], std::max(b[j], c[j]));
}

// One row of both diagonals at once, sharing the load of the padded row:
// d1[j] = max(s[j], p1[j + shift]) and d2[j] = max(s[j], p2[j - shift]).
inline void max_of_diagonals(int16_t* __restrict d1, int16_t* __restrict d2,
                             const int16_t* __restrict s, const int16_t* __restrict p1,
                             const int16_t* __restrict p2, int shift, int n) {
    const int16_t* q1 = p1 + shift;
    const int16_t* q2 = p2 - shift;
    for (int j = 0; j < n; ++j) {
        d1[j] = std::max(s[j], q1[j]);
        d2[j] = std::max(s[j], q2[j]);
    }
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
// vertical (vb, vf) and diagonal (b1, f1, b2, f2) windows.
template <bool kVertical, bool kDiagonal>
void combine_windows(int16_t* __restrict acc, const int16_t* h0, const int16_t* h1,
                     const int16_t* __restrict vb, const int16_t* __restrict vf,
                     const int16_t* __restrict b1, const int16_t* __restrict f1,
                     const int16_t* __restrict b2, const int16_t* __restrict f2, int n) {
    for (int j = 0; j < n; ++j) {
        int16_t m = std::max(h0[j], h1[j]);
        if (kVertical) m = std::max(m, std::max(vb[j], vf[j]));
        if (kDiagonal) m = std::max(m, std::max(std::max(b1[j], f1[j]), std::max(b2[j], f2[j])));
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
    bool starts_block(int r, int k) const { return (r + k) % (2 * k + 1) == 0; }
    void vertical_fwd(int r);
    void diagonal_fwd(int r);
    void vertical_bwd(int first_row);
    void diagonal_bwd(int first_row);
    void combine_row(int y, int w);

    const Plan& p_;
    int px_, py_;    // padding of a strip: columns on each side, rows above and below
    int strip_w_;    // output columns per strip
    int pw_ = 0;     // padded row length of the current strip
    int ring_rows_;  // 2 * py + 1: padded rows y - py .. y + py
    std::vector<int16_t> ring_, acc_, t0_, t1_;
    GuardedRows neg_;              // one row of -inf: "no predecessor" at block edges
    GuardedRows vfwd_, vbwd_;      // vertical: fwd of rows r-1 and r, bwd of one block
    GuardedRows f1_, f2_, b1_, b2_;  // down-right and down-left diagonals, likewise
};

StreamEngine::StreamEngine(const Plan& p) : p_(p) {
    px_ = std::max(p.kh, p.kd);
    py_ = std::max(p.kv, p.kd);
    ring_rows_ = 2 * py_ + 1;
    // Full rows read the planes as one sequential stream, which the hardware
    // prefetcher handles best. Wide windows need many buffer rows, so the image
    // is then cut into column strips whose buffers still fit in L2; strips stay
    // several times wider than the padding to keep the overlap small.
    int rows_per_col = ring_rows_ + (p.kv ? 2 * p.kv + 3 : 0) + (p.kd ? 2 * (2 * p.kd + 3) : 0);
    int fit = static_cast<int>(kStripBytes / (sizeof(int16_t) * rows_per_col)) - 2 * px_;
    strip_w_ = std::min(p.cols, std::max({fit, 512, 8 * px_}));
    int max_pw = strip_w_ + 2 * px_;
    ring_.resize(static_cast<size_t>(ring_rows_) * max_pw);
    acc_.resize(strip_w_);
    t0_.resize(max_pw);
    t1_.resize(max_pw);
    neg_.init(1, max_pw);
    if (p.kv) {
        vfwd_.init(2, max_pw);
        vbwd_.init(2 * p.kv + 1, max_pw);
    }
    if (p.kd) {
        for (GuardedRows* g : {&f1_, &f2_}) g->init(2, max_pw);
        for (GuardedRows* g : {&b1_, &b2_}) g->init(2 * p.kd + 1, max_pw);
    }
}

void StreamEngine::run() {
    for (int x0 = 0; x0 < p_.cols; x0 += strip_w_) sweep_strip(x0, std::min(strip_w_, p_.cols - x0));
}

void StreamEngine::load_padded(int r, int x0) {
    int16_t* dst = ring_.data() + static_cast<ptrdiff_t>(pw_) * ((r + py_) % ring_rows_);
    copy_clamped_row(dst, tgt_row(p_, clamp_int(r, 0, p_.rows - 1)), p_.cols, x0 - px_, pw_,
                     p_.flip);
}

void StreamEngine::sweep_strip(int x0, int w) {
    pw_ = w + 2 * px_;
    for (GuardedRows* g : {&neg_, &vfwd_, &vbwd_, &f1_, &f2_, &b1_, &b2_})
        if (!g->data.empty()) g->set_width(pw_);
    const int kv = p_.kv, kd = p_.kd;
    for (int r = -py_; r < py_; ++r) load_padded(r, x0);
    for (int r = -kv; r < kv; ++r) vertical_fwd(r);
    for (int r = -kd; r < kd; ++r) diagonal_fwd(r);
    for (int y = 0; y < p_.rows; ++y) {
        load_padded(y + py_, x0);
        if (kv) {
            if (starts_block(y - kv, kv)) vertical_bwd(y - kv);
            vertical_fwd(y + kv);
        }
        if (kd) {
            if (starts_block(y - kd, kd)) diagonal_bwd(y - kd);
            diagonal_fwd(y + kd);
        }
        combine_row(y, w);
        finish_row(p_, acc_.data(), y, x0, w);
    }
}

// fwd rows alternate between two buffers by the parity of r + k (r >= -k).
void StreamEngine::vertical_fwd(int r) {
    const int k = p_.kv;
    const int16_t* prev = starts_block(r, k) ? neg_.row(0) : vfwd_.row((r + k - 1) & 1);
    max_of(vfwd_.row((r + k) & 1), padded(r), prev, pw_);
}

void StreamEngine::diagonal_fwd(int r) {
    const int k = p_.kd;
    bool start = starts_block(r, k);
    const int16_t* p1 = start ? neg_.row(0) : f1_.row((r + k - 1) & 1);
    const int16_t* p2 = start ? neg_.row(0) : f2_.row((r + k - 1) & 1);
    // down-right comes from the column to the left in the row above, down-left from the right
    max_of_diagonals(f1_.row((r + k) & 1), f2_.row((r + k) & 1), padded(r), p1, p2, -1, pw_);
}

// bwd rows of the block starting at first_row, from its last row up.
void StreamEngine::vertical_bwd(int first_row) {
    const int last = 2 * p_.kv;
    for (int i = last; i >= 0; --i) {
        const int16_t* next = i == last ? neg_.row(0) : vbwd_.row(i + 1);
        max_of(vbwd_.row(i), padded(first_row + i), next, pw_);
    }
}

void StreamEngine::diagonal_bwd(int first_row) {
    const int last = 2 * p_.kd;
    for (int i = last; i >= 0; --i) {
        const int16_t* n1 = i == last ? neg_.row(0) : b1_.row(i + 1);
        const int16_t* n2 = i == last ? neg_.row(0) : b2_.row(i + 1);
        max_of_diagonals(b1_.row(i), b2_.row(i), padded(first_row + i), n1, n2, 1, pw_);
    }
}

// acc = max over the line windows for output row y. Window of output column x
// on a line stepping dir columns per row: from bwd(y - k) at padded column
// px + x - dir*k to fwd(y + k) at px + x + dir*k.
void StreamEngine::combine_row(int y, int w) {
    const int16_t* center = padded(y) + px_;
    const int16_t *h0 = center, *h1 = center;
    if (p_.kh) {
        int off = 0;
        h0 = horizontal_spans(center - p_.kh, w, p_.kh, t0_.data(), t1_.data(), off);
        h1 = h0 + off;
    }
    const int kv = p_.kv, kd = p_.kd;
    const int16_t *vb = nullptr, *vf = nullptr, *b1 = nullptr, *f1 = nullptr, *b2 = nullptr,
                  *f2 = nullptr;
    if (kv) {
        vb = vbwd_.row(y % (2 * kv + 1)) + px_;
        vf = vfwd_.row((y + 2 * kv) & 1) + px_;
    }
    if (kd) {
        int bi = y % (2 * kd + 1), fi = (y + 2 * kd) & 1;
        b1 = b1_.row(bi) + px_ - kd;
        f1 = f1_.row(fi) + px_ + kd;
        b2 = b2_.row(bi) + px_ + kd;
        f2 = f2_.row(fi) + px_ - kd;
    }
    int16_t* acc = acc_.data();
    if (kv && kd)
        combine_windows<true, true>(acc, h0, h1, vb, vf, b1, f1, b2, f2, w);
    else if (kv)
        combine_windows<true, false>(acc, h0, h1, vb, vf, b1, f1, b2, f2, w);
    else if (kd)
        combine_windows<false, true>(acc, h0, h1, vb, vf, b1, f1, b2, f2, w);
    else
        combine_windows<false, false>(acc, h0, h1, vb, vf, b1, f1, b2, f2, w);
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

// 1-D running max of window 2k+1 over seq[0, n), clipped to the sequence.
void running_max_1d(const int16_t* seq, int n, int k, std::vector<int16_t>& buf,
                    std::vector<int16_t>& fwd, std::vector<int16_t>& bwd, int16_t* res) {
    k = std::min(k, n - 1);
    int len = n + 2 * k, block = 2 * k + 1;
    buf.assign(len, kNegInf);  // values outside the sequence never win a max
    std::copy(seq, seq + n, buf.begin() + k);
    fwd.resize(len);
    bwd.resize(len);
    for (int i = 0; i < len; ++i)
        fwd[i] = (i % block == 0) ? buf[i] : std::max(fwd[i - 1], buf[i]);
    for (int i = len - 1; i >= 0; --i)
        bwd[i] = (i == len - 1 || (i + 1) % block == 0) ? buf[i] : std::max(bwd[i + 1], buf[i]);
    for (int i = 0; i < n; ++i) res[i] = std::max(bwd[i], fwd[i + 2 * k]);
}

class PlaneLines {
public:
    PlaneLines(const Plan& p, std::vector<int16_t>& acc) : p_(p), acc_(acc) {}
    void apply(int k, int ey, int ex);

private:
    void one_line(int k, int y0, int x0, int ey, int ex);
    const Plan& p_;
    std::vector<int16_t>& acc_;
    std::vector<int16_t> seq_, res_, buf_, fwd_, bwd_;
};

void PlaneLines::apply(int k, int ey, int ex) {
    if (ey == 0) {
        for (int y = 0; y < p_.rows; ++y) one_line(k, y, 0, ey, ex);
        return;
    }
    for (int x = 0; x < p_.cols; ++x) one_line(k, 0, x, ey, ex);
    if (ex != 0)
        for (int y = 1; y < p_.rows; ++y) one_line(k, y, ex > 0 ? 0 : p_.cols - 1, ey, ex);
}

void PlaneLines::one_line(int k, int y0, int x0, int ey, int ex) {
    const LineSpan sp = line_span(p_.rows, p_.cols, y0, x0, ey, ex);
    const int n = sp.hi - sp.lo + 1;
    seq_.resize(n);
    res_.resize(n);
    for (int i = 0; i < n; ++i) {
        int u = sp.lo + i;
        int y = clamp_int(y0 + ey * u, 0, p_.rows - 1), x = clamp_int(x0 + ex * u, 0, p_.cols - 1);
        seq_[i] = int16_t(tgt_row(p_, y)[x] ^ p_.flip);
    }
    running_max_1d(seq_.data(), n, k, buf_, fwd_, bwd_, res_.data());
    for (int u = 0; u < sp.len; ++u) {
        int16_t& a = acc_[static_cast<size_t>(y0 + ey * u) * p_.cols + (x0 + ex * u)];
        a = std::max(a, res_[u - sp.lo]);
    }
}

void run_whole_plane(const Plan& p) {
    std::vector<int16_t> acc(static_cast<size_t>(p.rows) * p.cols);
    for (int y = 0; y < p.rows; ++y)
        copy_flipped(acc.data() + static_cast<size_t>(y) * p.cols, tgt_row(p, y), p.cols, p.flip);
    PlaneLines lines(p, acc);
    if (p.kh) lines.apply(p.kh, 0, 1);
    if (p.kv) lines.apply(p.kv, 1, 0);
    if (p.kd) {
        lines.apply(p.kd, 1, 1);
        lines.apply(p.kd, 1, -1);
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
