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
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "capture_list/capture_list.h"
#include "features/image_preparation.h"
#include "features/patch_extractor.h"
#include "inference/descriptor_model.h"
#include "results/result_files.h"
#include "workspace/path_utils.h"
#include "workspace/platform.h"
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

void remove_file(const std::string& path) { std::remove(native_path(path).c_str()); }

// write_results taken apart so that the sink can be timed apart from the
// network: same files, same order, same renaming.
bool write_and_time(DescriptorModel& model, const std::string& matches_folder,
                    const std::string& uuid, const KeypointList& keypoints,
                    const PatchList& patches, std::ostream& console, CaptureTimes& times,
                    double& first_batch) {
  const Clock::time_point start = Clock::now();
  console << "uuid : " << uuid << std::endl;
  console << "keypoints: " << keypoints.size() << std::endl;
  const std::string descriptor_path = make_file_path(matches_folder, uuid, "desc");
  const std::string keypoint_path = make_file_path(matches_folder, uuid, "feat");
  const std::string descriptor_part = descriptor_path + ".part";
  const std::string keypoint_part = keypoint_path + ".part";

  if (!write_keypoint_file(keypoint_part, keypoints)) return false;
  DescriptorFile descriptors;
  if (!descriptors.open(descriptor_part, patches.size())) return false;

  double sink_seconds = 0;
  Clock::time_point first_sink{};
  const Clock::time_point network_start = Clock::now();
  const bool ran = compute_descriptors(
      model, patches,
      [&](const float* rows, std::size_t count) {
        const Clock::time_point sink_start = Clock::now();
        if (first_sink == Clock::time_point{}) first_sink = sink_start;
        descriptors.append_rows(rows, count);
        sink_seconds += seconds_between(sink_start, Clock::now());
      },
      console, console);
  const Clock::time_point network_end = Clock::now();
  if (first_batch < 0 && first_sink != Clock::time_point{})
    first_batch = seconds_between(network_start, first_sink);

  const bool written = descriptors.close();
  if (!ran || !written) return false;
  remove_file(descriptor_path);
  if (!replace_file(keypoint_part, keypoint_path) || !replace_file(descriptor_part, descriptor_path))
    return false;
  const Clock::time_point end = Clock::now();

  times.network = seconds_between(network_start, network_end) - sink_seconds;
  times.write = seconds_between(start, end) - times.network;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: pipeline_benchmark MODEL_DIR DATA_DIR" << std::endl;
    return 2;
  }
  const Clock::time_point run_start = Clock::now();
  const Workspace workspace = make_workspace(argv[2]);
  if (!check_workspace(workspace, std::cerr)) return 1;
  DescriptorModel model;
  if (!model.load(argv[1], std::cerr)) return 1;
  const std::vector<CaptureRecord> records = load_capture_list(workspace.capture_list_path);
  const PatchExtractor extractor(std::cerr);
  const double startup = seconds_between(run_start, Clock::now());

  // The driver's console lines are produced but kept off stdout, which carries
  // the figures.
  std::ostringstream console;
  CaptureTimes total;
  double first_batch = -1;
  std::uint64_t keypoint_total = 0;
  int batches = 0;
  int failed = 0;
  for (const CaptureRecord& record : records) {
    CaptureTimes times;
    if (!is_valid_result_stem(record.uuid)) {
      ++failed;
      continue;
    }
    Clock::time_point mark = Clock::now();
    cv::Mat image = prepare_capture_image(workspace.data_path, record, std::cerr);
    Clock::time_point now = Clock::now();
    times.prepare = seconds_between(mark, now);
    if (image.empty()) {
      ++failed;
      add(total, times);
      continue;
    }

    KeypointList keypoints;
    PatchList patches;
    mark = now;
    extractor.detect_keypoints(image, keypoints);
    now = Clock::now();
    times.detect = seconds_between(mark, now);
    mark = now;
    extractor.extract_patches(image, keypoints, patches);
    now = Clock::now();
    times.extract = seconds_between(mark, now);

    if (!write_and_time(model, workspace.matches_folder, record.uuid, keypoints, patches, console,
                        times, first_batch)) {
      std::cerr << "Error: writing the results of " << record.uuid << " failed" << std::endl;
      std::cerr << console.str();
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

    keypoint_total += count;
    batches += batch_count(count);
    add(total, times);
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
