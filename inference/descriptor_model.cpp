#include "inference/descriptor_model.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <new>
#include <ostream>
#include <sstream>

#include "workspace/platform.h"
#include "workspace/stop_point.h"

namespace lf {

const char* const DescriptorModel::input_operation_name = "local_model_inputs";
const char* const DescriptorModel::output_operation_name = "StatefulPartitionedCall_1";
const char* const DescriptorModel::serve_tag = "serve";
const std::array<unsigned char, 4> DescriptorModel::session_config{0x32, 0x02, 0x20, 0x01};
const char* const DescriptorModel::load_failure_line = "Error: loading saved_model failed.";

namespace {

AlignedFloatBuffer make_input_buffer() {
  constexpr std::size_t floats = DescriptorModel::input_byte_length / sizeof(float);
  auto* data = static_cast<float*>(
      allocate_aligned(DescriptorModel::input_buffer_alignment, DescriptorModel::input_byte_length));
  if (data == nullptr) throw std::bad_alloc();
  std::fill(data, data + floats, 0.5f);
  return AlignedFloatBuffer(data);
}

// The buffer stays with the model: tensors made over it must not free it.
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
         TF_Dim(tensor, 0) == DescriptorModel::batch_size &&
         TF_Dim(tensor, 1) == DescriptorModel::descriptor_length &&
         TF_TensorByteSize(tensor) >= DescriptorModel::batch_size * DescriptorModel::row_bytes;
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
  text << "the model's output \"" << DescriptorModel::output_operation_name << "\" is "
       << describe_tensor(tensor) << ", expected float [" << DescriptorModel::batch_size << ", "
       << DescriptorModel::descriptor_length << "]";
  return text.str();
}

// One network run over the whole input buffer; false leaves TensorFlow's
// reason in the model's status.
bool run_batch(DescriptorModel& model, TFTensorPtr& output_tensor) {
  TFTensorPtr input_tensor(TF_NewTensor(TF_FLOAT, model.input_dims.data(),
                                        static_cast<int>(model.input_dims.size()),
                                        model.input_buffer.get(), DescriptorModel::input_byte_length,
                                        keep_buffer, nullptr));
  TF_Tensor* input_values[] = {input_tensor.get()};
  TF_Tensor* output_values[] = {nullptr};
  TF_SessionRun(model.session.get(), nullptr, &model.input, input_values, 1, &model.output,
                output_values, 1, nullptr, 0, nullptr, model.status.get());
  output_tensor.reset(output_values[0]);
  return TF_GetCode(model.status.get()) == TF_OK;
}

// The copy into the batch reads patch_floats values from each patch.
bool patches_fit_the_network(const PatchList& patches, std::ostream& err) {
  for (std::size_t k = 0; k < patches.size(); ++k) {
    const cv::Mat& patch = patches[k];
    if (patch.rows == patch_side && patch.cols == patch_side && patch.type() == CV_32FC1 && patch.isContinuous())
      continue;
    err << "Error: patch " << k << " is " << patch.cols << "x" << patch.rows << " of type " << patch.type()
        << ", the network takes continuous " << patch_side << "x" << patch_side << " float patches" << std::endl;
    return false;
  }
  return true;
}

void copy_patches_into_batch(const PatchList& patches, std::size_t first, std::size_t count,
                             float* batch) {
  for (std::size_t j = 0; j < count; ++j) {
    std::memcpy(batch + j * DescriptorModel::patch_floats, patches[first + j].ptr<float>(),
                DescriptorModel::patch_bytes);
  }
}

}  // namespace

bool DescriptorModel::load(const std::string& model_path, std::ostream& err) {
  std::string reason;
  if (!open_session(model_path, reason) || !find_endpoints(reason) || !run_first_batch(reason)) {
    session.reset();
    err << load_failure_line << std::endl;
    err << "Error: " << reason << std::endl;
    return false;
  }
  const std::string device = accelerator_device();
  if (!device.empty()) err << "Network device: " << device << std::endl;
  return true;
}

