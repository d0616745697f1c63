"""Type stub for the qlo_cv extension module."""
from pathlib import Path as _Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

import cv2 as cv2
import numpy as _np

_cv = cv2

# ---- circle fitting ----
class FittingCircle:
    """A circle fitted to points by least squares: the centre makes the squared distances of the points to it as
    equal as possible; the radius is their mean distance. Give x and y, or points as (x, y) pairs.
    """
    def __init__(self, x: Optional[Sequence[float]] = None, y: Optional[Sequence[float]] = None,
                 points: Optional[Sequence[Tuple[float, float]]] = None) -> None:
        """Fits at once. `points` (pairs of x, y) wins over `x` and `y`; no points give centre (0, 0) and radius 0.

        Raises AssertionError when x and y differ in length, TypeError when neither is given; the solver's error
        for a single point.
        """
    @property
    def center(self) -> Tuple[float, float]:
        """The fitted centre (cx, cy)."""
    @property
    def radius(self) -> float:
        """The mean distance of the points from the fitted centre."""
    @staticmethod
    def _FittingCircle__distance_square(para: Sequence[float], x: _np.ndarray, y: _np.ndarray) -> _np.ndarray:
        """Squared distances from the centre `para` (cx, cy) to each point (x[i], y[i])."""
    @staticmethod
    def _FittingCircle__error(center: Sequence[float], x: _np.ndarray, y: _np.ndarray) -> _np.ndarray:
        """The solver's residuals: the squared distances minus their mean (an array)."""

class CirclePeeler:
    """Fits a circle to the blobs of a binarised grey image, peeling off the disc of each fit before the next so
    that samples inside the circle drop out. Blobs whose contour area is below min_area are discarded as noise.
    """
    def __init__(self, image: _np.ndarray, threshold: int, thresh_type: int = ..., min_area: int = 0) -> None:
        """Binarises `image` once with cv2.threshold(image, threshold, 255, thresh_type) and keeps its outer
        contours of area at least `min_area`.

        `threshold`, `thresh_type` and `min_area` must be exact ints (TypeError otherwise).
        """
    def peel(self, iteration: int) -> Optional[FittingCircle]:
        """The fit after `iteration` rounds of peeling (None for 0 or fewer)."""

# ---- band filters ----
def take_middle(src: _np.ndarray, min_value: Any, max_value: Any) -> _np.ndarray:
    """Zeroes the values below min_value or above max_value; the ends of the band are kept. Changes src itself when
    src.reshape(-1) is a view of it.
    """
def take_min_or_max(src: _np.ndarray, min_value: Any, max_value: Any) -> _np.ndarray:
    """Zeroes the values strictly between min_value and max_value; the ends are kept. Changes src itself when
    src.reshape(-1) is a view of it.
    """
def take_min(src: _np.ndarray, max_value: Any) -> _np.ndarray:
    """Zeroes the values above max_value. Changes src itself when src.reshape(-1) is a view of it."""
def take_max(src: _np.ndarray, min_value: Any) -> _np.ndarray:
    """Zeroes the values below min_value. Changes src itself when src.reshape(-1) is a view of it."""

# ---- vertical profiles ----
def _collect_contour_points_equal_x(contour: _np.ndarray, x: int) -> List[Any]:
    """The points of the contour whose x equals x, in contour order."""
def _get_points_equal_x(points: List[Sequence[int]], x: int, pos_tip: int = 0) -> Tuple[List[Sequence[int]], int]:
    """(run, next): the run of points (sorted by x) whose x equals x, found from the cursor pos_tip, and the index
    just after it; ([], -1) when there is none.
    """
def _calculate_max_vertical_distance(points: Sequence[Sequence[int]]) -> int:
    """Largest y minus smallest y of the (x, y) points; 0 for fewer than two."""
def calculate_contour_vertical_distances(contour: _np.ndarray, head_off: int = 0,
                                         tail_off: int = 0) -> Tuple[Tuple[int, int], List[int]]:
    """((begin, end), heights): the height of the contour on each column x in [begin, end), begin = leftmost x +
    head_off, end = rightmost x - tail_off; ((begin, begin), []) when begin >= end.
    """
# ---- template match point ----
def template_match_point(image: _np.ndarray, template: _np.ndarray, region: Optional[Sequence[int]] = None,
                         point_position: Union[List[int], Tuple[int, ...]] = (0, 0),
                         threshold: float = 0.0) -> Tuple[float, Optional[List[int]]]:
    """(max_val, [x, y]) of the best match of `template` in `image` (inside the corner box `region`, clipped to the
    image); the location is None when max_val < threshold.

    `threshold` is converted to float; ValueError when `region` is not four values; cv2's error when the
    template is larger than the search image.
    """
def get_max_area_contour(image: _np.ndarray, threshold: Any = None, threshold_type: int = ..., pre_erode: int = 0,
                         dilate: int = 0, post_erode: int = 0) -> Optional[_np.ndarray]:
    """The outer contour of largest area of the binarised image, or None when none has an area above 0.

    `threshold` None selects Otsu's level; `threshold_type`, `pre_erode`, `dilate` and `post_erode` (erosion and
    dilation rounds with a 3 x 3 kernel) must be exact ints (TypeError).
    """

# ---- image warps ----
def extract_poly(image: _np.ndarray, poly: Sequence[Sequence[int]], outer_value: Any = 0) -> _np.ndarray:
    """A new image of `image`'s shape and type: pixels inside the polygon `poly` ((x, y) vertices) keep their
    value, pixels outside become `outer_value & pixel` (0 by default).
    """
def rotate_to_make_edge_horizontal(image: _np.ndarray, contour: _np.ndarray, use_long_edge: bool = True) -> None:
    """Computes the rotation that would make the long (or short) edge of the contour's minimum-area rectangle
    horizontal, but applies nothing: always returns None and leaves `image` unchanged.
    """
def compare_image_difference(std_image: _np.ndarray, tgt_image: _np.ndarray, threshold: Any) -> _np.ndarray:
    """Boolean map of `std_image - tgt_image > threshold` for threshold >= 0, else `< threshold`.

    The difference is taken in the arrays' own element type (uint8 wraps: use int16 for signed differences).
    """
