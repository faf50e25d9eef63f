#!/usr/bin/env bash
# Recomputes the descriptor quality table of README.md: sets the project up,
# makes .venv-train (a venv that sees Debian's python3-opencv, the program's
# own OpenCV build, so that SIFT finds the program's keypoints), then scores
# SIFT, raw patches, the untrained and the trained network and TFeat (the
# published peer, tools/training/export_tfeat_model.py) on held-out pairs
# with the real program. Work files and results.json go to build/evaluation/.
# Takes several minutes: the program runs three times on thirty 2048x1024 images.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build_dir=${LF_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
"$root/tools/training/make_venv.sh"
export TF_CPP_MIN_LOG_LEVEL=${TF_CPP_MIN_LOG_LEVEL:-3}
nice -n 19 "$root/.venv-train/bin/python" "$root/tools/training/evaluate.py" \
  --program "$build_dir/app/compute_features" --out "$build_dir/evaluation" "$@" \
  2> >(grep -v -E '^WARNING: All log messages before absl|^I0000 ' >&2 || true)
