import dataclasses

import cv2
import numpy as np
import pytest

import qlo_cv
from qlo_batch import defects
from qlo_batch.defects import KINDS, find_defects, group_boxes, material_level
from qlo_batch.settings import Settings

SETTINGS = Settings(max_shift=3, judge_parameter=3, margin=0)


def board():
    """Two traces 11 pixels apart, a pad and a drilled pad, copper 255 on 0."""
    image = np.zeros((160, 200), np.uint8)
    cv2.rectangle(image, (20, 40), (180, 48), 255, -1)
    cv2.rectangle(image, (20, 60), (180, 68), 255, -1)
    cv2.circle(image, (100, 115), 18, 255, -1)
    cv2.circle(image, (150, 115), 12, 255, -1)
    cv2.circle(image, (150, 115), 6, 0, -1)
    return image


# kind, (x1, y1, x2, y2) painted, value painted (copper 255)
PLANTED = [
    ("bridge", (95, 49, 103, 60), 255),
    ("break", (93, 40, 105, 49), 0),
    ("hole", (96, 111, 105, 120), 0),
    ("bite", (92, 60, 106, 67), 0),
    ("island", (60, 10, 72, 22), 255),
    ("spur", (60, 69, 70, 81), 255),
    ("missing", (80, 95, 121, 136), 0),         # the whole solid pad
    ("extra", (144, 109, 157, 122), 255),        # the drill hole filled
]


def planted(box, value, shift=(0, 0), invert=False):
    std = board()
    tgt = std.copy()
    x1, y1, x2, y2 = box
    tgt[y1:y2, x1:x2] = value
    tgt = cv2.warpAffine(tgt, np.float32([[1, 0, shift[0]], [0, 1, shift[1]]]), tgt.shape[::-1],
                         borderMode=cv2.BORDER_REPLICATE)
    if invert:
        std, tgt = 255 - std, 255 - tgt
    return std, tgt


def covers(outer, inner):
    return outer[0] <= inner[0] and outer[1] <= inner[1] and outer[2] >= inner[2] and outer[3] >= inner[3]


@pytest.mark.parametrize("invert", [False, True])
@pytest.mark.parametrize("shift", [(0, 0), (2, -1), (-3, 0), (0, 3)])
@pytest.mark.parametrize("kind, box, value", PLANTED)
def test_kind_and_extent_of_each_planted_defect(kind, box, value, shift, invert):
    std, tgt = planted(box, value, shift, invert)
    found = find_defects(std, tgt, SETTINGS)
    assert [d.kind for d in found] == [kind]
    x1, y1, x2, y2 = box
    truth = (x1 + shift[0], y1 + shift[1], x2 + shift[0], y2 + shift[1])
    if kind in ("missing", "extra"):    # the pad (its hole) only, not the painted square around it
        truth = (82, 97, 119, 134) if kind == "missing" else (144, 109, 157, 122)
        truth = (truth[0] + shift[0], truth[1] + shift[1], truth[2] + shift[0], truth[3] + shift[1])
    got = found[0].box
    # the whole defect (a rounded corner pixel may be opened away), and no
    # misregistration sliver along the traces
    assert covers(got, [t + d for t, d in zip(truth, (1, 1, -1, -1))])
    assert covers([t + d for t, d in zip(truth, (-2, -2, 2, 2))], got)


def test_margin_score_order_and_cut_off():
    std = board()
    tgt = std.copy()
    tgt[10:22, 60:72] = 255          # island, 144 pixels
    tgt[10:16, 120:126] = 255        # island, 36 pixels
    found = find_defects(std, tgt, Settings(max_shift=3, judge_parameter=3, margin=2))
    assert [d.box for d in found] == [[58, 8, 74, 24], [118, 8, 128, 18]]
    assert [d.score for d in found] == [144.0, 36.0]
    assert find_defects(std, tgt, Settings(max_shift=3, judge_parameter=3, min_score=36.5))[0].score == 144.0


