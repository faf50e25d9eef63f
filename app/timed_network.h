#pragma once
// The descriptor network with the time of its runs added up, and each run's
// time told to an observer.

#include <chrono>

#include "app/pipeline_observer.h"
#include "inference/descriptor_network.h"

namespace lf {

class TimedNetwork final : public DescriptorNetwork {
 public:
  TimedNetwork(DescriptorNetwork& network, PipelineObserver* observer) : network_(network), observer_(observer) {}

  int batch_size() const override { return network_.batch_size(); }
  int descriptor_length() const override { return network_.descriptor_length(); }
  [[nodiscard]] bool run(const float* patches, float* rows, NetworkFailure& failure) override {
    const auto start = std::chrono::steady_clock::now();
    const bool ran = network_.run(patches, rows, failure);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    seconds_ += seconds;
    if (observer_ != nullptr) observer_->network_ran(seconds);
    return ran;
  }

  // Seconds spent in runs since the last call.
  double take_seconds() {
    const double seconds = seconds_;
    seconds_ = 0;
    return seconds;
  }

 private:
  DescriptorNetwork& network_;
  PipelineObserver* const observer_;
  double seconds_ = 0;
};

}  // namespace lf
