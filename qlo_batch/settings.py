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
    material = "auto"                 # the pattern's grey level: "dark", "light" or "auto" (decided over
                                      # the standards of a run, per standard where they disagree)
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
    min_box = 0                       # a defect's box smaller than this (pixels) on a side is grown
                                      # to it about its centre (labellers draw boxes of a least size)
    chain = 24                        # fragments lined up along one line, at most this many pixels
                                      # apart, are one elongated fault (a scratch across a barcode)
    vocabulary = "board"              # kind words: "board" (bridge, break, hole, ...) or "print"
                                      # (smudge, speck, void, scratch, missing)

    # Registration (qlo_batch.registration): each print resampled onto its standard's grid first.
    register = "none"                 # the transform looked for: "none", "shift", "rigid" (turn and
                                      # shift), "similarity" (and scale), "affine" or "homography"
    registered_max_shift = 1          # max_shift of the comparison of a registered print
    recheck = 0                       # N > 0: NG regions that moving the standard by up to N px over
                                      # their own box explains are dropped (local misregistration)
    max_angle = 5.0                   # a print turned further (degrees) is NG: not registered
    max_scale = 0.05                  # ... or scaled further from 1 (a share)
    max_move = 100.0                  # ... or moved further (pixels, at the standard's centre)
    min_correlation = 0.8             # ... or matching its standard less well once registered
    brightness = [0.65, 1.35]         # a registered print's grey over its standard's: within,
                                      # corrected before comparing; beyond, NG

