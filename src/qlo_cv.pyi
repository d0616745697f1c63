"""Type stub for the qlo_cv extension module."""
from pathlib import Path as _Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

import cv2 as cv2
import numpy as _np

_cv = cv2

# ---- template match point ----
def template_match_point(image: _np.ndarray, template: _np.ndarray, region: Optional[Sequence[int]] = None,
                         point_position: Union[List[int], Tuple[int, ...]] = (0, 0),
                         threshold: float = 0.0) -> Tuple[float, Optional[List[int]]]: ...
def get_max_area_contour(image: _np.ndarray, threshold: Any = None, threshold_type: int = ..., pre_erode: int = 0,
                         dilate: int = 0, post_erode: int = 0) -> Optional[_np.ndarray]: ...

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

# ---- barcode inspection ----
def bounding_rect_top(contour: _np.ndarray) -> int: ...
def find_barcode_contours(image: _np.ndarray, aoi: Sequence[int], area_lower: Any = 1500, area_upper: Any = 120000,
                          girth_lower: Any = 600, girth_upper: Any = 2000) -> Tuple[List[_np.ndarray], _np.ndarray]: ...
def fill_threshold(bars: Sequence[_np.ndarray], threshold: _np.ndarray, aoi: Sequence[int]) -> None: ...
def find_rotate_degree(image: _np.ndarray, aoi: Sequence[int]) -> float: ...
def rotate_correcting(image: _np.ndarray, bars: Sequence[_np.ndarray], degree: float,
                      aoi: Sequence[int]) -> _np.ndarray: ...
def cmp_rect_after_rotate_correcting(image: _np.ndarray, aoi: Sequence[int]) -> Tuple[int, int, int, int]: ...
def shift_compare_barcode(std: _np.ndarray, tgt: _np.ndarray, aoi: Sequence[int], max_shift: int, threshold: int,
                          dirty_width: Union[int, Sequence[int]]) -> CompareResult: ...
def contour_to_point_list(cnt: List[List[List[int]]]) -> List[List[int]]: ...
def extract_center_contours(src: _np.ndarray, thresh: int, step: int = 1, flag: int = ...) -> List[_np.ndarray]: ...

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

# ---- simple comparisons ----
def simple_compare_gray_image(image1: _np.ndarray, image2: _np.ndarray, max_difference: Any) -> _np.ndarray: ...
def binary_compare_image(image1: _np.ndarray, image2: _np.ndarray) -> _np.ndarray: ...
def hue_mean(image: _np.ndarray, code_2_bgr: Optional[int] = None) -> float: ...
def find_corresponding_point_by_template_match(
        image: _np.ndarray, template: _np.ndarray, region: Optional[Sequence[int]] = None,
        pointPositionInTemplate: Sequence[int] = (0, 0),
        threshold: Optional[float] = None) -> Union[Tuple[float, List[int]], List[int], None]: ...
