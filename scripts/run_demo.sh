#!/usr/bin/env bash
# Sets everything up (see setup.sh), exports the default model, builds the demo
# workspace from Debian's sample photographs, and runs the program on it.
# The default model is the trained network of tools/training/weights/default.npz.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${LF_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh" --demo "$@"

export TF_CPP_MIN_LOG_LEVEL=${TF_CPP_MIN_LOG_LEVEL:-3}
python=$root/.venv/bin/python
demo=$build_dir/demo
# TensorFlow's Python side logs a few lines on import whatever the log level.
without_import_logs() { grep -v -E '^WARNING: All log messages before absl|^I0000 .*oneDNN' >&2 || true; }
"$python" "$root/tools/demo/export_default_model.py" "$demo/model" 2> >(without_import_logs)
"$python" "$root/tools/demo/make_demo_workspace.py" "$demo/workspace" 2> >(without_import_logs)
"$python" "$root/tools/demo/run_demo.py" "$build_dir/app/compute_features" "$demo/model" "$demo/workspace"
