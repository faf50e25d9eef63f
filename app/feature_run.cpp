#include "app/feature_run.h"

#include <exception>
#include <ostream>
#include <string>
#include <vector>

#include "app/capture_pipeline.h"
#include "app/reporter.h"
#include "app/run_options.h"
#include "app/stop_signals.h"
#include "capture_list/capture_list.h"
#include "inference/tensorflow_network.h"
#include "platform/process.h"
#include "results/model_records.h"
#include "results/temporary_files.h"
#include "workspace/workspace.h"

namespace lf {
namespace {

int run_checked(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                PipelineObserver* observer) {
  Reporter reporter(out, err);
  if (options_precede_arguments(argc, argv)) {
    reporter.error("options follow the model and workspace arguments");
    return 1;
  }
  if (argc < 3) {
    reporter.error("no enough params specified");
    return 1;
  }
  const std::string model_path = argv[1];
  const std::string data_path = argv[2];
  if (model_path.empty()) {
    reporter.error("no model path specified");
    return 1;
  }
  if (data_path.empty()) {
    reporter.error("no data path specified");
    return 1;
  }
  RunOptions options;
  std::string option_error;
  if (!parse_run_options(argc, argv, options, option_error)) {
    reporter.error(option_error);
    return 1;
  }

  const Workspace workspace = make_workspace(data_path);
  if (const WorkspaceFault fault = check_workspace(workspace)) {
    reporter.workspace_fault(fault);
    return 1;
  }

  const TensorFlowLoad model = load_tensorflow_network(model_path);
  if (!model.network) {
    reporter.model_load_failed(model.reason);
    return 1;
  }
  if (!model.device.empty()) reporter.network_device(model.device);
  if (options.given) options.model_fingerprint = model_fingerprint(model_path);

  const std::vector<CaptureRecord> records = load_capture_list(workspace.capture_list_path);

  const StopSignalCleanup stop_signal_cleanup;
  static_cast<void>(remove_stale_temporary_files(workspace.matches_folder));
  RecordCounts counts;
  PipelineSettings settings;
  settings.observer = observer;
  settings.workers = options.workers != 0 ? options.workers : default_workers(available_cores(), available_memory());
  const bool finished = run_captures(records, options, workspace, *model.network, reporter, counts, settings);
  reporter.counts(options, counts);
  if (!finished) return 1;
  if (counts.failed > 0) {
    reporter.captures_failed(counts);
    return 1;
  }
  reporter.success();
  return 0;
}

}  // namespace

int run_program(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                PipelineObserver* observer) {
  // Nothing may escape as an abort: a faulty capture list, an image library
  // failure or exhausted memory all end as one line and exit code 1.
  Reporter reporter(out, err);
  try {
    return run_checked(argc, argv, out, err, observer);
  } catch (const CaptureListOpenError& error) {
    out.flush();
    reporter.error(error.what());
    reporter.error(error.reason());
  } catch (const std::exception& error) {
    out.flush();
    reporter.error(error.what());
  } catch (...) {
    out.flush();
    reporter.error("unexpected failure");
  }
  return 1;
}

}  // namespace lf

extern "C" int run_features(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  return lf::run_program(argc, argv, out, err, nullptr);
}
