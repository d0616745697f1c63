"""Image files as the batch tool takes them in. The size of an image is read
from its file's header before any pixel is decoded, so a file that cannot
match its standard, or is too large to be one, is refused at the cost of
reading a few bytes (an 18 000 x 18 000 PNG of a few kilobytes would take a
minute and gigabytes to decode). Images are decoded once, straight to 8-bit
grey, in the pixel order the file stores: a camera's EXIF orientation tag
does not turn them, so a standard and a target compare pixel for pixel
whatever tags their files carry."""
import os
import re
import struct
import subprocess
import sys
import zlib

import cv2
import numpy as np

from qlo_batch.inputs import open_input

# The most pixels an image may have when no standard says what size it must
# be (a standard itself, an image of the evaluation pages): 128 megapixels,
# 25 times a 5-megapixel camera image. The comparator works on several 16-bit
# copies of it, so this keeps a run within a few gigabytes.
MAX_PIXELS = 1 << 27
# Grey decoding, with the pixels in the order the file stores them.
READ_FLAGS = cv2.IMREAD_GRAYSCALE | cv2.IMREAD_IGNORE_ORIENTATION
HEAD_BYTES = 1 << 16
# Decoding a file whose size the header readers below cannot tell runs in a
# child process under these ceilings: OpenCV's own check of the size the
# decoder reads from the header, and a limit on the child's address space.
CHILD_ADDRESS_SPACE = 3 << 30
CHILD_SECONDS = 120


def in_words(error):
    """What an exception raised while reading or inspecting a file says to a
    person reading the report: the reason in words, without Python's class
    names. Every ERROR row's text is made here."""
    if isinstance(error, FileNotFoundError):
        return "file not found (missing, or removed while the run went on)"
    if isinstance(error, PermissionError):
        return "permission denied: this user may not read the file"
    if isinstance(error, IsADirectoryError):
        return "a folder, not an image file"
    if isinstance(error, OSError):
        return "the file cannot be read: %s" % (error.strerror or error)
    if isinstance(error, MemoryError):
        return "out of memory while inspecting the file"
    return str(error) or "the inspection failed without saying why"


def image_format(head):
    """(format name, header reader) of the file beginning with `head`, or None."""
    for signature, name, reader in SIGNATURES:
        if head.startswith(signature):
            return name, reader
    return None


def image_size(path):
    """(width, height) of the image file at `path` read from its header, or
    None when the format is not one of those read here; ValueError when the
    format is known but its header is damaged (no decoder would read it), or
    the path is not a regular file; OSError when the file cannot be read."""
    with open_input(path) as f:
        return _header_size(f)


def _header_size(f):
    """image_size of the open file, read from its start."""
    head = f.read(HEAD_BYTES)
    known = image_format(head)
    if known is None:
        return None
    name, reader = known
    try:
        size = reader(head, f)
    except (struct.error, ValueError, IndexError, OverflowError):
        size = None
    if size is None or min(size) <= 0:
        raise ValueError("damaged file: its %s header cannot be read" % name)
    return size


def header_sizes(paths):
    """(path, width, height) of each of the image files whose header tells its
    size, without decoding any; files that cannot be read are left out (a run
    reports them when it comes to them)."""
    sizes = []
    for path in paths:
        try:
            size = image_size(path)
        except (OSError, ValueError):
            continue
        if size is not None:
            sizes.append((path, *size))
    return sizes


