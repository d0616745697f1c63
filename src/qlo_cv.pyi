"""Type stub for the qlo_cv extension module."""
from pathlib import Path as _Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

import cv2 as cv2
import numpy as _np

_cv = cv2

# ---- circle fitting ----
class FittingCircle:
    def __init__(self, x: Optional[Sequence[float]] = None, y: Optional[Sequence[float]] = None,
                 points: Optional[Sequence[Tuple[float, float]]] = None) -> None: ...
    @property
    def center(self) -> Tuple[float, float]: ...
    @property
    def radius(self) -> float: ...

class CirclePeeler:
    def __init__(self, image: _np.ndarray, threshold: int, thresh_type: int = ..., min_area: int = 0) -> None: ...
    def peel(self, iteration: int) -> Optional[FittingCircle]: ...

# ---- band filters ----
def take_middle(src: _np.ndarray, min_value: Any, max_value: Any) -> _np.ndarray: ...
def take_min_or_max(src: _np.ndarray, min_value: Any, max_value: Any) -> _np.ndarray: ...
def take_min(src: _np.ndarray, max_value: Any) -> _np.ndarray: ...
def take_max(src: _np.ndarray, min_value: Any) -> _np.ndarray: ...

# ---- vertical profiles ----
def _collect_contour_points_equal_x(contour: _np.ndarray, x: int) -> List[Any]: ...
def _get_points_equal_x(points: List[Sequence[int]], x: int, pos_tip: int = 0) -> Tuple[List[Sequence[int]], int]: ...
def _calculate_max_vertical_distance(points: Sequence[Sequence[int]]) -> int: ...
def calculate_contour_vertical_distances(contour: _np.ndarray, head_off: int = 0,
                                         tail_off: int = 0) -> Tuple[Tuple[int, int], List[int]]: ...

# ---- image warps ----
def extract_poly(image: _np.ndarray, poly: Sequence[Sequence[int]], outer_value: Any = 0) -> _np.ndarray: ...
def rotate_to_make_edge_horizontal(image: _np.ndarray, contour: _np.ndarray, use_long_edge: bool = True) -> None: ...
def compare_image_difference(std_image: _np.ndarray, tgt_image: _np.ndarray, threshold: Any) -> _np.ndarray: ...
def translate(image: _np.ndarray, right: Any, down: Any, border_mode: int = ..., border_value: Any = None) -> _np.ndarray: ...
def translate_and_rotate(image: _np.ndarray, old_center: Sequence[int], new_center: Sequence[int], angle: float,
                         border_mode: int = ...) -> _np.ndarray: ...

# ---- verdicts ----
class NGRegion:
    rect: Optional[Sequence[int]]
    desc: str
    def __init__(self, rect: Optional[Sequence[int]], desc: str = '') -> None: ...
    def get_region(self) -> Optional[Sequence[int]]: ...
    def get_desc(self) -> str: ...

class CompareResult:
    image: _np.ndarray
    ng_regions: List[NGRegion]
    def __init__(self, image: _np.ndarray) -> None: ...
    def reset(self, image: _np.ndarray) -> None: ...
    def append(self, ng_region: NGRegion) -> None: ...
    @property
    def ok(self) -> bool: ...
    @property
    def ng(self) -> bool: ...
    @property
    def ng_count(self) -> int: ...
    @property
    def original_image(self) -> _np.ndarray: ...
    def marked_image(self, index: int = -1) -> _np.ndarray: ...
    @property
    def descriptions(self) -> List[str]: ...

# ---- shift comparator ----
def contour_is_too_long(cnt: _np.ndarray, length: Union[int, Sequence[int]]) -> bool: ...
def contour_is_too_big(cnt: _np.ndarray, area: float) -> bool: ...

class ShiftComparator:
    std_threshold: _np.ndarray
    max_shift: int
    threshold: int
    slope: Any
    step: int
    compare_region: Optional[Sequence[int]]
    def __init__(self, std_image: _np.ndarray, max_shift: int, threshold: int, judge_parameter: Union[int, Sequence],
                 judge: Callable[[_np.ndarray, Any], Any] = ..., slope: bool = True, step: int = 1,
                 cmp_region: Optional[Sequence[int]] = None) -> None: ...
    black_spot_desc: str
    white_spot_desc: str
    def compare(self, tgt_image: _np.ndarray, result: CompareResult) -> None: ...
    def _do_compare_image_with_shift(self, std_threshold: _np.ndarray, tgt_threshold: _np.ndarray,
                                     judge_parameter: Any, error_desc: str, compare_result: CompareResult) -> None: ...

