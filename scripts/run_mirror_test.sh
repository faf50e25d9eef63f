#!/usr/bin/env bash
# Runs the Python mirror's bit-identity test against the program
# (tools/common/test_program_mirror.py) in .venv-opencv, the environment that
# sees Debian's OpenCV, the program's own build. Exits 77 (CTest: skipped) when
# that environment is missing; inside it, any unmet condition fails the test.
#
#   scripts/run_mirror_test.sh PROGRAM
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${LF_OPENCV_VENV:-$root/.venv-opencv}
if [ ! -x "$venv/bin/python" ]; then
  echo "skipped: no $venv (scripts/make_opencv_venv.sh makes it)"
  exit 77
fi
export LF_PROGRAM=$1 LF_REQUIRE_MIRROR=1 PYTHONDONTWRITEBYTECODE=1 TF_CPP_MIN_LOG_LEVEL=${TF_CPP_MIN_LOG_LEVEL:-3}
exec "$venv/bin/python" -m pytest -q -p no:cacheprovider -c "$root/tools/pytest.ini" \
  "$root/tools/common/test_program_mirror.py"
