#!/usr/bin/env python3
"""Build a small demo workspace from the sample photographs of opencv-doc.

The layout is the one common/workspace_writer.py writes.
The captures cover the input cases the program handles differently: two
stereo pairs (raw1 and raw2 both set), one image already 2048 columns wide,
and ordinary single photographs of various sizes.

Usage: make_demo_workspace.py OUTDIR [--source DIR] [--force]
"""

import argparse
import os
import sys

from lf_tools.common.folders import replace_folder  # noqa: E402
from lf_tools.common.workspace_writer import DEBIAN_SAMPLES as DEFAULT_SOURCE  # noqa: E402
from lf_tools.common.workspace_writer import read_source, write_workspace  # noqa: E402

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")

MARKER = ".demo_workspace"
WIDE_WIDTH = 2048

# (uuid, raw1, raw2); raw2 is empty for single-image captures.
CAPTURES = [
    ("demo-0001", "aloeL.jpg", "aloeR.jpg"),
    ("demo-0002", "leuvenA.jpg", ""),
    ("demo-0003", "leuvenB.jpg", ""),
    ("demo-0004", "graf1.png", ""),
    ("demo-0005", "left.jpg", "right.jpg"),
    ("demo-0006", "building_2048.png", ""),
]
# Generated captures: output name -> photograph it is made from.
WIDE_IMAGES = {"building_2048.png": "building.jpg"}


def make_wide_png(data):
    """Resize a photograph to exactly WIDE_WIDTH columns, keeping its aspect ratio."""
    import tensorflow as tf  # slow to import, so only when an image is generated

    image = tf.io.decode_image(data, channels=3, expand_animations=False)
    height, width = int(image.shape[0]), int(image.shape[1])
    new_height = round(height * WIDE_WIDTH / width)
    resized = tf.image.resize(tf.cast(image, tf.float32), [new_height, WIDE_WIDTH])
    pixels = tf.cast(tf.clip_by_value(tf.round(resized), 0, 255), tf.uint8)
    return tf.io.encode_png(pixels).numpy(), new_height


def build(staged, source):
    def image_bytes(name):
        if name not in WIDE_IMAGES:
            return read_source(source, name)
        png, height = make_wide_png(read_source(source, WIDE_IMAGES[name]))
        print(f"{name}: {WIDE_WIDTH}x{height} from {WIDE_IMAGES[name]}")
        return png

    write_workspace(staged, CAPTURES, image_bytes)
    with open(os.path.join(staged, MARKER), "w") as f:
        f.write("demo workspace built by tools/demo/make_demo_workspace.py\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("outdir", help="workspace folder to create")
    parser.add_argument("--source", default=DEFAULT_SOURCE,
                        help=f"folder holding the sample photographs (default {DEFAULT_SOURCE})")
    parser.add_argument("--force", action="store_true",
                        help="rebuild an existing demo workspace, discarding what the program wrote into it")
    args = parser.parse_args()

    outdir = os.path.abspath(args.outdir)
    if os.path.exists(outdir):
        if not os.path.exists(os.path.join(outdir, MARKER)):
            print(f"error: {outdir} exists and is not a demo workspace", file=sys.stderr)
            return 1
        if not args.force:
            # Keep it: the program may already have written its caches there.
            print(f"{outdir} already holds a demo workspace (use --force to rebuild)")
            return 0

    try:
        replace_folder(outdir, ".demo-workspace-", lambda staged: build(staged, args.source))
    except FileNotFoundError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    print(f"wrote demo workspace with {len(CAPTURES)} captures to {outdir}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
