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
from qlo_batch.defects import compare, find_defects, material_level, moved_region
from qlo_batch.image_files import in_words, read_grey
from qlo_batch.pairs import Pair
from qlo_batch.pictures import DEFECT_COLOUR, defect_crops
from qlo_batch.registration import Reference, brightness_problem, register

# The file types OpenCV's image reader handles.
IMAGE_SUFFIXES = frozenset(
    ".bmp .dib .jpeg .jpg .jpe .jp2 .png .webp .pbm .pgm .ppm .pxm .pnm .sr .ras .tiff .tif .exr .hdr .pic".split())

THUMB_WIDTH = 320
RED = (0, 0, 255)

# The marked image is stored without deflate: zlib took nine tenths of the time
# of writing it (0.17 s for a 2448 x 2048 print at OpenCV's default, 0.02 s
# stored) for a file about twice as large; it stays lossless.
MARKED_PNG_PARAMS = (cv2.IMWRITE_PNG_COMPRESSION, 0, cv2.IMWRITE_PNG_FILTER, cv2.IMWRITE_PNG_FILTER_NONE)
THUMB_JPEG_PARAMS = (cv2.IMWRITE_JPEG_QUALITY, 85)


def list_images(folder):
    """The image files directly inside `folder`, by name."""
    names = sorted(name for name in os.listdir(folder)
                   if not name.startswith(".") and os.path.splitext(name)[1].lower() in IMAGE_SUFFIXES)
    return [os.path.join(folder, name) for name in names if os.path.isfile(os.path.join(folder, name))]


@dataclasses.dataclass
class Outcome:
    """The verdict on one print. `verdict` is "OK", "NG" or "ERROR" (then
    `error` says why); an NG outcome carries its marked image and thumbnail as
    encoded PNG and JPEG bytes until the report writes them, the zoomed crops
    of its largest defects as (box, JPEG bytes) pairs with the standard's
    crops of the same places (JPEG bytes, in the same order), and its defects as
    (box, kind, score, NG region count) tuples."""
    file: str
    verdict: str
    boxes: List[list] = dataclasses.field(default_factory=list)
    descriptions: List[str] = dataclasses.field(default_factory=list)
    seconds: float = 0.0
    error: str = ""
    marked_png: Optional[bytes] = None
    thumbnail_jpg: Optional[bytes] = None
    defects: List[tuple] = dataclasses.field(default_factory=list)
    crops: List[tuple] = dataclasses.field(default_factory=list)
    standard_crops: List[bytes] = dataclasses.field(default_factory=list)
    width: int = 0
    height: int = 0
    target: str = ""
    standard: str = ""
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


def thumbnail(marked, boxes, defect_boxes=(), width=THUMB_WIDTH):
    """The marked image shrunk to `width` columns, its NG boxes drawn again at
    that scale in red so that small defects stay visible, and the defects'
    boxes in another colour."""
    scale = min(1.0, width / marked.shape[1])
    size = (max(1, round(marked.shape[1] * scale)), max(1, round(marked.shape[0] * scale)))
    small = cv2.resize(marked, size, interpolation=cv2.INTER_AREA)
    for colour, pad, rects in ((RED, 2, boxes), (DEFECT_COLOUR, 4, defect_boxes)):
        for x1, y1, x2, y2 in rects:
            cv2.rectangle(small, (int(x1 * scale) - pad, int(y1 * scale) - pad),
                          (int(x2 * scale) + pad, int(y2 * scale) + pad), colour, 1 if pad > 2 else 2)
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

    def __init__(self, settings):
        self.settings = settings
        self.compared = settings.compared()      # what the comparison runs with
        self.region = settings.region()
        self._standard = None        # the PreparedStandard used last

    @classmethod
    def from_settings(cls, standard, settings, path=""):
        """An inspector already holding the grey `standard` image (read from `path`)."""
        inspector = cls(settings)
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
                return self._finish(outcome, result, [], start, crops=False)
            compared = registration.onto(standard, image)
        if self.region is not None:
            self.region.apply(compared)
        result = compare(comparator, standard, compared, self.compared)
        found = []
        if result.ng:
            try:
                defects = find_defects(standard, compared, self.compared, result.ng_regions, comparator,
                                       prepared.pattern(self.settings.material))
                found = [([int(v) for v in d.box], d.kind, float(d.score), d.ng_count) for d in defects]
            except Exception as error:      # the verdict and its regions stand without the defects
                outcome.error = "defects not found: %s" % in_words(error)
        if registration is not None:        # the results in the print's own pixels
            result = in_target(result, registration, image)
            boxes = registration.to_target([box for box, *_ in found], image.shape)
            found = [(box, *rest) for box, (_, *rest) in zip(boxes, found)]
        # the standard's crops beside the print's where both share one grid
        return self._finish(outcome, result, found, start, standard if registration is None else None)

    @staticmethod
    def _finish(outcome, result, found, start, standard=None, crops=True):
        """The outcome with the verdict and NG regions of `result` (a
        CompareResult in the print's pixels) and the defects `found`, and,
        when NG, its marked image, thumbnail and (unless not `crops`: a
        verdict on the whole print) the crops of its largest defects, with
        the same places of `standard` beside them when given."""
        outcome.verdict = "NG" if result.ng else "OK"
        outcome.boxes = [list(region.rect) for region in result.ng_regions]
        outcome.descriptions = result.descriptions
        outcome.defects = found
        if result.ng:
            marked = result.marked_image()
            outcome.marked_png = encode(".png", marked, MARKED_PNG_PARAMS)
            defect_boxes = [d[0] for d in outcome.defects]
            outcome.thumbnail_jpg = encode(".jpg", thumbnail(marked, outcome.boxes, defect_boxes), THUMB_JPEG_PARAMS)
            pictures = defect_crops(marked, outcome.boxes, defect_boxes, standard) if crops else []
            outcome.crops = [(box, encode(".jpg", crop, THUMB_JPEG_PARAMS)) for box, crop, _ in pictures]
            outcome.standard_crops = [encode(".jpg", crop, THUMB_JPEG_PARAMS) for _, _, crop in pictures
                                      if crop is not None]
        outcome.seconds = time.perf_counter() - start
        return outcome


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
