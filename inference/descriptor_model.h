#pragma once
// The descriptor network: a TensorFlow saved model, loaded once per run.
//
// Model contract:
//  * a saved model with a meta graph tagged "serve";
//  * an operation "local_model_inputs" whose output 0 takes float [1024, 32, 32, 1]:
//    1024 single-channel 32x32 patches, row-major;
//  * an operation "StatefulPartitionedCall_1" whose output 0 yields float [1024, 128]:
//    row b is the descriptor of patch b.
// Every run is fed a full batch; rows of spare slots are discarded.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core/mat.hpp>

#include "features/types.h"
#include "inference/tf_handles.h"
#include "workspace/platform.h"

namespace lf {

namespace detail {
struct AlignedFree {
  void operator()(float* data) const noexcept { free_aligned(data); }
};
}  // namespace detail
using AlignedFloatBuffer = std::unique_ptr<float[], detail::AlignedFree>;

class DescriptorModel {
 public:
  static constexpr int batch_size = 1024;
  static constexpr int descriptor_length = 128;
  static constexpr int patch_side = lf::patch_side;
  static constexpr std::size_t patch_floats = patch_side * patch_side;
  static constexpr std::size_t patch_bytes = patch_floats * sizeof(float);
  static constexpr std::size_t input_byte_length = batch_size * patch_bytes;
  static constexpr std::size_t row_bytes = descriptor_length * sizeof(float);
  // 64 bytes: TensorFlow copies a buffer that is less aligned than that.
  static constexpr std::size_t input_buffer_alignment = 64;

  static const char* const input_operation_name;
  static const char* const output_operation_name;
  static const char* const serve_tag;
  // Serialized ConfigProto: gpu_options { allow_growth: true }.
  static const std::array<unsigned char, 4> session_config;

  static const char* const load_failure_line;

  // Loads the saved model at `model_path` (used unchanged), readies the
  // endpoints and the input buffer, and runs one batch of the buffer's first
  // contents to prove that the model runs and yields float [1024, 128]. On
  // failure writes "Error: loading saved_model failed." and then "Error: " with
  // the reason (TensorFlow's own message, a missing operation, a wrong output)
  // to `err` and returns false. When the session runs the network on a device
  // other than the CPU, writes one line "Network device: <name> (<type>)" to
  // `err`; on the CPU nothing.
  bool load(const std::string& model_path, std::ostream& err);

  // The first device of the session that is not the CPU, or "".
  std::string accelerator_device() const;

  // Members below are filled by load() in this order and live as long as the model.
  TFSessionOptionsPtr options;
  TFGraphPtr graph;
  TFStatusPtr status;
  TFSessionPtr session;
  TF_Output input{nullptr, 0};
  TF_Output output{nullptr, 0};
  std::array<std::int64_t, 4> input_dims{batch_size, patch_side, patch_side, 1};
  // One batch of patches, reused by every run; starts as 0.5 everywhere and is
  // never cleared, so spare slots of a partial batch keep earlier patches.
  AlignedFloatBuffer input_buffer;

 private:
  bool open_session(const std::string& model_path, std::string& reason);
  bool find_endpoints(std::string& reason);
  bool run_first_batch(std::string& reason);
};

// Receives `count` descriptor rows of descriptor_length floats each.
using DescriptorSink = std::function<void(const float* rows, std::size_t count)>;

// Runs the network over the patches in batches of batch_size, always on a full
// batch, and hands the rows of the real patches to `sink` in patch order, one
// block per batch. Patches that are not continuous patch_side x patch_side
// CV_32FC1 matrices are reported on `err` before any run. A failed run writes "TF_Error:<code>" to `out` and "Error: "
// with TensorFlow's message to `err`; an output that is not float [1024, 128] is
// reported on `err`; both return false and stop.
bool compute_descriptors(DescriptorModel& model, const PatchList& patches,
                         const DescriptorSink& sink, std::ostream& out, std::ostream& err);

// ceil(N / 1024): the number of network runs for N patches.
int batch_count(std::size_t patch_count);

}  // namespace lf
