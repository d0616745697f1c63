"""Answers to a run's verdicts, given on report.html. An engineer marks an NG
print "not a defect" as a whole, or any of its defects, confirms a print's
other defects, or draws a defect the run missed as a box on a print's
picture. The page saves the answers as the two files the tuner takes
(`python -m qlo_batch.tune PAIRS_CSV LABELS_CSV SETTINGS_OUT`):

- answered_labels.csv, a labels file (qlo_batch.labels): the full labels of
  the answered prints, that is the defects found less those marked "not a
  defect", plus the boxes drawn; none for a print marked "not a defect" as a
  whole (the tuner takes a print without labels as free of defects);
- answered_pairs.csv (`standard,target`): the answered prints, so that the
  tuner sees exactly them (an unanswered print in its pairs would count as
  free of defects).

Both name the images by absolute path, since the browser saves them into a
folder of its choosing and the tuner reads relative paths from the pairs
file's folder; `file` in the labels is therefore the target's absolute path.

The page builds the files itself and offers them as downloads (no server).
The answers are kept in the browser's localStorage under a key made from the
run's results, so a reload keeps them and another run's page starts afresh.
Each answerable row carries its data in its answer cell, read only when the
row is answered; the script listens on the table as a whole, so a page of
many rows costs nothing more to open."""
import hashlib
import html
import json
from urllib.parse import quote

from qlo_batch.defects import KINDS
from qlo_batch.names import file_uri

STYLE = """
#answers { border: 1px solid #ccc; border-radius: 6px; padding: 0.4em 0.9em; margin: 0 0 1em; }
#answers button, td.answer button { font: inherit; }
td.answer label { white-space: nowrap; }
td.answer ol { margin: 0.3em 0 0; padding-left: 1.4em; font-size: 0.9em; }
label.nad { font-size: 0.85em; color: #57606a; white-space: nowrap; }
tr.not-a-defect td:not(.answer) { opacity: 0.5; }
#drawing { position: fixed; inset: 0; background: rgba(0, 0, 0, 0.6); z-index: 10; overflow: auto; }
#drawing .panel { background: #fff; margin: 1vh auto; padding: 0.6em; width: fit-content; border-radius: 6px; }
#drawing .stage { position: relative; display: inline-block; cursor: crosshair; user-select: none; }
#drawing img { display: block; max-width: 94vw; max-height: 82vh; image-rendering: pixelated; }
#drawing .box { position: absolute; box-sizing: border-box; border: 2px solid #2da44e; pointer-events: none; }
#drawing .box.found { border: 1px dashed #0969da; } #drawing .box.rejected { border-color: #8c959f; }
"""

