// The shift comparator's mismatch map: the pixels of a standard image that
// differ from another image at zero displacement and at every tried
// displacement of that image.
#pragma once

#include <optional>

#include "frame/object.h"

namespace qlo::comparison {

// Records the module's own translate, compare_image_difference, _cv, _np and
// _math, and the library objects the loop uses through _np and _math; the
// native route is taken only while they are all still bound.
void record_mismatch_originals();

// The 0/255 uint8 mask of `result * _np.uint8(255)` after the displacement
// loops (max_shift, threshold, slope and step as the comparator holds them).
// For int16 planes whose differences cannot overflow, and with the module's
// own functions bound, a native kernel gives the same mask: a sweep that tries
// the displacements only for the pixels differing at zero displacement, or,
// where many do, a grey-level dilation/erosion in a few passes; everywhere
// else each displacement is tried through translate /
// compare_image_difference / _np.logical_and. `made_here`, when given, tells
// whether the native route made the mask.
py::object mismatch_mask(py::handle std_image, py::handle tgt_image, py::handle max_shift, py::handle threshold,
                         py::handle slope, py::handle step, bool* made_here = nullptr);

// Both directed masks of a comparison from one sweep over an int16 standard
// and an 8-bit target, each read once: `black` is the mask mismatch_mask
// gives for (std_image, the target as int16), `white` the one it gives for
// (the target as int16, std_image). Nothing where that sweep does not apply
// (other planes or settings, rebound names, many pixels differing, values
// whose int16 differences could wrap), having run no Python code; the caller
// then makes the masks one by one. `*_empty` tells that a mask is all 0.
struct TwoMasks {
    py::object black, white;
    bool black_empty, white_empty;
};
std::optional<TwoMasks> two_way_masks(py::handle std_image, py::handle tgt_image, py::handle max_shift,
                                      py::handle threshold, py::handle slope, py::handle step);

// Hands back a mask the native route made, once the caller is done with it:
// when nothing else holds it, the next native mask of its shape reuses it.
void done_with_mask(py::object mask);

}  // namespace qlo::comparison
