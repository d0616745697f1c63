// Whole-plane path of the shift-mismatch kernel: line windows of any length,
// in time linear in the number of pixels and memory of one plane of working
// values, whatever the shifts. Used where the streaming path's padding would
// cost more than the image itself (wide windows, thin images).
//
// Every window is taken along the part of its line inside the image, clipped
// to it. With replicated borders, a window that runs past the image continues
// along one border line: past the top row, say, a down-right diagonal keeps
// row 0 while its column still moves, until it reaches a corner, which the
// clipped part already holds. So a diagonal window is the max of its clipped
// part and of at most two ranges of border rows or columns ("tails"), read in
// constant time from range-max tables. Horizontal and vertical windows have no
// tails: past the image they repeat the end pixel of their own line.
#include <algorithm>
#include <limits>
#include <vector>

#include "kernels/shift_mismatch_plan.h"

namespace qlo::kernels::shift_plan {
namespace {

// Running maxima of windows of half-length k over one line of n values, each
// window clipped to the line: van Herk / Gil-Werman blocks of 2k'+1 over the
// values framed by k' copies of the lowest value, k' = min(k, n - 1) (a
// longer window already covers the whole line from every pixel).
template <class W>
struct LineWindows {
    std::vector<W> buf, fwd, bwd;  // reused from line to line
    int k = 0;

