"""Inspecting one image file: the unit of work that runs on a Dask worker or in
a plain loop. An `Inspector` holds everything the work needs (the configured
comparator and the inspection regions) and pickles with them, so Dask can ship
it to every worker once."""
import dataclasses
import os
import time
from typing import List, Optional

import cv2
import numpy as np

import qlo_cv

# The file types OpenCV's image reader handles.
IMAGE_SUFFIXES = frozenset(
    ".bmp .dib .jpeg .jpg .jpe .jp2 .png .webp .pbm .pgm .ppm .pxm .pnm .sr .ras .tiff .tif .exr .hdr .pic".split())

THUMB_WIDTH = 320
RED = (0, 0, 255)


def list_images(folder):
    """The image files directly inside `folder`, by name."""
    names = sorted(name for name in os.listdir(folder)
                   if not name.startswith(".") and os.path.splitext(name)[1].lower() in IMAGE_SUFFIXES)
    return [os.path.join(folder, name) for name in names if os.path.isfile(os.path.join(folder, name))]


def read_grey(path):
    """The file as an 8-bit grey image; ValueError when it is not a readable image."""
    data = np.fromfile(path, np.uint8)
    image = cv2.imdecode(data, cv2.IMREAD_GRAYSCALE) if data.size else None
    if image is None:
        raise ValueError("not a readable image")
    return image


@dataclasses.dataclass
class Outcome:
    """The verdict on one file. `verdict` is "OK", "NG" or "ERROR" (then `error`
    says why); an NG outcome carries its marked image and thumbnail as encoded
    PNG and JPEG bytes until the report writes them."""
    file: str
    verdict: str
    boxes: List[list] = dataclasses.field(default_factory=list)
    descriptions: List[str] = dataclasses.field(default_factory=list)
    seconds: float = 0.0
    error: str = ""
    marked_png: Optional[bytes] = None
    thumbnail_jpg: Optional[bytes] = None

    @property
    def ng_count(self):
        return len(self.boxes)

    @classmethod
    def failed(cls, path, error, seconds=0.0):
        return cls(os.path.basename(path), "ERROR", seconds=seconds, error=error)


def thumbnail(marked, boxes, width=THUMB_WIDTH):
    """The marked image shrunk to `width` columns, its boxes drawn again at that
    scale so that small defects stay visible."""
    scale = min(1.0, width / marked.shape[1])
    size = (max(1, round(marked.shape[1] * scale)), max(1, round(marked.shape[0] * scale)))
    small = cv2.resize(marked, size, interpolation=cv2.INTER_AREA)
    for x1, y1, x2, y2 in boxes:
        cv2.rectangle(small, (int(x1 * scale) - 2, int(y1 * scale) - 2), (int(x2 * scale) + 2, int(y2 * scale) + 2),
                      RED, 2)
    return small


def encode(ext, image, *params):
    ok, data = cv2.imencode(ext, image, list(params))
    if not ok:
        raise ValueError("could not encode the %s image" % ext)
    return data.tobytes()


class Inspector:
    """Compares image files with the standard the comparator was made from,
    after masking them with the inspection regions (when there are any)."""

    def __init__(self, comparator, region=None):
        self.comparator = comparator
        self.region = region

    @classmethod
    def from_settings(cls, standard, settings):
        """An inspector for the grey `standard` image; the regions mask a copy of it."""
        region = settings.region()
        if region is not None:
            standard = standard.copy()
            region.apply(standard)
        return cls(settings.comparator(standard), region)

    @property
    def shape(self):
        return self.comparator.std_threshold.shape

    def __call__(self, path):
        """The outcome for one file; any failure becomes an ERROR outcome."""
        start = time.perf_counter()
        try:
            result = self.compare(read_grey(path))
            seconds = time.perf_counter() - start
            outcome = Outcome(os.path.basename(path), "NG" if result.ng else "OK",
                              [list(region.rect) for region in result.ng_regions], result.descriptions, seconds)
            if result.ng:
                marked = result.marked_image()
                outcome.marked_png = encode(".png", marked)
                outcome.thumbnail_jpg = encode(".jpg", thumbnail(marked, outcome.boxes), cv2.IMWRITE_JPEG_QUALITY, 85)
            return outcome
        except Exception as error:   # one bad file must not stop the batch
            return Outcome.failed(path, "%s: %s" % (type(error).__name__, error), time.perf_counter() - start)

    def compare(self, image):
        if image.shape != self.shape:
            raise ValueError("image is %d x %d, the standard %d x %d"
                             % (image.shape[1], image.shape[0], self.shape[1], self.shape[0]))
        if self.region is not None:
            self.region.apply(image)
        result = qlo_cv.CompareResult(image)
        self.comparator.compare(image, result)
        return result
