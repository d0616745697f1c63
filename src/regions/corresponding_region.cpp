// Corresponding-region search: where the region an extraction record marks
// in a standard image lies in a target image of the same scene. The global
// displacement comes from the two images' top-left-most blobs; the region's
// tight box, moved by it and widened by a margin, is the search window, and a
// box is grown from the blobs in the window: large blobs, then small blobs
// lined up with them, then (on request) whole blobs beside the box.
#include "frame/function.h"
#include "frame/globals.h"
#include "frame/object.h"
#include "frame/operators.h"
#include "frame/signature.h"
#include "frame/unpack.h"
#include "regions/shared_steps.h"
#include "regions/register.h"

namespace qlo {

namespace {

constexpr const char* kSource = "src/regions/corresponding_region.cpp";

using regions::bounding_rect;
using regions::infinity;
using regions::item;

bool is_zero(py::handle value) { return compare(value, py::int_(0), Py_EQ); }

// a < b < c as a chained comparison: b is compared with c only when a < b.
bool strictly_between(py::handle a, py::handle b, py::handle c) {
    return compare(a, b, Py_LT) && compare(b, c, Py_LT);
}

// ---- find_top_left_point / get_rough_position_diff ----

// [x, y, contour] of the first external blob whose bounding rect's top-left
// corner has the smallest x + y. No blob at all: IndexError.
py::object find_top_left_point(Args& a) {
    py::object image = a.get(0);
    if (truthy(a[1])) image = regions::otsu_binarized(image);
    py::object contours = regions::find_contours(image, "RETR_EXTERNAL", "CHAIN_APPROX_SIMPLE");
    py::object tlcnt = item(contours, 0);
    py::object minx = infinity(), miny = infinity();
    for (py::handle cnt : contours) {
        auto [x, y, w, h] = bounding_rect(cnt);
        if (compare(add(x, y), add(minx, miny), Py_LT)) {
            minx = x;
            miny = y;
            tlcnt = py::reinterpret_borrow<py::object>(cnt);
        }
    }
    py::list out;
    out.append(minx);
    out.append(miny);
    out.append(tlcnt);
    return out;
}

// [dx, dy]: how far the target's top-left blob lies from the standard's.
py::object get_rough_position_diff(Args& a) {
    auto [x1, y1, cnt1] = unpack<3>(global("find_top_left_point")(a[0], a[2]));
    auto [x2, y2, cnt2] = unpack<3>(global("find_top_left_point")(a[1], a[2]));
    py::list out;
    out.append(sub(x2, x1));
    out.append(sub(y2, y1));
    return out;
}

// ---- find_corresponding_region ----

// The growing box, in window coordinates; maxx and maxy are exclusive.
struct Box {
    py::object minx = infinity(), miny = infinity();
    py::object maxx = py::int_(0), maxy = py::int_(0);