Every key is optional; unknown keys are refused so that a misspelt one does not
silently fall back to its default. Every value is checked when a Settings is
made (RULES: a type and a check per key), and again against the standards'
sizes before a run (check_images): a value that could never find a defect is
refused, one that leaves inspection nearly blind gives a warning.
"""
import dataclasses
import math
import os
import tomllib
import zipfile
from typing import Optional, Union

import qlo_cv
from qlo_batch.displacements import displacement_steps
from qlo_batch.errors import BatchError
from qlo_batch.inputs import SETTINGS_LIMIT, open_input, open_text

JUDGES = ("contour_is_too_long", "contour_is_too_big")
REGISTER_MODES = ("none", "shift", "rigid", "similarity", "affine", "homography")
MATERIALS = ("auto", "dark", "light")
VOCABULARIES = ("board", "print")
# The comparator's time does not grow with max_shift up to a few hundred pixels
# (20 ms on a 5-megapixel print at 3, 64 or 256), then does: 0.5 s at 1024, and
# hours beyond 2**20. A misregistration tolerance is a few pixels; 64 leaves
# room for coarse prints and stays on the fast side. A step beyond max_shift
# tries the same displacements as a step of max_shift.
MAX_SHIFT = 64
MAX_STEP = 64
# Images are 8-bit grey: differences lie in -255..255, and a threshold of 255
# (or -255) could never be passed.
MAX_THRESHOLD = 254
# A threshold above this leaves fewer than 32 grey levels of contrast that count.
BLIND_THRESHOLD = 223


class SettingsError(BatchError, ValueError):
    """A setting that cannot be used, or a settings or workbook file that
    cannot be read; its text is one line naming the key or the file."""


class SettingsTypeError(SettingsError, TypeError):
    """A setting of the wrong type."""


def _between(low, high):
    def check(value):
        if not low <= value <= high:        # false for NaN too
            return "must lie in %g..%g, not %r" % (low, high, value)
    return check


def _one_of(choices):
    def check(value):
        if value not in choices:
            return "must be one of %s, not %r" % (", ".join(choices), value)
    return check


def _judge_parameter(value):
    if isinstance(value, list):
        if not value:
            return "must not be an empty list (the judge reads its first item)"
        if not _is_number(value[0]):
            return "must be a number or a list starting with one, not a list starting with %s" % (
                type(value[0]).__name__)
        value = value[0]
    return _between(0, 1e12)(value)


def _corner_box(value):
    if len(value) != 4 or not all(_is_int(v) for v in value):
        return "must be four integers x1, y1, x2, y2"
    x1, y1, x2, y2 = value
    if min(value) < 0:
        return "%r must not be negative" % (value,)
    if x1 >= x2 or y1 >= y2:
        return "%r holds no pixel: x1 < x2 and y1 < y2 are needed" % (value,)


def _ratio_range(value):
    if len(value) != 2 or not all(_is_number(v) for v in value):
        return "must be two numbers [low, high]"
    low, high = value
    if not 0 < low <= 1 <= high < math.inf:
        return "%r must hold 1 between two positive finite ratios, low first" % (value,)


OPTIONAL = type(None)
# Every key: the types its value may have and the check of a value of those
# types (None: any will do). Settings.__post_init__ applies it key by key.
RULES = {
    "max_shift": ((int,), _between(0, MAX_SHIFT)),
    "threshold": ((int,), _between(-MAX_THRESHOLD, MAX_THRESHOLD)),
    "judge": ((str,), _one_of(JUDGES)),
    "judge_parameter": ((int, float, list), _judge_parameter),
    "slope": ((bool,), None),
    "step": ((int,), _between(1, MAX_STEP)),
    "compare_region": ((list, OPTIONAL), _corner_box),
    "regions_workbook": ((str, OPTIONAL), None),
    "regions_sheet": ((str, OPTIONAL), None),
    "gap": ((int,), _between(0, 1000)),
    "extent": ((int,), _between(0, 1000)),
    "margin": ((int,), _between(0, 1000)),
    "min_score": ((int, float), _between(0.0, 1e12)),
    "material": ((str,), _one_of(MATERIALS)),
    "align": ((int,), _between(0, 64)),
    "align_grid": ((int,), _between(0, 64)),
    "min_pixels": ((int,), _between(0, 10**9)),
    "min_radius": ((int, float), _between(0.0, 64.0)),
    "border": ((int,), _between(0, 1000)),
    "min_box": ((int,), _between(0, 1000)),
    "chain": ((int,), _between(0, 1000)),
    "vocabulary": ((str,), _one_of(VOCABULARIES)),
    "register": ((str,), _one_of(REGISTER_MODES)),
    "registered_max_shift": ((int,), _between(0, MAX_SHIFT)),
    "recheck": ((int,), _between(0, 16)),
    "max_angle": ((int, float), _between(0.0, 180.0)),
    "max_scale": ((int, float), _between(0.0, 1.0)),
    "max_move": ((int, float), _between(0.0, 1e6)),
    "min_correlation": ((int, float), _between(-1.0, 1.0)),
    "brightness": ((list,), _ratio_range),
}


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
    min_box: int = 0
    chain: int = 24
    vocabulary: str = "board"
    register: str = "none"
    registered_max_shift: int = 1
    recheck: int = 0
    max_angle: float = 5.0
    max_scale: float = 0.05
    max_move: float = 100.0
    min_correlation: float = 0.8
    brightness: list = dataclasses.field(default_factory=lambda: [0.65, 1.35])

    def __post_init__(self):
        for name, (types, check) in RULES.items():
            value = getattr(self, name)
            _expect(name, value, types)
            problem = check(value) if check is not None and value is not None else None
            if problem:
                raise SettingsError("setting %r %s" % (name, problem))
        if self.judge == "contour_is_too_big" and isinstance(self.judge_parameter, list):
            raise SettingsError("setting 'judge_parameter' must be a number (an area) for contour_is_too_big, "
                                "not a list")

    def compared(self):
        """The settings the comparison runs with: these, with the
        misregistration tolerance of a registered print when prints are
        registered (what is left after registration is a fraction of a pixel)."""
        return dataclasses.replace(self, max_shift=self.registered_max_shift) if self.register != "none" else self

    def comparator(self, standard):
        """A ShiftComparator for the standard image with these settings."""
        judge = getattr(qlo_cv, self.judge)
        return qlo_cv.ShiftComparator(standard, self.max_shift, self.threshold, self.judge_parameter, judge,
                                      self.slope, self.step, self.compare_region)

    def region(self):
        """The inspection regions of the workbook, or None when no workbook is
        set; SettingsError naming the workbook when it cannot be read."""
        if self.regions_workbook is None:
            return None
        region_class = getattr(qlo_cv, "Region", None)
        if region_class is None:
            raise RuntimeError("this build of qlo_cv has no Region: inspection regions are not available")
        try:
            open_input(self.regions_workbook).close()       # its reader would wait on a FIFO for good
        except ValueError as error:
            raise SettingsError("regions_workbook %s: %s" % (self.regions_workbook, error)) from None
        except OSError:
            pass                                            # said below, as the reader words it
        try:
            return region_class.load_from_xslx(self.regions_workbook, self.regions_sheet)
        except Exception as error:      # whatever openpyxl or the rows raise, said in one line
            raise SettingsError("regions_workbook %s: %s" % (self.regions_workbook, _workbook_problem(error))) \
                from None

    def judged_reach(self):
        """The judge's parameter as a number (the first item of a list)."""
        value = self.judge_parameter
        return value[0] if isinstance(value, list) else value


def _workbook_problem(error):
    if isinstance(error, FileNotFoundError):
        return "no such file"
    if isinstance(error, IsADirectoryError):
        return "a folder, not a workbook"
    if isinstance(error, zipfile.BadZipFile) or type(error).__name__ == "InvalidFileException":
        return "not an xlsx workbook"
    if isinstance(error, KeyError):
        return "no such sheet (%s)" % (error.args[0] if error.args else error)
    text = " ".join(str(error).split())
    return "%s: %s" % (type(error).__name__, text) if text else type(error).__name__


def _is_int(value):
    return isinstance(value, int) and not isinstance(value, bool)


def _is_number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _expect(name, value, types):
    wanted = types if isinstance(types, tuple) else (types,)
    if isinstance(value, bool) and bool not in wanted or not isinstance(value, wanted):
        names = [t.__name__ if t is not OPTIONAL else "absent" for t in wanted]
        raise SettingsTypeError("setting %r must be %s, not %s" % (name, " or ".join(names), type(value).__name__))


