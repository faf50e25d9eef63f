#include "inference/tensorflow_network.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <sstream>

#include "inference/tf_handles.h"
#include "platform/memory.h"
#include "platform/process.h"

namespace lf {

const std::array<unsigned char, 4> tensorflow_session_config{0x32, 0x02, 0x20, 0x01};

namespace {

constexpr int batch = batch_size;
constexpr std::size_t input_bytes = batch * patch_floats * sizeof(float);
constexpr std::size_t output_bytes = batch * descriptor_length * sizeof(float);

// The caller owns the patches: tensors made over them must not free them.
void keep_buffer(void*, std::size_t, void*) {}

std::string describe_type(TF_DataType type) {
  switch (type) {
    case TF_FLOAT: return "float";
    case TF_DOUBLE: return "double";
    case TF_INT32: return "int32";
    case TF_INT64: return "int64";
    case TF_HALF: return "half";
    default: return "type " + std::to_string(static_cast<int>(type));
  }
}

std::string describe_tensor(const TF_Tensor* tensor) {
  if (tensor == nullptr) return "missing";
  std::ostringstream text;
  text << describe_type(TF_TensorType(tensor)) << " [";
  for (int d = 0; d < TF_NumDims(tensor); ++d) text << (d > 0 ? ", " : "") << TF_Dim(tensor, d);
  text << "]";
  return text.str();
}

bool is_descriptor_batch(const TF_Tensor* tensor) {
  return tensor != nullptr && TF_TensorType(tensor) == TF_FLOAT && TF_NumDims(tensor) == 2 &&
         TF_Dim(tensor, 0) == batch && TF_Dim(tensor, 1) == descriptor_length &&
         TF_TensorByteSize(tensor) >= output_bytes;
}

// TensorFlow's messages may span lines ("\n\t [[{{node ...}}]]"); a report
// is one line.
std::string one_line(const char* message) {
  std::string line;
  for (const char* c = message; *c != '\0'; ++c) {
    const bool breaks = *c == '\n' || *c == '\r' || *c == '\t';
    if (!breaks) line += *c;
    else if (!line.empty() && line.back() != ' ') line += ' ';
  }
  return line;
}

std::string describe_wrong_output(const TF_Tensor* tensor) {
  std::ostringstream text;
  text << "the model's output \"" << output_operation_name << "\" is " << describe_tensor(tensor)
       << ", expected float [" << batch << ", " << descriptor_length << "]";
  return text.str();
}

class TensorFlowNetwork final : public DescriptorNetwork {
 public:
  bool load(const std::string& model_path, std::string& reason) {
    if (!open_session(model_path, reason) || !find_endpoints(reason) || !run_first_batch(reason)) {
      session_.reset();
      return false;
    }
    return true;
  }

  int batch_size() const override { return batch; }
  int descriptor_length() const override { return lf::descriptor_length; }

  bool run(const float* patches, float* rows, NetworkFailure& failure) override {
    TFTensorPtr output;
    if (!run_batch(patches, output)) {
      failure = {static_cast<int>(TF_GetCode(status_.get())), one_line(TF_Message(status_.get()))};
      return false;
    }
    if (!is_descriptor_batch(output.get())) {
      failure = {0, describe_wrong_output(output.get())};
      return false;
    }
    std::memcpy(rows, TF_TensorData(output.get()), output_bytes);
    return true;
  }

  // TensorFlow places the network on an accelerator whenever the session has
  // one; on a machine with only the CPU this is empty.
  std::string accelerator_device() const {
    TFStatusPtr list_status(TF_NewStatus());
    const TFDeviceListPtr devices(TF_SessionListDevices(session_.get(), list_status.get()));
    if (!devices || TF_GetCode(list_status.get()) != TF_OK) return "";
    for (int i = 0; i < TF_DeviceListCount(devices.get()); ++i) {
      const std::string type = TF_DeviceListType(devices.get(), i, list_status.get());
      if (TF_GetCode(list_status.get()) == TF_OK && type.find("CPU") == std::string::npos)
        return std::string(TF_DeviceListName(devices.get(), i, list_status.get())) + " (" + type + ")";
    }
    return "";
  }

