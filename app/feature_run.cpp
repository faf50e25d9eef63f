#include "app/feature_run.h"

#include <exception>
#include <ostream>
#include <string>
#include <vector>

#include "app/run_options.h"
#include "app/stop_signals.h"
#include "capture_list/capture_list.h"
#include "features/image_preparation.h"
#include "features/patch_extractor.h"
#include "inference/descriptor_model.h"
#include "results/model_records.h"
#include "results/result_files.h"
#include "results/temporary_files.h"
#include "workspace/workspace.h"

namespace lf {
namespace {

const char* const success_line = "------------Feature Predicion Success------------";

RecordOutcome process_record(const CaptureRecord& record, const Workspace& workspace,
                             DescriptorModel& model, const PatchExtractor& extractor,
                             const RunOptions& options, std::ostream& out, std::ostream& err) {
  const cv::Mat image = prepare_capture_image(workspace.data_path, record, err);
  if (image.empty()) return RecordOutcome::record_failed;

  KeypointList keypoints;
  extractor.detect_keypoints(image, keypoints);
  PatchList patches;
  extractor.extract_patches(image, keypoints, patches);
  return write_results(model, workspace.matches_folder, record.uuid, keypoints, patches, out, err,
                       options.model_fingerprint);
}

struct RecordCounts {
  std::size_t processed = 0;
  std::size_t skipped = 0;
  std::size_t failed = 0;
};

void print_counts(const RunOptions& options, const RecordCounts& counts, std::ostream& out) {
  if (!options.given) return;
  out << "records: " << counts.processed << " processed, " << counts.skipped << " skipped, "
      << counts.failed << " failed" << std::endl;
}

// Walks the records of this run's shard; false when a network run failed and
// the run must stop.
bool process_records(const std::vector<CaptureRecord>& records, const RunOptions& options,
                     const Workspace& workspace, DescriptorModel& model, std::ostream& out,
                     std::ostream& err, RecordCounts& counts) {
  const PatchExtractor extractor(out);
  for (const CaptureRecord& record : records) {
    if (!in_shard(options, record.uuid)) continue;
    if (!is_valid_result_stem(record.uuid)) {
      err << "Error: capture uuid \"" << printable_uuid(record.uuid)
          << "\" cannot name a result file in the matches folder" << std::endl;
      ++counts.failed;
      continue;
    }
    if (options.skip_done && result_pair_is_done(workspace.matches_folder, record.uuid, options.model_fingerprint)) {
      out << "uuid : " << record.uuid << std::endl;
      out << "skipped: results exist" << std::endl;
      ++counts.skipped;
      continue;
    }
    switch (process_record(record, workspace, model, extractor, options, out, err)) {
      case RecordOutcome::written: ++counts.processed; break;
      case RecordOutcome::record_failed: ++counts.failed; break;
      case RecordOutcome::run_failed: ++counts.failed; return false;
    }
  }
  return true;
}

int run_checked(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  if (options_precede_arguments(argc, argv)) {
    err << "Error: options follow the model and workspace arguments" << std::endl;
    return 1;
  }
  if (argc < 3) {
    err << "Error: no enough params specified" << std::endl;
    return 1;
  }
  const std::string model_path = argv[1];
  const std::string data_path = argv[2];
  if (model_path.empty()) {
    err << "Error: no model path specified" << std::endl;
    return 1;
  }
  if (data_path.empty()) {
    err << "Error: no data path specified" << std::endl;
    return 1;
  }
  RunOptions options;
  std::string option_error;
  if (!parse_run_options(argc, argv, options, option_error)) {
    err << "Error: " << option_error << std::endl;
    return 1;
  }

  const Workspace workspace = make_workspace(data_path);
  if (!check_workspace(workspace, err)) return 1;

  DescriptorModel model;
  if (!model.load(model_path, err)) return 1;
  if (options.given) options.model_fingerprint = model_fingerprint(model_path);

  const std::vector<CaptureRecord> records = load_capture_list(workspace.capture_list_path);

  const StopSignalCleanup stop_signal_cleanup;
  remove_stale_temporary_files(workspace.matches_folder);
  RecordCounts counts;
  const bool finished = process_records(records, options, workspace, model, out, err, counts);
  print_counts(options, counts, out);
  if (!finished) return 1;
  if (counts.failed > 0) {
    err << "Error: " << counts.failed << " of " << counts.processed + counts.skipped + counts.failed
        << " captures failed" << std::endl;
    return 1;
  }
  out << success_line << std::endl;
  return 0;
}

}  // namespace
}  // namespace lf

extern "C" int run_features(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  // Nothing may escape as an abort: a faulty capture list, an image library
  // failure or exhausted memory all end as one line and exit code 1.
  try {
    return lf::run_checked(argc, argv, out, err);
  } catch (const lf::CaptureListOpenError& error) {
    out.flush();
    err << "Error: " << error.what() << std::endl;
    err << "Error: " << error.reason() << std::endl;
  } catch (const std::exception& error) {
    out.flush();
    err << "Error: " << error.what() << std::endl;
  } catch (...) {
    out.flush();
    err << "Error: unexpected failure" << std::endl;
  }
  return 1;
}