def translate(image: _np.ndarray, right: Any, down: Any, border_mode: int = ..., border_value: Any = None) -> _np.ndarray:
    """A new image of the same size with the content moved `right` pixels right and `down` pixels down (negative:
    left, up); the uncovered strip is filled by `border_mode` (and `border_value` for cv2.BORDER_CONSTANT).
    """
def translate_and_rotate(image: _np.ndarray, old_center: Sequence[int], new_center: Sequence[int], angle: float,
                         border_mode: int = ...) -> _np.ndarray:
    """The image moved so that `old_center` lands on `new_center` (border replicated), then rotated about
    `new_center` by `angle` degrees (counterclockwise positive) with `border_mode`; same size as `image`.
    """

# ---- verdicts ----
class NGRegion:
    """One defect found in an image: its box and a one-line description."""
    rect: Optional[Sequence[int]]
    """Corner box [x1, y1, x2, y2] (x2, y2 one past the last pixel), or None for the whole image."""
    desc: str
    """The description; '' when not given."""
    def __init__(self, rect: Optional[Sequence[int]], desc: str = '') -> None:
        """Stores `rect` and `desc` as given; nothing is checked."""
    def get_region(self) -> Optional[Sequence[int]]:
        """The region's `rect`."""
    def get_desc(self) -> str:
        """The region's `desc`."""

class CompareResult:
    """The verdict for one inspected image: the image and its NG regions in the order a comparator reported them;
    OK when there are none.
    """
    image: _np.ndarray
    """The inspected image: the array given, not a copy."""
    ng_regions: List[NGRegion]
    """The NG regions, in append order; the same list object for the life of the result."""
    def __init__(self, image: _np.ndarray) -> None:
        """A result for `image` with no NG regions (OK). The image is kept, not copied."""
    def reset(self, image: _np.ndarray) -> None:
        """Starts over on `image`: the existing `ng_regions` list is emptied in place."""
    def append(self, ng_region: NGRegion) -> None:
        """Adds one NG region at the end; returns None."""
    @property
    def ok(self) -> bool:
        """True when there is no NG region."""
    @property
    def ng(self) -> bool:
        """True when there is at least one NG region."""
    @property
    def ng_count(self) -> int:
        """The number of NG regions."""
    @property
    def original_image(self) -> _np.ndarray:
        """The inspected image itself (the object given, not a copy)."""
    def marked_image(self, index: int = -1) -> _np.ndarray:
        """A new BGR copy of the (single-channel) image with a red outline one pixel outside each NG region's box:
        all regions for a negative `index`, else only region `index`.

        Raises AssertionError when index >= ng_count; cv2's error for an image that is not single-channel.
        """
    @property
    def descriptions(self) -> List[str]:
        """A new list of the NG regions' descriptions, in order."""

# ---- shift comparator ----
def contour_is_too_long(cnt: _np.ndarray, length: Union[int, Sequence[int]]) -> bool:
    """True when the contour's bounding box is at least `length` wide or high."""
def contour_is_too_big(cnt: _np.ndarray, area: float) -> bool:
    """True when the contour's area is at least `area`."""

class ShiftComparator:
    """Compares target images with a standard one, tolerating misregistration up to max_shift pixels."""
    std_threshold: _np.ndarray
    """The standard image as int16 (a new array)."""
    max_shift: int
    """The largest displacement tried, in pixels."""
    threshold: int
    """Grey-level difference that counts as a mismatch."""
    slope: Any
    """Whether diagonal displacements are tried too (tested for truth)."""
    step: int
    """Stride of the displacements tried; 0 makes `compare` raise ValueError."""
    compare_region: Optional[Sequence[int]]
    """None, or a corner box (x1, y1, x2, y2) outside which nothing is compared."""
    def __init__(self, std_image: _np.ndarray, max_shift: int, threshold: int, judge_parameter: Union[int, Sequence],
                 judge: Callable[[_np.ndarray, Any], Any] = ..., slope: bool = True, step: int = 1,
                 cmp_region: Optional[Sequence[int]] = None) -> None:
        """`max_shift` and `threshold` must be exact ints (TypeError otherwise). `judge(contour, judge_parameter)`
        decides which mismatch blobs are NG; `cmp_region` limits the comparison to a corner box (coordinates
        stay those of the full image).
        """
    black_spot_desc: str
    """Prefix of black-spot descriptions (target darker than the standard); initially 'black spot'. Setting a
    non-str raises TypeError.
    """
    white_spot_desc: str
    """Prefix of white-spot descriptions (target brighter than the standard); initially 'white spot'. Setting a
    non-str raises TypeError.
    """
    def compare(self, tgt_image: _np.ndarray, result: CompareResult) -> None:
        """Appends to `result` the black spots, then the white spots, of `tgt_image`."""
    def _do_compare_image_with_shift(self, std_threshold: _np.ndarray, tgt_threshold: _np.ndarray,
                                     judge_parameter: Any, error_desc: str, compare_result: CompareResult) -> None:
        """One directed pass: marks the pixels of `std_threshold - tgt_threshold` beyond the threshold at every
        tried displacement of `tgt_threshold`, and appends an NGRegion described '<error_desc>: <longer side>,
        [x1, y1, x2, y2]' for each blob the judge accepts. Returns None.
        """

# ---- barcode inspection ----
def bounding_rect_top(contour: _np.ndarray) -> int:
    """The top (y) of the contour's bounding rectangle."""
def find_barcode_contours(image: _np.ndarray, aoi: Sequence[int], area_lower: Any = 1500, area_upper: Any = 120000,
                          girth_lower: Any = 600, girth_upper: Any = 2000) -> Tuple[List[_np.ndarray], _np.ndarray]:
    """(bars, threshold): the AOI's bars in AOI coordinates, topmost first, and the whole image binarised at the
    AOI's Otsu level.

    Bars are kept when area_lower <= area <= area_upper and girth_lower <= perimeter <= girth_upper; each
    rejected blob is printed ('Out of range bar: ...').
    """
def fill_threshold(bars: Sequence[_np.ndarray], threshold: _np.ndarray, aoi: Sequence[int]) -> None:
    """Joins the bars in `threshold` (in place) with a white strip five pixels wide."""
def find_rotate_degree(image: _np.ndarray, aoi: Sequence[int]) -> float:
    """The turn in degrees, in (-45, 45], of the AOI's largest region."""
