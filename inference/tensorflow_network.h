#pragma once
// The descriptor network as a TensorFlow saved model, run through TensorFlow's
// C API. TensorFlow's own types stay inside tensorflow_network.cpp.
//
// The saved model is the one contract/model_contract.h describes.

#include <array>
#include <memory>
#include <string>

#include "inference/descriptor_network.h"

namespace lf {

struct TensorFlowLoad {
  std::unique_ptr<DescriptorNetwork> network;  // null when loading failed
  std::string reason;  // why it failed: TensorFlow's message, a missing operation, a wrong output
  std::string device;  // the first device of the session that is not the CPU, or ""
};

// Loads the saved model at `model_path` (used unchanged) and runs one batch of
// 0.5 everywhere to prove that it runs and yields the contract's output.
[[nodiscard]] TensorFlowLoad load_tensorflow_network(const std::string& model_path);

// Serialized ConfigProto of every session: gpu_options { allow_growth: true }.
extern const std::array<unsigned char, 4> tensorflow_session_config;

}  // namespace lf
