"""The pages a run writes, opened in a real headless browser (Chromium): every
picture of the report and of the evaluation loads, every link from the
evaluation to the report lands on a row, and every defect is listed."""
import csv
import json
import os
import re
import shutil
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from examples import labelled_samples  # noqa: E402
from qlo_batch import evaluate, run_pairs  # noqa: E402

BROWSER = next(filter(None, map(shutil.which, ("chromium", "chromium-browser", "google-chrome"))), None)

# Opens both pages in frames and, once everything has loaded, writes what it
# found into the document, which the browser then prints.
CHECKER = """<!DOCTYPE html><html><body>
<iframe id="report" src="report.html"></iframe><iframe id="evaluation" src="evaluation.html"></iframe>
<script>
window.addEventListener("load", () => {
  const report = document.getElementById("report").contentDocument;
  const found = {images: [], links: [], report_text: report.body.innerText};
  for (const id of ["report", "evaluation"]) {
    const page = document.getElementById(id).contentDocument;
    for (const img of page.images) found.images.push([id, img.getAttribute("src"), img.naturalWidth]);
    for (const a of page.querySelectorAll('a[href*="report.html#"]')) {
      const anchor = decodeURIComponent(a.getAttribute("href").split("#")[1]);
      found.links.push([anchor, report.getElementById(anchor) !== null]);
    }
  }
  const out = document.createElement("pre");
  out.id = "found";
  out.textContent = JSON.stringify(found);
  document.body.appendChild(out);
});
</script></body></html>
"""


@pytest.mark.skipif(BROWSER is None, reason="no Chromium on this machine")
@pytest.mark.hardening
def test_report_and_evaluation_pages_in_a_browser(tmp_path):
    samples = labelled_samples.generate(str(tmp_path / "samples"), boards=3, prints=1, seed=2, test_share=1.0)
    with open(samples["labels"], "a") as f:       # a label nothing finds: the evaluation lists it as missed
        f.write("boards/0000_tgt.png,600,600,630,630,island\n")
    out = tmp_path / "run"
    run_pairs(samples["test"], str(out), settings=None, serial=True, progress=False)
    assert evaluate.main([str(out), samples["labels"], "--pairs", samples["test"]]) == 0
    (out / "check.html").write_text(CHECKER)
    page = subprocess.run([BROWSER, "--headless", "--no-sandbox", "--disable-gpu", "--allow-file-access-from-files",
                           "--dump-dom", (out / "check.html").as_uri()], capture_output=True, text=True, timeout=60,
                          env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})   # not the sanitizer's
    found = json.loads(page.stdout.split('<pre id="found">', 1)[1].split("</pre>", 1)[0].replace("&amp;", "&")
                       .replace("&lt;", "<").replace("&gt;", ">").replace("&quot;", '"'))
    assert found["images"] and all(width > 0 for _, _, width in found["images"]), found["images"]
    assert {page for page, _, _ in found["images"]} == {"report", "evaluation"}
    assert found["links"] and all(ok for _, ok in found["links"]), found["links"]
    with open(out / "defects.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    listed = set(re.findall(r"(\w+) [\d.e+-]+ (\[\d+, \d+, \d+, \d+\])", found["report_text"]))
    assert rows and listed == {(row["kind"], "[%(x1)s, %(y1)s, %(x2)s, %(y2)s]" % row) for row in rows}
