#include "app/reporter.h"

#include <cstring>

#include "app/run_options.h"
#include "results/result_files.h"

namespace lf {

void Reporter::error(const std::string& reason) { err_ << "Error: " << reason << std::endl; }

void Reporter::model_load_failed(const std::string& reason) {
  err_ << "Error: loading saved_model failed." << std::endl;
  error(reason);
}

void Reporter::network_device(const std::string& device) { err_ << "Network device: " << device << std::endl; }

void Reporter::invalid_uuid(const std::string& uuid) {
  error("capture uuid \"" + printable_uuid(uuid) + "\" cannot name a result file in the matches folder");
}

void Reporter::skipped(const std::string& uuid) {
  out_ << "uuid : " << uuid << std::endl;
  out_ << "skipped: results exist" << std::endl;
}

void Reporter::preparation_messages(const std::string& err_text, const std::string& out_text) {
  if (!err_text.empty()) err_ << err_text << std::flush;
  if (!out_text.empty()) out_ << out_text << std::flush;
}

void Reporter::capture_started(const std::string& uuid, std::size_t keypoints) {
  out_ << "uuid : " << uuid << std::endl;
  out_ << "keypoints: " << keypoints << std::endl;
}

void Reporter::network_failed(const NetworkFailure& failure) {
  // The status code line is left unflushed, as it always was.
  if (failure.code != 0) out_ << "TF_Error:" << failure.code << "\n";
  error(failure.reason);
}

void Reporter::write_failed(const WriteFault& fault) {
  const char* const what =
      fault.kind == WriteFault::Kind::model_record ? "cannot remove model record " : "cannot write result file ";
  error(what + fault.path + ": " + std::strerror(fault.error));
}

void Reporter::model_record_not_kept(const WriteFault& fault) {
  if (record_warning_given_) return;
  record_warning_given_ = true;
  err_ << "Warning: cannot write model record " << fault.path << ": " << std::strerror(fault.error)
       << "; --skip-done recomputes the pairs that have no record" << std::endl;
}

void Reporter::non_finite_rows(const std::string& uuid, std::size_t rows) {
  err_ << "Warning: capture " << uuid << ": " << rows << " descriptors hold NaN or infinity" << std::endl;
}

void Reporter::counts(const RunOptions& options, const RecordCounts& counts) {
  if (!options.given) return;
  out_ << "records: " << counts.processed << " processed, " << counts.skipped << " skipped, " << counts.failed
       << " failed" << std::endl;
}

void Reporter::captures_failed(const RecordCounts& counts) {
  err_ << "Error: " << counts.failed << " of " << counts.processed + counts.skipped + counts.failed
       << " captures failed" << std::endl;
}

void Reporter::success() { out_ << "------------Feature Predicion Success------------" << std::endl; }

}  // namespace lf
