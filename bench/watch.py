"""A watch of a camera folder over a long arrival of prints:
bash scripts/run_bench.sh watch (2000 prints at 20 a second), or
.venv/bin/python -m bench.watch COUNT.

The watch (`qlo-batch --watch --serial`) runs in a child process while this
one writes 640 x 480 label prints into its folder at RATE a second, one in
five NG: most under a temporary name then renamed, every tenth written in
place in three pieces. A third of the way in the watch is killed with
SIGKILL and started again at once; at the end it is stopped with SIGTERM.
It prints: whether each print has exactly one row with its true verdict and
whether the rows written before the kill were kept as they were; how far the
page (run.json) was behind each print's arrival; the watch's resident memory
sampled after the restart, from a quarter of the way on; and the CPU per
print of the watch (both processes, idle looks included) against a batch run
over the same folder afterwards (the baseline). tests/test_watch_soak.py
runs it smaller."""
import csv
import json
import os
import resource
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import cv2
import numpy as np

COUNT = 2000
RATE = 20.0
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SETTINGS = "max_shift = 2\nthreshold = 40\njudge_parameter = 3\n"


def label(ng=False):
    image = np.full((480, 640), 205, np.uint8)
    cv2.putText(image, "LOT 7 2026-12-08", (30, 150), cv2.FONT_HERSHEY_SIMPLEX, 2.0, 40, 4)
    cv2.rectangle(image, (30, 250), (600, 420), 40, 3)
    if ng:
        cv2.circle(image, (400, 330), 9, 30, -1)
    return image


def name_of(number):
    return "print_%05d.png" % number


def is_ng(number):
    return number % 5 == 2


