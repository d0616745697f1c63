"""When a file that lands in a watched folder is completely written, told by
polling (no file-system events, so it works on any file system and needs
nothing beyond the standard library).

A file is complete when nothing has written it for `settle` seconds: its size
and modification time were the same at two looks that far apart, or its
modification time is already that old (a file renamed in from elsewhere, or
there before the watch started). A file renamed into its name from a
temporary one (a hidden name, or a name without an image suffix such as
`x.png.part` or `x.tmp`) is complete at once, when the temporary name had the
same size and modification time at the look before: writers rename a file
once it is written. An empty file, or one whose size cannot be read, waits
LATE_SECONDS (a writer may have created it and not yet written anything);
after that it is inspected, and its ERROR row says what is wrong."""
import os
import time

SETTLE_SECONDS = 0.5
LATE_SECONDS = 30.0


def is_complete(stamp, unchanged_for, wall_ns, settle, renamed=False):
    """Whether a file is complete. `stamp` is its (size, modification time in
    ns), None when it cannot be read; `unchanged_for` the seconds it has been
    seen with that stamp (0 when first seen so); `wall_ns` the clock now;
    `renamed` whether it arrived by a rename from a temporary name with that
    stamp."""
    if stamp is None or stamp[0] == 0:
        return unchanged_for >= max(settle, LATE_SECONDS)
    if renamed:
        return True
    return max(unchanged_for, (wall_ns - stamp[1]) / 1e9) >= settle


class Arrivals:
    """The files of a watch not yet complete, each with its stamp and the time
    it was first seen with it. Only the files present at the last look are
    remembered, so this stays as small as the files being written."""

    def __init__(self, settle=SETTLE_SECONDS):
        self.settle = settle
        self.pending = {}           # key -> (stamp, monotonic time first seen with it)

    def complete(self, listing, renamed=()):
        """The keys of `listing` ({key: stamp} of the files present and not yet
        inspected) that are complete now, in listing order."""
        now, wall = time.monotonic(), time.time_ns()
        pending, complete = {}, []
        for key, stamp in listing.items():
            seen = self.pending.get(key)
            since = seen[1] if seen is not None and seen[0] == stamp else now
            if is_complete(stamp, now - since, wall, self.settle, key in renamed):
                complete.append(key)
            else:
                pending[key] = (stamp, since)
        self.pending = pending
        return complete


def entry_stamp(entry):
    """(size, modification time in ns) of a directory entry, links followed, or
    None when it cannot be read."""
    try:
        status = entry.stat()
    except OSError:
        return None
    return status.st_size, status.st_mtime_ns


class FolderLook:
    """Looks at a folder: the prints not yet inspected with their stamps, and
    which of them arrived by a rename from a temporary name since the last
    look (matched by inode and stamp)."""

    def __init__(self, folder, is_print):
        self.folder = folder
        self.is_print = is_print        # (name, path) -> whether the entry is a print to inspect
        self.temporary = {}             # inode -> stamp of the other regular files at the last look

    def look(self, done):
        """({name: stamp} of the prints whose names are not in `done`, sorted
        by name; the set of those that arrived by rename)."""
        listing, inodes, temporary = {}, {}, {}
        with os.scandir(self.folder) as entries:
            for entry in entries:
                name = entry.name
                if name in done:
                    continue
                if self.is_print(name, entry.path):
                    listing[name] = entry_stamp(entry)
                    inodes[name] = entry.inode()
                elif entry.is_file():
                    temporary[entry.inode()] = entry_stamp(entry)
        renamed = {name for name, stamp in listing.items()
                   if stamp is not None and self.temporary.get(inodes[name]) == stamp}
        self.temporary = temporary
        return dict(sorted(listing.items())), renamed