GROUPINGS = {"closure": {}, "graph": {"FEW_BOXES": 0}, "drawn": {"MANY_BOXES": 0}}   # few, some, many boxes


@pytest.mark.parametrize("way", GROUPINGS)
@pytest.mark.parametrize("gap", [0, 3, 6])
def test_boxes_at_most_gap_apart_merge(gap, way, monkeypatch):
    for name, value in GROUPINGS[way].items():
        monkeypatch.setattr(defects, name, value)
    a = (10, 10, 20, 20)
    assert group_boxes([a, (20 + gap, 10, 30 + gap, 20)], gap) == [[0, 1]]
    assert group_boxes([a, (21 + gap, 10, 31 + gap, 20)], gap) == [[0], [1]]
    assert group_boxes([a, (20 + gap, 20 + gap, 30, 30)], gap) == [[0, 1]]           # diagonal neighbours
    # transitive: a chain of near boxes is one group whatever its length
    chain = [(x, 50, x + 5, 55) for x in range(0, 60, 5 + gap)] + [a]
    assert group_boxes(chain, gap) == [list(range(len(chain) - 1)), [len(chain) - 1]]


def test_the_three_groupings_agree_on_random_boxes(rng, monkeypatch):
    for count in (1, 2, 7, 40, 64):
        corners = rng.integers(0, 200, (count, 2))
        boxes = np.concatenate([corners, corners + rng.integers(1, 12, (count, 2))], axis=1).tolist()
        found = []
        for way in GROUPINGS.values():
            with monkeypatch.context() as patch:
                for name, value in way.items():
                    patch.setattr(defects, name, value)
                found.append(group_boxes(boxes, 4))
        assert found[0] == found[1] == found[2], count


def test_fragments_of_one_defect_become_one():
    std, tgt = planted((60, 10, 72, 22), 255)
    regions = [qlo_cv.NGRegion([61, 11, 64, 21], "white spot: a"), qlo_cv.NGRegion([68, 11, 71, 21], "white spot: b")]
    (near,) = find_defects(std, tgt, Settings(gap=4, margin=0), ng_regions=regions)
    assert near.box == [60, 10, 72, 22] and near.ng_count == 2 and near.kind == "island"
    assert len(find_defects(std, tgt, Settings(gap=3, margin=0), ng_regions=regions)) == 2
    # the extent stops the growth: 2 pixels beyond the boxes at most
    assert find_defects(std, tgt, Settings(extent=2, margin=0), ng_regions=regions[:1])[0].box == [60, 10, 66, 22]


def test_pattern_side():
    std = board()
    assert material_level(std)[1] and not material_level(255 - std)[1]
    assert material_level(std, "dark")[1] is False
    # copper the majority: a pour around drilled pads in clearance rings
    pour = np.full((200, 200), 255, np.uint8)
    for x in (40, 100, 160):
        for y in (40, 100, 160):
            cv2.circle(pour, (x, y), 18, 0, -1)
            cv2.circle(pour, (x, y), 10, 255, -1)
            cv2.circle(pour, (x, y), 4, 0, -1)
    assert material_level(pour)[1] and not material_level(255 - pour)[1]
    jpeg = cv2.imdecode(cv2.imencode(".jpg", pour, [cv2.IMWRITE_JPEG_QUALITY, 70])[1], cv2.IMREAD_GRAYSCALE)
    assert material_level(jpeg)[1] and not material_level(255 - jpeg)[1]


def test_bad_images_raise_clear_errors():
    good = np.zeros((20, 30), np.uint8)
    cases = [(np.zeros((0, 30), np.uint8), good, "standard is empty"),
             (good, np.zeros((20, 31), np.uint8), "target is 31 x 20, the standard 30 x 20"),
             (np.zeros((20, 30, 3), np.uint8), good, "standard must be a 2-D"),
             (good, good.astype(np.float32), "target must be uint8, not float32")]
    for std, tgt, message in cases:
        with pytest.raises(ValueError, match=message):
            find_defects(std, tgt, SETTINGS)
    with pytest.raises(TypeError, match="standard must be a numpy array, not list"):
        find_defects([[0]], good, SETTINGS)
    assert find_defects(good, good, SETTINGS) == []


