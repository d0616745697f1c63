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
import re
import unicodedata

_SURROGATE = re.compile(r"[\ud800-\udfff]")
# A formula trigger, after any apostrophes: a cell that already begins with
# apostrophes before one gets one more, so that taking one off is exact.
_FORMULA = re.compile(r"'*[=+\-@\t\r]")
# Control, format (bidirectional marks and overrides, zero-width characters),
# line and paragraph separators, and surrogates.
_HIDDEN_CATEGORIES = frozenset(("Cc", "Cf", "Zl", "Zp", "Cs"))


def _escape_surrogate(match):
    code = ord(match.group())
    if 0xDC80 <= code <= 0xDCFF:      # a byte of a name that is not UTF-8
        return "\\x%02x" % (code - 0xDC00)
    return "\\u%04x" % code


def readable(text):
    """`text` with the bytes that are not UTF-8 written as `\\xNN`: a string
    any UTF-8 file can hold."""
    return _SURROGATE.sub(_escape_surrogate, text)


def csv_cell(text):
    """A text cell for a CSV table: readable, with a leading apostrophe when a
    spreadsheet would otherwise run it as a formula."""
    text = readable(text)
    return "'" + text if _FORMULA.match(text) else text


def from_csv_cell(cell):
    """The text a `csv_cell` was made from (the apostrophe taken off)."""
    return cell[1:] if cell.startswith("'") and _FORMULA.match(cell, 1) else cell


def _marker(char):
    code = ord(char)
    if 0xDC80 <= code <= 0xDCFF:
        return "\\x%02x" % (code - 0xDC00)
    if unicodedata.category(char) in _HIDDEN_CATEGORIES:
        return "<U+%04X>" % code
    return None


def html_text(text):
    """`text` escaped for HTML, with every invisible or reordering character
    and every byte that is not UTF-8 shown as a marker in its own span."""
    parts = []
    plain = []
    for char in text:
        marker = None if char.isprintable() else _marker(char)
        if marker is None:
            plain.append(char)
            continue
        parts.append(html.escape("".join(plain)))
        plain = []
        parts.append('<span class="ctl">%s</span>' % html.escape(marker))
    parts.append(html.escape("".join(plain)))
    return "".join(parts)


def shown(text):
    """The plain text `html_text` shows for `text` (markers included)."""
    return "".join((None if char.isprintable() else _marker(char)) or char for char in text)
