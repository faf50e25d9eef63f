"""The training photographs: where they come from, and which ones are off limits.

photographs.txt lists "PACKAGE PATH" lines. fetch_photographs.py fetches each
package into a cache folder as CACHE/PACKAGE/<the package's files>, so a
photograph lives at CACHE/PACKAGE/PATH (inside a Qt resource bundle B:
CACHE/PACKAGE/B.d/<the path in the bundle>).

The held-out images are kept for measuring quality only; every entry point
that reads training photographs goes through refuse_held_out().
"""

import fnmatch
import os
import pathlib

LIST_FILE = pathlib.Path(__file__).resolve().with_name("photographs.txt")

# (name, version) of the Debian packages and PyPI wheels holding them: the
# versions the committed weights were trained from (RECORD.md).
DEBIAN_PACKAGES = (("plasma-workspace-wallpapers", "4:5.27.5-2"), ("mate-backgrounds", "1.26.0-1"),
                   ("lomiri-wallpapers-16.04", "20.04.0-2"), ("lomiri-wallpapers-20.04", "20.04.0-2"),
                   ("opencv-doc", "4.6.0+dfsg-12"), ("libjxl-testdata", "0.0~git20230110.d6168ff-1"),
                   ("stellarium-data", "0.22.2-1"), ("gcompris-qt-data", "3.1-2"))
WHEELS = (("scikit-image", "0.24.0"), ("scikit-learn", "1.9.1"), ("matplotlib", "3.11.2"),
          ("mahotas", "1.4.19"))

# Compiled Qt resource bundles inside those packages whose photographs are
# listed: fetch_photographs.py unpacks each into "<bundle>.d/" beside it.
RESOURCE_BUNDLES = (("gcompris-qt-data", "usr/share/gcompris-qt/rcc/explore_monuments.rcc"),
                    ("gcompris-qt-data", "usr/share/gcompris-qt/rcc/erase.rcc"),
                    ("gcompris-qt-data", "usr/share/gcompris-qt/rcc/clickgame.rcc"))

HELD_OUT_PATTERNS = ("graf*", "aero1.jpg", "aero3.jpg", "home.jpg", "stuff.jpg")


class HeldOutError(ValueError):
    pass


def is_held_out(path):
    name = os.path.basename(str(path)).lower()
    return any(fnmatch.fnmatchcase(name, pattern) for pattern in HELD_OUT_PATTERNS)


def refuse_held_out(path):
    if is_held_out(path):
        raise HeldOutError(f"{path} is a held-out evaluation image and must never be trained on")
    return path


def read_list(list_file=LIST_FILE):
    """[(package, path)] in file order, held-out names refused."""
    entries = []
    for line in pathlib.Path(list_file).read_text().splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        package, path = line.split(None, 1)
        refuse_held_out(path)
        entries.append((package, path))
    return entries


def photograph_paths(cache, list_file=LIST_FILE):
    """Absolute paths of the listed photographs inside CACHE; all must exist."""
    paths = [os.path.join(cache, package, path) for package, path in read_list(list_file)]
    missing = [p for p in paths if not os.path.isfile(p)]
    if missing:
        raise FileNotFoundError(f"{len(missing)} photographs missing from {cache} (first: {missing[0]});"
                                " run tools/training/fetch_photographs.py first")
    return [refuse_held_out(p) for p in paths]
