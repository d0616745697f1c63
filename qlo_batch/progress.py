"""Progress of a run on stderr: tqdm's bar when tqdm is installed (the `batch`
extra), otherwise one plain text line, rewritten as the run advances."""
import contextlib
import sys
import time


class PlainBar:
    """The part of tqdm's interface the runs use, drawn as one line of text
    ("12/39 img 31 % NG a.png"), at most every `interval` seconds and once
    at the end; closing ends the line."""

    def __init__(self, total, unit, file=None, interval=0.2):
        self.total, self.n, self.unit = total, 0, unit
        self.file = sys.stderr if file is None else file
        self.interval = interval
        self.postfix = ""
        self.drawn_at = None
        self.width = 0
        self.closed = False

    def update(self, count=1):
        self.n += count
        now = time.monotonic()
        if self.drawn_at is None or now - self.drawn_at >= self.interval or self.n == self.total:
            self.refresh()

    def set_postfix_str(self, text, refresh=True):
        self.postfix = text
        if refresh:
            self.refresh()

    def line(self):
        parts = ["%d/%s %s" % (self.n, "?" if self.total is None else self.total, self.unit)]
        if self.total:
            parts.append("%d %%" % (100 * self.n // self.total))
        if self.postfix:
            parts.append(self.postfix)
        return " ".join(parts)

    def refresh(self):
        text = self.line()
        # Spaces cover what is left of a longer line drawn before.
        self.file.write("\r" + text + " " * max(0, self.width - len(text)))
        self.file.flush()
        self.width = len(text)
        self.drawn_at = time.monotonic()

    def close(self):
        if self.closed:
            return
        self.closed = True
        self.refresh()
        self.file.write("\n")
        self.file.flush()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


def progress_bar(total, enabled, unit, done=0):
    """A context manager giving a bar of `total` steps, `done` of them already
    made (None when not `enabled`)."""
    if not enabled:
        return contextlib.nullcontext(None)
    try:
        from tqdm import tqdm
    except ImportError:
        bar = PlainBar(total, unit)
        bar.n = done
        return bar
    return tqdm(total=total, initial=done, unit=unit, file=sys.stderr, dynamic_ncols=True)
