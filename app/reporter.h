#pragma once
// Every console line of a run, in one place. Standard output carries the
// per-capture progress and the final line; standard error the failures.

#include <cstddef>
#include <ostream>
#include <string>

#include "inference/descriptor_network.h"

namespace lf {

struct RunOptions;
struct WriteFault;

struct RecordCounts {
  std::size_t processed = 0;
  std::size_t skipped = 0;
  std::size_t failed = 0;
};

class Reporter {
 public:
  Reporter(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  // For the layers that still take a stream for their failure lines.
  std::ostream& out() { return out_; }
  std::ostream& err() { return err_; }

  void error(const std::string& reason);
  void model_load_failed(const std::string& reason);
  void network_device(const std::string& device);
  void invalid_uuid(const std::string& uuid);
  void skipped(const std::string& uuid);
  // A capture's preparation messages, kept back while it was prepared ahead:
  // what went to standard error first (reading the image), then what went to
  // standard output (detection and extraction).
  void preparation_messages(const std::string& err_text, const std::string& out_text);
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
