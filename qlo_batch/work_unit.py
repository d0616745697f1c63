"""Inspecting one print: the unit of work that runs on a Dask worker or in a
plain loop. An `Inspector` holds everything the work needs (the settings, the
inspection regions and the comparator of the standard it used last) and
pickles with them, so Dask can ship it to every worker once."""
import dataclasses
import os
import time
from typing import List, Optional

import cv2
import numpy as np

import qlo_cv
from qlo_batch.defects import aligns, compare, displacement_field, find_defects, material_level, moved_region
from qlo_batch.image_files import in_words, read_grey
from qlo_batch.pairs import Pair
from qlo_batch.pictures import DEFECT_COLOUR, NG_COLOUR, crop_sheet
from qlo_batch.registration import Reference, brightness_problem, register

# The file types OpenCV's image reader handles.
IMAGE_SUFFIXES = frozenset(
    ".bmp .dib .jpeg .jpg .jpe .jp2 .png .webp .pbm .pgm .ppm .pxm .pnm .sr .ras .tiff .tif .exr .hdr .pic".split())

THUMB_WIDTH = 320
THUMB_OUTLINE = 2       # pixels: outlines a person sees on the page without zooming

# The full-size marked image, written only when a run asks for it, in the
# format asked: PNG at deflate level 1 (lossless; a 5-megapixel print takes
# about 0.2 s and 4.7 MB, against 0.1 s and 15 MB stored and 1 s and the same
# size at the default level) or JPEG at quality 90 (12 ms, 1 MB).
# bench/pictures.py measures the choices.
MARKED_FORMATS = {"png": (".png", (cv2.IMWRITE_PNG_COMPRESSION, 1)),
                  "jpg": (".jpg", (cv2.IMWRITE_JPEG_QUALITY, 90))}
THUMB_JPEG_PARAMS = (cv2.IMWRITE_JPEG_QUALITY, 85)


def is_image_name(name):
    """Whether a folder entry of this name is a print: an image suffix and not
    hidden (names starting with "." are skipped, as are the temporary names
    writers use before renaming a finished file, such as `x.png.part`)."""
    return not name.startswith(".") and os.path.splitext(name)[1].lower() in IMAGE_SUFFIXES


def list_images(folder):
    """The image files directly inside `folder`, by name."""
    names = sorted(name for name in os.listdir(folder) if is_image_name(name))
    return [os.path.join(folder, name) for name in names if os.path.isfile(os.path.join(folder, name))]


@dataclasses.dataclass
class Outcome:
    """The verdict on one print. `verdict` is "OK", "NG" or "ERROR" (then
    `error` says why); an NG outcome carries its defects as (box, kind,
    score, NG region count) tuples and its pictures as encoded bytes until
    they are written: the preview (JPEG), the sheet of zoomed crops of its
    largest defects (JPEG, a row for each box of `crops`, the standard's
    crop left of the print's; see pictures.crop_sheet), and the full-size
    marked image when the run asks for one (`marked`, with its suffix
    `marked_suffix`).
    Once the pictures are written (on the worker that made them), `pictures`
    holds the report row's picture fields and the bytes are dropped."""
    file: str
    verdict: str
    boxes: List[list] = dataclasses.field(default_factory=list)
    descriptions: List[str] = dataclasses.field(default_factory=list)
    seconds: float = 0.0
    error: str = ""
    marked: Optional[bytes] = None
    marked_suffix: str = ""
    thumbnail_jpg: Optional[bytes] = None
    defects: List[tuple] = dataclasses.field(default_factory=list)
    crops: List[list] = dataclasses.field(default_factory=list)
    crops_jpg: Optional[bytes] = None
    width: int = 0
    height: int = 0
    target: str = ""
    standard: str = ""
    pictures: Optional[dict] = None
    registration: Optional[dict] = None     # the figures of registration.Registration, when registering

    @property
    def ng_count(self):
        return len(self.boxes)

    @classmethod
    def failed(cls, task, error, seconds=0.0):
        """The ERROR outcome of a task; `error` is the reason in words or the
        exception that stopped it (said in words by image_files.in_words)."""
        text = error if isinstance(error, str) else in_words(error)
        return cls(task.file, "ERROR", seconds=seconds, error=text, target=task.target, standard=task.standard)


