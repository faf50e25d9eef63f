#pragma once
// Every console line of a run, in one place. Standard output carries the
// per-capture progress and the final line; standard error the failures.

#include <cstddef>
#include <ostream>
#include <string>

#include "inference/descriptor_network.h"

namespace lf {

struct ImageFault;
struct RunOptions;
struct WorkspaceFault;
struct WriteFault;

struct RecordCounts {
  std::size_t processed = 0;
  std::size_t skipped = 0;
  std::size_t failed = 0;
};

class Reporter {
 public:
  Reporter(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  void error(const std::string& reason);
  void model_load_failed(const std::string& reason);
  void network_device(const std::string& device);
  void invalid_uuid(const std::string& uuid);
  void workspace_fault(const WorkspaceFault& fault);
  void skipped(const std::string& uuid);
  // At the capture's turn, before its other lines.
  void image_fault(const ImageFault& fault);
  void no_keypoints();
  void capture_started(const std::string& uuid, std::size_t keypoints);
  void network_failed(const NetworkFailure& failure);
  // The capture's pair could not be put in place.
  void write_failed(const WriteFault& fault);
  // A pair went in place without its model record: said once per run, since
  // every later record most likely fails the same way.
  void model_record_not_kept(const WriteFault& fault);
  // After the pair is in place: its rows were written as the model gave them.
  void non_finite_rows(const std::string& uuid, std::size_t rows);
  // "records: ..." when any option was given.
  void counts(const RunOptions& options, const RecordCounts& counts);
  void captures_failed(const RecordCounts& counts);
  void success();

 private:
  std::ostream& out_;
  std::ostream& err_;
  bool record_warning_given_ = false;
};

}  // namespace lf