def read_grey(path, shape=None, max_pixels=MAX_PIXELS):
    """The file as an 8-bit grey image in its stored pixel order. With `shape`
    (rows, columns of the standard) a file of another size is refused before
    decoding; without, one of more than `max_pixels` pixels is. ValueError when
    it is not a readable image or is refused, OSError when the file cannot be
    read."""
    with open_input(path) as f:     # one open, as a regular file: a FIFO or a device would hang or never end
        if os.fstat(f.fileno()).st_size == 0:
            raise ValueError("empty file (0 bytes)")
        size = _header_size(f)
        f.seek(0)
        if size is not None:
            check_size(size, shape, max_pixels)
            data = f.read()
        else:
            head = f.read(512)
            if not bounded_format(head):
                raise ValueError(not_an_image(head))
            data = head + f.read()
    if size is not None:
        # A damaged or cut-short file is told from its bytes before the decoder
        # sees it: libpng would print its complaint on the terminal, without
        # the file's name.
        name = (image_format(data) or ("image",))[0]
        problem = damage(name, data)
        if problem:
            raise ValueError(problem)
        try:
            image = cv2.imdecode(np.frombuffer(data, np.uint8), READ_FLAGS)
        except cv2.error as error:      # a codec this OpenCV has switched off (OpenEXR), or one that failed
            raise ValueError("unsupported format or damaged file: the %s decoder failed (%s)"
                             % (name, getattr(error, "err", "") or "no reason given")) from None
        if image is None:
            raise ValueError("damaged file: the %s decoder could not read its data" % name)
    else:       # a format OpenCV may read but the readers here do not: decoded under a ceiling
        limit = max_pixels if shape is None else shape[0] * shape[1]
        image = decode_bounded(data, limit)
        if image is None:
            raise ValueError("unsupported format or damaged file: OpenCV decodes no image of at most %d pixels "
                             "from it" % limit)
    if image.size == 0:
        raise ValueError("empty image (no pixels)")
    if shape is not None:
        check_size(image.shape[::-1], shape, max_pixels)
    return image


def not_an_image(head):
    """Why a file of no image format OpenCV reads, starting with the bytes
    `head` (its first 512), is refused, in words."""
    try:
        text = head.decode("utf-8")
    except UnicodeDecodeError:      # may end inside a character: judged on what came before
        text = head[:max(0, len(head) - 3)].decode("utf-8", "replace")
    if all(c.isprintable() or c in "\t\r\n" for c in text):
        return "not an image file: it holds text"
    return "not an image file: its content is of no image format OpenCV reads"


def damage(name, data):
    """Why the whole bytes of a PNG or JPEG file cannot hold a whole image
    (cut short, or a PNG chunk failing its checksum), or None. Other
    formats are left to their decoders."""
    if name == "PNG":
        view, at = memoryview(data), 8
        while at + 12 <= len(data):
            (length,) = struct.unpack(">I", data[at:at + 4])
            kind = data[at + 4:at + 8]
            end = at + 12 + length
            if end > len(data):
                break
            (crc,) = struct.unpack(">I", data[end - 4:end])
            if zlib.crc32(view[at + 4:end - 4]) != crc:
                return "damaged file: its PNG %s chunk fails its checksum" % kind.decode("ascii", "replace")
            if kind == b"IEND":
                return None
            at = end
        return "truncated file: the PNG data stops after %d bytes, before its end" % len(data)
    if name == "JPEG" and data.rfind(b"\xff\xd9") < data.rfind(b"\xff\xda"):
        # Inside the coded data an 0xFF byte is followed by 0 or a restart
        # marker, so the last scan's start and the end marker are found as such.
        return "truncated file: the JPEG data stops after %d bytes, before its end marker" % len(data)
    return None


def bounded_format(head):
    """Whether a file starting with the bytes `head` may be of a format OpenCV
    decodes without a header reader here (AVIF and its ISO base media file
    relatives, JPEG XL). Every other format OpenCV decodes has a header reader
    below, so a file of none of these is not an image. (The file's own bytes
    decide: OpenCV's haveImageReader crashes on a name that is not valid
    UTF-8.)"""
    return head[4:8] == b"ftyp" or head.startswith((b"\xff\x0a", b"\0\0\0\x0cJXL "))


def check_size(size, shape, max_pixels=MAX_PIXELS):
    """Raises ValueError when an image of `size` (width, height) cannot be
    compared with a standard of `shape` (rows, columns), or, without a
    standard, has more than `max_pixels` pixels."""
    width, height = size
    if shape is not None:
        if (height, width) != tuple(shape):
            raise ValueError("size mismatch: the image is %d x %d, the standard %d x %d"
                             % (width, height, shape[1], shape[0]))
    elif width * height > max_pixels:
        raise ValueError("image too large: %d x %d (%d pixels), more than the %d an image may have"
                         % (width, height, width * height, max_pixels))


