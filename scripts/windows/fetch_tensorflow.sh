#!/usr/bin/env bash
# Fetches TensorFlow's official Windows wheel (the pinned tensorflow-cpu
# version) and extracts what a C program needs from it into a cache outside
# the checkout: the DLL that exports the C API, its import library (MinGW-w64's
# ld links it directly) and the C API headers.
#
#   scripts/windows/fetch_tensorflow.sh      prints the extracted folder on its last line
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
version=$(sed -n 's/^tensorflow-cpu==//p' "$root/tools/requirements.txt")
cache=${LF_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/learned-features}
target=$cache/tensorflow-cpu-$version-win_amd64
if [ -f "$target/.complete" ]; then
  echo "$target"
  exit 0
fi

wheel=$cache/downloads/tensorflow_cpu-$version-cp311-cp311-win_amd64.whl
if [ ! -f "$wheel" ]; then
  echo "Downloading TensorFlow $version for Windows (350 MB)" >&2
  # The project's venv has pip; Debian's python3 alone may not.
  python=python3
  [ -x "$root/.venv/bin/python" ] && python=$root/.venv/bin/python
  "$python" -m pip download --quiet --disable-pip-version-check --platform win_amd64 --python-version 3.11 \
    --only-binary=:all: --no-deps "tensorflow-cpu==$version" -d "$cache/downloads" >&2
fi

echo "Extracting TensorFlow's C library from the wheel" >&2
rm -rf "$target"
python3 - "$wheel" "$target" <<'PY'
import os, shutil, sys, zipfile

wheel, target = sys.argv[1:]
# The C API headers and the plain-C headers they include.
header_trees = ("tensorflow/include/tensorflow/c/", "tensorflow/include/xla/tsl/c/")
header_files = ("tensorflow/include/tensorflow/core/platform/ctstring",
                "tensorflow/include/tsl/platform/ctstring")
files = {"tensorflow/python/_pywrap_tensorflow_common.dll": "bin/_pywrap_tensorflow_common.dll",
         "tensorflow/python/_pywrap_tensorflow_common.dll.if.lib": "lib/_pywrap_tensorflow_common.dll.if.lib"}
with zipfile.ZipFile(wheel) as archive:
    for name in archive.namelist():
        if name.endswith("/"):
            continue
        if name.startswith(header_trees) or name.startswith(header_files):
            files[name] = "include/" + name[len("tensorflow/include/"):]
    for name, relative in sorted(files.items()):
        path = os.path.join(target, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with archive.open(name) as source, open(path, "wb") as copy:
            shutil.copyfileobj(source, copy, 1 << 20)
PY
touch "$target/.complete"
echo "$target"
