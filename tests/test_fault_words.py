"""One defect per physical fault and the words of label prints: lined-up
fragments joined (a scratch across a barcode) while neighbouring faults stay
apart, boxes framed to a least size, print words for each planted fault, the
polarity of a run, the labels' aliases, and what the tuner settles from its set."""
import cv2
import numpy as np
import pytest

from qlo_batch import defects, ng_filter
from qlo_batch.defects import chain_groups, find_defects, frame_box, run_material
from qlo_batch.labels import read_labels
from qlo_batch.settings import Settings
from qlo_batch.tune import LADDERS, Facts, Sample, distinct_radii, progress_said

PAPER, INK = 210, 40
PRINT = Settings(max_shift=1, threshold=60, judge_parameter=1, margin=0, vocabulary="print")


def label():
    """Paper with a barcode of 3-pixel bars, a text-like row and a solid block."""
    image = np.full((160, 240), PAPER, np.uint8)
    for x in range(20, 120, 8):
        image[20:80, x:x + 3] = INK
    cv2.putText(image, "LOT 2047", (130, 50), cv2.FONT_HERSHEY_SIMPLEX, 0.7, INK, 2)
    image[100:140, 150:210] = INK
    return image


def scratched(colour):
    target = label()
    cv2.line(target, (10, 30), (130, 70), colour, 1)
    return target


@pytest.mark.parametrize("paint, kind", [
    (lambda t: cv2.line(t, (10, 30), (130, 70), PAPER, 1), "scratch"),      # scraped across the bars
    (lambda t: cv2.line(t, (20, 120), (120, 150), INK, 2), "scratch"),      # a dark line on paper
    (lambda t: cv2.circle(t, (60, 110), 3, INK, -1), "speck"),
    (lambda t: cv2.circle(t, (60, 115), 12, INK, -1), "smudge"),
    (lambda t: cv2.circle(t, (180, 120), 3, PAPER, -1), "void"),
    (lambda t: t.__setitem__((slice(40, 60), slice(44, 48)), PAPER), "missing"),     # a bar's piece
    (lambda t: t.__setitem__((slice(100, 110), slice(160, 175)), PAPER), "missing"),
])
def test_each_print_fault_is_one_defect_with_its_word(paint, kind):
    standard = label()
    target = standard.copy()
    paint(target)
    found = find_defects(standard, target, PRINT)
    assert [d.kind for d in found] == [kind]
    assert [d.kind for d in find_defects(standard, target, Settings(**dict(vars(PRINT), vocabulary="board")))] \
        != [kind] or kind == "missing"


def test_scratch_across_a_barcode_splits_without_chaining():
    standard, target = label(), scratched(PAPER)
    apart = find_defects(standard, target, Settings(**dict(vars(PRINT), chain=0)))
    assert len(apart) > 5 and len(find_defects(standard, target, PRINT)) == 1


@pytest.mark.parametrize("boxes, joined", [
    # three fragments on one line, 6 pixels apart: one fault
    ([(0, 0, 4, 4), (10, 5, 14, 9), (20, 10, 24, 14)], [[0, 1, 2]]),
    # two faults side by side stay apart: two boxes make no line
    ([(0, 0, 4, 4), (10, 0, 14, 4)], [[0], [1]]),
    # three faults in a triangle stay apart
    ([(0, 0, 4, 4), (20, 0, 24, 4), (10, 15, 14, 19)], [[0], [1], [2]]),
    # on one line, but the third too far along it
    ([(0, 0, 4, 4), (10, 0, 14, 4), (60, 0, 64, 4)], [[0], [1], [2]]),
    # a line of four and a speck off it
    ([(0, 0, 3, 3), (8, 0, 11, 3), (16, 0, 19, 3), (24, 0, 27, 3), (12, 12, 15, 15)], [[0, 1, 2, 3], [4]]),
])
def test_chain_joins_lined_up_fragments_only(boxes, joined):
    groups = [[i] for i in range(len(boxes))]
    assert sorted(chain_groups(boxes, groups, 24)) == joined


