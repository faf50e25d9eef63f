// Runs the program itself (run_program, as compute_features runs it) with a
// timing observer on its pipeline, and reports the wall time of every stage.
//
// Usage: pipeline_benchmark MODEL_DIR DATA_DIR [OPTIONS...]
//        pipeline_benchmark --network MODEL_DIR BATCHES
//
// The second form times the network alone: it loads the model as the program
// does and runs BATCHES full batches of one fixed set of patches, printing
//   network_alone SECONDS   (the load and its check batch not included)
//
// Output, one item per line, fields separated by single spaces:
//   capture UUID KEYPOINTS PREPARE DETECT EXTRACT NETWORK WRITE RELEASE   (seconds)
//   stage NAME SECONDS      for startup prepare detect extract network write release wait
//   first_batch SECONDS     the run's first network run (graph set-up included)
//   keypoints N / batches N / captures N / failed N
//   total SECONDS           from the start of main to the end of the last capture
// prepare, detect and extract run on the capture source's workers, beside the
// network, so the stages add up to more than the total; wait is the time the
// pipeline spent waiting for them. "release" is kept for the
// readers of this output; captures free nothing of their own any more (their
// patch buffers are reused), so it is 0. The program's console lines are kept
// off standard output, which carries the figures; they are shown when the run fails.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include <cstdlib>
#include <vector>

#include "app/capture_pipeline.h"
#include "app/feature_run.h"
#include "inference/tensorflow_network.h"
#include "platform/memory.h"

using namespace lf;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

class TimingObserver final : public PipelineObserver {
 public:
  void captures_starting() override { first_capture_start = Clock::now(); }
  void network_ran(double seconds) override {
    if (batches == 0) first_batch = seconds;
    ++batches;
  }
  void capture_finished(const std::string& uuid, std::size_t keypoints, const CaptureTimes& times,
                        bool written) override {
    total.prepare += times.prepare;
    total.detect += times.detect;
    total.extract += times.extract;
    total.wait += times.wait;
    total.network += times.network;
    total.write += times.write;
    ++captures;
    if (!written) {
      ++failed;
      return;
    }
    keypoint_total += keypoints;
    std::printf("capture %s %zu %.6f %.6f %.6f %.6f %.6f %.6f\n", uuid.c_str(), keypoints, times.prepare,
                times.detect, times.extract, times.network, times.write, 0.0);
  }

  CaptureTimes total;
  double first_batch = -1;
  int batches = 0;
  int captures = 0;
  int failed = 0;
  std::uint64_t keypoint_total = 0;
  Clock::time_point first_capture_start{};
};

int time_network_alone(const std::string& model_path, int batches) {
  const TensorFlowLoad model = load_tensorflow_network(model_path);
  if (!model.network) {
    std::cerr << "cannot load " << model_path << ": " << model.reason << std::endl;
    return 1;
  }
  const std::size_t floats = static_cast<std::size_t>(model.network->batch_size()) * patch_floats;
  struct Free {
    void operator()(float* data) const noexcept { free_aligned(data); }
  };
  const std::unique_ptr<float[], Free> patches(
      static_cast<float*>(allocate_aligned(network_input_alignment, floats * sizeof(float))));
  for (std::size_t i = 0; i < floats; ++i) patches[i] = static_cast<float>(i % 97) / 97.0f - 0.5f;
  std::vector<float> rows(static_cast<std::size_t>(model.network->batch_size() * model.network->descriptor_length()));
  NetworkFailure failure;
  const Clock::time_point start = Clock::now();
  for (int b = 0; b < batches; ++b) {
    if (!model.network->run(patches.get(), rows.data(), failure)) {
      std::cerr << "network run failed: " << failure.reason << std::endl;
      return 1;
    }
  }
  std::printf("network_alone %.6f\n", seconds_between(start, Clock::now()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--network") return time_network_alone(argv[2], std::atoi(argv[3]));
  if (argc < 3) {
    std::cerr << "usage: pipeline_benchmark MODEL_DIR DATA_DIR [OPTIONS...]" << std::endl;
    return 2;
  }
  std::ostringstream console;
  TimingObserver timer;
  const Clock::time_point run_start = Clock::now();
  const int code = run_program(argc, argv, console, std::cerr, &timer);
  const Clock::time_point run_end = Clock::now();
  if (code != 0) std::cerr << console.str();

  const double startup = timer.first_capture_start == Clock::time_point{}
                            ? seconds_between(run_start, run_end)
                            : seconds_between(run_start, timer.first_capture_start);

  std::printf("stage startup %.6f\n", startup);
  std::printf("stage prepare %.6f\n", timer.total.prepare);
  std::printf("stage detect %.6f\n", timer.total.detect);
  std::printf("stage extract %.6f\n", timer.total.extract);
  std::printf("stage network %.6f\n", timer.total.network);
  std::printf("stage write %.6f\n", timer.total.write);
  std::printf("stage release %.6f\n", 0.0);
  std::printf("stage wait %.6f\n", timer.total.wait);
  std::printf("first_batch %.6f\n", timer.first_batch);
  std::printf("keypoints %llu\n", static_cast<unsigned long long>(timer.keypoint_total));
  std::printf("batches %d\n", timer.batches);
  std::printf("captures %d\n", timer.captures);
  std::printf("failed %d\n", timer.failed);
  std::printf("total %.6f\n", seconds_between(run_start, run_end));
  return code;
}
