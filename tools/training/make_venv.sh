#!/usr/bin/env bash
# Makes .venv-opencv (scripts/make_opencv_venv.sh): Python that sees Debian's
# python3-opencv plus pinned TensorFlow, numpy and pytest, and the tools'
# package. .venv-train, the name older commands use, points to it.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
"$root/scripts/make_opencv_venv.sh" "$root/.venv-opencv"
[ -e "$root/.venv-train" ] || ln -s .venv-opencv "$root/.venv-train"
