#pragma once
// What a pipeline tells an observer, for measurements.

#include <cstddef>
#include <string>

namespace lf {

// Seconds per stage of one capture. prepare, detect and extract are spent on
// a worker of the capture source; the rest at the capture's turn: wait for
// the source (for this capture, or for the next ones whose patches share its
// last batch), network runs, and write, everything else.
struct CaptureTimes {
  double prepare = 0, detect = 0, extract = 0, wait = 0, network = 0, write = 0;
};

// Called on the pipeline's own thread.
class PipelineObserver {
 public:
  virtual ~PipelineObserver() = default;
  // Once, before the first record: the run's start-up has ended.
  virtual void captures_starting() = 0;
  virtual void network_ran(double seconds) = 0;
  // After every capture that had its turn, `written` when its pair was committed.
  virtual void capture_finished(const std::string& uuid, std::size_t keypoints, const CaptureTimes& times,
                                bool written) = 0;
};

}  // namespace lf
