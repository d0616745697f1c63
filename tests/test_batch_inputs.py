"""What the batch tool and the tuner take in: settings that could never find a
defect are refused in one line (exit status 2) before any print is inspected,
nearly blind ones are warned about, unreadable settings files and workbooks
are named, image sizes come from headers before decoding (a decompression bomb
costs nothing), and camera images are read in their stored pixel order."""
import contextlib
import html
import json
import os
import struct
import zlib

import cv2
import numpy as np
import pytest
from conftest import run_python

from qlo_batch import image_files, tune, work_unit
from qlo_batch.__main__ import main
from qlo_batch.image_files import image_size, read_grey


def label(rows=90, cols=120):
    image = np.full((rows, cols), 210, np.uint8)
    cv2.putText(image, "LOT 7", (8, 40), cv2.FONT_HERSHEY_SIMPLEX, 1.0, 40, 2)
    return image


@pytest.fixture
def job(tmp_path, monkeypatch):
    """A standard, a folder of two prints, a pairs file and the list of prints
    that reached an inspection."""
    cv2.imwrite(str(tmp_path / "standard.png"), label())
    (tmp_path / "prints").mkdir()
    spotted = label()
    spotted[60:70, 60:80] = 0
    for name, image in (("ok.png", label()), ("spot.png", spotted)):
        cv2.imwrite(str(tmp_path / "prints" / name), image)
    (tmp_path / "pairs.csv").write_text("standard,target\nstandard.png,prints/ok.png\nstandard.png,prints/spot.png\n")
    (tmp_path / "not_a_workbook.xlsx").write_text("name,shape\n")
    inspected = []
    real = work_unit.Inspector.inspect
    monkeypatch.setattr(work_unit.Inspector, "inspect", lambda self, task, start: inspected.append(task.file) or
                        real(self, task, start))
    return tmp_path, inspected


def run(tmp_path, mode, settings_text):
    (tmp_path / "settings.toml").write_bytes(settings_text.encode() if isinstance(settings_text, str)
                                             else settings_text)
    out, settings = str(tmp_path / "out"), str(tmp_path / "settings.toml")
    paths = [str(tmp_path / "standard.png"), str(tmp_path / "prints"), out] if mode == "folder" else \
        ["--pairs", str(tmp_path / "pairs.csv"), out]
    return main(paths + ["--settings", settings, "--serial", "--no-progress"])


BAD_SETTINGS = [
    ("judge_parameter = nan", "'judge_parameter' must lie in 0..1e+12, not nan"),
    ("judge_parameter = inf", "'judge_parameter' must lie in 0..1e+12, not inf"),
    ("judge_parameter = [nan]", "'judge_parameter' must lie in 0..1e+12, not nan"),
    ("judge_parameter = []", "'judge_parameter' must not be an empty list"),
    ('judge_parameter = ["4"]', "'judge_parameter' must be a number or a list starting with one"),
    ('judge = "contour_is_too_big"\njudge_parameter = [40]', "'judge_parameter' must be a number (an area)"),
    ("judge_parameter = 121", "'judge_parameter' 121 can never be reached"),
    ('judge = "contour_is_too_big"\njudge_parameter = 10592.0', "'judge_parameter' 10592.0 can never be reached"),
    ("compare_region = []", "'compare_region' must be four integers"),
    ("compare_region = [10, 10, 10, 40]", "'compare_region' [10, 10, 10, 40] holds no pixel"),
    ("compare_region = [50, 50, 10, 10]", "'compare_region' [50, 50, 10, 10] holds no pixel"),
    ("compare_region = [-1, 0, 10, 10]", "'compare_region' [-1, 0, 10, 10] must not be negative"),
    ("compare_region = [0, 0, 121, 90]", "'compare_region' [0, 0, 121, 90] reaches beyond the standard"),
    ("compare_region = [0, 0, 50, 50]\njudge_parameter = 51", "standard.png is 50 x 50"),
    ("threshold = 100000", "'threshold' must lie in -254..254, not 100000"),
    ("threshold = 255", "'threshold' must lie in -254..254, not 255"),
    ("threshold = -255", "'threshold' must lie in -254..254, not -255"),
    ("threshold = 50.0", "'threshold' must be int, not float"),
    ("max_shift = -5", "'max_shift' must lie in 0..64, not -5"),
    ("max_shift = 1048577", "'max_shift' must lie in 0..64, not 1048577"),
    ("max_shift = true", "'max_shift' must be int, not bool"),
    ("step = 1000000", "'step' must lie in 1..64, not 1000000"),
    ('step = "2"', "'step' must be int, not str"),
    ("regions_sheet = 3", "'regions_sheet' must be str or absent, not int"),
    ("min_score = inf", "'min_score' must lie in 0..1e+12, not inf"),
    ("x = = 3", "settings.toml: not a TOML file: Invalid value"),
    (b"max_shift = 3 # \xe9\n", "settings.toml: not a TOML file"),
    ('regions_workbook = "missing.xlsx"', "missing.xlsx: no such file"),
    ('regions_workbook = "standard.png"', "standard.png: not an xlsx workbook"),
    ('regions_workbook = "not_a_workbook.xlsx"', "not_a_workbook.xlsx: not an xlsx workbook"),
    ("border = 45", "'border' 45 leaves no NG region: it needs at least 91 pixels across"),
    ("min_pixels = 10801", "'min_pixels' 10801 leaves no NG region"),
    ("compare_region = [0, 0, 10, 10]\nmin_radius = 6.0\njudge_parameter = 2",
     "'min_radius' 6.0 leaves no NG region: it needs at least 11 pixels across a blob"),
]


