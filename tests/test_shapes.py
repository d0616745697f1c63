"""Shapes parsed from text, drawn and applied as masks, and regions built by
hand or loaded from a workbook."""
import numpy as np
import openpyxl
import pytest

import qlo_cv


def rectangle(text, name="r"):
    shape = qlo_cv.Rectangle(name)
    shape.create_from_string(text)
    return shape


def grey(shape=(20, 30)):
    return (np.arange(shape[0] * shape[1]) % 200 + 20).astype(np.uint8).reshape(shape)


# ---- parsing ----

def test_construction_sets_the_name_then_zero_corners_in_order():
    assert list(vars(qlo_cv.Rectangle("a"))) == ["name", "x1", "y1", "x2", "y2"]
    assert vars(qlo_cv.Triangle(7)) == dict(name=7, x1=0, y1=0, x2=0, y2=0, x3=0, y3=0)
    assert issubclass(qlo_cv.Triangle, qlo_cv.Shape) and vars(qlo_cv.Shape(None)) == {"name": None}


def test_text_sets_corners_with_surrounding_whitespace_stripped():
    shape = rectangle("x1=10, y1=20,x2=110,y2= 70 ")
    assert (shape.x1, shape.y1, shape.x2, shape.y2) == (10, 20, 110, 70)
    spaced = rectangle("x1 =5,depth=3")
    assert spaced.x1 == 0 and getattr(spaced, "x1 ") == 5 and spaced.depth == 3


@pytest.mark.parametrize("text, error, message, x1", [
    ("x1=1,y1", ValueError, "need more than 1 value to unpack", 1),
    ("x1=1=2", ValueError, "too many values to unpack (expected 2)", 0),
    ("x1=1.5", ValueError, "invalid literal for int() with base 10: '1.5'", 0),
    ("", ValueError, "need more than 1 value to unpack", 0),
    ("x1=4,y1=", ValueError, "invalid literal for int() with base 10: ''", 4),
    (None, AttributeError, "'NoneType' object has no attribute 'split'", 0),
])
def test_bad_texts_raise_after_setting_earlier_tokens(text, error, message, x1):
    shape = qlo_cv.Rectangle("r")
    with pytest.raises(error) as info:
        shape.create_from_string(text)
    assert str(info.value) == message and shape.x1 == x1


# ---- drawing and masks ----

def test_rectangle_and_triangle_fill_themselves():
    image = np.zeros((10, 10), np.uint8)
    rectangle("x1=2,y1=3,x2=4,y2=5").draw(image, 9)
    assert image.sum() == 9 * 9 and image[3:6, 2:5].min() == 9
    triangle = qlo_cv.Triangle("t")
    triangle.create_from_string("x1=0,y1=0,x2=9,y2=0,x3=0,y3=9")
    image[:] = 0
    triangle.draw(image, 1)
    assert image[0, 9] == 1 and image[9, 0] == 1 and image[9, 9] == 0



class _LyingColour:
    """Claims four items but runs out after two: OpenCV's binding would read past the end."""

    def __len__(self):
        return 4

    def __getitem__(self, index):
        if index >= 2:
            raise IndexError(index)
        return 255


@pytest.mark.parametrize("cls, text", [(qlo_cv.Rectangle, "x1=1,y1=1,x2=8,y2=8"),
                                       (qlo_cv.Triangle, "x1=1,y1=1,x2=8,y2=1,x3=4,y3=8")])
def test_a_colour_sequence_is_read_by_iteration(cls, text):
    shape = cls("s")
    shape.create_from_string(text)
    image = np.zeros((10, 10, 3), np.uint8)
    shape.draw(image, _LyingColour())           # drawn with (255, 255), not a crash
    assert image[4, 4].tolist() == [255, 255, 0]


@pytest.mark.parametrize("channels", [None, 3, 4])
def test_apply_keeps_or_blanks_the_inside_on_every_channel(channels):
    image = grey() if channels is None else np.dstack([grey()] * channels)
    inside = (slice(5, 11), slice(4, 13))
    keep, blank = image.copy(), image.copy()
    shape = rectangle("x1=4,y1=5,x2=12,y2=10")
    shape.apply(keep, 255)
    expected = np.zeros_like(image)
    expected[inside] = image[inside]
    np.testing.assert_array_equal(keep, expected)
    shape.apply(blank, 0)
    expected = image.copy()
    expected[inside] = 0
    np.testing.assert_array_equal(blank, expected)


def test_base_shape_blanks_everything_with_255_and_nothing_with_0():
    image = grey()
    qlo_cv.Shape("s").apply(image, 0)
    np.testing.assert_array_equal(image, grey())
    qlo_cv.Shape("s").apply(image, 255)
    assert not image.any()


def test_a_callers_mask_is_kept_outside_when_color_is_255():
    image, mask = grey(), np.zeros((20, 30), np.uint8)
    mask[0, 0] = 255
    rectangle("x1=4,y1=5,x2=12,y2=10").apply(image, 255, mask)
    assert image[0, 0] == grey()[0, 0] and image[5, 4] == grey()[5, 4] and image[0, 1] == 0
    assert mask[0, 0] == 255 and mask[5:11, 4:13].min() == 255