def rotate_correcting(image: _np.ndarray, bars: Sequence[_np.ndarray], degree: float,
                      aoi: Sequence[int]) -> _np.ndarray:
    """The image rotated by `degree` about the first bar's top-left corner."""
def cmp_rect_after_rotate_correcting(image: _np.ndarray, aoi: Sequence[int]) -> Tuple[int, int, int, int]:
    """(x, y, w, h) of the straightened barcode, from the middle of its first bar."""
def shift_compare_barcode(std: _np.ndarray, tgt: _np.ndarray, aoi: Sequence[int], max_shift: int, threshold: int,
                          dirty_width: Union[int, Sequence[int]]) -> CompareResult:
    """CompareResult of the straightened, aligned target barcode against the standard's, inside the AOI.

    `aoi` is a corner box (x1, y1, x2, y2) in image pixels (not x, y, w, h), where bars are found, the turn measured
    and the prints compared. Bars must be bright on a dark label (invert dark bars first): Otsu's bright blobs of
    1500..120000 square pixels and a 600..2000 pixel outline, across the area, stacked top to bottom. Prints "Out of
    range bar: ..." per blob not taken, "STD Degree"/"TGT Degree" (each print's turn, degrees) and the match score
    "平移校正区域匹配度" (1 at best); on NG writes the marked crop to shift_compare_barcode.jpg in the current folder.
    IndexError when an image has no bar (dark bars give none); TypeError when the standard is not found in the target.
    """
def contour_to_point_list(cnt: List[List[List[int]]]) -> List[List[int]]:
    """The contour's points as a new list of [x, y].

    `cnt` must be a list (TypeError otherwise): pass a contour array as cnt.tolist().
    """
def extract_center_contours(src: _np.ndarray, thresh: int, step: int = 1, flag: int = ...) -> List[_np.ndarray]:
    """Contours of the regions that survive the most erosion: the centres of the largest bright regions.

    `thresh`, `step` and `flag` must be exact ints (TypeError); ValueError when step < 1.
    """

# ---- image chain ----
class ImageChainBase:
    """A node of a lazily evaluated image chain: it computes its image from the previous node's on first read of
    `image` and caches it until invalidated. Invalidation runs only back towards the root, never forward.
    """
    _cache: Any
    """The last result of `_generate_result`, or None when there is none."""
    def __init__(self, previous: Optional["ImageChainBase"] = None) -> None:
        """A node after `previous` (None: a root), with an empty cache and no name."""
    image_name: str
    """The name set by the caller, or the class name when none is set; `save()` uses it as the file name. Setting a
    non-str raises TypeError; setting it keeps the cache.
    """
    @property
    def is_root(self) -> bool:
        """True when the node has no previous node."""
    @property
    def previous(self) -> Optional["ImageChainBase"]:
        """The previous node, or None for a root."""
    def invalidate_this(self) -> None:
        """Empties this node's cache; returns None."""
    def invalidate_all(self) -> None:
        """Empties the caches of this node and all its previous nodes back to the root (nodes after this one keep
        theirs); returns None.
        """
    def _generate_result(self, *args: Any, **kwargs: Any) -> Any:
        """Computes this node's result from the previous node's image; extra arguments are ignored. The base
        returns None.
        """
    @property
    def image(self) -> Optional[_np.ndarray]:
        """This node's image, computed on first read and cached; the cached array itself, not a copy. None when the
        result is None (an unreadable file, the base class): narrow it before use.
        """
    def save(self, filename: Union[_Path, str] = '') -> None:
        """Writes `image` with cv2.imwrite to `filename` (a Path is turned into str), or to `image_name` when
        filename is empty (the default name has no extension). Returns None.

        OSError when the writer reports failure; cv2's error for a name without a known extension.
        """
    @property
    def shape(self) -> tuple:
        """`image.shape`; AttributeError when the image is None."""
    @property
    def changes_affect_previous(self) -> bool:
        """Whether writing into `image` also changes the previous node's image (True for an ImageROI without copy).
        """

class ImageFromFile(ImageChainBase):
    """A root node reading its image with cv2.imread. A file that cannot be read gives an image of None, with no
    error, and is tried again on every read.
    """
    def __init__(self, filename: Union[_Path, str], mode: int = ..., lazy: bool = False) -> None:
        """Reads `filename` with `mode` (an exact int; TypeError otherwise) now, or on first read when `lazy`."""
    read_mode: int
    """The cv2.imread flag; setting it (an exact int) empties the cache."""
    filename: Union[_Path, str]
    """The path given; setting it empties the cache."""

class ImageCopy(ImageChainBase):
    """A node whose image is an independent copy of the previous node's image."""
    def __init__(self, previous: ImageChainBase, lazy: bool = False) -> None:
        """Copies `previous.image` now, or on first read when `lazy`; AttributeError when that image is None."""

class ImageFromNDArray(ImageChainBase):
    """A root node holding an array: its image is that very array, or a copy of it."""
    def __init__(self, image: _np.ndarray, copy: bool = False, lazy: bool = False) -> None:
        """Holds `image`; `copy` makes the node's image a copy instead of the array itself."""
    source: _np.ndarray
    """The array held; setting it empties the cache."""

def add_weighted(image1: ImageChainBase, weight1: float, image2: ImageChainBase, weight2: float,
                 gamma: float) -> ImageChainBase:
    """A new root node (ImageFromNDArray) holding cv2.addWeighted(image1.image, weight1, image2.image, weight2,
    gamma); it does not follow later changes of the two nodes.
    """

class ImageROI(ImageChainBase):
    """A node cropping the previous image to a corner box (x1, y1, x2, y2): a view sharing memory with it unless
    `copy`.
    """
    def __init__(self, previous: ImageChainBase, region: Sequence[int], copy: bool = False, lazy: bool = False) -> None:
        """Crops `previous.image` to `region` (four values; ValueError otherwise) now, or on first read when
        `lazy`.
        """

class ImageChannelSplitter(ImageChainBase):
    """A node taking one channel of the previous image (cv2.split)."""
    def __init__(self, previous: ImageChainBase, channel_index: int = 0, lazy: bool = False) -> None:
        """`channel_index` is an exact int (TypeError otherwise); a negative index counts from the last channel; an
        index beyond the channels raises IndexError.
        """
    @staticmethod
    def split_all(image: _np.ndarray, lazy: bool = False) -> List[ImageChainBase]:
        """One new root node (ImageFromNDArray) per channel of the array `image`, in channel order."""
    channel_index: int
    """The channel taken; setting it (an exact int, AssertionError when negative) keeps the cache: call
    invalidate_this() afterwards.
    """

