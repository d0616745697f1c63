"""A folder run over prints with hostile names, for the tests of the reports."""
import os

import cv2
import numpy as np

from qlo_batch import Settings, run_batch

# On-disk name -> (its text in the CSV tables, its text on the page)
HOSTILE = {
    b"caf\xe9.png": ("caf\\xe9.png", "caf\\xe9.png"),
    b'=HYPERLINK("evil.example").png': ('\'=HYPERLINK("evil.example").png', '=HYPERLINK("evil.example").png'),
    b"-2+3.png": ("'-2+3.png", "-2+3.png"),
    b"@SUM(A1).png": ("'@SUM(A1).png", "@SUM(A1).png"),
    b"<img src=x onerror=alert(1)>.png": ("<img src=x onerror=alert(1)>.png", "<img src=x onerror=alert(1)>.png"),
    b"evil\xe2\x80\xaegnp.exe.png": ("evil\u202egnp.exe.png", "evil<U+202E>gnp.exe.png"),
    b"two\nlines.png": ("two\nlines.png", "two<U+000A>lines.png"),
    b"plain.png": ("plain.png", "plain.png"),
}


def hostile_folder_run(tmp_path):
    """(rows, OUT_DIR) of a serial folder run over prints named as HOSTILE
    (every other one NG)."""
    standard = np.full((90, 120), 210, np.uint8)
    cv2.putText(standard, "LOT 7", (8, 40), cv2.FONT_HERSHEY_SIMPLEX, 1.0, 40, 2)
    cv2.imwrite(str(tmp_path / "standard.png"), standard)
    speck = standard.copy()
    cv2.circle(speck, (90, 70), 6, 30, -1)
    folder = os.fsencode(tmp_path / "prints")
    os.mkdir(folder)
    for number, name in enumerate(HOSTILE):
        cv2.imencode(".png", speck if number % 2 == 0 else standard)[1].tofile(os.path.join(folder, name))
    rows = run_batch(str(tmp_path / "standard.png"), os.fsdecode(folder), str(tmp_path / "out"),
                     Settings(max_shift=2, threshold=40, judge_parameter=3), serial=True, progress=False)
    return rows, tmp_path / "out"