def folder_task(standard, path):
    """The task of one file of a folder run: reports name it by its base name."""
    return Pair(standard, path, os.path.basename(path))


def thumbnail(image, boxes, defect_boxes=(), width=THUMB_WIDTH):
    """The print (grey or BGR) shrunk to `width` columns, in colour, with its
    NG boxes outlined in red and its defects' boxes, a little outside them,
    in another colour, THUMB_OUTLINE pixels thick at that scale, so that
    small defects stay visible."""
    scale = min(1.0, width / image.shape[1])
    size = (max(1, round(image.shape[1] * scale)), max(1, round(image.shape[0] * scale)))
    small = cv2.resize(image, size, interpolation=cv2.INTER_AREA)
    if small.ndim == 2:
        small = cv2.cvtColor(small, cv2.COLOR_GRAY2BGR)
    for colour, pad, rects in ((NG_COLOUR, 1, boxes), (DEFECT_COLOUR, 1 + 2 * THUMB_OUTLINE, defect_boxes)):
        for x1, y1, x2, y2 in rects:
            cv2.rectangle(small, (int(x1 * scale) - pad, int(y1 * scale) - pad),
                          (int(x2 * scale) + pad, int(y2 * scale) + pad), colour, THUMB_OUTLINE)
    return small


def encode(ext, image, params=()):
    ok, data = cv2.imencode(ext, image, list(params))
    if not ok:
        raise ValueError("could not encode the %s image" % ext)
    return data.tobytes()


@dataclasses.dataclass
class PreparedStandard:
    """A standard as an inspector keeps it: its path, the grey image masked by
    the inspection regions, its comparator, and its pattern level once a
    defect needed it (it costs milliseconds at 5 MP and depends on the
    standard alone), and, when prints are registered, the registration.Reference
    of the unmasked standard."""
    path: str
    image: np.ndarray
    comparator: object
    level: Optional[tuple] = None
    reference: Optional[Reference] = None

    def pattern(self, material):
        if self.level is None:
            self.level = material_level(self.image, material)
        return self.level