class ImageColorConverter(ImageChainBase):
    """A node converting the previous image with cv2.cvtColor."""
    def __init__(self, image_prev: ImageChainBase, cvt_code: int, lazy: bool = False) -> None:
        """`cvt_code` is a cv2.COLOR_* code, an exact int (TypeError otherwise)."""
    cvt_code: int
    """The conversion code; setting it (an exact int) empties the cache."""

class ImageTranslation(ImageChainBase):
    """A node moving the previous image right and down by whole pixels with cv2.warpAffine; the size is kept and
    the uncovered strip filled by `border_mode`.
    """
    def __init__(self, previous: ImageChainBase, right_movement: int, down_movement: int, border_mode: int = ...,
                 border_value: Any = None, interpolation: int = ..., lazy: bool = False) -> None:
        """`right_movement`, `down_movement` and `border_mode` must be exact ints (TypeError otherwise); negative
        movements go left or up.
        """
    interpolation: int
    """The cv2 interpolation flag; setting it keeps the cache."""
    right_translation: int
    """Pixels moved right (negative: left); setting it (an exact int) empties the cache."""
    down_translation: int
    """Pixels moved down (negative: up); setting it (an exact int) empties the cache."""
    border_mode: int
    """The cv2 border mode; setting it (an exact int) empties the cache."""
    border_value: int
    """The fill value for cv2.BORDER_CONSTANT; setting it (an exact int, None refused) empties the cache."""

class ImageScaling(ImageChainBase):
    """A node resizing the previous image with cv2.resize(dsize=size, fx=fx, fy=fy, interpolation=interpolation);
    OpenCV's rules choose between the size and the factors.
    """
    size: Optional[Tuple[int, int]]
    """The output size (width, height), or None to use `fx` and `fy`. Assigning keeps the cache."""
    fx: Optional[float]
    """Horizontal scale factor, or None. Assigning keeps the cache."""
    fy: Optional[float]
    """Vertical scale factor, or None. Assigning keeps the cache."""
    interpolation: int
    """The cv2 interpolation flag. Assigning keeps the cache."""
    def __init__(self, previous: ImageChainBase, size: Any = None, fx: Any = None, fy: Any = None,
                 interpolation: int = ..., lazy: bool = False) -> None:
        """Parameters are stored as public attributes; assigning them later keeps the cache (call
        invalidate_this()).
        """

class ImageMakingBorder(ImageChainBase):
    """A node padding the previous image with cv2.copyMakeBorder."""
    top: int
    """Rows added above. Assigning keeps the cache."""
    bottom: int
    """Rows added below. Assigning keeps the cache."""
    left: int
    """Columns added on the left. Assigning keeps the cache."""
    right: int
    """Columns added on the right. Assigning keeps the cache."""
    border_mode: int
    """The cv2 border mode. Assigning keeps the cache."""
    border_value: Optional[int]
    """The fill value for cv2.BORDER_CONSTANT, or None. Assigning keeps the cache."""
    def __init__(self, previous: ImageChainBase, top: int, bottom: int, left: int, right: int, border_mode: int,
                 border_value: Optional[int] = None, lazy: bool = False) -> None:
        """`top`, `bottom`, `left`, `right`, `border_mode` and `border_value` (or None) must be exact ints
        (TypeError otherwise).
        """

class ImageRotation(ImageChainBase):
    """A node rotating the previous (single-channel) image about `center` by `degree` degrees, counterclockwise
    positive; the size is kept and corners turned out are lost.
    """
    center: Tuple[float, float]
    """The rotation centre (x, y) as floats. Assigning keeps the cache."""
    degree: float
    """The angle in degrees, counterclockwise positive. Assigning keeps the cache."""
    border_mode: int
    """The cv2 border mode. Assigning keeps the cache."""
    border_value: int
    """The fill value for cv2.BORDER_CONSTANT. Assigning keeps the cache."""
    interpolation: int
    """The cv2 interpolation flag. Assigning keeps the cache."""
    def __init__(self, previous: ImageChainBase, center: Sequence[int], degree: float, border_mode: int,
                 border_value: int, interpolation: int = ..., lazy: bool = False) -> None:
        """`degree` is converted to float; `border_mode` and `border_value` must be exact ints (TypeError
        otherwise). A multi-channel image raises ValueError when computed.
        """

class ImageAffineTransformation(ImageChainBase):
    """A node warping the previous (single-channel) image by the affine map taking three `src_points` to three
    `dst_points`; the size is kept.
    """
    src_points: Sequence[Sequence[int]]
    """Three (x, y) points on the input image. Assigning keeps the cache."""
    dst_points: Sequence[Sequence[int]]
    """Their three places on the output image. Assigning keeps the cache."""
    border_mode: int
    """The cv2 border mode. Assigning keeps the cache."""
    border_value: int
    """The fill value for cv2.BORDER_CONSTANT. Assigning keeps the cache."""
    interpolation: int
    """The cv2 interpolation flag. Assigning keeps the cache."""
    def __init__(self, previous: ImageChainBase, src_points: Sequence[Sequence[int]],
                 dst_points: Sequence[Sequence[int]], border_mode: int, border_value: int,
                 interpolation: int = ..., lazy: bool = False) -> None:
        """`border_mode` and `border_value` must be exact ints (TypeError otherwise). A multi-channel image raises
        ValueError when computed.
        """

class ImagePerspectiveTransformation(ImageChainBase):
    """A node warping the previous (single-channel) image by the perspective map taking four `src_points` to four
    `dst_points` (no three collinear); the size is kept.
    """
    src_points: Sequence[Sequence[int]]
    """Four (x, y) points on the input image. Assigning keeps the cache."""
    dst_points: Sequence[Sequence[int]]
    """Their four places on the output image. Assigning keeps the cache."""
    border_mode: int
    """The cv2 border mode. Assigning keeps the cache."""
    border_value: int
    """The fill value for cv2.BORDER_CONSTANT. Assigning keeps the cache."""
    interpolation: int
    """The cv2 interpolation flag. Assigning keeps the cache."""
    def __init__(self, previous: ImageChainBase, src_points: Sequence[Sequence[int]],
                 dst_points: Sequence[Sequence[int]], border_mode: int, border_value: int,
                 interpolation: int = ..., lazy: bool = False) -> None:
        """`border_mode` and `border_value` must be exact ints (TypeError otherwise). A multi-channel image raises
        ValueError when computed.
        """