@pytest.mark.parametrize("shape", [(1, 1), (1, 9), (9, 1), (4, 6)])
def test_tiny_noisy_images_give_boxes_inside(shape):
    rng = np.random.default_rng(sum(shape))
    std, tgt = (rng.integers(0, 256, shape, dtype=np.uint8) for _ in range(2))
    for max_shift, threshold in ((0, 0), (8, -40)):
        for d in find_defects(std, tgt, Settings(max_shift=max_shift, threshold=threshold, judge_parameter=1)):
            x1, y1, x2, y2 = d.box
            assert 0 <= x1 < x2 <= shape[1] and 0 <= y1 < y2 <= shape[0] and d.kind in KINDS


@pytest.mark.parametrize("shift", [(0, 0), (3, -2), (-4, 4)])
def test_aligned_comparison_reports_in_the_target_pixels(shift):
    """A hole narrower than 2 * max_shift + 1 is explained away by a tolerance
    wide enough for the misregistration; moved onto the standard first, the
    target needs a tolerance of one pixel and the hole is found, its NG boxes
    (and the boxes in their descriptions) in the target's pixels."""
    box = (97, 112, 102, 117)
    std, tgt = planted(box, 0, shift)
    wide = Settings(max_shift=4, judge_parameter=1, margin=0)
    assert "hole" not in [d.kind for d in find_defects(std, tgt, wide)]
    aligned = Settings(max_shift=1, judge_parameter=1, margin=0, align=4)
    result = defects.compare(aligned.comparator(std), std, tgt, aligned)
    moved = [box[0] + shift[0], box[1] + shift[1], box[2] + shift[0], box[3] + shift[1]]
    assert [r.desc.endswith(", %s" % r.rect) for r in result.ng_regions] == [True]
    assert covers(moved, result.ng_regions[0].rect) and result.original_image is tgt
    [found] = find_defects(std, tgt, aligned)
    assert found.kind == "hole" and covers(found.box, moved)


def regions_of(settings, std, tgt):
    return [list(r.rect) for r in defects.compare(settings.comparator(std), std, tgt, settings).ng_regions]


@pytest.mark.parametrize("width, shift", [(5, (2, 0)), (5, (0, 2)), (6, (2, 1)), (5, (-2, 0))])
def test_thin_bridge_survives_a_small_shift_and_the_solid_filter(width, shift):
    """Misregistered by 2 pixels and compared at max_shift 1, every trace edge
    leaves a one-pixel sliver; a judge that keeps every blob keeps those
    too. The solid filter keeps the bridge's 3-pixel core alone."""
    std, tgt = planted((97, 49, 97 + width, 60), 255, shift)
    keep_all = Settings(max_shift=1, judge_parameter=1, margin=0)
    assert len(find_defects(std, tgt, keep_all)) > 1
    solid = dataclasses.replace(keep_all, min_radius=2, min_pixels=6)
    [bridge] = find_defects(std, tgt, solid)
    assert bridge.kind == "bridge"
    assert covers(bridge.box, (97 + shift[0] + 1, 50 + shift[1], 96 + width + shift[0], 59 + shift[1]))


