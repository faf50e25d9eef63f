#pragma once
// One capture's pair of result files (result_files.h) as one transaction.
//
// How a pair is put in place (StagedResultPair). Both files are written under
// temporary names unique to the process, each locked by its writer from its
// creation on (see temporary_files.h), and only when the whole capture has
// succeeded, with an exclusive lock on the matches folder's ".publish.lock"
// (flock) held:
//   0. both temporary files are checked to be still the ones this object
//      created (same file, not removed); otherwise nothing is touched and the
//      capture fails,
//   1. the pair's old model record is removed (model_records.h); a record
//      that stays fails the capture with nothing else touched,
//      and the old "<uuid>.desc" is removed,
//   2. the new keypoint file is renamed to "<uuid>.feat",
//   3. the new descriptor file is renamed to "<uuid>.desc".
// So a failure, a kill or a full disk never leaves a truncated file or a new
// keypoint file beside an older descriptor file: at any moment a uuid has an
// older complete pair, a new complete pair, or (after a kill between steps 1
// and 3) a keypoint file alone, which counts as unfinished. A run that fails a
// capture removes only its own temporary files (and, if step 3 fails, the
// keypoint file it put in place in step 2). Writers exclude each other, so
// concurrent runs (shards, repeated runs) over one matches folder leave one
// run's pair. A reader that holds a shared lock on ".publish.lock" while it
// opens both files never sees one run's keypoint file beside another run's
// descriptor file (result_pair_is_consistent does so).
//
// Which model wrote a pair is kept apart from the two files, in
// ".model_records/<uuid>" in the matches folder, written by runs given an
// option and changed under the same lock (see model_records.h).

#include <cstdint>
#include <string>

#include "features/types.h"
#include "platform/files.h"
#include "results/result_files.h"

namespace lf {

// A file of a capture's results that could not be written, put in place or
// removed: which file, and errno.
struct WriteFault {
  enum class Kind {
    result_file,   // a result file could not be written or put in place
    model_record,  // the pair's old model record could not be removed
  };
  Kind kind = Kind::result_file;
  std::string path;
  int error = 0;
};

// One capture's pair of result files as one transaction: written under
// temporary names, put in place together by commit(); whatever was not
// committed is removed when the object goes.
class StagedResultPair {
 public:
  // `matches_folder` ends with a separator. With a model fingerprint, the
  // pair's model record is written once the pair is in place
  // (model_records.h); the old record goes in any case, and a pair whose old
  // record stays is not put in place.
  StagedResultPair(const std::string& matches_folder, const std::string& uuid,
                   const std::string& model_fingerprint = "");
  ~StagedResultPair();
  StagedResultPair(const StagedResultPair&) = delete;
  StagedResultPair& operator=(const StagedResultPair&) = delete;

  // Each returns false on failure, and fault() tells what failed.
  bool write_keypoints(const KeypointList& keypoints);
  bool open_descriptors(std::uint64_t count);
  // `count` rows of descriptor_length floats; a failed write shows at commit().
  void append_rows(const float* rows, std::size_t count) { descriptors_.append_rows(rows, count); }
  bool commit();
  const WriteFault& fault() const { return fault_; }
  // After a commit: the new model record that could not be written (error 0
  // when it was, or none was asked for). The pair itself is complete.
  const WriteFault& unkept_record() const { return unkept_record_; }

 private:
  // A temporary file and the handle holding its lock (temporary_files.h).
  struct Temporary {
    std::string path;  // empty once renamed or removed
    FilePtr claim;
  };

  // A new claimed temporary file; `temporary.path` is empty (errno set) when
  // it could not be created.
  FilePtr create_temporary(Temporary& temporary);
  // True when the path still names the file this object created.
  static bool still_ours(const Temporary& temporary);
  static void release(Temporary& temporary);
  bool fail(WriteFault::Kind kind, const std::string& path, int error);
  bool publish();
  void discard(Temporary& temporary);

  std::string matches_folder_;
  std::string uuid_;
  std::string model_fingerprint_;
  std::string keypoint_path_;
  std::string descriptor_path_;
  Temporary keypoint_part_;
  Temporary descriptor_part_;
  DescriptorFile descriptors_;
  WriteFault fault_;
  WriteFault unkept_record_;
};

// True when both files of the uuid exist and agree: the descriptor file is
// 8 + 512 * N bytes for its count N, and the keypoint file holds exactly N
// line feeds and is empty or ends in CR LF (the Python checkers apply the same
// rule; tools/fixtures/pair_consistency_cases.json tables the cases). Holds
// a shared lock on ".publish.lock" while it looks.
bool result_pair_is_consistent(const std::string& matches_folder, const std::string& uuid);

// result_pair_is_consistent, and the pair's model record holds
// `model_fingerprint` (model_records.h), both under one shared lock.
bool result_pair_is_done(const std::string& matches_folder, const std::string& uuid,
                         const std::string& model_fingerprint);

}  // namespace lf