class ImageSimpleThresholding(ImageChainBase):
    """A node thresholding the previous (grey) image at a fixed level with cv2.threshold."""
    def __init__(self, previous: ImageChainBase, threshold_type: int, threshold: int, max_value: int,
                 lazy: bool = False) -> None:
        """`threshold_type` (a cv2.THRESH_* type), `threshold` and `max_value` must be exact ints (TypeError
        otherwise).
        """
    threshold_type: int
    """The cv2.THRESH_* type; setting it (an exact int) empties the cache."""
    max_value: int
    """The value given to pixels that pass; setting it (an exact int) empties the cache."""
    threshold: int
    """The level separating the pixel classes; setting it (an exact int) empties the cache."""

class ImageOtsuThresholding(ImageChainBase):
    """A node thresholding the previous (grey) image at the level Otsu's method finds; `threshold` tells the level.
    """
    def __init__(self, previous: ImageChainBase, threshold_type: int, max_value: int, lazy: bool = False) -> None:
        """`threshold_type` (a cv2.THRESH_* type, Otsu's flag is added) and `max_value` must be exact ints
        (TypeError otherwise).
        """
    threshold_type: int
    """The cv2.THRESH_* type; setting it (an exact int) empties the cache."""
    max_value: int
    """The value given to pixels that pass; setting it (an exact int) empties the cache."""
    @property
    def threshold(self) -> float:
        """The level Otsu's method found; computes the node first when its cache is empty."""

class ImageAdaptiveThresholding(ImageChainBase):
    """A node thresholding the previous (grey) image per pixel neighbourhood with cv2.adaptiveThreshold, for uneven
    lighting.
    """
    def __init__(self, previous: ImageChainBase, method: int, threshold_type: int, max_value: int, block_size: int,
                 constant: float, lazy: bool = False) -> None:
        """`method` (cv2.ADAPTIVE_THRESH_MEAN_C or _GAUSSIAN_C), `threshold_type` (THRESH_BINARY or _INV),
        `max_value` and `block_size` (odd) must be exact ints (TypeError otherwise); `constant`, subtracted from
        the neighbourhood mean, is converted to float.
        """
    max_value: int
    """The value given to pixels that pass (non-zero); setting it (an exact int) empties the cache."""
    method: int
    """The adaptive method; setting it (an exact int) empties the cache."""
    threshold_type: int
    """THRESH_BINARY or THRESH_BINARY_INV; setting it (an exact int) empties the cache."""
    block_size: int
    """Side of the neighbourhood, odd; setting it (an exact int) empties the cache."""
    constant: float
    """Subtracted from the neighbourhood mean; setting it (converted to float) empties the cache."""

# ---- simple comparisons ----
def simple_compare_gray_image(image1: _np.ndarray, image2: _np.ndarray, max_difference: Any) -> _np.ndarray:
    """Boolean map: true where the absolute grey difference exceeds max_difference."""
def binary_compare_image(image1: _np.ndarray, image2: _np.ndarray) -> _np.ndarray:
    """Boolean map: true where the Otsu-binarised images differ."""
def hue_mean(image: _np.ndarray, code_2_bgr: Optional[int] = None) -> float:
    """Mean hue (0 to 179) of a BGR image, converted first with code_2_bgr if given."""
def find_corresponding_point_by_template_match(
        image: _np.ndarray, template: _np.ndarray, region: Optional[Sequence[int]] = None,
        pointPositionInTemplate: Sequence[int] = (0, 0),
        threshold: Optional[float] = None) -> Union[Tuple[float, List[int]], List[int], None]:
    """Image position of a template point at the best match inside the rect `region`: (max_val, [x, y]) without a
    threshold, else [x, y] or None below it.

    `region` is a rect (x, y, w, h); negative x or y are clipped to 0. cv2's error when the template is larger
    than the search image.
    """
# ---- contour geometry ----
def centroid_of_contour(contour: _np.ndarray) -> Tuple[float, float]:
    """Compute the centroid coordinates of a contour."""
def contour_point_distances(contour: _np.ndarray, point: Sequence[float]) -> _np.ndarray:
    """Compute the distance from each point of the contour to the given point."""
def contour_is_counterclockwise(contour: _np.ndarray) -> bool:
    """True when the contour's points run in the order of cv2.convexHull(contour, clockwise=False) (clockwise as
    displayed, y down).

    Raises ValueError when the convex hull has fewer than three vertices (a point or a segment has no
    orientation).
    """
def contour_is_clockwise(contour: _np.ndarray) -> bool:
    """`not contour_is_counterclockwise(contour)`; the same ValueError."""
def reverse_contour(contour: _np.ndarray) -> _np.ndarray:
    """The points in reverse order: a reversed view of `contour`, which is not changed."""
def left_shift_array(array: _np.ndarray, count: int = 1) -> _np.ndarray:
    """Rotates `array` left along its first axis by `count` places, in place, and returns the same array.

    `count` must be an exact int (TypeError) with 0 <= count < array.size (AssertionError).
    """
def calculate_contour_direction(contour: _np.ndarray) -> float:
    """The principal-axis angle of the contour in degrees, -90 to 90, positive from +x toward +y (clockwise as
    displayed).
    """

