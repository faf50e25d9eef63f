#!/usr/bin/env bash
# Installs what the project needs and builds it. Safe to run again: each step
# is skipped when its result is already there.
#
#   scripts/setup.sh [--demo] [extra CMake arguments]
#
#   Debian packages: compiler, CMake, GoogleTest, OpenCV, cereal, Python with
#                    venv, the sample photographs of opencv-doc; without --demo
#                    also MinGW-w64 with wine and ninja for the Windows build, and
#                    Slurm with munge for the one-machine cluster test.
#   .venv:           pinned Python packages of tools/requirements.txt (TensorFlow's
#                    wheel also carries the C library the program links), and the
#                    Python tools installed editable as the package lf_tools.
#   build/:          Release build of the program, its tests and benchmarks.
#   build/windows/:  without --demo, the Windows package (scripts/windows/build.sh:
#                    TensorFlow's Windows wheel and an OpenCV cross-build, cached
#                    in ${XDG_CACHE_HOME:-~/.cache}/learned-features; the first
#                    OpenCV build took 30 to 45 minutes on a busy two-core machine).
#
# The console gets one line per step; the package managers' and builds' output
# goes to build/setup.log.
#
# LF_TENSORFLOW=gpu installs the tensorflow wheel with its CUDA packages instead of
# tensorflow-cpu (same version) into .venv-gpu and builds into build-gpu/; the
# program then finds the CUDA libraries of the wheel through its rpath.
#
# Extra CMake arguments may be passed, e.g. -DTENSORFLOW_C_ROOT=/opt/libtensorflow.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/common.sh"
case ${LF_TENSORFLOW:-cpu} in
  cpu) venv=$root/.venv;     build_dir=${LF_BUILD_DIR:-$root/build} ;;
  gpu) venv=$root/.venv-gpu; build_dir=${LF_BUILD_DIR:-$root/build-gpu} ;;
  *) echo "LF_TENSORFLOW must be cpu or gpu, not '$LF_TENSORFLOW'" >&2; exit 2 ;;
esac
demo_only=0
if [ "${1:-}" = --demo ]; then
  demo_only=1
  shift
fi
mkdir -p "$build_dir"
log=$build_dir/setup.log

# What the program, its tests and the demo need.
apt_packages=(build-essential cmake g++ git libgtest-dev libgmock-dev
              libopencv-dev libjpeg-dev libcereal-dev python3 python3-venv opencv-doc)
# What only the test suite needs: the Windows build and wine, the cluster test.
test_apt_packages=(g++-mingw-w64-x86-64-posix wine64 wine ninja-build slurm-wlm munge)
[ "$demo_only" -eq 1 ] || apt_packages+=("${test_apt_packages[@]}")

install_debian_packages() {
  local missing=() package
  for package in "${apt_packages[@]}"; do
    debian_package_installed "$package" || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return
  run_logged "$log" "Installing ${#missing[@]} Debian packages (${missing[*]})" apt_install "${missing[@]}"
}

# The pinned requirements, with the GPU wheel in place of tensorflow-cpu for LF_TENSORFLOW=gpu.
requirements() {
  if [ "${LF_TENSORFLOW:-cpu}" = gpu ]; then
    sed 's/^tensorflow-cpu==/tensorflow[and-cuda]==/' "$root/tools/requirements.txt"
  else
    cat "$root/tools/requirements.txt"
  fi
}

pip_install() {
  [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
  "$venv/bin/python" -m pip install --disable-pip-version-check -r <(requirements)
}

install_python_packages() {
  local stamp=$venv/.installed-requirements
  if [ -f "$stamp" ] && cmp -s "$stamp" <(requirements); then return; fi
  run_logged "$log" "Installing Python packages into $venv" pip_install
  requirements > "$stamp"
}

build() {
  cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DLF_VENV_DIR="$venv" "$@"
  cmake --build "$build_dir" --parallel "$(nproc)"
}

build_windows_package() {
  echo "Windows package (first time: TensorFlow's Windows wheel, 350 MB, and an OpenCV cross-build)"
  "$root/scripts/windows/build.sh" "$build_dir/windows" >/dev/null
}

install_debian_packages
install_python_packages
"$root/scripts/install_tools_package.sh" "$venv"  # the tools as package lf_tools, editable
run_logged "$log" "Building $build_dir" build "$@"
[ "$demo_only" -eq 1 ] || build_windows_package
