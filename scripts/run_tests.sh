#!/usr/bin/env bash
# Sets everything up (see setup.sh) and runs the whole test suite through CTest.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh" "$@"
# The environment that sees Debian's OpenCV, for the Python mirror's bit-identity test.
"$root/scripts/make_opencv_venv.sh" "$root/.venv-opencv" "$root/tools/requirements-opencv.txt"
default_build=$root/build
[ "${LF_TENSORFLOW:-cpu}" = gpu ] && default_build=$root/build-gpu  # as setup.sh
ctest --test-dir "${LF_BUILD_DIR:-$default_build}" --output-on-failure --parallel "$(nproc)"