# The answers live in `answers`: row id -> {verdict, rejected, drawn}, where
# verdict is "" (not given), "checked" ("right": the found defects are real
# but those in `rejected`, their indices) or "none" (the print has no defect),
# and `drawn` holds the missed defects as [x1, y1, x2, y2, kind] in image
# pixels. A row whose answer says nothing is dropped from it.
SCRIPT = """
(function () {
  var bar = document.getElementById("answers"), table = document.getElementById("report");
  if (!bar || !table) return;
  var KINDS = %s, storageKey = "qlo-answers:" + bar.dataset.key, data = {}, view = null;
  var answers = {};
  try { answers = JSON.parse(localStorage.getItem(storageKey)) || {}; } catch (error) { answers = {}; }

  function note(text) { bar.querySelector(".note").textContent = text; }
  function store() {
    try { localStorage.setItem(storageKey, JSON.stringify(answers)); }
    catch (error) { note("This browser keeps no answers over a reload here: save them before leaving."); }
  }
  function dataOf(row) {
    return data[row.id] || (data[row.id] = JSON.parse(row.querySelector("td.answer").dataset.answer));
  }
  function answerOf(row) {
    return answers[row.id] || (answers[row.id] = {verdict: "", rejected: [], drawn: []});
  }
  function element(parent, tag, className, text) {
    var made = parent.appendChild(document.createElement(tag));
    if (className) made.className = className;
    if (text !== undefined) made.textContent = text;
    return made;
  }

  // Brings a row's controls in line with its answer.
  function show(row) {
    var answer = answers[row.id] || {verdict: "", rejected: [], drawn: []}, cell = row.querySelector("td.answer");
    var none = answer.verdict === "none";
    cell.querySelectorAll("input[data-verdict]").forEach(function (box) {
      box.checked = box.dataset.verdict === answer.verdict;
    });
    cell.querySelector("button.draw").disabled = none;
    row.classList.toggle("not-a-defect", none);
    row.querySelectorAll("input[data-defect]").forEach(function (box) {
      box.checked = answer.rejected.indexOf(Number(box.dataset.defect)) >= 0;
      box.disabled = none;
    });
    var list = cell.querySelector("ol") || element(cell, "ol");
    list.textContent = "";
    answer.drawn.forEach(function (box, i) {
      var item = element(list, "li", "", "missed " + (box[4] || "defect") + " [" + box.slice(0, 4).join(", ") + "] ");
      element(item, "button", "remove", "remove").dataset.drawn = i;
    });
  }
  function count() {
    var answered = Object.keys(answers).length;
    bar.querySelector(".answered").textContent = answered + (answered === 1 ? " print" : " prints");
    bar.querySelectorAll("button.save").forEach(function (button) { button.disabled = !answered; });
  }
  function changed(row) {
    var answer = answers[row.id];
    if (answer && !answer.verdict && !answer.rejected.length && !answer.drawn.length) delete answers[row.id];
    store();
    show(row);
    count();
  }

  table.addEventListener("change", function (event) {
    var control = event.target, row = control.closest("tr"), answer;
    if (control.matches("input[data-verdict]")) {
      answerOf(row).verdict = control.checked ? control.dataset.verdict : "";
    } else if (control.matches("input[data-defect]")) {
      answer = answerOf(row);
      answer.rejected = answer.rejected.filter(function (i) { return i !== Number(control.dataset.defect); });
      if (control.checked) answer.rejected.push(Number(control.dataset.defect));
      answer.verdict = answer.verdict || "checked";
    } else {
      return;
    }
    changed(row);
  });
  table.addEventListener("click", function (event) {
    var button = event.target.closest("td.answer button"), row = button && button.closest("tr");
    if (!button) return;
    if (button.classList.contains("draw")) openDrawing(row);
    if (button.classList.contains("remove")) {
      answerOf(row).drawn.splice(Number(button.dataset.drawn), 1);
      changed(row);
    }
  });

  // The saved files: the answered prints, by target path.
  function csvLine(cells) {
    return cells.map(function (cell) {
      cell = String(cell);
      return /[",\\r\\n]|^\\s|\\s$/.test(cell) ? '"' + cell.replace(/"/g, '""') + '"' : cell;
    }).join(",") + "\\r\\n";
  }
  function answeredRows() {
    return Object.keys(answers).map(function (id) { return document.getElementById(id); }).filter(Boolean)
      .sort(function (a, b) { var x = dataOf(a).target, y = dataOf(b).target; return x < y ? -1 : x > y ? 1 : 0; });
  }
  function labelsText() {
    var text = csvLine(["file", "x1", "y1", "x2", "y2", "kind"]);
    answeredRows().forEach(function (row) {
      var answer = answers[row.id], facts = dataOf(row);
      if (answer.verdict === "none") return;
      facts.defects.forEach(function (defect, i) {
        if (answer.rejected.indexOf(i) < 0) text += csvLine([facts.target].concat(defect));
      });
      answer.drawn.forEach(function (box) { text += csvLine([facts.target].concat(box)); });
    });
    return text;
  }
  function pairsText() {
    return answeredRows().reduce(function (text, row) {
      return text + csvLine([dataOf(row).standard, dataOf(row).target]);
    }, csvLine(["standard", "target"]));
  }
  function download(name, text) {
    var link = element(document.body, "a"), url = URL.createObjectURL(new Blob([text], {type: "text/csv"}));
    link.href = url;
    link.download = name;
    link.click();
    link.remove();
    setTimeout(function () { URL.revokeObjectURL(url); }, 60000);
  }
  bar.addEventListener("click", function (event) {
    var button = event.target.closest("button");
    if (!button) return;
    if (button.name === "labels") download("answered_labels.csv", labelsText());
    if (button.name === "pairs") download("answered_pairs.csv", pairsText());
    if (button.name === "forget" && confirm("Forget every answer given on this page?")) {
      var rows = answeredRows();
      answers = {};
      rows.forEach(changed);
      store();
    }
  });

  // Drawing missed defects: one view for the page, made on first use, shows
  // the row's picture at up to the window's size; a drag draws a box, kept
  // in image pixels (x2 and y2 one past the last pixel).
  function openDrawing(row) {
    if (!view) view = makeView();
    view.row = row;
    view.title.textContent = "Missed defects of " + row.cells[0].innerText +
      ": press, drag and release over each. Blue: defects found; green: boxes drawn.";
    view.problem.textContent = "";
    view.image.removeAttribute("style");
    view.image.src = dataOf(row).picture;
    view.root.hidden = false;
    drawBoxes();
  }
  function makeView() {
    var root = element(document.body, "div"), panel = element(root, "div", "panel"), head = element(panel, "p");
    root.id = "drawing";
    var made = {root: root, title: element(head, "span"), start: null};
    var label = element(head, "label", "", " Kind of the next box: ");
    made.kind = element(label, "select");
    [""].concat(KINDS).forEach(function (kind) {
      element(made.kind, "option", "", kind || "(not given)").value = kind;
    });
    element(head, "button", "", "Done").addEventListener("click", closeDrawing);
    made.problem = element(panel, "p");
    made.stage = element(panel, "div", "stage");
    made.image = element(made.stage, "img");
    made.image.draggable = false;
    made.image.alt = "the print";
    made.image.addEventListener("load", function () {     // as large as the window allows, small prints enlarged
      var size = dataOf(made.row).size, scale = Math.min(innerWidth * 0.94 / size[0], innerHeight * 0.82 / size[1]);
      made.image.style.width = Math.floor(size[0] * scale) + "px";
    });
    made.image.addEventListener("error", function () {
      made.problem.textContent = "This browser cannot show the picture " + made.image.src;
    });
    made.rubber = element(made.stage, "div", "box rubber");
    made.rubber.hidden = true;
    made.stage.addEventListener("mousedown", function (event) {
      if (event.button !== 0) return;
      event.preventDefault();
      made.start = event;
    });
    window.addEventListener("mousemove", function (event) {
      if (made.start) place(made.rubber, boxOf(made.start, event) || [0, 0, 0, 0]);
      made.rubber.hidden = !made.start;
    });
    window.addEventListener("mouseup", function (event) {
      if (!made.start) return;
      var box = boxOf(made.start, event), answer = answerOf(made.row);
      made.start = null;
      made.rubber.hidden = true;
      if (!box) return;
      answer.drawn.push(box.concat(made.kind.value));
      answer.verdict = answer.verdict || "checked";
      changed(made.row);
      drawBoxes();
    });
    document.addEventListener("keydown", function (event) { if (event.key === "Escape") closeDrawing(); });
    return made;
  }
  function closeDrawing() { if (view) view.root.hidden = true; }
  // The box between two mouse events in image pixels, or null for a click.
  function boxOf(from, to) {
    var size = dataOf(view.row).size, frame = view.image.getBoundingClientRect();
    if (Math.abs(from.clientX - to.clientX) < 3 && Math.abs(from.clientY - to.clientY) < 3) return null;
    // On one axis: the first pixel and one past the last, inside the image.
    function span(a, b, origin, extent, pixels) {
      var ends = [a, b].map(function (client) {
        return Math.min(pixels, Math.max(0, (client - origin) / extent * pixels));
      });
      var low = Math.min(Math.floor(Math.min(ends[0], ends[1])), pixels - 1);
      return [low, Math.max(low + 1, Math.ceil(Math.max(ends[0], ends[1])))];
    }
    var x = span(from.clientX, to.clientX, frame.left, frame.width, size[0]);
    var y = span(from.clientY, to.clientY, frame.top, frame.height, size[1]);
    return [x[0], y[0], x[1], y[1]];
  }
  function place(div, box) {
    var size = dataOf(view.row).size;
    div.style.left = 100 * box[0] / size[0] + "%%";
    div.style.top = 100 * box[1] / size[1] + "%%";
    div.style.width = 100 * (box[2] - box[0]) / size[0] + "%%";
    div.style.height = 100 * (box[3] - box[1]) / size[1] + "%%";
  }
  function drawBoxes() {
    var answer = answers[view.row.id] || {rejected: [], drawn: []};
    view.stage.querySelectorAll(".box:not(.rubber)").forEach(function (div) { div.remove(); });
    dataOf(view.row).defects.forEach(function (defect, i) {
      place(element(view.stage, "div", "box found" + (answer.rejected.indexOf(i) >= 0 ? " rejected" : "")), defect);
    });
    answer.drawn.forEach(function (box) { place(element(view.stage, "div", "box"), box); });
  }

  Object.keys(answers).forEach(function (id) {
    var row = document.getElementById(id);
    if (row && row.querySelector("td.answer")) show(row); else delete answers[id];
  });
  count();
})();
""" % json.dumps(KINDS)