CHILD = r"""
import resource, sys
resource.setrlimit(resource.RLIMIT_AS, (int(sys.argv[1]), int(sys.argv[1])))
import cv2, numpy as np
try:
    image = cv2.imdecode(np.frombuffer(sys.stdin.buffer.read(), np.uint8), int(sys.argv[2]))
except (cv2.error, MemoryError):
    image = None
if image is not None and image.ndim == 2:
    sys.stdout.buffer.write(np.array(image.shape, np.int64).tobytes() + np.ascontiguousarray(image).tobytes())
"""


def decode_bounded(data, max_pixels):
    """cv2.imdecode(data, READ_FLAGS) in a child process that refuses an image
    of more than `max_pixels` pixels and cannot take more than a bounded
    amount of memory; None when the child decoded nothing."""
    env = dict(os.environ, OPENCV_IO_MAX_IMAGE_PIXELS=str(max(1, max_pixels)))
    limit = CHILD_ADDRESS_SPACE + 8 * max_pixels
    try:
        done = subprocess.run([sys.executable, "-c", CHILD, str(limit), str(READ_FLAGS)], input=data,
                              capture_output=True, env=env, timeout=CHILD_SECONDS)
    except subprocess.TimeoutExpired:
        return None
    out = done.stdout
    if done.returncode != 0 or len(out) < 16:
        return None
    rows, cols = np.frombuffer(out[:16], np.int64)
    if rows * cols != len(out) - 16 or rows * cols > max_pixels:
        return None
    return np.frombuffer(out[16:], np.uint8).reshape(rows, cols).copy()


# Header readers: each takes the file's first bytes and the open file (for
# formats whose size may lie further on) and returns (width, height).

def _png(head, f):
    if head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


# Start-of-frame markers of every JPEG coding process (not DHT, JPG or DAC).
JPEG_FRAMES = frozenset(range(0xC0, 0xD0)) - {0xC4, 0xC8, 0xCC}


def _jpeg(head, f):
    f.seek(2)
    while True:
        byte = f.read(1)
        if not byte:
            return None
        if byte != b"\xff":        # bytes between segments: skipped to the next marker, as libjpeg does
            if not _skip_to(f, b"\xff"):
                return None
            continue
        marker = f.read(1)
        while marker == b"\xff":       # fill bytes
            marker = f.read(1)
        if not marker:
            return None
        code = marker[0]
        if code == 0x01 or 0xD0 <= code <= 0xD8:      # markers without a length
            continue
        if code == 0xDA or code == 0xD9:             # scan data or the end before any frame header
            return None
        (length,) = struct.unpack(">H", f.read(2))
        if code in JPEG_FRAMES:
            _precision, height, width = struct.unpack(">BHH", f.read(5))
            return (width, height) if height else None      # a height given only after the scan: unknown
        f.seek(length - 2, 1)


def _skip_to(f, byte):
    """Moves the file to the next `byte`; False when there is none."""
    while True:
        chunk = f.read(HEAD_BYTES)
        if not chunk:
            return False
        at = chunk.find(byte)
        if at >= 0:
            f.seek(at - len(chunk), 1)
            return True


def _bmp(head, f):
    (header,) = struct.unpack("<I", head[14:18])
    if header == 12:
        return struct.unpack("<HH", head[18:22])
    width, height = struct.unpack("<ii", head[18:26])
    return width, abs(height)


def _gif(head, f):
    return struct.unpack("<HH", head[6:10])


