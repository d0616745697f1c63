"""The pages a run writes, opened in a real headless browser (Chromium): every
picture of the report and of the evaluation loads, every link from the
evaluation to the report lands on a row, and every defect is listed."""
import csv
import html
import json
import os
import re
import shutil
import subprocess
import sys

import pytest
from conftest import developer_tool

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from examples import labelled_samples  # noqa: E402
from qlo_batch import evaluate, run_pairs, tune  # noqa: E402
from qlo_batch.labels import read_labels  # noqa: E402
from qlo_batch.pairs import read_pairs  # noqa: E402
from report_helpers import HOSTILE, hostile_folder_run  # noqa: E402

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


def open_in_browser(folder, checker, wait=()):
    """Opens the `checker` page, written into `folder`, in headless Chromium;
    returns what its script wrote into <pre id="found"> (as JSON) and the
    console lines of every page it opened. A checker that works after the
    load event (reloads, reading files) is given `wait` = ("--virtual-time-budget=MS",)."""
    browser = developer_tool(BROWSER, "Chromium", "apt-get install chromium (as .ci/run does)")
    (folder / "check.html").write_text(checker)
    page = subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--allow-file-access-from-files",
                           "--enable-logging=stderr", "--v=0", *wait, "--dump-dom", (folder / "check.html").as_uri()],
                          capture_output=True, text=True, timeout=60,
                          env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})   # not the sanitizer's
    found = json.loads(html.unescape(page.stdout.split('<pre id="found">', 1)[1].split("</pre>", 1)[0]))
    return found, [line for line in page.stderr.splitlines() if ":CONSOLE" in line]


