"""Replacing a generated folder or file without ever leaving a half-built one."""

import contextlib
import os
import shutil
import signal
import tempfile
import threading

# Put off while a folder is swapped, so that Ctrl-C or a plain kill lands
# before or after the two renames, never between them.
_SWAP_SIGNALS = [getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name)]


@contextlib.contextmanager
def _signals_put_off():
    """The signals of _SWAP_SIGNALS that come in the block take effect after
    it, as they would have. Python runs signal handlers in the main thread
    only, so elsewhere nothing is put off."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    caught, previous = [], {}
    for number in _SWAP_SIGNALS:
        handler = signal.getsignal(number)
        if handler is not None:  # None: set outside Python, and it could not be put back
            previous[number] = signal.signal(number, lambda number, frame: caught.append(number))
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
        for number in caught:
            signal.raise_signal(number)


def _swap_in(staged, outdir, previous):
    """Renames staged to outdir, an existing outdir to previous first; puts it
    back if the second rename fails."""
    with _signals_put_off():
        had_previous = os.path.lexists(outdir)
        if had_previous:
            os.rename(outdir, previous)
        try:
            os.rename(staged, outdir)
        except BaseException:
            if had_previous:
                os.rename(previous, outdir)
            raise


def replace_folder(outdir, prefix, fill):
    """Build a folder with fill(path) beside `outdir`, then swap it in.

    `path` does not exist when fill is called. A half-built folder never stands
    at `outdir`, and an earlier one is replaced only once the new one is
    complete: until the swap `outdir` is the earlier folder, after it the new
    one; in between (two renames, which Ctrl-C and a plain kill wait for) it
    is missing for an instant. The work folder (named `prefix` + random,
    hidden when `prefix` starts with a dot) is removed whatever happens, but
    for a process killed outright.
    """
    parent = os.path.dirname(os.path.abspath(outdir))
    os.makedirs(parent, exist_ok=True)
    work = tempfile.mkdtemp(prefix=prefix, dir=parent)
    try:
        staged = os.path.join(work, "staged")
        fill(staged)
        _swap_in(staged, outdir, os.path.join(work, "previous"))
    finally:
        shutil.rmtree(work, ignore_errors=True)


def replace_file(path, write, mode="wb"):
    """Write `path` through write(file) on a temporary file renamed over it, so that an
    interrupted write leaves the old file whole and nothing beside it."""
    partial = path + ".partial"
    try:
        with open(partial, mode) as f:
            write(f)
        os.replace(partial, path)
    except BaseException:
        if os.path.exists(partial):
            os.remove(partial)
        raise
