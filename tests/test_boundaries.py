"""Values exactly at the edges the documentation gives: a difference equal to
the threshold, and the largest and smallest value of every numeric setting."""
import numpy as np
import pytest

from qlo_batch.defects import find_defects
from qlo_batch.settings import Settings, SettingsError


@pytest.mark.parametrize("threshold", [50, -50])
def test_a_difference_equal_to_the_threshold_does_not_grow_a_defect(threshold):
    # A dark blob 100 levels below a grey print, beside a strip exactly 50 below:
    # only differences above the threshold count, so the strip is no part of it.
    standard = np.full((80, 100), 128, np.uint8)
    target = standard.copy()
    target[30:40, 40:50] = 28
    target[30:40, 50:57] = 78
    settings = Settings(threshold=threshold, max_shift=1, margin=0, judge_parameter=2)
    assert [d.box for d in find_defects(standard, target, settings)] == [[40, 30, 50, 40]]


# (key, smallest accepted, largest accepted): one step beyond either is refused.
BOUNDS = [("max_shift", 0, 64), ("threshold", -254, 254), ("step", 1, 64), ("gap", 0, 1000),
          ("extent", 0, 1000), ("margin", 0, 1000), ("align", 0, 64), ("align_grid", 0, 64),
          ("min_pixels", 0, 10**9), ("min_radius", 0, 64), ("border", 0, 1000)]


@pytest.mark.parametrize("key, low, high", BOUNDS)
def test_the_documented_range_of_each_setting_is_accepted_and_no_more(key, low, high):
    for value in (low, high):
        assert getattr(Settings(**{key: value}), key) == value
    for value in (low - 1, high + 1):
        with pytest.raises(SettingsError, match=key):
            Settings(**{key: value})
