#pragma once
// The descriptor network as the pipeline sees it: one batch of patches in, one
// row of floats per patch out, as the model contract says
// (contract/model_contract.h).

#include <cstddef>
#include <string>

#include "contract/model_contract.h"

namespace lf {

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
