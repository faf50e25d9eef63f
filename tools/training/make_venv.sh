#!/usr/bin/env bash
# Makes .venv-train: Python that sees Debian's python3-opencv plus the pinned
# packages of requirements-training.txt (see scripts/make_opencv_venv.sh).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
"$root/scripts/make_opencv_venv.sh" "$root/.venv-train" "$root/tools/training/requirements-training.txt"
