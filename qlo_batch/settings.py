"""The inspection settings of a batch run, read from a small TOML file:

    max_shift = 3                     # pixels of misregistration tolerated
    threshold = 50                    # grey levels a defect must differ by
    judge = "contour_is_too_long"     # or "contour_is_too_big"
    judge_parameter = 4               # blob length (or area) that makes it NG
    slope = true                      # try diagonal displacements too
    step = 1                          # stride of the tried displacements
    compare_region = [0, 0, 2448, 2048]   # optional corner box (x1, y1, x2, y2)
    regions_workbook = "regions.xlsx"     # optional, relative to this file
    regions_sheet = "Sheet1"              # optional, the first sheet by default

    # Defects (qlo_batch.defects, docs/defects.md): how NG regions become one defect each.
    gap = 6                           # NG regions at most this many pixels apart are one defect
    extent = 8                        # how far (pixels) beyond its NG regions a defect's difference may reach
    margin = 3                        # pixels added on each side of a defect's box (labellers draw them larger)
    min_score = 0.0                   # defects scoring less (contrast-weighted pixels) are not reported
    material = "auto"                 # the pattern's grey level: "dark", "light" or "auto" (decided per standard)
    align = 0                         # 0: compare the target as it is; N > 0: first move it onto the
                                      # standard by its whole-image displacement (looked for within
                                      # N pixels, and at least max_shift + 2), then compare
    align_grid = 0                    # 0 or 1: one displacement for the whole image; N >= 2: each of
                                      # N x N tiles also gets its own, within 2 pixels of it (aligns)
    min_pixels = 0                    # NG blobs of fewer mismatching pixels are dropped
    min_radius = 0                    # NG blobs thinner than this are dropped: their widest point
                                      # lies nearer than this (pixels) to their outline
    border = 0                        # NG regions reaching within this many pixels of the edge of
                                      # the compared area are dropped

Every key is optional; unknown keys are refused so that a misspelt one does not
silently fall back to its default.
"""
import dataclasses
import os
import tomllib
from typing import Optional, Union

import qlo_cv

JUDGES = ("contour_is_too_long", "contour_is_too_big")
MATERIALS = ("auto", "dark", "light")
# Bounds of the numeric settings: beyond them a value is a typo, not a choice.
RANGES = (("max_shift", 0, 64), ("threshold", -255, 255), ("gap", 0, 1000), ("extent", 0, 1000),
          ("margin", 0, 1000), ("align", 0, 64), ("min_score", 0.0, 1e12), ("align_grid", 0, 64),
          ("min_pixels", 0, 10**9), ("min_radius", 0.0, 64.0), ("border", 0, 1000))


@dataclasses.dataclass(frozen=True)
class Settings:
    max_shift: int = 3
    threshold: int = 50
    judge: str = "contour_is_too_long"
    judge_parameter: Union[int, float, list] = 4
    slope: bool = True
    step: int = 1
    compare_region: Optional[list] = None
    regions_workbook: Optional[str] = None
    regions_sheet: Optional[str] = None
    gap: int = 6
    extent: int = 8
    margin: int = 3
    min_score: float = 0.0
    material: str = "auto"
    align: int = 0
    align_grid: int = 0
    min_pixels: int = 0
    min_radius: float = 0
    border: int = 0

    def __post_init__(self):
        for name in ("max_shift", "threshold", "step", "gap", "extent", "margin", "align", "align_grid",
                     "min_pixels", "border"):
            _expect(name, getattr(self, name), int)
        for name in ("min_score", "min_radius"):
            _expect(name, getattr(self, name), (int, float))
        for name, low, high in RANGES:
            value = getattr(self, name)
            if not low <= value <= high:
                raise ValueError("setting %r must lie in %s..%s, not %r" % (name, low, high, value))
        if self.material not in MATERIALS:
            raise ValueError("material must be one of %s, not %r" % (", ".join(MATERIALS), self.material))
        _expect("slope", self.slope, bool)
        _expect("judge_parameter", self.judge_parameter, (int, float, list))
        if self.judge not in JUDGES:
            raise ValueError("judge must be one of %s, not %r" % (", ".join(JUDGES), self.judge))
        if self.step < 1:
            raise ValueError("step must be at least 1, not %d" % self.step)
        if isinstance(self.judge_parameter, (int, float)) and not 0 <= self.judge_parameter <= 1e12:
            raise ValueError("setting 'judge_parameter' must lie in 0..1e12, not %r" % (self.judge_parameter,))
        if self.compare_region is not None:
            _expect("compare_region", self.compare_region, list)
            if len(self.compare_region) != 4 or not all(_is_int(v) for v in self.compare_region):
                raise ValueError("compare_region must be four integers x1, y1, x2, y2")
        for name in ("regions_workbook", "regions_sheet"):
            if getattr(self, name) is not None:
                _expect(name, getattr(self, name), str)

    def comparator(self, standard):
        """A ShiftComparator for the standard image with these settings."""
        judge = getattr(qlo_cv, self.judge)
        return qlo_cv.ShiftComparator(standard, self.max_shift, self.threshold, self.judge_parameter, judge,
                                      self.slope, self.step, self.compare_region)

    def region(self):
        """The inspection regions of the workbook, or None when no workbook is set."""
        if self.regions_workbook is None:
            return None
        region_class = getattr(qlo_cv, "Region", None)
        if region_class is None:
            raise RuntimeError("this build of qlo_cv has no Region: inspection regions are not available")
        return region_class.load_from_xslx(self.regions_workbook, self.regions_sheet)


def _is_int(value):
    return isinstance(value, int) and not isinstance(value, bool)


def _expect(name, value, types):
    wanted = types if isinstance(types, tuple) else (types,)
    if isinstance(value, bool) and bool not in wanted or not isinstance(value, wanted):
        raise TypeError("setting %r must be %s, not %s"
                        % (name, " or ".join(t.__name__ for t in wanted), type(value).__name__))


def load_settings(path=None):
    """The settings of the TOML file at `path` (the defaults when None)."""
    if path is None:
        return Settings()
    with open(path, "rb") as f:
        values = tomllib.load(f)
    known = {field.name for field in dataclasses.fields(Settings)}
    unknown = sorted(set(values) - known)
    if unknown:
        raise ValueError("%s: unknown setting%s %s" % (path, "s" if len(unknown) > 1 else "", ", ".join(unknown)))
    workbook = values.get("regions_workbook")
    if isinstance(workbook, str):
        values["regions_workbook"] = os.path.join(os.path.dirname(os.path.abspath(path)), workbook)
    return Settings(**values)


def save_settings(settings, path):
    """Writes `settings` as a TOML file that load_settings reads back equal
    (keys left at None are left out)."""
    lines = []
    for field in dataclasses.fields(Settings):
        value = getattr(settings, field.name)
        if value is not None:
            lines.append("%s = %s" % (field.name, _toml_value(value)))
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


def _toml_value(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return '"%s"' % value.replace("\\", "\\\\").replace('"', '\\"')
    if isinstance(value, (list, tuple)):
        return "[%s]" % ", ".join(_toml_value(v) for v in value)
    return repr(value)
