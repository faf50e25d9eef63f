#include "app/reporter.h"

#include <cstring>

#include "app/run_options.h"
#include "features/image_preparation.h"
#include "results/result_files.h"
#include "results/staged_result_pair.h"
#include "workspace/workspace.h"

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

void Reporter::workspace_fault(const WorkspaceFault& fault) {
  switch (fault.kind) {
    case WorkspaceFault::Kind::none: return;
    case WorkspaceFault::Kind::data_folder_missing:
    case WorkspaceFault::Kind::images_folder_missing: error("folder " + fault.path + " doesn't exist"); return;
    case WorkspaceFault::Kind::matches_folder_not_created:
      error("folder " + fault.path + " doesn't exist and can not be created");
      return;
    case WorkspaceFault::Kind::capture_list_missing: error("file " + fault.path + " doesn't exist"); return;
  }
}

namespace {

std::string size_text(const cv::Size& size) { return std::to_string(size.width) + "x" + std::to_string(size.height); }

}  // namespace

void Reporter::image_fault(const ImageFault& fault) {
  const std::string of_capture = " of capture " + fault.uuid;
  switch (fault.kind) {
    case ImageFault::Kind::none: return;
    case ImageFault::Kind::unreadable: error("cannot read image " + fault.path + of_capture); return;
    case ImageFault::Kind::damaged:
      error("cannot read image " + fault.path + of_capture + ": its JPEG data is damaged (" + fault.detail + ")");
      return;
    case ImageFault::Kind::too_tall:
      error("image " + fault.path + of_capture + " is " + size_text(fault.size) + ", taller than the limit of " +
            std::to_string(max_prepared_height) + " rows");
      return;
    case ImageFault::Kind::sizes_differ:
      error("images " + fault.path + " and " + fault.other_path + of_capture + " differ in size after resizing (" +
            size_text(fault.size) + " and " + size_text(fault.other_size) + ")");
      return;
  }
}

void Reporter::no_keypoints() {
  out_ << "Error : No keypoints detected." << std::endl;
  out_ << "Error : No keypoints imported." << std::endl;
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
