#pragma once
// A descriptor network without a runtime, for the tests of the layers above
// inference/: row b is the first descriptor_length values of patch b, so every
// row shows which patch it came from. It can be told to fail a given run, and
// to give NaN in the rows of given batch slots.

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "inference/descriptor_network.h"

namespace lf {

class FakeNetwork final : public DescriptorNetwork {
 public:
  static constexpr int batch = lf::batch_size;
  static constexpr int length = lf::descriptor_length;

  int batch_size() const override { return batch; }
  int descriptor_length() const override { return length; }

  bool run(const float* patches, float* rows, NetworkFailure& failure) override {
    if (runs++ == fail_run) {
      failure = {3, "the fake network was told to fail run " + std::to_string(fail_run)};
      return false;
    }
    for (int b = 0; b < batch; ++b) std::copy_n(patches + b * patch_floats, length, rows + b * length);
    for (const int slot : non_finite_slots) rows[slot * length + 5] = std::numeric_limits<float>::quiet_NaN();
    return true;
  }

  int runs = 0;
  int fail_run = -1;  // the run (counted from 0) that fails, or -1
  std::vector<int> non_finite_slots;
};

}  // namespace lf
