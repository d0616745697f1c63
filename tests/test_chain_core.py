"""Image chain core: caching, invalidation, naming and saving."""
import cv2
import numpy as np
import pytest

import qlo_cv


@pytest.fixture
def image(rng):
    return rng.integers(0, 256, (30, 40), dtype=np.uint8)


@pytest.fixture
def png(tmp_path, image):
    path = tmp_path / "a.png"
    cv2.imwrite(str(path), image)
    return path


def test_base_node_defaults():
    node = qlo_cv.ImageChainBase()
    assert (node.is_root, node.previous, node.image, node.image_name) == (True, None, None, "ImageChainBase")
    assert node.changes_affect_previous is False
    assert vars(node) == {"_ImageChainBase__previous": None, "_cache": None, "_ImageChainBase__name": ""}


def test_ndarray_node_returns_the_given_array_or_a_copy(image):
    plain = qlo_cv.ImageFromNDArray(image)
    copied = qlo_cv.ImageFromNDArray(image, copy=True)
    assert plain.image is image
    assert copied.image is not image and np.array_equal(copied.image, image)
    other = image + 1
    plain.source = other
    assert plain._cache is None and plain.image is other


@pytest.mark.parametrize("cache, expected", [
    ((7, 1.5), 7), ([8, 2], 8), ({"image": 9, "x": 1}, 9), ("plain", "plain"),
])
def test_image_reads_the_three_cache_shapes(cache, expected):
    class Node(qlo_cv.ImageChainBase):
        def _generate_result(self, *args, **kwargs):
            return cache

    assert Node().image == expected


def test_none_result_is_recomputed_on_every_read():
    calls = []

    class Node(qlo_cv.ImageChainBase):
        def _generate_result(self, *args, **kwargs):
            calls.append(args)
            return None

    node = Node()
    node.image, node.image
    assert calls == [(), ()]


def test_file_node_reads_lazily_and_follows_filename(png, tmp_path, image):
    node = qlo_cv.ImageFromFile(png, lazy=True)
    assert node._cache is None
    assert np.array_equal(node.image, image)
    second = tmp_path / "b.png"
    cv2.imwrite(str(second), image[::-1])
    copy = qlo_cv.ImageCopy(node)
    node.filename = second
    assert node._cache is None and node.filename is second
    assert np.array_equal(copy.image, image)          # followers keep their cache
    copy.invalidate_all()
    assert np.array_equal(copy.image, image[::-1])
    node.read_mode = cv2.IMREAD_COLOR
    assert node.image.shape == (30, 40, 3)


def test_missing_file_gives_none_and_shape_fails(tmp_path):
    node = qlo_cv.ImageFromFile(tmp_path / "missing.png")
    assert node.image is None
    with pytest.raises(AttributeError):
        node.shape


def test_copy_node_is_independent_and_lazy(image):
    root = qlo_cv.ImageFromNDArray(image)
    lazy = qlo_cv.ImageCopy(root, lazy=True)
    assert lazy._cache is None
    copy = qlo_cv.ImageCopy(root)
    copy.image[0, 0] ^= 0xFF
    assert image[0, 0] != copy.image[0, 0]
    with pytest.raises(AttributeError):
        qlo_cv.ImageCopy(qlo_cv.ImageChainBase())


def test_invalidate_all_clears_ancestors_root_first(image):
    order = []

    class Tracked(qlo_cv.ImageCopy):
        def invalidate_this(self):
            order.append(self.image_name)
            super().invalidate_this()

    root = qlo_cv.ImageFromNDArray(image)
    a = Tracked(root)
    a.image_name = "a"
    b = Tracked(a)
    b.image_name = "b"
    c = Tracked(b)
    c.image_name = "c"
    b.invalidate_all()
    assert order == ["a", "b"] and c._cache is not None and root._cache is None


def test_image_name_setter_checks_and_keeps_cache(image):
    node = qlo_cv.ImageFromNDArray(image)
    node.image_name = "x.png"
    assert node.image_name == "x.png" and node._cache is image
    with pytest.raises(TypeError, match=r"expected str, got int"):
        node.image_name = 3


def test_save_names(tmp_path, image, monkeypatch):
    monkeypatch.chdir(tmp_path)
    node = qlo_cv.ImageFromNDArray(image)
    node.image_name = "named.png"
    node.save()
    node.save("explicit.png")
    node.save(tmp_path / "path.png")
    for name in ("named.png", "explicit.png", "path.png"):
        assert np.array_equal(cv2.imread(str(tmp_path / name), cv2.IMREAD_UNCHANGED), image)


def test_save_passes_path_as_str(monkeypatch, image):
    seen = []

    class FakeCv:
        def imwrite(self, filename, img):
            seen.append(filename)
            return True

    monkeypatch.setattr(qlo_cv, "_cv", FakeCv())
    qlo_cv.ImageFromNDArray(image).save(qlo_cv._Path("dir") / "f.png")
    assert seen == ["dir/f.png"]


@pytest.mark.parametrize("name", ["no_such_dir/x.png", "ImageFromNDArray"])
def test_failed_write_raises_oserror(tmp_path, monkeypatch, image, name):
    monkeypatch.chdir(tmp_path)
    node = qlo_cv.ImageFromNDArray(image)
    with pytest.raises((OSError, cv2.error)) as info:
        node.save(name if "/" in name else "")
    if isinstance(info.value, OSError):
        assert str(info.value) == f"could not write image to '{name}'"


def test_writer_exception_propagates(monkeypatch, image):
    class FakeCv:
        def imwrite(self, filename, img):
            raise KeyError("boom")

    monkeypatch.setattr(qlo_cv, "_cv", FakeCv())
    with pytest.raises(KeyError):
        qlo_cv.ImageFromNDArray(image).save("a.png")


def test_python_subclass_overrides_generate_result(image):
    class Inverted(qlo_cv.ImageChainBase):
        def __init__(self, previous):
            super().__init__(previous)
            self.extra = 1

        def _generate_result(self, *args, **kwargs):
            return 255 - self.previous.image

    node = Inverted(qlo_cv.ImageFromNDArray(image))
    assert np.array_equal(node.image, 255 - image) and node.shape == image.shape
    assert node.image_name == "Inverted" and not node.is_root


def test_shape_return_is_checked():
    class Odd(qlo_cv.ImageChainBase):
        def _generate_result(self, *args, **kwargs):
            return np.ma.masked_array([1, 2]).view(type("A", (np.ndarray,), {"shape": [2]}))

    class Listy:
        shape = [1, 2]

    class Node(qlo_cv.ImageChainBase):
        def _generate_result(self, *args, **kwargs):
            return Listy()

    with pytest.raises(TypeError, match=r"^Expected tuple, got list$"):
        Node().shape
