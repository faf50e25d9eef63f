#!/usr/bin/env bash
# Installs what the project needs and builds it. Safe to run again: each step
# is skipped when its result is already there.
#
#   Debian packages: compiler, CMake, GoogleTest, Google Benchmark, OpenCV, cereal,
#                    Python with venv, the sample photographs of opencv-doc,
#                    MinGW-w64 with wine for the Windows build of the path layer, and
#                    Slurm with munge for the one-machine cluster test.
#   .venv:           pinned Python packages of tools/requirements.txt (TensorFlow's
#                    wheel also carries the C library the program links).
#   build/:          Release build of the program, its tests and benchmarks.
#
# Extra CMake arguments may be passed, e.g. -DTENSORFLOW_C_ROOT=/opt/libtensorflow.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${LF_BUILD_DIR:-$root/build}
venv=$root/.venv

apt_packages=(build-essential cmake g++ git libgtest-dev libgmock-dev libbenchmark-dev
              libopencv-dev libcereal-dev python3 python3-venv opencv-doc
              g++-mingw-w64-x86-64-posix wine64 wine slurm-wlm munge)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_debian_packages() {
  local missing=() package
  for package in "${apt_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
      || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return
  echo "Installing Debian packages: ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

install_python_packages() {
  local stamp=$venv/.installed-requirements
  if [ -f "$stamp" ] && cmp -s "$stamp" "$root/tools/requirements.txt"; then return; fi
  echo "Installing Python packages into $venv"
  [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check -r "$root/tools/requirements.txt"
  cp "$root/tools/requirements.txt" "$stamp"
}

build() {
  cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$build_dir" --parallel "$(nproc)"
}

install_debian_packages
install_python_packages
build "$@"