 private:
  // One network run; false leaves TensorFlow's reason in status_.
  bool run_batch(const float* patches, TFTensorPtr& output_tensor) {
    // TensorFlow only reads its inputs; the tensor wraps the caller's patches.
    TFTensorPtr input_tensor(TF_NewTensor(TF_FLOAT, input_dims_.data(), static_cast<int>(input_dims_.size()),
                                          const_cast<float*>(patches), input_bytes, keep_buffer, nullptr));
    TF_Tensor* input_values[] = {input_tensor.get()};
    TF_Tensor* output_values[] = {nullptr};
    TF_SessionRun(session_.get(), nullptr, &input_, input_values, 1, &output_, output_values, 1, nullptr, 0,
                  nullptr, status_.get());
    output_tensor.reset(output_values[0]);
    return TF_GetCode(status_.get()) == TF_OK;
  }

  bool open_session(const std::string& model_path, std::string& reason) {
    options_.reset(TF_NewSessionOptions());
    graph_.reset(TF_NewGraph());
    status_.reset(TF_NewStatus());
    TF_SetConfig(options_.get(), tensorflow_session_config.data(), tensorflow_session_config.size(),
                 status_.get());
    const char* tags[] = {serve_tag};
    std::string failure;
    if (!run_guarded_call([&] { session_.reset(TF_LoadSessionFromSavedModel(options_.get(), nullptr, model_path.c_str(),
                                                                            tags, 1, graph_.get(), nullptr,
                                                                            status_.get())); },
                          failure)) {
      // Some malformed graphs make TensorFlow throw with the graph's lock held:
      // deleting that graph would wait on the lock forever, so it is let go.
      static_cast<void>(graph_.release());
      reason = "TensorFlow failed inside its load call: " + failure;
      return false;
    }
    if (TF_GetCode(status_.get()) != TF_OK) {
      reason = one_line(TF_Message(status_.get()));
      return false;
    }
    return true;
  }

  bool find_endpoints(std::string& reason) {
    input_ = TF_Output{TF_GraphOperationByName(graph_.get(), input_operation_name), 0};
    output_ = TF_Output{TF_GraphOperationByName(graph_.get(), output_operation_name), 0};
    // A run must never be handed a missing endpoint.
    for (const char* missing : {input_.oper == nullptr ? input_operation_name : nullptr,
                                output_.oper == nullptr ? output_operation_name : nullptr}) {
      if (missing != nullptr) {
        reason = std::string("the saved model has no operation \"") + missing + "\"";
        return false;
      }
    }
    return true;
  }

  // A model that loads but cannot run (no variables, a broken graph, a wrong
  // output) is caught here, before any capture is read.
  bool run_first_batch(std::string& reason) {
    struct Free {
      void operator()(float* data) const noexcept { free_aligned(data); }
    };
    const std::unique_ptr<float[], Free> halves(
        static_cast<float*>(allocate_aligned(network_input_alignment, input_bytes)));
    if (!halves) throw std::bad_alloc();
    std::fill(halves.get(), halves.get() + batch * patch_floats, 0.5f);
    TFTensorPtr output;
    if (!run_batch(halves.get(), output)) {
      reason = "the model cannot run: " + one_line(TF_Message(status_.get()));
      return false;
    }
    if (!is_descriptor_batch(output.get())) {
      reason = describe_wrong_output(output.get());
      return false;
    }
    return true;
  }

  // Filled by load() in this order; the session goes first when the object does.
  TFSessionOptionsPtr options_;
  TFGraphPtr graph_;
  TFStatusPtr status_;
  TFSessionPtr session_;
  TF_Output input_{nullptr, 0};
  TF_Output output_{nullptr, 0};
  std::array<std::int64_t, 4> input_dims_{batch, 32, 32, 1};
};

}  // namespace

TensorFlowLoad load_tensorflow_network(const std::string& model_path) {
  auto network = std::make_unique<TensorFlowNetwork>();
  TensorFlowLoad load;
  if (!network->load(model_path, load.reason)) return load;
  load.device = network->accelerator_device();
  load.network = std::move(network);
  return load;
}

}  // namespace lf