@pytest.mark.parametrize("mode", ["folder", "pairs"])
@pytest.mark.parametrize("text, error", BAD_SETTINGS)
def test_a_bad_setting_stops_the_run_before_any_inspection(job, capsys, mode, text, error):
    tmp_path, inspected = job
    assert run(tmp_path, mode, text) == 2
    message = capsys.readouterr().err
    assert message.count("\n") == 1 and message.startswith("qlo_batch: ")
    assert error in message, message
    assert inspected == [] and not (tmp_path / "out").exists()


@pytest.mark.parametrize("text, error", [BAD_SETTINGS[i] for i in (0, 4, 12, 17, 25, 28)])
def test_the_tuner_refuses_the_same_settings_before_decoding(job, capsys, monkeypatch, text, error):
    tmp_path, _ = job
    (tmp_path / "labels.csv").write_text("file,x1,y1,x2,y2\nprints/spot.png,60,60,80,70\n")
    (tmp_path / "settings.toml").write_bytes(text.encode() if isinstance(text, str) else text)
    decoded = []
    monkeypatch.setattr(tune, "read_grey", lambda *args: decoded.append(args))
    assert tune.main([str(tmp_path / "pairs.csv"), str(tmp_path / "labels.csv"), str(tmp_path / "tuned.toml"),
                      "--settings", str(tmp_path / "settings.toml"), "--no-progress"]) == 2
    message = capsys.readouterr().err
    assert message.count("\n") == 1 and error in message, message
    assert decoded == []


@pytest.mark.parametrize("text, warning", [
    ("threshold = 240", "'threshold' 240: only grey-level differences beyond 240 of 255 count"),
    ("threshold = -224", "'threshold' -224: only grey-level differences beyond 224 of 255 count"),
    ("max_shift = 4\nstep = 2", "'step' 2 with max_shift 4 tries displacements of at most 3 pixels"),
    ("max_shift = 3\nstep = 5", "'step' 5 with max_shift 3 tries displacements of at most 1 pixel:"),
    ("judge_parameter = 61", "'judge_parameter' 61: only blobs at least 61 pixels long are reported"),
    ('judge = "contour_is_too_big"\njudge_parameter = 2648.0', "at least 2648 square pixels large"),
    ("border = 30", "'border' 30: only NG regions with at least 61 pixels across the compared area are kept"),
    ("min_pixels = 5401", "'min_pixels' 5401: only NG regions with at least 5401 pixels in a blob are kept"),
    ("max_shift = 5\nstep = 2\njudge_parameter = 60\nthreshold = -223\nborder = 22\nmin_pixels = 5400", None),
])
def test_a_nearly_blind_setting_is_said_first_and_in_the_report(job, capsys, text, warning):
    tmp_path, inspected = job
    assert run(tmp_path, "pairs", text) == 0
    err = capsys.readouterr().err
    run_json = json.loads((tmp_path / "out" / "run.json").read_text())
    page = (tmp_path / "out" / "report.html").read_text()
    assert sorted(inspected) == ["prints/ok.png", "prints/spot.png"]
    if warning is None:
        assert run_json["warnings"] == [] and err == "" and 'class="warnings"' not in page
        return
    (said,) = run_json["warnings"]
    assert warning in said and err.startswith("qlo_batch: warning: " + said)
    assert page.index(html.escape(said)) < page.index('<table id="report"')


