#include "app/feature_run.h"

#include <exception>
#include <ostream>
#include <string>
#include <vector>


#include "capture_list/capture_list.h"
#include "features/image_preparation.h"
#include "features/patch_extractor.h"
#include "inference/descriptor_model.h"
#include "app/stop_signals.h"
#include "results/result_files.h"
#include "results/temporary_files.h"
#include "workspace/workspace.h"

namespace {

const char* const success_line = "------------Feature Predicion Success------------";

enum class RecordResult { done, failed, stop_run };

RecordResult process_record(const CaptureRecord& record, const Workspace& workspace,
                            DescriptorModel& model, const PatchExtractor& extractor,
                            std::ostream& out, std::ostream& err) {
  if (!is_valid_result_stem(record.uuid)) {
    err << "Error: capture uuid \"" << printable_uuid(record.uuid)
        << "\" cannot name a result file in the matches folder" << std::endl;
    return RecordResult::failed;
  }
  const cv::Mat image = prepare_capture_image(workspace.data_path, record);
  if (image.empty()) return RecordResult::failed;

  KeypointList keypoints;
  extractor.detect_keypoints(image, keypoints);
  PatchList patches;
  extractor.extract_patches(image, keypoints, patches);

  switch (write_results(model, workspace.matches_folder, record.uuid, keypoints, patches, out, err)) {
    case RecordOutcome::written: return RecordResult::done;
    case RecordOutcome::record_failed: return RecordResult::failed;
    case RecordOutcome::run_failed: break;
  }
  return RecordResult::stop_run;
}

int run_checked(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
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

  const Workspace workspace = make_workspace(data_path);
  if (!check_workspace(workspace, err)) return 1;

  DescriptorModel model;
  if (!model.load(model_path, err)) return 1;

  const std::vector<CaptureRecord> records = load_capture_list(workspace.capture_list_path);
  const PatchExtractor extractor;

  const lf::StopSignalCleanup stop_signal_cleanup;
  lf::remove_stale_temporary_files(workspace.matches_folder);

  std::size_t failed = 0;
  for (const CaptureRecord& record : records) {
    const RecordResult result = process_record(record, workspace, model, extractor, out, err);
    if (result == RecordResult::stop_run) return 1;
    if (result == RecordResult::failed) ++failed;
  }
  if (failed > 0) {
    err << "Error: " << failed << " of " << records.size() << " captures failed" << std::endl;
    return 1;
  }
  out << success_line << std::endl;
  return 0;
}

}  // namespace

extern "C" int run_features(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  // Nothing may escape as an abort: a faulty capture list, an image library
  // failure or exhausted memory all end as one line and exit code 1.
  try {
    return run_checked(argc, argv, out, err);
  } catch (const CaptureListOpenError& error) {
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
