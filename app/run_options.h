#pragma once
// Options after the two positional arguments. A run without them behaves as
// the plain two-argument run; an argument that does not start with "--" is
// ignored, as it always was.
//
//   --shard K/N   process only the records in shard K of N (0 <= K < N): those
//                 whose uuid_hash(uuid) % N == K. Records sharing a uuid share
//                 a shard, and a growing list keeps every old record in its
//                 shard, so shards 0..N-1 together write each capture once.
//   --skip-done   skip a record whose result pair is already complete and
//                 was written by the same model (result_pair_is_done); it
//                 prints "uuid : <uuid>" and "skipped: results exist" and
//                 counts as done.
//   --workers N   prepare up to N captures at once (1 <= N <= max_workers);
//                 without it, default_workers() chooses. It changes how fast a
//                 run goes, never what it prints or writes, so it alone does
//                 not count as an option below.
//
// With --shard or --skip-done the run ends its standard output with one line
// "records: <P> processed, <S> skipped, <F> failed" before the success line
// (or before the failure), counting the records of its shard.

#include <cstddef>
#include <cstdint>
#include <string>

namespace lf {

struct RunOptions {
  std::uint64_t shard_index = 0;
  std::uint64_t shard_count = 1;
  bool skip_done = false;
  std::size_t workers = 0;  // 0: default_workers() chooses
  bool given = false;  // --shard or --skip-done
  // Of the model, when an option was given: recorded with each pair written,
  // and required of a pair that --skip-done skips (results/model_records.h).
  std::string model_fingerprint;
};

// True when the first or second argument starts with "--": an option given
// where the model or workspace argument belongs.
bool options_precede_arguments(int argc, const char* const* argv);

// Reads argv[3..]. False with `error` (without the "Error: " prefix) for an
// unknown "--" argument or a malformed value.
bool parse_run_options(int argc, const char* const* argv, RunOptions& options, std::string& error);

// FNV-1a 64 of the uuid's bytes (offset basis 14695981039346656037, prime
// 1099511628211): fixed, so that other tools can compute shards too.
std::uint64_t uuid_hash(const std::string& uuid);

bool in_shard(const RunOptions& options, const std::string& uuid);

constexpr std::size_t max_workers = 64;
// What a worker may hold at once: detection works on about 0.5 MB per row of a
// 2048-column image (512 MB at 1024 rows), and 20,000 patches take 80 MB.
constexpr std::uint64_t worker_memory = 640ull << 20;

// One worker per core the process may use, as many as half the available
// memory holds (at least one, at most max_workers). A worker that waits for
// the network takes no core, so on a machine the network keeps busy the
// workers only prepare ahead and then wait. `available_memory` 0 (unknown)
// leaves the cores alone to decide.
std::size_t default_workers(unsigned cores, std::uint64_t available_memory);

}  // namespace lf