@pytest.mark.parametrize("box, margin, min_box, expected", [
    ((10, 10, 14, 12), 0, 0, [10, 10, 14, 12]),
    ((10, 10, 14, 12), 1, 0, [9, 9, 15, 13]),
    ((10, 10, 14, 12), 0, 8, [8, 7, 16, 15]),          # grown about its centre
    ((0, 0, 4, 4), 2, 10, [0, 0, 10, 10]),             # kept inside at the corner
    ((96, 96, 100, 100), 0, 10, [90, 90, 100, 100]),
    ((10, 10, 40, 40), 0, 10, [10, 10, 40, 40]),       # large boxes are left as they are
    ((10, 10, 14, 12), 0, 500, [0, 0, 100, 100]),      # never beyond the image
])
def test_frame_box(box, margin, min_box, expected):
    assert frame_box(box, margin, min_box, (100, 100)) == expected


def test_radius_ladder_holds_distinct_filters_only():
    """Each radius of the ladder erodes a test pattern differently on the
    installed OpenCV, and 1.5 and 2 are one filter."""
    pattern = (np.random.default_rng(1).random((64, 64)) < 0.85).astype(np.uint8) * 255
    eroded = [cv2.erode(pattern, ng_filter.disc(r)).tobytes() if r > 1 else pattern.tobytes()
              for r in LADDERS["min_radius"]]
    assert len(set(eroded)) == len(eroded)
    assert distinct_radii((0, 1, 1.5, 2, 2.5)) == (0, 1.5, 2.5)


def test_run_material_outvotes_a_few_tiles_but_not_a_mixed_run():
    dark = np.full((64, 64), 230, np.uint8)
    dark[20:30, :] = 10
    light = 255 - dark
    assert run_material([dark] * 9 + [light]) == "dark"
    assert run_material([light] * 9 + [dark]) == "light"
    assert run_material([dark, light] * 5) == "auto" and run_material([]) == "auto"


def test_labels_take_print_words_and_aliases(tmp_path):
    (tmp_path / "l.csv").write_text("file,x1,y1,x2,y2,kind\na.png,0,0,5,5,Missing Stroke\na.png,0,0,5,5,mouse-bite\n"
                                    "a.png,0,0,5,5,scratch\na.png,0,0,5,5,SMUDGE\n")
    assert [l.kind for l in read_labels(str(tmp_path / "l.csv"))] == ["missing", "bite", "scratch", "smudge"]


def test_facts_of_a_uniform_print_set():
    from qlo_batch.labels import Label
    standard = label()
    samples = [Sample("t%d.png" % k, standard, np.roll(scratched(PAPER), 2, axis=1)) for k in range(4)]
    labels = [[Label("t%d.png" % k, [10, 28, 134, 74], "scratch", 2)] for k in range(4)]
    facts = Facts.of(samples, labels)
    assert (facts.material, facts.shift, facts.vocabulary, facts.design_share) == ("dark", 2, "print", 1.0)
    assert facts.start(Settings(material="light")).material == "light"     # the user's own value stands
    assert [mode[0] > 0 for mode in facts.alignments()] == [False, True, True]


@pytest.mark.parametrize("tried, budget, gains, said", [
    (120, 240, [(3, (0.9,)), (80, (0.95,))], "ended on its own"),
    (240, 240, [(3, (0.9,)), (230, (0.95,))], "still rising"),
    (240, 240, [(3, (0.9,)), (100, (0.95,))], "unlikely to help"),
])
def test_progress_said_tells_whether_budget_would_help(tried, budget, gains, said):
    class Done:
        outcomes = dict.fromkeys(range(tried))

        def last_gains(self):
            return [(t, o[0]) for t, o in gains]
    Done.budget = budget
    assert said in progress_said(Done())


def test_tuner_keeps_the_set_polarity_apart_from_the_search():
    """A light-on-dark set whose search starts from 'dark' ends with 'light':
    material is tried apart on the best setting and wins on kinds."""
    from qlo_batch.labels import Label
    from qlo_batch.tune import Search, SerialRunner, ThresholdClasses
    standard = np.zeros((96, 96), np.uint8)
    for y in (14, 40, 66):
        standard[y:y + 6, 6:90] = 230
    target = standard.copy()
    target[20:40, 40:45] = 230
    samples = [Sample("t.png", standard, target)]
    labels = [[Label("t.png", [38, 18, 47, 42], "bridge", 2)]]
    facts = Facts.of(samples, labels)
    facts.material = "dark"
    search = Search(SerialRunner(samples), labels, Settings(), 30, ThresholdClasses(samples), facts=facts)
    best = search.run()
    assert search.settings(*best).material in ("light", "auto") and search.outcomes[best][0][1] == 1.0
    assert defects.material_level(standard)[1]
