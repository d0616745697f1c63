"""Opening the files a run reads: images, the settings, the pairs and labels
tables, the journal of an earlier run. Each is opened only as a regular file,
told from the descriptor just opened (so no other file can be swapped in
after the check): the open itself never waits (a FIFO without a writer would
block it for good), and a FIFO, a device such as /dev/zero (which never
ends), a socket or a folder is refused before a byte is read. Text inputs
also have a size limit, far above what a real one holds, so a wrong file
given by mistake costs a line of error instead of all the memory."""
import os
import stat

MIB = 1 << 20
# The most bytes a text input may have: settings are a screen of TOML; a
# pairs or labels table of a million rows with paths of 100 characters
# holds 200 MB.
SETTINGS_LIMIT = 16 * MIB
TABLE_LIMIT = 1024 * MIB


def entry_kind(mode):
    """What a file of st_mode `mode` is, in words: "file" for a regular one."""
    for test, kind in ((stat.S_ISREG, "file"), (stat.S_ISDIR, "folder"), (stat.S_ISFIFO, "FIFO"),
                       (stat.S_ISSOCK, "socket"), (stat.S_ISCHR, "character device"), (stat.S_ISBLK, "block device")):
        if test(mode):
            return kind
    return "special file"


def open_input(path, limit=None, **text):
    """The regular file at `path` opened for reading: binary, or text when
    `text` holds options of open() (encoding, newline). ValueError (a reason
    without the path) when it is not a regular file or holds more than
    `limit` bytes; OSError when it cannot be opened."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    try:
        status = os.fstat(fd)
        kind = entry_kind(status.st_mode)
        if kind != "file":
            raise ValueError("not a regular file (a %s)" % kind)
        if limit is not None and status.st_size > limit:
            raise ValueError("%d bytes, more than the %d MiB such a file may have" % (status.st_size, limit // MIB))
        os.set_blocking(fd, True)
        return open(fd, "r" if text else "rb", **text)
    except BaseException:
        os.close(fd)
        raise


def open_text(path, what, limit=TABLE_LIMIT):
    """The UTF-8 text file at `path` (a byte-order mark skipped, line ends
    left to the csv module) for reading, as open_input opens it; the
    ValueError of a refused file names it as "`what` `path`"."""
    try:
        return open_input(path, limit, encoding="utf-8-sig", newline="")
    except ValueError as error:
        raise ValueError("%s %s: %s" % (what, path, error)) from None
