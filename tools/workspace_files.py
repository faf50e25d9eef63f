"""File helpers shared by the workspace builders."""

import gzip
import os
import shutil
import tempfile


def read_source(source, name):
    """Bytes of a sample file; some distributions ship them gzipped."""
    path = os.path.join(source, name)
    if os.path.exists(path):
        with open(path, "rb") as f:
            return f.read()
    if os.path.exists(path + ".gz"):
        with gzip.open(path + ".gz", "rb") as f:
            return f.read()
    raise FileNotFoundError(f"sample photograph not found: {path}")


def replace_folder(outdir, prefix, fill):
    """Build a folder with fill(path) beside `outdir`, then swap it in.

    A half-built folder never stands at `outdir`, and an earlier one is
    replaced only once the new one is complete.
    """
    parent = os.path.dirname(outdir)
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