    // The line's values go to buf[k'], ..., buf[k' + n - 1] before compute().
    W* open(int n, int half_length) {
        k = std::min(half_length, n - 1);
        buf.assign(static_cast<size_t>(n) + 2 * k, std::numeric_limits<W>::lowest());
        return buf.data() + k;
    }
    void compute() {
        const int len = static_cast<int>(buf.size()), block = 2 * k + 1;
        fwd.resize(len);
        bwd.resize(len);
        for (int b0 = 0; b0 < len; b0 += block) {
            int b1 = std::min(len, b0 + block);
            fwd[b0] = buf[b0];
            for (int i = b0 + 1; i < b1; ++i) fwd[i] = std::max(fwd[i - 1], buf[i]);
            bwd[b1 - 1] = buf[b1 - 1];
            for (int i = b1 - 2; i >= b0; --i) bwd[i] = std::max(bwd[i + 1], buf[i]);
        }
    }
    // Max of the window of pixel u: buf[u, u + 2k'] in framed indices.
    W at(int u) const { return std::max(bwd[u], fwd[u + 2 * k]); }
};

// Range maxima over one row or column of the target, in constant time per
// query: level j of the table holds the max of 2^j values from each index.
template <class W>
class RangeMax {
public:
    // n values at (y0, x0), (y0 + ey, x0 + ex), ...
    RangeMax(const Plan& p, int y0, int x0, int ey, int ex, int n) : n_(n) {
        table_.resize(n);
        for (int i = 0; i < n; ++i) table_[i] = to_work<W>(tgt_row(p, y0 + ey * i)[x0 + ex * i], p.lo, p.flip);
        for (int span = 1; 2 * span <= n; span *= 2) {
            size_t prev = table_.size() - n;
            table_.resize(table_.size() + n);
            W* level = table_.data() + prev + n;
            const W* below = table_.data() + prev;
            for (int i = 0; i + 2 * span <= n; ++i) level[i] = std::max(below[i], below[i + span]);
        }
    }
    // Max over indices a..b (either order), clipped to the line.
    W query(int a, int b) const {
        if (a > b) std::swap(a, b);
        a = std::max(a, 0);
        b = std::min(b, n_ - 1);
        int j = 0;
        while ((2 << j) <= b - a + 1) ++j;
        const W* level = table_.data() + static_cast<size_t>(j) * n_;
        return std::max(level[a], level[b - (1 << j) + 1]);
    }

private:
    int n_;
    std::vector<W> table_;
};

template <class W>
W* acc_at(const Plan& p, W* acc, int y, int x) {
    return acc + static_cast<size_t>(y) * p.cols + x;
}

// Rows (ex = 1, ey = 0) or columns (ex = 0, ey = 1).
template <class W>
void apply_axis(const Plan& p, int k, int ey, int ex, W* acc) {
    LineWindows<W> line;
    const int lines = ey ? p.cols : p.rows, n = ey ? p.rows : p.cols;
    for (int l = 0; l < lines; ++l) {
        const int y0 = ey ? 0 : l, x0 = ey ? l : 0;
        W* values = line.open(n, k);
        for (int u = 0; u < n; ++u) values[u] = to_work<W>(tgt_row(p, y0 + ey * u)[x0 + ex * u], p.lo, p.flip);
        line.compute();
        for (int u = 0; u < n; ++u) {
            W* a = acc_at(p, acc, y0 + ey * u, x0 + ex * u);
            *a = std::max(*a, line.at(u));
        }
    }
}

// The border lines a diagonal's tails run along.
template <class W>
struct Borders {
    RangeMax<W> top, bottom, left, right;
    explicit Borders(const Plan& p)
        : top(p, 0, 0, 0, 1, p.cols), bottom(p, p.rows - 1, 0, 0, 1, p.cols),
          left(p, 0, 0, 1, 0, p.rows), right(p, 0, p.cols - 1, 1, 0, p.rows) {}
};

// Diagonals stepping one row down and ex = +-1 columns, each starting on the
// top row or, below it, on the column it enters from.
template <class W>
void apply_diagonals(const Plan& p, int k, int ex, const Borders<W>& borders, W* acc) {
    const int entry_col = ex > 0 ? 0 : p.cols - 1, exit_col = p.cols - 1 - entry_col;
    const RangeMax<W>& entry_side = ex > 0 ? borders.left : borders.right;
    const RangeMax<W>& exit_side = ex > 0 ? borders.right : borders.left;
    LineWindows<W> line;
    for (int l = 0; l < p.cols + p.rows - 1; ++l) {
        const int y0 = l < p.cols ? 0 : l - p.cols + 1;
        const int x0 = l < p.cols ? (ex > 0 ? l : p.cols - 1 - l) : entry_col;
        const int n = std::min(p.rows - y0, ex > 0 ? p.cols - x0 : x0 + 1);
        const int y1 = y0 + n - 1, x1 = x0 + ex * (n - 1);
        W* values = line.open(n, k);
        for (int u = 0; u < n; ++u) values[u] = to_work<W>(tgt_row(p, y0 + u)[x0 + ex * u], p.lo, p.flip);
        line.compute();
        for (int u = 0; u < n; ++u) {
            W m = line.at(u);
            // Before the start: up the entry column, or along the top row away
            // from it (nothing new from a corner).
            if (int t = k - u; t > 0) {
                if (y0 > 0)
                    m = std::max(m, entry_side.query(y0 - t, y0 - 1));
                else if (x0 != entry_col)
                    m = std::max(m, borders.top.query(x0 - ex, x0 - ex * t));
            }
            // After the end: along the bottom row, or down the exit column.
            if (int t = k - (n - 1 - u); t > 0) {
                if (y1 < p.rows - 1)
                    m = std::max(m, exit_side.query(y1 + 1, y1 + t));
                else if (x1 != exit_col)
                    m = std::max(m, borders.bottom.query(x1 + ex, x1 + ex * t));
            }
            W* a = acc_at(p, acc, y0 + u, x0 + ex * u);
            *a = std::max(*a, m);
        }
    }
}

}  // namespace

template <class W>
bool run_whole_plane(const Plan& p) {
    std::vector<W> acc(static_cast<size_t>(p.rows) * p.cols);
    int stray = 0;
    for (int y = 0; y < p.rows; ++y) {
        stray |= copy_work(acc_at(p, acc.data(), y, 0), tgt_row(p, y), p.cols, p.lo, p.flip);
        track_extremes(p.tgt_seen, tgt_row(p, y), p.cols);
    }
    if (stray) return false;
    if (p.kh) apply_axis(p, p.kh, 0, 1, acc.data());
    if (p.kv) apply_axis(p, p.kv, 1, 0, acc.data());
    if (p.kd) {
        const Borders<W> borders(p);
        apply_diagonals(p, p.kd, 1, borders, acc.data());
        apply_diagonals(p, p.kd, -1, borders, acc.data());
    }
    for (int y = 0; y < p.rows && !stop_requested(p.interrupt); ++y)
        finish_row(p, acc_at(p, acc.data(), y, 0), y, 0, p.cols);
    return true;
}

template bool run_whole_plane<uint8_t>(const Plan&);
template bool run_whole_plane<int16_t>(const Plan&);

}  // namespace qlo::kernels::shift_plan