# spot (x1, y1, x2, y2) on a 160 x 200 blank, border, compare_region: kept?
@pytest.mark.parametrize("spot, border, region, kept", [
    ((2, 50, 8, 56), 0, None, True), ((2, 50, 8, 56), 4, None, False), ((4, 50, 10, 56), 4, None, True),
    ((190, 150, 196, 156), 4, None, True), ((190, 150, 197, 157), 4, None, False),
    ((50, 50, 56, 56), 4, [48, 20, 150, 100], False), ((52, 50, 58, 56), 4, [48, 20, 150, 100], True),
    ((140, 50, 146, 56), 4, [48, 20, 150, 100], True), ((141, 50, 147, 56), 4, [48, 20, 150, 100], False),
    ((50, 96, 56, 98), 3, [0, 0, 300, 300], True), ((50, 154, 56, 158), 3, [0, 0, 300, 300], False)])
def test_border_band_drops_regions_near_the_compared_edge(spot, border, region, kept):
    std = np.zeros((160, 200), np.uint8)
    tgt = std.copy()
    x1, y1, x2, y2 = spot
    tgt[y1:y2, x1:x2] = 255
    settings = Settings(max_shift=1, judge_parameter=1, border=border, compare_region=region)
    assert regions_of(settings, std, tgt) == ([list(spot)] if kept else [])


@pytest.mark.parametrize("left, right", [((0, 1), (0, -1)), ((2, -1), (2, 1)), ((1, 1), (-1, 0)), ((2, 0), (1, 1))])
def test_tile_alignment_leaves_only_the_fault(left, right):
    """The target's halves are misregistered differently: one displacement
    for the whole image leaves slivers along the traces at max_shift 0; one
    per tile leaves the planted hole, in the target's pixels, and at most
    slivers along the seam of the halves, where the tiles' pixels come from
    both halves (a drift across a real print is gradual: a pixel a seam)."""
    std = board()
    tgt = std.copy()
    tgt[42:46, 130:136] = 0         # a hole in the upper trace
    tgt = np.concatenate((cv2.warpAffine(tgt, np.float32([[1, 0, left[0]], [0, 1, left[1]]]), (200, 160),
                                         borderMode=cv2.BORDER_REPLICATE)[:, :100],
                          cv2.warpAffine(tgt, np.float32([[1, 0, right[0]], [0, 1, right[1]]]), (200, 160),
                                         borderMode=cv2.BORDER_REPLICATE)[:, 100:]), axis=1)
    whole = Settings(max_shift=0, judge_parameter=1, margin=0, align=3)
    assert len(regions_of(whole, std, tgt)) > 1
    tiled = dataclasses.replace(whole, align_grid=2)
    hole = [130 + right[0], 42 + right[1], 136 + right[0], 46 + right[1]]
    found = regions_of(tiled, std, tgt)
    assert [r for r in found if not (98 <= r[0] and r[2] <= 102)] == [hole]
    assert [(d.kind, d.box) for d in find_defects(std, tgt, tiled) if d.box[0] > 102] == [("hole", hole)]


@pytest.mark.parametrize("align, align_grid", [(0, 0), (4, 0), (4, 2)])
def test_an_inspection_aligns_each_pair_once_and_finds_the_same_defects(tmp_path, monkeypatch, align, align_grid):
    from examples.labelled_samples import board_sample
    from qlo_batch.pairs import Pair
    from qlo_batch.work_unit import Inspector
    standard, target = board_sample(np.random.default_rng(5), size=200)[:2]
    cv2.imwrite(str(tmp_path / "s.png"), standard)
    cv2.imwrite(str(tmp_path / "t.png"), target)
    settings = Settings(max_shift=1, threshold=50, judge_parameter=1, min_pixels=6, min_radius=2, align=align,
                        align_grid=align_grid)
    expected = find_defects(standard, target, settings)
    calls = []
    real = defects.field
    monkeypatch.setattr(defects, "field", lambda *args: calls.append(args) or real(*args))
    outcome = Inspector(settings)(Pair(str(tmp_path / "s.png"), str(tmp_path / "t.png"), "t.png"))
    assert outcome.verdict == "NG" and len(calls) == 1
    assert outcome.defects == [(d.box, d.kind, d.score, d.ng_count) for d in expected]
