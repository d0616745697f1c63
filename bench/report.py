"""The report's tables and page for many rows (a tenth NG, two defects
each): the seconds ReportWriter.refresh takes to write defects.csv, run.json
and the pages for 10 000 and 100 000 rows, and the size of the first page,
now and as before (every name escaped character by character, a path object
made for each link, one page of every row), in alternating rounds. Linear
in the rows means the same time per thousand rows at both sizes."""
import contextlib
import re
import shutil
import tempfile
import time

from qlo_batch import names, report_page
from qlo_batch.report import ReportWriter

SIZES = (10_000, 100_000)
ROUNDS = 2


def rows(count):
    made = []
    for i in range(count):
        ng = i % 10 == 0
        name = "print_%06d" % i
        made.append({
            "file": name + ".png", "verdict": "NG" if ng else "OK", "ng_count": 2 if ng else 0,
            "descriptions": ["black spot: 6, [3, 4, 9, 12]", "white spot: 9, [30, 40, 39, 52]"] if ng else [],
            "boxes": [[3, 4, 9, 12], [30, 40, 39, 52]] if ng else [], "seconds": 0.01, "error": "",
            "marked_image": "", "thumbnail": "thumbs/%s~png.jpg" % name if ng else "",
            "defects": [([3, 4, 9, 12], "bridge", 12.5, 1), ([30, 40, 39, 52], "hole", 3.25, 1)] if ng else [],
            "width": 640, "height": 640, "target": "/data/prints/%s.png" % name, "standard": "/data/std.png",
            "crops": [([3, 4, 9, 12], "thumbs/%s~png~crop1.jpg" % name)] if ng else [],
            "standard_crops": ["thumbs/%s~png~standard1.jpg" % name] if ng else []})
    return made


@contextlib.contextmanager
def as_before():
    """Escaping character by character, a pathlib path per link, one page."""
    import pathlib
    saved = names._PLAIN, report_page.file_uri, report_page.PAGE_ROWS
    names._PLAIN = re.compile(r"(?!)")
    report_page.file_uri = lambda path: pathlib.Path(path).as_uri()
    report_page.PAGE_ROWS = 10 ** 9
    try:
        yield
    finally:
        names._PLAIN, report_page.file_uri, report_page.PAGE_ROWS = saved


def refresh(made, before):
    folder = tempfile.mkdtemp()
    try:
        writer = ReportWriter(folder)
        writer.rows = made
        with as_before() if before else contextlib.nullcontext():
            start = time.perf_counter()
            writer.refresh()
            seconds = time.perf_counter() - start
        writer.close()
        with open(folder + "/report.html", "rb") as page:
            size = len(page.read())
        return seconds, size
    finally:
        shutil.rmtree(folder)


def main():
    print("report: defects.csv, run.json and the pages for N rows (a tenth NG)")
    for count in SIZES:
        made = rows(count)
        best = {"now": (float("inf"), 0), "before": (float("inf"), 0)}
        for _ in range(ROUNDS):
            for way in best:
                best[way] = min(best[way], refresh(made, way == "before"))
        (now, now_size), (then, then_size) = best["now"], best["before"]
        print("  %6d rows: now %.2f s (%.1f ms per 1000 rows, first page %.1f MB), before %.2f s (%.1f ms per 1000 "
              "rows, one page %.1f MB): %.2fx" % (count, now, 1000 * now / count * 1000, now_size / 1e6, then,
                                                  1000 * then / count * 1000, then_size / 1e6, then / now))


if __name__ == "__main__":
    main()
