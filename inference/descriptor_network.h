#pragma once
// The descriptor network as the pipeline sees it: one batch of patches in, one
// row of floats per patch out.
//
// Model contract (what every implementation must honour):
//  * input: float [batch_size, 32, 32, 1], batch_size single-channel 32x32
//    patches, row-major, one after another;
//  * output: float [batch_size, descriptor_length], row b describing patch b;
//  * row b depends only on patch b, never on the other slots of the batch.
//    The caller relies on this: every run is a full batch, and the slots that
//    carry no patch of the current capture hold whatever the caller left there
//    (earlier patches, or the first patches of the next capture), so a capture's
//    rows must not change with what shares its batch.

#include <cstddef>
#include <string>

namespace lf {

constexpr std::size_t patch_floats = 32 * 32;

// Patch buffers handed to run() are aligned to this many bytes: TensorFlow
// copies an input that is less aligned.
constexpr std::size_t network_input_alignment = 64;

// Why a run failed. `code` is the runtime's status code, or 0 when the run
// itself succeeded but its output broke the contract.
struct NetworkFailure {
  int code = 0;
  std::string reason;  // one line
};

class DescriptorNetwork {
 public:
  virtual ~DescriptorNetwork() = default;
  virtual int batch_size() const = 0;
  virtual int descriptor_length() const = 0;
  // Runs one full batch: `patches` holds batch_size() * patch_floats floats,
  // aligned to network_input_alignment; `rows` receives batch_size() *
  // descriptor_length() floats. False with `failure` filled when the run fails.
  [[nodiscard]] virtual bool run(const float* patches, float* rows, NetworkFailure& failure) = 0;
};

}  // namespace lf