class Contour:
    """One contour array with cached geometric measures, masks and moves."""
    class MaskEdgeProcess:
        """What make_mask does with the pixels at the contour's own points."""
        NoProcess: int
        """0: nothing beyond the drawn contour."""
        Erase: int
        """1: the contour's points get the background value."""
        Fill: int
        """2 (or any other value): the contour's points get the foreground value."""
    def __init__(self, contour: _np.ndarray) -> None:
        """Keeps a copy of `contour` (an N x 1 x 2 contour array); later changes to the caller's array do not reach
        it.
        """
    def _invalidate_caches(self) -> None:
        """Drops every cached measure; returns None."""
    @property
    def points(self) -> _np.ndarray:
        """The contour array owned by this object (not a copy). Changing it in place keeps the caches."""
    @property
    def area(self) -> float:
        """cv2.contourArea of the points, cached."""
    @property
    def length(self) -> float:
        """The closed perimeter (cv2.arcLength)."""
    @property
    def moments(self) -> Dict[str, float]:
        """cv2.moments of the points (keys m00, m10, mu20, ...), cached."""
    @property
    def centroid(self) -> _np.ndarray:
        """Array [x, y] of the centroid; AssertionError 'Empty or degenerative contour' when the area moment is 0.
        """
    @property
    def direction(self) -> float:
        """The principal-axis angle in degrees, -90 to 90, positive from +x toward +y (clockwise as displayed)."""
    @property
    def min_enclosing_circle(self) -> Tuple[Tuple[float, float], float]:
        """((cx, cy), radius) from cv2.minEnclosingCircle, cached."""
    @property
    def bounding_rectangle(self) -> Tuple[int, int, int, int]:
        """(x, y, w, h) from cv2.boundingRect, cached."""
    @property
    def min_area_rectangle(self) -> Tuple[Tuple[float, float], Tuple[float, float], float]:
        """((cx, cy), (w, h), angle) from cv2.minAreaRect, cached."""
    @property
    def is_counterclockwise(self) -> bool:
        """`contour_is_counterclockwise(points)`, cached; ValueError for a hull of fewer than three vertices."""
    @property
    def is_clockwise(self) -> bool:
        """`not is_counterclockwise`."""
    def reverse(self) -> None:
        """Reverses the point order in place and drops the caches; returns None."""
    @property
    def copy(self) -> Contour:
        """A new Contour on a copy of the points, with empty caches."""
    @property
    def reverse_copy(self) -> Contour:
        """A new Contour with the points in reverse order; this one is unchanged."""
    def make_mask(self, shape: Sequence[int], invert: bool = False, thickness: int = ..., edge: int = ...) -> _np.ndarray:
        """A new uint8 image of `shape` with the contour drawn in 255 (per channel) on 0, filled by default; `edge`
        (MaskEdgeProcess) erases or fills the contour's own points; `invert` swaps the two values.

        `thickness` must be an exact int (TypeError); AssertionError 'Invalid shape' for fewer than two
        dimensions.
        """
    @property
    def min_rotating_image_width(self) -> int:
        """Side of the smallest square in which the contour can turn a full circle: 2 * ceil(enclosing radius)."""
    def move_offset(self, x_offset: int, y_offset: int) -> None:
        """Translate the whole contour by the given offset."""
    def move_centroid_to(self, x: int, y: int) -> None:
        """Translate the whole contour so that its centroid is at about the given coordinate."""


def the_most_matching_angle(reference: Contour, uut: Contour) -> float:
    """The turn of uut relative to reference in degrees, in (-180, 180]."""
# ---- region extraction and corresponding-region search ----
def binary_image_swap(image: _np.ndarray, one: Any = 255, zero: Any = 0) -> None:
    """Inverts a 2-D binary image in place: pixels equal to `zero` become `one`, every other pixel becomes `zero`.
    Returns None; ValueError for an image that is not 2-D.
    """
def minimal_rect_for_extract_info(mother_image: _np.ndarray, extract_info: Sequence[Any],
                                  need_binarize: bool = False) -> List[Any]:
    """The tight corner box, in `mother_image` coordinates, of the blobs inside the rect extract_info[:4] (x, y, w,
    h); x2 and y2 are one past the exclusive edges. Binarises with Otsu first when `need_binarize`.

    A region without blobs gives infinite x1 and y1.
    """
def _compare_extract_region_contours(a: _np.ndarray, b: _np.ndarray, direction: str) -> int:
    """-1, 0 or 1 comparing the bounding rects of two contours by x ('Horizontal'), y ('Vertical') or x + y
    ('Both'); ValueError 'Unknown direction: ...' for any other direction.
    """
def get_sorted_extract_region_contours(image: Optional[_np.ndarray], extract_info: Sequence[Any],
                                       contours: Optional[List[_np.ndarray]] = None) -> List[_np.ndarray]:
    """Sorts `contours` (found in `image` with cv2.RETR_LIST when None) in place by the direction extract_info[4]
    ('Horizontal', 'Vertical' or 'Both'), stably, and returns the same list.
    """
def get_rough_position_diff(standard_image: _np.ndarray, target_image: _np.ndarray,
                            need_binarize: bool = False) -> List[int]:
    """[dx, dy]: how far the top-left-most blob of `target_image` lies from that of `standard_image`. IndexError
    when an image has no blob.
    """
def find_corresponding_region(standard_image: _np.ndarray, target_image: _np.ndarray, extract_info: Sequence[Any],
                              shift: Sequence[int], min_wh: Any, max_wh: Any, min_area: Any,
                              need_binarize: bool = False, diff: Optional[Sequence[int]] = None) -> Optional[List[int]]:
    """The corner box [x1, y1, x2, y2] (x2, y2 exclusive) in `target_image` of the region that extract_info marks
    in `standard_image`, or None when no blob is found.

    The region's tight box is moved by `diff` (the rough displacement when None) and widened by `shift` (sx,
    sy); blobs in that window between `min_wh` and `max_wh` and of area at least `min_area` grow the box,
    smaller ones that line up with it (extract_info[4]) join it, and extract_info[6] ('Left', 'Right', 'Both' or
    None) takes whole blobs beside it. A window start left of or above the image is clipped to 0.
    """
def find_top_left_point(image: _np.ndarray, need_binarize: bool = False) -> List[Any]:
    """[x, y, contour]: the outer contour whose bounding rect has the smallest x + y (the first on ties).
    IndexError when the image has no contour.
    """
def get_rid_of_small_contours(contours: List[_np.ndarray], min_area: Any = None,
                              min_perimeter: Any = None) -> List[_np.ndarray]:
    """Removes from the list `contours`, in place, those with area below `min_area` and then those with perimeter
    below `min_perimeter` (None: no test); returns the removed ones.
    """

