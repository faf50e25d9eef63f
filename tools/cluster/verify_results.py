#!/usr/bin/env python3
"""Check that every capture of a workspace's list has a consistent result pair.

Run after all shards of a run have finished (the launcher submits it as a job
that depends on the array). Prints one line per capture whose results are
missing or inconsistent, naming the shard that should have written them, then
a summary line. Hidden temporary files left in the matches folder by killed
runs are counted but are not an error.

Exit code: 0 when every capture has a consistent pair, 1 otherwise, 2 when the
capture list cannot be read.

Usage: verify_results.py DATA [--shards N]
"""

import argparse
import os
import sys

from lf_tools.common import results  # noqa: E402
from lf_tools.common.capture_list import CaptureListError, capture_uuids  # noqa: E402

from lf_tools.cluster.sharding import shard_of  # noqa: E402


# Writers lock it while they put a pair in place (see results/result_files.h); it stays.
PUBLISH_LOCK = ".publish.lock"
# Runs given an option record there which model wrote each pair (results/model_records.h).
MODEL_RECORDS = ".model_records"


def leftover_temporary_files(matches):
    try:
        names = os.listdir(matches)
    except FileNotFoundError:
        return []
    # Writers keep their unfinished files under hidden names; the lock and the
    # records folder are hidden too, and belong there.
    return sorted(name for name in names
                  if name.startswith(".") and name not in (PUBLISH_LOCK, MODEL_RECORDS))


def verify(data, shard_count, out=sys.stdout):
    """Prints the report; returns the number of captures without a consistent pair."""
    matches = os.path.join(data, "caches", "matches")
    uuids = capture_uuids(data)
    bad = [uuid for uuid in uuids if not results.pair_is_consistent(matches, uuid)]
    for uuid in bad:
        print(f"missing or inconsistent: {uuid} (shard {shard_of(uuid, shard_count)}/{shard_count})",
              file=out)
    leftovers = leftover_temporary_files(matches)
    if leftovers:
        print(f"temporary files left by interrupted runs: {len(leftovers)} "
              "(safe to delete when no run is active)", file=out)
    print(f"captures: {len(uuids)} in the list, {len(uuids) - len(bad)} with consistent results, "
          f"{len(bad)} missing or inconsistent", file=out)
    return len(bad)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("data", help="workspace folder")
    parser.add_argument("--shards", type=int, default=1,
                        help="shard count of the run, to name each missing capture's shard (default 1)")
    args = parser.parse_args()
    if args.shards < 1:
        parser.error("--shards must be at least 1")
    try:
        bad_count = verify(args.data, args.shards)
    except CaptureListError as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    return 0 if bad_count == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
