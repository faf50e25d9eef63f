#!/usr/bin/env bash
# Cross-builds OpenCV's static libraries for Windows (MinGW-w64) once, into a
# cache outside the checkout keyed by version, so later runs and CI reuse it.
#
#   scripts/windows/build_opencv.sh      prints the install folder on its last line
#
# The sources are those of PyPI's opencv-python-headless sdist of the release
# Debian's libopencv-dev is (4.6.0): both builds then find the same keypoints.
# Only what the program uses is built, with the bundled zlib, libpng and
# libjpeg-turbo (the JPEG damage check links that same libjpeg).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$root/scripts/progress.sh"
sdist_version=4.6.0.66
cache=${LF_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/learned-features}
off=(BUILD_TESTS BUILD_PERF_TESTS BUILD_EXAMPLES BUILD_opencv_apps BUILD_JAVA BUILD_opencv_python2
     BUILD_opencv_python3 BUILD_opencv_gapi BUILD_opencv_world BUILD_SHARED_LIBS BUILD_DOCS
     WITH_IPP WITH_FFMPEG WITH_TIFF WITH_WEBP WITH_OPENJPEG WITH_JASPER WITH_OPENEXR WITH_PROTOBUF
     WITH_ADE WITH_QUIRC WITH_EIGEN WITH_LAPACK WITH_OPENCL WITH_ITT WITH_DSHOW WITH_MSMF WITH_WIN32UI
     WITH_VTK WITH_GTK WITH_1394 WITH_IMGCODEC_HDR WITH_IMGCODEC_SUNRASTER WITH_IMGCODEC_PXM
     WITH_IMGCODEC_PFM WITH_OBSENSOR ENABLE_PRECOMPILED_HEADERS OPENCV_GENERATE_PKGCONFIG)
on=(BUILD_ZLIB BUILD_PNG BUILD_JPEG WITH_PNG WITH_JPEG)
args=()
for option in "${off[@]}"; do args+=("-D$option=OFF"); done
for option in "${on[@]}"; do args+=("-D$option=ON"); done

# As Debian builds its OpenCV: -O2 and SSE2 as the baseline, with the same
# dispatched code (SSE4.1 to AVX-512), so that both find the same keypoints.
build_and_install() {
  cmake -S "$work/opencv" -B "$work/build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
        -DCPU_BASELINE=SSE2 -DCPU_BASELINE_DISABLE=SSE3 \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_LIST=core,imgproc,imgcodecs,features2d,flann "${args[@]}"
  nice -n 19 cmake --build "$work/build" --parallel 2
  cmake --install "$work/build"
  # OpenCV installs its static libjpeg but not its headers; the program's own
  # JPEG check includes them.
  local jpeg_include=$prefix/include/libjpeg-turbo
  mkdir -p "$jpeg_include"
  cp "$work/opencv/3rdparty/libjpeg-turbo/src/"{jpeglib.h,jmorecfg.h,jerror.h} \
     "$work/build/3rdparty/libjpeg-turbo/jconfig.h" "$jpeg_include/"
}
# Keyed by the sources' version and the recipe above, so that a changed
# recipe builds afresh.
recipe=$(printf '%s\n' "$sdist_version" "${off[@]}" "${on[@]}" "$(declare -f build_and_install)" | sha256sum | cut -c1-8)
prefix=$cache/opencv-$sdist_version-mingw-w64-$recipe
log=$cache/opencv-$sdist_version-$recipe-build.log

if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi
mkdir -p "$cache/downloads"

sdist=$cache/downloads/opencv-python-headless-$sdist_version.tar.gz
if [ ! -f "$sdist" ]; then
  # pip prepares an sdist's metadata before saving it; a throwaway venv holds
  # what the sdist's setup needs for that.
  echo "Downloading OpenCV $sdist_version sources (90 MB)" >&2
  venv=$cache/sdist-venv
  [ -x "$venv/bin/pip" ] || python3 -m venv "$venv" >&2
  "$venv/bin/pip" install --quiet --disable-pip-version-check scikit-build setuptools wheel packaging numpy >&2
  "$venv/bin/pip" download --quiet --disable-pip-version-check --no-binary :all: --no-deps \
    --no-build-isolation "opencv-python-headless==$sdist_version" -d "$cache/downloads" >&2
  rm -rf "$venv"
fi

# An interrupted build resumes where it stopped.
work=$cache/opencv-$sdist_version-$recipe-work
rm -rf "$prefix"
if [ ! -f "$work/opencv/.extracted" ]; then
  rm -rf "$work"
  mkdir -p "$work"
  tar xzf "$sdist" -C "$work" --strip-components=1 "opencv-python-headless-$sdist_version/opencv"
  touch "$work/opencv/.extracted"
fi

start=$(date +%s)
run_logged "$log" "Cross-building OpenCV $sdist_version for Windows, once (30 to 45 minutes on a busy two-core machine)" \
  build_and_install
rm -rf "$work"
touch "$prefix/.complete"
echo "OpenCV built in $(( $(date +%s) - start )) s" >&2
echo "$prefix"