# ---- shapes and inspection regions ----
class Shape:
    """A shape whose coordinates are read from a text of name=value pairs; drawn into images and applied as a mask.
    """
    name: Any
    """The name given (any value; from a workbook, the cell)."""
    def __init__(self, name: Any) -> None:
        """A shape called `name`."""
    def create_from_string(self, args: str) -> None:
        """Sets one int attribute per comma-separated name=value pair of `args` (for example
        'x1=10,y1=20,x2=110,y2=70'); returns None.

        ValueError for a pair without exactly one '=' or a value that is not an int; pairs before the bad one
        stay set.
        """
    def draw(self, image: _np.ndarray, color: Any) -> None:
        """Draws the filled shape into `image` with `color`, in place; the base shape draws nothing. Returns None.
        """
    def apply(self, image: _np.ndarray, color: int, mask: Optional[_np.ndarray] = None) -> None:
        """Masks `image` in place: with color 255 only the inside of the shape is kept, with color 0 the inside is
        blanked. A given `mask` (uint8, the image's shape) is reused as working space. Returns None.
        """

class Rectangle(Shape):
    """A filled rectangle between the corners (x1, y1) and (x2, y2), all 0 until set."""
    x1: int
    """First corner, x."""
    y1: int
    """First corner, y."""
    x2: int
    """Opposite corner, x."""
    y2: int
    """Opposite corner, y."""

class Triangle(Shape):
    """A filled triangle with the vertices (x1, y1), (x2, y2), (x3, y3), all 0 until set."""
    x1: int
    """First vertex, x."""
    y1: int
    """First vertex, y."""
    x2: int
    """Second vertex, x."""
    y2: int
    """Second vertex, y."""
    x3: int
    """Third vertex, x."""
    y3: int
    """Third vertex, y."""

class Region:
    """Named shapes, each a region of interest ('roi': only its inside is kept) or of no interest ('roui': its
    inside is blanked), applied together as masks.
    """
    regions: List[Tuple[str, Shape]]
    """The (type, shape) pairs in the order added; type is 'roi' or 'roui'."""
    def __init__(self) -> None:
        """An empty region list."""
    def add_region(self, name: Any, shape: str, args: str, _type: str) -> None:
        """Appends a 'rectangle' or 'triangle' (any letter case) called `name`, with coordinates from the text
        `args`, as type 'roi' or 'roui' (any letter case). Returns None.

        ValueError for another type or shape; AttributeError when either is not a string; nothing is appended on
        failure.
        """
    def apply(self, image: _np.ndarray) -> None:
        """Masks `image` in place: keeps only the pixels inside every 'roi' shape and blanks every 'roui' shape.
        Returns None.
        """
    @staticmethod
    def load_from_xslx(bookname: Any, sheetname: Optional[str] = None) -> Region:
        """A new Region from a workbook sheet (the first when `sheetname` is None): row 1 is a header; from row 2,
        columns A to D hold name, shape, parameter text and type, as for add_region.

        openpyxl's errors and add_region's errors propagate; nothing is returned then.
        """

# ---- robot guidance ----
class SingleCameraInternalTargetTranslator:
    """Robot X/Y moves from camera displacements for one camera that sees the target (see the formula document on
    single-camera translation conversion).
    """
    def __init__(self, camera_coordinates: Sequence[Sequence[float]], delta_r_x: float,
                 delta_r_y: Optional[float] = None) -> None:
        """Calibrates from four camera points: the target at the two ends of a robot X move of 2 * delta_r_x, then
        of a robot Y move of 2 * delta_r_y (None: delta_r_x).

        `delta_r_x` is converted to float; `delta_r_y` must be a float or None (TypeError). ValueError unless
        four points of two values; ZeroDivisionError for a zero step.
        """
    @property
    def matrix(self) -> _np.ndarray:
        """The 2 x 2 calibration: row 1 the camera (x, y) displacement per unit of robot X, row 2 per unit of robot
        Y (the stored array, not a copy).
        """
    def translate(self, source: Sequence[float], destination: Sequence[float]) -> _np.ndarray:
        """The relative robot displacement needed from the source position to the destination position, both in
        camera coordinates.
        """

def calculate_translation_accompanying_rotation(source_coordinate: Sequence[float], source_angle: float,
                                                rotate_center: Sequence[float],
                                                destination_angle: float) -> Sequence[float]:
    """The displacement [dx, dy] of a point turned about rotate_center from source_angle to destination_angle
    (degrees, counterclockwise positive).
    """

class TranslatorAccompanyingRotation:
    """Computes how the coordinates of points with known current 2-D coordinates change when they rotate
    counterclockwise by a given angle about a fixed rotation centre. Counterclockwise angles are positive,
    clockwise negative, in degrees.
    """
    def __init__(self, rotate_center: Sequence[float], dtype: Any = ...) -> None:
        """A rotation about `rotate_center` (x, y); `dtype` is the NumPy type of the working arrays."""
    @property
    def rotate_center(self) -> _np.ndarray:
        """The rotation centre as an array."""
    def translate(self, source_coordinate: Any, angle: Any,
                  center_offset: Optional[Sequence[float]] = None) -> _np.ndarray:
        """The displacement (dx, dy) of each point of `source_coordinate` (one point or many, any array-like of
        pairs) turned by `angle` degrees (counterclockwise as displayed positive; one angle or one per point)
        about the centre plus `center_offset`. Same shape as the input.
        """

class FixRadiusRotatingTranslator:
    """The displacement of a point held at a fixed offset from a rotation centre when the rotation turns by some
    degrees.
    """
    def __init__(self, center_offset: Sequence[float]) -> None:
        """`center_offset` is the rotation centre's offset (dx, dy) from the point; further items are ignored."""
    @property
    def center_offset(self) -> _np.ndarray:
        """The stored offset (dx, dy) as an array."""
    def translate(self, degree: float) -> _np.ndarray:
        """The displacement [dx, dy] of the point when turned by `degree` degrees (counterclockwise as displayed
        positive) about the centre.
        """

class SingleCameraInternalTargetRotatingTranslator:
    """Robot X/Y moves and turn bringing a target seen by the camera to a stored camera pose (see the formula
    document on single-camera rotation-translation conversion with the target inside the field of view).
    """
    translator_accompanying_rotation: TranslatorAccompanyingRotation
    """The rotation about `rotate_center` (camera pixels)."""
    single_camera_translator: SingleCameraInternalTargetTranslator
    """The X/Y calibration given (held by reference)."""
    target_camera_coordinate: _np.ndarray
    """The wanted camera pose (x, y, angle) as an array."""
    def __init__(self, rotate_center: Sequence[float], single_camera_translator: SingleCameraInternalTargetTranslator,
                 target_camera_coordinate: Sequence[float]) -> None:
        """`rotate_center` is the robot's rotation centre in camera pixels; `target_camera_coordinate` the camera
        pose (x, y, angle) the target is to reach.
        """
    def translate(self, source_coordinate: Sequence[float],
                  rotate_center_offset: Optional[Sequence[float]] = None) -> _np.ndarray:
        """Array [robot X, robot Y, turn] bringing a target seen at the camera pose (x, y, angle) to the stored
        target pose: turn = target angle - source angle, then the X/Y move for where that turn leaves it.
        `rotate_center_offset` shifts the rotation centre for this call.
        """

