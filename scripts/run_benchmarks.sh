#!/usr/bin/env bash
# Sets everything up (see setup.sh), then times the program stage by stage on a
# workspace of eight photographs, and on one of 300 small captures, and compares
# it with a plain Python version of the same pipeline
# (tools/benchmark/benchmark.py prints what is measured); then how throughput
# grows with the workers on the demo's six photographs, with a near-free network
# and the default one (tools/benchmark/throughput.py).
#
#   .venv-opencv: Python that sees Debian's python3-opencv, the same OpenCV build
#                 as the program, so that both find the same keypoints; it holds
#                 TensorFlow for the Python version (scripts/make_opencv_venv.sh).
#   build/benchmark/: model, workspace, result copies and logs;
#   build/benchmark/small/: the same for the small captures.
#
# Arguments go to setup.sh (CMake options). LF_BENCHMARK_REPEAT=N times N rounds
# and keeps the best of each (default 1); worth raising on a busy machine.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${LF_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh" "$@"

venv=$root/.venv-opencv
"$root/scripts/make_opencv_venv.sh" "$venv"

export TF_CPP_MIN_LOG_LEVEL=${TF_CPP_MIN_LOG_LEVEL:-3}
bench=$build_dir/benchmark
"$root/.venv/bin/python" "$root/tools/demo/export_default_model.py" "$bench/model"
"$venv/bin/python" "$root/tools/benchmark/make_benchmark_workspace.py" "$bench/workspace"
"$venv/bin/python" "$root/tools/benchmark/benchmark.py" --build-dir "$build_dir" --model "$bench/model" \
  --workspace "$bench/workspace" --python "$venv/bin/python" --repeat "${LF_BENCHMARK_REPEAT:-1}"
echo
echo "=== 300 small captures"
"$venv/bin/python" "$root/tools/benchmark/make_benchmark_workspace.py" "$bench/small/workspace" --small
"$venv/bin/python" "$root/tools/benchmark/benchmark.py" --build-dir "$build_dir" --model "$bench/model" \
  --workspace "$bench/small/workspace" --python "$venv/bin/python" --repeat "${LF_BENCHMARK_REPEAT:-1}"
echo
echo "=== Throughput against workers, demo workspace (six photographs)"
"$root/.venv/bin/python" "$root/tools/fixtures/make_fixture_models.py" "$bench/fixtures" >/dev/null
"$root/.venv/bin/python" "$root/tools/demo/make_demo_workspace.py" "$bench/demo/workspace" >/dev/null
"$venv/bin/python" "$root/tools/benchmark/throughput.py" --build-dir "$build_dir" --workspace "$bench/demo/workspace" \
  --free-model "$bench/fixtures/valid" --default-model "$bench/model" --workers 1 2 \
  --repeat "${LF_BENCHMARK_REPEAT:-3}"
