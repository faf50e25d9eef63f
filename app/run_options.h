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
//
// With any option the run ends its standard output with one line
// "records: <P> processed, <S> skipped, <F> failed" before the success line
// (or before the failure), counting the records of its shard.

#include <cstdint>
#include <string>

namespace lf {

struct RunOptions {
  std::uint64_t shard_index = 0;
  std::uint64_t shard_count = 1;
  bool skip_done = false;
  bool given = false;  // any option at all
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

}  // namespace lf
