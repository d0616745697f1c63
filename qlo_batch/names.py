"""How the names of files (and other free text) are written into the reports.

A folder on a POSIX system may hold names that are not valid UTF-8 (a byte
0xE9 from a Latin-1 folder): Python hands them over with the bytes kept as
lone surrogates, which no UTF-8 file can hold. The reports write each such
byte as the four characters `\\xe9`, so the CSV tables and the page stay
UTF-8 and name every file (run.json keeps the name exactly, as JSON's
`\\udce9` escape, so the commands that read a run find the file again).

CSV cells that a spreadsheet would take for a formula (text beginning with
`=`, `+`, `-`, `@`, a tab or a carriage return) get a leading apostrophe,
the mark a spreadsheet user types to enter such a text as text;
`from_csv_cell` takes it off again.

On the page, characters that are invisible or that would reorder the text
around them (bidirectional overrides, zero-width characters, line breaks and
other control characters) are shown as markers such as `<U+202E>`, so a name
reads as it is stored.
"""
import html
import os
import re
import unicodedata
from urllib.parse import quote_from_bytes

_SURROGATE = re.compile(r"[\ud800-\udfff]")
# A formula trigger, after any apostrophes: a cell that already begins with
# apostrophes before one gets one more, so that taking one off is exact.
_FORMULA = re.compile(r"'*[=+\-@\t\r]")
# Control, format (bidirectional marks and overrides, zero-width characters),
# line and paragraph separators, and surrogates.
_HIDDEN_CATEGORIES = frozenset(("Cc", "Cf", "Zl", "Zp", "Cs"))
# Printable ASCII: no character of it gets a marker, so such text is escaped
# whole (most names and every number), not character by character.
_PLAIN = re.compile(r"[\x20-\x7e]*")


def _not_utf8(code):
    """`\\xNN` for a byte of a name that is not UTF-8 (kept as a surrogate), else None."""
    return "\\x%02x" % (code - 0xDC00) if 0xDC80 <= code <= 0xDCFF else None


def readable(text):
    """`text` with the bytes that are not UTF-8 written as `\\xNN`: a string
    any UTF-8 file can hold."""
    return _SURROGATE.sub(lambda match: _marker(match.group()), text)


def csv_cell(text):
    """A text cell for a CSV table: readable, with a leading apostrophe when a
    spreadsheet would otherwise run it as a formula."""
    text = readable(text)
    return "'" + text if _FORMULA.match(text) else text


def from_csv_cell(cell):
    """The text a `csv_cell` was made from (the apostrophe taken off)."""
    return cell[1:] if cell.startswith("'") and _FORMULA.match(cell, 1) else cell


def _marker(char):
    """What the reports show instead of `char`, or None when it is shown as it is."""
    if char.isprintable():
        return None
    code = ord(char)
    if unicodedata.category(char) not in _HIDDEN_CATEGORIES:
        return None
    return _not_utf8(code) or "<U+%04X>" % code


def html_text(text):
    """`text` escaped for HTML, with every invisible or reordering character
    and every byte that is not UTF-8 shown as a marker in its own span."""
    if _PLAIN.fullmatch(text):
        return html.escape(text)
    return "".join(html.escape(char) if marker is None else '<span class="ctl">%s</span>' % html.escape(marker)
                   for char, marker in ((char, _marker(char)) for char in text))


def shown(text):
    """The plain text `html_text` shows for `text` (markers included)."""
    if _PLAIN.fullmatch(text):
        return text
    return "".join(_marker(char) or char for char in text)


def file_uri(path):
    """The file: URI of an absolute path, as pathlib's as_uri makes it, without
    building a path object (a page of many rows links every print)."""
    return "file://" + quote_from_bytes(os.fsencode(path))