# ---- image chain ----
class ImageChainBase:
    _cache: Any
    def __init__(self, previous: Optional["ImageChainBase"] = None) -> None: ...
    image_name: str
    @property
    def is_root(self) -> bool: ...
    @property
    def previous(self) -> Optional["ImageChainBase"]: ...
    def invalidate_this(self) -> None: ...
    def invalidate_all(self) -> None: ...
    def _generate_result(self, *args: Any, **kwargs: Any) -> Any: ...
    @property
    def image(self) -> Optional[_np.ndarray]: ...
    def save(self, filename: Union[_Path, str] = '') -> None: ...
    @property
    def shape(self) -> tuple: ...
    @property
    def changes_affect_previous(self) -> bool: ...

class ImageFromFile(ImageChainBase):
    def __init__(self, filename: Union[_Path, str], mode: int = ..., lazy: bool = False) -> None: ...
    read_mode: int
    filename: Union[_Path, str]

class ImageCopy(ImageChainBase):
    def __init__(self, previous: ImageChainBase, lazy: bool = False) -> None: ...

class ImageFromNDArray(ImageChainBase):
    def __init__(self, image: _np.ndarray, copy: bool = False, lazy: bool = False) -> None: ...
    source: _np.ndarray

def add_weighted(image1: ImageChainBase, weight1: float, image2: ImageChainBase, weight2: float,
                 gamma: float) -> ImageChainBase: ...

class ImageROI(ImageChainBase):
    def __init__(self, previous: ImageChainBase, region: Sequence[int], copy: bool = False, lazy: bool = False) -> None: ...

class ImageChannelSplitter(ImageChainBase):
    def __init__(self, previous: ImageChainBase, channel_index: int = 0, lazy: bool = False) -> None: ...
    @staticmethod
    def split_all(image: _np.ndarray, lazy: bool = False) -> List[ImageChainBase]: ...
    channel_index: int

class ImageColorConverter(ImageChainBase):
    def __init__(self, image_prev: ImageChainBase, cvt_code: int, lazy: bool = False) -> None: ...
    cvt_code: int

class ImageTranslation(ImageChainBase):
    def __init__(self, previous: ImageChainBase, right_movement: int, down_movement: int, border_mode: int = ...,
                 border_value: Any = None, interpolation: int = ..., lazy: bool = False) -> None: ...
    interpolation: int
    right_translation: int
    down_translation: int
    border_mode: int
    border_value: int

class ImageScaling(ImageChainBase):
    size: Optional[Tuple[int, int]]
    fx: Optional[float]
    fy: Optional[float]
    interpolation: int
    def __init__(self, previous: ImageChainBase, size: Any = None, fx: Any = None, fy: Any = None,
                 interpolation: int = ..., lazy: bool = False) -> None: ...

class ImageMakingBorder(ImageChainBase):
    top: int
    bottom: int
    left: int
    right: int
    border_mode: int
    border_value: Optional[int]
    def __init__(self, previous: ImageChainBase, top: int, bottom: int, left: int, right: int, border_mode: int,
                 border_value: Optional[int] = None, lazy: bool = False) -> None: ...

class ImageRotation(ImageChainBase):
    center: Tuple[float, float]
    degree: float
    border_mode: int
    border_value: int
    interpolation: int
    def __init__(self, previous: ImageChainBase, center: Sequence[int], degree: float, border_mode: int,
                 border_value: int, interpolation: int = ..., lazy: bool = False) -> None: ...

class ImageAffineTransformation(ImageChainBase):
    src_points: Sequence[Sequence[int]]
    dst_points: Sequence[Sequence[int]]
    border_mode: int
    border_value: int
    interpolation: int
    def __init__(self, previous: ImageChainBase, src_points: Sequence[Sequence[int]],
                 dst_points: Sequence[Sequence[int]], border_mode: int, border_value: int,
                 interpolation: int = ..., lazy: bool = False) -> None: ...

class ImagePerspectiveTransformation(ImageChainBase):
    src_points: Sequence[Sequence[int]]
    dst_points: Sequence[Sequence[int]]
    border_mode: int
    border_value: int
    interpolation: int
    def __init__(self, previous: ImageChainBase, src_points: Sequence[Sequence[int]],
                 dst_points: Sequence[Sequence[int]], border_mode: int, border_value: int,
                 interpolation: int = ..., lazy: bool = False) -> None: ...

class ImageSimpleThresholding(ImageChainBase):
    def __init__(self, previous: ImageChainBase, threshold_type: int, threshold: int, max_value: int,
                 lazy: bool = False) -> None: ...
    threshold_type: int
    max_value: int
    threshold: int

class ImageOtsuThresholding(ImageChainBase):
    def __init__(self, previous: ImageChainBase, threshold_type: int, max_value: int, lazy: bool = False) -> None: ...
    threshold_type: int
    max_value: int
    @property
    def threshold(self) -> float: ...

class ImageAdaptiveThresholding(ImageChainBase):
    def __init__(self, previous: ImageChainBase, method: int, threshold_type: int, max_value: int, block_size: int,
                 constant: float, lazy: bool = False) -> None: ...
    max_value: int
    method: int
    threshold_type: int
    block_size: int
    constant: float