def row_data(row):
    """What the page's script needs to answer a report row (its paths, image
    size, defects and the picture to draw on), or None when the row cannot be
    answered: a print that was not inspected, or whose paths no labels file
    could name as they are (not UTF-8, or with spaces at either end, which
    the CSV readers trim)."""
    if row["verdict"] not in ("OK", "NG") or not row.get("width") or not row.get("height"):
        return None
    paths = (row.get("target") or "", row.get("standard") or "")
    if not all(path and path == path.strip() and _utf8(path) for path in paths):
        return None
    # An NG print is drawn on over its marked image (NG regions outlined); an
    # OK print, which has none, over its own file.
    picture = quote(row["marked_image"]) if row["marked_image"] else file_uri(row["target"])
    return {"target": row["target"], "standard": row["standard"], "size": [row["width"], row["height"]],
            "defects": [[*box, kind] for box, kind, _, _ in row["defects"]], "picture": picture}


def _utf8(text):
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def defect_control(index):
    """The "not a defect" box beside defect `index` of an answerable row."""
    return ' <label class="nad"><input type="checkbox" data-defect="%d"> not a defect</label>' % index


# The verdict answers: "right" (the defects found are real but those marked
# "not a defect", plus any drawn) and, for an NG print, "not a defect" (the
# print is good). Boxes rather than a drop-down, which costs a browser many
# times more to lay out on a page of thousands of rows.
VERDICT_BOX = '<label><input type="checkbox" data-verdict="%s"> %s</label><br>'


