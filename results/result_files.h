#pragma once
// The two result files of a capture, in the matches folder, named after its uuid.
//
// Keypoint file "<uuid>.feat", text: one line per keypoint, largest first,
//   "x y size angle" as printf "%g" (six significant digits), one space apart,
//   each line ended by CR LF. No header; 0 keypoints give an empty file.
//
// Descriptor file "<uuid>.desc", binary, little-endian:
//   offset 0: uint64 N, the number of descriptors (= keypoints)
//   offset 8: N rows of descriptor_length (128) float32, row k for keypoint k, no padding.
//   Size 8 + 512 * N bytes.
//
// How a pair is put in place, and what a reader may rely on: staged_result_pair.h.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core/types.hpp>

#include "contract/model_contract.h"
#include "features/types.h"
#include "platform/files.h"

namespace lf {

// Writes the keypoint file with ordinary buffering, flushed once when it is
// closed; false (errno set) when it cannot be created or written.
bool write_keypoint_file(const std::string& path, const KeypointList& keypoints);
bool write_keypoint_file(FilePtr file, const KeypointList& keypoints);

// The open descriptor file of one record. After a failed write, later writes are
// skipped and close() reports the failure.
class DescriptorFile {
 public:
  bool open(const std::string& path, std::uint64_t count);
  bool open(FilePtr file, std::uint64_t count);
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

// Rows of descriptor_length floats among `count` that hold a NaN or an
// infinity. They are written as the model gave them; the caller warns.
std::size_t count_non_finite_rows(const float* rows, std::size_t count);

}  // namespace lf
