"""The job package's one family of errors. Every failure its functions report
to a caller (a run that cannot start, settings that cannot be used, a write
into OUT_DIR that failed mid-run) is a BatchError with a one-line text; the
command line prints it and exits with its `exit_status`, in one place
(qlo_batch.__main__). Ctrl-C stays a KeyboardInterrupt (Interrupted), so that
it ends a caller's loop as Ctrl-C always does."""


class BatchError(Exception):
    """A failure of the job package, said in one line."""
    exit_status = 2


class RunError(BatchError):
    """A run that cannot start (its inputs, its OUT_DIR, or what it would
    resume, is not usable); raised before any inspection."""


class WriteError(BatchError):
    """Writing into OUT_DIR failed mid-run (the disk full, a file size limit):
    the run stopped after `done` files of `total`. report.csv and the journal
    hold whole rows of those files; `complete` says whether the other report
    files (defects.csv, run.json, report.html) could be written too."""
    exit_status = 1

    def __init__(self, error, done, total, out_dir, complete):
        kept = "the report files" if complete else \
            "report.csv and resume.jsonl (the other report files could not be written)"
        super().__init__("writing into %s failed (%s): stopped after %d of %d files; %s cover them (--resume "
                         "inspects the rest)" % (out_dir, error.strerror or error, done, total, kept))
        self.error, self.done, self.total, self.out_dir, self.complete = error, done, total, out_dir, complete


class Interrupted(KeyboardInterrupt):
    """Ctrl-C ended the run; the report files cover the `done` files of `total`."""

    def __init__(self, done, total, out_dir):
        super().__init__("interrupted after %d of %d files" % (done, total))
        self.done, self.total, self.out_dir = done, total, out_dir