@pytest.mark.hardening
@pytest.mark.tooling
def test_report_and_evaluation_pages_in_a_browser(tmp_path):
    samples = labelled_samples.generate(str(tmp_path / "samples"), boards=3, prints=1, seed=2, test_share=1.0)
    with open(samples["labels"], "a") as f:       # a label nothing finds: the evaluation lists it as missed
        f.write("boards/0000_tgt.png,600,600,630,630,island\n")
    out = tmp_path / "run"
    run_pairs(samples["test"], str(out), settings=None, serial=True, progress=False)
    assert evaluate.main([str(out), samples["labels"], "--pairs", samples["test"]]) == 0
    found, console = open_in_browser(out, CHECKER)
    assert not console, console
    assert found["images"] and all(width > 0 for _, _, width in found["images"]), found["images"]
    assert {page for page, _, _ in found["images"]} == {"report", "evaluation"}
    assert found["links"] and all(ok for _, ok in found["links"]), found["links"]
    with open(out / "defects.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    listed = set(re.findall(r"(\w+) [\d.e+-]+ (\[\d+, \d+, \d+, \d+\])", found["report_text"]))
    assert rows and listed == {(row["kind"], "[%(x1)s, %(y1)s, %(x2)s, %(y2)s]" % row) for row in rows}


# Opens report.html in a frame, clicks each sortable heading twice and writes
# down, after every click, the rows' ids and whether the column is in order.
SORT_CHECKER = """<!DOCTYPE html><html><body><iframe id="report" src="report.html"></iframe><script>
window.addEventListener("load", () => {
  const page = document.getElementById("report").contentDocument, body = page.querySelector("tbody");
  const cell = (row, i) => row.cells[i].getAttribute("data-sort") ?? row.cells[i].textContent;
  const found = {files: Array.from(body.rows, row => row.cells[0].innerText),
                 verdicts: Array.from(body.rows, row => cell(row, 1)),
                 images: Array.from(page.images, img => img.naturalWidth), sorts: []};
  page.querySelectorAll("th").forEach((heading, i) => {
    for (const sign of heading.querySelector("button") ? [1, -1] : []) {
      heading.querySelector("button").click();
      const values = Array.from(body.rows, row => cell(row, i)), number = heading.dataset.type === "number";
      found.sorts.push([heading.innerText, heading.getAttribute("aria-sort"), Array.from(body.rows, row => row.id),
        values.every((v, j) => !j || sign * (number ? values[j - 1] - v : values[j - 1].localeCompare(v)) <= 0)]);
    }
  });
  const out = document.body.appendChild(document.createElement("pre"));
  out.id = "found";
  out.textContent = JSON.stringify(found);
});
</script></body></html>
"""


@pytest.mark.hardening
@pytest.mark.tooling
def test_report_page_sorts_and_shows_hostile_names_in_a_browser(tmp_path):
    rows, out = hostile_folder_run(tmp_path)
    found, console = open_in_browser(out, SORT_CHECKER)
    assert not console, console
    assert sorted(found["files"]) == sorted(text for _, text in HOSTILE.values())     # one row each, as shown
    assert found["verdicts"] == sorted(found["verdicts"]) and found["verdicts"][0] == "0"     # NG rows first
    ng = sum(row["verdict"] == "NG" for row in rows)
    assert len(found["images"]) == 3 * ng and all(found["images"])   # thumbnail, standard's and print's crop, loaded
    assert [(title.rstrip(" \u25b2\u25bc"), order) for title, order, _, _ in found["sorts"]] == [
        (title, order) for title in ("File", "Verdict", "NG regions", "Defects", "Seconds")
        for order in ("ascending", "descending")]
    first_ids = sorted(found["sorts"][0][2])
    assert len(set(first_ids)) == len(HOSTILE)
    assert all(in_order and sorted(ids) == first_ids for _, _, ids, in_order in found["sorts"]), found["sorts"]


# Answers report.html as an engineer would: the first NG print as a false
# alarm as a whole, the first defect of the next NG print with two or more
# as "not a defect" (its others real), and a missed defect drawn with the
# mouse on the first OK print. Then saves both files (the downloads caught
# as they are clicked, their blobs read back), reloads the page and writes
# down what it shows of the answers.
ANSWER_CHECKER = """<!DOCTYPE html><html><body><iframe id="report" src="report.html" width="1400" height="900"></iframe>
<script>
const frame = document.getElementById("report"), found = {saved: {}};
const loaded = () => new Promise(done => frame.addEventListener("load", done, {once: true}));
const finish = () => {
  const out = document.body.appendChild(document.createElement("pre"));
  out.id = "found";
  out.textContent = JSON.stringify(found);
};
(async () => {
  await loaded();
  let page = frame.contentDocument;
  const win = frame.contentWindow, downloads = [];
  win.HTMLAnchorElement.prototype.click = function () { downloads.push([this.download, this.href]); };
  const rows = Array.from(page.querySelectorAll("tbody tr"));
  const verdict = row => row.cells[1].textContent;
  const alarm = rows.find(row => verdict(row) === "NG");
  const mixed = rows.find(row => row !== alarm && row.querySelectorAll("input[data-defect]").length > 1);
  const good = rows.find(row => verdict(row) === "OK");
  alarm.querySelector('input[data-verdict="none"]').click();
  mixed.querySelector("input[data-defect]").click();
  good.querySelector("button.draw").click();
  const image = page.querySelector("#drawing img");
  if (!image.complete) await new Promise(done => image.addEventListener("load", done, {once: true}));
  const frame_box = image.getBoundingClientRect(), at = (x, y) => ({bubbles: true, button: 0,
    clientX: frame_box.left + x * frame_box.width, clientY: frame_box.top + y * frame_box.height});
  image.parentNode.dispatchEvent(new win.MouseEvent("mousedown", at(0.25, 0.5)));
  win.dispatchEvent(new win.MouseEvent("mousemove", at(0.4, 0.6)));
  win.dispatchEvent(new win.MouseEvent("mouseup", at(0.5, 0.75)));
  page.querySelector("#drawing button").click();
  found.picture = [image.naturalWidth, page.querySelector("#drawing").hidden];
  found.files = [alarm, mixed, good].map(row => row.cells[0].innerText);
  found.drawn = good.querySelector("td.answer ol").innerText;
  page.querySelectorAll("#answers button.save").forEach(button => button.click());
  for (const [name, href] of downloads) found.saved[name] = await (await fetch(href)).text();
  const ids = [alarm.id, mixed.id, good.id];
  win.location.reload();
  await loaded();
  page = frame.contentDocument;
  found.after_reload = {
    answered: page.querySelector("#answers .answered").textContent,
    verdicts: ids.map(id => Array.from(page.getElementById(id).querySelectorAll("input[data-verdict]:checked"),
                                       box => box.dataset.verdict)),
    ticked: ids.map(id => Array.from(page.getElementById(id).querySelectorAll("input[data-defect]"),
                                     box => box.checked)),
    drawn: page.getElementById(good.id).querySelector("td.answer ol").innerText};
})().catch(error => { found.error = String(error.stack || error); }).finally(finish);
</script></body></html>
"""


@pytest.mark.hardening
@pytest.mark.tooling
def test_answers_saved_on_the_report_page_retune_the_settings(tmp_path):
    # the files' absolute paths, which both saved files hold, need quoting in CSV and escaping in a URL
    samples = labelled_samples.generate(str(tmp_path / 'samples, "quoted" #1'), boards=4, prints=2, seed=2,
                                        test_share=1.0)
    out = tmp_path / "run"
    rows = {row["file"]: row for row in run_pairs(samples["test"], str(out), settings=None, serial=True,
                                                  progress=False)}
    found, console = open_in_browser(out, ANSWER_CHECKER, ("--virtual-time-budget=20000",))
    assert "error" not in found and not console, (found.get("error"), console)
    alarm, mixed, good = (rows[file] for file in found["files"])
    assert found["picture"] == [good["width"], True]          # the OK print's own image, closed after drawing
    assert sorted(found["saved"]) == ["answered_labels.csv", "answered_pairs.csv"]
    for name, text in found["saved"].items():
        (tmp_path / name).write_text(text, newline="")
    labels_path, pairs_path = str(tmp_path / "answered_labels.csv"), str(tmp_path / "answered_pairs.csv")

    pairs = read_pairs(pairs_path)
    assert sorted((p.standard, p.target) for p in pairs) == sorted((row["standard"], row["target"])
                                                                    for row in (alarm, mixed, good))
    labels = {}
    for label in read_labels(labels_path):
        labels.setdefault(label.file, []).append((label.box, label.kind))
    assert alarm["target"] not in labels                         # the false alarm: no defect at all
    assert labels[mixed["target"]] == [(list(box), kind) for box, kind, _, _ in mixed["defects"][1:]]
    ((box, kind),) = labels[good["target"]]                       # drawn from 25 % to 50 % across, 50 % to 75 % down
    width, height = good["width"], good["height"]
    assert kind is None and all(abs(a - b) <= 1 for a, b in zip(box, [width / 4, height / 2, width / 2, height * 0.75]))
    assert found["drawn"].startswith("missed defect %s" % box)

    assert found["after_reload"] == {"answered": "3 prints", "verdicts": [["none"], ["checked"], ["checked"]],
                                     "ticked": [[False] * len(alarm["defects"]),
                                                [True] + [False] * (len(mixed["defects"]) - 1), []],
                                     "drawn": found["drawn"]}
    assert tune.main([pairs_path, labels_path, str(tmp_path / "tuned.toml"), "--budget", "6", "--no-progress"]) == 0
    assert (tmp_path / "tuned.toml").is_file()


def test_picture_names_carry_one_suffix_and_never_collide():
    from qlo_batch.report import picture_stem
    files = ["print_03.png", "print_03.jpg", "print_03", "a.b.tif", "left/tile.png", "right/tile.png", "x~y.png",
             ".hidden.png", "print_03~png"]
    stems = [picture_stem(file) for file in files]
    assert stems[:4] == ["print_03~png", "print_03~jpg", "print_03", "a.b~tif"]
    assert len(set(stems)) == len(stems)
    # one suffix once ".jpg" is added: no image suffix left in the stem
    assert not [stem for stem in stems if "/" in stem or os.path.splitext(stem)[1] in (".png", ".jpg", ".tif")]


def test_a_long_report_is_split_into_linked_pages_and_shrinks_again(tmp_path, monkeypatch):
    from qlo_batch import report_page
    from qlo_batch.report import ReportWriter
    from qlo_batch.work_unit import Outcome
    monkeypatch.setattr(report_page, "PAGE_ROWS", 2)

    def run(names):
        writer = ReportWriter(str(tmp_path))
        for name in names:
            writer.add(Outcome(name, "NG" if name.startswith("n") else "OK", target=str(tmp_path / name),
                               standard=str(tmp_path / "s.png"), width=4, height=4))
        writer.finish()
        return sorted(name for name in os.listdir(tmp_path) if name.endswith(".html"))

    assert run(["a.png", "n1.png", "b.png", "n2.png", "c.png"]) == ["report-2.html", "report-3.html", "report.html"]
    pages = {name: (tmp_path / name).read_text() for name in ("report.html", "report-2.html", "report-3.html")}
    rows = {name: re.findall(r'<tr id="([^"]+)"', text) for name, text in pages.items()}
    assert [len(found) for found in rows.values()] == [2, 2, 1]
    assert "n1.png" in pages["report.html"] and "n2.png" in pages["report.html"]          # NG rows first
    assert all('href="report-3.html"' in text for name, text in pages.items() if name != "report-3.html")
    files = json.loads((tmp_path / "run.json").read_text())["files"]
    assert {file: files[file]["page"] for file in ("n1.png", "a.png", "c.png")} == {
        "n1.png": "report.html", "a.png": "report-2.html", "c.png": "report-3.html"}
    assert run(["a.png", "b.png"]) == ["report.html"]          # the pages past the last are gone
