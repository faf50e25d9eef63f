#!/usr/bin/env bash
# Builds the Windows package of the program with MinGW-w64 on this Linux host:
# TensorFlow's official Windows wheel and OpenCV cross-built from its sources,
# both kept in a cache outside the checkout (${XDG_CACHE_HOME:-~/.cache}/learned-features,
# or LF_CACHE_DIR), then the project windows/.
#
#   scripts/windows/build.sh [build folder, default build/windows] [--zip]
#
# The package folder is <build folder>/learned-features-windows-x64; --zip also
# writes <build folder>/learned-features-windows-x64.zip. Needs the Debian
# packages of scripts/setup.sh's Windows set (MinGW-w64, cmake, ninja).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$root/scripts/progress.sh"
build_dir=$root/build/windows
zip=0
for argument in "$@"; do
  case $argument in
    --zip) zip=1 ;;
    *) build_dir=$argument ;;
  esac
done
mkdir -p "$build_dir"
build_dir=$(cd "$build_dir" && pwd)

tensorflow_dir=$("$root/scripts/windows/fetch_tensorflow.sh" | tail -n 1)
opencv_dir=$("$root/scripts/windows/build_opencv.sh" | tail -n 1)

generator=()
if [ ! -f "$build_dir/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
launcher=()
if command -v ccache >/dev/null 2>&1; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
configure_and_build() {
  cmake -S "$root/windows" -B "$build_dir" "${generator[@]}" "${launcher[@]}" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
        -DLF_TENSORFLOW_DIR="$tensorflow_dir" -DLF_OPENCV_DIR="$opencv_dir"
  nice cmake --build "$build_dir" --parallel "$(nproc)"
}
log=$build_dir/build.log
: >"$log"
run_logged "$log" "Building the Windows program in $build_dir" configure_and_build
if [ "$zip" -eq 1 ]; then
  run_logged "$log" "Zipping the package" cmake --build "$build_dir" --target package_zip
  echo "$build_dir/learned-features-windows-x64.zip"
fi
echo "$build_dir/learned-features-windows-x64"
