#!/usr/bin/env bash
# Runs two builds of the program (or one build with two sets of options) on the
# same workspace, one after the other from an empty matches folder, and says
# whether standard output, standard error, the exit code and every file of the
# matches folder are byte-identical.
#
#   scripts/compare_runs.sh PROGRAM_A PROGRAM_B MODEL WORKSPACE [OPTION...] [-- OPTION_B...]
#
# Options before "--" go to both runs; those after it to the second run only.
# The workspace's matches folder is replaced; its outputs are kept in
# $TMPDIR/compare_runs.*/{a,b}. Exit 0 when identical, 1 when not.
set -euo pipefail
[ $# -ge 4 ] || { sed -n '2,10p' "$0"; exit 2; }
program_a=$1 program_b=$2 model=$3 workspace=$4
shift 4
common=() extra=()
while [ $# -gt 0 ]; do
  if [ "$1" = -- ]; then shift; extra=("$@"); break; fi
  common+=("$1"); shift
done
out=$(mktemp -d "${TMPDIR:-/tmp}/compare_runs.XXXXXX")
export TF_CPP_MIN_LOG_LEVEL=${TF_CPP_MIN_LOG_LEVEL:-3}

run() {  # name program [options...]
  local name=$1 program=$2
  shift 2
  rm -rf "$workspace/caches/matches"
  mkdir -p "$out/$name"
  set +e
  "$program" "$model" "$workspace" "$@" >"$out/$name/stdout" 2>"$out/$name/stderr"
  echo $? >"$out/$name/exit_code"
  set -e
  cp -a "$workspace/caches/matches" "$out/$name/matches"
}

run a "$program_a" "${common[@]}"
run b "$program_b" "${common[@]}" "${extra[@]}"
files=$(find "$out/a/matches" -type f | wc -l)
if diff -r "$out/a" "$out/b" >/dev/null; then
  echo "identical: stdout, stderr, exit code $(cat "$out/a/exit_code") and $files files ($out)"
else
  echo "DIFFERENT ($out):"
  diff -rq "$out/a" "$out/b" | head -20
  exit 1
fi
