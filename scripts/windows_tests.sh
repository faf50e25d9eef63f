#!/usr/bin/env bash
# Builds the Windows package (scripts/windows/build.sh) and tests it under
# wine, where drive letters are real: the unit tests of the path and
# capture-list layers, then end-to-end runs of the packaged program compared
# with the Linux build (windows/wine_tests.py).
#
#   scripts/windows_tests.sh [build folder, default build/windows]
#       [--linux-program PROGRAM --models FIXTURE_MODELS --python PYTHON]
#
# Without the three options only the unit tests run. The wine prefix goes to
# <build folder>/wineprefix unless LF_WINEPREFIX names one.
#
# Installs nothing: without the MinGW-w64 compiler, wine or GoogleTest's
# sources it says so and exits 77, "skipped" to CTest. Otherwise it exits 1
# when a test fails and ends with the line "N passed, M failed".
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=$root/build/windows
linux_program= models= python=
while [ $# -gt 0 ]; do
  case $1 in
    --linux-program) linux_program=$2; shift 2 ;;
    --models) models=$2; shift 2 ;;
    --python) python=$2; shift 2 ;;
    *) build_dir=$1; shift ;;
  esac
done
compiler=x86_64-w64-mingw32-g++-posix

find_wine() {
  local candidate
  for candidate in wine wine64 /usr/lib/wine/wine64; do
    if command -v "$candidate" >/dev/null 2>&1; then
      command -v "$candidate"
      return
    fi
  done
}
wine=$(find_wine || true)

if ! command -v "$compiler" >/dev/null 2>&1 || [ -z "$wine" ] || [ ! -f /usr/src/googletest/CMakeLists.txt ]; then
  echo "windows tests skipped: toolchain or wine missing" \
       "(needs $compiler, wine and /usr/src/googletest; Debian packages g++-mingw-w64-x86-64-posix wine64 wine googletest)"
  exit 77
fi

mkdir -p "$build_dir"
build_dir=$(cd "$build_dir" && pwd)
package=$("$root/scripts/windows/build.sh" "$build_dir" | tail -n 1) \
  || { echo "0 passed, 1 failed"; exit 1; }

# A private prefix (about 700 MB), made once; LF_WINEPREFIX may name a shared
# one. The Mono and Gecko installers are not wanted.
export WINEPREFIX=${LF_WINEPREFIX:-$build_dir/wineprefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || command -v wineserver64 || echo /usr/lib/wine/wineserver64)
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  timeout 300 "$wine" wineboot --init >/dev/null 2>&1
  "$wineserver" -w
fi

# The tests start in a fresh folder on Z:, wine's drive for the Linux root.
scratch=$build_dir/scratch
rm -rf "$scratch"
mkdir -p "$scratch"

passed=0
failed=0
for test in workspace_test capture_list_test; do
  log=$build_dir/$test.log
  # Under a time limit: a hung test must not stall the whole test command.
  if (cd "$scratch" && timeout 300 "$wine" "$build_dir/$test.exe") >"$log.raw" 2>&1; then status=0; else status=$?; fi
  tr -d '\r' <"$log.raw" >"$log"
  rm -f "$log.raw"
  test_passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$log" | tail -n 1)
  test_failed=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below.*/\1/p' "$log" | tail -n 1)
  test_passed=${test_passed:-0}
  test_failed=${test_failed:-0}
  if [ "$test_failed" -eq 0 ] && { [ "$status" -ne 0 ] || ! grep -q '^\[  PASSED  \]' "$log"; }; then
    test_failed=1  # crashed or stopped before its summary
  fi
  if [ "$test_failed" -ne 0 ]; then cat "$log"; fi
  echo "$test.exe: $test_passed passed, $test_failed failed"
  passed=$((passed + test_passed))
  failed=$((failed + test_failed))
done
"$wineserver" -w

if [ -n "$linux_program" ]; then
  linux_program=$(realpath "$linux_program") models=$(realpath "$models")
  # The demo's model and workspace, made once per build folder.
  inputs=$build_dir/e2e-inputs
  export TF_CPP_MIN_LOG_LEVEL=3
  if [ ! -f "$inputs/model/saved_model.pb" ]; then
    "$python" "$root/tools/demo/export_default_model.py" "$inputs/model" >/dev/null 2>&1
  fi
  if [ ! -f "$inputs/workspace/caches/images.json" ]; then
    "$python" "$root/tools/demo/make_demo_workspace.py" "$inputs/workspace" >/dev/null 2>&1
  fi
  if "$python" "$root/windows/wine_tests.py" --wine "$wine" --package "$package" \
       --linux-program "$linux_program" --models "$models" --demo-model "$inputs/model" \
       --demo-workspace "$inputs/workspace" --work "$build_dir/e2e" | tee "$build_dir/e2e.log"; then
    e2e_status=0
  else
    e2e_status=1
  fi
  "$wineserver" -w
  e2e_passed=$(sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\1/p' "$build_dir/e2e.log")
  e2e_failed=$(sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\2/p' "$build_dir/e2e.log")
  passed=$((passed + ${e2e_passed:-0}))
  failed=$((failed + ${e2e_failed:-1}))
  if [ "$e2e_status" -ne 0 ] && [ "${e2e_failed:-0}" -eq 0 ]; then failed=$((failed + 1)); fi
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
