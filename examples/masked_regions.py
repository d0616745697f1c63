"""Demonstration step: inspecting only inside inspection regions.

Each print carries a date code that changes from print to print, so a plain
comparison reports it as a defect. The inspection regions come from a
workbook (examples/data/regions.xlsx when present, otherwise one written here
with openpyxl): a region of interest around the print and a region of no
interest over the date code. Both prints are masked with the regions before
the comparison: the date code is no longer reported, the real defects still
are.

Also writes, into the output folder:
- standard.png and target.png, the dated print pair inspected here (the pair
  the README's "Using the module" example reads);
- a screen-size preview beside each full-size marked image, with every NG
  region outlined thickly and labelled with its description (the marked
  images themselves stay exactly as CompareResult.marked_image draws them).

Run alone: python examples/masked_regions.py [OUT_DIR] (default "out"): the
generated print pair is inspected first, as the main job does.
"""
import os
import sys

import cv2
import openpyxl

import qlo_cv

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
MAX_SHIFT, THRESHOLD, MIN_DEFECT = 3, 50, 4   # as in the main inspection
INK = 38
DATE_ORIGIN = (1650, 1230)                    # baseline start of the date code on a 2448 x 2048 print
PRINT_SHIFT = (2, 1)                          # the generated target's misregistration
PREVIEW_SIZE = (1280, 1024)                   # the largest preview, in screen pixels
RED = (0, 0, 255)

# name, shape kind, parameter text, type: the kinds and types in any letter case
REGION_ROWS = [
    ("label", "Rectangle", "x1=16,y1=16,x2=2431,y2=2031", "ROI"),
    ("date code", "rectangle", "x1=1620,y1=1165,x2=2330,y2=1265", "roui"),
]

DESCRIPTION_HELP = (
    "a description reads '<kind>: <size>, [x1, y1, x2, y2]': <kind> is 'black spot' where the target is darker\n"
    "than the standard (extra ink: a smudge, a speck) or 'white spot' where it is lighter (missing ink); <size> is\n"
    "the longer side, in pixels, of the part of the defect that no misregistration of up to %d pixels explains;\n"
    "[x1, y1, x2, y2] is its box in image pixels, from the top-left corner, x2 and y2 one past the last pixel."
    % MAX_SHIFT)


def stamp_dates(standard, target):
    """Copies of the prints with different date codes, the target's moved
    with the print so that only the changed digit differs."""
    dated = []
    for image, date, (dx, dy) in ((standard, "EXP 2026-12-07", (0, 0)), (target, "EXP 2026-12-08", PRINT_SHIFT)):
        image = image.copy()
        cv2.putText(image, date, (DATE_ORIGIN[0] + dx, DATE_ORIGIN[1] + dy), cv2.FONT_HERSHEY_SIMPLEX, 2.0, INK,
                    6, cv2.LINE_AA)
        dated.append(image)
    return dated


def region_workbook(out_dir):
    """The workbook of inspection regions: the shipped one, or one written now."""
    shipped = os.path.join(DATA, "regions.xlsx")
    if os.path.exists(shipped):
        return shipped
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.title = "regions"
    sheet.append(["name", "shape", "parameters", "type"])
    for row in REGION_ROWS:
        sheet.append(list(row))
    path = os.path.join(out_dir, "regions.xlsx")
    book.save(path)
    return path


def inspect(standard, target):
    result = qlo_cv.CompareResult(target)
    qlo_cv.ShiftComparator(standard, MAX_SHIFT, THRESHOLD, MIN_DEFECT).compare(target, result)
    return result


def preview(result, path):
    """A scaled-down copy of the marked image with each NG region outlined
    thickly and labelled, for looking at on a screen."""
    marked = result.marked_image()
    rows, cols = marked.shape[:2]
    scale = min(1.0, PREVIEW_SIZE[0] / cols, PREVIEW_SIZE[1] / rows)
    small = cv2.resize(marked, (round(cols * scale), round(rows * scale)), interpolation=cv2.INTER_AREA)
    for number, region in enumerate(result.ng_regions, 1):
        x1, y1, x2, y2 = (round(v * scale) for v in region.rect)
        cv2.rectangle(small, (x1 - 4, y1 - 4), (x2 + 4, y2 + 4), RED, 3)
        text = "%d. %s" % (number, region.desc)
        (width, height), _ = cv2.getTextSize(text, cv2.FONT_HERSHEY_SIMPLEX, 0.55, 1)
        tx = min(max(x1 - 4, 2), small.shape[1] - width - 2)
        ty = y1 - 10 if y1 - 10 - height > 0 else y2 + 10 + height
        cv2.rectangle(small, (tx - 2, ty - height - 4), (tx + width + 2, ty + 4), (255, 255, 255), cv2.FILLED)
        cv2.putText(small, text, (tx, ty), cv2.FONT_HERSHEY_SIMPLEX, 0.55, RED, 1, cv2.LINE_AA)
    if not cv2.imwrite(path, small):
        raise OSError("could not write %s" % path)
    return path


def write(path, image):
    if not cv2.imwrite(path, image):
        raise OSError("could not write %s" % path)
    return path


def report(title, result):
    print("%s: %s (%d NG region%s)" % (title, "OK" if result.ok else "NG", result.ng_count,
                                       "" if result.ng_count == 1 else "s"))
    for description in result.descriptions:
        print("  " + description)


def main_step(standard, target, result, out_dir):
    """Previews the main inspection's marked image, then inspects a dated
    print pair without and with the workbook's inspection regions."""
    print("marked image preview: %s" % preview(result, os.path.join(out_dir, "marked_preview.png")))
    print(DESCRIPTION_HELP)

    dated_standard, dated_target = stamp_dates(standard, target)
    pair = [write(os.path.join(out_dir, name), image)
            for name, image in (("standard.png", dated_standard), ("target.png", dated_target))]
    print("\ndated print pair (read by the README's example): %s" % ", ".join(pair))
    report("whole print", inspect(dated_standard, dated_target))

    book = region_workbook(out_dir)
    region = qlo_cv.Region.load_from_xslx(book)
    print("inspection regions from %s: %s" % (book, ", ".join("%s %s" % (kind, shape.name)
                                                              for kind, shape in region.regions)))
    for image in (dated_standard, dated_target):
        region.apply(image)  # masks in place: these are the step's own copies
    masked = inspect(dated_standard, dated_target)
    report("inside the inspection regions", masked)
    marked = write(os.path.join(out_dir, "marked_regions.png"), masked.marked_image())
    print("marked image: %s, preview: %s" % (marked, preview(masked, os.path.join(out_dir,
                                                                                   "marked_regions_preview.png"))))


if __name__ == "__main__":
    from print_pair import make_print_pair

    out = sys.argv[1] if len(sys.argv) > 1 else "out"
    os.makedirs(out, exist_ok=True)
    standard, target, _defects = make_print_pair(shift=PRINT_SHIFT)
    main_step(standard, target, inspect(standard, target), out)
