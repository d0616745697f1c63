"""Writing into OUT_DIR without ever writing through a symbolic link found
there. Whoever can write into OUT_DIR (another user of a shared folder, an
earlier run's leftovers) may have planted a link at any name a run writes,
pointing at a file outside it; opening that name for writing would overwrite
the file the link leads to.

So OUT_DIR and its sub-folders are held open by descriptor, every name is
looked up inside them (a sub-folder that is a link is refused), and every
file is made new under a temporary name beside its own (".NAME.tmp"), with
O_CREAT | O_EXCL | O_NOFOLLOW, which fail on any existing entry, a link
included, instead of following it; a leftover temporary is unlinked (the
link itself, never its target) and made again. The finished file is then
renamed over NAME: a rename replaces a link at NAME, it never writes through
it. Readers never see a file half written.

Every byte goes through `write_all`, and a file kept open for records
(report.csv, resume.jsonl) is cut back to its last whole record when a write
fails, so a full disk leaves whole rows behind."""
import contextlib
import os
import stat

FOLDER_FLAGS = os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC
NEW_FILE_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC


def write_all(fd, data):
    """Writes all of `data` to the descriptor (OSError, such as ENOSPC, when
    it cannot)."""
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def is_own_file(path):
    """Whether `path` is a regular file itself (a link to one, which a run
    did not write, is not)."""
    try:
        return stat.S_ISREG(os.lstat(path).st_mode)
    except OSError:
        return False


class Records:
    """A file open for appending whole records: each `write` lands whole or,
    when it fails, not at all (the file is cut back to its last record)."""

    def __init__(self, fd, length=0):
        self.fd, self.length = fd, length

    def write(self, data):
        try:
            write_all(self.fd, data)
        except OSError:
            with contextlib.suppress(OSError):
                os.ftruncate(self.fd, self.length)
                os.lseek(self.fd, self.length, os.SEEK_SET)
            raise
        self.length += len(data)

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


class Folder:
    """A folder a run writes into, held open by its descriptor."""

    def __init__(self, path, fd):
        self.path, self.fd = path, fd

    @classmethod
    def open(cls, path):
        """OUT_DIR itself, made when missing (the path is the caller's own:
        a link in it is followed)."""
        os.makedirs(path, exist_ok=True)
        return cls(path, os.open(path, FOLDER_FLAGS))

    def sub(self, name):
        """The sub-folder `name`, made when missing; OSError when the name is
        a symbolic link or not a folder."""
        with contextlib.suppress(FileExistsError):
            os.mkdir(name, dir_fd=self.fd)
        return Folder(os.path.join(self.path, name), os.open(name, FOLDER_FLAGS | os.O_NOFOLLOW, dir_fd=self.fd))

    def names(self):
        return os.listdir(self.fd)

    def remove(self, name):
        """Removes the entry `name` (a link itself, not what it leads to), if any."""
        with contextlib.suppress(FileNotFoundError):
            os.unlink(name, dir_fd=self.fd)

    def start(self, name, data):
        """Makes the file `name` anew holding `data` and keeps it open for
        more records (a Records)."""
        temporary = "." + name + ".tmp"
        self.remove(temporary)
        fd = os.open(temporary, NEW_FILE_FLAGS, 0o666, dir_fd=self.fd)
        try:
            records = Records(fd)
            records.write(data)
            os.replace(temporary, name, src_dir_fd=self.fd, dst_dir_fd=self.fd)
        except BaseException:
            os.close(fd)
            self.remove(temporary)
            raise
        return records

    def write(self, name, data):
        """Makes the file `name` anew holding `data` (bytes)."""
        self.start(name, data).close()

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None