def answer_cell(row, data):
    """The row's answer cell: its verdict answers, the button that opens the
    drawing of missed defects, and the row's data for the script (JSON in a
    single-quoted attribute: JSON's many double quotes stay one byte each)."""
    if data is None:
        return '<td class="unanswerable"></td>'
    boxes = VERDICT_BOX % ("checked", "right") + (VERDICT_BOX % ("none", "not a defect") if row["verdict"] == "NG"
                                                   else "")
    attribute = html.escape(json.dumps(data, separators=(",", ":")), quote=False).replace("'", "&#x27;")
    return ("<td class=\"answer\" data-answer='%s'>%s<button type=\"button\" class=\"draw\">draw a missed defect"
            "</button></td>" % (attribute, boxes))


def toolbar(rows):
    """The box above the table that counts the answers and saves them; its key
    names the answers of this run's results in the browser's storage."""
    results = sorted([row["file"], row.get("target"), [list(d[0]) + [d[1]] for d in row["defects"]]]
                     for row in rows)
    key = hashlib.sha1(json.dumps(results).encode("utf-8")).hexdigest()[:16]
    return ('<div id="answers" data-key="%s"><strong>Answers</strong>: <span class="answered">0 prints</span> '
            'answered. <button type="button" class="save" name="labels" disabled>Save answers (labels)</button> '
            '<button type="button" class="save" name="pairs" disabled>Save their pairs</button> '
            '<button type="button" name="forget">Forget answers</button> <span class="note"></span><br>'
            '<small>Tick "right" where the verdict is, "not a defect" beside each false alarm (a whole print or '
            'one defect), draw missed defects, then retune on both files: '
            '<code>bash scripts/run_tune.sh answered_pairs.csv answered_labels.csv tuned.toml</code></small></div>\n'
            % key)
