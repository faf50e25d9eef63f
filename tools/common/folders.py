"""Replacing a generated folder or file without ever leaving a half-built one."""

import os
import shutil
import tempfile


def replace_folder(outdir, prefix, fill):
    """Build a folder with fill(path) beside `outdir`, then swap it in.

    `path` does not exist when fill is called. A half-built folder never stands
    at `outdir`, and an earlier one is replaced only once the new one is
    complete. The work folder (named `prefix` + random, hidden when `prefix`
    starts with a dot) is removed whatever happens.
    """
    parent = os.path.dirname(os.path.abspath(outdir))
    os.makedirs(parent, exist_ok=True)
    work = tempfile.mkdtemp(prefix=prefix, dir=parent)
    try:
        staged = os.path.join(work, "staged")
        fill(staged)
        if os.path.exists(outdir):
            os.rename(outdir, os.path.join(work, "previous"))
        os.rename(staged, outdir)
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
