// Runs the program's pipeline over a workspace with the same calls, in the same
// order, as the driver, and reports the wall time of every stage.
//
// Usage: pipeline_benchmark MODEL_DIR DATA_DIR
//
// Output, one item per line, fields separated by single spaces:
//   capture UUID KEYPOINTS PREPARE DETECT EXTRACT NETWORK WRITE RELEASE   (seconds)
//   stage NAME SECONDS      for startup prepare detect extract network write release
//   first_batch SECONDS     the run's first network run (graph set-up included)
//   keypoints N / batches N / captures N / failed N
//   total SECONDS           from the start of main to the end of the last capture
// "network" is compute_descriptors minus the time spent in its sink, which is
// the descriptor file writing and counts under "write".

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/stop_signals.h"
#include "capture_list/capture_list.h"
#include "features/image_preparation.h"
#include "features/patch_extractor.h"
#include "inference/descriptor_model.h"
#include "results/result_files.h"
#include "results/temporary_files.h"
#include "workspace/workspace.h"

using namespace lf;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

struct CaptureTimes {
  double prepare = 0, detect = 0, extract = 0, network = 0, write = 0, release = 0;
};

void add(CaptureTimes& sum, const CaptureTimes& part) {
  sum.prepare += part.prepare;
  sum.detect += part.detect;
  sum.extract += part.extract;
  sum.network += part.network;
  sum.write += part.write;
  sum.release += part.release;
}

// The pair's row sink with a clock around it: the time spent in it is file
// writing, not network.
class TimedRowSink {
 public:
  explicit TimedRowSink(StagedResultPair& pair) : pair_(pair) {}
  void operator()(const float* rows, std::size_t count) {
    const Clock::time_point start = Clock::now();
    if (first_call_ == Clock::time_point{}) first_call_ = start;
    pair_.append_rows(rows, count);
    seconds_ += seconds_between(start, Clock::now());
  }
  double seconds() const { return seconds_; }
  Clock::time_point first_call() const { return first_call_; }

 private:
  StagedResultPair& pair_;
  double seconds_ = 0;
  Clock::time_point first_call_{};
};

// write_results (results/result_files.cpp) with its sink timed: the same
// lines, the same calls in the same order, the same outcomes.
RecordOutcome write_results_timed(DescriptorModel& model, const std::string& matches_folder,
                                  const std::string& uuid, const KeypointList& keypoints,
                                  const PatchList& patches, std::ostream& out, std::ostream& err,
                                  CaptureTimes& times, double& first_batch) {
  const Clock::time_point start = Clock::now();
  out << "uuid : " << uuid << std::endl;
  out << "keypoints: " << keypoints.size() << std::endl;

  RecordOutcome outcome = RecordOutcome::record_failed;
  {
    StagedResultPair pair(matches_folder, uuid);
    if (pair.write_keypoints(keypoints, err) && pair.open_descriptors(patches.size(), err)) {
      TimedRowSink timed_sink(pair);
      const DescriptorSink sink = std::ref(timed_sink);
      const Clock::time_point network_start = Clock::now();
      const bool ran = compute_descriptors(model, patches, sink, out, err);
      times.network = seconds_between(network_start, Clock::now()) - timed_sink.seconds();
      if (first_batch < 0 && timed_sink.first_call() != Clock::time_point{})
        first_batch = seconds_between(network_start, timed_sink.first_call());
      if (!ran)
        outcome = RecordOutcome::run_failed;
      else if (pair.commit(err))
        outcome = RecordOutcome::written;
    }
  }  // what was not committed is removed here, and counts as writing
  times.write = seconds_between(start, Clock::now()) - times.network;
  return outcome;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: pipeline_benchmark MODEL_DIR DATA_DIR" << std::endl;
    return 2;
  }
  // The driver's console lines are produced but kept off stdout, which carries
  // the figures; they are shown when the run stops.
  std::ostringstream console;
  std::ostream& err = std::cerr;

  // The driver's start (app/feature_run.cpp), in its order.
  const Clock::time_point run_start = Clock::now();
  const Workspace workspace = make_workspace(argv[2]);
  if (!check_workspace(workspace, err)) return 1;
  DescriptorModel model;
  if (!model.load(argv[1], err)) return 1;
  const std::vector<CaptureRecord> records = load_capture_list(workspace.capture_list_path);
  const StopSignalCleanup stop_signal_cleanup;
  remove_stale_temporary_files(workspace.matches_folder);
  const PatchExtractor extractor(console);
  const double startup = seconds_between(run_start, Clock::now());

  CaptureTimes total;
  double first_batch = -1;
  std::uint64_t keypoint_total = 0;
  int batches = 0;
  int failed = 0;
  for (const CaptureRecord& record : records) {
    // The driver's process_record, each call timed.
    CaptureTimes times;
    if (!is_valid_result_stem(record.uuid)) {
      err << "Error: capture uuid \"" << printable_uuid(record.uuid)
          << "\" cannot name a result file in the matches folder" << std::endl;
      ++failed;
      continue;
    }
    Clock::time_point mark = Clock::now();
    cv::Mat image = prepare_capture_image(workspace.data_path, record, err);
    Clock::time_point now = Clock::now();
    times.prepare = seconds_between(mark, now);
    if (image.empty()) {
      ++failed;
      add(total, times);
      continue;
    }

    KeypointList keypoints;
    mark = now;
    extractor.detect_keypoints(image, keypoints);
    now = Clock::now();
    times.detect = seconds_between(mark, now);
    PatchList patches;
    mark = now;
    extractor.extract_patches(image, keypoints, patches);
    now = Clock::now();
    times.extract = seconds_between(mark, now);

    const RecordOutcome outcome = write_results_timed(model, workspace.matches_folder, record.uuid, keypoints,
                                                      patches, console, err, times, first_batch);
    if (outcome == RecordOutcome::run_failed) {
      err << console.str();
      return 1;
    }
    console.str("");

    // The driver frees these when a capture is done; with one patch matrix per
    // keypoint that is measurable.
    const std::size_t count = keypoints.size();
    mark = Clock::now();
    patches = PatchList();
    keypoints = KeypointList();
    image = cv::Mat();
    times.release = seconds_between(mark, Clock::now());
    add(total, times);
    if (outcome == RecordOutcome::record_failed) {
      ++failed;
      continue;
    }

    keypoint_total += count;
    batches += batch_count(count);
    std::printf("capture %s %zu %.6f %.6f %.6f %.6f %.6f %.6f\n", record.uuid.c_str(), count,
                times.prepare, times.detect, times.extract, times.network, times.write,
                times.release);
  }
  const double run_seconds = seconds_between(run_start, Clock::now());

  std::printf("stage startup %.6f\n", startup);
  std::printf("stage prepare %.6f\n", total.prepare);
  std::printf("stage detect %.6f\n", total.detect);
  std::printf("stage extract %.6f\n", total.extract);
  std::printf("stage network %.6f\n", total.network);
  std::printf("stage write %.6f\n", total.write);
  std::printf("stage release %.6f\n", total.release);
  std::printf("first_batch %.6f\n", first_batch);
  std::printf("keypoints %llu\n", static_cast<unsigned long long>(keypoint_total));
  std::printf("batches %d\n", batches);
  std::printf("captures %zu\n", records.size());
  std::printf("failed %d\n", failed);
  std::printf("total %.6f\n", run_seconds);
  return failed > 0 ? 1 : 0;
}