def test_apply_needs_an_int_color():
    with pytest.raises(TypeError):
        rectangle("x1=1").apply(grey(), 255.0)


# ---- regions ----

@pytest.mark.parametrize("kind, kind_type", [("Rectangle", "ROI"), ("TRIANGLE", "Roui")])
def test_add_region_lowers_kind_and_type(kind, kind_type):
    region = qlo_cv.Region()
    region.add_region("n", kind, "x1=1,y1=2", kind_type)
    (stored_type, shape), = region.regions
    assert stored_type == kind_type.lower() and type(shape).__name__ == kind.capitalize() and shape.name == "n"


@pytest.mark.parametrize("kind, kind_type, error, message", [
    ("circle", "roi", ValueError, "Unsupported shape."),
    ("rectangle", "area", ValueError, 'Invalid region type. Only "roi" or "roui" can be recognized.'),
    (None, "area", ValueError, 'Invalid region type. Only "roi" or "roui" can be recognized.'),
    ("rectangle", None, AttributeError, "'NoneType' object has no attribute 'lower'"),
    ("rectangle", "roi", ValueError, "invalid literal for int() with base 10: 'x'"),
])
def test_add_region_errors_append_nothing(kind, kind_type, error, message):
    region = qlo_cv.Region()
    with pytest.raises(error) as info:
        region.add_region("n", kind, "x1=x", kind_type)
    assert str(info.value) == message and region.regions == []


@pytest.mark.parametrize("channels", [None, 3])
def test_region_keeps_the_roi_intersection_and_blanks_rouis(channels):
    image = grey() if channels is None else np.dstack([grey()] * channels)
    region = qlo_cv.Region()
    region.add_region("a", "rectangle", "x1=2,y1=2,x2=20,y2=15", "roi")
    region.add_region("b", "rectangle", "x1=10,y1=0,x2=29,y2=19", "roi")
    region.add_region("c", "rectangle", "x1=12,y1=4,x2=13,y2=5", "roui")
    original = image.copy()
    region.apply(image)
    expected = np.zeros_like(original)
    expected[2:16, 10:21] = original[2:16, 10:21]
    expected[4:6, 12:14] = 0
    np.testing.assert_array_equal(image, expected)


def test_an_empty_region_leaves_the_image_unchanged():
    image = grey()
    qlo_cv.Region().apply(image)
    np.testing.assert_array_equal(image, grey())


# ---- workbooks ----

def workbook(path, rows, title="regions", extra_sheet=None):
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.title = title
    sheet.append(["name", "shape", "parameters", "type"])
    for row in rows:
        sheet.append(list(row))
    if extra_sheet:
        book.create_sheet(extra_sheet).append(["name"])
    book.save(path)
    return str(path)


def test_workbook_rows_become_regions(tmp_path):
    path = workbook(tmp_path / "r.xlsx", [("mark area 1", "Rectangle", "x1=10,y1=20,x2=110,y2=70", "ROI"),
                                          (2, "triangle", "x1=0, y1=0,x2=5,y2=0,x3=0,y3=5", "rOUi")],
                    extra_sheet="later")
    region = qlo_cv.Region.load_from_xslx(path)
    assert [(t, type(s).__name__, s.name) for t, s in region.regions] == [
        ("roi", "Rectangle", "mark area 1"), ("roui", "Triangle", 2)]
    assert (region.regions[0][1].x2, region.regions[1][1].y3) == (110, 5)
    assert qlo_cv.Region.load_from_xslx(path, "later").regions == []


def test_an_empty_type_cell_stops_the_load(tmp_path):
    path = workbook(tmp_path / "r.xlsx", [("a", "rectangle", "x1=1", "ROI"), ("b", "triangle", "x1=1", "roui"),
                                          ("c", "rectangle", "x1=1", None)])
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'lower'"):
        qlo_cv.Region.load_from_xslx(path)


@pytest.mark.parametrize("sheet, error", [("missing", KeyError), (None, None)])
def test_missing_sheets_and_files_raise_openpyxl_errors(tmp_path, sheet, error):
    if error is None:
        with pytest.raises(FileNotFoundError):
            qlo_cv.Region.load_from_xslx(str(tmp_path / "absent.xlsx"))
        return
    path = workbook(tmp_path / "r.xlsx", [])
    with pytest.raises(error):
        qlo_cv.Region.load_from_xslx(path, sheet)


def test_a_file_that_is_no_workbook_raises(tmp_path):
    path = tmp_path / "bad.xlsx"
    path.write_bytes(b"not a zip file")
    with pytest.raises(Exception) as info:
        qlo_cv.Region.load_from_xslx(str(path))
    assert type(info.value).__module__ in ("zipfile", "openpyxl.utils.exceptions")