class Inspector:
    """Compares prints with their standards after masking both with the
    inspection regions (when there are any). It keeps the last standard it
    decoded with its comparator, so consecutive prints of one standard (every
    print of a folder run; the tiles of one board in a pairs run) decode and
    prepare it once."""

    def __init__(self, settings, marked=None):
        if marked not in (None, *MARKED_FORMATS):
            raise ValueError("marked images are written as %s, not %r" % (" or ".join(MARKED_FORMATS), marked))
        self.settings = settings
        self.marked = marked         # None, or the format of the full-size marked images asked for
        self.compared = settings.compared()      # what the comparison runs with
        self.region = settings.region()
        self._standard = None        # the PreparedStandard used last

    @classmethod
    def from_settings(cls, standard, settings, path="", marked=None):
        """An inspector already holding the grey `standard` image (read from `path`)."""
        inspector = cls(settings, marked)
        inspector._standard = inspector._prepare(path, standard)
        return inspector

    def _prepare(self, path, standard):
        reference = Reference.of(standard) if self.settings.register != "none" else None
        if self.region is not None:
            standard = standard.copy()
            self.region.apply(standard)
        return PreparedStandard(path, standard, self.compared.comparator(standard), reference=reference)

    def standard(self, path):
        """The PreparedStandard of the standard file at `path`."""
        cached = self._standard        # read once: threads of one worker may share this inspector
        if cached is None or cached.path != path:
            try:
                image = read_grey(path)
            except (OSError, ValueError) as error:
                raise ValueError("standard %s: %s" % (path, in_words(error))) from None
            cached = self._standard = self._prepare(path, image)
        return cached

    def __call__(self, task):
        """The outcome for one Pair (or one file path, inspected against the
        standard held); any failure becomes an ERROR outcome."""
        start = time.perf_counter()
        if isinstance(task, (str, os.PathLike)):
            task = folder_task(self._standard.path if self._standard else "", os.fspath(task))
        try:
            return self.inspect(task, start)
        except Exception as error:   # one bad file must not stop the batch
            return Outcome.failed(task, error, time.perf_counter() - start)

    def inspect(self, task, start):
        prepared = self.standard(task.standard)
        standard, comparator = prepared.image, prepared.comparator
        image = read_grey(task.target, standard.shape)      # another size is refused before decoding
        outcome = Outcome(task.file, "OK", width=image.shape[1], height=image.shape[0], target=task.target,
                          standard=task.standard)
        registration, compared = None, image
        if prepared.reference is not None:
            registration = register(prepared.reference, image, self.settings)
            outcome.registration = registration.figures()
            refusal = "not registered: " + registration.problem if registration.problem else \
                brightness_problem(registration, self.settings)
            if refusal:
                # one verdict line for the whole print, not the flood of regions comparing would give
                result = qlo_cv.CompareResult(image)
                result.append(qlo_cv.NGRegion([0, 0, image.shape[1], image.shape[0]], refusal))
                return self._finish(outcome, result, [], image, None, start, crops=False)
            compared = registration.onto(standard, image)
        if self.region is not None:
            self.region.apply(compared)
        # The alignment is worked out once: the comparison and the defects use the same one.
        moves = displacement_field(standard, compared, self.compared) if aligns(self.compared) else None
        result = compare(comparator, standard, compared, self.compared, moves)
        found = []
        if result.ng:
            try:
                defects = find_defects(standard, compared, self.compared, result.ng_regions, comparator,
                                       prepared.pattern(self.settings.material), moves)
                found = [([int(v) for v in d.box], d.kind, float(d.score), d.ng_count) for d in defects]
            except Exception as error:      # the verdict and its regions stand without the defects
                outcome.error = "defects not found: %s" % in_words(error)
        if registration is not None:        # the results in the print's own pixels
            result = in_target(result, registration, image)
            boxes = registration.to_target([box for box, *_ in found], image.shape)
            found = [(box, *rest) for box, (_, *rest) in zip(boxes, found)]
        # the standard's crops beside the print's where both share one grid
        return self._finish(outcome, result, found, image, standard if registration is None else None, start)

    def _finish(self, outcome, result, found, image, standard, start, crops=True):
        """The outcome with the verdict and NG regions of `result` (a
        CompareResult in the print's pixels) and the defects `found`, and,
        when NG, its pictures drawn over the print `image` (with the same
        places of `standard` beside the crops when given; no crops unless
        `crops`: a verdict on the whole print)."""
        outcome.verdict = "NG" if result.ng else "OK"
        outcome.boxes = [list(region.rect) for region in result.ng_regions]
        outcome.descriptions = result.descriptions
        outcome.defects = found
        if result.ng:
            self.draw(outcome, result, image, standard, crops)
        outcome.seconds = time.perf_counter() - start
        return outcome

    def draw(self, outcome, result, image, standard, crops=True):
        """The pictures of an NG outcome: the preview and (when `crops`) the
        crops drawn over the print itself, and the marked image when the run
        asks for it."""
        defect_boxes = [d[0] for d in outcome.defects]
        outcome.thumbnail_jpg = encode(".jpg", thumbnail(image, outcome.boxes, defect_boxes), THUMB_JPEG_PARAMS)
        outcome.crops, sheet = crop_sheet(image, outcome.boxes, defect_boxes, standard) if crops else ([], None)
        if sheet is not None:
            outcome.crops_jpg = encode(".jpg", sheet, THUMB_JPEG_PARAMS)
        if self.marked is not None:
            suffix, params = MARKED_FORMATS[self.marked]
            outcome.marked, outcome.marked_suffix = encode(suffix, result.marked_image(), params), suffix


def in_target(result, registration, target):
    """The CompareResult `result` of a registered print (its NG boxes on the
    standard's grid) made again on the print itself, each box (and the box
    its description ends with) mapped into the print's pixels."""
    moved = qlo_cv.CompareResult(target)
    regions = result.ng_regions
    rows, cols = target.shape
    rects = registration.to_target([region.rect if region.rect is not None else (0, 0, cols, rows)
                                    for region in regions], target.shape)
    for region, rect in zip(regions, rects):
        moved.append(moved_region(region, rect))
    return moved
