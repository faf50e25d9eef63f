#!/bin/bash
# One task of a Slurm job array: computes the features of one shard of a workspace.
#
#   sbatch --array=0-$((N - 1)) tools/cluster/shard_task.sbatch PROGRAM MODEL DATA
#
# Task K of an array of N tasks runs PROGRAM MODEL DATA --shard K/N --skip-done, so
# a resubmitted array only computes what a killed or failed task left undone. To
# resubmit some tasks alone (say --array=2,5), give the shard count of the whole
# run in LF_SHARD_COUNT, since Slurm then counts only the tasks submitted.
# The task's exit code is the program's (0 when every capture of the shard succeeded).
#SBATCH --job-name=compute_features
#SBATCH --ntasks=1
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: sbatch --array=0-<N-1> $0 PROGRAM MODEL DATA" >&2
  exit 2
fi
if [ -z "${SLURM_ARRAY_TASK_ID:-}" ]; then
  echo "error: not an array task; submit with sbatch --array=0-<N-1>" >&2
  exit 2
fi

shard=$SLURM_ARRAY_TASK_ID
shard_count=${LF_SHARD_COUNT:-$SLURM_ARRAY_TASK_COUNT}
if [ -z "${LF_SHARD_COUNT:-}" ] && { [ "$SLURM_ARRAY_TASK_MIN" -ne 0 ] || [ "$SLURM_ARRAY_TASK_MAX" -ne $((shard_count - 1)) ]; }; then
  # Indices other than 0..N-1 would leave shards out or name shards that do not exist.
  echo "error: array indices $SLURM_ARRAY_TASK_MIN..$SLURM_ARRAY_TASK_MAX are not 0..$((shard_count - 1));" \
       "set LF_SHARD_COUNT to the run's shard count to resubmit some tasks alone" >&2
  exit 2
fi

echo "shard $shard/$shard_count on $(hostname)"
exec "$1" "$2" "$3" --shard "$shard/$shard_count" --skip-done