def write_print(folder, number, data):
    """Writes a print as a camera would; returns the time it was complete."""
    path = os.path.join(folder, name_of(number))
    if number % 10 == 7:                        # in place, in three pieces
        with open(path, "wb") as f:
            for piece in (data[:len(data) // 3], data[len(data) // 3:2 * len(data) // 3], data[2 * len(data) // 3:]):
                f.write(piece)
                f.flush()
                time.sleep(0.02)
    else:
        temporary = os.path.join(folder, "." + name_of(number) + ".part")
        with open(temporary, "wb") as f:
            f.write(data)
        os.rename(temporary, path)
    return time.monotonic()


def start_watch(work):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [ROOT, os.environ.get("PYTHONPATH")])))
    return subprocess.Popen([sys.executable, "-m", "qlo_batch", "--watch", os.path.join(work, "standard.png"),
                             os.path.join(work, "prints"), os.path.join(work, "out"), "--settings",
                             os.path.join(work, "settings.toml"), "--serial", "--no-progress", "--refresh", "1"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)


def rss_mb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            return next(int(line.split()[1]) / 1024 for line in f if line.startswith("VmRSS:"))
    except (OSError, StopIteration):
        return None


def on_page(out):
    try:
        with open(os.path.join(out, "run.json")) as f:
            return json.load(f)["files"]
    except (OSError, ValueError):
        return {}


def journal_rows(out):
    """{file: [rows]} of the journal's lines."""
    rows = {}
    with open(os.path.join(out, "resume.jsonl"), encoding="ascii") as f:
        for line in f.read().splitlines()[1:]:
            try:
                row = json.loads(line)["row"]
            except ValueError:
                continue                        # a line cut short by the kill
            rows.setdefault(row["file"], []).append(row)
    return rows


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def soak(work, count=COUNT, rate=RATE):
    """Runs the soak in the folder `work`; returns its figures."""
    prints, out = os.path.join(work, "prints"), os.path.join(work, "out")
    os.makedirs(prints)
    cv2.imwrite(os.path.join(work, "standard.png"), label())
    with open(os.path.join(work, "settings.toml"), "w") as f:
        f.write(SETTINGS)
    data = {ng: cv2.imencode(".png", label(ng))[1].tobytes() for ng in (False, True)}
    arrived, seen = {}, {}
    kill_at = count // 3
    killed = threading.Event()

    def writer():
        start = time.monotonic()
        for number in range(count):
            time.sleep(max(0.0, start + number / rate - time.monotonic()))
            arrived[name_of(number)] = write_print(prints, number, data[is_ng(number)])
            if number == kill_at:
                killed.set()

    cpu_before = children_cpu()
    process = start_watch(work)
    thread = threading.Thread(target=writer, daemon=True)
    thread.start()
    samples, before_kill, phase_start = [], None, None
    deadline = time.monotonic() + count / rate + 120
    while time.monotonic() < deadline:
        time.sleep(0.25)
        now = time.monotonic()
        for name in on_page(out):
            seen.setdefault(name, now)
        if killed.is_set() and before_kill is None:
            process.kill()
            process.wait()
            before_kill = journal_rows(out)
            process, phase_start = start_watch(work), time.monotonic()
        elif phase_start is not None:
            samples.append((now - phase_start, rss_mb(process.pid)))
        if not thread.is_alive() and len(seen) >= count:
            break
    process.send_signal(signal.SIGTERM)
    _, err = process.communicate(timeout=60)
    watch_cpu = children_cpu() - cpu_before

    with open(os.path.join(out, "report.csv"), newline="") as f:
        table = [(row["file"], row["verdict"]) for row in csv.DictReader(f)]
    final = journal_rows(out)
    expected = [(name_of(number), "NG" if is_ng(number) else "OK") for number in range(count)]
    lags = [seen[name] - arrived[name] for name in arrived if name in seen]
    phase = samples[-1][0] if samples else 0.0
    memory = [mb for at, mb in samples if at >= phase / 4 and mb is not None]
    cpu_before = children_cpu()
    subprocess.run([sys.executable, "-m", "qlo_batch", os.path.join(work, "standard.png"), prints,
                    os.path.join(work, "batch"), "--settings", os.path.join(work, "settings.toml"), "--serial",
                    "--no-progress"], check=True, capture_output=True, env=dict(os.environ, PYTHONPATH=ROOT))
    return {
        "exit status": process.returncode, "stderr": err,
        "rows as expected": table == expected,
        "journal once each": sorted(final) == sorted(arrived) and all(len(rows) == 1 for rows in final.values()),
        "kept through the kill": bool(before_kill) and all(final[name] == rows[-1:]
                                                           for name, rows in before_kill.items()),
        "rows before the kill": len(before_kill or ()),
        "on the page": len(lags),
        "lag max": max(lags, default=float("inf")), "lag median": statistics.median(lags) if lags else float("inf"),
        "rss start": memory[0] if memory else None, "rss max": max(memory, default=None),
        "rss min": min(memory, default=None), "rss samples": len(memory),
        "watch cpu per print": watch_cpu / count, "batch cpu per print": (children_cpu() - cpu_before) / count,
    }


def main(argv=()):
    count = int(argv[0]) if argv else COUNT
    print("watch: %d prints of 640 x 480 at %.0f a second, a kill -9 a third of the way in (about %.0f s) ..."
          % (count, RATE, count / RATE + 10))
    with tempfile.TemporaryDirectory(prefix="qlo_watch_bench_") as work:
        figures = soak(work, count)
    for key, value in figures.items():
        if key != "stderr":
            print("  %-22s %s" % (key, "%.3f" % value if isinstance(value, float) else value))
    print("  watch CPU per print / batch (baseline): %.2f"
          % (figures["watch cpu per print"] / figures["batch cpu per print"]))
    print("  RSS after warm-up: %.1f .. %.1f MB (%.1f %% above its first sample)"
          % (figures["rss min"], figures["rss max"], 100 * (figures["rss max"] / figures["rss start"] - 1)))


if __name__ == "__main__":
    main(sys.argv[1:])
