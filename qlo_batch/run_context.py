"""What run a report is: its title, when it started, what it inspected against
what, with which settings and which version of the tool, and its figures
(duration, counts, yield), for the top of report.html and for run.json.

A run resumed with --resume is one run in several parts: its figures cover
every file of the report and the time of every part, and the part just made
gets figures of its own. The time of the earlier parts comes from the
journal's first line (when the part began, and the time of the parts before
it) and the journal's last write, so a part ended by a kill still counts."""
import dataclasses
import datetime
import os
from importlib import metadata

from qlo_batch.settings import Settings

try:
    # The version of the installed distribution (qlo_cv, which ships this package).
    VERSION = metadata.version("qlo_cv")
except metadata.PackageNotFoundError:   # a checkout that was never installed
    VERSION = "0+unknown"


def now():
    """The local date and time with its offset from UTC, to the second."""
    return datetime.datetime.now().astimezone().isoformat(timespec="seconds")


def describe(settings, settings_file=None, standard=None, folder=None, pairs=None):
    """The context of a folder run (`standard`, `folder`) or of a pairs run
    (`pairs`, the pairs file), as run.json's "run" entry holds it before the
    figures are added: title, start, input, standard, settings file, the
    settings that differ from the defaults, and the version."""
    if pairs is not None:
        title = "Inspection of the pairs listed in %s" % os.path.basename(pairs)
    else:
        title = "Inspection of %s against %s" % (os.path.basename(os.path.normpath(folder)) or folder,
                                                  os.path.basename(standard))
    return {"title": title, "started": now(), "input_kind": "pairs file" if pairs is not None else "folder",
            "input": os.path.abspath(pairs if pairs is not None else folder),
            "standard": None if standard is None else os.path.abspath(standard),
            "settings_file": None if settings_file is None else os.path.abspath(settings_file),
            "settings_changed": changed_settings(settings), "version": VERSION}


def changed_settings(settings):
    """{key: value} of the settings that differ from the defaults."""
    defaults = Settings()
    return {field.name: getattr(settings, field.name) for field in dataclasses.fields(Settings)
            if getattr(settings, field.name) != getattr(defaults, field.name)}


def figures(rows, seconds):
    """Duration, counts and yield (the share of the inspected files that are
    OK; files that could not be inspected count in neither part) of `rows`."""
    counts = {verdict: sum(row["verdict"] == verdict for row in rows) for verdict in ("OK", "NG", "ERROR")}
    inspected = counts["OK"] + counts["NG"]
    return {"seconds": round(seconds, 3), "files": len(rows), **counts,
            "yield": round(counts["OK"] / inspected, 4) if inspected else None}


def earlier_parts(header, written_at):
    """(seconds, start) of the parts of a run before this one, from the
    journal's first line `header` (a dict) and the time of the journal's
    last write (seconds since the epoch); (0, None) when it holds none."""
    part = header.get("part") if isinstance(header, dict) else None
    if not isinstance(part, dict):
        return 0.0, None
    try:
        seconds = float(part["earlier_seconds"]) + max(0.0, written_at - float(part["began"]))
    except (KeyError, TypeError, ValueError):
        return 0.0, None
    return seconds, part.get("first_started")
