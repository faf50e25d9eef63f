# Sourced by the set-up scripts (which run under set -e): runs long commands
# with their output in a log and one short progress line on the console
# (standard error, so that scripts can print results on standard output).

# run_logged LOG LABEL COMMAND...: runs COMMAND with its output appended to LOG
# and prints "LABEL: 10% 20% ... done" from the build tools' progress ("[n/m]"
# from ninja, "[ nn%]" from make); on failure prints the log's last lines and
# returns 1.
run_logged() {
  local log=$1 label=$2 status
  shift 2
  mkdir -p "$(dirname "$log")"
  printf '%s:' "$label" >&2
  set +e
  "$@" 2>&1 | tee -a "$log" | awk '
    { percent = -1
      if (match($0, /^\[[0-9]+\/[0-9]+\]/)) { split(substr($0, 2, RLENGTH - 2), part, "/"); percent = int(100 * part[1] / part[2]) }
      else if (match($0, /^\[ *[0-9]+%\]/)) { percent = substr($0, 2, RLENGTH - 3) + 0 }
      if (percent >= mark + 10) { mark = percent - percent % 10; printf " %d%%", mark; fflush() }
    }' >&2
  status=${PIPESTATUS[0]}
  set -e
  if [ "$status" -ne 0 ]; then
    echo " failed" >&2
    tail -n 40 "$log" >&2
    echo "(full output: $log)" >&2
    return 1
  fi
  echo " done" >&2
}
