#!/usr/bin/env bash
# Makes .venv-opencv: a virtual environment that sees Debian's python3-opencv
# (the same OpenCV build as the program, so that SIFT finds the same keypoints
# and patches are sampled identically) and holds the pinned packages of
# tools/requirements-opencv.txt and the tools' package (editable). Training,
# the benchmark's Python pipeline and the mirror's test run in it. Skipped when
# the environment already holds exactly those requirements.
#
#   scripts/make_opencv_venv.sh [VENV]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${1:-$root/.venv-opencv}
requirements=$root/tools/requirements-opencv.txt
source "$root/scripts/common.sh"
log=${LF_BUILD_DIR:-$root/build}/setup.log

if ! debian_package_installed python3-opencv; then
  run_logged "$log" "Installing Debian package python3-opencv" apt_install python3-opencv
fi

stamp=$venv/.installed-requirements
if ! { [ -f "$stamp" ] && cmp -s "$stamp" "$requirements"; }; then
  # Debian's python3-opencv belongs to the system Python.
  [ -x "$venv/bin/python" ] || /usr/bin/python3 -m venv --system-site-packages "$venv"
  run_logged "$log" "Installing Python packages into $venv" \
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check -r "$requirements"
  cp "$requirements" "$stamp"
fi
"$root/scripts/install_tools_package.sh" "$venv"