class SingleCameraExternalTargetTranslator:
    """Robot moves for a part carried by the robot to a goal outside the camera's view (see the formula document on
    single-camera rotation-translation conversion with the target outside the field of view).
    """
    def __init__(self, snapping_robot_coordinate: Sequence[float], rotate_center: Sequence[float],
                 source_camera_coordinates: Sequence[Sequence[float]],
                 destination_robot_coordinates: Sequence[Sequence[float]]) -> None:
        """Calibrates from exactly three samples: the part's camera poses (x, y, angle) and the robot goal poses
        that put it in place, with `snapping_robot_coordinate` the robot pose when the camera takes its picture.

        ValueError unless the snapping pose has three values; NumPy's LinAlgError when the samples' robot moves
        are collinear.
        """
    @property
    def snapping_robot_coordinate(self) -> _np.ndarray:
        """The robot pose (x, y, angle) when the camera takes its picture, as an array."""
    @property
    def translator_accompanying_rotation(self) -> TranslatorAccompanyingRotation:
        """The rotation about the robot's rotation centre (camera pixels)."""
    @property
    def source_camera_coordinates(self) -> _np.ndarray:
        """The three calibration camera poses, one row each."""
    @property
    def destination_camera_coordinate(self) -> _np.ndarray:
        """The camera pose (x, y, angle) that corresponds to the goal."""
    @property
    def matrix(self) -> _np.ndarray:
        """The solved 2 x 2 matrix: camera displacement per robot displacement."""
    def translate(self, source_camera_coordinate: Sequence[float]) -> Tuple[Any, Any, Any]:
        """(robot X, robot Y, turn) taking the part seen at the camera pose (x, y, angle) to the goal."""

class CoupleCameraTranslator:
    """Robot moves for a part seen by a source camera where it is picked up and by a destination camera where it is
    put down (see the formula document on double-camera rotation-translation conversion).
    """
    def __init__(self, source_snapping_robot_coordinate: Sequence[float], source_camera_coordinates: Any,
                 robot_destination_coordinates: Any, destination_camera_coordinates: Any,
                 rotate_center: Sequence[float], single_camera_translator: SingleCameraInternalTargetTranslator) -> None:
        """Calibrates from four samples: source-camera poses, robot goal poses (sample 2 gives only X, its Y is
        NaN; sample 4 only Y, its X is NaN) and destination-camera poses, with the source camera's X/Y
        calibration `single_camera_translator`.

        AssertionError 'robot_destination_coordinates is not valid: ...' when the robot samples break that rule;
        ValueError for poses of the wrong length; ZeroDivisionError for samples without robot travel.
        """
    @property
    def alpha(self) -> float:
        """The mean angle offset (degrees) of the destination camera's readings against the source camera's."""
    @property
    def rotator(self) -> TranslatorAccompanyingRotation:
        """The rotation about the rotation centre (source-camera pixels)."""
    @property
    def rotate_center(self) -> _np.ndarray:
        """The rotation centre, as an array."""
    @property
    def single_camera_translator(self) -> SingleCameraInternalTargetTranslator:
        """The source camera's X/Y calibration (held by reference)."""
    @property
    def matrix(self) -> _np.ndarray:
        """2 x 2 destination-camera displacement per robot displacement (rows camera axes, columns robot axes)."""
    @property
    def source_snapping_robot_coordinate(self) -> Sequence[float]:
        """The robot pose (x, y, angle) when the source camera takes its picture, as given."""
    def translate(self, source_coordinate: Sequence[float], destination_coordinate: Sequence[float],
                  rotate_center_offset: Optional[Sequence[float]] = None) -> _np.ndarray:
        """Array [robot X, robot Y, turn] taking the part seen at `source_coordinate` (x, y, angle) in the source
        camera to `destination_coordinate` in the destination camera; turn = dr - sr - alpha. ValueError unless
        each pose has three values.
        """

class CameraCalibrationData:
    """Holds the calibration data obtained by calibrating the camera with a calibration board and uses them to
    provide an undistortion service.
    """
    def __init__(self, real_points: Any, image_points: Any, shape: Tuple[int, ...], flags: Optional[int] = None,
                 criteria: Optional[tuple] = None) -> None:
        """Runs cv2.calibrateCamera on the board points of each view (`real_points`) and their image points
        (`image_points`) for images of `shape` (a tuple; only height and width count), then
        cv2.getOptimalNewCameraMatrix with alpha 1.

        `flags` must be an int or None and `criteria` a tuple or None (TypeError); OpenCV's errors propagate.
        """
    @property
    def rejection_error(self) -> float:
        """The overall re-projection error of the calibration, in pixels."""
    @property
    def camera_matrix(self) -> _np.ndarray:
        """The 3 x 3 camera matrix."""
    @property
    def new_camera_matrix(self) -> _np.ndarray:
        """The camera matrix of the undistorted image."""
    @property
    def distort_coefficients(self) -> _np.ndarray:
        """The lens distortion coefficients."""
    @property
    def roi(self) -> Tuple[int, int, int, int]:
        """(x, y, w, h) of the valid pixels in the undistorted image."""
    @property
    def shape(self) -> Tuple[int, int]:
        """(height, width) of the calibrated images."""
    ppmm: float
    """Pixels per millimetre, set by the caller (converted to float; TypeError for a non-number); -1.0 until set."""
    @property
    def ppmm_is_valid(self) -> bool:
        """True when `ppmm` is greater than 0."""
    def undistort(self, image: _np.ndarray) -> _np.ndarray:
        """The undistorted image, cropped to the region of valid pixels (a view).

        AssertionError 'Image size is not fit. Expected: ..., got: ...' for an image of another height and
        width.
        """