def _webp(head, f):
    if head[8:12] != b"WEBP":
        return None
    chunk = head[12:16]
    if chunk == b"VP8 ":
        width, height = struct.unpack("<HH", head[26:30])
        return width & 0x3FFF, height & 0x3FFF
    if chunk == b"VP8L":
        (bits,) = struct.unpack("<I", head[21:25])
        return (bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1
    if chunk == b"VP8X":
        return (int.from_bytes(head[24:27], "little") + 1, int.from_bytes(head[27:30], "little") + 1)
    return None


PNM_TOKENS = re.compile(rb"(?:\s+|#[^\n]*\n?)*(\S+)")


def _pnm(head, f):
    if head[:2] == b"P7":
        fields = dict(re.findall(rb"^(WIDTH|HEIGHT)\s+(\d+)", head.split(b"ENDHDR")[0], re.M))
        return int(fields[b"WIDTH"]), int(fields[b"HEIGHT"])
    tokens, at = [], 2
    while len(tokens) < 2:
        found = PNM_TOKENS.match(head, at)
        if found is None:
            return None
        tokens.append(int(found.group(1)))
        at = found.end()
    return tokens[0], tokens[1]


def _sun(head, f):
    return struct.unpack(">II", head[4:12])


TIFF_TYPES = {3: "H", 4: "I", 16: "Q"}


def _tiff(head, f):
    order = "<" if head[:2] == b"II" else ">"
    big = struct.unpack(order + "H", head[2:4])[0] == 43
    if big:
        (offset,) = struct.unpack(order + "Q", head[8:16])
        count_format, entry_format, entry_size = "Q", "HHQ8s", 20
    else:
        (offset,) = struct.unpack(order + "I", head[4:8])
        count_format, entry_format, entry_size = "H", "HHI4s", 12
    f.seek(offset)
    count_size = struct.calcsize(count_format)
    (count,) = struct.unpack(order + count_format, f.read(count_size))
    table = f.read(count * entry_size)
    size = {}
    for index in range(count):
        tag, kind, _number, value = struct.unpack(order + entry_format, table[index * entry_size:][:entry_size])
        if tag in (256, 257) and kind in TIFF_TYPES:
            item = TIFF_TYPES[kind]
            size[tag] = struct.unpack(order + item, value[:struct.calcsize(item)])[0]
    return (size[256], size[257]) if len(size) == 2 else None


def _jp2(head, f):
    at = 0
    while at + 8 <= len(head):
        length, kind = struct.unpack(">I4s", head[at:at + 8])
        if kind == b"jp2h":
            at += 8         # a box of boxes: step into it
            continue
        if kind == b"ihdr":
            height, width = struct.unpack(">II", head[at + 8:at + 16])
            return width, height
        if length < 8:
            return None
        at += length
    return None


def _j2k(head, f):
    x, y, x0, y0 = struct.unpack(">IIII", head[8:24])
    return x - x0, y - y0


def _exr(head, f):
    at = 8
    while head[at:at + 1] not in (b"\0", b""):
        name_end = head.index(b"\0", at)
        type_end = head.index(b"\0", name_end + 1)
        (length,) = struct.unpack("<I", head[type_end + 1:type_end + 5])
        if head[at:name_end] == b"dataWindow":
            x1, y1, x2, y2 = struct.unpack("<iiii", head[type_end + 5:type_end + 21])
            return x2 - x1 + 1, y2 - y1 + 1
        at = type_end + 5 + length
    return None


def _hdr(head, f):
    _, blank, rest = head.partition(b"\n\n")
    found = re.match(rb"\s*([-+])([XY])\s+(\d+)\s+([-+])([XY])\s+(\d+)", rest) if blank else None
    if found is None:
        return None
    sizes = {found.group(2): int(found.group(3)), found.group(5): int(found.group(6))}
    return sizes[b"X"], sizes[b"Y"]


# (signature, format name, header reader)
SIGNATURES = (
    (b"\x89PNG\r\n\x1a\n", "PNG", _png),
    (b"\xff\xd8", "JPEG", _jpeg),
    (b"BM", "BMP", _bmp),
    (b"GIF87a", "GIF", _gif), (b"GIF89a", "GIF", _gif),
    (b"RIFF", "WebP", _webp),
    *((b"P%d" % n, "PNM", _pnm) for n in range(1, 8)), (b"PF", "PFM", _pnm), (b"Pf", "PFM", _pnm),
    (b"\x59\xa6\x6a\x95", "Sun raster", _sun),
    (b"II*\0", "TIFF", _tiff), (b"MM\0*", "TIFF", _tiff), (b"II+\0", "TIFF", _tiff), (b"MM\0+", "TIFF", _tiff),
    (b"\0\0\0\x0cjP  \r\n\x87\n", "JPEG 2000", _jp2),
    (b"\xff\x4f\xff\x51", "JPEG 2000", _j2k),
    (b"\x76\x2f\x31\x01", "OpenEXR", _exr),
    (b"#?RADIANCE", "Radiance HDR", _hdr), (b"#?RGBE", "Radiance HDR", _hdr),
)
