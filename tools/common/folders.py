"""Replacing a generated folder without ever leaving a half-built one."""

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