def check_images(settings, standards):
    """The warnings for `settings` on standards of the given sizes, a list of
    (name, width, height). A value that could never find a defect on one of
    them raises SettingsError naming the key and the standard; one that leaves
    inspection nearly blind (or tolerates less than it says) gives a warning,
    said once with the number of standards it concerns."""
    warnings = {}
    for name, width, height in standards:
        for kind, text in _problems(settings, name, width, height):
            if kind == "error":
                raise SettingsError(text)
            first, count = warnings.get(kind, (text, 0))
            warnings[kind] = (first, count + 1)
    if abs(settings.threshold) > BLIND_THRESHOLD:
        warnings["threshold"] = ("setting 'threshold' %d: only grey-level differences beyond %d of 255 count, "
                                 "most defects go unseen" % (settings.threshold, abs(settings.threshold)), 1)
    axis, _diagonal = displacement_steps(settings.max_shift, settings.slope, settings.step)
    if axis:
        reach = axis[-1]
        if reach < settings.max_shift:
            warnings["step"] = ("setting 'step' %d with max_shift %d tries displacements of at most %d pixel%s: "
                                "a misregistration of %d pixels is not tolerated"
                                % (settings.step, settings.max_shift, reach, "" if reach == 1 else "s",
                                   settings.max_shift), 1)
    return [text if count == 1 else "%s (and %d more standards)" % (text, count - 1)
            for text, count in warnings.values()]


def _problems(settings, name, width, height):
    """(kind, text) for each problem of the settings on one standard."""
    x1, y1, x2, y2 = settings.compare_region or (0, 0, width, height)
    if x2 > width or y2 > height:
        yield "error", ("setting 'compare_region' %r reaches beyond the standard %s (%d x %d)"
                        % (settings.compare_region, name, width, height))
        return
    w, h = x2 - x1, y2 - y1
    reach = settings.judged_reach()
    area = "the compared area of %s is %d x %d" % (name, w, h)
    if settings.judge == "contour_is_too_long":
        most, what = max(w, h), "pixels long"
    else:
        most, what = (w - 1) * (h - 1), "square pixels large"      # a contour runs through pixel centres
    if reach > most:
        yield "error", ("setting 'judge_parameter' %r can never be reached: %s needs a blob %g %s, and %s"
                        % (settings.judge_parameter, settings.judge, reach, what, area))
    elif reach > most / (2 if settings.judge == "contour_is_too_long" else 4):
        yield "judge_parameter", ("setting 'judge_parameter' %r: only blobs at least %g %s are reported, "
                                  "and %s: inspection is nearly blind" % (settings.judge_parameter, reach, what,
                                                                          area))
    # The NG-region filters drop every region when no blob of the compared area
    # could pass them: one at least `min_pixels` pixels large, a disc of
    # radius `min_radius` (2 * ceil(r) - 1 pixels across), or more than
    # `border` pixels clear of each edge.
    side = min(w, h)
    for key, value, widest, limit, what in (
            ("min_pixels", settings.min_pixels, settings.min_pixels, w * h, "pixels in a blob"),
            ("min_radius", settings.min_radius, 2 * math.ceil(settings.min_radius) - 1 if settings.min_radius > 1
             else 1, side, "pixels across a blob"),
            ("border", settings.border, 2 * settings.border + 1, side, "pixels across the compared area")):
        if widest > limit:
            yield "error", ("setting %r %r leaves no NG region: it needs at least %d %s, and %s"
                            % (key, value, widest, what, area))
        elif value and widest > limit / 2:
            yield key, ("setting %r %r: only NG regions with at least %d %s are kept, and %s: inspection is "
                        "nearly blind" % (key, value, widest, what, area))


def load_settings(path: Union[str, "os.PathLike[str]", None] = None) -> "Settings":
    """The settings of a TOML settings file.

    Parameters
    ----------
    path : the file (a regular file, UTF-8, a byte-order mark allowed), or
        None for the defaults.

    Returns
    -------
    A Settings whose every value was checked.

    Raises
    ------
    SettingsError
        For a file that cannot be read or is not TOML, an unknown key, or a
        value of the wrong type or out of range (one line naming the key).

    Example
    -------
    >>> load_settings("settings.toml").max_shift
    3
    """
    if path is None:
        return Settings()
    try:
        with open_text(path, "settings file", SETTINGS_LIMIT) as f:
            values = tomllib.loads(f.read())
    except OSError as error:
        raise SettingsError("settings file %s: %s" % (path, error.strerror or error)) from None
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as error:
        raise SettingsError("settings file %s: not a TOML file: %s" % (path, error)) from None
    except ValueError as error:             # not a regular file, or far too large for settings
        raise SettingsError(str(error)) from None
    known = {field.name for field in dataclasses.fields(Settings)}
    unknown = sorted(set(values) - known)
    if unknown:
        raise SettingsError("%s: unknown setting%s %s" % (path, "s" if len(unknown) > 1 else "",
                                                          ", ".join(unknown)))
    workbook = values.get("regions_workbook")
    if isinstance(workbook, str):
        values["regions_workbook"] = os.path.join(os.path.dirname(os.path.abspath(path)), workbook)
    try:
        return Settings(**values)
    except SettingsError as error:
        raise type(error)("%s: %s" % (path, error)) from None


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