    void take_left(py::handle x) {
        if (compare(x, minx, Py_LT)) minx = py::reinterpret_borrow<py::object>(x);
    }
    void take_top(py::handle y) {
        if (compare(y, miny, Py_LT)) miny = py::reinterpret_borrow<py::object>(y);
    }
    void take_right(py::object right) {
        if (compare(right, maxx, Py_GT)) maxx = right;
    }
    void take_bottom(py::object bottom) {
        if (compare(bottom, maxy, Py_GT)) maxy = bottom;
    }
};

struct Rect {
    py::object x, y, w, h;
    explicit Rect(py::handle contour) {
        auto [rx, ry, rw, rh] = bounding_rect(contour);
        x = rx, y = ry, w = rw, h = rh;
    }
};

// The search window: its top-left corner in the target image and the last
// coordinates a blob may reach without touching its right or bottom border.
struct Window {
    py::object x_shift, y_shift, edgex, edgey;
};

// Pass 1 test: blobs too large, touching the window's border or too small in
// area take no part in the search.
bool usable(const Rect& r, py::handle cnt, const Window& win, py::handle max_wh, py::handle min_area) {
    if (compare(r.w, max_wh, Py_GT) || compare(r.h, max_wh, Py_GT)) return false;
    if (is_zero(r.x) || compare(add(r.x, r.w), win.edgex, Py_GE)) return false;
    if (is_zero(r.y) || compare(add(r.y, r.h), win.edgey, Py_GE)) return false;
    py::object area = global("_cv").attr(interned("contourArea"))(cnt);
    return !compare(area, min_area, Py_LT);
}

// Pass 1: large blobs make the box; the small ones are returned for pass 2.
py::list grow_by_large(Box& box, py::handle all_cnts, const Window& win, py::handle min_wh, py::handle max_wh,
                       py::handle min_area) {
    py::list small_cnts;
    for (py::handle cnt : all_cnts) {
        Rect r(cnt);
        if (!usable(r, cnt, win, max_wh, min_area)) continue;
        if (compare(r.w, min_wh, Py_GE) && compare(r.h, min_wh, Py_GE)) {
            box.take_left(r.x);
            box.take_right(add(r.x, r.w));
            box.take_top(r.y);
            box.take_bottom(add(r.y, r.h));
        } else {
            small_cnts.append(cnt);
        }
    }
    return small_cnts;
}

// Pass 2: small blobs lined up with the box (in the direction's sense) or
// centred inside it join it, in order, the box growing as they do. The others
// are returned for pass 3.
py::list grow_by_small(Box& box, py::handle small_cnts, bool dir_h, bool dir_v) {
    py::list left_cnts;
    py::int_ two(2);
    for (py::handle cnt : small_cnts) {
        Rect r(cnt);
        py::object right = add(r.x, r.w), bottom = add(r.y, r.h);
        bool middle_y =
            strictly_between(box.miny, r.y, box.maxy) || strictly_between(box.miny, bottom, box.maxy);
        bool middle_x =
            strictly_between(box.minx, r.x, box.maxx) || strictly_between(box.minx, right, box.maxx);
        bool middle_center = strictly_between(box.minx, add(r.x, divide(r.w, two)), box.maxx) &&
                             strictly_between(box.miny, add(r.y, divide(r.h, two)), box.maxy);
        if ((dir_h && middle_y) || (dir_v && middle_x) || middle_center) {
            box.take_left(r.x);
            box.take_top(r.y);
            box.take_right(add(r.x, r.w));
            box.take_bottom(add(r.y, r.h));
        } else {
            left_cnts.append(cnt);
        }
    }
    return left_cnts;
}

// Pass 3: a blob wholly left (or right) of the box, vertically centred
// inside it, extends the box to its far edge, whatever the gap.
void grow_sideways(Box& box, py::handle left_cnts, py::handle iedge) {
    bool has_left = compare(iedge, interned("Left"), Py_EQ) || compare(iedge, interned("Both"), Py_EQ);
    bool has_right = compare(iedge, interned("Right"), Py_EQ) || compare(iedge, interned("Both"), Py_EQ);
    py::int_ two(2);
    for (py::handle cnt : left_cnts) {
        Rect r(cnt);
        bool middle_y = strictly_between(box.miny, add(r.y, divide(r.h, two)), box.maxy);
        if (has_left && compare(add(r.x, r.w), box.minx, Py_LT) && middle_y) {
            box.minx = r.x;
        } else if (has_right && compare(r.x, box.maxx, Py_GT) && middle_y) {
            box.maxx = add(r.x, r.w);
        } else {
            continue;
        }
        box.take_top(r.y);
        box.take_bottom(add(r.y, r.h));
    }
}

// A window start left of or above the image is clipped to 0: as a slice
// start it would count from the far edge and cut a wrong window.
py::object clipped(py::object start) {
    py::int_ zero(0);
    return compare(start, zero, Py_LT) ? zero : start;
}

Window search_window(py::handle target_image, py::handle standard_image, py::handle extract_info, py::handle shift,
                     py::handle diff, py::object& big_region) {
    auto [pt1x, pt1y, pt2x, pt2y] =
        unpack<4>(global("minimal_rect_for_extract_info")(standard_image, extract_info, false));
    Window win;
    win.x_shift = clipped(sub(add(pt1x, item(diff, 0)), item(shift, 0)));
    win.y_shift = clipped(sub(add(pt1y, item(diff, 1)), item(shift, 1)));
    py::object right = add(add(pt2x, item(diff, 0)), item(shift, 0));
    py::object bottom = add(add(pt2y, item(diff, 1)), item(shift, 1));
    py::object rows = steal(PySlice_New(win.y_shift.ptr(), bottom.ptr(), nullptr));
    py::object cols = steal(PySlice_New(win.x_shift.ptr(), right.ptr(), nullptr));
    big_region = steal(PyObject_GetItem(target_image.ptr(), py::make_tuple(rows, cols).ptr()));
    py::int_ one(1);
    win.edgex = sub(sub(right, win.x_shift), one);
    win.edgey = sub(sub(bottom, win.y_shift), one);
    return win;
}

py::object find_corresponding_region(Args& a) {
    py::object standard_image = a.get(0), target_image = a.get(1), diff = a.get(8);
    py::handle extract_info = a[2], shift = a[3], min_wh = a[4], max_wh = a[5], min_area = a[6];
    if (truthy(a[7])) {
        standard_image = regions::otsu_binarized(standard_image);
        target_image = regions::otsu_binarized(target_image);
    }
    if (diff.is_none()) diff = global("get_rough_position_diff")(standard_image, target_image);
    py::object big_region;
    Window win = search_window(target_image, standard_image, extract_info, shift, diff, big_region);
    py::object all_cnts = regions::find_contours(big_region, "RETR_EXTERNAL", "CHAIN_APPROX_NONE");
    py::object direction = item(extract_info, 4);
    bool dir_h = compare(direction, interned("Horizontal"), Py_EQ);
    bool dir_v = compare(direction, interned("Vertical"), Py_EQ);

    Box box;
    py::list small_cnts = grow_by_large(box, all_cnts, win, min_wh, max_wh, min_area);
    py::list left_cnts = grow_by_small(box, small_cnts, dir_h, dir_v);
    py::object iedge = item(extract_info, 6);
    if (!iedge.is_none()) grow_sideways(box, left_cnts, iedge);

    py::object inf = infinity();
    if (compare(box.minx, inf, Py_EQ) || compare(box.miny, inf, Py_EQ) || is_zero(box.maxx) || is_zero(box.maxy))
        return py::none();
    py::list out;
    out.append(add(box.minx, win.x_shift));
    out.append(add(box.miny, win.y_shift));
    out.append(add(box.maxx, win.x_shift));
    out.append(add(box.maxy, win.y_shift));
    return out;
}

// ---- get_rid_of_small_contours ----

// Pops the contours for which `small(contour)` holds from the caller's list,
// last index first, appending each to `removed`.
template <class Small>
void pop_small(py::handle contours, py::list& removed, Small small) {
    py::list smalls;
    Py_ssize_t idx = 0;
    for (py::handle cnt : contours) {
        if (small(cnt)) smalls.insert(0, py::int_(idx));
        ++idx;
    }
    for (py::handle sc : smalls) removed.append(contours.attr(interned("pop"))(sc));
}

py::object get_rid_of_small_contours(Args& a) {
    py::handle contours = a[0], min_area = a[1], min_perimeter = a[2];
    py::list small_cnts;
    if (!min_area.is_none()) {
        pop_small(contours, small_cnts, [&](py::handle cnt) {
            return compare(global("_cv").attr(interned("contourArea"))(cnt), min_area, Py_LT);
        });
    }
    if (min_perimeter.is_none()) return small_cnts;
    pop_small(contours, small_cnts, [&](py::handle cnt) {
        return compare(global("_cv").attr(interned("arcLength"))(cnt, true), min_perimeter, Py_LT);
    });
    return small_cnts;
}

py::object make_get_rough_position_diff() {
    return module_function({"get_rough_position_diff",
                            {{"standard_image"}, {"target_image"}, {"need_binarize", Hint::Any, py::bool_(false)}},
                            get_rough_position_diff},
                           kSource);
}

py::object make_find_corresponding_region() {
    return module_function({"find_corresponding_region",
                            {{"standard_image"},
                             {"target_image"},
                             {"extract_info"},
                             {"shift"},
                             {"min_wh"},
                             {"max_wh"},
                             {"min_area"},
                             {"need_binarize", Hint::Any, py::bool_(false)},
                             {"diff", Hint::Any, py::none()}},
                            find_corresponding_region},
                           kSource);
}

py::object make_find_top_left_point() {
    return module_function(
        {"find_top_left_point", {{"image"}, {"need_binarize", Hint::Any, py::bool_(false)}}, find_top_left_point},
        kSource);
}

py::object make_get_rid_of_small_contours() {
    return module_function({"get_rid_of_small_contours",
                            {{"contours"}, {"min_area", Hint::Any, py::none()}, {"min_perimeter", Hint::Any, py::none()}},
                            get_rid_of_small_contours},
                           kSource);
}

}  // namespace

void register_corresponding_region(Registry& registry) {
    registry.add("get_rough_position_diff", make_get_rough_position_diff);
    registry.add("find_corresponding_region", make_find_corresponding_region);
    registry.add("find_top_left_point", make_find_top_left_point);
    registry.add("get_rid_of_small_contours", make_get_rid_of_small_contours);
}

}  // namespace qlo