// TensorFlow places the network on an accelerator whenever the session has
// one; on a machine with only the CPU this is empty.
std::string DescriptorModel::accelerator_device() const {
  TFStatusPtr list_status(TF_NewStatus());
  const TFDeviceListPtr devices(TF_SessionListDevices(session.get(), list_status.get()));
  if (!devices || TF_GetCode(list_status.get()) != TF_OK) return "";
  for (int i = 0; i < TF_DeviceListCount(devices.get()); ++i) {
    const std::string type = TF_DeviceListType(devices.get(), i, list_status.get());
    if (TF_GetCode(list_status.get()) == TF_OK && type.find("CPU") == std::string::npos)
      return std::string(TF_DeviceListName(devices.get(), i, list_status.get())) + " (" + type + ")";
  }
  return "";
}

bool DescriptorModel::open_session(const std::string& model_path, std::string& reason) {
  options.reset(TF_NewSessionOptions());
  graph.reset(TF_NewGraph());
  status.reset(TF_NewStatus());
  TF_SetConfig(options.get(), session_config.data(), session_config.size(), status.get());

  const char* tags[] = {serve_tag};
  std::string failure;
  if (!run_guarded_call([&] { session.reset(TF_LoadSessionFromSavedModel(options.get(), nullptr, model_path.c_str(),
                                                                         tags, 1, graph.get(), nullptr, status.get())); },
                        failure)) {
    // Some malformed graphs make TensorFlow throw with the graph's lock held:
    // deleting that graph would wait on the lock forever, so it is let go.
    static_cast<void>(graph.release());
    reason = "TensorFlow failed inside its load call: " + failure;
    return false;
  }
  if (TF_GetCode(status.get()) != TF_OK) {
    reason = one_line(TF_Message(status.get()));
    return false;
  }
  return true;
}

bool DescriptorModel::find_endpoints(std::string& reason) {
  input = TF_Output{TF_GraphOperationByName(graph.get(), input_operation_name), 0};
  output = TF_Output{TF_GraphOperationByName(graph.get(), output_operation_name), 0};
  // A run must never be handed a missing endpoint.
  for (const char* missing : {input.oper == nullptr ? input_operation_name : nullptr,
                              output.oper == nullptr ? output_operation_name : nullptr}) {
    if (missing != nullptr) {
      reason = std::string("the saved model has no operation \"") + missing + "\"";
      return false;
    }
  }
  return true;
}

// A model that loads but cannot run (no variables, a broken graph, a wrong
// output) is caught here, before any capture is read. The batch is the
// buffer's first contents and leaves it unchanged, so later runs see exactly
// what they would have seen without this one.
bool DescriptorModel::run_first_batch(std::string& reason) {
  input_buffer = make_input_buffer();
  TFTensorPtr output_tensor;
  if (!run_batch(*this, output_tensor)) {
    reason = "the model cannot run: " + one_line(TF_Message(status.get()));
    return false;
  }
  if (!is_descriptor_batch(output_tensor.get())) {
    reason = describe_wrong_output(output_tensor.get());
    return false;
  }
  return true;
}

int batch_count(std::size_t patch_count) {
  return static_cast<int>(std::ceil(static_cast<double>(patch_count) * 0.0009765625));
}

bool compute_descriptors(DescriptorModel& model, const PatchList& patches,
                         const DescriptorSink& sink, std::ostream& out, std::ostream& err) {
  if (!patches_fit_the_network(patches, err)) return false;
  const int batches = batch_count(patches.size());
  for (int i = 0; i < batches; ++i) {
    const int first = i * DescriptorModel::batch_size;
    const int count = i + 1 < batches ? DescriptorModel::batch_size
                                      : static_cast<int>(patches.size()) - first;
    copy_patches_into_batch(patches, first, count, model.input_buffer.get());

    TFTensorPtr output_tensor;
    if (!run_batch(model, output_tensor)) {
      out << "TF_Error:" << static_cast<int>(TF_GetCode(model.status.get())) << "\n";
      err << "Error: " << one_line(TF_Message(model.status.get())) << std::endl;
      return false;
    }
    if (!is_descriptor_batch(output_tensor.get())) {
      err << "Error: " << describe_wrong_output(output_tensor.get()) << std::endl;
      return false;
    }
    sink(static_cast<const float*>(TF_TensorData(output_tensor.get())), count);
    if (i + 1 < batches) stop_point("between_batches");
  }
  return true;
}

}  // namespace lf
