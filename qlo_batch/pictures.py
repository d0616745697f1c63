"""Small pictures cut from an image around a box, for the pages a run writes:
the zoomed crops of a print's largest defects beside its thumbnail in
report.html (laid on one sheet per print: one file to write, not six), and
the pictures of missed and false defects in evaluation.html."""
import cv2
import numpy as np

PICTURE_SIZE = 128             # longer side of a picture, in pixels
CROPS_PER_PRINT = 3            # crops of an NG print's largest defects in the report
DEFECT_COLOUR = (255, 160, 0)  # BGR: the light blue the thumbnails draw defects in
NG_COLOUR = (0, 0, 255)        # BGR: the red of the NG regions


def zoom(image, box, outlines=(), size=PICTURE_SIZE):
    """The part of `image` around `box` (x1, y1, x2, y2, x2 and y2 one past
    the last pixel), scaled so its longer side is about `size` (pixels stay
    sharp squares when enlarged), as a BGR image with each (boxes, colour) of
    `outlines` drawn over it; None when the part is empty."""
    height, width = image.shape[:2]
    x1, y1, x2, y2 = box
    pad = max(12, (max(x2 - x1, y2 - y1) + 1) // 2)
    wx1, wy1, wx2, wy2 = max(0, x1 - pad), max(0, y1 - pad), min(width, x2 + pad), min(height, y2 + pad)
    if wx2 <= wx1 or wy2 <= wy1:
        return None
    crop = image[wy1:wy2, wx1:wx2]
    scale = size / max(wx2 - wx1, wy2 - wy1)
    shape = (max(1, round((wx2 - wx1) * scale)), max(1, round((wy2 - wy1) * scale)))
    crop = cv2.resize(crop, shape, interpolation=cv2.INTER_NEAREST if scale >= 1 else cv2.INTER_AREA)
    if crop.ndim == 2:
        crop = cv2.cvtColor(crop, cv2.COLOR_GRAY2BGR)
    for boxes, colour in outlines:
        for bx1, by1, bx2, by2 in boxes:
            if bx2 <= wx1 or by2 <= wy1 or bx1 >= wx2 or by1 >= wy2:
                continue
            cv2.rectangle(crop, (int((bx1 - wx1) * scale), int((by1 - wy1) * scale)),
                          (int((bx2 - wx1) * scale) - 1, int((by2 - wy1) * scale) - 1), colour, 1)
    return crop


def largest(boxes, count=CROPS_PER_PRINT):
    """The `count` largest boxes by area, largest first (ties in list order)."""
    order = sorted(range(len(boxes)), key=lambda i: -(boxes[i][2] - boxes[i][0]) * (boxes[i][3] - boxes[i][1]))
    return [list(boxes[i]) for i in order[:count]]


def defect_crops(image, ng_boxes, defect_boxes=(), standard=None):
    """(box, picture, the standard's picture) for the largest defects of an NG
    print `image` (its NG regions when no defect was found), each defect
    outlined in the thumbnails' blue over the NG regions' red outlines; the
    standard's picture (of the same place of `standard`, an image of the
    print's size, the defect outlined alone) is None without a standard."""
    crops = []
    for box in largest(list(defect_boxes) or list(ng_boxes)):
        outline = (([box], DEFECT_COLOUR),) if defect_boxes else ()
        picture = zoom(image, box, ((ng_boxes, NG_COLOUR),) + outline)
        if picture is not None:
            crops.append((box, picture, None if standard is None else zoom(standard, box, outline)))
    return crops


def crop_sheet(image, ng_boxes, defect_boxes=(), standard=None, size=PICTURE_SIZE):
    """(boxes, sheet): the boxes of defect_crops and its pictures laid on one
    BGR picture, a row of `size`-pixel square cells per box (each picture
    centred on white), the standard's cell left of the print's when there is
    a standard; ([], None) when there is no picture."""
    crops = defect_crops(image, ng_boxes, defect_boxes, standard)
    if not crops:
        return [], None
    sheet = np.full((size * len(crops), size * (1 if standard is None else 2), 3), 255, np.uint8)
    for row, (_, picture, standard_picture) in enumerate(crops):
        cells = [picture] if standard is None else [standard_picture, picture]
        for column, cell in enumerate(cells):
            height, width = cell.shape[:2]
            top, left = row * size + (size - height) // 2, column * size + (size - width) // 2
            sheet[top:top + height, left:left + width] = cell
    return [box for box, _, _ in crops], sheet