def png_bomb(path, side):
    """A grey PNG of side x side black pixels in a few hundred kilobytes: one
    deflate segment of 100 zero rows, repeated."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    pack = zlib.compressobj(9, zlib.DEFLATED, -15)
    segment = pack.compress(b"\0" * (side + 1) * 100) + pack.flush(zlib.Z_FULL_FLUSH)
    raw = (side + 1) * side     # a filter byte and the pixels of each row; all zero, so adler32 is simple
    stream = b"\x78\x01" + segment * (side // 100) + b"\x03\x00" + struct.pack(">I", (raw % 65521) << 16 | 1)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 0, 0, 0, 0))
                     + chunk(b"IDAT", stream) + chunk(b"IEND", b""))


@pytest.mark.hardening
@pytest.mark.tooling
def test_a_decompression_bomb_is_refused_from_its_header(tmp_path):
    png_bomb(tmp_path / "bomb.png", 18000)
    assert (tmp_path / "bomb.png").stat().st_size < 1 << 20
    done = run_python("""
        import resource
        from qlo_batch.image_files import read_grey
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for shape in ((2048, 2448), None):
            try:
                read_grey(%r, shape)
            except ValueError as error:
                print(error)
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)""" % str(tmp_path / "bomb.png"))
    assert done.returncode == 0, done.stderr
    as_target, as_standard, grown_mb = done.stdout.splitlines()
    assert as_target == "size mismatch: the image is 18000 x 18000, the standard 2448 x 2048"
    assert as_standard == "image too large: 18000 x 18000 (324000000 pixels), more than the 134217728 an image " \
        "may have"
    assert int(grown_mb) < 16       # decoding it takes 324 MB at the least


def with_orientation(jpeg, orientation):
    """The JPEG with an EXIF segment holding only the Orientation tag."""
    ifd = struct.pack("<HHHIHHI", 1, 0x0112, 3, 1, orientation, 0, 0)
    payload = b"Exif\0\0II*\0" + struct.pack("<I", 8) + ifd
    return jpeg[:2] + b"\xff\xe1" + struct.pack(">H", len(payload) + 2) + payload + jpeg[2:]


@pytest.mark.parametrize("orientation", [3, 6, 8])
def test_a_camera_image_is_read_in_its_stored_pixel_order(job, orientation):
    tmp_path, _ = job
    jpeg = cv2.imencode(".jpg", label())[1].tobytes()
    (tmp_path / "standard.png").write_bytes(jpeg)
    (tmp_path / "prints" / "spot.png").write_bytes(with_orientation(jpeg, orientation))
    turned = cv2.imread(str(tmp_path / "prints" / "spot.png"), cv2.IMREAD_GRAYSCALE)
    assert not np.array_equal(turned, cv2.imdecode(np.frombuffer(jpeg, np.uint8), cv2.IMREAD_GRAYSCALE))
    assert np.array_equal(read_grey(tmp_path / "prints" / "spot.png"), read_grey(tmp_path / "standard.png"))
    assert image_size(tmp_path / "prints" / "spot.png") == (120, 90)
    assert run(tmp_path, "folder", "") == 0
    assert json.loads((tmp_path / "out" / "run.json").read_text())["files"]["spot.png"]["verdict"] == "OK"


@pytest.mark.parametrize("ext", [".png", ".jpg", ".bmp", ".tif", ".webp", ".pgm", ".ppm", ".pbm", ".pfm", ".pam",
                                 ".sr", ".jp2", ".hdr", ".gif"])
def test_header_sizes_are_the_decoded_sizes(tmp_path, ext):
    image = label(70, 90)
    if ext in (".pfm", ".hdr"):
        image = image.astype(np.float32) / 255
    if ext in (".ppm", ".hdr", ".jp2", ".webp", ".gif"):
        image = cv2.cvtColor(image, cv2.COLOR_GRAY2BGR)
    assert cv2.imwrite(str(tmp_path / ("x" + ext)), image)
    assert image_size(tmp_path / ("x" + ext)) == (90, 70)
    grey = read_grey(tmp_path / ("x" + ext), (70, 90))
    assert np.array_equal(grey, cv2.imread(str(tmp_path / ("x" + ext)), cv2.IMREAD_GRAYSCALE))
    with pytest.raises(ValueError, match="size mismatch: the image is 90 x 70, the standard 90 x 71"):
        read_grey(tmp_path / ("x" + ext), (71, 90))


def exr_header(x1, y1, x2, y2):
    window = b"dataWindow\0box2i\0" + struct.pack("<I4i", 16, x1, y1, x2, y2)
    return b"\x76\x2f\x31\x01\x02\0\0\0channels\0chlist\0" + struct.pack("<I", 1) + b"\0" + window + b"\0"


@pytest.mark.parametrize("data", [      # headers OpenCV does not write here, made by hand: all 300 x 200
    exr_header(10, 20, 309, 219),
    b"II+\0" + struct.pack("<HHQ", 8, 0, 16) + struct.pack("<QHHQQHHQQ", 2, 256, 4, 1, 300, 257, 16, 1, 200),
    b"MM\0*" + struct.pack(">I", 8) + struct.pack(">HHHIHHHHIIxx", 2, 256, 3, 1, 300, 0, 257, 4, 1, 200),
    b"\xff\x4f\xff\x51\0\x29\0\0" + struct.pack(">IIII", 305, 207, 5, 7),
    b"BM" + bytes(12) + struct.pack("<IHH", 12, 300, 200),
    b"BM" + bytes(12) + struct.pack("<Iii", 40, 300, -200),
    b"RIFF\0\0\0\0WEBPVP8X\0\0\0\0" + bytes(4) + (299).to_bytes(3, "little") + (199).to_bytes(3, "little"),
    b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n+X 300 -Y 200\n",
    b"P7\nWIDTH 300\nHEIGHT 200\nDEPTH 1\nMAXVAL 255\nENDHDR\n",
    b"P5 # made by hand\n300\n# rows\n200 255\n",
])
def test_headers_made_by_hand_give_their_size(tmp_path, data):
    (tmp_path / "x").write_bytes(data)
    assert image_size(tmp_path / "x") == (300, 200)


def encoded(ext):
    return cv2.imencode(ext, label())[1].tobytes()


def flipped(data, at):
    return data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1:]


PNG, JPEG = encoded(".png"), encoded(".jpg")
IDAT = PNG.index(b"IDAT") + 8
# (the file's bytes, the reason its ERROR row gives): no decoder is reached
DAMAGED = [
    (PNG[:len(PNG) // 2], "truncated file: the PNG data stops after %d bytes, before its end" % (len(PNG) // 2)),
    (PNG[:-12], "truncated file: the PNG data stops after %d bytes, before its end" % (len(PNG) - 12)),
    (flipped(PNG, IDAT + 5), "damaged file: its PNG IDAT chunk fails its checksum"),
    (JPEG[:len(JPEG) - 40], "truncated file: the JPEG data stops after %d bytes, before its end marker"
     % (len(JPEG) - 40)),
    (b"\x89PNG\r\n\x1a\n not an image", "damaged file: its PNG header cannot be read"),
    (b"\xff\xd8\xff\xda\x00\x02", "damaged file: its JPEG header cannot be read"),
    (b"BM\x00", "damaged file: its BMP header cannot be read"),
    (b"II*\0\xff\xff\xff\x7f", "damaged file: its TIFF header cannot be read"),
    (b"P5 12", "damaged file: its PNM header cannot be read"),
    (b"RIFF\0\0\0\0WEBPVP9 ", "damaged file: its WebP header cannot be read"),
    (b"not an image at all\n", "not an image file: it holds text"),
    ("Prüfprotokoll, Los 7\r\n".encode() * 40, "not an image file: it holds text"),
    (b"PK\x03\x04\x14\x00\x00\x08\xff\xfe", "not an image file: its content is of no image format OpenCV reads"),
    (b"", "empty file (0 bytes)"),
]


@pytest.mark.parametrize("data, reason", DAMAGED)
def test_a_damaged_or_unknown_file_is_refused_in_words_without_decoding(tmp_path, monkeypatch, data, reason):
    (tmp_path / "bad.png").write_bytes(data)
    monkeypatch.setattr(image_files, "decode_bounded", lambda *args: pytest.fail("decoded"))
    monkeypatch.setattr(image_files.cv2, "imdecode", lambda *args: pytest.fail("decoded"))
    with pytest.raises(ValueError) as refused:
        read_grey(tmp_path / "bad.png")
    assert str(refused.value) == reason


# What an exception says in a row: the reason in words, never Python's class name.
@pytest.mark.parametrize("error, words", [
    (FileNotFoundError(2, "No such file or directory"), "file not found (missing, or removed while the run went on)"),
    (PermissionError(13, "Permission denied"), "permission denied: this user may not read the file"),
    (IsADirectoryError(21, "Is a directory"), "a folder, not an image file"),
    (OSError(5, "Input/output error"), "the file cannot be read: Input/output error"),
    (MemoryError(), "out of memory while inspecting the file"),
    (cv2.error("OpenCV: (-215) bad size"), "OpenCV: (-215) bad size"),
    (RuntimeError(), "the inspection failed without saying why"),
])
def test_a_failure_is_said_in_words(error, words):
    assert image_files.in_words(error) == words


def test_damaged_files_get_rows_in_words_and_no_decoder_noise(job, capfd, monkeypatch):
    tmp_path, _ = job
    prints = tmp_path / "prints"
    for name, (data, _) in zip(("cut.png", "crc.png", "cut.jpg", "text.png"), (DAMAGED[0], DAMAGED[2], DAMAGED[3],
                                                                             DAMAGED[10])):
        (prints / name).write_bytes(data)
    (prints / "locked.png").write_bytes(PNG)
    (prints / "locked.png").chmod(0)
    (prints / "gone.png").write_bytes(PNG)        # removed after the listing, before it is read
    inspect = work_unit.Inspector.inspect
    monkeypatch.setattr(work_unit.Inspector, "inspect", lambda self, task, start: (
        task.file == "gone.png" and os.remove(task.target), inspect(self, task, start))[1])
    assert run(tmp_path, "folder", "") == 0
    errors = {row["file"]: row["error"] for row in json.loads((tmp_path / "out" / "run.json").read_text())["errors"]}
    reasons = {"cut.png": DAMAGED[0][1], "crc.png": DAMAGED[2][1], "cut.jpg": DAMAGED[3][1], "text.png": DAMAGED[10][1],
               "gone.png": "file not found (missing, or removed while the run went on)"}
    if os.geteuid() != 0:       # root reads any file
        reasons["locked.png"] = "permission denied: this user may not read the file"
    assert {name: errors[name] for name in reasons} == reasons
    noise = capfd.readouterr().err
    assert "libpng" not in noise and "JPEG" not in noise, noise


@pytest.mark.hardening
@pytest.mark.tooling
def test_a_format_without_a_header_reader_is_decoded_under_a_ceiling(tmp_path):
    if not cv2.imwrite(str(tmp_path / "x.avif"), cv2.cvtColor(label(), cv2.COLOR_GRAY2BGR)):
        pytest.skip("no AVIF encoder in this OpenCV")
    assert image_size(tmp_path / "x.avif") is None
    direct = cv2.imread(str(tmp_path / "x.avif"), cv2.IMREAD_GRAYSCALE)
    assert np.array_equal(read_grey(tmp_path / "x.avif", (90, 120)), direct)
    with pytest.raises(ValueError, match="unsupported format or damaged file: OpenCV decodes no image of at most 100"):
        read_grey(tmp_path / "x.avif", (10, 10))


@pytest.mark.parametrize("out, options, error", [
    ("", [], "OUT_DIR is empty"),
    ("out", ["--workers", "0"], "--workers must be at least 1, not 0"),
    ("out", ["--workers", "-3", "--dask"], "--workers must be at least 1, not -3"),
])
def test_a_bad_argument_stops_the_run_before_any_work(job, capsys, monkeypatch, out, options, error):
    tmp_path, inspected = job
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit, match="^2$") if options else contextlib.nullcontext():
        assert main(["standard.png", "prints", out, "--no-progress"] + options) == 2
    assert error in capsys.readouterr().err and inspected == [] and not (tmp_path / "report.csv").exists()


def png_header(width, height):
    """A PNG file that is its signature and IHDR chunk alone."""
    ihdr = b"IHDR" + struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + struct.pack(">I", 13) + ihdr + struct.pack(">I", zlib.crc32(ihdr))


@pytest.mark.parametrize("content, error", [
    (None, "standard.png: file not found"),
    (b"", "standard.png: empty file (0 bytes)"),
    (b"standard", "standard.png: not an image file: it holds text"),
    (png_header(12000, 12000), "standard.png: image too large: 12000 x 12000 (144000000 pixels), more than the "
                               "134217728"),
])
def test_a_standard_that_cannot_be_used_stops_the_run(job, capsys, content, error):
    tmp_path, inspected = job
    (tmp_path / "standard.png").unlink()
    if content is not None:
        (tmp_path / "standard.png").write_bytes(content)
    assert run(tmp_path, "folder", "") == 2
    message = capsys.readouterr().err
    assert message.count("\n") == 1 and error in message and inspected == []


def test_a_target_that_cannot_match_is_an_error_row_without_decoding(job, monkeypatch):
    tmp_path, _ = job
    (tmp_path / "prints" / "bomb.png").write_bytes(png_header(18000, 18000))
    os.mkfifo(tmp_path / "prints" / "pipe.png")
    (tmp_path / "pairs.csv").write_text("standard,target\nstandard.png,prints/bomb.png\nstandard.png,prints/pipe.png\n"
                                        "standard.png,prints/ok.png\n")
    assert run(tmp_path, "pairs", "") == 0
    files = json.loads((tmp_path / "out" / "run.json").read_text())["files"]
    assert [files[name]["verdict"] for name in ("prints/bomb.png", "prints/pipe.png", "prints/ok.png")] == \
        ["ERROR", "ERROR", "OK"]
    errors = (tmp_path / "out" / "report.csv").read_text()
    assert "size mismatch: the image is 18000 x 18000, the standard 120 x 90" in errors
    assert "not a regular file" in errors


def test_a_name_that_is_not_utf8_is_read(tmp_path):
    for name, data in ((b"caf\xe9.png", cv2.imencode(".png", label())[1].tobytes()), (b"caf\xe9.bin", b"text")):
        path = os.path.join(os.fsencode(tmp_path), name)
        with open(path, "wb") as f:
            f.write(data)
        if name.endswith(b".png"):
            assert np.array_equal(read_grey(os.fsdecode(path)), label())
        else:
            with pytest.raises(ValueError, match="^not an image file: it holds text$"):
                read_grey(os.fsdecode(path))


def damaged_corpus():
    """(name, bytes): for each header reader, a small valid file of its format
    cut short at several lengths and with its header bytes overwritten, and
    headers claiming absurd counts (a BigTIFF directory of 2**60 entries)."""
    image = label(40, 48)
    files = [(ext, cv2.imencode(ext, image)[1].tobytes())
             for ext in (".png", ".jpg", ".bmp", ".webp", ".pgm", ".ras", ".tif", ".jp2", ".hdr")]
    files += [(".exr", exr_header(0, 0, 47, 39)),
              (".gif", b"GIF89a" + struct.pack("<HH", 48, 40) + bytes(8)),
              (".j2k", b"\xff\x4f\xff\x51\0\x29\0\0" + struct.pack(">IIII", 48, 40, 0, 0))]
    rng = np.random.default_rng(7)
    corpus = [("bigtiff", b"II+\0" + struct.pack("<HHQ", 8, 0, 16) + struct.pack("<Q", 1 << 60)),
              ("tiff-far", b"II*\0" + struct.pack("<I", 0xFFFFFFF0))]
    for ext, data in files:
        for cut in sorted({1, 2, 4, 8, 12, 16, 24, 33, len(data) // 2, len(data) - 1}):
            corpus.append(("%s cut at %d" % (ext, cut), data[:cut]))
        for trial in range(6):
            mutated = bytearray(data)
            at = rng.integers(0, min(len(data), 48), 3)
            mutated[at[0]], mutated[at[1]], mutated[at[2]] = 0xFF, 0, int(rng.integers(256))
            corpus.append(("%s mutated %d" % (ext, trial), bytes(mutated)))
    return corpus


# Whatever a damaged file holds, its header reader and the decoding answer
# with a size, an image or a ValueError (an ERROR row), never another error.
@pytest.mark.parametrize("name, data", damaged_corpus(), ids=lambda v: v if isinstance(v, str) else "")
def test_a_damaged_file_gives_a_size_or_a_value_error(tmp_path, name, data):
    path = tmp_path / "x.img"
    path.write_bytes(data)
    for read in (image_size, lambda p: read_grey(p, (40, 48)), read_grey):
        try:
            read(path)
        except ValueError as error:
            assert str(error) and "Error" not in str(error)
