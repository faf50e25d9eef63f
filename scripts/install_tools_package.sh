#!/usr/bin/env bash
# Installs the Python tools (package lf_tools, pyproject.toml) editable into a
# venv, unless it already imports them from this checkout.
#
#   scripts/install_tools_package.sh VENV
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=$1/bin/python
if ! "$python" -c 'import lf_tools, os, sys; sys.exit(os.path.realpath(lf_tools.__path__[0]) != os.path.realpath(sys.argv[1]))' \
    "$root/tools" 2>/dev/null; then
  "$python" -m pip install --quiet --disable-pip-version-check --no-deps -e "$root"
fi
