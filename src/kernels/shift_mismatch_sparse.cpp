// The shift-mismatch mask decided pixel by pixel, for images where few pixels
// differ at zero displacement (a print against its standard, say). A pixel is
// marked only if it differs at every displacement, so one that matches at
// zero displacement is settled by a single comparison, and the others are
// usually settled by one of the first displacements tried. Each vector of 16
// pixels is compared at zero displacement and at the displacement that
// settled the last pixels (neighbouring pixels tend to be explained by the
// same misregistration); only the rare vectors still holding a differing
// pixel go on to the other displacements, each stopping at the first one
// where all of its pixels match, which is then tried first. The order changes
// nothing in the result: a pixel is marked when every comparison holds.
//
// Where many pixels differ this costs up to |D| comparisons per pixel, against
// a constant number for the windows of shift_mismatch.cpp; the sweep counts
// its comparisons and gives up once they pass a budget of a few per pixel,
// leaving the caller to take that route instead.
//
// The same sweep can make both directed masks of a comparison at once (the
// standard against the displaced target, and the target against the
// displaced standard), reading each plane once for both.
#include <algorithm>
#include <cstring>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "kernels/shift_mismatch.h"
#include "kernels/shift_mismatch_plan.h"

namespace qlo::kernels {
namespace {

using namespace shift_plan;

constexpr int kLanes = 16;
using Vec = int16_t __attribute__((vector_size(32)));    // 16 values
using Bytes = int8_t __attribute__((vector_size(16)));   // 16 mask bytes
using Octets = uint8_t __attribute__((vector_size(16)));  // 16 8-bit values

// Comparisons (a vector or a pixel at one displacement) the sweep may spend
// per 16 pixels and direction beyond the first tests before it gives up, and
// on any image at least (small images, whose pixels are mostly near an edge
// and tested one by one, would otherwise give up on a blob or two).
constexpr long long kBudgetPerVector = 4;
constexpr long long kBudgetFloor = 4096;

// 16 plane values as int16 (8-bit ones zero-extended).
inline Vec load(const int16_t* p) {
    Vec v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <bool Avx2 = false>
inline Vec load(const uint8_t* p) {
    Octets v;
    std::memcpy(&v, p, sizeof v);
#if defined(__x86_64__) && defined(__GNUC__)
    // One vpmovzxbw; the conversion below becomes two halves and an insert.
    if constexpr (Avx2) return reinterpret_cast<Vec>(__builtin_ia32_pmovzxbw256(reinterpret_cast<__v16qi>(v)));
#endif
    return __builtin_convertvector(v, Vec);
}
template <bool Avx2 = false>
inline Vec load(const int16_t* p) {
    return load(p);
}

// True when some lane of m is set: a reduction through general registers,
// or one vptest in the AVX2 sweep.
template <bool Avx2>
inline bool any(Vec m) {
#if defined(__x86_64__) && defined(__GNUC__)
    if constexpr (Avx2) return !__builtin_ia32_ptestz256(reinterpret_cast<__m256i>(m), reinterpret_cast<__m256i>(m));
#endif
    uint64_t w[4];
    std::memcpy(w, &m, sizeof w);
    return (w[0] | w[1] | w[2] | w[3]) != 0;
}

inline void store_mask(uint8_t* o, Vec m) {
    Bytes b = __builtin_convertvector(m, Bytes);  // -1 -> 0xFF, 0 -> 0
    std::memcpy(o, &b, sizeof b);
}

// Two masks of 16 lanes each (-1 or 0) stored as bytes 0xFF or 0: one
// signed-saturating pack of both and one lane permutation in the AVX2 sweep.
template <bool Avx2>
inline void store_masks(uint8_t* o1, uint8_t* o2, Vec m1, Vec m2) {
#if defined(__x86_64__) && defined(__GNUC__)
    if constexpr (Avx2) {
        // Per 128-bit lane: m1's 8 bytes, then m2's; reordered to m1, m2.
        __v32qi packed = __builtin_ia32_packsswb256(reinterpret_cast<__v16hi>(m1), reinterpret_cast<__v16hi>(m2));
        __v4di both = __builtin_ia32_permdi256(reinterpret_cast<__v4di>(packed), 0xd8);
        std::memcpy(o1, &both, 16);
        std::memcpy(o2, reinterpret_cast<const char*>(&both) + 16, 16);
        return;
    }
#endif
    store_mask(o1, m1);
    store_mask(o2, m2);
}

// A pixel differs from value v when std - v > t (t >= 0) or std - v < t
// (t < 0). Both are decided without a subtraction that could wrap: with
// bound = std - t the test is v < bound (v > bound for t < 0). That bound
// fits int16 exactly when std >= t - 32768 (std <= t + 32767); for other std
// no int16 v can pass the test, and std clamped to that limit gives the
// bound -32768 (32767), which no v passes either.
template <bool Below>
struct Rule {
    int16_t t, limit;

    explicit Rule(int threshold)
        : t(int16_t(threshold)), limit(int16_t(Below ? threshold - 32768 : threshold + 32767)) {}

    bool differs(int s, int v) const { return Below ? s - v > t : s - v < t; }
    Vec bound(Vec s) const {
        const Vec lim = Vec{} + limit;
        return Below ? Vec((s > lim ? s : lim) - t) : Vec((s < lim ? s : lim) - t);
    }
    static Vec differs(Vec bound, Vec v) { return Below ? Vec(v < bound) : Vec(v > bound); }
};

// A plane of T values, rows `stride` bytes apart.
template <class T>
struct Plane {
    const T* data;
    ptrdiff_t stride;
    const T* row(int y) const { return row_at(data, stride, y); }
};

// One direction of the comparison: the pixels of plane `a` that differ from
// plane `b` at every displacement of b, row by row.
template <bool Below, class A, class B, bool Avx2>
struct Direction {
    Plane<A> a;
    Plane<B> b;
    uint8_t* out;
    ptrdiff_t out_stride;
    int rows;
    std::vector<Displacement> tried;  // in the order tried, the last one to settle a pixel first
    int y = 0;                        // the current row
    const B* head = nullptr;          // row y of b displaced by tried[0]: column x is head[x]
    bool marked = false;              // some pixel of the mask is 255

    // Where row y of b displaced by e starts: column x is at [x].
    const B* displaced_row(const Displacement& e) const { return b.row(clamp_int(y - e.dy, 0, rows - 1)) - e.dx; }

    // With no displacement to try, head is row y itself: testing zero
    // displacement twice changes nothing.
    void start_row(int row) {
        y = row;
        head = tried.empty() ? b.row(y) : displaced_row(tried[0]);
    }

    void settled_by(size_t i) {
        std::swap(tried[0], tried[i]);
        head = displaced_row(tried[0]);
    }

    // One pixel, any column, in exact int arithmetic.
    uint8_t pixel(const Rule<Below>& rule, int x, int s, int v0, int cols, long long& left_over) {
        if (!rule.differs(s, v0)) return 0;
        for (size_t i = 0; i < tried.size(); ++i) {
            if (--left_over < 0) return 0;  // the sweep gives up; the value is never used
            const Displacement& e = tried[i];
            if (!rule.differs(s, b.row(clamp_int(y - e.dy, 0, rows - 1))[clamp_int(x - e.dx, 0, cols - 1)])) {
                settled_by(i);
                return 0;
            }
        }
        marked = true;
        return 255;
    }

    // The displacements after the first tried on `m`, the lanes of column x
    // still differing at zero displacement and at the first one, until none
    // differs; every displaced read stays inside the row. The first is
    // applied to every vector with no test (see Sweep::vectors): most vectors
    // that differ at zero displacement match there, and a branch taken for
    // one vector in a few would be mispredicted often.
    Vec displaced(Vec m, Vec bound, int x, long long& left_over) {
        for (size_t i = 1; i < tried.size(); ++i) {
            --left_over;
            m &= Rule<Below>::differs(bound, load<Avx2>(displaced_row(tried[i]) + x));
            if (!any<Avx2>(m)) {
                settled_by(i);
                break;
            }
        }
        return m;
    }
};

// Running per-lane extremes of one plane.
struct Extents {
    Vec lo, hi;
    Extents() {
        lo = Vec{} + int16_t(INT16_MAX);
        hi = Vec{} + int16_t(INT16_MIN);
    }
    void add(Vec v) {
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
    }
    void fold_into(Extremes& e) const {
        for (int i = 0; i < kLanes; ++i) {
            e.lo = std::min(e.lo, lo[i]);
            e.hi = std::max(e.hi, hi[i]);
        }
    }
};

// The sweep over planes `a` (int16) and `b`: the mask of a against displaced
// b and, when TwoWay, that of b against displaced a.
template <bool Below, class B, bool TwoWay, bool Avx2>
struct Sweep {
    int rows, cols;
    Rule<Below> rule;
    Direction<Below, int16_t, B, Avx2> ab;  // a against displaced b
    Direction<Below, B, int16_t, Avx2> ba;  // b against displaced a (TwoWay)
    int left = 0, right = 0;          // largest displacement right (dx > 0) and left (dx < 0)
    long long budget = 0;
    Extremes a_seen{}, b_seen{};

    void pixels(int y, int x0, int x1, const int16_t* s, const B* t, uint8_t* o1, uint8_t* o2, long long& left_over) {
        for (int x = x0; x < x1; ++x) {
            a_seen.lo = std::min<int16_t>(a_seen.lo, s[x]);
            a_seen.hi = std::max<int16_t>(a_seen.hi, s[x]);
            b_seen.lo = std::min<int16_t>(b_seen.lo, t[x]);
            b_seen.hi = std::max<int16_t>(b_seen.hi, t[x]);
            o1[x] = ab.pixel(rule, x, s[x], t[x], cols, left_over);
            if (TwoWay) o2[x] = ba.pixel(rule, x, t[x], s[x], cols, left_over);
        }
    }

    // Columns [c0, c1) at the row's ends, where displaced reads could leave
    // the row: 16 at a time tested at zero displacement by a vector placed
    // inside the row, and only a group with a differing pixel in reach is
    // decided pixel by pixel. The rest differ nowhere, so their mask is 0.
    void edge(int y, int c0, int c1, const int16_t* s, const B* t, uint8_t* o1, uint8_t* o2, Extents& a_ext,
              Extents& b_ext, long long& left_over) {
        if (cols < kLanes) {
            pixels(y, c0, c1, s, t, o1, o2, left_over);
            return;
        }
        for (int c = c0; c < c1; c += kLanes) {
            const int end = std::min(c + kLanes, c1), v = std::min(c, cols - kLanes);
            Vec sa = load(s + v), sb = load<Avx2>(t + v);
            a_ext.add(sa);
            b_ext.add(sb);
            Vec m = Rule<Below>::differs(rule.bound(sa), sb);
            if (TwoWay) m |= Rule<Below>::differs(rule.bound(sb), sa);
            if (any<Avx2>(m)) {
                pixels(y, c, end, s, t, o1, o2, left_over);
                continue;
            }
            std::fill(o1 + c, o1 + end, uint8_t(0));
            if (TwoWay) std::fill(o2 + c, o2 + end, uint8_t(0));
        }
    }

    // Columns [x0, x1) in vectors. A vector in which no pixel differs at zero
    // displacement and at the first one tried, the usual case, costs one
    // test. What the loop reads from members is held in locals, which the
    // byte stores of the masks cannot alias, so they stay in registers.
    void vectors(int x0, int x1, const int16_t* s, const B* t, uint8_t* o1, uint8_t* o2, Extents& a_ext,
                 Extents& b_ext, long long& left_over) {
        const Rule<Below> r = rule;
        const B* head1 = ab.head;
        const int16_t* head2 = ba.head;
        Extents a_seen_here = a_ext, b_seen_here = b_ext;
        // The budget is only spent on the rare vectors that go on past the
        // first displacement, so it is checked there.
        for (int x = x0; x + kLanes <= x1; x += kLanes) {
            Vec sa = load(s + x), sb = load<Avx2>(t + x);
            Vec bound1 = r.bound(sa);
            Vec m1 = Rule<Below>::differs(bound1, sb) & Rule<Below>::differs(bound1, load<Avx2>(head1 + x));
            if (!TwoWay) {
                a_seen_here.add(sa);
                b_seen_here.add(sb);
                if (any<Avx2>(m1)) {
                    m1 = ab.displaced(m1, bound1, x, left_over);
                    ab.marked |= any<Avx2>(m1);
                    head1 = ab.head;
                    if (left_over < 0) break;
                }
                store_mask(o1 + x, m1);
                continue;
            }
            // b is 8-bit: only a's lowest value bears on overflow (see run).
            a_seen_here.lo = sa < a_seen_here.lo ? sa : a_seen_here.lo;
            Vec bound2 = r.bound(sb);
            Vec m2 = Rule<Below>::differs(bound2, sa) & Rule<Below>::differs(bound2, load(head2 + x));
            if (any<Avx2>(m1 | m2)) {
                if (any<Avx2>(m1)) m1 = ab.displaced(m1, bound1, x, left_over);
                if (any<Avx2>(m2)) m2 = ba.displaced(m2, bound2, x, left_over);
                ab.marked |= any<Avx2>(m1);
                ba.marked |= any<Avx2>(m2);
                head1 = ab.head;
                head2 = ba.head;
                if (left_over < 0) break;
            }
            store_masks<Avx2>(o1 + x, o2 + x, m1, m2);
        }
        a_ext = a_seen_here;
        b_ext = b_seen_here;
    }

    // False once the budget is spent (the masks are then incomplete).
    bool run(Interrupt* interrupt) {
        // Vectors may start where no displacement reads left of column 0 or
        // right of the last column; the pixels outside take the exact path.
        const int x0 = std::min(left, cols);
        const int x1 = x0 + std::max(cols - left - right, 0) / kLanes * kLanes;
        Extents a_ext, b_ext;
        long long left_over = budget;
        for (int y = 0; y < rows; ++y) {
            // Polled every 8 rows: a poll reads the clock, a row takes microseconds.
            if (left_over < 0 || (y % 8 == 0 && stop_requested(interrupt))) return false;
            ab.start_row(y);
            if (TwoWay) ba.start_row(y);
            const int16_t* s = ab.a.row(y);
            const B* t = ab.b.row(y);
            uint8_t* o1 = row_at(ab.out, ab.out_stride, y);
            uint8_t* o2 = TwoWay ? row_at(ba.out, ba.out_stride, y) : nullptr;
            edge(y, 0, x0, s, t, o1, o2, a_ext, b_ext, left_over);
            vectors(x0, x1, s, t, o1, o2, a_ext, b_ext, left_over);
            edge(y, std::max(x0, x1), cols, s, t, o1, o2, a_ext, b_ext, left_over);
        }
        a_ext.fold_into(a_seen);
        b_ext.fold_into(b_seen);
        if (TwoWay) {
            // Reported as what an overflow check needs: 8-bit values span
            // at most 0..255, and a's highest value can make no difference
            // with them leave int16.
            a_seen.hi = INT16_MAX;
            b_seen = {0, 255};
        }
        return left_over >= 0;
    }
};

// The displacements of D other than (0, 0), each axis capped as the windows'
// route caps it (a shift past the image reads its edge, as the largest one
// inside does), without repeats, nearest first.
std::vector<Displacement> displacement_set(int rows, int cols, const int* axis, int n_axis, const int* diag,
                                           int n_diag) {
    const int cx = cols - 1, cy = rows - 1;
    auto cap = [](int s, int c) { return int(std::min<long long>(std::llabs(static_cast<long long>(s)), c)); };
    std::vector<Displacement> d;
    for (int i = 0; axis && i < n_axis; ++i) {
        int h = cap(axis[i], cx), v = cap(axis[i], cy);
        d.insert(d.end(), {{h, 0}, {-h, 0}, {0, v}, {0, -v}});
    }
    for (int i = 0; diag && i < n_diag; ++i) {
        int h = cap(diag[i], cx), v = cap(diag[i], cy);
        d.insert(d.end(), {{h, v}, {-h, v}, {h, -v}, {-h, -v}});
    }
    d.erase(std::remove(d.begin(), d.end(), Displacement{0, 0}), d.end());
    std::sort(d.begin(), d.end());
    d.erase(std::unique(d.begin(), d.end()), d.end());
    std::stable_sort(d.begin(), d.end(), [](const Displacement& a, const Displacement& b) {
        return std::max(std::abs(a.dx), std::abs(a.dy)) < std::max(std::abs(b.dx), std::abs(b.dy));
    });
    return d;
}

// Masks of `a` against displaced `b` (into out1) and, when TwoWay, of `b`
// against displaced `a` (into out2).
template <bool Below, class B, bool TwoWay, bool Avx2>
bool sweep(Plane<int16_t> a, Plane<B> b, int rows, int cols, int threshold, const std::vector<Displacement>& set,
           uint8_t* out1, uint8_t* out2, ptrdiff_t out_stride, PlaneRanges* seen, bool* marked, Interrupt* interrupt) {
    Sweep<Below, B, TwoWay, Avx2> w{rows, cols, Rule<Below>(threshold), {a, b, out1, out_stride, rows, set},
                                    {b, a, out2, out_stride, rows, set}};
    for (const Displacement& e : set) {
        w.left = std::max(w.left, e.dx);
        w.right = std::max(w.right, -e.dx);
    }
    w.budget = kBudgetFloor + kBudgetPerVector * (TwoWay ? 2 : 1) * ((static_cast<long long>(rows) * cols) / kLanes + rows);
    bool done = w.run(interrupt);
    if (done && seen) *seen = PlaneRanges{w.a_seen.lo, w.a_seen.hi, w.b_seen.lo, w.b_seen.hi};
    if (done && marked) {
        marked[0] = w.ab.marked;
        if (TwoWay) marked[1] = w.ba.marked;
    }
    return done;
}

template <bool Below, class B, bool TwoWay>
bool sweep_generic(Plane<int16_t> a, Plane<B> b, int rows, int cols, int threshold,
                   const std::vector<Displacement>& set, uint8_t* out1, uint8_t* out2, ptrdiff_t out_stride,
                   PlaneRanges* seen, bool* marked, Interrupt* interrupt) {
    return sweep<Below, B, TwoWay, false>(a, b, rows, cols, threshold, set, out1, out2, out_stride, seen, marked,
                                          interrupt);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same sweep compiled for AVX2, everything inlined (see the streaming
// engine in shift_mismatch.cpp).
template <bool Below, class B, bool TwoWay>
__attribute__((target("avx2"), flatten)) bool sweep_avx2(Plane<int16_t> a, Plane<B> b, int rows, int cols,
                                                         int threshold, const std::vector<Displacement>& set,
                                                         uint8_t* out1, uint8_t* out2, ptrdiff_t out_stride,
                                                         PlaneRanges* seen, bool* marked, Interrupt* interrupt) {
    return sweep<Below, B, TwoWay, true>(a, b, rows, cols, threshold, set, out1, out2, out_stride, seen, marked,
                                         interrupt);
}
#endif

template <class B, bool TwoWay>
bool sweep_either_sign(Plane<int16_t> a, Plane<B> b, int rows, int cols, int threshold, const int* axis,
                       int n_axis, const int* diag, int n_diag, uint8_t* out1, uint8_t* out2, ptrdiff_t out_stride,
                       PlaneRanges* seen, bool* marked, Interrupt* interrupt) {
    if (rows < 1 || cols < 1 || threshold < INT16_MIN || threshold > INT16_MAX) return false;
    std::vector<Displacement> set = displacement_set(rows, cols, axis, n_axis, diag, n_diag);
#if defined(__x86_64__) && defined(__GNUC__)
    if (has_avx2())
        return threshold >= 0 ? sweep_avx2<true, B, TwoWay>(a, b, rows, cols, threshold, set, out1, out2,
                                                              out_stride, seen, marked, interrupt)
                              : sweep_avx2<false, B, TwoWay>(a, b, rows, cols, threshold, set, out1, out2,
                                                               out_stride, seen, marked, interrupt);
#endif
    return threshold >= 0 ? sweep_generic<true, B, TwoWay>(a, b, rows, cols, threshold, set, out1, out2, out_stride,
                                                           seen, marked, interrupt)
                          : sweep_generic<false, B, TwoWay>(a, b, rows, cols, threshold, set, out1, out2,
                                                            out_stride, seen, marked, interrupt);
}

}  // namespace

bool sparse_shift_mismatch_mask(const int16_t* std_data, ptrdiff_t std_stride, const int16_t* tgt_data,
                                ptrdiff_t tgt_stride, int rows, int cols, int threshold, const int* axis_shifts,
                                int n_axis, const int* diag_shifts, int n_diag, uint8_t* out, ptrdiff_t out_stride,
                                PlaneRanges* seen, Interrupt* interrupt) {
    return sweep_either_sign<int16_t, false>({std_data, std_stride}, {tgt_data, tgt_stride}, rows, cols, threshold,
                                             axis_shifts, n_axis, diag_shifts, n_diag, out, nullptr, out_stride,
                                             seen, nullptr, interrupt);
}

bool sparse_two_way_masks(const int16_t* std_data, ptrdiff_t std_stride, const uint8_t* tgt_data,
                          ptrdiff_t tgt_stride, int rows, int cols, int threshold, const int* axis_shifts, int n_axis,
                          const int* diag_shifts, int n_diag, uint8_t* black, uint8_t* white, ptrdiff_t out_stride,
                          PlaneRanges* seen, bool* marked, Interrupt* interrupt) {
    return sweep_either_sign<uint8_t, true>({std_data, std_stride}, {tgt_data, tgt_stride}, rows, cols, threshold,
                                            axis_shifts, n_axis, diag_shifts, n_diag, black, white, out_stride, seen,
                                            marked, interrupt);
}

}  // namespace qlo::kernels
