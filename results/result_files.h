#pragma once
// The two result files of a capture, in the matches folder, named after its uuid.
//
// Keypoint file "<uuid>.feat", text: one line per keypoint, largest first,
//   "x y size angle" as printf "%g" (six significant digits), one space apart,
//   each line ended by CR LF. No header; 0 keypoints give an empty file.
//
// Descriptor file "<uuid>.desc", binary, little-endian:
//   offset 0: uint64 N, the number of descriptors (= keypoints)
//   offset 8: N rows of 128 float32, row k for keypoint k, no padding.
//   Size 8 + 512 * N bytes.
//
// Both files are written under temporary names ("<uuid>.feat.part",
// "<uuid>.desc.part") and renamed into place only when the whole record has
// succeeded, so a failure, a kill or a full disk never leaves a truncated file or
// a new keypoint file beside a stale descriptor file.

#include <cstdint>
#include <cstdio>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core/types.hpp>

#include "inference/descriptor_model.h"

using KeypointList = std::vector<cv::KeyPoint>;

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Writes the keypoint file; false (errno set) when it cannot be created or written.
bool write_keypoint_file(const std::string& path, const KeypointList& keypoints);

// The open descriptor file of one record. After a failed write, later writes are
// skipped and close() reports the failure.
class DescriptorFile {
 public:
  bool open(const std::string& path, std::uint64_t count);
  void append_rows(const float* rows, std::size_t count);
  bool close();

 private:
  FilePtr file_;
  bool failed_ = false;
};

// True when the uuid names a file inside the matches folder: not empty, not "."
// or "..", and without "/", "\", ":" or control characters (below 0x20, and
// 0x7F), which would reach terminals and file names raw.
bool is_valid_result_stem(const std::string& uuid);

// The uuid for a message: control characters as "\xNN".
std::string printable_uuid(const std::string& uuid);

enum class RecordOutcome {
  written,        // both files in place
  record_failed,  // reported on err; the run may go on with the next record
  run_failed,     // a network run failed; the run must stop
};

// Prints "uuid : <uuid>" and "keypoints: <n>" on `out`, writes the keypoint file,
// then the descriptor file while the network runs batch by batch, and puts both
// in place. Temporary files are removed on any failure.
RecordOutcome write_results(DescriptorModel& model, const std::string& matches_folder,
                            const std::string& uuid, const KeypointList& keypoints,
                            const PatchList& patches, std::ostream& out, std::ostream& err);
