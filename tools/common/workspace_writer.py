"""Writing a workspace the program can run on.

Layout (image paths in the list are relative to the workspace folder):
  raw/                 the captures' images
  caches/images/       empty, required by the program
  caches/images.json   {"images": [{"raw1_image", "raw2_image", "uuid"}, ...]}
"""

import gzip
import json
import os


DEBIAN_SAMPLES = "/usr/share/doc/opencv-doc/examples/data"


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


def write_workspace(folder, captures, image_bytes):
    """Create the workspace `folder` (which must not exist) for `captures`.

    captures: (uuid, raw1, raw2) file names, raw2 "" for a single image;
    image_bytes(name) gives the content of raw/<name>.
    """
    raw = os.path.join(folder, "raw")
    os.makedirs(raw)
    os.makedirs(os.path.join(folder, "caches", "images"))
    for _, *names in captures:
        for name in filter(None, names):
            with open(os.path.join(raw, name), "wb") as f:
                f.write(image_bytes(name))
    images = [{"raw1_image": f"raw/{raw1}", "raw2_image": f"raw/{raw2}" if raw2 else "", "uuid": uuid}
              for uuid, raw1, raw2 in captures]
    with open(os.path.join(folder, "caches", "images.json"), "w") as f:
        json.dump({"images": images}, f, indent=2, allow_nan=False)
        f.write("\n")
