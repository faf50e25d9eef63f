#!/usr/bin/env bash
# Installs what the project needs and builds it. Safe to run again: each step
# is skipped when its result is already there.
#
#   Debian packages: compiler, CMake, GoogleTest, OpenCV, cereal,
#                    Python with venv, the sample photographs of opencv-doc,
#                    MinGW-w64 with wine for the Windows build of the path layer, and
#                    Slurm with munge for the one-machine cluster test.
#   .venv:           pinned Python packages of tools/requirements.txt (TensorFlow's
#                    wheel also carries the C library the program links), and the
#                    Python tools installed editable as the package lf_tools.
#   build/:          Release build of the program, its tests and benchmarks.
#
# LF_TENSORFLOW=gpu installs the tensorflow wheel with its CUDA packages instead of
# tensorflow-cpu (same version) into .venv-gpu and builds into build-gpu/; the
# program then finds the CUDA libraries of the wheel through its rpath.
#
# Extra CMake arguments may be passed, e.g. -DTENSORFLOW_C_ROOT=/opt/libtensorflow.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
case ${LF_TENSORFLOW:-cpu} in
  cpu) venv=$root/.venv;     build_dir=${LF_BUILD_DIR:-$root/build} ;;
  gpu) venv=$root/.venv-gpu; build_dir=${LF_BUILD_DIR:-$root/build-gpu} ;;
  *) echo "LF_TENSORFLOW must be cpu or gpu, not '$LF_TENSORFLOW'" >&2; exit 2 ;;
esac

apt_packages=(build-essential cmake g++ git libgtest-dev libgmock-dev
              libopencv-dev libjpeg-dev libcereal-dev python3 python3-venv opencv-doc
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

# The pinned requirements, with the GPU wheel in place of tensorflow-cpu for LF_TENSORFLOW=gpu.
requirements() {
  if [ "${LF_TENSORFLOW:-cpu}" = gpu ]; then
    sed 's/^tensorflow-cpu==/tensorflow[and-cuda]==/' "$root/tools/requirements.txt"
  else
    cat "$root/tools/requirements.txt"
  fi
}

install_python_packages() {
  local stamp=$venv/.installed-requirements
  if [ -f "$stamp" ] && cmp -s "$stamp" <(requirements); then return; fi
  echo "Installing Python packages into $venv"
  [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check -r <(requirements)
  requirements > "$stamp"
}

build() {
  cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DLF_VENV_DIR="$venv" "$@" >/dev/null
  cmake --build "$build_dir" --parallel "$(nproc)"
}

install_debian_packages
install_python_packages
"$root/scripts/install_tools_package.sh" "$venv"  # the tools as package lf_tools, editable
build "$@"
